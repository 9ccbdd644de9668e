#include "ufuncs/ufunc_api.hpp"

namespace undarix::ufuncs {
namespace {

constexpr const char* kCurrentModule = "numpy._core._multiarray_umath";
constexpr const char* kLegacyModule = "numpy.core._multiarray_umath";

// Slot 1 has this signature in NumPy 1.21 to 2.x (the 2.x headers only add
// const to the data and types pointers).
constexpr std::size_t kFromFuncAndDataSlot = 1;
using FromFuncAndData = PyObject* (*)(InnerLoop*, void* const*, const char*, int, int, int, int, const char*,
                                      const char*, int);
constexpr int kNoIdentity = -1;  // PyUFunc_None

// Filled once under the interpreter lock; the capsule is kept for good.
void* const* ufunc_table = nullptr;

// Returns the table, or null with a Python exception set.
void* const* load_table() {
    if (ufunc_table != nullptr) {
        return ufunc_table;
    }
    PyObject* module = PyImport_ImportModule(kCurrentModule);
    if (module == nullptr) {
        // NumPy 1.25 and older have no numpy._core.
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
            return nullptr;
        }
        PyErr_Clear();
        module = PyImport_ImportModule(kLegacyModule);
        if (module == nullptr) {
            return nullptr;
        }
    }
    PyObject* capsule = PyObject_GetAttrString(module, "_UFUNC_API");
    Py_DECREF(module);
    if (capsule == nullptr) {
        return nullptr;
    }
    void* pointer = PyCapsule_GetPointer(capsule, nullptr);
    if (pointer == nullptr) {
        Py_DECREF(capsule);
        return nullptr;
    }
    ufunc_table = static_cast<void* const*>(pointer);  // the capsule reference is kept
    return ufunc_table;
}

}  // namespace

PyObject* new_ufunc(InnerLoop* loops, void* const* data, const char* types, int type_count, int inputs,
                    int outputs, const char* name, const char* doc) {
    void* const* table = load_table();
    if (table == nullptr) {
        return nullptr;
    }
    const auto from_func_and_data = reinterpret_cast<FromFuncAndData>(table[kFromFuncAndDataSlot]);
    return from_func_and_data(loops, data, types, type_count, inputs, outputs, kNoIdentity, name, doc, 0);
}

}  // namespace undarix::ufuncs
