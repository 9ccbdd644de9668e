"""undarix_ufuncs outside the waveforms' domain, the NumPy way: a negative harmonic count
gives NaN for its elements and raises the floating-point "invalid" flag, which np.errstate
governs; the other elements are evaluated.  NaN inputs raise no flag at all."""
import ctypes
import ctypes.util
import platform
import warnings

import numpy as np
import pytest

import undarix
import undarix_ufuncs
from conftest import ALL_FUNCTIONS, VALID_SCALARS, bits

fourier = undarix_ufuncs.fourier_square_wave
PARAMETERS = (1.0, -0.1, 2.0, 0.3, 0.5)


def expected_values(time, counts):
    """NaN where the count is negative, the strict module's value elsewhere."""
    time, counts = np.broadcast_arrays(np.asarray(time, dtype=np.float64), np.asarray(counts))
    out = np.full(time.shape, np.nan)
    for index in np.ndindex(time.shape):
        if counts[index] >= 0:
            out[index] = undarix.fourier_square_wave(np.array([time[index]]), *PARAMETERS, int(counts[index]))[0]
    return out


# (time, counts): a scalar count, the most negative int64, mixed counts in a row, a sweep
# whose rows each are one loop call, and int32 counts cast to int64 through NumPy's buffers.
CASES = {
    "scalar": (np.linspace(0.0, 9.0, 10), -1),
    "int64-min": (np.linspace(0.0, 9.0, 10), np.int64(-2**63)),
    "mixed": (np.linspace(0.0, 9.0, 9), np.array([3, -4, 5] * 3)),
    "sweep-rows": (np.linspace(0.0, 30.0, 1_000)[None, :], np.where(np.arange(50) == 48, -2, 4)[:, None]),
    "cast-through-buffers": (np.linspace(0.0, 30.0, 20_000),
                             np.where(np.arange(20_000) % 7 == 3, -1, 2).astype(np.int32)),
}


@pytest.mark.parametrize("threads", ["1", "2", "3"])
@pytest.mark.parametrize("case", sorted(CASES))
def test_negative_counts_give_nan_and_the_rest_is_computed(case, threads, monkeypatch):
    monkeypatch.setenv("UNDARIX_NUM_THREADS", threads)
    time, counts = CASES[case]
    expected = expected_values(time, counts)
    out = np.full(expected.shape, 9.0)
    with np.errstate(invalid="ignore"):
        assert fourier(time, *PARAMETERS, counts, out=out) is out
    assert (bits(out) == bits(expected)).all()


@pytest.mark.parametrize("threads", ["1", "2", "3"])
@pytest.mark.parametrize("case", sorted(CASES))
def test_negative_counts_follow_errstate(case, threads, monkeypatch):
    monkeypatch.setenv("UNDARIX_NUM_THREADS", threads)
    time, counts = CASES[case]
    with pytest.warns(RuntimeWarning, match="invalid value encountered in fourier_square_wave"):
        with np.errstate(invalid="warn"):
            fourier(time, *PARAMETERS, counts)
    with np.errstate(invalid="raise"):
        with pytest.raises(FloatingPointError, match="invalid value encountered in fourier_square_wave"):
            fourier(time, *PARAMETERS, counts)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with np.errstate(invalid="ignore"):
            fourier(time, *PARAMETERS, counts)


def numpy_reference_warnings(call):
    """The RuntimeWarnings NumPy's own np.sqrt gives for the same masked layout."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        call()
    return sorted({str(w.message).replace("sqrt", "") for w in caught if w.category is RuntimeWarning})


def test_negative_count_under_a_numpy_mask_behaves_as_numpy_does():
    time = np.linspace(0.0, 4.0, 3)
    counts = np.ma.array([3, -1, 5], mask=[False, True, False])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = fourier(time, *PARAMETERS, counts)
    ours = sorted({str(w.message).replace("fourier_square_wave", "") for w in caught
                   if w.category is RuntimeWarning})
    assert ours == numpy_reference_warnings(lambda: np.sqrt(np.ma.array([4.0, -1.0, 9.0], mask=[0, 1, 0])))
    assert isinstance(got, np.ma.MaskedArray) and list(got.mask) == [False, True, False]
    assert (bits(got.data[[0, 2]]) == bits(expected_values(time[[0, 2]], [3, 5]))).all()


def test_negative_count_under_a_pandas_na_behaves_as_numpy_does():
    pd = pytest.importorskip("pandas")
    time = np.linspace(0.0, 4.0, 3)
    counts = pd.arrays.IntegerArray(np.array([3, -1, 5]), np.array([False, True, False]))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # whether pandas lets it through is pandas' choice
        got = fourier(time, *PARAMETERS, counts)
    assert list(pd.isna(got)) == [False, True, False]
    values = np.asarray(got[[0, 2]], dtype=np.float64)
    assert (bits(values) == bits(expected_values(time[[0, 2]], [3, 5]))).all()


def test_dask_negative_scalar_count_gives_nan():
    da = pytest.importorskip("dask.array")
    lazy = fourier(da.linspace(0.0, 9.0, 10, chunks=4), *PARAMETERS, -1)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # raised on dask's worker threads
        got = lazy.compute(scheduler="synchronous")
    assert got.shape == (10,) and np.isnan(got).all()


def test_counts_beyond_int64_are_taken_as_the_docstring_says():
    # Every uint64 given as a NumPy uint64 is accepted; a Python int follows NumPy's rule for
    # Python ints, which the docstring states: int64 on NumPy 2, value-based before.  Python
    # ints below 2**63 and int64 arrays keep their loop and their bits.
    doc = fourier.__doc__
    assert "2**63" in doc and "OverflowError" in doc and "numpy.uint64" in doc
    empty = np.linspace(0.0, 1.0, 0)
    for count in (np.uint64(2**63), np.uint64(2**64 - 1), np.array([2**64 - 1], dtype=np.uint64)):
        assert fourier(empty, *PARAMETERS, count).shape == (0,)
    for count in (2**63, 2**64 - 1):
        if np.lib.NumpyVersion(np.__version__) >= "2.0.0":
            with pytest.raises(OverflowError):
                fourier(empty, *PARAMETERS, count)
        else:
            assert fourier(empty, *PARAMETERS, count).shape == (0,)
    t = np.linspace(-3.0, 40.0, 2_000)
    expected = undarix.fourier_square_wave(t, *PARAMETERS, 17)
    for count in (17, np.int64(17), np.uint64(17), np.array([17] * 2_000), np.array([17] * 2_000, np.uint64)):
        assert (bits(fourier(t, *PARAMETERS, count)) == bits(expected)).all()


# NaN in the time or any parameter: no flag raised, as by NumPy's own ufuncs, and the strict
# module's bits.
NAN_POSITIONS = {name: list(range(len(VALID_SCALARS[name]) + 1 - (name == "fourier_square_wave")))
                 for name in ALL_FUNCTIONS}


@pytest.mark.parametrize("name, position", [(n, p) for n in ALL_FUNCTIONS for p in NAN_POSITIONS[n]])
@pytest.mark.parametrize("size", [3, 5_000, 200_000])
def test_nan_inputs_raise_no_floating_point_flag(name, position, size):
    args = [np.linspace(0.0, 50.0, size)] + list(VALID_SCALARS[name])
    args[position] = np.full(size, np.nan) if position == 0 else np.nan
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with np.errstate(all="raise"):
            got = getattr(undarix_ufuncs, name)(*args)
            strict = getattr(undarix, name)(*args)
    assert (bits(got) == bits(strict)).all()


def c_runtime_flags():
    """fetestexcept/feclearexcept of the C runtime, for the flags the strict module leaves on
    the calling thread (it reports none: it must raise none for NaN)."""
    libm = ctypes.CDLL(ctypes.util.find_library("m"))
    return libm.feclearexcept, libm.fetestexcept


@pytest.mark.skipif(platform.system() != "Linux", reason="FE_INVALID is 1 on Linux x86_64 and aarch64")
@pytest.mark.parametrize("name, position", [(n, p) for n in ALL_FUNCTIONS for p in NAN_POSITIONS[n]])
def test_strict_functions_raise_no_invalid_flag_for_nan(name, position):
    fe_invalid, fe_all = 1, 0x3D if platform.machine() in ("x86_64", "AMD64") else 0x1F
    clear, test = c_runtime_flags()
    args = [np.linspace(0.0, 50.0, 64)] + list(VALID_SCALARS[name])  # short: on the calling thread
    args[position] = np.full(64, np.nan) if position == 0 else np.nan
    clear(fe_all)
    getattr(undarix, name)(*args)
    assert test(fe_all) & fe_invalid == 0
