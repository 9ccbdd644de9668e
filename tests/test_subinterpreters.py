"""Imports from a sub-interpreter are refused, before or after the main interpreter's import, by
both modules; the strict module's refusal does not take the main interpreter's one
initialisation.  Each case runs in a fresh process."""
import importlib
import os
import re
import sys
import sysconfig

import pytest

from conftest import run_python

ONCE_ONLY = "PyO3 modules may only be initialized once per interpreter process"
NOT_SUPPORTED = "%s does not support sub-interpreters: import it in the main interpreter only"
# CPython 3.12 on refuses a single-phase module in an isolated sub-interpreter (one that checks
# its extensions) without asking the module, once the module has been initialised (3.12) or
# after its initialisation has run in the main interpreter (3.13 on).
CPYTHON_REFUSES = "module %s does not support loading in subinterpreters"

# Each module: the name imported, and a call made after the main interpreter's import.
MODULES = {
    "undarix": "undarix.harmonic_oscillator(t, 1.0, 0.0, 1.0, 0.0, 0.0).size",
    "undarix_ufuncs": "undarix_ufuncs.harmonic_oscillator(t, 1.0, 0.0, 1.0, 0.0, 0.0).size",
}


def available(module):
    try:
        importlib.import_module(module)
    except ImportError:
        return False
    return True


# Each way of running code in a sub-interpreter: the module it needs, the code, and whether the
# sub-interpreter is an isolated one (one CPython 3.12 on refuses single-phase modules in).
RUNNERS = {
    "_testcapi": ("_testcapi", "lambda code: _testcapi.run_in_subinterp(code)", False),
    "_xxsubinterpreters": ("_xxsubinterpreters",
                           "lambda code: _xxsubinterpreters.run_string(_xxsubinterpreters.create(), code)",
                           sys.version_info >= (3, 12)),
    "_interpreters": ("_interpreters", "lambda code: _interpreters.run_string(_interpreters.create(), code)",
                      True),
    # From 3.13 a single-phase module's initialisation for a sub-interpreter runs in the main
    # interpreter first; a legacy sub-interpreter then asks the module itself.
    "_interpreters, legacy": ("_interpreters",
                              "lambda code: _interpreters.run_string("
                              "_interpreters.create(_interpreters.new_config('legacy')), code)", False),
}

SCRIPT = """
    import os, %(runner_module)s
    run_in_subinterpreter = %(runner)s
    SUB = '''if True:
        import os
        try:
            import %(module)s
            outcome = "imported " + str(len(%(module)s.__all__))
        except ImportError as exc:
            outcome = "ImportError: " + str(exc)
        os.write(1, ("sub: " + outcome + chr(10)).encode())
    '''

    def main_import():
        try:
            import %(module)s, numpy as np
            t = np.linspace(0.0, 1.0, 5)
            outcome = "imported, call gives %%d values" %% %(call)s
        except ImportError as exc:
            outcome = "ImportError: " + str(exc)
        os.write(1, ("main: " + outcome + chr(10)).encode())

    if %(sub_first)r:
        run_in_subinterpreter(SUB)
        main_import()
    else:
        main_import()
        run_in_subinterpreter(SUB)
    run_in_subinterpreter(SUB)
"""


def expected_refusals(module, runner, sub_first):
    """What the two sub-interpreter imports say, in order."""
    if RUNNERS[runner][2]:
        # CPython 3.12 refuses an isolated sub-interpreter only a module it has initialised already;
        # from 3.13 it first runs the initialisation in the main interpreter.
        if sub_first and sys.version_info < (3, 13):
            return [NOT_SUPPORTED % module, CPYTHON_REFUSES % module]
        return [CPYTHON_REFUSES % module] * 2
    if module == "undarix_ufuncs":
        return [NOT_SUPPORTED % module] * 2
    # Before the main interpreter's import the strict module says so; after it, the once-only
    # rule speaks.
    return [NOT_SUPPORTED % module if sub_first else ONCE_ONLY, ONCE_ONLY]


@pytest.mark.parametrize("sub_first", [True, False], ids=["sub-interpreter first", "main first"])
@pytest.mark.parametrize("runner", sorted(RUNNERS))
@pytest.mark.parametrize("module", sorted(MODULES))
def test_sub_interpreter_import_is_refused(module, runner, sub_first):
    runner_module, runner_code, _ = RUNNERS[runner]
    if not available(runner_module) or runner.endswith("legacy") and sys.version_info < (3, 13):
        pytest.skip("this CPython has no %s" % runner)
    completed = run_python(SCRIPT % {"runner_module": runner_module, "runner": runner_code, "module": module,
                                     "call": MODULES[module], "sub_first": sub_first})
    lines = completed.stdout.splitlines()
    main = "main: imported, call gives 5 values"
    subs = [line for line in lines if line.startswith("sub: ")]
    assert lines.count(main) == 1 and len(subs) == 2, completed.stdout + completed.stderr
    assert subs == ["sub: ImportError: " + text for text in expected_refusals(module, runner, sub_first)], lines
    assert lines.index(main) == (1 if sub_first else 0)
    # Nothing crossed from one interpreter to the other: CPython reports an exception raised by
    # an initialisation it ran in the main interpreter for a sub-interpreter (3.14 on).
    assert "Exception while importing from subinterpreter" not in completed.stderr, completed.stderr


@pytest.mark.skipif(sys.version_info < (3, 13), reason="CPython 3.13 on marks the thread state")
def test_the_mark_of_an_import_run_for_a_sub_interpreter_keeps_its_value():
    # The modules tell the main interpreter's own import from the one CPython runs in it for a
    # sub-interpreter by the thread state's _whence, equal to _PyThreadState_WHENCE_EXEC, which
    # CPython defines for its own build only; the modules use the value 5.  The behaviour it
    # stands for is checked above, with legacy sub-interpreters.
    header = os.path.join(sysconfig.get_paths()["include"], "cpython", "pystate.h")
    if not os.path.exists(header):
        pytest.skip("this CPython's headers are not installed")
    with open(header) as text:
        values = re.findall(r"#\s*define\s+_PyThreadState_WHENCE_EXEC\s+(\S+)", text.read())
    assert values == ["5"]
