// How the parallel runtime starts a thread.
#pragma once

namespace undarix::parallel {

// Starts body(argument) on a new detached POSIX thread; false when it could
// not be started, for whatever reason (the caller then does without it).
//
// The thread gets a small stack, 128 KiB or the system's minimum if that is
// larger, with pthread's guard page below it: it runs a loop over the
// formulas and the C runtime's exp, sin, cos and fmod, a few KiB of frames,
// and a call leaves no default-size (8 MiB) stack cached behind.  It starts
// with every signal blocked: signals are for the interpreter's threads.  The
// body must not allocate from the C heap (a thread that does gets a malloc
// arena of its own, 64 MiB of address space) nor touch the module's
// thread-local variables, which a dynamically loaded module keeps on the
// heap.
bool start_thread(void* (*body)(void*), void* argument) noexcept;

}  // namespace undarix::parallel
