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

// Releases the interpreter lock for its lifetime.  Nothing that touches a
// Python object, or memory another thread could change, may run while it is
// released, except inside with_lock; meanwhile the thread counts as not
// holding the lock, so a reference released by mistake is queued rather than
// decremented unlocked.
//
// Taking the lock back can end the thread: while the interpreter finalises,
// CPython 3.8 to 3.13 end any other thread that asks for the lock with
// pthread_exit, which unwinds the stack.  So nothing on the way from here to
// the interpreter may be noexcept, and this destructor lets the unwinding
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
            PyEval_RestoreThread(state);
            not_holding_.resume();
        }
    }

    // Declared first: it reads "not holding" before the lock is given up.
    LockHoldingSuspended not_holding_;
    PyThreadState* saved_;
};

}  // namespace undarix::kernels
