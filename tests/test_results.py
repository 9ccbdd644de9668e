"""Shape, ownership and memory layout of the arrays the waveforms return."""
import sys
import weakref

import numpy as np
import pytest

import undarix
from conftest import ALL_FUNCTIONS, VALID_SCALARS, assert_same_floats, bits

NOT_CONTIGUOUS = "called `Result::unwrap()` on an `Err` value: NotContiguousError"


class Sub(np.ndarray):
    pass


def call(name, times):
    return getattr(undarix, name)(times, *VALID_SCALARS[name])


def sample(n=23):
    return np.linspace(-4.0, 11.0, n)


def unaligned(values):
    values = np.asarray(values, dtype=np.float64)
    out = np.frombuffer(bytearray(8 * values.size + 1), dtype="<f8", offset=1, count=values.size)
    out[:] = values
    return out


def readonly(values):
    values = values.copy()
    values.setflags(write=False)
    return values


INPUTS = {
    "plain": sample,
    "empty": lambda: np.empty(0),
    "single": lambda: np.array([0.75]),
    "subclass": lambda: sample().view(Sub),
    "readonly": lambda: readonly(sample()),
    "readonly_buffer": lambda: np.frombuffer(sample().tobytes(), dtype=np.float64),
    "fortran": lambda: np.asfortranarray(sample()),
    "fortran_column": lambda: np.asfortranarray(sample(24).reshape(6, 4))[:, 1],
    "unaligned": lambda: unaligned(sample()),
    "one_of_strided": lambda: sample(8)[3::5],
    "one_of_reversed": lambda: sample(8)[5:4:-1],
    "empty_strided": lambda: sample(8)[4:4:3],
    "interior_slice": lambda: sample(40)[7:30],
}


@pytest.mark.parametrize("kind", sorted(INPUTS))
@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_result_is_a_fresh_float64_array(name, kind):
    times = INPUTS[kind]()
    before = bits(times).copy()
    result = call(name, times)
    assert type(result) is np.ndarray
    assert result.dtype == np.float64 and result.dtype.isnative
    assert result.shape == times.shape
    assert result.flags.c_contiguous and result.flags.writeable and result.flags.owndata
    assert result.base is None
    assert not np.shares_memory(result, times)
    assert (bits(times) == before).all()
    assert_same_floats(result, call(name, np.array(times, dtype=np.float64, order="C")))


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_element_values_do_not_depend_on_alignment_or_position(name):
    times = np.linspace(-30.0, 30.0, 257)
    whole = call(name, times)
    assert (bits(call(name, unaligned(times))) == bits(whole)).all()
    for start, stop in [(0, 1), (1, 2), (5, 13), (3, 257), (100, 101)]:
        assert (bits(call(name, times[start:stop].copy())) == bits(whole[start:stop])).all()


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_results_are_independent(name):
    times = sample()
    first, second = call(name, times), call(name, times)
    assert first is not second and not np.shares_memory(first, second)
    first[:] = 0.0
    assert (bits(second) == bits(call(name, times))).all()


def noncontiguous_views():
    base = np.linspace(0.0, 9.0, 10)
    return {
        "every_second": base[::2],
        "two_of_strided": base[1:5:3],
        "reversed": base[::-1],
        "column_of_c_matrix": base.reshape(5, 2)[:, 0],
        "subclass_strided": base.view(Sub)[::3],
    }


@pytest.mark.parametrize("view", sorted(noncontiguous_views()))
@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_noncontiguous_time_panics_and_releases_the_array(name, view, panic_type):
    times = noncontiguous_views()[view]
    with pytest.raises(panic_type) as info:
        call(name, times)
    assert str(info.value) == NOT_CONTIGUOUS
    assert info.value.args == (NOT_CONTIGUOUS,)
    # The failed call must not leave the memory borrowed.
    again = np.ascontiguousarray(times)
    assert call(name, again).shape == again.shape
    base = times.base if times.base is not None else times
    assert call(name, np.asarray(base).ravel()).shape == (base.size,)


def count_of_sole_local():
    """What sys.getrefcount reports for an object held by one local name alone.  It depends on
    the interpreter: from CPython 3.14 the argument no longer adds a reference of its own."""
    only = object()
    return sys.getrefcount(only)


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_calls_release_all_references(name):
    times = sample()
    float64 = np.dtype(np.float64)
    sole = count_of_sole_local()
    call(name, times)  # warm up lazily filled caches
    counts = sys.getrefcount(times), sys.getrefcount(float64)
    for _ in range(20):
        result = call(name, times)
        assert sys.getrefcount(result) == sole
        # Independent of how the interpreter counts: the result dies with its last name.
        alive = weakref.ref(result)
        del result
        assert alive() is None
    assert (sys.getrefcount(times), sys.getrefcount(float64)) == counts
