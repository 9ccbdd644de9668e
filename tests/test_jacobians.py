"""The Jacobian ufuncs of undarix_ufuncs: exact bits of the documented operation order,
agreement with high-precision derivatives of the formulas, the one-sided values where the
value jumps, and the ufunc rules (broadcasting, casts, out=, where=, threads, Ctrl-C)."""
import math
import pickle
import sys

import numpy as np
import pytest

import undarix_ufuncs
from conftest import ALL_FUNCTIONS, PARAMETERS, VALID_SCALARS, assert_same_floats, run_python
from jacobian_reference import JACOBIANS
from reference import FOUR_OVER_PI, FULL_TURN, HOURS_PER_DAY
from waveform_facts import read_table

pytestmark = pytest.mark.filterwarnings("ignore:(overflow|invalid value|divide by zero) encountered in:RuntimeWarning")

# Each Jacobian's outputs: one per continuous parameter, in order, as the waveform table gives them.
OUTPUTS = {waveform.name: waveform.reals for waveform in read_table()}

SPECIALS = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308,
                     1e300, -1e300, 1e22, 1e16 + 2.0, 710.0, -745.0, np.pi, -np.pi / 2])


def jacobian(name):
    return getattr(undarix_ufuncs, name + "_jacobian")


def value(name):
    return getattr(undarix_ufuncs, name)


def reference(name, *args):
    """The Python reference's derivatives for broadcast arguments, element by element."""
    arrays = np.broadcast_arrays(*[np.asarray(a) for a in args])
    shape = arrays[0].shape
    columns = [a.ravel() for a in arrays]
    outputs = [np.empty(columns[0].size) for _ in OUTPUTS[name]]
    function = JACOBIANS[name]
    for i in range(columns[0].size):
        element = [c[i].item() for c in columns]
        if name == "fourier_square_wave":
            element[-1] = int(element[-1])
        for output, derivative in zip(outputs, function(*element)):
            output[i] = derivative
    return tuple(output.reshape(shape) for output in outputs)


def assert_same_outputs(got, expected):
    assert isinstance(got, tuple) and len(got) == len(expected)
    for got_output, expected_output in zip(got, expected):
        assert_same_floats(got_output, expected_output)


def random_inputs(name, size, rng, specials=0.1):
    """Random inputs for every argument (the harmonic count as int64), specials mixed in."""
    columns = []
    for parameter in PARAMETERS[name]:
        if parameter == "num_harmonics":
            columns.append(rng.integers(0, 12, size))
            continue
        scale = {"time": 60.0, "gamma": 0.3, "omega": 4.0, "period": 24.0, "width": 1.0}.get(parameter, 3.0)
        column = rng.standard_normal(size) * scale
        special = rng.random(size) < specials
        column[special] = rng.choice(SPECIALS, int(special.sum()))
        columns.append(column)
    return columns


def test_module_surface():
    for name in ALL_FUNCTIONS:
        ufunc = jacobian(name)
        assert isinstance(ufunc, np.ufunc) and ufunc.__name__ == name + "_jacobian"
        assert ufunc.nin == value(name).nin == len(PARAMETERS[name])
        assert ufunc.nout == len(OUTPUTS[name])
        # The value ufunc's double loops; the Jacobians compute and return float64 only (float32
        # inputs are cast to them).
        inputs = [t.split("->")[0] for t in value(name).types if t.endswith("->d")]
        assert ufunc.types == [i + "->" + "d" * ufunc.nout for i in inputs]
        assert name + "_jacobian" in undarix_ufuncs.__all__
        assert pickle.loads(pickle.dumps(ufunc)) is ufunc  # by module and name


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_docstrings_give_the_order_every_parameter_and_a_running_example(name):
    import doctest
    doc = jacobian(name).__doc__
    assert doc.startswith(name + "_jacobian(")  # NumPy's call signature line
    assert "%s_jacobian(%s)" % (name, ", ".join(PARAMETERS[name])) in doc
    for section in ("Parameters\n----------", "Returns\n-------", "Examples\n--------"):
        assert section in doc
    for parameter in PARAMETERS[name]:
        assert "\n%s : " % parameter in doc
    for output in OUTPUTS[name]:
        assert "d/d%s" % output in doc
    assert name + "_jacobian" in undarix_ufuncs.__doc__
    test = doctest.DocTestParser().get_doctest(doc, {}, name, None, 0)
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert test.examples and runner.summarize(verbose=False).failed == 0


# --- Exact bits of the documented order ---

@pytest.mark.parametrize("name", ALL_FUNCTIONS)
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_random_inputs_give_the_reference_bits(name, seed):
    columns = random_inputs(name, 2000, np.random.default_rng(seed))
    assert_same_outputs(jacobian(name)(*columns), reference(name, *columns))


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_every_combination_of_edge_values(name):
    # Each parameter in turn takes every special value, against ordinary values elsewhere,
    # and the time takes them all against each parameter's specials.
    count = len(PARAMETERS[name])
    base = [1.7, 0.9, -0.2, 1.3, 0.4, 0.5, 3][:count]
    if name == "transient_impulse":
        base = [2.1, 1.5, 6.0, 0.5, 0.25]
    columns = []
    for position in range(1, count - (name == "fourier_square_wave")):
        for special in SPECIALS:
            for time in SPECIALS:
                row = list(base)
                row[0], row[position] = time, special
                columns.append(row)
    args = [np.array(c) for c in zip(*columns)]
    if name == "fourier_square_wave":
        args[-1] = args[-1].astype(np.int64)
    assert_same_outputs(jacobian(name)(*args), reference(name, *args))


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_scalar_parameters_on_long_time_arrays(name):
    # Long enough for the worker threads, with huge and special times throughout.
    time = np.concatenate([np.linspace(-50.0, 3e4, 30_000), SPECIALS, np.geomspace(1e3, 1e300, 200)])
    assert_same_outputs(jacobian(name)(time, *VALID_SCALARS[name]), reference(name, time, *VALID_SCALARS[name]))


# --- High-precision derivatives of the formulas ---

# The derivatives agree with mpmath's, differentiating the formula (with its double
# constants) at 50 digits, to a relative REL_TOL.  The inputs are exact doubles; the module
# rounds u = t + phi and x = u*omega once each, so sin and cos see x with an absolute error
# up to |x|*2^-52, about 1.3e-14 here (|x| <= 60; 23 times that, 3e-13, for the highest
# harmonic).  A shape, slope or pulse offset d that is only a fraction c of the
# amplitudes of the terms it is formed from magnifies that by 1/c, so elements with
# c < CANCELLATION are left out (a shape or slope near a zero, d near the transient's
# onset), and so are Gaussians below exp(-50), whose slopes are too small beside the
# equilibrium for mpmath's differences: what remains has an error bound of 3e-11, and no element may be further than REL_TOL from
# the high-precision value.  The largest seen is about 3.4e-13 (pseudo_square_wave).
REL_TOL = 1e-10
CANCELLATION = 1e-2
import mpmath  # noqa: E402


def _mp_shape(name, x, harmonics):
    """The waveform's shape at the exact phase x, with the formula's constants."""
    if name == "harmonic_oscillator":
        return mpmath.cos(x)
    if name == "pseudo_square_wave":
        return mpmath.sin(3 * x) * mpmath.mpf(0.5) + mpmath.sin(x)
    if name == "pseudo_cycloid_wave":
        return mpmath.cos(2 * x) - 2 * mpmath.cos(x)
    return 1 + sum(mpmath.sin(k * x) * mpmath.mpf(FOUR_OVER_PI) / k for k in range(1, 2 * harmonics, 2))


def _mp_damped_value(name, t, harmonics):
    def f(amplitude, gamma, omega, phi, y):
        return mpmath.exp(t * gamma) * amplitude * _mp_shape(name, (t + phi) * omega, harmonics) + y
    return f


def _mp_transient_value(remainder):
    def f(amplitude, period, width, equilibrium):
        d = remainder - (period / mpmath.mpf(HOURS_PER_DAY)) * mpmath.mpf(FULL_TURN)
        return mpmath.exp(-(d / width) ** 2 / 2) * amplitude + equilibrium
    return f


def _cancelling(name, args):
    """Whether an element's result is small against what it is formed from (see REL_TOL)."""
    if name == "transient_impulse":
        t, amplitude, period, width, equilibrium = args
        remainder = math.fmod(t, FULL_TURN)
        onset = (period / HOURS_PER_DAY) * FULL_TURN
        d = remainder - onset
        return d < CANCELLATION * (abs(remainder) + onset) or (d / width) ** 2 > 100.0
    t, amplitude, gamma, omega, phi, y = args[:6]
    harmonics = args[6] if name == "fourier_square_wave" else 0
    x = (t + phi) * omega
    # The shape's and the slope's terms as (value, amplitude) pairs.
    if name == "harmonic_oscillator":
        parts = [[(math.cos(x), 1.0)], [(math.sin(x), 1.0)]]
    elif name == "pseudo_square_wave":
        parts = [[(math.sin(3 * x) * 0.5, 0.5), (math.sin(x), 1.0)],
                 [(math.cos(3 * x) * 1.5, 1.5), (math.cos(x), 1.0)]]
    elif name == "pseudo_cycloid_wave":
        parts = [[(math.cos(2 * x), 1.0), (-2 * math.cos(x), 2.0)], [(math.sin(x), 1.0), (-math.sin(2 * x), 1.0)]]
    else:
        odd = range(1, 2 * harmonics, 2)
        parts = [[(1.0, 1.0)] + [(math.sin(k * x) * FOUR_OVER_PI / k, FOUR_OVER_PI / k) for k in odd],
                 [(math.cos(k * x), 1.0) for k in odd] or [(1.0, 1.0)]]
    return any(abs(sum(v for v, _ in p)) < CANCELLATION * sum(a for _, a in p) for p in parts)


def moderate_inputs(name, size, rng):
    """Finite inputs where every derivative is a normal number: |x| <= 60, times within a few turns."""
    if name == "transient_impulse":
        return [rng.uniform(-2.0, 40.0, size), rng.uniform(-3.0, 3.0, size), rng.uniform(0.0, 23.0, size),
                rng.uniform(0.1, 1.5, size) * rng.choice([-1.0, 1.0], size), rng.uniform(-3.0, 3.0, size)]
    columns = [rng.uniform(-10.0, 10.0, size), rng.uniform(-3.0, 3.0, size), rng.uniform(-0.5, 0.5, size),
               rng.uniform(-4.0, 4.0, size), rng.uniform(-5.0, 5.0, size), rng.uniform(-3.0, 3.0, size)]
    if name == "fourier_square_wave":
        columns.append(rng.integers(0, 12, size))
    return columns


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_derivatives_match_high_precision_ones(name):
    rng = np.random.default_rng(23)
    columns = moderate_inputs(name, 300, rng)
    got = jacobian(name)(*columns)
    checked = 0
    with mpmath.workdps(50):
        for i in range(columns[0].size):
            args = [c[i].item() for c in columns]
            if _cancelling(name, args):
                continue
            checked += 1
            if name == "transient_impulse":
                f = _mp_transient_value(mpmath.mpf(math.fmod(args[0], FULL_TURN)))
                point = [mpmath.mpf(a) for a in args[1:]]
            else:
                harmonics = args[6] if name == "fourier_square_wave" else 0
                f = _mp_damped_value(name, mpmath.mpf(args[0]), harmonics)
                point = [mpmath.mpf(a) for a in args[1:6]]
            for k in range(len(point)):
                order = [0] * len(point)
                order[k] = 1
                exact = mpmath.diff(f, point, tuple(order))
                derivative = got[k][i]
                error = abs(mpmath.mpf(derivative) - exact)
                scale = abs(exact)
                assert error <= REL_TOL * scale or (scale == 0 and derivative == 0), \
                    "%s d/d%s at %r: %r, exact %s" % (name, OUTPUTS[name][k], args, derivative, exact)
    assert checked >= 100  # most elements take part


# --- Consistency with the value ufuncs ---

@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_central_differences_of_the_values_agree(name):
    # A sanity check against the value ufunc itself: central differences with a step of
    # 1e-6 relative, agreeing to 1e-5 of the derivative's scale.
    rng = np.random.default_rng(5)
    columns = moderate_inputs(name, 400, rng)
    if name == "transient_impulse":
        # Away from the onset by more than the step.
        onset = columns[2] / HOURS_PER_DAY * FULL_TURN
        columns[0] = np.fmod(np.abs(columns[0]), FULL_TURN)
        near = np.abs(columns[0] - onset) < 1e-3
        columns[0][near] += 2e-3
    got = jacobian(name)(*columns)
    base = value(name)(*columns)
    for k in range(len(OUTPUTS[name])):
        step = 1e-6 * np.maximum(np.abs(columns[k + 1]), 1.0)
        up = list(columns)
        down = list(columns)
        up[k + 1] = columns[k + 1] + step
        down[k + 1] = columns[k + 1] - step
        difference = (value(name)(*up) - value(name)(*down)) / (up[k + 1] - down[k + 1])
        scale = np.maximum(np.abs(got[k]), np.abs(base) + 1.0)
        bad = np.abs(difference - got[k]) > 1e-5 * scale
        assert not bad.any(), (name, OUTPUTS[name][k], np.flatnonzero(bad)[:5], got[k][bad][:5], difference[bad][:5])


# --- Where no derivative exists: transient_impulse's jumps ---

# Times turns*2pi + onset that land on the onset exactly (d = 0).
@pytest.mark.parametrize("period, turns", [(0.0, 0), (0.0, 40), (3.0, 1), (12.0, 0), (12.0, 3), (17.25, 0),
                                           (6.0, 2)])
def test_transient_onset_returns_the_pulse_sides_derivatives(period, turns):
    amplitude, width, equilibrium = 2.5, 0.4, -1.0
    onset = (period / HOURS_PER_DAY) * FULL_TURN
    time = turns * FULL_TURN + onset
    assert math.fmod(time, FULL_TURN) - onset == 0.0
    got = [float(v) for v in undarix_ufuncs.transient_impulse_jacobian(time, amplitude, period, width, equilibrium)]
    assert got == [1.0, 0.0, 0.0, 1.0]
    # The value's one-sided differences in the period: from inside the pulse (an earlier
    # onset) the slope tends to the returned 0; from the other side the value drops by A.
    step = 1e-7
    at = float(undarix_ufuncs.transient_impulse(time, amplitude, period, width, equilibrium))
    inside = float(undarix_ufuncs.transient_impulse(time, amplitude, period - step, width, equilibrium))
    outside = float(undarix_ufuncs.transient_impulse(time, amplitude, period + step, width, equilibrium))
    assert at == amplitude + equilibrium and outside == equilibrium
    assert abs((at - inside) / step) < 1e-6
    # In the width the value is flat at the onset on both sides.
    wider = float(undarix_ufuncs.transient_impulse(time, amplitude, period, width + step, equilibrium))
    assert wider == at


def test_transient_derivatives_before_the_onset_and_where_the_gaussian_vanishes():
    time = np.array([0.5, -1.0, np.nan, np.inf, 3.0, 3.0])
    width = np.array([0.3, 0.3, 0.3, 0.3, 1e-300, 0.0])
    # Before the onset (and for NaN or infinite times) nothing but the equilibrium moves
    # the value; where the Gaussian underflows to 0, or the width is 0 past the onset,
    # the slopes are 0, not the NaN 0 * inf would give.
    got = undarix_ufuncs.transient_impulse_jacobian(time, 2.0, 6.0, width, 1.0)
    for output, expected in zip(got, (0.0, 0.0, 0.0, 1.0)):
        assert (output == expected).all(), got
    # An infinite amplitude makes the value NaN (h*A is always formed), and so its slopes.
    infinite = undarix_ufuncs.transient_impulse_jacobian(time, np.inf, 6.0, width, 1.0)
    assert np.isnan(infinite[1]).all() and np.isnan(infinite[2]).all()


def test_transient_wrap_returns_the_new_turns_side():
    # With the onset at 0 hours the pulse restarts where the remainder wraps: at a whole
    # number of turns the value is the new pulse's peak, and so are the derivatives.
    time = np.array([FULL_TURN, 2 * FULL_TURN, 0.0])
    got = undarix_ufuncs.transient_impulse_jacobian(time, 2.0, 0.0, 0.5, 1.0)
    assert [list(map(float, v)) for v in got] == [[1.0] * 3, [0.0] * 3, [0.0] * 3, [1.0] * 3]
    just_before = np.nextafter(FULL_TURN, 0.0)
    tail = undarix_ufuncs.transient_impulse_jacobian(just_before, 2.0, 0.0, 0.5, 1.0)
    assert float(tail[0]) < 1e-30  # the old turn's tail: another side altogether


# --- The harmonic count ---

@pytest.mark.parametrize("count", [-1, np.int64(-2**63), np.int8(-3)])
def test_negative_harmonic_count_gives_nan_and_the_invalid_flag(count):
    time = np.linspace(0.0, 1.0, 7)
    with np.errstate(invalid="raise"):
        with pytest.raises(FloatingPointError, match="invalid"):
            undarix_ufuncs.fourier_square_wave_jacobian(time, 1.0, 0.0, 1.0, 0.0, 0.0, count)
    with pytest.warns(RuntimeWarning, match="invalid"):
        got = undarix_ufuncs.fourier_square_wave_jacobian(time, 1.0, 0.0, 1.0, 0.0, 0.0, count)
    assert all(np.isnan(output).all() for output in got)


@pytest.mark.parametrize("threads", ["1", "2", "3"])
def test_negative_counts_among_others_are_nan_only_there(threads, monkeypatch):
    monkeypatch.setenv("UNDARIX_NUM_THREADS", threads)
    rng = np.random.default_rng(3)
    time = rng.uniform(-5.0, 5.0, (4, 3000))
    counts = np.array([[3], [-2], [0], [40]])
    with np.errstate(invalid="raise"):
        with pytest.raises(FloatingPointError, match="invalid"):
            undarix_ufuncs.fourier_square_wave_jacobian(time, 1.0, -0.1, 2.0, 0.3, 0.5, counts)
    with np.errstate(invalid="ignore"):
        got = undarix_ufuncs.fourier_square_wave_jacobian(time, 1.0, -0.1, 2.0, 0.3, 0.5, counts)
    for row in (0, 2, 3):
        assert_same_outputs(tuple(o[row] for o in got),
                            reference("fourier_square_wave", time[row], 1.0, -0.1, 2.0, 0.3, 0.5, counts[row, 0]))
    assert all(np.isnan(o[1]).all() for o in got)
    # Without a negative count no flag is raised.
    with np.errstate(invalid="raise"):
        undarix_ufuncs.fourier_square_wave_jacobian(time, 1.0, -0.1, 2.0, 0.3, 0.5, np.abs(counts))


@pytest.mark.parametrize("count", [0, 5, np.uint64(5), np.int8(5), np.array([5], dtype=np.uint32)])
def test_harmonic_counts_of_every_integer_type(count):
    time = np.linspace(-3.0, 40.0, 500)
    assert_same_outputs(undarix_ufuncs.fourier_square_wave_jacobian(time, 1.0, -0.1, 2.0, 0.3, 0.5, count),
                        reference("fourier_square_wave", time, 1.0, -0.1, 2.0, 0.3, 0.5, int(np.ravel(count)[0])))


def test_uint64_counts_beyond_int64_take_the_uint64_loop():
    got = undarix_ufuncs.fourier_square_wave_jacobian(np.empty(0), 1.0, 0.0, 1.0, 0.0, 0.0, np.uint64(2**64 - 1))
    assert len(got) == 5 and all(o.shape == (0,) for o in got)


def test_float_counts_are_refused():
    with pytest.raises(TypeError):
        undarix_ufuncs.fourier_square_wave_jacobian(np.arange(3.0), 1, 0, 1, 0, 0, 2.5)


# --- The ufunc rules ---

@pytest.mark.parametrize("name", ALL_FUNCTIONS)
@pytest.mark.parametrize("shapes", [
    [()] * 7,
    [(5,), (), (), (), (), (), ()],
    [(1, 7), (4, 1), (4, 1), (), (4, 7), (), ()],
    [(3, 1, 6), (5, 1), (1,), (3, 5, 6), (), (6,), (5, 1)],
])
def test_broadcasting_from_0d_to_3d(name, shapes):
    rng = np.random.default_rng(7)
    args = []
    for parameter, shape in zip(PARAMETERS[name], shapes):
        if parameter == "num_harmonics":
            args.append(rng.integers(0, 9, shape))
        else:
            args.append(rng.standard_normal(shape) * 3.0 if shape else float(rng.standard_normal()))
    got = jacobian(name)(*args)
    expected = reference(name, *args)
    assert_same_outputs(got, expected)
    if not any(shapes[:len(args)]):
        assert all(type(o) is np.float64 for o in got)


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
@pytest.mark.parametrize("dtype", [np.float32, np.int32, np.uint8, np.bool_, ">f8"])
def test_inputs_of_other_dtypes_are_cast(name, dtype):
    time = np.linspace(0.0, 30.0, 61)
    params = [np.asarray(v).astype(dtype) if isinstance(v, float) else v for v in VALID_SCALARS[name]]
    got = jacobian(name)(time.astype(dtype), *params)
    assert all(o.dtype == np.float64 for o in got)
    exact = [np.asarray(p).astype(np.float64) for p in params]
    assert_same_outputs(got, reference(name, time.astype(dtype).astype(np.float64), *exact))


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_out_tuple_where_and_strided_operands(name):
    rng = np.random.default_rng(9)
    columns = random_inputs(name, 400, rng, specials=0.0)
    strided = [np.repeat(c, 2)[::2] if c.dtype == np.float64 else c for c in columns]
    expected = reference(name, *columns)
    outputs = tuple(np.full(800, 7.0)[::2] for _ in OUTPUTS[name])
    returned = jacobian(name)(*strided, out=outputs)
    assert all(r is o for r, o in zip(returned, outputs))
    assert_same_outputs(outputs, expected)
    mask = rng.random(400) < 0.5
    masked = tuple(np.full(400, 7.0) for _ in OUTPUTS[name])
    jacobian(name)(*columns, out=masked, where=mask)
    for got, want in zip(masked, expected):
        assert_same_floats(got[mask], want[mask])
        assert (got[~mask] == 7.0).all()
    with pytest.raises(ValueError):
        jacobian(name)(*columns, out=outputs[:-1])


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_thread_counts_give_identical_bits(name, monkeypatch):
    rng = np.random.default_rng(11)
    time = np.concatenate([rng.standard_normal(100_000) * 1e3, SPECIALS])
    sweep = [rng.standard_normal((200, 1)) for _ in PARAMETERS[name][1:]]
    if name == "fourier_square_wave":
        sweep[-1] = rng.integers(0, 6, (200, 1))
    results = []
    for threads in ("1", "2", "3"):
        monkeypatch.setenv("UNDARIX_NUM_THREADS", threads)
        results.append((jacobian(name)(time, *VALID_SCALARS[name]),
                        jacobian(name)(time[None, :1500], *sweep)))
    for long_call, sweep_call in results[1:]:
        assert_same_outputs(long_call, results[0][0])
        assert_same_outputs(sweep_call, results[0][1])
    assert_same_outputs(tuple(o[:20] for o in results[0][1]),
                        reference(name, time[None, :1500], *[s[:20] for s in sweep]))
    assert_same_outputs(tuple(o[:50] for o in results[0][0]), reference(name, time[:50], *VALID_SCALARS[name]))


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
def test_ctrl_c_interrupts_a_long_call():
    # The call would take hours: it ends only by the interrupt.
    code = """
        import os, signal, threading, numpy as np, undarix_ufuncs as uf
        threading.Timer(0.5, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
        try:
            uf.fourier_square_wave_jacobian(np.linspace(0.0, 1.0, 64), 1.0, 0.0, 1.0, 0.0, 0.0, 10**12)
        except KeyboardInterrupt:
            print("interrupted")
    """
    assert run_python(code).stdout.strip() == "interrupted"



@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_pandas_and_xarray_objects_give_one_object_per_output(name):
    # What a fit of a Series or a DataArray gets back: each derivative keeps the labels.
    pd = pytest.importorskip("pandas")
    xr = pytest.importorskip("xarray")
    time = np.linspace(0.0, 20.0, 40)
    expected = jacobian(name)(time, *VALID_SCALARS[name])
    index = pd.RangeIndex(100, 140)
    from_series = jacobian(name)(pd.Series(time, index=index), *VALID_SCALARS[name])
    assert len(from_series) == len(OUTPUTS[name])
    assert all(isinstance(s, pd.Series) and s.index.equals(index) for s in from_series)
    assert_same_outputs(tuple(s.to_numpy() for s in from_series), expected)
    from_array = jacobian(name)(xr.DataArray(time, dims="time", coords={"time": time}), *VALID_SCALARS[name])
    assert all(isinstance(a, xr.DataArray) and a.dims == ("time",) for a in from_array)
    assert_same_outputs(tuple(a.values for a in from_array), expected)
