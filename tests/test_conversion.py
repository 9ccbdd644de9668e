"""Conversion of the `time` array, the double parameters and `num_harmonics`."""
import fractions
import math
import sys

import numpy as np
import pytest

import undarix
from conftest import ALL_FUNCTIONS, PARAMETERS, VALID_SCALARS, bits

T = np.linspace(-2.0, 3.0, 9)
FOURIER = (1.0, -0.1, 2.0, 0.3, 0.5)


class A:
    class B:
        pass


class Sub(np.ndarray):
    pass


class Hook:
    """Returns `result` from __float__ / __index__ (raises it if it is an exception)."""

    def __init__(self, result, calls=None):
        self.result, self.calls = result, calls

    def give(self):
        if self.calls is not None:
            self.calls.append(self)
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class Floaty(Hook):
    __float__ = Hook.give


class Indexy(Hook):
    __index__ = Hook.give


# CPython's own messages for __float__ / __index__ returning another type, which the module
# passes on after its prefix; 3.15 reworded them and names the method by its qualified name.
if sys.version_info >= (3, 15):
    FLOAT_RETURNED_STR = "%s.Floaty.__float__() must return a float, not str" % Floaty.__module__
    INDEX_RETURNED_FLOAT = "%s.Indexy.__index__() must return an int, not float" % Indexy.__module__
else:
    FLOAT_RETURNED_STR = "Floaty.__float__ returned non-float (type str)"
    INDEX_RETURNED_FLOAT = "__index__ returned non-int (type float)"


class MyTypeError(TypeError):
    pass


class OwnFloat(float):  # a float subclass is read by its value, not through __float__
    def __float__(self):
        return 9.0


class OwnInt(int):  # an int subclass converts through its __float__
    def __float__(self):
        return 9.0


def call(name, *args, **kwargs):
    return getattr(undarix, name)(*args, **kwargs)


def replaced(name, parameter, value, times=T):
    """Valid arguments for `name` with one parameter replaced."""
    args = [times, *VALID_SCALARS[name]]
    args[PARAMETERS[name].index(parameter)] = value
    return args


BAD_TIMES = [
    ([0.0, 1.0], "'list' object cannot be converted to 'PyArray<T, D>'"),
    ((0.0, 1.0), "'tuple' object cannot be converted to 'PyArray<T, D>'"),
    (A.B(), "'A.B' object cannot be converted to 'PyArray<T, D>'"),
    (memoryview(np.zeros(3)), "'memoryview' object cannot be converted to 'PyArray<T, D>'"),
    (np.float64(1.0), "'float64' object cannot be converted to 'PyArray<T, D>'"),
    (None, "'NoneType' object cannot be converted to 'PyArray<T, D>'"),
    (np.zeros((2, 3)), "dimensionality mismatch:\n from=2, to=1"),
    (np.zeros((2, 2), dtype=np.int64), "dimensionality mismatch:\n from=2, to=1"),
    (np.zeros((1, 1, 4)), "dimensionality mismatch:\n from=3, to=1"),
    (np.array(1.0), "dimensionality mismatch:\n from=0, to=1"),
    (np.zeros(3, dtype=np.int64), "type mismatch:\n from=int64, to=float64"),
    (np.zeros(3, dtype=np.float32), "type mismatch:\n from=float32, to=float64"),
    (np.zeros(3, dtype=">f8"), "type mismatch:\n from=>f8, to=float64"),
    (np.zeros(3, dtype=np.longdouble), "type mismatch:\n from=float128, to=float64"),
    (np.zeros(3, dtype=np.complex128), "type mismatch:\n from=complex128, to=float64"),
    (np.zeros(3, dtype=object), "type mismatch:\n from=object, to=float64"),
    (np.zeros(3, dtype=bool), "type mismatch:\n from=bool, to=float64"),
]


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
@pytest.mark.parametrize("times,message", BAD_TIMES)
def test_bad_time_is_rejected(name, times, message):
    with pytest.raises(TypeError) as info:
        call(name, times, *VALID_SCALARS[name])
    assert type(info.value) is TypeError
    assert info.value.args == ("argument 'time': " + message,)


@pytest.mark.parametrize("times", [
    np.zeros(4, dtype="=f8"), np.zeros(4, dtype="<f8"), np.zeros(4).view(Sub),
    np.zeros(4, dtype=np.dtype(np.float64, metadata={"unit": "s"}))])
def test_float64_equivalent_time_is_accepted(times):
    result = undarix.harmonic_oscillator(times, 2.0, 0.0, 1.0, 0.0, 0.5)
    assert type(result) is np.ndarray and result.tolist() == [2.5] * 4


@pytest.mark.parametrize("value,as_float", [
    (2, 2.0), (True, 1.0), (False, 0.0), (np.int64(-3), -3.0), (np.uint8(7), 7.0),
    (np.float32(0.25), 0.25), (np.float64(-1.5), -1.5), (-1.0, -1.0), (Floaty(-1.0), -1.0),
    (Indexy(5), 5.0), (fractions.Fraction(3, 4), 0.75), (2 ** 53 + 1, 2.0 ** 53),
    (OwnFloat(0.5), 0.5), (OwnInt(3), 9.0),
    (math.nan, math.nan), (-math.inf, -math.inf), (-0.0, -0.0)])
@pytest.mark.parametrize("name,parameter", [
    ("harmonic_oscillator", "amplitude"), ("pseudo_square_wave", "phi"),
    ("fourier_square_wave", "y"), ("transient_impulse", "width")])
def test_real_numbers_are_accepted_as_doubles(name, parameter, value, as_float):
    got = call(name, *replaced(name, parameter, value))
    want = call(name, *replaced(name, parameter, as_float))
    assert (bits(got) == bits(want)).all()


SCALAR_PARAMETERS = [(name, p) for name in ALL_FUNCTIONS for p in PARAMETERS[name][1:]]


@pytest.mark.parametrize("as_keyword", [False, True])
@pytest.mark.parametrize("name,parameter", SCALAR_PARAMETERS)
def test_non_number_is_prefixed_with_the_parameter_name(name, parameter, as_keyword):
    args = replaced(name, parameter, "x")
    kwargs = {}
    if as_keyword:
        index = PARAMETERS[name].index(parameter)
        kwargs, args = dict(zip(PARAMETERS[name][index:], args[index:])), args[:index]
    with pytest.raises(TypeError) as info:
        call(name, *args, **kwargs)
    detail = ("'str' object cannot be interpreted as an integer" if parameter == "num_harmonics"
              else "must be real number, not str")
    assert type(info.value) is TypeError
    assert info.value.args == ("argument '%s': %s" % (parameter, detail),)


@pytest.mark.parametrize("value,detail", [
    (None, "must be real number, not NoneType"),
    ([1.0], "must be real number, not list"),
    # CPython 3.10 reworded its own message for complex numbers.
    (1j, "must be real number, not complex" if sys.version_info >= (3, 10)
     else "can't convert complex to float"),
    (Floaty("1.0"), FLOAT_RETURNED_STR),
    (Floaty(TypeError("no float today")), "no float today")])
def test_type_errors_of_double_conversion_are_prefixed(value, detail):
    with pytest.raises(TypeError) as info:
        undarix.pseudo_cycloid_wave(T, 1.0, value, 1.0, 0.0, 0.0)
    assert type(info.value) is TypeError and info.value.args == ("argument 'gamma': " + detail,)
    assert info.value.__cause__ is None and info.value.__suppress_context__
    assert info.value.__context__ is None


def test_prefixed_error_keeps_the_original_cause_only():
    cause = KeyError("root")
    original = TypeError("wrapped")
    original.__cause__ = cause
    with pytest.raises(TypeError) as info:
        undarix.transient_impulse(T, 1.0, Floaty(original), 0.5, 0.0)
    assert info.value is not original
    assert info.value.args == ("argument 'period': wrapped",)
    assert info.value.__cause__ is cause
    assert info.value.__suppress_context__ is True
    assert info.value.__context__ is None


@pytest.mark.parametrize("error", [
    ValueError("bad value"), MyTypeError("sub type"), ZeroDivisionError("zero"),
    OverflowError("too big"), KeyboardInterrupt("stop")])
def test_other_errors_of_double_conversion_pass_through(error):
    with pytest.raises(type(error)) as info:
        undarix.harmonic_oscillator(T, 1.0, 0.0, 1.0, 0.0, Floaty(error))
    assert info.value is error and str(info.value) == error.args[0]


@pytest.mark.parametrize("name,parameter", [("harmonic_oscillator", "omega"),
                                            ("transient_impulse", "equilibrium")])
def test_int_too_large_for_a_double_is_an_unprefixed_overflow(name, parameter):
    with pytest.raises(OverflowError) as info:
        call(name, *replaced(name, parameter, 2 ** 1024))
    assert type(info.value) is OverflowError
    assert info.value.args == ("int too large to convert to float",)


@pytest.mark.parametrize("value,count", [
    (0, 0), (1, 1), (3, 3), (True, 1), (np.int64(4), 4), (np.uint8(2), 2), (Indexy(5), 5)])
def test_num_harmonics_accepts_integers(value, count):
    got = undarix.fourier_square_wave(T, *FOURIER, value)
    assert (bits(got) == bits(undarix.fourier_square_wave(T, *FOURIER, count))).all()


@pytest.mark.parametrize("value", [2 ** 64 - 1, np.uint64(2 ** 64 - 1)])
def test_num_harmonics_accepts_the_largest_unsigned_value(value):
    result = undarix.fourier_square_wave(np.empty(0), *FOURIER, value)  # empty: no evaluation
    assert result.shape == (0,) and result.dtype == np.float64


@pytest.mark.parametrize("value,detail", [
    (2.5, "'float' object cannot be interpreted as an integer"),
    (np.float64(3.0), "'numpy.float64' object cannot be interpreted as an integer"),
    (None, "'NoneType' object cannot be interpreted as an integer"),
    (Indexy(2.0), INDEX_RETURNED_FLOAT),
    (Indexy(TypeError("no index")), "no index")])
def test_num_harmonics_type_errors_are_prefixed(value, detail):
    with pytest.raises(TypeError) as info:
        undarix.fourier_square_wave(T, *FOURIER, value)
    assert type(info.value) is TypeError
    assert info.value.args == ("argument 'num_harmonics': " + detail,)


@pytest.mark.parametrize("value,error,message", [
    (-1, OverflowError, "can't convert negative int to unsigned"),
    (np.int64(-5), OverflowError, "can't convert negative int to unsigned"),
    (2 ** 64, OverflowError, "int too big to convert"),
    (Indexy(ValueError("index failed")), ValueError, "index failed"),
    (Indexy(MyTypeError("sub index")), MyTypeError, "sub index")])
def test_num_harmonics_other_errors_pass_through(value, error, message):
    with pytest.raises(error) as info:
        undarix.fourier_square_wave(np.empty(0), *FOURIER, value)
    assert type(info.value) is error and info.value.args == (message,)


def test_time_is_converted_before_the_scalars():
    calls = []
    with pytest.raises(TypeError, match="^argument 'time': 'list' object"):
        undarix.harmonic_oscillator([1.0], Floaty(1.0, calls), "x", 1.0, 0.0, 0.0)
    assert calls == []


def test_scalars_are_converted_in_declaration_order():
    calls = []
    first, later = Floaty(ValueError("first"), calls), Floaty(2.0, calls)
    with pytest.raises(ValueError, match="^first$"):
        undarix.pseudo_square_wave(T, Floaty(1.0, calls), first, later, "x", None)
    assert len(calls) == 2 and calls[1] is first
    with pytest.raises(TypeError, match="^argument 'amplitude': must be real number, not str$"):
        undarix.pseudo_square_wave(T, "x", 0.0, 1.0, 0.0, None)
    with pytest.raises(TypeError, match="^argument 'y': "):
        undarix.fourier_square_wave(T, 1.0, 0.0, 1.0, 0.0, "y", -1)
    with pytest.raises(TypeError, match="^argument 'width': "):
        undarix.transient_impulse(T, 1.0, 6.0, "w", Floaty(ValueError("no")))


@pytest.mark.parametrize("times", [np.zeros(3, dtype=np.int64), np.zeros((2, 2)), [1.0]])
def test_rejected_time_leaks_no_references(times):
    objects = [times, np.dtype(np.float64), getattr(times, "dtype", None)]
    counts = [sys.getrefcount(o) for o in objects]
    for _ in range(20):
        with pytest.raises(TypeError):
            undarix.harmonic_oscillator(times, 1.0, 0.0, 1.0, 0.0, 0.0)
    assert [sys.getrefcount(o) for o in objects] == counts


def test_binding_faults_come_before_conversion():
    calls = []
    with pytest.raises(TypeError) as info:
        undarix.harmonic_oscillator([1.0], Floaty(1.0, calls), 0.0, 1.0, 0.0)
    assert info.value.args == ("harmonic_oscillator() missing 1 required positional argument: 'y'",)
    assert calls == []


def test_failed_conversion_does_not_evaluate(panic_type):
    # A non-contiguous time array would panic in evaluation; a conversion fault must win.
    with pytest.raises(OverflowError):
        undarix.fourier_square_wave(np.arange(6.0)[::2], *FOURIER, -1)
    with pytest.raises(panic_type):
        undarix.fourier_square_wave(np.arange(6.0)[::2], *FOURIER, 1)
