#include "ufuncs/ufunc_api.hpp"

#include "frame/owned_ref.hpp"
#include "numpy/numpy_api.hpp"
#include "numpy/ufunc_table.hpp"

#include <array>

namespace undarix::ufuncs {
namespace {

// Slot 1 has this signature in NumPy 1.21 to 2.x (the 2.x headers only add
// const to the data and types pointers).
constexpr std::size_t kFromFuncAndDataSlot = 1;
using FromFuncAndData = PyObject* (*)(InnerLoop*, void* const*, const char*, int, int, int, int, const char*,
                                      const char*, int);
constexpr int kNoIdentity = -1;  // PyUFunc_None

// Slot 43 from NumPy 2.0 (numpy/_core/include/numpy/__ufunc_api.h).
constexpr std::size_t kAddLoopFromSpecSlot = 43;
using AddLoopFromSpec = int (*)(PyObject*, numpy::ArrayMethodSpec*);

// The most operands a loop has: a Jacobian's inputs and outputs.
constexpr std::size_t kMaxOperands = 16;

// Whether `entry_dtypes` is a tuple of exactly `dtypes`.
bool same_dtypes(PyObject* entry_dtypes, PyObject* const* dtypes, int operands) {
    if (!PyTuple_CheckExact(entry_dtypes) || PyTuple_GET_SIZE(entry_dtypes) != operands) {
        return false;
    }
    for (int k = 0; k < operands; ++k) {
        if (PyTuple_GET_ITEM(entry_dtypes, k) != dtypes[k]) {
            return false;
        }
    }
    return true;
}

// Takes the wrapper of the legacy loop whose DTypes are `dtypes` out of the
// ufunc's dispatch entries, so that the ArrayMethod of the same DTypes can
// take its place (NumPy refuses a second loop for the same DTypes).  Done
// before any call, so that no dispatch result is cached yet.  The entries
// are a list of (DTypes, method) pairs up to NumPy 2.4 and a dict from the
// DTypes to that pair from 2.5; they are reached through NumPy 2's published
// object layout and checked first: false, with nothing changed, where they
// do not look as that layout says (the loops then stay legacy ones).
bool take_out_legacy_loop(PyObject* ufunc, PyObject* const* dtypes, int inputs, int outputs) {
    auto* object = reinterpret_cast<numpy::UfuncObjectAbi2*>(ufunc);
    const int operands = inputs + outputs;
    if (object->nin != inputs || object->nout != outputs || object->nargs != operands || object->loops == nullptr) {
        return false;
    }
    PyObject* loops = object->loops;
    if (PyDict_CheckExact(loops)) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(loops, &position, &key, &value)) {
            if (same_dtypes(key, dtypes, operands)) {
                return PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == 2 && PyDict_DelItem(loops, key) == 0;
            }
        }
        return false;
    }
    if (!PyList_CheckExact(loops)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(loops); ++i) {
        PyObject* entry = PyList_GET_ITEM(loops, i);
        if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 2) {
            return false;
        }
        if (same_dtypes(PyTuple_GET_ITEM(entry, 0), dtypes, operands)) {
            return PySequence_DelItem(loops, i) == 0;
        }
    }
    return false;
}

}  // namespace

PyObject* new_ufunc(InnerLoop* loops, void* const* data, const char* types, int type_count, int inputs,
                    int outputs, const char* name, const char* doc) {
    void* const* table = numpy::ufunc_api();
    if (table == nullptr) {
        return nullptr;
    }
    const auto from_func_and_data = reinterpret_cast<FromFuncAndData>(table[kFromFuncAndDataSlot]);
    return from_func_and_data(loops, data, types, type_count, inputs, outputs, kNoIdentity, name, doc, 0);
}

bool array_method_loops_available() { return numpy::numpy_abi_version_2(); }

bool add_array_method_loop(PyObject* ufunc, const char* name, const char* types, int inputs, int outputs,
                           const ArrayMethodLoop& method) {
    void* const* table = numpy::ufunc_api();
    if (table == nullptr) {
        return false;
    }
    const std::size_t operands = static_cast<std::size_t>(inputs + outputs);
    if (operands > kMaxOperands) {
        PyErr_SetString(PyExc_SystemError, "undarix_ufuncs: a loop has more operands than expected");
        return false;
    }
    // Each operand's DType class: the type of NumPy's builtin descriptor of
    // its type number, which NumPy never frees.
    std::array<PyObject*, kMaxOperands> dtypes{};
    for (std::size_t k = 0; k < operands; ++k) {
        dtypes[k] = numpy::dtype_class(types[k]);
        if (dtypes[k] == nullptr) {
            return false;
        }
    }
    PyType_Slot slots[] = {
        {numpy::kMethodGetLoop, reinterpret_cast<void*>(method.get_loop)},
        {numpy::kMethodStridedLoop, reinterpret_cast<void*>(method.loop)},
        {0, nullptr},
    };
    numpy::ArrayMethodSpec spec{name, inputs, outputs, numpy::kNoCasting, numpy::kMethodNoFlags, dtypes.data(), slots};
    if (!take_out_legacy_loop(ufunc, dtypes.data(), inputs, outputs)) {
        PyErr_Clear();
        return true;  // the legacy loop serves, as on NumPy 1.x
    }
    const auto add_loop = reinterpret_cast<AddLoopFromSpec>(table[kAddLoopFromSpecSlot]);
    return add_loop(ufunc, &spec) == 0;
}

}  // namespace undarix::ufuncs
