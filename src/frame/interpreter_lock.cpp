// The guard that gives the interpreter lock up and takes it back, and how a
// thread that the finalising interpreter would end meanwhile passes.
#include "frame/interpreter_lock.hpp"

#include "frame/lock_ownership.hpp"
#include "frame/separate_stack.hpp"

#if defined(UNDARIX_THREADS_ENDED_AT_EXIT) && !defined(UNDARIX_SEPARATE_STACK) && \
    (defined(__unix__) || defined(__APPLE__))
#include <unistd.h>
#define UNDARIX_WAITS_FOR_EXIT 1
#endif

namespace undarix {

#if defined(UNDARIX_WAITS_FOR_EXIT)
namespace {

bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace
#endif

InterpreterLockReleased::InterpreterLockReleased(bool main_thread) noexcept
    : main_thread_(main_thread),
#if defined(UNDARIX_SEPARATE_STACK)
      releases_(main_thread || prepare_separate_stack()),
#else
      releases_(true),
#endif
      adopted_(false),
      exceptions_at_start_(std::uncaught_exceptions()),
      saved_(releases_ ? PyEval_SaveThread() : nullptr) {
}

InterpreterLockReleased::InterpreterLockReleased(ReleasedByCaller, bool main_thread) noexcept
    : main_thread_(main_thread),
      releases_(true),
      adopted_(true),
      exceptions_at_start_(std::uncaught_exceptions()),
      saved_(PyGILState_GetThisThreadState()) {
    if (!main_thread_) {
        // Mapped now, while nothing is at stake: a thread that cannot have
        // one asks for the lock on its own stack.
        prepare_separate_stack();
    }
}

InterpreterLockReleased::~InterpreterLockReleased() noexcept(false) {
    if (adopted_) {
        return;  // the caller takes the lock back itself
    }
#if defined(UNDARIX_WAITS_FOR_EXIT)
    if (saved_ != nullptr && !main_thread_ && std::uncaught_exceptions() > exceptions_at_start_ &&
        interpreter_finalizing()) {
        // The thread would be ended by an unwinding while another exception
        // unwinds, which terminates the process; it waits for the exit.
        for (;;) {
            pause();
        }
    }
#endif
    take_back();
}

void InterpreterLockReleased::take_back() {
    // Cleared first: if taking the lock ends the thread, the unwinding runs
    // the destructor, which must not ask a second time.
    PyThreadState* state = saved_;
    saved_ = nullptr;
    if (state != nullptr) {
        take_back_lock(state, main_thread_);
    }
}

void InterpreterLockReleased::release_again() noexcept {
    // CPython's answer, not the guard's own record: a thread ended inside
    // with_lock's body is unwound without the lock, which belongs to the
    // thread that finalises the interpreter.
    if (releases_ && saved_ == nullptr && this_thread_holds_interpreter_lock()) {
        saved_ = PyEval_SaveThread();
    }
}

}  // namespace undarix
