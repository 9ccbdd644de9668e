// Python's main thread: the one thread that runs signal handlers and that
// CPython never ends at exit.
#pragma once

namespace undarix {

// Whether this thread is Python's main thread as the interpreter records it
// (the thread that initialised it, or that forked this process).  Needs the
// interpreter lock.  When the interpreter cannot say, the answer is false,
// the cautious one for both uses (polling signals, and taking the lock back
// where CPython may end the thread).
bool on_main_thread() noexcept;

}  // namespace undarix
