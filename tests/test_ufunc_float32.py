"""float32 in, float32 out: the ufuncs' float32 loops evaluate in double exactly as the
float64 loops do and round each result to float32 once, so every value is bit for bit
np.float32 of the float64 result of the same (widened) inputs."""
import numpy as np
import pytest

import undarix_ufuncs
from conftest import ALL_FUNCTIONS, PARAMETERS, VALID_SCALARS, assert_same_float32, assert_same_floats

NUMPY_2 = int(np.__version__.split(".")[0]) >= 2

# Special values overflow exp and make sin and cos invalid, and rounding a large double to
# float32 overflows: NumPy's warnings for them are expected here.
pytestmark = pytest.mark.filterwarnings("ignore:(overflow|invalid value|divide by zero) encountered in:RuntimeWarning")

SPECIALS32 = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 1e-45, -1e-45, 1.1754944e-38,
                       3.4028235e38, -3.4028235e38, 1e22, 16777217.0, 88.7, -103.9, np.pi, -np.pi / 2],
                      dtype=np.float32)


def ufunc(name):
    return getattr(undarix_ufuncs, name)


def float32_inputs(name, size, rng, count_type=np.int64):
    """Random float32 inputs for every argument (the harmonic count as `count_type`), float32
    specials mixed in."""
    columns = []
    for parameter in PARAMETERS[name]:
        if parameter == "num_harmonics":
            columns.append(rng.integers(0, 12, size).astype(count_type))
            continue
        scale = {"time": 60.0, "gamma": 0.3, "omega": 4.0, "period": 24.0, "width": 1.0}.get(parameter, 3.0)
        column = (rng.standard_normal(size) * scale).astype(np.float32)
        special = rng.random(size) < 0.1
        column[special] = rng.choice(SPECIALS32, int(special.sum()))
        columns.append(column)
    return columns


def widened(args):
    """The arguments with every float array or scalar widened to float64 (exactly)."""
    return [np.asarray(a, dtype=np.float64) if np.asarray(a).dtype.kind == "f" else a for a in args]


def float64_result(name, args):
    """The float64 loop's values for the same inputs."""
    result = ufunc(name)(*widened(args))
    assert result.dtype == np.float64
    return result


def test_every_ufunc_has_a_float32_loop_ahead_of_its_float64_one():
    for name in ALL_FUNCTIONS:
        types = ufunc(name).types
        assert [t[-1] for t in types].count("f") >= 1, (name, types)
        last_float32 = max(i for i, t in enumerate(types) if t.endswith("f"))
        first_float64 = min(i for i, t in enumerate(types) if t.endswith("d"))
        assert last_float32 < first_float64, (name, types)
    counts = {t.split("->")[0][-1] for t in ufunc("fourier_square_wave").types if t.endswith("f")}
    assert {np.dtype(c) for c in counts} == {np.dtype(np.int64), np.dtype(np.uint64)}


# Enough elements for the loop driver to split the work on two or more threads.
@pytest.mark.parametrize("threads", ["1", "2", "3"])
@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_float32_values_are_the_float64_values_rounded_once(monkeypatch, name, threads):
    monkeypatch.setenv("UNDARIX_NUM_THREADS", threads)
    rng = np.random.default_rng(32)
    size = 40_000 if name == "fourier_square_wave" else 200_000
    # Every input an array (each element's parameters read afresh) ...
    args = float32_inputs(name, size, rng)
    assert_same_float32(ufunc(name)(*args), float64_result(name, args))
    # ... and scalar parameters (read once for all elements).
    scalars = [a[7] for a in args[1:]]
    args = [args[0]] + scalars
    assert_same_float32(ufunc(name)(*args), float64_result(name, args))


@pytest.mark.parametrize("threads", ["1", "2"])
@pytest.mark.parametrize("count_type", [np.int64, np.uint64, np.int32, np.uint8])
def test_fourier_square_wave_float32_with_every_count_type(monkeypatch, threads, count_type):
    monkeypatch.setenv("UNDARIX_NUM_THREADS", threads)
    args = float32_inputs("fourier_square_wave", 30_000, np.random.default_rng(7), count_type)
    got = undarix_ufuncs.fourier_square_wave(*args)
    assert_same_float32(got, float64_result("fourier_square_wave", args))
    scalar_count = undarix_ufuncs.fourier_square_wave(*args[:-1], count_type(3))
    assert_same_float32(scalar_count, float64_result("fourier_square_wave", [*args[:-1], count_type(3)]))


@pytest.mark.filterwarnings("ignore:invalid value encountered in:RuntimeWarning")
def test_negative_count_gives_nan_in_float32_too():
    time = np.linspace(0.0, 5.0, 6, dtype=np.float32)
    counts = np.array([3, -1, 0, -7, 2, 4])
    with np.errstate(invalid="raise"):
        with pytest.raises(FloatingPointError):
            undarix_ufuncs.fourier_square_wave(time, 1.0, 0.0, 1.0, 0.0, 0.0, counts)
    got = undarix_ufuncs.fourier_square_wave(time, np.float32(1), 0.0, 1.0, 0.0, 0.0, counts)
    assert got.dtype == np.float32
    assert np.isnan(got[[1, 3]]).all() and not np.isnan(got[[0, 2, 4, 5]]).any()


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_dtype_float32_on_float64_inputs(name):
    rng = np.random.default_rng(3)
    args = widened(float32_inputs(name, 5_000, rng))
    args[0] = args[0] + rng.standard_normal(args[0].size) * 1e-3   # not exactly a float32
    if name == "fourier_square_wave":
        # dtype= asks NumPy for a loop of that one type for every operand, which the count
        # cannot be (as with np.ldexp): the signature names the count's type instead.
        got = ufunc(name)(*args, signature=(np.float32,) * 6 + (np.int64, np.float32))
    else:
        got = ufunc(name)(*args, dtype=np.float32)
    # The inputs are cast to float32 first (same_kind), then evaluated as float32 inputs.
    narrowed = [a.astype(np.float32) if a.dtype.kind == "f" else a for a in args]
    assert_same_float32(got, float64_result(name, narrowed))
    assert_same_float32(ufunc(name)(*narrowed), float64_result(name, narrowed))


@pytest.mark.parametrize("threads", ["1", "2"])
@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_out_float32(monkeypatch, name, threads):
    monkeypatch.setenv("UNDARIX_NUM_THREADS", threads)
    args = float32_inputs(name, 100_000, np.random.default_rng(5))
    expected = float64_result(name, args)
    # A strided float32 output, written by the float32 loop itself (no cast allowed).
    out = np.full(2 * args[0].size, 7.0, dtype=np.float32)[::2]
    assert ufunc(name)(*args, out=out, casting="no") is out
    assert_same_float32(out, expected)
    # In place on the float32 time, and shifted onto itself (evaluated forward).
    time = args[0].copy()
    assert ufunc(name)(time, *args[1:], out=time) is time
    assert_same_float32(time, expected)
    x = np.concatenate([args[0], args[0][:1]])
    shifted = [a[:-1] for a in float32_inputs(name, x.size, np.random.default_rng(6))[1:]]
    reference = float64_result(name, [x[1:].copy()] + shifted)
    ufunc(name)(x[1:], *shifted, out=x[:-1])
    assert_same_float32(x[:-1], reference)


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_float64_out_of_float32_inputs_uses_the_float32_loop_then_widens(name):
    # The loop is chosen from the inputs: its float32 values are widened into the float64
    # `out`, as NumPy does for its own ufuncs (np.sin(x32, out=y64)).
    args = float32_inputs(name, 1_000, np.random.default_rng(8))
    out = np.empty(args[0].size)
    ufunc(name)(*args, out=out)
    assert_same_floats(out, float64_result(name, args).astype(np.float32).astype(np.float64))


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
@pytest.mark.parametrize("wide", [0, 1, -1], ids=["time", "second", "last-float"])
def test_mixed_float32_and_float64_arrays_give_float64(name, wide):
    args = float32_inputs(name, 2_000, np.random.default_rng(9))
    floats = [i for i, a in enumerate(args) if a.dtype.kind == "f"]
    index = floats[wide]
    args[index] = args[index].astype(np.float64) * (1.0 + 1e-12)    # not exactly a float32
    got = ufunc(name)(*args)
    assert got.dtype == np.float64
    assert_same_floats(got, float64_result(name, args))


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
@pytest.mark.parametrize("dtype", [np.float64, np.int64, np.int32])
def test_float64_and_wide_integer_inputs_keep_the_float64_loop(name, dtype):
    args = float32_inputs(name, 3_000, np.random.default_rng(10))
    args[0] = (args[0].astype(np.float64) * 1.000000001).astype(dtype)
    got = ufunc(name)(args[0], *VALID_SCALARS[name])
    assert got.dtype == np.float64
    assert_same_floats(got, ufunc(name)(args[0].astype(np.float64), *VALID_SCALARS[name]))
    assert type(ufunc(name)(1.5, *VALID_SCALARS[name])) is np.float64
    assert type(ufunc(name)(2, *VALID_SCALARS[name])) is np.float64


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_python_floats_with_a_float32_array(name):
    # Python floats (and ints) beside a float32 array take the float32 loop on NumPy 1.x
    # (value-based casting: they fit in float32) and on NumPy 2 (NEP 50: they are weak).
    # Like the float32 array, they are rounded to float32 first (-0.1 is not np.float32(-0.1)).
    time = np.linspace(-3.0, 30.0, 500, dtype=np.float32)
    got = ufunc(name)(time, *VALID_SCALARS[name])
    rounded = [np.float32(v) if isinstance(v, float) else v for v in VALID_SCALARS[name]]
    assert_same_float32(got, float64_result(name, [time, *rounded]))
    # A Python float beyond float32's range: NumPy 1.x takes it as float64 (the float64
    # loop); NumPy 2 casts it to float32 (inf), as for every float32 ufunc.
    huge = list(VALID_SCALARS[name])
    huge[0] = 1e300
    with np.errstate(over="ignore"):
        got = ufunc(name)(time, *huge)
    if NUMPY_2:
        assert got.dtype == np.float32
        assert_same_float32(got, float64_result(name, [time, np.float32(np.inf), *huge[1:]]))
    else:
        assert got.dtype == np.float64
        assert_same_floats(got, float64_result(name, [time, *huge]))


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_float32_scalars(name):
    params = [np.float32(v) if isinstance(v, float) else v for v in VALID_SCALARS[name]]
    got = ufunc(name)(np.float32(1.25), *params)
    assert type(got) is np.float32
    assert_same_float32(got, float64_result(name, [np.float32(1.25), *params]))
    # A float32 scalar with Python floats: NumPy 1.x takes the Python floats as float64
    # (no value-based casting among scalars only); NumPy 2 takes them as weak.
    mixed = type(ufunc(name)(np.float32(1.25), *VALID_SCALARS[name]))
    assert mixed is (np.float32 if NUMPY_2 else np.float64)


# Parameters whose value at time 0 is finite in double but beyond float32's range.
OVERFLOWING = {
    "harmonic_oscillator": (3e38, 0.0, 1.0, 0.0, 3e38),
    "pseudo_square_wave": (3e38, 0.0, 1.0, np.pi / 2, 3e38),
    "fourier_square_wave": (3e38, 0.0, 1.0, 0.0, 3e38, 0),
    "pseudo_cycloid_wave": (3e38, 0.0, 1.0, 0.0, -3e38),
    "transient_impulse": (3e38, 0.0, 1.0, 3e38),
}


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_result_overflowing_float32_is_infinite_and_reported(name):
    # A double result beyond float32's range rounds to an infinity, raising "overflow" as
    # NumPy's own cast to float32 does.
    time = np.zeros(4, dtype=np.float32)
    params = [np.float32(v) if isinstance(v, float) else v for v in OVERFLOWING[name]]
    wide = float64_result(name, [time, *params])
    assert (np.abs(wide) > 3.5e38).all()
    with np.errstate(over="raise"):
        with pytest.raises(FloatingPointError):
            ufunc(name)(time, *params)
    with np.errstate(over="ignore"):
        got = ufunc(name)(time, *params)
    assert np.isinf(got).all()
    assert_same_float32(got, wide)
