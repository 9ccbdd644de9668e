// The poll of a chunked loop that runs with the interpreter lock given up.
#pragma once

#include "frame/interpreter_lock.hpp"
#include "parallel/chunked_loop.hpp"

namespace undarix::kernels {

// Runs pending signal handlers, as the interpreter's own loop would, on
// Python's main thread only (the one that runs them; elsewhere there is
// nothing to run, and the lock is not taken for it).  A handler that raises
// (KeyboardInterrupt by default) stops the loop and leaves its exception
// pending.  `main_thread` is on_main_thread(), asked with the lock held.
class SignalPoll final : public parallel::CallerPoll {
public:
    SignalPoll(InterpreterLockReleased& unlocked, bool main_thread) noexcept
        : unlocked_(unlocked), main_thread_(main_thread) {}

    bool proceed() override;

private:
    InterpreterLockReleased& unlocked_;
    const bool main_thread_;
};

}  // namespace undarix::kernels
