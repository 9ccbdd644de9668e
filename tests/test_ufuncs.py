"""undarix_ufuncs: the five waveforms as NumPy ufuncs, against the strict module's bits."""
import math
import os
import pickle
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time as clock

import numpy as np
import pytest

import undarix
import undarix_ufuncs
from conftest import ALL_FUNCTIONS, DAMPED, PARAMETERS, VALID_SCALARS, assert_same_float32, assert_same_floats, bits, run_python

# Special values overflow exp and make sin and cos invalid: NumPy's warnings for them are
# expected here (test_floating_point_flags_... checks that they are reported).
pytestmark = pytest.mark.filterwarnings("ignore:(overflow|invalid value|divide by zero) encountered in:RuntimeWarning")

SPECIALS = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308,
                     1e300, -1e300, 1e22, 1e16 + 2.0, 710.0, -745.0, np.pi, -np.pi / 2])


def reference(name, *args):
    """The strict module's values for broadcast ufunc arguments: one call per distinct
    parameter set, with that set's times as a contiguous float64 array."""
    arrays = np.broadcast_arrays(*[np.asarray(a) for a in args])
    shape = arrays[0].shape
    time = np.ascontiguousarray(arrays[0], dtype=np.float64).ravel()
    params = [a.ravel() for a in arrays[1:]]
    out = np.empty(time.size)
    groups = {}
    for i in range(time.size):
        groups.setdefault(tuple(p[i].item() for p in params), []).append(i)
    function = getattr(undarix, name)
    for key, indices in groups.items():
        scalars = list(key)
        if name == "fourier_square_wave":
            scalars[-1] = int(scalars[-1])
        out[indices] = function(np.ascontiguousarray(time[indices]), *scalars)
    return out.reshape(shape)


def random_inputs(name, size, rng):
    """Random inputs for every argument (the harmonic count as int64), specials mixed in."""
    columns = []
    for index, parameter in enumerate(PARAMETERS[name]):
        if parameter == "num_harmonics":
            columns.append(rng.integers(0, 12, size))
            continue
        scale = {"time": 60.0, "gamma": 0.3, "omega": 4.0, "period": 24.0, "width": 1.0}.get(parameter, 3.0)
        column = rng.standard_normal(size) * scale
        special = rng.random(size) < 0.1
        column[special] = rng.choice(SPECIALS, int(special.sum()))
        columns.append(column)
    return columns


def ufunc(name):
    return getattr(undarix_ufuncs, name)


def test_module_surface():
    assert undarix_ufuncs.__all__ == ALL_FUNCTIONS + [name + "_jacobian" for name in ALL_FUNCTIONS]
    assert all(isinstance(ufunc(name), np.ufunc) for name in ALL_FUNCTIONS)
    assert [ufunc(name).nin for name in ALL_FUNCTIONS] == [len(PARAMETERS[name]) for name in ALL_FUNCTIONS]
    assert all(ufunc(name).nout == 1 for name in ALL_FUNCTIONS)
    import importlib.metadata
    assert undarix_ufuncs.__version__ == importlib.metadata.version("undarix")
    assert "ufunc" in undarix_ufuncs.__doc__


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_help_on_the_module_shows_every_ufuncs_text(name):
    # pydoc documents a ufunc instance's own text only from Python 3.13 on.
    import pydoc
    page = pydoc.render_doc(undarix_ufuncs, renderer=pydoc.plaintext)
    first_line = ufunc(name).__doc__.split("\n\n")[1].splitlines()[0]
    assert first_line in page and "%s(%s)" % (name, ", ".join(PARAMETERS[name])) in page


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_docstrings_document_every_parameter_and_an_example(name):
    doc = ufunc(name).__doc__
    assert doc.startswith(name + "(")  # NumPy's call signature line
    assert "%s(%s)" % (name, ", ".join(PARAMETERS[name])) in doc
    for section in ("Parameters\n----------", "Returns\n-------", "Examples\n--------"):
        assert section in doc
    for parameter in PARAMETERS[name]:
        assert "\n%s : " % parameter in doc
    if name == "transient_impulse":
        assert "hours" in doc and "24" in doc
    if name == "fourier_square_wave":
        # A negative count is NaN with NumPy's "invalid" flag, not an exception.
        assert "ValueError" not in doc and "NaN" in doc and "errstate" in doc and "RuntimeWarning" in doc


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_docstring_examples_run(name):
    import doctest
    test = doctest.DocTestParser().get_doctest(ufunc(name).__doc__, {}, name, None, 0)
    assert test.examples
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert runner.summarize(verbose=False).failed == 0


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_random_inputs_give_the_strict_modules_bits(name, seed):
    columns = random_inputs(name, 3000, np.random.default_rng(seed))
    assert_same_floats(ufunc(name)(*columns), reference(name, *columns))


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_scalar_parameters_on_long_time_arrays(name):
    # Long enough for the worker threads, with huge and special times throughout.
    time = np.concatenate([np.linspace(-50.0, 3e5, 300_000), SPECIALS, np.geomspace(1e3, 1e300, 1000)])
    got = ufunc(name)(time, *VALID_SCALARS[name])
    assert_same_floats(got, getattr(undarix, name)(time, *VALID_SCALARS[name]))


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
@pytest.mark.parametrize("shapes", [
    [()] * 7,                                   # all scalars: 0-d
    [(5,), (), (), (), (), (), ()],
    [(1, 7), (4, 1), (4, 1), (), (4, 7), (), ()],  # a sweep: parameters down, time across
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
    got = ufunc(name)(*args)
    assert got.shape == np.broadcast(*args).shape
    assert_same_floats(got, reference(name, *args))


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_scalars_in_give_a_numpy_scalar(name):
    scalars = [0.7] + [int(v) if isinstance(v, int) else v for v in VALID_SCALARS[name]]
    got = ufunc(name)(*scalars)
    assert type(got) is np.float64
    assert bits(got) == bits(getattr(undarix, name)(np.array([0.7]), *VALID_SCALARS[name]))
    zero_d = ufunc(name)(*[np.array(v) for v in scalars])
    assert type(zero_d) is np.float64 and bits(zero_d) == bits(got)


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
@pytest.mark.parametrize("make_view", [
    lambda a: a[::2],
    lambda a: a[::-1],
    lambda a: a.reshape(40, 50).T,
    lambda a: np.asfortranarray(a.reshape(40, 50)),
    lambda a: a.reshape(40, 50)[::3, 1::4],
    lambda a: np.lib.stride_tricks.as_strided(a, (30, 20), (8 * 7, 8 * 3)),
], ids=["step2", "reversed", "transposed", "fortran", "2d-slice", "overlapping"])
def test_strides_and_orders(name, make_view):
    base = np.linspace(-20.0, 80.0, 2000)
    base.setflags(write=False)  # read-only input
    time = make_view(base)
    got = ufunc(name)(time, *VALID_SCALARS[name])
    assert_same_floats(got, reference(name, time, *VALID_SCALARS[name]))


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
@pytest.mark.parametrize("dtype", [np.float32, np.float16, np.int32, np.int64, np.uint8, np.bool_, ">f8", "<f4"])
def test_inputs_of_other_real_dtypes_are_cast(name, dtype):
    time = (np.arange(-30, 30) * 0.75).astype(dtype)
    params = [np.asarray(v).astype(dtype) if isinstance(v, float) else v for v in VALID_SCALARS[name]]
    got = ufunc(name)(time, *params)
    # Types that cast to float32 safely take the float32 loops: the float64
    # values rounded once.  The others take the float64 loops.
    to_float32 = np.dtype(dtype).kind in "fub" and np.dtype(dtype).itemsize <= 4
    expected = reference(name, time.astype(np.float64), *[np.asarray(p, dtype=np.float64)
                                                          if not isinstance(p, int) else p
                                                          for p in params])
    (assert_same_float32 if to_float32 else assert_same_floats)(got, expected)


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_out_non_contiguous_and_aliasing_time(name):
    time = np.linspace(-5.0, 95.0, 20_000)
    expected = reference(name, time, *VALID_SCALARS[name])
    out = np.full(40_000, 7.0)[::2]
    result = ufunc(name)(time, *VALID_SCALARS[name], out=out)
    assert result is out
    assert_same_floats(out, expected)
    aliased = time.copy()
    assert ufunc(name)(aliased, *VALID_SCALARS[name], out=aliased) is aliased
    assert_same_floats(aliased, expected)
    reversed_alias = time.copy()
    ufunc(name)(reversed_alias[::-1], *VALID_SCALARS[name], out=reversed_alias)  # overlapping: NumPy copies
    assert_same_floats(reversed_alias, expected[::-1])


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_where_leaves_masked_elements_alone(name):
    time = np.linspace(0.0, 10.0, 1001)
    mask = np.arange(1001) % 3 == 0
    out = np.full(1001, -1.25)
    ufunc(name)(time, *VALID_SCALARS[name], out=out, where=mask)
    expected = reference(name, time, *VALID_SCALARS[name])
    assert_same_floats(out[mask], expected[mask])
    assert (out[~mask] == -1.25).all()


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_dtype_casting_and_subok_keywords(name):
    # int32 casts to float64 safely, not to float32: it takes the float64 loop.
    time = np.arange(11, dtype=np.int32)
    expected = reference(name, time.astype(np.float64), *VALID_SCALARS[name])
    assert_same_floats(ufunc(name)(time, *VALID_SCALARS[name], dtype=np.float64), expected)
    assert_same_floats(ufunc(name)(time, *VALID_SCALARS[name], casting="safe"), expected)
    with pytest.raises(TypeError):
        ufunc(name)(time, *VALID_SCALARS[name], casting="no")
    with pytest.raises(TypeError):
        ufunc(name)(time, *VALID_SCALARS[name], dtype=np.float32, casting="same_kind", out=np.empty(11, np.int32))

    class Tagged(np.ndarray):
        pass

    tagged = np.linspace(0.0, 10.0, 11).view(Tagged)
    assert type(ufunc(name)(tagged, *VALID_SCALARS[name])) is Tagged
    assert type(ufunc(name)(tagged, *VALID_SCALARS[name], subok=False)) is np.ndarray


@pytest.mark.parametrize("harmonics", [0, 1, 2, 17, 300])
def test_fourier_harmonic_counts_of_every_integer_type(harmonics):
    time = np.linspace(-3.0, 40.0, 5000)
    expected = undarix.fourier_square_wave(time, 1.0, -0.1, 2.0, 0.3, 0.5, harmonics)
    for count in (harmonics, np.int64(harmonics), np.uint64(harmonics), np.int8(min(harmonics, 127)),
                  np.array([harmonics], dtype=np.uint32)):
        if int(np.asarray(count).ravel()[0]) != harmonics:
            continue
        assert_same_floats(undarix_ufuncs.fourier_square_wave(time, 1.0, -0.1, 2.0, 0.3, 0.5, count), expected)


def test_fourier_uint64_counts_beyond_int64_are_accepted():
    # Every uint64 is in the domain, as for the strict module (the uint64 loop takes it
    # without a cast); zero elements keep the call short.
    got = undarix_ufuncs.fourier_square_wave(np.empty(0), 1.0, 0.0, 1.0, 0.0, 0.0, np.uint64(2**64 - 1))
    assert got.shape == (0,)
    assert undarix_ufuncs.fourier_square_wave.types in (
        ["ffffffl->f", "ffffffL->f", "ddddddl->d", "ddddddL->d"],
        ["ffffffq->f", "ffffffQ->f", "ddddddq->d", "ddddddQ->d"])


@pytest.mark.parametrize("count", [-1, np.int64(-2**63), [3, -4, 5]])
def test_negative_harmonic_count_gives_nan_with_the_invalid_flag(count):
    # Outside the domain, the NumPy way (test_ufunc_domain.py has the layouts): NaN where the
    # count is negative, the other elements computed, and np.errstate decides what is said.
    out = np.full(3, 9.0)
    with np.errstate(invalid="raise"):
        with pytest.raises(FloatingPointError, match="invalid value encountered in fourier_square_wave"):
            undarix_ufuncs.fourier_square_wave(np.arange(3.0), 1.0, 0.0, 1.0, 0.0, 0.0, count, out=out)
    counts = np.broadcast_to(np.asarray(count), (3,))
    for i, n in enumerate(counts.tolist()):
        if n < 0:
            assert np.isnan(out[i])
        else:
            assert bits(out[i]) == bits(undarix.fourier_square_wave(np.array([float(i)]), 1.0, 0.0, 1.0, 0.0, 0.0, n))


@pytest.mark.parametrize("call, error", [
    (lambda: undarix_ufuncs.fourier_square_wave(np.arange(3.0), 1, 0, 1, 0, 0, 2.5), TypeError),
    (lambda: undarix_ufuncs.fourier_square_wave(np.arange(3.0), 1, 0, 1, 0, 0, np.array([2.0])), TypeError),
    (lambda: undarix_ufuncs.harmonic_oscillator(np.arange(3.0), 1j, 0, 1, 0, 0), TypeError),
    (lambda: undarix_ufuncs.harmonic_oscillator(np.arange(3.0), "a", 0, 1, 0, 0), TypeError),
    (lambda: undarix_ufuncs.harmonic_oscillator(np.arange(3.0), 1, 0, 1, 0), TypeError),
    (lambda: undarix_ufuncs.transient_impulse(np.arange(3.0), np.ones(2), 0, 1, 0), ValueError),
    (lambda: undarix_ufuncs.transient_impulse(np.arange(3.0), 1, 0, 1, 0, out=np.empty(3, np.int64)), TypeError),
    (lambda: undarix_ufuncs.pseudo_cycloid_wave(np.arange(3.0), 1, 0, 1, 0, 0, out=np.empty(2)), ValueError),
])
def test_errors_are_ordinary_exceptions(call, error):
    with pytest.raises(Exception) as raised:
        call()
    assert isinstance(raised.value, error) and str(raised.value)


def test_floating_point_flags_follow_errstate_on_every_thread_count(monkeypatch):
    # exp overflows for every element (on every thread), sin of infinity is invalid.
    overflowing = np.full(300_000, 1000.0)
    for threads in ("1", "2", "3"):
        monkeypatch.setenv("UNDARIX_NUM_THREADS", threads)
        for size in (300_000, 5_000, 1_000, 10):
            with np.errstate(over="raise"):
                with pytest.raises(FloatingPointError, match="overflow"):
                    undarix_ufuncs.harmonic_oscillator(overflowing[:size], 1.0, 1.0, 1.0, 0.0, 0.0)
            with np.errstate(invalid="raise"):
                with pytest.raises(FloatingPointError, match="invalid"):
                    undarix_ufuncs.pseudo_square_wave(np.full(size, np.inf), 1.0, 0.0, 1.0, 0.0, 0.0)
            with np.errstate(all="ignore"):
                undarix_ufuncs.harmonic_oscillator(overflowing[:size], 1.0, 1.0, 1.0, 0.0, 0.0)


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_thread_counts_give_identical_bits(name, monkeypatch):
    rng = np.random.default_rng(11)
    time = np.concatenate([rng.standard_normal(150_000) * 1e3, SPECIALS])
    sweep = [rng.standard_normal((300, 1)) for _ in PARAMETERS[name][1:]]
    if name == "fourier_square_wave":
        sweep[-1] = rng.integers(0, 6, (300, 1))
    results = []
    for threads in ("1", "2", "3", "7"):
        monkeypatch.setenv("UNDARIX_NUM_THREADS", threads)
        results.append((ufunc(name)(time, *VALID_SCALARS[name]),
                        ufunc(name)(time[None, :1500], *sweep)))
    for long, rows in results[1:]:
        assert (bits(long) == bits(results[0][0])).all()
        assert (bits(rows) == bits(results[0][1])).all()
    assert_same_floats(results[0][1][:20], reference(name, time[None, :1500], *[s[:20] for s in sweep]))


@pytest.mark.parametrize("depth", [1, 4, 9])
def test_calls_nested_in_the_casts_of_another_call_give_their_own_bits(depth, monkeypatch):
    # Casting an object operand runs Python code inside the call, between NumPy's asking for the
    # call's loop and its freeing the call's data; that code may call the ufuncs again, each
    # nested call with state of its own, deeper than any fixed number of them.
    monkeypatch.setenv("UNDARIX_NUM_THREADS", "3")
    inner = []

    class Time:
        def __init__(self, x, level):
            self.x, self.level = x, level

        def __float__(self):
            if self.level < depth and self.x == 0.0:
                times = np.array([Time(0.25 * i, self.level + 1) for i in range(20_000)], dtype=object)
                inner.append(undarix_ufuncs.harmonic_oscillator(times, *VALID_SCALARS["harmonic_oscillator"], dtype=np.float64,
                                                               casting="unsafe"))
            return self.x

    times = np.array([Time(0.25 * i, 0) for i in range(20_000)], dtype=object)
    outer = undarix_ufuncs.harmonic_oscillator(times, *VALID_SCALARS["harmonic_oscillator"], dtype=np.float64, casting="unsafe")
    expected = undarix_ufuncs.harmonic_oscillator(0.25 * np.arange(20_000.0), *VALID_SCALARS["harmonic_oscillator"])
    assert len(inner) == depth
    for result in inner + [outer]:
        assert (bits(result) == bits(expected)).all()


def test_sweep_rows_from_several_python_threads_at_once():
    # Threads compete for the worker team; a caller that finds it busy does its rows alone.
    time = np.linspace(0.0, 30.0, 1000)
    amplitude = np.linspace(0.5, 2.0, 400)[:, None]
    omega = np.linspace(1.0, 3.0, 400)[:, None]
    expected = undarix_ufuncs.harmonic_oscillator(time, amplitude, -0.1, omega, 0.0, 0.0)
    failures = []

    def work():
        for _ in range(10):
            got = undarix_ufuncs.harmonic_oscillator(time, amplitude, -0.1, omega, 0.0, 0.0)
            if not (bits(got) == bits(expected)).all():
                failures.append("differs")

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    assert_same_floats(expected[::57], reference("harmonic_oscillator", time, amplitude[::57], -0.1,
                                                 omega[::57], 0.0, 0.0))


def test_forked_child_uses_a_team_of_its_own():
    code = """
        import os, numpy as np, undarix_ufuncs as uf
        os.environ["UNDARIX_NUM_THREADS"] = "2"
        t = np.linspace(0.0, 10.0, 1000); a = np.linspace(1.0, 2.0, 50)[:, None]
        parent = uf.harmonic_oscillator(t, a, -0.1, 2.0, 0.0, 0.0)  # starts the team
        pid = os.fork()
        if pid == 0:
            child = uf.harmonic_oscillator(t, a, -0.1, 2.0, 0.0, 0.0)
            os._exit(0 if (child.view(np.uint64) == parent.view(np.uint64)).all() else 3)
        _, status = os.waitpid(pid, 0)
        print(os.WEXITSTATUS(status) if os.WIFEXITED(status) else "signal")
    """
    assert run_python(code).stdout.strip() == "0"


def test_pickled_ufuncs_load_in_a_fresh_process():
    payload = pickle.dumps([ufunc(name) for name in ALL_FUNCTIONS])
    code = """
        import pickle, sys, numpy as np
        functions = pickle.loads(bytes.fromhex(sys.argv[1]))
        import undarix_ufuncs
        assert [f is getattr(undarix_ufuncs, f.__name__) for f in functions] == [True] * 5
        print(functions[0](np.array([0.0, 1.0]), 1.0, 0.0, 1.0, 0.0, 0.0).tolist())
    """
    completed = subprocess.run([sys.executable, "-c", textwrap.dedent(code), payload.hex()],
                               capture_output=True, text=True, timeout=120)
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.strip() == str([1.0, math.cos(1.0)])  # the C runtime's cos


def test_process_pool_workers_evaluate_pickled_ufuncs():
    import concurrent.futures
    import multiprocessing
    time = np.linspace(0.0, 5.0, 101)
    # Fresh interpreters: the ufuncs travel by module and name.
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        got = list(pool.map(undarix_ufuncs.transient_impulse, [time, time[::-1]], [1.0, 2.0], [6.0, 6.0],
                            [0.5, 0.5], [0.0, 0.0]))
    assert_same_floats(got[0], undarix.transient_impulse(time, 1.0, 6.0, 0.5, 0.0))
    assert_same_floats(got[1], undarix.transient_impulse(np.ascontiguousarray(time[::-1]), 2.0, 6.0, 0.5, 0.0))


@pytest.mark.parametrize("points, harmonics", [(2000, 20_000), (64, 300_000)],
                         ids=["numpy-releases-the-lock", "numpy-keeps-it-for-few-elements"])
def test_other_python_threads_run_during_a_long_call(points, harmonics):
    ticks = []
    stop = threading.Event()

    def count():
        while not stop.is_set():
            ticks.append(1)
            clock.sleep(0.001)

    counter = threading.Thread(target=count)
    counter.start()
    try:
        before = len(ticks)
        undarix_ufuncs.fourier_square_wave(np.linspace(0.0, 1.0, points), 1.0, 0.0, 1.0, 0.0, 0.0, harmonics)
        during = len(ticks) - before
    finally:
        stop.set()
        counter.join()
    assert during > 3


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
def test_ctrl_c_interrupts_a_long_call():
    # The call would take days (64 elements of 10^12 harmonics): ending within the subprocess's
    # time limit with KeyboardInterrupt, after the handler ran, shows it polled for signals.
    code = """
        import os, signal, threading, numpy as np, undarix_ufuncs as uf
        handled = []

        def handler(signum, frame):
            handled.append(signum)
            raise KeyboardInterrupt

        signal.signal(signal.SIGINT, handler)
        threading.Timer(0.5, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
        try:
            uf.fourier_square_wave(np.linspace(0.0, 1.0, 64), 1.0, 0.0, 1.0, 0.0, 0.0, 10**12)
        except KeyboardInterrupt:
            print("interrupted", handled == [signal.SIGINT])
    """
    completed = run_python(code)
    assert completed.stdout == "interrupted True\n", completed.stdout


def test_thread_setting_warning_turned_error_is_raised(monkeypatch):
    import warnings
    monkeypatch.setenv("UNDARIX_NUM_THREADS", "many")
    code = """
        import warnings, numpy as np, undarix_ufuncs as uf
        warnings.simplefilter("error")
        try:
            uf.harmonic_oscillator(np.linspace(0.0, 1.0, 200_000), 1.0, 0.0, 1.0, 0.0, 0.0)
        except RuntimeWarning as warning:
            print("raised:", warning)
    """
    completed = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                               env=dict(os.environ), timeout=120)
    assert "raised: ignoring UNDARIX_NUM_THREADS='many'" in completed.stdout, completed.stdout + completed.stderr


@pytest.mark.skipif(not sys.platform.startswith("linux") or shutil.which("nm") is None,
                    reason="reads the ELF dynamic symbol table with nm")
def test_only_the_initialisation_function_is_exported():
    listing = subprocess.run(["nm", "-D", "--defined-only", undarix_ufuncs.__file__], capture_output=True,
                             text=True, check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines() if line.strip()] == ["PyInit_undarix_ufuncs"]


def test_the_strict_module_is_unchanged_beside_it():
    # Importing the ufuncs adds nothing to undarix and leaves its functions' documentation as it was.
    assert undarix.__all__ == ALL_FUNCTIONS
    assert all(getattr(undarix, name).__doc__ is None for name in ALL_FUNCTIONS)
    completed = run_python("""
        import undarix
        before = dict(vars(undarix))
        import undarix_ufuncs
        after = vars(undarix)
        print(sorted(set(after) ^ set(before)), [name for name in before if after[name] is not before[name]])
    """)
    assert completed.stdout == "[] []\n"


def test_no_borrow_checks_like_numpys_own_ufuncs(borrow_api, panic_type):
    # Another extension module holds an exclusive borrow of the array: the strict module
    # refuses it, the ufunc reads it as NumPy's own ufuncs would, and leaves no borrow.
    time = np.linspace(0.0, 10.0, 1000)
    assert borrow_api.acquire_exclusive(time) == 0
    with pytest.raises(panic_type):
        undarix.harmonic_oscillator(time, 1.0, 0.0, 1.0, 0.0, 0.0)
    got = undarix_ufuncs.harmonic_oscillator(time, 1.0, 0.0, 1.0, 0.0, 0.0)
    assert_same_floats(got, reference("harmonic_oscillator", time, 1.0, 0.0, 1.0, 0.0, 0.0))  # copies of time
    borrow_api.release(*borrow_api.held[-1])
    assert borrow_api.acquire_exclusive(time) == 0  # the ufunc took no borrow
