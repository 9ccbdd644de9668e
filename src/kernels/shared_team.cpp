#include "kernels/shared_team.hpp"

#include "frame/owned_ref.hpp"
#include "frame/python.hpp"
#include "parallel/shared_runtime.hpp"

namespace undarix::kernels {
namespace {

constexpr const char* kKey = "undarix._thread_runtime";
constexpr const char* kCapsuleName = "undarix._thread_runtime";

}  // namespace

void share_thread_runtime() noexcept {
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Main());  // borrowed
    if (dict == nullptr) {
        PyErr_Clear();
        return;
    }
    // The entries live in this module's static memory, and CPython never
    // unloads an extension module: the capsule needs no destructor.
    void* own = const_cast<parallel::RuntimeEntries*>(&parallel::own_runtime());
    OwnedRef capsule = OwnedRef::steal(PyCapsule_New(own, kCapsuleName, nullptr));
    OwnedRef key = OwnedRef::steal(PyUnicode_FromString(kKey));
    if (!capsule || !key) {
        PyErr_Clear();
        return;
    }
    // Looked up and published in one step, so that two modules whose
    // imports overlap (free-threaded builds import on several threads at
    // once) still agree on the first one's team.
    PyObject* published = PyDict_SetDefault(dict, key.get(), capsule.get());  // borrowed
    if (published == nullptr) {
        PyErr_Clear();
        return;
    }
    if (published != capsule.get()) {
        void* entries = PyCapsule_IsValid(published, kCapsuleName) ? PyCapsule_GetPointer(published, kCapsuleName)
                                                                    : nullptr;
        PyErr_Clear();
        parallel::use_runtime(static_cast<const parallel::RuntimeEntries*>(entries));
    }
}

}  // namespace undarix::kernels
