"""Binding of positional and keyword arguments to parameters, and the binding error messages."""
import ctypes
import gc
import sys

import numpy as np
import pytest

import undarix
from conftest import ALL_FUNCTIONS, DICT_KEYWORD_NAMES_CHECKED, PARAMETERS, VALID_SCALARS, bits, entry_call

T = np.linspace(-2.0, 5.0, 11)
PANIC_FORMAT = ("a formatting trait implementation returned an error "
                "when the underlying stream did not: Error")


def valid(name):
    return (T,) + VALID_SCALARS[name]


def quoted(names):
    q = ["'%s'" % n for n in names]
    if len(q) <= 2:
        return " and ".join(q)
    return ", ".join(q[:-1]) + ", and " + q[-1]


def binding_error(call, *args, **kwargs):
    """Runs a call that must fail in binding; returns the message."""
    with pytest.raises(TypeError) as info:
        call(*args, **kwargs)
    exc = info.value
    assert type(exc) is TypeError
    assert len(exc.args) == 1 and type(exc.args[0]) is str
    assert exc.__cause__ is None and exc.__context__ is None
    assert not exc.args[0].startswith("argument '")
    return exc.args[0]


def object_call(function, args, kwargs):
    """PyObject_Call, which hands keyword names of any type to the function."""
    call = ctypes.pythonapi.PyObject_Call
    call.restype, call.argtypes = ctypes.py_object, [ctypes.py_object] * 3
    return call(function, tuple(args), kwargs)


def keyword_call(function, args, kwargs):
    """Hands the dict's keys to the module as keyword names, whatever their type."""
    if not DICT_KEYWORD_NAMES_CHECKED:
        return object_call(function, args, kwargs)
    return entry_call(function, tuple(args) + tuple(kwargs.values()), tuple(kwargs))


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
@pytest.mark.parametrize("extra", [1, 2, 5])
def test_too_many_positional(name, extra):
    count = len(PARAMETERS[name])
    args = (None,) * (count + extra)  # values are never looked at
    assert binding_error(getattr(undarix, name), *args) == (
        "%s() takes %d positional arguments but %d were given" % (name, count, count + extra))


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_missing_positional(name):
    params = PARAMETERS[name]
    for given in range(len(params)):
        missing = params[given:]
        assert binding_error(getattr(undarix, name), *valid(name)[:given]) == (
            "%s() missing %d required positional %s: %s" % (
                name, len(missing), "argument" if len(missing) == 1 else "arguments",
                quoted(missing)))


@pytest.mark.parametrize("name, args, kwargs, missing", [
    ("harmonic_oscillator", (), {}, "6 required positional arguments: "
     "'time', 'amplitude', 'gamma', 'omega', 'phi', and 'y'"),
    ("harmonic_oscillator", (T, 1, 2), {},
     "3 required positional arguments: 'omega', 'phi', and 'y'"),
    ("harmonic_oscillator", (T, 1, 2, 3), {}, "2 required positional arguments: 'phi' and 'y'"),
    ("harmonic_oscillator", (T, 1, 2, 3, 4), {}, "1 required positional argument: 'y'"),
    ("harmonic_oscillator", (T,), dict(amplitude=1.0, y=0.0), "3 required positional arguments: "
     "'gamma', 'omega', and 'phi'"),
    ("harmonic_oscillator", (), dict(y=0.0), "5 required positional arguments: "
     "'time', 'amplitude', 'gamma', 'omega', and 'phi'"),
    ("transient_impulse", (), dict(width=1.0, time=T), "3 required positional arguments: "
     "'amplitude', 'period', and 'equilibrium'"),
    ("fourier_square_wave", (T, 1.0), dict(y=0.0, num_harmonics=3, phi=0.0, omega=1.0),
     "1 required positional argument: 'gamma'"),
    ("pseudo_cycloid_wave", (), dict(amplitude=1, gamma=2, omega=3, phi=4, y=5),
     "1 required positional argument: 'time'"),
])
def test_missing(name, args, kwargs, missing):
    message = binding_error(getattr(undarix, name), *args, **kwargs)
    assert message == "%s() missing %s" % (name, missing)


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_multiple_values(name):
    for param in PARAMETERS[name]:
        assert binding_error(getattr(undarix, name), *valid(name), **{param: 1.0}) == (
            "%s() got multiple values for argument '%s'" % (name, param))


@pytest.mark.parametrize("keyword, shown", [
    ("Y", "Y"), ("Time", "Time"), ("times", "times"), ("tim", "tim"), ("", ""), ("y ", "y "),
    ("period", "period"), ("num_harmonics", "num_harmonics"), ("t\u00edme", "t\u00edme"),
    ("\U0001f600", "\U0001f600"), ("\udc80", "\ufffd" * 3),
    ("x\ud800y\udfff", "x\ufffd\ufffd\ufffdy\ufffd\ufffd\ufffd"),
])
def test_unexpected_keyword(keyword, shown):
    f = undarix.harmonic_oscillator
    message = binding_error(f, *valid("harmonic_oscillator"), **{keyword: 0})
    assert message == "harmonic_oscillator() got an unexpected keyword argument '%s'" % shown


@pytest.mark.parametrize("call, message", [
    (lambda f: f(T, 1, 2, 3, 4, 5, 6, bogus=1), "takes 6 positional arguments but 7 were given"),
    (lambda f: f(T, 1, 2, 3, 4, 5, 6, time=T), "takes 6 positional arguments but 7 were given"),
    (lambda f: f(T, bogus=1), "got an unexpected keyword argument 'bogus'"),
    (lambda f: f(T, 1, 2, 3, 4, 5, one=1, two=2), "got an unexpected keyword argument 'one'"),
    (lambda f: f(T, 1, 2, 3, 4, 5, two=2, one=1), "got an unexpected keyword argument 'two'"),
    (lambda f: f(T, 1, time=T), "got multiple values for argument 'time'"),
    (lambda f: f(T, 1, 2, 3, 4, 5, bogus=1, time=T), "got an unexpected keyword argument 'bogus'"),
    (lambda f: f(T, 1, 2, 3, 4, 5, time=T, bogus=1), "got multiple values for argument 'time'"),
    (lambda f: f([0.0], None, 2, 3, 4), "missing 1 required positional argument: 'y'"),
    (lambda f: f("t", 1, 2, 3, 4, Y=0), "got an unexpected keyword argument 'Y'"),
])
def test_first_fault_wins(call, message):
    assert binding_error(call, undarix.harmonic_oscillator) == "harmonic_oscillator() " + message


def keyword_orders(params):
    rotations = [params[k:] + params[:k] for k in range(len(params))]
    return rotations + [tuple(reversed(r)) for r in rotations]


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_keywords_bind_like_positional(name):
    function, params, args = getattr(undarix, name), PARAMETERS[name], valid(name)
    expected = bits(function(*args))
    value = dict(zip(params, args))
    for order in keyword_orders(params):
        assert np.array_equal(bits(function(**{p: value[p] for p in order})), expected), order
    for given in range(1, len(params)):
        rest = {p: value[p] for p in reversed(params[given:])}
        assert np.array_equal(bits(function(*args[:given], **rest)), expected), given
    assert np.array_equal(bits(entry_call(function, args[:2] + args[2:][::-1], params[2:][::-1])),
                          expected)


class Blind(str):
    """Compares unequal to everything, even itself."""
    __hash__ = str.__hash__

    def __eq__(self, other):
        return False


class Shown(str):
    def __str__(self):
        return "shown"


class Unprintable(str):
    def __str__(self):
        raise ValueError("no text")


def test_str_subclass_keyword_names():
    f, args = undarix.harmonic_oscillator, valid("harmonic_oscillator")
    expected = bits(f(*args))
    for cls in (Blind, Shown, Unprintable):
        result = f(**{cls(p): v for p, v in zip(PARAMETERS["harmonic_oscillator"], args)})
        assert np.array_equal(bits(result), expected), cls
    assert binding_error(f, *args, **{Shown("y"): 0}) == (
        "harmonic_oscillator() got multiple values for argument 'y'")
    assert binding_error(f, *args, **{Shown("bogus"): 0}) == (
        "harmonic_oscillator() got an unexpected keyword argument 'shown'")
    assert binding_error(f, *args[:5], **{Blind("Y"): 0}) == (
        "harmonic_oscillator() got an unexpected keyword argument 'Y'")


def test_unprintable_unexpected_keyword_is_internal_failure(panic_type):
    with pytest.raises(BaseException) as info:
        undarix.transient_impulse(*valid("transient_impulse"), **{Unprintable("bogus"): 0})
    assert type(info.value) is panic_type
    assert info.value.args == (PANIC_FORMAT,)
    assert undarix.transient_impulse(*valid("transient_impulse")).shape == T.shape


class Outer:
    class Key:
        pass


class BadNameMeta(type):
    def __getattribute__(cls, attr):
        name = type.__getattribute__(cls, "__name__")
        if attr != "__qualname__":
            return type.__getattribute__(cls, attr)
        if name == "Raising":
            raise RuntimeError("no name")
        return {"NotText": 42, "Subclass": Shown("Sub.Class")}[name]


@pytest.mark.parametrize("key, type_name", [
    (1, "int"), (b"time", "bytes"), (None, "NoneType"), (Outer.Key(), "Outer.Key"),
    (BadNameMeta("Raising", (), {})(), "<failed to extract type name>"),
    (BadNameMeta("NotText", (), {})(), "<failed to extract type name>"),
    (BadNameMeta("Subclass", (), {})(), "Sub.Class"),
])
def test_non_str_keyword_name(key, type_name):
    f = undarix.harmonic_oscillator
    gc.collect()
    before = sys.getrefcount(type(key))
    for kwargs in ({key: 0}, {key: 0, "bogus": 1}, {"y": 0, key: 0, "Y": 1}):
        assert binding_error(keyword_call, f, valid("harmonic_oscillator")[:5], kwargs) == (
            "'%s' object cannot be converted to 'PyString'" % type_name)
    gc.collect()  # the caught exceptions sit in reference cycles
    after = sys.getrefcount(type(key))
    assert after == before
    args = valid("harmonic_oscillator")
    assert binding_error(keyword_call, f, args[:5], {"bogus": 1, key: 0}) == (
        "harmonic_oscillator() got an unexpected keyword argument 'bogus'")
    assert binding_error(keyword_call, f, args[:5], {"time": T, key: 0}) == (
        "harmonic_oscillator() got multiple values for argument 'time'")
    assert binding_error(keyword_call, f, args + (1,), {key: 0}) == (
        "harmonic_oscillator() takes 6 positional arguments but 7 were given")


@pytest.mark.skipif(not DICT_KEYWORD_NAMES_CHECKED, reason="the interpreter passes any key on")
@pytest.mark.parametrize("key", [1, b"time", None])
def test_interpreter_refuses_non_str_names_from_a_dict(key):
    args = valid("harmonic_oscillator")[:5]
    message = binding_error(object_call, undarix.harmonic_oscillator, args, {key: 0})
    assert message == "keywords must be strings"


def test_raw_entry_vectors():
    f, args = undarix.pseudo_square_wave, valid("pseudo_square_wave")
    expected = bits(f(*args))
    assert binding_error(entry_call, f, None, None) == (
        "pseudo_square_wave() missing 6 required positional arguments: "
        "'time', 'amplitude', 'gamma', 'omega', 'phi', and 'y'")
    assert np.array_equal(bits(entry_call(f, args, ())), expected)
    assert np.array_equal(bits(entry_call(f, args, None)), expected)
    assert binding_error(entry_call, f, args[:5] + (1.0, 2.0), ("y", "y")) == (
        "pseudo_square_wave() got multiple values for argument 'y'")
    assert binding_error(entry_call, f, args[:4] + (1.0, 2.0), ("y", "y")) == (
        "pseudo_square_wave() got multiple values for argument 'y'")
    assert binding_error(entry_call, f, args[:4] + (0.0, 1, 0.0), ("y", 1, "y")) == (
        "'int' object cannot be converted to 'PyString'")
