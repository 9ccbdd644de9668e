// Whether this thread holds the interpreter lock, asked of CPython, and the
// checked decrement.
#include "frame/lock_ownership.hpp"

#include <cstdio>
#include <cstdlib>

namespace undarix {
namespace {

// The thread state the interpreter runs now (borrowed; null when no thread
// holds the lock), read without CPython's own "must not be null" check.
PyThreadState* running_thread_state() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

}  // namespace

// Why this comparison and not something simpler:
// - The module's own count of entries says nothing once CPython ends a thread
//   inside Python code the module called (pthread_exit at interpreter exit,
//   3.8 to 3.13): the unwinding runs the module's destructors while the count
//   still reads "inside an entry", but the lock belongs to the finalising
//   thread.
// - PyGILState_Check() answers true unconditionally once any sub-interpreter
//   has been created (Py_NewInterpreter switches its check off for good: so
//   on 3.8 to 3.13 at least, 3.12 and 3.13 included), so it cannot be
//   trusted in a process that ever made one.
// - The running thread state is the lock holder's: on 3.8 to 3.11 a
//   process-wide pointer that CPython sets after taking the lock and clears
//   before giving it up; from 3.12 on a per-thread pointer that is set only
//   while this thread is attached.  PyGILState_GetThisThreadState() is this
//   OS thread's own state (null once the thread has none, or after the
//   interpreter's thread states are gone).  A thread that is being ended
//   while it waits for the lock never becomes the running state, so the two
//   differ and its releases are queued.  Running under a state other than
//   the thread's own (a sub-interpreter's) also reads "not held": the
//   release is then queued, which is safe, never decremented unlocked.
// - On a free-threaded build (3.13t on) there may be no lock to hold, but the
//   same pointer is this thread's attached thread state: CPython sets it when
//   the thread attaches (PyEval_RestoreThread, PyGILState_Ensure) and clears
//   it when it detaches (PyEval_SaveThread), with or without the GIL.  An
//   attached thread state is what touching Python objects needs there, so
//   "holds the lock" reads "may use the C API", as it does with the GIL.
bool this_thread_holds_interpreter_lock() noexcept {
    PyThreadState* running = running_thread_state();
    return running != nullptr && running == PyGILState_GetThisThreadState();
}

void decrement_locked(PyObject* object) noexcept {
#if defined(UNDARIX_CHECK_LOCK_OWNERSHIP)
    if (!this_thread_holds_interpreter_lock()) {
        std::fprintf(stderr,
                     "undarix: a reference count would be decremented without the interpreter lock "
                     "(object at %p); aborting (UNDARIX_CHECK_LOCK_OWNERSHIP)\n",
                     static_cast<void*>(object));
        std::fflush(stderr);
        std::abort();
    }
#endif
    Py_DECREF(object);
}

}  // namespace undarix
