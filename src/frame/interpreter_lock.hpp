// The interpreter lock given up while a long evaluation runs, so that other
// Python threads run, and taken back: when, by whom, and how an unwinding
// that ends the thread meanwhile passes.
#pragma once

#include "frame/python.hpp"
// The guard's callers ask these first (whether the lock is held, and
// `main_thread` below).
#include "frame/lock_ownership.hpp"
#include "frame/main_thread.hpp"

#include <exception>

namespace undarix {

// Marks the guard of a thread whose caller has already released the
// interpreter lock (NumPy, around a ufunc's inner loop).
struct ReleasedByCaller {};

// Releases the interpreter lock for its lifetime.  Nothing that touches a
// Python object, or memory another thread could change, may run while it is
// released, except inside with_lock.  A reference released by mistake
// meanwhile is queued rather than decremented: CPython reports the lock as
// not held by this thread.
//
// On a thread that may be ended at exit, the lock is given up only once its
// separate stack exists, so that taking it back cannot fail to be safe; if
// the stack cannot be mapped, the lock is simply kept for the evaluation.
// Where CPython can end the thread but no separate stack exists (a C library
// other than glibc), an unwinding that ends the thread must pass: nothing on
// the way from here to the interpreter is noexcept, and this destructor lets
// it through, unless another exception is already unwinding (two at once
// would terminate the process): then a thread that the finalising
// interpreter would end waits for the process to exit instead of asking for
// the lock.
class InterpreterLockReleased {
public:
    // `main_thread` is on_main_thread(), asked with the lock held.
    explicit InterpreterLockReleased(bool main_thread) noexcept;
    // Adopts the release the caller made: the lock is taken only inside
    // with_lock, and left released at the end, as the caller expects it.
    // `main_thread` is true only when this thread is known to be Python's
    // main thread; unknown is false, the cautious answer.  A thread that
    // Python does not know (it has no thread state of its own) cannot take
    // the lock: can_lock() is then false and with_lock must not be called.
    InterpreterLockReleased(ReleasedByCaller, bool main_thread) noexcept;
    ~InterpreterLockReleased() noexcept(false);
    InterpreterLockReleased(const InterpreterLockReleased&) = delete;
    InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;

    bool can_lock() const noexcept { return !adopted_ || saved_ != nullptr; }

    // Runs body() with the lock held, then releases it again, also when
    // body throws.  When the interpreter ends the thread inside body (Python
    // code it calls may give the lock up and ask for it back at exit), the
    // unwinding passes here without the lock, and nothing is released.
    template <class Body>
    auto with_lock(Body&& body) {
        take_back();
        const ReleaseAgain again(*this);
        return body();
    }

private:
    class ReleaseAgain {
    public:
        explicit ReleaseAgain(InterpreterLockReleased& guard) noexcept : guard_(guard) {}
        ~ReleaseAgain() { guard_.release_again(); }
        ReleaseAgain(const ReleaseAgain&) = delete;
        ReleaseAgain& operator=(const ReleaseAgain&) = delete;

    private:
        InterpreterLockReleased& guard_;
    };

    void take_back();
    void release_again() noexcept;

    const bool main_thread_;
    const bool releases_;
    const bool adopted_;                              // released by the caller, who takes it back
    [[maybe_unused]] const int exceptions_at_start_;  // read where no separate stack exists
    PyThreadState* saved_;
};

}  // namespace undarix
