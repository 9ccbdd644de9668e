// Runs one call of a ufunc's inner loop over its elements, on as many threads
// as the work and the user's settings call for, with the same bits whatever
// that number.
//
// NumPy calls an inner loop usually without the interpreter lock (it keeps it
// only for small loops).  The thread settings are read, pending signals run
// and errors set with the lock held: the driver takes it for that where the
// calling thread does not hold it, and hands it back after.  Whether the
// thread holds it is CPython's answer (frame/interpreter_lock.hpp), never the
// interpreter's PyGILState_Check(), which says yes to everything once a
// sub-interpreter has existed.
//
// A legacy inner loop returns nothing, so NumPy notices an exception only
// after its whole iteration: a loop call that leaves one pending makes the
// later loop calls of the same ufunc call skip their work.
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

// Runs `body` over [0, elements); `work` is the loop's cost in evaluations
// of the cheapest formula.  Floating-point flags raised on worker threads are
// raised again on the calling thread, where NumPy looks for them.  Returns
// false when a Python exception is pending for NumPy to raise: a signal
// handler raised (Ctrl-C), a thread-settings warning was turned into an
// error, the driver itself failed (MemoryError, SystemError), or an earlier
// loop call of the same ufunc call failed (the work is then skipped, its
// values being discarded anyway).
//
// Pending signals are run on Python's main thread about every millisecond of
// work, counted across loop calls, so that Ctrl-C stops a sweep of short
// rows as promptly as one long loop.
//
// No C++ exception leaves it, except the unwinding by which CPython ends a
// thread at exit (pthread_exit, up to 3.13), which must pass on to the
// thread's start as it does through the interpreter's own frames.
bool drive_loop(const LoopBody& body, std::size_t elements, std::uint64_t work);

}  // namespace undarix::ufuncs
