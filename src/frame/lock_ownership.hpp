// Whether this thread holds the interpreter lock, as CPython itself knows
// it, and the one way the module gives up a reference it owns.
#pragma once

#include "frame/python.hpp"

namespace undarix {

// True when this OS thread's own thread state is the one the interpreter
// currently runs, that is when this thread holds the interpreter lock (on a
// free-threaded build: when its thread state is attached).
bool this_thread_holds_interpreter_lock() noexcept;

// Py_DECREF for a caller that holds the interpreter lock.  A build with
// UNDARIX_CHECK_LOCK_OWNERSHIP asks CPython first and aborts the process
// with a message if the lock is not held; other builds only decrement.
void decrement_locked(PyObject* object) noexcept;

}  // namespace undarix
