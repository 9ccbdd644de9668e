// Runs one call of a ufunc's inner loop over its elements, on as many threads
// as the work and the user's settings call for, with the same bits whatever
// that number.
//
// How a ufunc call is split depends on that call's operands and the thread
// settings alone: never on a clock, nor on what earlier calls did.  On NumPy
// 2 the loops are ArrayMethods, whose loop NumPy asks for once per ufunc
// call, with the lock held: the call's state (CallState) lives for that one
// call, counts the work of its loop calls, and a failure is returned to
// NumPy, which then raises it without its floating-point check.  NumPy 1.x
// calls a legacy inner loop, which says nothing of the call it belongs to:
// there each loop call is planned as a call of its own.
//
// NumPy calls a loop usually without the interpreter lock (it keeps it only
// for small loops).  The thread settings are read, pending signals run and
// errors set with the lock held: the driver takes it for that where the
// calling thread does not hold it, and hands it back after.  Whether the
// thread holds it is CPython's answer (frame/interpreter_lock.hpp), never the
// interpreter's PyGILState_Check(), which says yes to everything once a
// sub-interpreter has existed.
#pragma once

#include "frame/python.hpp"
#include "parallel/range_task.hpp"

#include <cstddef>
#include <cstdint>

namespace undarix::ufuncs {

// Evaluates elements [first, last); `checkpoint` may be asked inside long
// elements, with the first element not yet written.  Must not throw or
// touch Python objects.
struct LoopBody {
    const void* context;
    void (*run)(const void* context, std::size_t first, std::size_t last, parallel::Checkpoint& checkpoint);
};

// What the loop calls of one ufunc call share (NumPy 2).  Made with the lock
// held when NumPy asks for the call's loop, and dropped when the call ends.
struct CallState {
    bool main_thread = false;           // whether the call runs on Python's main thread
    unsigned threads = 0;               // the thread setting, read once for the call; 0 until read
    std::uint64_t work_done = 0;        // the work of the call's loop calls so far
    std::uint64_t work_since_poll = 0;  // since the call last ran pending signal handlers
};

// A new call's state; with the lock held.  Reads nothing from the
// environment: the thread setting is read at the call's first loop call that
// could use it, so that a short call never pays for it.
CallState begin_call() noexcept;

// Runs `body` over [0, elements) as one loop call of the ufunc call whose
// state is `call`; `work` is the loop call's cost in evaluations of the
// cheapest formula.  On success the floating-point flags raised on worker
// threads are raised again on the calling thread, where NumPy looks for
// them.  Returns false, with a Python exception set and no floating-point
// flag left raised, when a signal handler raised (Ctrl-C), the thread
// setting's warning was turned into an error, or the driver itself failed
// (MemoryError, SystemError).
//
// Pending signals are run on Python's main thread about every millisecond of
// the call's work, so that Ctrl-C stops a sweep of short rows as promptly as
// one long loop.
//
// No C++ exception leaves it, except the unwinding by which CPython ends a
// thread at exit (pthread_exit, up to 3.13), which must pass on to the
// thread's start as it does through the interpreter's own frames.
bool drive_call_loop(CallState& call, const LoopBody& body, std::size_t elements, std::uint64_t work);

// As drive_call_loop, for a legacy inner loop (NumPy 1.x): the loop call is
// planned as a call of its own.  A legacy loop returns nothing, so NumPy
// notices an exception only after its whole iteration: after a loop call
// that failed, the later loop calls of the same ufunc call on this thread
// skip their work (their values are discarded anyway) until NumPy has
// raised the exception.  Pending signals are run every millisecond of work
// done on this thread.
bool drive_loop(const LoopBody& body, std::size_t elements, std::uint64_t work);

}  // namespace undarix::ufuncs
