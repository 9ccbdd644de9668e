"""undarix_ufuncs reads NumPy's ufunc C-API table only from the NumPy whose multiarray table it
has checked, and says why at import when it cannot: an ImportError, after which a later import
can still succeed.  Each case runs in a fresh process."""
import os

import pytest

from conftest import run_python

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))

BREAK = {
    # A NumPy of a C ABI the module does not know: no table of it is read.
    "unknown C ABI": ("_multiarray._ARRAY_API = fake_table(0x03000000)",
                      "NumPy C ABI version 0x3000000 is not supported"),
    "no ufunc capsule": ("del _umath._UFUNC_API", "Failed to get NumPy ufunc API capsule"),
    "ufunc capsule is not a capsule": ("_umath._UFUNC_API = 5",
                                       "NumPy ufunc API capsule holds no function table"),
    # A capsule of another kind (a name NumPy's has not) is not read either.
    "ufunc capsule of another kind": ("_umath._UFUNC_API = _capsule_new(ctypes.addressof(ctypes.c_int()), b'x', None)",
                                      "NumPy ufunc API capsule holds no function table"),
    # The compiled module publishes a multiarray table other than the one that was checked:
    # its ufunc table could belong to another NumPy.
    "ufunc module of another NumPy": ("_umath._ARRAY_API = fake_table(%s)",
                                      "NumPy's ufunc module publishes another NumPy API table than the "
                                      "one in use"),
}

SCRIPT = """
    import ctypes, sys
    sys.path.insert(0, %(tests)r)
    import numpy as np
    from conftest import NUMPY_2, _capsule_new, _multiarray
    if NUMPY_2:
        import numpy._core._multiarray_umath as _umath
    else:
        import numpy.core._multiarray_umath as _umath
    saved = {module: dict(vars(module)) for module in (_multiarray, _umath)}
    kept = []

    def fake_table(version):
        function = ctypes.CFUNCTYPE(ctypes.c_uint)(lambda: version)
        table = (ctypes.c_void_p * 1)(ctypes.cast(function, ctypes.c_void_p))
        kept.append((function, table))
        return _capsule_new(ctypes.addressof(table), None, None)

    %(break_numpy)s
    try:
        import undarix_ufuncs
    except BaseException as exc:
        print(type(exc).__name__, exc.args, "undarix_ufuncs" in sys.modules)
    else:
        print("imported")
    for module, attributes in saved.items():
        for name in set(vars(module)) - set(attributes):
            delattr(module, name)
        for name, value in attributes.items():
            setattr(module, name, value)
    import undarix_ufuncs
    print(undarix_ufuncs.harmonic_oscillator(np.linspace(0.0, 1.0, 4), 1.0, 0.0, 1.0, 0.0, 0.0).shape)
"""


@pytest.mark.parametrize("fault", sorted(BREAK))
def test_an_unusable_table_is_refused_at_import_and_retried(fault):
    break_numpy, message = BREAK[fault]
    if "%s" in break_numpy:
        break_numpy %= "0x02000000 if NUMPY_2 else 0x01000009"
    completed = run_python(SCRIPT % {"tests": TESTS_DIR, "break_numpy": break_numpy})
    assert completed.stdout.splitlines() == ["ImportError (%r,) False" % message, "(4,)"], completed.stderr
