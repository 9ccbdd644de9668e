"""Arbitrary calls of the five functions, each checked against a model of what the call must do:
return the documented array, or raise the documented exception with its exact message.

The model below is written from the documented behaviour alone; it asks CPython only for what
the module leaves to CPython (the exceptions of its float and index conversions) and NumPy only
for dtype equivalence and array flags.  `UNDARIX_FUZZ_EXAMPLES` sets the examples per function.
"""
import ctypes
import decimal
import fractions
import functools
import operator
import os
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, note, settings
from hypothesis import strategies as st

import reference
import undarix
from conftest import (ALL_FUNCTIONS, FUZZED_CALLS, ALREADY_BORROWED, DICT_KEYWORD_NAMES_CHECKED, NOT_CONTIGUOUS,
                      PARAMETERS, PENDING_TEXT_ARRIVES, BorrowApi, assert_same_floats, entry_call,
                      find_panic_type)
from registry_model import GRANTED, NOT_WRITEABLE, memory_owner, region_key, regions_conflict

EXAMPLES = int(os.environ.get("UNDARIX_FUZZ_EXAMPLES", "120"))
# A fixed sequence of examples by default, so that every run checks the same
# cases; UNDARIX_FUZZ_RANDOM=1 draws new ones for exploratory runs.
DERANDOMIZE = not os.environ.get("UNDARIX_FUZZ_RANDOM")
FORMATTING = ("a formatting trait implementation returned an error when the underlying stream "
              "did not: Error")
UNWRAPPED = "Unwrapped panic from Python code"
UNNAMED = "<failed to extract type name>"
MAX_WORK = 300_000  # formula evaluations a successful case may cost (num_harmonics x length)
CASES = FUZZED_CALLS  # reported in pytest's terminal summary (conftest.py)


PANIC = find_panic_type()


def _api(name, restype, *argtypes):
    function = getattr(ctypes.pythonapi, name)
    function.restype, function.argtypes = restype, list(argtypes)
    return function


# Calls through the C calling convention: a dict's keys become the keyword names as they are,
# str or not, and a call without arguments passes no argument vector at all.
call_with_dict = _api("PyObject_Call", ctypes.py_object, ctypes.py_object, ctypes.py_object,
                      ctypes.py_object)
call_without_arguments = _api("PyObject_CallObject", ctypes.py_object, ctypes.py_object,
                              ctypes.c_void_p)
# CPython's own conversions, as the module makes them (ctypes raises what they leave pending).
as_double = _api("PyFloat_AsDouble", ctypes.c_double, ctypes.py_object)
as_unsigned = _api("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong, ctypes.py_object)
set_error = _api("PyErr_SetObject", None, ctypes.py_object, ctypes.py_object)


# --- Arguments ---

class MyTypeError(TypeError):
    pass


class OwnPanic(PANIC):  # a subclass is an ordinary exception to the module
    pass


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


CAUSE = LookupError("the cause")


def with_cause(error, cause):
    error.__cause__ = cause
    return error


ERRORS = [
    lambda: TypeError("no number"), lambda: with_cause(TypeError("with a cause"), CAUSE),
    lambda: TypeError("lone \udcff surrogate"), lambda: TypeError(), lambda: TypeError("two", 2),
    lambda: TypeError(Unprintable()), lambda: MyTypeError("a subclass"),
    lambda: ValueError("not a TypeError"), lambda: KeyboardInterrupt(), lambda: SystemExit(3),
    lambda: PANIC("raised in Python"), lambda: OwnPanic("own subclass"),
]


class Hook:
    """Gives `result` from its conversion method, or raises `error()`."""
    panic_text = None

    def __init__(self, result=1.5, error=None):
        self.result, self.error = result, error

    def give(self):
        if self.error is not None:
            raise self.error()
        return self.result

    def __repr__(self):
        return "%s(result=%r, error=%r, panic_text=%r)" % (
            type(self).__name__, self.result, self.error and self.error(), self.panic_text)


class FloatHook(Hook):
    __float__ = Hook.give


class IndexHook(Hook):
    __index__ = Hook.give


def panicking(kind, text):
    """A hook whose conversion method is a C call (no Python frame that a trace function could
    see) leaving the module's PanicException pending with `text` as its plain value."""
    method = "__float__" if kind is FloatHook else "__index__"
    return type(kind.__name__, (kind,), {method: staticmethod(functools.partial(set_error, PANIC, text)),
                                         "panic_text": text})()


class Outer:
    class Inner:
        pass


class NamelessMeta(type):
    def __getattribute__(cls, attribute):
        if attribute == "__qualname__":
            raise KeyboardInterrupt("no name")
        return type.__getattribute__(cls, attribute)


class Nameless(metaclass=NamelessMeta):
    pass


class Impostor:
    """Claims to be an array through __class__; its type is not one."""
    __class__ = np.ndarray


class SurrogateNamed:
    pass


SurrogateNamed.__qualname__ = "named \udcff"


def hooks(kind, results):
    return st.one_of(st.builds(kind, st.sampled_from(results)),
                     st.builds(kind, error=st.sampled_from(ERRORS)),
                     st.builds(panicking, st.just(kind), st.sampled_from(["set from C", "x\udcff"])))


OTHER_VALUES = [None, "1.0", b"1", [1.0], 1 + 2j, fractions.Fraction(1, 3), decimal.Decimal("2.5"),
                np.float32(1.5), np.int64(-7), np.uint64(2**64 - 1), np.bool_(True), Outer.Inner(),
                Nameless(), SurrogateNamed(), np.zeros(2)]
CLEAN_DOUBLES = st.floats(-10.0, 10.0) | st.floats() | st.integers(-10**6, 10**6)
ODD_DOUBLES = (st.integers(-2**1100, 2**1100) | st.booleans() | st.sampled_from(OTHER_VALUES)
               | hooks(FloatHook, [2.5, -1.0, "text", 3]) | hooks(IndexHook, [3, -1, 2**1100]))
CLEAN_COUNTS = st.integers(0, 6)
ODD_COUNTS = (st.integers(-2**70, 2**70) | st.sampled_from(
    [2**64 - 1, 2**64, -1, -2**63, 2**100, True, np.uint64(2**64 - 1), np.int8(-3), 2.0,
     float("nan")] + OTHER_VALUES) | hooks(IndexHook, [4, 2**64 - 1, -5, 2**64, "text"])
    | hooks(FloatHook, [2.0]))


class Sub(np.ndarray):
    pass


# Every NumPy scalar type of fixed size (dates with a unit: NumPy cannot print generic ones),
# sized strings, a record, float64 with metadata.
DTYPES = [np.float64] * 8 + sorted({t for t in np.sctypeDict.values()
                                    if np.dtype(t).itemsize and np.dtype(t).kind not in "mM"},
                                   key=lambda t: t.__name__) + [
    "U2", "S8", "V8", "M8[s]", "m8[ns]", [("a", "<f8")], np.dtype(np.float64, metadata={"unit": "s"})]


@st.composite
def arrays(draw):
    """An array of any dtype, byte order, dimension, alignment, stride and writeability, over a
    bytearray, bytes or another array, possibly viewed as a subclass."""
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    dtype = dtype.newbyteorder(draw(st.sampled_from("=<>"))) if draw(st.booleans()) else dtype
    ndim = draw(st.sampled_from([1, 1, 1, 1, 0, 2, 3]))
    lengths = st.one_of(st.integers(0, 9), st.integers(4090, 4200)) if ndim == 1 else st.integers(0, 3)
    shape = tuple(draw(lengths) for _ in range(ndim))
    size = dtype.itemsize
    steps = st.sampled_from([1, 1, 1, -1, 2, 0]).map(lambda k: k * size) | st.sampled_from([size + 1, 3])
    strides = tuple(draw(steps) for _ in range(ndim))
    extents = [(n - 1) * s for n, s in zip(shape, strides)] if 0 not in shape else []
    low = sum(e for e in extents if e < 0)
    skew = draw(st.sampled_from([0, 0, 0, 1, 3, 8]))
    nbytes = skew - low + sum(e for e in extents if e > 0) + size
    rng = np.random.default_rng(draw(st.integers(0, 2**32)))
    raw = rng.integers(0, 256, nbytes, dtype=np.uint8)
    if draw(st.booleans()):  # ordinary values rather than random bits
        raw = rng.uniform(-50.0, 50.0, nbytes // 8 + 1).view(np.uint8)[:nbytes].copy()
    make_owner = draw(st.sampled_from([bytearray, bytes, None]))
    owner = raw if make_owner is None else make_owner(raw.tobytes())
    if dtype.hasobject:
        array = np.full(shape, 1.0, dtype=object)
    else:
        array = np.ndarray(shape, dtype, buffer=owner, offset=skew - low, strides=strides)
    if draw(st.booleans()):
        array = array.view(draw(st.sampled_from([Sub, np.ma.MaskedArray, np.matrix]))
                           if array.ndim <= 2 else Sub)
    if draw(st.integers(0, 4)) == 0:
        array.flags.writeable = False
    return array


GOOD_TIMES = st.builds(lambda values, view: view(np.array(values)),
                       st.lists(st.floats(-1e3, 1e3) | st.floats(), max_size=12),
                       st.sampled_from([lambda a: a, lambda a: a.view(Sub), lambda a: a[:],
                                        lambda a: np.asfortranarray(a)]))
ODD_TIMES = arrays() | arrays() | st.sampled_from(
    [[0.0, 1.0], (0.5,), 1.5, np.float64(2.0), Impostor(), memoryview(b"12345678")]
    + OTHER_VALUES[:-1])


# --- Keyword names ---

class PlainStr(str):
    """Equal to, and hashed like, the str of the same characters."""


class IdentityStr(str):
    """A name that a dict keeps apart from every other one, even of the same characters."""
    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other


class ShownStr(IdentityStr):
    """A name whose str() is something else, or fails."""

    def __new__(cls, text, shown):
        name = super().__new__(cls, text)
        name.shown = shown
        return name

    def __str__(self):
        if isinstance(self.shown, BaseException):
            raise type(self.shown)(*self.shown.args)
        return self.shown


class NamelessKey(metaclass=NamelessMeta):
    pass


UNKNOWN_NAMES = ["Y", "times", "", "num_harmonics", "\udcff", "y\ud800", "tïme"]
ODD_KEYS = [1, b"time", None, 2.5, (1, 2), NamelessKey(), Outer.Inner()]


def named(draw, name):
    form = draw(st.sampled_from([str, str, str, PlainStr, IdentityStr]))
    return form(name)


def extra_keyword(draw, parameters):
    kind = draw(st.integers(0, 3))
    if kind == 0:
        return IdentityStr(draw(st.sampled_from(parameters)))  # may duplicate another
    if kind == 1:
        return named(draw, draw(st.sampled_from(UNKNOWN_NAMES)))
    if kind == 2:
        return ShownStr(draw(st.sampled_from(UNKNOWN_NAMES + list(parameters))), draw(
            st.sampled_from(["shown", "sh\udcffown", 7, ValueError("x"), TypeError("y"),
                             KeyboardInterrupt(), SystemExit(2)])))
    return draw(st.sampled_from(ODD_KEYS))


@st.composite
def calls(draw, name):
    """(positional arguments, keywords): a clean call, one with a single fault, or one with
    any number of faults in its time, scalars, argument count, missing and extra keywords."""
    parameters = PARAMETERS[name]
    aspects = list(parameters) + ["too many", "missing", "extra"]
    mode = draw(st.sampled_from(["clean", "one fault", "any faults"]))
    odd = {"clean": set(), "one fault": {draw(st.sampled_from(aspects))},
           "any faults": draw(st.sets(st.sampled_from(aspects)))}[mode]
    pools = {"time": (GOOD_TIMES, ODD_TIMES), "num_harmonics": (CLEAN_COUNTS, ODD_COUNTS)}
    values = [draw(pools.get(p, (CLEAN_DOUBLES, ODD_DOUBLES))[p in odd]) for p in parameters]
    if "too many" in odd:
        nargs = draw(st.integers(len(parameters) + 1, len(parameters) + 2))
        values += [draw(CLEAN_DOUBLES) for _ in range(nargs - len(parameters))]
    else:
        nargs = draw(st.integers(0, len(parameters)))
    items = [(named(draw, p), v) for p, v in zip(parameters[nargs:], values[nargs:])]
    if "missing" in odd and items:
        del items[draw(st.integers(0, len(items) - 1))]
    for _ in range(draw(st.integers(1, 2)) if "extra" in odd else 0):
        items.insert(draw(st.integers(0, len(items))),
                     (extra_keyword(draw, parameters), draw(CLEAN_DOUBLES | ODD_DOUBLES)))
    keywords = {}
    for key, value in draw(st.permutations(items)) if draw(st.booleans()) else items:
        keywords[key] = value
    return values[:nargs], keywords


# --- The model ---

def raises(kind, message, cause=None):
    return ("raise", kind, (message,), cause)


def text_of(obj):
    """str() of an object as it shows in a message (lone surrogates replaced); raises if str()
    raises."""
    return str(obj).encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def type_name(kind):
    try:
        qualname = getattr(kind, "__qualname__")
        return str.encode(qualname, "utf-8").decode("utf-8")
    except BaseException:  # noqa: B902 - any failure gives the placeholder
        return UNNAMED


def bind(name, args, keywords):
    parameters = PARAMETERS[name]
    shown = name + "()"
    if len(args) > len(parameters):
        return None, raises(TypeError, "%s takes %d positional arguments but %d %s given" % (
            shown, len(parameters), len(args), "was" if len(args) == 1 else "were"))
    slots = list(args) + [None] * (len(parameters) - len(args))
    bound = [True] * len(args) + [False] * (len(parameters) - len(args))
    for key, value in keywords.items():
        if not isinstance(key, str):
            return None, raises(TypeError, "'%s' object cannot be converted to 'PyString'"
                                % type_name(type(key)))
        try:
            text = str.encode(key, "utf-8").decode("utf-8")
        except UnicodeEncodeError:
            text = None
        if text not in parameters:
            try:
                return None, raises(TypeError, "%s got an unexpected keyword argument '%s'"
                                    % (shown, text_of(key)))
            except BaseException:  # noqa: B902
                return None, raises(PANIC, FORMATTING)
        index = parameters.index(text)
        if bound[index]:
            return None, raises(TypeError, "%s got multiple values for argument '%s'" % (shown, text))
        slots[index], bound[index] = value, True
    missing = ["'%s'" % p for p, b in zip(parameters, bound) if not b]
    if missing:
        names = missing[0] if len(missing) == 1 else (
            "%s and %s" % tuple(missing) if len(missing) == 2
            else ", ".join(missing[:-1]) + ", and " + missing[-1])
        return None, raises(TypeError, "%s missing %d required positional argument%s: %s" % (
            shown, len(missing), "" if len(missing) == 1 else "s", names))
    return slots, None


def convert_scalar(parameter, value):
    handling = sys.exc_info()[1] is not None
    try:
        if parameter == "num_harmonics":
            return as_unsigned(operator.index(value)), None
        return as_double(value), None
    except BaseException as error:  # noqa: B902
        if type(error) is PANIC:
            # A plain str value is the message if it is UTF-8; an instance is not (as raised by
            # Python code, or as set while an exception is being handled, for its context, or
            # whatever was set from CPython 3.12 on, which keeps only instances).
            text = (value.panic_text if isinstance(value, Hook) and not handling
                    and PENDING_TEXT_ARRIVES else None)
            try:
                text.encode("utf-8")
            except (AttributeError, UnicodeEncodeError):
                text = UNWRAPPED
            return None, raises(PANIC, text)
        if type(error) is not TypeError:
            return None, ("raise", type(error), error.args, None)
        try:
            return None, raises(TypeError, "argument '%s': %s" % (parameter, text_of(error)),
                                error.__cause__)
        except BaseException:  # noqa: B902
            return None, raises(PANIC, FORMATTING)


def expected_outcome(name, args, keywords, held):
    slots, failure = bind(name, args, keywords)
    if failure:
        return failure
    time = slots[0]
    if not issubclass(type(time), np.ndarray):
        return raises(TypeError, "argument 'time': '%s' object cannot be converted to "
                                 "'PyArray<T, D>'" % type_name(type(time)))
    if time.ndim != 1:
        return raises(TypeError, "argument 'time': dimensionality mismatch:\n from=%d, to=1"
                      % time.ndim)
    if time.dtype != np.dtype(np.float64):
        return raises(TypeError, "argument 'time': type mismatch:\n from=%s, to=float64"
                      % time.dtype)
    scalars = []
    for parameter, value in zip(PARAMETERS[name][1:], slots[1:]):
        scalar, failure = convert_scalar(parameter, value)
        if failure:
            return failure
        scalars.append(scalar)
    if held is not None and memory_owner(held) is memory_owner(time):
        key = region_key(time)
        conflict = key == region_key(held) or regions_conflict(key, region_key(held))
        if conflict is None:
            return ("open",)
        if conflict:
            return raises(PANIC, ALREADY_BORROWED)
    flags = time.flags
    if not (flags.c_contiguous or flags.f_contiguous) or time.__array_interface__["data"][0] == 0:
        return raises(PANIC, NOT_CONTIGUOUS)
    assume(name != "fourier_square_wave" or scalars[-1] * time.size <= MAX_WORK)
    formula = getattr(reference, name)
    return ("ok", [formula(float(t), *scalars) for t in time])


# --- The test ---

def invoke(function, args, keywords, route):
    if route == "no vector":
        return call_without_arguments(function, None)
    if route == "python":
        return function(*args, **keywords)
    if DICT_KEYWORD_NAMES_CHECKED and not all(isinstance(key, str) for key in keywords):
        # The interpreter would refuse the dict itself; hand the names over as they are.
        return entry_call(function, tuple(args) + tuple(keywords.values()), tuple(keywords))
    return call_with_dict(function, tuple(args), keywords)


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
@settings(max_examples=EXAMPLES, deadline=None, database=None, derandomize=DERANDOMIZE,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                 HealthCheck.filter_too_much])
@given(data=st.data())
def test_every_call_returns_the_documented_array_or_raises_the_documented_error(name, data):
    args, keywords = data.draw(calls(name), label="call")
    time = args[0] if args else next((v for k, v in keywords.items()
                                      if isinstance(k, str) and str.__eq__(k, "time")), None)
    options = [None]
    if issubclass(type(time), np.ndarray):
        owner = memory_owner(time)
        whole = np.frombuffer(owner, np.uint8) if not isinstance(owner, np.ndarray) else owner
        options += [time, time[::2] if time.ndim else time, whole.reshape(-1)[1::2],
                    whole.reshape(-1)[8::16]]
    # Draws of the same shape whatever the call, so that examples replay exactly.
    held = options[min(data.draw(st.integers(0, 4), label="held exclusively"), len(options) - 1)]
    route = data.draw(st.sampled_from(["python", "c", "no vector"]), label="route")
    if route == "python" and not all(isinstance(k, str) for k in keywords) or (
            route == "no vector" and (args or keywords)):
        route = "c"
    note("%s via %s with %r, %r; held %r" % (name, route, args, keywords, held))
    api = BorrowApi()  # nothing is drawn from here on, so every borrow is given back
    code = held_code = GRANTED
    if held is not None:
        code, held_code = api.acquire_exclusive(held), GRANTED if held.flags.writeable else NOT_WRITEABLE
        held = held if code == GRANTED else None
    try:
        assert code == held_code
        expected = expected_outcome(name, args, keywords, held)
        try:
            result, error = invoke(getattr(undarix, name), args, keywords, route), None
        except BaseException as exc:  # noqa: B902
            result, error = None, exc
    finally:
        if held is not None:
            api.release_exclusive(held)
    CASES["ok" if error is None else type(error).__name__] += 1
    if expected[0] == "open":
        assert error is None or (type(error) is PANIC and error.args == (ALREADY_BORROWED,))
    elif expected[0] == "raise":
        _, kind, arguments, cause = expected
        assert error is not None, "returned %r" % (result,)
        assert (type(error), error.args) == (kind, arguments)
        if kind is TypeError and error.args[0].startswith("argument '"):
            assert error.__cause__ is cause and error.__suppress_context__
    else:
        assert error is None, "raised %r" % (error,)
        assert type(result) is np.ndarray and result.base is None
        assert result.flags.c_contiguous and result.flags.writeable
        assert_same_floats(result, expected[1])
    if issubclass(type(time), np.ndarray) and time.flags.writeable:
        code = api.acquire_exclusive(time)
        if code == GRANTED:
            api.release_exclusive(time)
        assert code == GRANTED  # the call left no borrow behind
