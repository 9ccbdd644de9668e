"""Module object, function objects and the once-per-process initialisation rule."""
import ctypes
import inspect
import types

import pytest

import undarix
from conftest import ALL_FUNCTIONS, PARAMETERS, run_python

ONCE_ONLY = "PyO3 modules may only be initialized once per interpreter process"


def test_module_doc_and_index():
    assert undarix.__doc__ == "Python module definition"
    assert type(undarix.__all__) is list
    assert undarix.__all__ == ALL_FUNCTIONS
    public = sorted(name for name in vars(undarix) if not name.startswith("__"))
    assert public == sorted(ALL_FUNCTIONS)


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_function_object(name):
    function = getattr(undarix, name)
    assert type(function) is types.BuiltinFunctionType
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert type(function.__module__) is str and function.__module__ == "undarix"
    assert function.__self__ is undarix
    assert function.__text_signature__ == "(%s)" % ", ".join(PARAMETERS[name])
    assert function.__doc__ is None


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_signature(name):
    parameters = list(inspect.signature(getattr(undarix, name)).parameters.values())
    assert [p.name for p in parameters] == list(PARAMETERS[name])
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in parameters)
    assert all(p.default is inspect.Parameter.empty for p in parameters)


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_method_definition(name):
    word = ctypes.sizeof(ctypes.c_void_p)
    method_def = ctypes.c_void_p.from_address(id(getattr(undarix, name)) + object.__basicsize__).value  # m_ml
    assert ctypes.c_char_p.from_address(method_def).value == name.encode()
    assert ctypes.c_int.from_address(method_def + 2 * word).value == 0x82  # FASTCALL | KEYWORDS
    assert ctypes.c_char_p.from_address(method_def + 3 * word).value == (
        "%s(%s)\n--\n\n" % (name, ", ".join(PARAMETERS[name]))).encode()


def test_second_initialisation_is_refused():
    run_python("""
        import sys
        import numpy as np
        import undarix as first
        functions = [getattr(first, name) for name in first.__all__]
        del sys.modules["undarix"]
        for attempt in range(2):
            try:
                import undarix
            except ImportError as exc:
                assert type(exc) is ImportError, type(exc)
                assert exc.args == (%r,), exc.args
            else:
                raise AssertionError("second initialisation succeeded")
            assert "undarix" not in sys.modules
        assert first.__all__ == %r
        t = np.linspace(0.0, 1.0, 5)
        for function in functions:
            assert function.__self__ is first
            assert function is getattr(first, function.__name__)
        assert first.harmonic_oscillator(t, 1.0, 0.0, 1.0, 0.0, 0.0).shape == (5,)
        assert first.transient_impulse(time=t, amplitude=1.0, period=6.0,
                                       width=0.5, equilibrium=0.25).shape == (5,)
    """ % (ONCE_ONLY, ALL_FUNCTIONS))


def test_initialisation_in_subinterpreter_is_refused():
    completed = run_python("""
        import _testcapi
        import undarix
        code = (
            "try:\\n"
            "    import undarix\\n"
            "except ImportError as exc:\\n"
            "    print('refused', type(exc).__name__, exc.args)\\n"
            "else:\\n"
            "    print('accepted')\\n")
        assert _testcapi.run_in_subinterp(code) == 0
        assert undarix.__all__[0] == "harmonic_oscillator"
    """)
    assert completed.stdout.strip() == "refused ImportError %r" % ((ONCE_ONLY,),)


def test_numpy_is_loaded_only_when_an_array_is_checked():
    completed = run_python("""
        import sys
        import undarix
        assert "numpy" not in sys.modules, "import loaded numpy"
        for call in ("harmonic_oscillator()", "pseudo_square_wave(1, 2, 3, 4, 5, 6, 7)",
                     "fourier_square_wave([0.0], 1, 2, 3, 4, 5, 6, bogus=1)",
                     "transient_impulse([0.0], 1, 2, 3, 4, time=[0.0])"):
            try:
                eval("undarix." + call)
            except TypeError:
                pass
            else:
                raise AssertionError(call)
        assert "numpy" not in sys.modules, "binding failure loaded numpy"
        try:
            undarix.harmonic_oscillator([0.0], 1.0, 0.0, 1.0, 0.0, 0.0)
        except TypeError as exc:
            print(exc)
        print("numpy" in sys.modules)
    """)
    assert completed.stdout.splitlines() == [
        "argument 'time': 'list' object cannot be converted to 'PyArray<T, D>'", "True"]
