// Taking the interpreter lock back on a stack of the thread's own, where
// CPython may end the thread while it waits: CPython 3.8 to 3.13 end such a
// thread at interpreter exit with pthread_exit, which glibc carries out as a
// forced unwinding of the thread's stack; from 3.14 CPython hangs such a
// thread instead (gh-87135), which unwinds nothing.  So the separate stack
// exists only for CPython before 3.14 on glibc; other C libraries end the
// thread without unwinding through the module's frames.
#pragma once

#include "frame/python.hpp"

#include <cstdlib>  // defines __GLIBC__ where glibc is the C library

#if PY_VERSION_HEX < 0x030E0000
#define UNDARIX_THREADS_ENDED_AT_EXIT 1
#endif
#if defined(UNDARIX_THREADS_ENDED_AT_EXIT) && defined(__linux__) && defined(__GLIBC__)
#define UNDARIX_SEPARATE_STACK 1
#endif

namespace undarix {

// Maps this thread's separate stack if it has none yet; false when there is
// no separate stack for this CPython and platform, or the mapping failed.
// The stack is unmapped when the thread exits.
bool prepare_separate_stack() noexcept;

// PyEval_RestoreThread(state), on the separate stack for a thread other
// than Python's main thread where that stack exists.  `main_thread` is
// on_main_thread(), asked while the lock was held.
void take_back_lock(PyThreadState* state, bool main_thread);

}  // namespace undarix
