#include "numpy/numpy_api.hpp"

#include "frame/internal_failure.hpp"
#include "frame/object_text.hpp"
#include "frame/owned_ref.hpp"

#include <atomic>
#include <cstdio>

namespace undarix::numpy {
namespace {

// Filled at first use; the module and capsule references taken while
// loading are kept for good so the table never goes away.  Without the
// interpreter lock (a free-threaded build) several threads may load at once:
// each finds the same table in the same capsule and stores the same values,
// the ABI version before the table, so that a thread that sees the table
// sees its version too.
std::atomic<void* const*> api_table{nullptr};
std::atomic<bool> abi_version_2{false};

// NumPy 2 renamed numpy.core to numpy._core and publishes its capsules there;
// NumPy 1.26 has a forwarding module under the new name, but on 1.x the
// capsules, and the attributes other extension modules share, live on the
// old one.
constexpr const char* kCurrentModule = "numpy._core.multiarray";
constexpr const char* kLegacyModule = "numpy.core.multiarray";

// Table slots and their signatures are the same in NumPy 1.x and 2.x (checked
// against numpy/_core/include/numpy/__multiarray_api.h of NumPy 2.0 to 2.5).
constexpr std::size_t kAbiVersionSlot = 0;
constexpr std::size_t kArrayTypeSlot = 2;
constexpr std::size_t kDescrFromTypeSlot = 45;
constexpr std::size_t kNewFromDescrSlot = 94;
constexpr std::size_t kEquivTypesSlot = 182;

using AbiVersion = unsigned (*)();
using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, npy_intp*, npy_intp*, void*, int, PyObject*);
using EquivTypes = unsigned char (*)(PyObject*, PyObject*);

template <class Function>
Function slot(std::size_t index) {
    return reinterpret_cast<Function>(numpy_api()[index]);
}

// What one module offered: NumPy's function table, or the fixed text saying
// why it has none.
struct TableSearch {
    void* const* table = nullptr;  // null exactly when `missing` is set
    const char* missing = nullptr;
};

// Looks for the table in the `_ARRAY_API` capsule of `module`.  When it is
// found, the references to the module and the capsule are kept for good, so
// the table never goes away; otherwise both are released and no error is
// left pending.
TableSearch find_table(OwnedRef module) {
    OwnedRef capsule = OwnedRef::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    if (!capsule) {
        PyErr_Clear();
        return {nullptr, "Failed to get NumPy API capsule"};
    }
    void* pointer = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (pointer == nullptr) {
        // Not a capsule, or one that holds nothing: never read through it.
        PyErr_Clear();
        return {nullptr, "NumPy API capsule holds no function table"};
    }
    module.release();
    capsule.release();
    return {static_cast<void* const*>(pointer), nullptr};
}

unsigned abi_version_of(void* const* table) {
    return reinterpret_cast<AbiVersion>(table[kAbiVersionSlot])();
}

bool is_numpy_2(void* const* table) { return abi_version_of(table) >> 24 == kAbiVersion2 >> 24; }

// What loading the table gave: the table, or why there is none (a fixed
// text, or a C ABI version the module does not know).
struct TableLoad {
    void* const* table = nullptr;
    const char* missing = nullptr;
    unsigned unknown_version = 0;

    // Why there is no table, as the failure's text.
    void describe(char (&text)[64]) const noexcept {
        if (missing != nullptr) {
            std::snprintf(text, sizeof text, "%s", missing);
        } else {
            std::snprintf(text, sizeof text, "NumPy C ABI version %#x is not supported", unknown_version);
        }
    }
};

// Never leaves an error pending.
TableLoad load_table() noexcept {
    // NumPy 2's module first; on NumPy 1.26 that is a forwarding module
    // whose table, if any, is NumPy 1.x's, so the old module is asked then.
    TableSearch current{nullptr, "Failed to import NumPy module"};
    if (OwnedRef module = OwnedRef::steal(PyImport_ImportModule(kCurrentModule))) {
        current = find_table(std::move(module));
    } else {
        // NumPy 1.25 and older have no numpy._core.
        PyErr_Clear();
    }
    void* const* table = current.table != nullptr && is_numpy_2(current.table) ? current.table : nullptr;
    if (table == nullptr) {
        OwnedRef module = OwnedRef::steal(PyImport_ImportModule(kLegacyModule));
        if (!module) {
            PyErr_Clear();
            // Why numpy._core.multiarray gave no table, when it could be imported.
            return {nullptr, current.missing != nullptr ? current.missing : "Failed to import NumPy module"};
        }
        TableSearch legacy = find_table(std::move(module));
        if (legacy.table == nullptr) {
            return {nullptr, legacy.missing};
        }
        table = legacy.table;
    }
    const unsigned version = abi_version_of(table);
    if (version >> 24 != kAbiVersion1 >> 24 && version >> 24 != kAbiVersion2 >> 24) {
        return {nullptr, nullptr, version};
    }
    abi_version_2.store(version >> 24 == kAbiVersion2 >> 24, std::memory_order_relaxed);
    return {table};
}

// Loads the table into the cell unless it is there; false, with the reason
// written, when there is no table to use.
void* const* loaded_table(char (&reason)[64]) noexcept {
    void* const* table = api_table.load(std::memory_order_acquire);
    if (table == nullptr) {
        TableLoad load = load_table();
        if (load.table == nullptr) {
            load.describe(reason);
            return nullptr;
        }
        table = load.table;
        api_table.store(table, std::memory_order_release);
    }
    return table;
}

}  // namespace

void* const* numpy_api() {
    char reason[64];
    void* const* table = loaded_table(reason);
    if (table == nullptr) {
        raise_internal(reason);
    }
    return table;
}

void* const* numpy_api_or_import_error() noexcept {
    char reason[64];
    void* const* table = loaded_table(reason);
    if (table == nullptr) {
        PyErr_SetString(PyExc_ImportError, reason);
    }
    return table;
}

bool numpy_abi_version_2() {
    numpy_api();
    return abi_version_2.load(std::memory_order_relaxed);
}

const char* multiarray_module_name() {
    return numpy_abi_version_2() ? kCurrentModule : kLegacyModule;
}

const char* compatibility_module_name() {
    return numpy_abi_version_2() ? kLegacyModule : nullptr;
}

npy_intp descr_elsize(PyObject* descr) {
    if (numpy_abi_version_2()) {
        return reinterpret_cast<const DescrAbi2*>(descr)->elsize;
    }
    return reinterpret_cast<const DescrAbi1*>(descr)->elsize;
}

PyTypeObject* array_type() { return static_cast<PyTypeObject*>(numpy_api()[kArrayTypeSlot]); }

bool is_array(PyObject* object) {
    PyTypeObject* ndarray = array_type();
    PyTypeObject* type = Py_TYPE(object);
    return type == ndarray || PyType_IsSubtype(type, ndarray) != 0;
}

PyObject* float64_descr() {
    // One of NumPy's builtin descriptors, which it never frees: the first
    // reference asked for is kept for good, like the table's own.  Every
    // call reads the descriptor two or three times, and a reference per
    // read would cost a table call, a place in the call scope and a release
    // (with its question to CPython whether the lock is held) each time.
    // Threads that ask first at the same time (a free-threaded build) each
    // get the same descriptor: one reference is kept, the others released.
    static std::atomic<PyObject*> float64{nullptr};
    PyObject* kept = float64.load(std::memory_order_acquire);
    if (kept != nullptr) {
        return kept;
    }
    OwnedRef made = OwnedRef::steal(slot<DescrFromType>(kDescrFromTypeSlot)(kTypeDouble));
    if (!made) {
        unexpected_api_failure();
    }
    if (float64.compare_exchange_strong(kept, made.get(), std::memory_order_acq_rel, std::memory_order_acquire)) {
        return made.release();
    }
    return kept;
}

PyObject* dtype_class(int type_number) noexcept {
    void* const* table = numpy_api_or_import_error();
    if (table == nullptr) {
        return nullptr;
    }
    OwnedRef descr = OwnedRef::steal(reinterpret_cast<DescrFromType>(table[kDescrFromTypeSlot])(type_number));
    if (!descr) {
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(Py_TYPE(descr.get()));
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
    std::optional<std::string> text = object_text(descr, TextOf::str, TextError::clear);
    if (!text) {
        raise_internal("a Display implementation returned an error unexpectedly: Error");
    }
    return std::move(*text);
}

}  // namespace undarix::numpy
