// Lets other Python threads run while a long evaluation runs.
#pragma once

#include "frame/entry_depth.hpp"
#include "frame/python.hpp"

#include <cstdint>

namespace undarix::kernels {

// Below this many formula evaluations (about 40 microseconds for the
// cheapest formula) handing the interpreter lock over and taking it back
// costs more than it gives other threads.
constexpr std::uint64_t kReleaseLockWork = 4096;

// Whether this is the process's main thread, the one that runs signal
// handlers and that finalises the interpreter.
bool on_main_thread() noexcept;

// PyEval_RestoreThread(state), made safe for the way CPython 3.8 to 3.13 end
// a thread that asks for the lock while the interpreter finalises:
// pthread_exit, whose unwinding would run through this module's C++ frames.
// Any thread but the main one (which finalises the interpreter, and is
// never ended so) asks for the lock on a small stack of its own, where that
// unwinding finds no C++ frame and ends the thread as if it had never
// entered the module, whatever C++ runtime the module was built with.  (No
// thread is parked instead: the finalising thread itself may be inside a
// call, from a __del__, and must go on.)
void take_back_lock(PyThreadState* state);

// Releases the interpreter lock for its lifetime.  Nothing that touches a
// Python object, or memory another thread could change, may run while it is
// released, except inside with_lock; meanwhile the thread counts as not
// holding the lock, so a reference released by mistake is queued rather than
// decremented unlocked.
//
// Taking the lock back can end the thread at interpreter exit (see
// take_back_lock).  Where that cannot be kept off the module's frames (no
// separate stack on this platform), the unwinding must pass: nothing on the
// way from here to the interpreter is noexcept, and this destructor lets it
// through; the lock is then not held, and never asked for again on this
// thread.
class InterpreterLockReleased {
public:
    InterpreterLockReleased() noexcept : saved_(PyEval_SaveThread()) {}
    ~InterpreterLockReleased() noexcept(false) { take_back(); }
    InterpreterLockReleased(const InterpreterLockReleased&) = delete;
    InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;

    // Runs body() -> R with the lock held, then releases it again.  body
    // must not throw.
    template <class Body>
    auto with_lock(Body&& body) {
        take_back();
        auto outcome = body();
        not_holding_.suspend();
        saved_ = PyEval_SaveThread();
        return outcome;
    }

private:
    void take_back() {
        // Cleared first: if taking the lock ends the thread, the unwinding
        // runs this destructor again, which must not ask a second time.
        PyThreadState* state = saved_;
        saved_ = nullptr;
        if (state != nullptr) {
            take_back_lock(state);
            not_holding_.resume();
        }
    }

    // Declared first: it reads "not holding" before the lock is given up.
    LockHoldingSuspended not_holding_;
    PyThreadState* saved_;
};

}  // namespace undarix::kernels
