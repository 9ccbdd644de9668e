"""Failures crossing the call boundary: PanicException, resumed panics, pass-through, recovery."""
import ctypes
import os
import traceback

import numpy as np
import pytest

import undarix
from conftest import ALL_FUNCTIONS, PENDING_TEXT_ARRIVES, VALID_SCALARS, bits, run_python

NOT_CONTIGUOUS = "called `Result::unwrap()` on an `Err` value: NotContiguousError"
UNWRAPPED = "Unwrapped panic from Python code"
RESUMING = ("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
            "Python stack trace below:\n")
T = np.linspace(-1.0, 3.0, 9)


class RaisingFloat:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


class Slot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("pfunc", ctypes.c_void_p)]


class TypeDescription(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("basicsize", ctypes.c_int), ("itemsize", ctypes.c_int),
                ("flags", ctypes.c_uint), ("slots", ctypes.POINTER(Slot))]


def silent_index():
    """An object of a native type whose __index__ slot returns NULL without setting an exception."""
    callback = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p)(lambda self: None)
    slots = (Slot * 2)(Slot(13, ctypes.cast(callback, ctypes.c_void_p)), Slot(0, None))  # nb_index
    size = object.__basicsize__  # a bare object header (larger on a free-threaded build)
    description = TypeDescription(b"tests.SilentIndex", size, 0, 1 << 18, slots)
    make_type = ctypes.pythonapi.PyType_FromSpec
    make_type.restype, make_type.argtypes = ctypes.py_object, [ctypes.POINTER(TypeDescription)]
    cls = make_type(ctypes.byref(description))
    cls.keepalive = callback
    return cls()


def test_panic_exception_type(panic_type):
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__qualname__ == "PanicException"
    assert panic_type.__module__ == "pyo3_runtime"
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)
    doc = panic_type.__doc__
    assert doc.startswith("\n") and doc.endswith("\n") and doc.strip()


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
@pytest.mark.parametrize("view", [lambda a: a[::2], lambda a: a[::-1], lambda a: a[1:][::3]])
def test_internal_failure_raises_panic_exception(name, view, panic_type):
    with pytest.raises(BaseException) as info:
        try:
            getattr(undarix, name)(view(T), *VALID_SCALARS[name])
        except Exception:  # must not be caught here
            pytest.fail("PanicException caught as Exception")
    assert type(info.value) is panic_type
    assert info.value.args == (NOT_CONTIGUOUS,)
    assert str(info.value) == NOT_CONTIGUOUS


def test_internal_failure_report_on_stderr():
    completed = run_python("""
        import numpy as np, undarix
        try:
            undarix.harmonic_oscillator(np.arange(8.0)[::2], 1.0, 0.0, 1.0, 0.0, 0.0)
        except BaseException as exc:
            print(type(exc).__module__, type(exc).__name__)
    """)
    assert completed.stdout == "pyo3_runtime PanicException\n"
    assert "NotContiguousError" in completed.stderr
    assert "uncaught panic at ffi boundary" not in completed.stderr
    assert "resuming a panic" not in completed.stderr


REPORTS = {
    "column": ("harmonic_oscillator", "np.linspace(0.0, 1.0, 8).reshape(4, 2)[:, 0]", "",
               NOT_CONTIGUOUS, "pass np.ascontiguousarray(time)"),
    "borrowed": ("fourier_square_wave", "t", "BorrowApi().acquire_exclusive(t)",
                 "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed",
                 "wait for that module to release it"),
    "internal": ("transient_impulse", "t", "kwargs = {Unprintable('x'): 1.0}",
                 "a formatting trait implementation returned an error when the underlying stream "
                 "did not: Error", "(internal failure at src/frame/"),
}


@pytest.mark.parametrize("name, time, setup, message, advice", list(REPORTS.values()),
                         ids=list(REPORTS))
def test_failure_report_names_the_function_and_what_to_do(name, time, setup, message, advice):
    completed = run_python("""
        import sys
        sys.path.insert(0, %r)
        import numpy as np, undarix
        from conftest import BorrowApi, VALID_SCALARS
        class Unprintable(str):
            def __str__(self):
                raise ValueError("no text")
        undarix.harmonic_oscillator(np.zeros(2), 1.0, 0.0, 1.0, 0.0, 0.0)  # installs the registry
        t = np.linspace(0.0, 1.0, 8)
        kwargs = {}
        %s
        try:
            undarix.%s(%s, *VALID_SCALARS[%r], **kwargs)
        except BaseException as exc:
            print(exc.args)
    """ % (os.path.dirname(os.path.abspath(__file__)), setup, name, time, name))
    assert completed.stdout == "%r\n" % ((message,),)
    report = completed.stderr.splitlines()
    assert report[0].startswith("undarix: undarix.%s() failed: %s" % (name, message))
    if advice.startswith("(internal failure"):
        assert report[0].endswith(")") and advice in report[0]
    else:  # the caller's data, not the module, is at fault: advice instead of a source location
        assert report[1].startswith("undarix: ") and advice in report[1]
        assert "src/" not in completed.stderr


# Each snippet is the body of an `__float__` method; `P` is the module's PanicException.
RESUMED = {
    "set_string": ('ctypes.pythonapi.PyErr_SetString(ctypes.py_object(P), b"from python")',
                   "from python" if PENDING_TEXT_ARRIVES else UNWRAPPED),
    "str_subclass": ('ctypes.pythonapi.PyErr_SetObject(ctypes.py_object(P), '
                     'ctypes.py_object(Text("subclass text")))',
                     "subclass text" if PENDING_TEXT_ARRIVES else UNWRAPPED),
    "lone_surrogate": ('ctypes.pythonapi.PyErr_SetObject(ctypes.py_object(P), '
                       'ctypes.py_object("bad \\udc80"))', UNWRAPPED),
    "not_text": ("ctypes.pythonapi.PyErr_SetObject(ctypes.py_object(P), ctypes.py_object(42))",
                 UNWRAPPED),
    "instance": ('raise P("instance text")', UNWRAPPED),
    "class": ("raise P", UNWRAPPED),
    "nested_call": ("undarix.harmonic_oscillator(t[::2], 1.0, 0.0, 1.0, 0.0, 0.0)", UNWRAPPED),
}


@pytest.mark.parametrize("body, message", list(RESUMED.values()), ids=list(RESUMED))
def test_resumed_panic(body, message):
    completed = run_python("""
        import ctypes, sys
        import numpy as np, undarix
        t = np.linspace(0.0, 1.0, 5)
        try:
            undarix.harmonic_oscillator(t[::2], 1.0, 0.0, 1.0, 0.0, 0.0)
        except BaseException as exc:
            P = type(exc)
        class Text(str):
            pass
        class Convertible:
            def __float__(self):
                %s
                return 1.0
        sys.stderr.flush()
        print("<<call>>", file=sys.stderr, flush=True)
        try:
            undarix.pseudo_square_wave(t, 1.0, Convertible(), 1.0, 0.0, 0.0)
        except BaseException as exc:
            assert type(exc) is P, repr(exc)
            print(repr(exc.args))
        assert not hasattr(sys, "last_value")
        assert undarix.pseudo_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0).shape == (5,)
    """ % body)
    assert completed.stdout == "%r\n" % ((message,),)
    stderr = completed.stderr.split("<<call>>\n", 1)[1]
    if "undarix." in body:  # the inner call reports its own failure first
        stderr = stderr[stderr.find(RESUMING):]
    assert stderr.startswith(RESUMING + "Traceback (most recent call last):\n")
    assert "in __float__" in stderr
    assert "PanicException" in stderr


@pytest.mark.parametrize("make", [
    lambda p: type("SubPanic", (p,), {})("sub"),
    lambda p: type("PanicException", (BaseException,), {"__module__": "pyo3_runtime"})("foreign"),
    lambda p: ValueError("plain"),
    lambda p: KeyboardInterrupt(),
], ids=["subclass", "foreign_panic_type", "value_error", "base_exception"])
def test_other_exceptions_pass_through_unchanged(make, panic_type, capfd):
    raised = make(panic_type)
    with pytest.raises(BaseException) as info:
        undarix.harmonic_oscillator(T, 1.0, 0.0, RaisingFloat(raised), 0.0, 0.0)
    assert info.value is raised
    assert traceback.extract_tb(info.value.__traceback__)[-1].name == "__float__"
    assert "resuming a panic" not in capfd.readouterr().err


def test_failure_without_pending_exception_is_system_error():
    with pytest.raises(SystemError) as info:
        undarix.fourier_square_wave(T, 1.0, 0.0, 1.0, 0.0, 0.0, silent_index())
    assert type(info.value) is SystemError
    assert info.value.args == ("attempted to fetch exception but none was set",)


@pytest.mark.parametrize("catch_panic", [False, True])
def test_nested_calls(catch_panic):
    class Reentrant:
        def __float__(self):
            assert undarix.harmonic_oscillator(T, 1.0, 0.0, 1.0, 0.0, 0.0).shape == T.shape
            if catch_panic:
                with pytest.raises(BaseException):
                    undarix.harmonic_oscillator(T[::2], 1.0, 0.0, 1.0, 0.0, 0.0)
            return 2.0

    expected = undarix.harmonic_oscillator(T, 1.0, 0.0, 2.0, 0.0, 0.0)
    result = undarix.harmonic_oscillator(T, 1.0, 0.0, Reentrant(), 0.0, 0.0)
    assert np.array_equal(bits(result), bits(expected))


FAILING_CALLS = {
    "binding": lambda: undarix.harmonic_oscillator(T, 1.0),
    "conversion": lambda: undarix.harmonic_oscillator(T, "x", 0.0, 1.0, 0.0, 0.0),
    "overflow": lambda: undarix.fourier_square_wave(T, 1.0, 0.0, 1.0, 0.0, 0.0, -1),
    "panic": lambda: undarix.harmonic_oscillator(T[::2], 1.0, 0.0, 1.0, 0.0, 0.0),
    "python_exception": lambda: undarix.harmonic_oscillator(
        T, RaisingFloat(ValueError("v")), 0.0, 1.0, 0.0, 0.0),
    "no_pending_exception": lambda: undarix.fourier_square_wave(
        T, 1.0, 0.0, 1.0, 0.0, 0.0, silent_index()),
}


@pytest.mark.parametrize("fail", list(FAILING_CALLS.values()), ids=list(FAILING_CALLS))
def test_next_call_after_failure_works(fail):
    expected = [bits(getattr(undarix, n)(T, *VALID_SCALARS[n])) for n in ALL_FUNCTIONS]
    for _ in range(3):
        with pytest.raises(BaseException):
            fail()
        got = [bits(getattr(undarix, n)(T, *VALID_SCALARS[n])) for n in ALL_FUNCTIONS]
        assert all(np.array_equal(a, b) for a, b in zip(got, expected))
