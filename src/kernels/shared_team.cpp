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
    PyObject* published = PyDict_GetItemString(dict, kKey);  // borrowed; never raises
    if (published != nullptr) {
        void* entries = PyCapsule_IsValid(published, kCapsuleName) ? PyCapsule_GetPointer(published, kCapsuleName)
                                                                    : nullptr;
        PyErr_Clear();
        parallel::use_runtime(static_cast<const parallel::RuntimeEntries*>(entries));
        return;
    }
    // The entries live in this module's static memory, and CPython never
    // unloads an extension module: the capsule needs no destructor.
    void* own = const_cast<parallel::RuntimeEntries*>(&parallel::own_runtime());
    OwnedRef capsule = OwnedRef::steal(PyCapsule_New(own, kCapsuleName, nullptr));
    if (!capsule || PyDict_SetItemString(dict, kKey, capsule.get()) < 0) {
        PyErr_Clear();
    }
}

}  // namespace undarix::kernels
