"""What differs between NumPy releases: where NumPy publishes its capsules and the layout of
its descriptors."""
import json
import os

import numpy as np
import pytest

import undarix
from conftest import ALL_FUNCTIONS, ALREADY_BORROWED, NUMPY_2, VALID_SCALARS, run_python

GRANTED = 0
TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


def test_first_use_raises_no_warning():
    # Loading NumPy's function table and finding or installing the registry happen on the
    # first calls; neither may touch a deprecated NumPy module or attribute.
    completed = run_python("""
        import sys, warnings
        sys.path.insert(0, %r)
        import numpy as np
        warnings.simplefilter("error")
        import undarix
        from conftest import ALL_FUNCTIONS, VALID_SCALARS
        for name in ALL_FUNCTIONS:
            getattr(undarix, name)(np.linspace(0.0, 1.0, 5), *VALID_SCALARS[name])
        print("numpy.core.multiarray" in sys.modules)
    """ % TESTS_DIR)
    # NumPy 2 imports its deprecated numpy.core aliases only when something asks for them.
    assert completed.stdout == ("False\n" if NUMPY_2 else "True\n")
    assert completed.stderr == ""


def test_registry_is_published_beside_numpys_own_capsule():
    completed = run_python("""
        import sys
        sys.path.insert(0, %r)
        import numpy as np
        import undarix
        from conftest import BORROW_API_ATTRIBUTE, _multiarray
        before = hasattr(_multiarray, BORROW_API_ATTRIBUTE)
        undarix.harmonic_oscillator(np.zeros(3), 1.0, 0.0, 1.0, 0.0, 0.0)
        print(before, hasattr(_multiarray, "_ARRAY_API"), hasattr(_multiarray, BORROW_API_ATTRIBUTE))
    """ % TESTS_DIR)
    assert completed.stdout == "False True True\n"


# Views of one buffer of eight float64 values through dtypes of other element sizes: the
# region a borrow covers ends one element size after its last element's start, so element
# sizes read from the wrong place in the descriptor show up as wrong conflicts.
WIDE = [
    # (held dtype, held element range in its own units, time slice, conflict)
    ("complex128", slice(0, 1), slice(2, 8), False),
    ("complex128", slice(0, 1), slice(1, 2), True),
    ("complex128", slice(1, 2), slice(3, 4), True),
    ("complex128", slice(1, 2), slice(4, 8), False),
    ("V32", slice(0, 1), slice(3, 4), True),
    ("V32", slice(0, 1), slice(4, 8), False),
    ("int8", slice(15, 16), slice(1, 2), True),
    ("int8", slice(15, 16), slice(2, 3), False),
    ("float32", slice(3, 4), slice(1, 2), True),
    ("float32", slice(3, 4), slice(2, 8), False),
]


@pytest.mark.parametrize("held_dtype, held, time, conflict", WIDE)
@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_regions_end_one_element_size_after_the_last_element(borrow_api, panic_type, name,
                                                             held_dtype, held, time, conflict):
    base = np.linspace(0.0, 3.0, 8)
    view = base.view(held_dtype)[held]
    assert borrow_api.acquire_exclusive(view) == GRANTED
    function = getattr(undarix, name)
    if conflict:
        with pytest.raises(panic_type) as info:
            function(base[time], *VALID_SCALARS[name])
        assert info.value.args == (ALREADY_BORROWED,)
    else:
        assert function(base[time], *VALID_SCALARS[name]).shape == base[time].shape
    borrow_api.release_exclusive(view)


@pytest.mark.parametrize("break_numpy, message", [
    ("sys.modules['numpy.core.multiarray'] = sys.modules['numpy._core.multiarray'] = None",
     "Failed to import NumPy module"),
    ("delattr(_multiarray, '_ARRAY_API')", "Failed to get NumPy API capsule"),
    ("_multiarray._ARRAY_API = 5", "NumPy API capsule holds no function table"),
])
def test_unreachable_function_table_fails_the_call_and_is_retried(break_numpy, message):
    completed = run_python("""
        import sys
        sys.path.insert(0, %r)
        import numpy as np
        import undarix
        from conftest import _multiarray
        t = np.linspace(0.0, 1.0, 4)
        saved = dict(sys.modules), _multiarray._ARRAY_API
        %s
        try:
            undarix.harmonic_oscillator(t, 1.0, 0.0, 1.0, 0.0, 0.0)
        except BaseException as exc:
            print(type(exc).__name__, exc.args)
        sys.modules.update(saved[0])
        _multiarray._ARRAY_API = saved[1]
        print(undarix.harmonic_oscillator(t, 1.0, 0.0, 1.0, 0.0, 0.0).shape)
    """ % (TESTS_DIR, break_numpy))
    assert completed.stdout == "PanicException ('%s',)\n(4,)\n" % message


def test_numpy_of_an_unknown_c_abi_is_refused():
    # The descriptor layout is known for C ABI versions 1 and 2 only.
    completed = run_python("""
        import ctypes, sys
        sys.path.insert(0, %r)
        import numpy as np
        import undarix
        from conftest import _capsule_new, _multiarray
        t = np.linspace(0.0, 1.0, 4)
        version = ctypes.CFUNCTYPE(ctypes.c_uint)(lambda: 0x03000000)
        table = (ctypes.c_void_p * 1)(ctypes.cast(version, ctypes.c_void_p))
        _multiarray._ARRAY_API = _capsule_new(ctypes.addressof(table), None, None)
        try:
            undarix.harmonic_oscillator(t, 1.0, 0.0, 1.0, 0.0, 0.0)
        except BaseException as exc:
            print(type(exc).__name__, exc.args)
    """ % TESTS_DIR)
    assert completed.stdout == "PanicException ('NumPy C ABI version 0x3000000 is not supported',)\n"


# --- One registry per process on NumPy 2, whichever convention installed it ---

# On NumPy 2, numpy.core.multiarray is a compatibility module of its own; a module built to the
# NumPy 1 convention publishes the registry there, one built to NumPy 2's on numpy._core.
ONE_REGISTRY = """
import json, sys, warnings
sys.path.insert(0, %r)
import numpy as np
import undarix
from conftest import ALL_FUNCTIONS, BORROW_API_ATTRIBUTE, VALID_SCALARS, BorrowApi, _multiarray
from registry_model import ModelRegistry
warnings.simplefilter("error")  # neither module may touch a deprecated NumPy attribute
def outcome(name, time):
    try:
        getattr(undarix, name)(time, *VALID_SCALARS[name])
        return "ok"
    except BaseException as exc:
        return list(exc.args)
def published(module):
    return vars(module).get(BORROW_API_ATTRIBUTE)
a = np.linspace(0.0, 1.0, 10)
order = %r
if order != "undarix first, old module imported later":
    import numpy.core.multiarray as compat
if order.startswith("undarix first"):
    outcome("harmonic_oscillator", np.zeros(2))  # installs this module's registry
if order == "undarix first, old module imported later":
    import numpy.core.multiarray as compat
# The module of the NumPy 1 convention: looks on numpy.core.multiarray, installs unless found.
with warnings.catch_warnings():
    # Reading through the compatibility module's forwarding warns; that module's business.
    warnings.simplefilter("ignore", DeprecationWarning)
    model = ModelRegistry.install_unless_present(compat)
    old = BorrowApi(getattr(compat, BORROW_API_ATTRIBUTE))
log = [outcome(name, a) for name in ALL_FUNCTIONS]
log.append(old.acquire_exclusive(a[::2]))
log.append([outcome(name, a) for name in ALL_FUNCTIONS])
old.release_exclusive(a[::2])
log.append(outcome("pseudo_square_wave", a))
# A module of NumPy 2's convention coming later finds the same registry.
new = BorrowApi()
log.append([new.record.state == old.record.state, new.acquire_exclusive(a), outcome("transient_impulse", a)])
new.release_exclusive(a)
print(json.dumps([model is not None, log, published(_multiarray) is published(compat) or
                  published(compat) is None and order.endswith("later"),
                  model and [operation for operation, _, _ in model.log]]))
"""

ORDERS = ["old module first", "undarix first, old module imported before",
          "undarix first, old module imported later"]


@pytest.mark.skipif(not NUMPY_2, reason="NumPy 1.x has one multiarray module")
@pytest.mark.parametrize("order", ORDERS)
def test_one_registry_with_a_module_of_the_numpy_1_convention(order):
    completed = run_python(ONE_REGISTRY % (TESTS_DIR, order))
    assert "Warning" not in completed.stderr
    installed_by_old, log, same_capsule, operations = json.loads(completed.stdout)
    assert installed_by_old == (order == "old module first")
    borrowed = [ALREADY_BORROWED]
    assert log == ["ok"] * 5 + [GRANTED, [borrowed] * 5, "ok", [True, GRANTED, borrowed]]
    assert same_capsule
    if installed_by_old:
        # Every borrow of this module went to the other module's table.
        assert operations == (["acquire_shared", "release_shared"] * 5 + ["acquire_exclusive"]
                              + ["acquire_shared"] * 5 + ["release_exclusive", "acquire_shared",
                                                          "release_shared", "acquire_exclusive"]
                              + ["acquire_shared", "release_exclusive"])


@pytest.mark.skipif(not NUMPY_2, reason="NumPy 1.x has one multiarray module")
def test_capsules_other_modules_published_are_never_replaced():
    completed = run_python("""
        import json, sys
        sys.path.insert(0, %r)
        import numpy as np
        import numpy.core.multiarray as compat
        import undarix
        from conftest import BORROW_API_ATTRIBUTE, CountingRegistry, _multiarray
        from registry_model import ModelRegistry
        old = ModelRegistry.install_unless_present(compat)
        current = CountingRegistry()
        current.install()
        undarix.harmonic_oscillator(np.zeros(3), 1.0, 0.0, 1.0, 0.0, 0.0)
        print(json.dumps([vars(compat)[BORROW_API_ATTRIBUTE] is old.capsule,
                          vars(_multiarray)[BORROW_API_ATTRIBUTE] is current.capsule,
                          [kind for kind, _, _ in current.calls], len(old.log)]))
    """ % TESTS_DIR)
    # numpy._core's registry is the one in use; the other stays where it was, untouched.
    assert json.loads(completed.stdout) == [True, True, ["acquire_shared", "release_shared"], 0]


# The mirrored layouts against NumPy's own headers, for the interpreter under test: with
# the interpreter lock the object header is 16 bytes, on a free-threaded build more, and
# every field after it moves with it.
LAYOUT_CHECK = r"""
#include <Python.h>
#include <numpy/ndarraytypes.h>
#include <numpy/ufuncobject.h>
#include "numpy/numpy_layout.hpp"
using namespace undarix::numpy;
#define SAME(mine, field, theirs, their_field) \
    static_assert(offsetof(mine, field) == offsetof(theirs, their_field), #mine "." #field)
SAME(ArrayObject, data, PyArrayObject_fields, data);
SAME(ArrayObject, nd, PyArrayObject_fields, nd);
SAME(ArrayObject, dimensions, PyArrayObject_fields, dimensions);
SAME(ArrayObject, strides, PyArrayObject_fields, strides);
SAME(ArrayObject, base, PyArrayObject_fields, base);
SAME(ArrayObject, descr, PyArrayObject_fields, descr);
SAME(ArrayObject, flags, PyArrayObject_fields, flags);
SAME(DescrHead, typeobj, PyArray_Descr, typeobj);
SAME(DescrHead, type_num, PyArray_Descr, type_num);
#if NPY_ABI_VERSION >= 0x02000000
SAME(DescrAbi2, flags, _PyArray_DescrNumPy2, flags);
SAME(DescrAbi2, elsize, _PyArray_DescrNumPy2, elsize);
SAME(UfuncObjectAbi2, nin, PyUFuncObject, nin);
SAME(UfuncObjectAbi2, ntypes, PyUFuncObject, ntypes);
SAME(UfuncObjectAbi2, core_dim_sizes, PyUFuncObject, core_dim_sizes);
SAME(UfuncObjectAbi2, loops, PyUFuncObject, _loops);
#else
SAME(DescrAbi1, elsize, PyArray_Descr, elsize);
#endif
"""


def test_mirrored_layouts_match_numpys_headers(tmp_path):
    import shutil
    import subprocess
    import sysconfig
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    source = tmp_path / "layout_check.cpp"
    source.write_text(LAYOUT_CHECK)
    completed = subprocess.run(
        [compiler, "-std=c++17", "-fsyntax-only", "-I" + sysconfig.get_paths()["include"], "-I" + np.get_include(),
         "-I" + os.path.join(os.path.dirname(TESTS_DIR), "src"), str(source)],
        capture_output=True, text=True, timeout=120)
    assert completed.returncode == 0, completed.stderr
