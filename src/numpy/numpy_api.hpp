// NumpyApi: NumPy's C-API function table, reached at run time through the
// `_ARRAY_API` capsule of NumPy's multiarray module (numpy._core.multiarray
// on NumPy 2, numpy.core.multiarray on NumPy 1.x) and cached for the process.
#pragma once

#include "frame/expected.hpp"
#include "numpy/numpy_layout.hpp"

#include <string>

namespace undarix::numpy {

// The table, loading it on first use; raises InternalFailure when NumPy or
// its capsule cannot be reached (the cell then stays empty for a retry).
void* const* numpy_api();

// As numpy_api(), for a caller outside any call of the module (a module's
// initialisation), where failures are not internal: null with ImportError
// set, saying why, when NumPy or its table cannot be used.  Never raises.
void* const* numpy_api_or_import_error() noexcept;

// Whether the running NumPy has C ABI version 2 (NumPy 2.x) rather than 1;
// loads the table first if need be (raising as numpy_api() does).
bool numpy_abi_version_2();

// The dotted name of the module that holds NumPy's capsules, decided when the
// table is loaded (loading it first if need be): extension modules publish
// their shared attributes on this module too.
const char* multiarray_module_name();

// On NumPy 2, "numpy.core.multiarray": a compatibility module of its own,
// where modules built to the NumPy 1 convention still publish their shared
// attributes.  Null on NumPy 1.x, where that is the multiarray module itself.
const char* compatibility_module_name();

// The element size of a descriptor, read at the offset of the running NumPy's
// C ABI.
npy_intp descr_elsize(PyObject* descr);

// Borrowed numpy.ndarray type (slot 2).
PyTypeObject* array_type();

// True for numpy.ndarray and its subclasses; no interpreter call for an exact
// ndarray.
bool is_array(PyObject* object);

// The native float64 descriptor (slot 45), borrowed: the module keeps a
// reference to it for good.
PyObject* float64_descr();

// The DType class of NumPy's builtin descriptor for `type_number` (its type,
// NumPy 2), borrowed: NumPy never frees its builtin classes.  Null with an
// exception set.  Never raises.
PyObject* dtype_class(int type_number) noexcept;

// Descriptor equivalence (slot 182); identical objects are equivalent without
// asking NumPy.
bool equiv_types(PyObject* first, PyObject* second);

// Slot 94, called with its arguments unchanged; consumes one reference to
// `descr` whatever the outcome.  Returns a new reference or null.
PyObject* new_from_descr(PyTypeObject* type, PyObject* descr, int nd, npy_intp* dimensions, npy_intp* strides,
                         void* data, int flags, PyObject* base);

// str(descr) for messages; raises InternalFailure when str() raises.
std::string descr_text(PyObject* descr);

}  // namespace undarix::numpy
