// Lets other Python threads run while a long evaluation loop runs.
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
// released; meanwhile the thread counts as not holding the lock, so a
// reference released by mistake is queued rather than decremented unlocked.
class InterpreterLockReleased {
public:
    InterpreterLockReleased() noexcept : saved_(PyEval_SaveThread()) {}
    ~InterpreterLockReleased() { PyEval_RestoreThread(saved_); }
    InterpreterLockReleased(const InterpreterLockReleased&) = delete;
    InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;

private:
    // Declared first: it reads "not holding" before the lock is given up and
    // is restored only after the destructor has taken the lock back.
    LockHoldingSuspended not_holding_;
    PyThreadState* saved_;
};

}  // namespace undarix::kernels
