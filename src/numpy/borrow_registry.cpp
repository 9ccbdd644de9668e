#include "numpy/borrow_registry.hpp"

#include "compiler_support.hpp"
#include "frame/call_scope.hpp"
#include "frame/error_indicator.hpp"
#include "frame/expected.hpp"
#include "frame/internal_failure.hpp"
#include "frame/object_text.hpp"
#include "numpy/borrow_record.hpp"
#include "numpy/borrow_table.hpp"
#include "numpy/numpy_api.hpp"

#include <cstring>
#include <memory>

namespace undarix::numpy {
namespace {

// The record in use, and a strong reference to the capsule that owns it so
// the record outlives any change to the module attribute.  Both are set once
// under the interpreter lock and never cleared.
// (UNDARIX_KEEP: the capsule pointer is only ever stored, and the reference must
// stay visibly reachable rather than be optimised into a bare increment.)
const BorrowApiRecord* cached_record = nullptr;
UNDARIX_KEEP PyObject* registry_capsule = nullptr;

// One heap block: the record, then where its capsule's name text lives.
struct RecordBlock {
    BorrowApiRecord record;
    char* name;
    std::size_t name_size;
};

extern "C" {
static void destroy_registry_capsule(PyObject* capsule) {
    // May run while an exception is pending (during deallocation).
    PyObject *type, *value, *traceback;
    fetch_error(&type, &value, &traceback);
    const char* name = PyCapsule_GetName(capsule);
    auto* block = static_cast<RecordBlock*>(PyCapsule_GetPointer(capsule, name));
    if (block != nullptr) {
        auto* table = static_cast<BorrowTable*>(block->record.state);
        delete[] block->name;
        delete block;
        delete table;
    }
    PyErr_Clear();
    restore_error(type, value, traceback);
}
}

// A new capsule holding a fresh, empty registry; its reference is held by
// the current call scope (so an unstored capsule frees the table when the
// call ends).  Borrowed.
Expected<PyObject*> create_registry_capsule() {
    auto table = std::make_unique<BorrowTable>();
    auto block = std::make_unique<RecordBlock>();
    const std::size_t name_size = sizeof kBorrowCapsuleName - 1;
    auto name = std::make_unique<char[]>(name_size + 1);
    std::memcpy(name.get(), kBorrowCapsuleName, name_size + 1);
    block->record = make_borrow_record(table.get());
    block->name = name.get();
    block->name_size = name_size;

    PyObject* capsule = PyCapsule_New(&block->record, name.get(), destroy_registry_capsule);
    if (capsule == nullptr) {
        return fetch_failure();
    }
    // From here the capsule's destructor owns all three blocks.
    table.release();
    block.release();
    name.release();
    return hold_in_scope(OwnedRef::steal(capsule));
}

// The compatibility module numpy.core.multiarray of NumPy 2 when something
// has already imported it, else null.  Borrowed: sys.modules holds it.  Only
// sys.modules is read, so nothing is imported here.
PyObject* imported_compatibility_module() {
    const char* name = compatibility_module_name();
    if (name == nullptr) {
        return nullptr;
    }
    OwnedRef module_name = OwnedRef::steal(PyUnicode_FromString(name));
    if (!module_name) {
        unexpected_api_failure();
    }
    OwnedRef module = OwnedRef::steal(PyImport_GetModule(module_name.get()));
    if (!module) {
        PyErr_Clear();
        return nullptr;
    }
    if (!PyModule_Check(module.get())) {
        return nullptr;
    }
    return hold_in_scope(std::move(module));
}

// The object published under the registry's name in the compatibility
// module's own namespace, or null.  Borrowed.  Its dictionary is read
// directly: attribute access would fall through to the module's __getattr__,
// which forwards to numpy._core with a DeprecationWarning.
PyObject* published_in_namespace(PyObject* module) {
    return PyDict_GetItemString(PyModule_GetDict(module), kBorrowCapsuleName);
}

// Publishes the capsule on `module` unless something is already published
// there: a capsule another module put there is never replaced.
Status publish_unless_present(PyObject* module, PyObject* capsule) {
    if (module == nullptr || published_in_namespace(module) != nullptr) {
        return Status();
    }
    if (PyObject_SetAttrString(module, kBorrowCapsuleName, capsule) != 0) {
        return fetch_failure();
    }
    return Status();
}

Expected<PyObject*> exactly_a_capsule(PyObject* object) {
    if (Py_TYPE(object) != &PyCapsule_Type) {
        return not_convertible_error(object, "PyCapsule");
    }
    return object;
}

// Borrowed capsule: the registry already published, or a newly installed
// one.  On NumPy 2 a registry that a module of the NumPy 1 convention
// published on numpy.core.multiarray counts too, and whichever is used ends
// up reachable from both modules, so that every later module finds it.
Expected<PyObject*> find_or_install_capsule(PyObject* multiarray) {
    PyObject* compatibility = imported_compatibility_module();
    OwnedRef existing = OwnedRef::steal(PyObject_GetAttrString(multiarray, kBorrowCapsuleName));
    if (!existing) {
        PyErr_Clear();
        if (compatibility != nullptr) {
            existing = OwnedRef::borrow(published_in_namespace(compatibility));
        }
    }
    Expected<PyObject*> capsule = existing ? exactly_a_capsule(hold_in_scope(std::move(existing)))
                                           : create_registry_capsule();
    if (!capsule) {
        return capsule;
    }
    if (Status published = publish_unless_present(multiarray, capsule.value()); !published) {
        return published.take_failure();
    }
    if (Status published = publish_unless_present(compatibility, capsule.value()); !published) {
        return published.take_failure();
    }
    return capsule;
}

Expected<const BorrowApiRecord*> lookup_record() {
    OwnedRef module_name = OwnedRef::steal(PyUnicode_FromString(multiarray_module_name()));
    if (!module_name) {
        return fetch_failure();
    }
    OwnedRef multiarray = OwnedRef::steal(PyImport_Import(module_name.get()));
    if (!multiarray) {
        return fetch_failure();
    }
    Expected<PyObject*> found = find_or_install_capsule(multiarray.get());
    if (!found) {
        return found.take_failure();
    }
    PyObject* capsule = found.value();
    const char* name = PyCapsule_GetName(capsule);
    if (name == nullptr) {
        PyErr_Clear();
    }
    const void* pointer = PyCapsule_GetPointer(capsule, name);
    if (pointer == nullptr) {
        PyErr_Clear();
        return value_error("borrow checking API capsule holds no record");
    }
    const auto* record = static_cast<const BorrowApiRecord*>(pointer);
    if (record->version == 0) {
        return type_error("Version " + std::to_string(record->version) +
                          " of borrow checking API is not supported by this version of rust-numpy");
    }
    Py_INCREF(capsule);
    registry_capsule = capsule;
    return record;
}

const BorrowApiRecord& borrow_record() {
    if (cached_record == nullptr) {
        Expected<const BorrowApiRecord*> record = lookup_record();
        if (!record) {
            CallFailure failure = record.take_failure();
            raise_internal("Interal borrow checking API error: " + render_failure(failure));
        }
        cached_record = record.value();
    }
    return *cached_record;
}

}  // namespace

bool acquire_shared_borrow(PyObject* array) {
    const BorrowApiRecord& record = borrow_record();
    const std::int32_t code = record.acquire_shared(record.state, array);
    if (code == kBorrowGranted) {
        return true;
    }
    if (code == kAlreadyBorrowed) {
        return false;
    }
    raise_internal("Unexpected return code " + std::to_string(code) + " from borrow checking API");
}

void release_shared_borrow(PyObject* array) noexcept {
    if (cached_record != nullptr) {
        cached_record->release_shared(cached_record->state, array);
    }
}

}  // namespace undarix::numpy
