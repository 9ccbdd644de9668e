#include "numpy/ufunc_table.hpp"

#include "frame/owned_ref.hpp"
#include "numpy/numpy_api.hpp"

#include <atomic>

namespace undarix::numpy {
namespace {

// Filled at first use; the capsule is kept for good so the table never goes
// away.  Threads that load it at the same time (a free-threaded build) find
// the same table and store the same pointer.
std::atomic<void* const*> ufunc_table{nullptr};

// The compiled module that publishes both tables, for each C ABI.
constexpr const char* kCurrentModule = "numpy._core._multiarray_umath";
constexpr const char* kLegacyModule = "numpy.core._multiarray_umath";

// The table in the capsule `attribute` of `module` (`what` names it in the
// error), or null with ImportError set: never read through anything but a
// capsule that holds a table.  The capsule reference goes to `kept`.
void* const* capsule_table(PyObject* module, const char* attribute, const char* what, OwnedRef& kept) {
    OwnedRef capsule = OwnedRef::steal(PyObject_GetAttrString(module, attribute));
    if (!capsule) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "Failed to get %s capsule", what);
        return nullptr;
    }
    void* pointer = PyCapsule_CheckExact(capsule.get()) ? PyCapsule_GetPointer(capsule.get(), nullptr) : nullptr;
    if (pointer == nullptr) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "%s capsule holds no function table", what);
        return nullptr;
    }
    kept = std::move(capsule);
    return static_cast<void* const*>(pointer);
}

}  // namespace

void* const* ufunc_api() noexcept {
    if (void* const* loaded = ufunc_table.load(std::memory_order_acquire)) {
        return loaded;
    }
    void* const* array_table = numpy_api_or_import_error();
    if (array_table == nullptr) {
        return nullptr;
    }
    OwnedRef module = OwnedRef::steal(PyImport_ImportModule(numpy_abi_version_2() ? kCurrentModule : kLegacyModule));
    if (!module) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError, "Failed to import NumPy's ufunc module");
        return nullptr;
    }
    // The same compiled module must publish the multiarray table that was
    // checked: a ufunc table found anywhere else could belong to another
    // NumPy, or to none.
    OwnedRef array_capsule;
    void* const* published = capsule_table(module.get(), "_ARRAY_API", "NumPy API", array_capsule);
    if (published == nullptr) {
        return nullptr;
    }
    if (published != array_table) {
        PyErr_SetString(PyExc_ImportError, "NumPy's ufunc module publishes another NumPy API table than the one in use");
        return nullptr;
    }
    OwnedRef ufunc_capsule;
    void* const* table = capsule_table(module.get(), "_UFUNC_API", "NumPy ufunc API", ufunc_capsule);
    if (table == nullptr) {
        return nullptr;
    }
    ufunc_capsule.release();  // kept for good
    ufunc_table.store(table, std::memory_order_release);
    return table;
}

}  // namespace undarix::numpy
