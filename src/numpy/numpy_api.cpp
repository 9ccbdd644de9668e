#include "numpy/numpy_api.hpp"

#include "frame/call_scope.hpp"
#include "frame/internal_failure.hpp"
#include "frame/object_text.hpp"

namespace undarix::numpy {
namespace {

// Filled once under the interpreter lock; the module and capsule references
// taken while loading are kept for good so the table never goes away.
void* const* api_table = nullptr;

constexpr std::size_t kArrayTypeSlot = 2;
constexpr std::size_t kDescrFromTypeSlot = 45;
constexpr std::size_t kNewFromDescrSlot = 94;
constexpr std::size_t kEquivTypesSlot = 182;

using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, npy_intp*, npy_intp*, void*, int, PyObject*);
using EquivTypes = unsigned char (*)(PyObject*, PyObject*);

template <class Function>
Function slot(std::size_t index) {
    return reinterpret_cast<Function>(numpy_api()[index]);
}

void* const* load_table() {
    PyObject* module = PyImport_ImportModule("numpy.core.multiarray");
    if (module == nullptr) {
        PyErr_Clear();
        raise_internal("Failed to import NumPy module");
    }
    PyObject* capsule = PyObject_GetAttrString(module, "_ARRAY_API");
    if (capsule == nullptr) {
        PyErr_Clear();
        Py_DECREF(module);
        raise_internal("Failed to get NumPy API capsule");
    }
    void* pointer = PyCapsule_GetPointer(capsule, nullptr);
    if (pointer == nullptr) {
        // Not a capsule, or one that holds nothing: never read through it.
        PyErr_Clear();
        Py_DECREF(capsule);
        Py_DECREF(module);
        raise_internal("NumPy API capsule holds no function table");
    }
    return static_cast<void* const*>(pointer);
}

}  // namespace

void* const* numpy_api() {
    if (api_table == nullptr) {
        api_table = load_table();
    }
    return api_table;
}

PyTypeObject* array_type() { return static_cast<PyTypeObject*>(numpy_api()[kArrayTypeSlot]); }

bool is_array(PyObject* object) {
    PyTypeObject* ndarray = array_type();
    PyTypeObject* type = Py_TYPE(object);
    return type == ndarray || PyType_IsSubtype(type, ndarray) != 0;
}

PyObject* float64_descr() {
    PyObject* descr = slot<DescrFromType>(kDescrFromTypeSlot)(kTypeDouble);
    if (descr == nullptr) {
        unexpected_api_failure();
    }
    return hold_in_scope(OwnedRef::steal(descr));
}

bool equiv_types(PyObject* first, PyObject* second) {
    if (first == second) {
        return true;
    }
    return slot<EquivTypes>(kEquivTypesSlot)(first, second) != 0;
}

PyObject* new_from_descr(PyTypeObject* type, PyObject* descr, int nd, npy_intp* dimensions, npy_intp* strides,
                         void* data, int flags, PyObject* base) {
    return slot<NewFromDescr>(kNewFromDescrSlot)(type, descr, nd, dimensions, strides, data, flags, base);
}

std::string descr_text(PyObject* descr) {
    OwnedRef text = OwnedRef::steal(PyObject_Str(descr));
    if (text) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
        if (data != nullptr) {
            return std::string(data, static_cast<std::size_t>(size));
        }
    }
    PyErr_Clear();
    raise_internal("a Display implementation returned an error unexpectedly: Error");
}

}  // namespace undarix::numpy
