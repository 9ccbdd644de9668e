#include "parallel/fork_guard.hpp"

#include <pthread.h>

namespace undarix::parallel {
namespace {

// The loops running on this thread, innermost first.  Constant-initialised
// and touched only by calling threads, never by workers.
thread_local SharedLoop* innermost_loop = nullptr;

// A thread of a child forked during a loop still lists the parent's loops
// (a poll there may run another call, and fork again).  Their workers do
// not exist in the child, and their mutex and condition variables are as
// those workers left them at the copy: a worker waking in the parent at
// that instant may have held the mutex, or still be counted among a
// condition variable's waiters, which a broadcast would then wait for
// forever.  The handlers act only on the loops of this process.
void hold_before_fork() noexcept {
    for (SharedLoop* loop = innermost_loop; loop != nullptr; loop = loop->outer) {
        if (!loop->forked()) {
            loop->hold_workers();
        }
    }
}

void release_after_fork_in_parent() noexcept {
    for (SharedLoop* loop = innermost_loop; loop != nullptr; loop = loop->outer) {
        if (!loop->forked()) {
            loop->release_workers();
        }
    }
}

// Handlers registered once per process; a child inherits them.  In the
// child there is nothing to release: the loop sees the new process id after
// its poll returns and goes on alone.
pthread_once_t handlers_registered = PTHREAD_ONCE_INIT;

void register_handlers() noexcept { pthread_atfork(hold_before_fork, release_after_fork_in_parent, nullptr); }

}  // namespace

ForkGuard::ForkGuard(SharedLoop& loop) noexcept : loop_(loop) {
    pthread_once(&handlers_registered, register_handlers);
    loop_.outer = innermost_loop;
    innermost_loop = &loop_;
}

ForkGuard::~ForkGuard() { innermost_loop = loop_.outer; }

}  // namespace undarix::parallel
