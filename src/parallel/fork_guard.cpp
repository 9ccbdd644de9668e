#include "parallel/fork_guard.hpp"

#include <pthread.h>

namespace undarix::parallel {
namespace {

// The team this thread runs a task on, if any.  Constant-initialised and
// touched only by calling threads, never by workers.  A thread of a child
// forked during a task still names the parent's team (a poll there may run
// another loop, on the child's own team, and fork again); that team's
// workers do not exist in the child, and its mutex and condition variables
// are as those workers left them at the copy, so the handlers act only on a
// team of this process.
thread_local WorkerTeam* running_team = nullptr;

void hold_before_fork() noexcept {
    if (running_team != nullptr && running_team->belongs_to_this_process()) {
        running_team->hold_workers();
    }
}

void release_after_fork_in_parent() noexcept {
    if (running_team != nullptr && running_team->belongs_to_this_process()) {
        running_team->release_workers();
    }
}

// In the child the held workers do not exist: the calling thread sees the
// new process id after its poll returns, and goes on alone.
void forget_team_in_child() noexcept { WorkerTeam::forget_in_child(); }

pthread_once_t handlers_registered = PTHREAD_ONCE_INIT;

void register_handlers() noexcept {
    pthread_atfork(hold_before_fork, release_after_fork_in_parent, forget_team_in_child);
}

}  // namespace

void register_fork_handlers() noexcept { pthread_once(&handlers_registered, register_handlers); }

ForkGuard::ForkGuard(WorkerTeam& team) noexcept : outer_(running_team) { running_team = &team; }

ForkGuard::~ForkGuard() { running_team = outer_; }

}  // namespace undarix::parallel
