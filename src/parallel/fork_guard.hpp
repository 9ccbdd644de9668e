// Keeps a loop exact across a fork by the thread that runs it on the team.
#pragma once

#include "parallel/worker_team.hpp"

namespace undarix::parallel {

// Registers the process's fork handlers, once; a child inherits them.
// Before a fork by a thread that runs a task on this process's team (a
// signal handler that its poll runs may call fork), the team's workers are
// held at their checkpoints until the process has been copied: the child
// then finds every worker's range recorded exactly, and its copy of the
// calling thread takes it over.  In every child, the parent's team is
// forgotten, and the next loop makes the child's own.  A fork by any other
// thread holds nothing: the loop's calling thread does not exist in that
// child.
void register_fork_handlers() noexcept;

// Marks this thread as running a task on `team` for its lifetime.
class ForkGuard {
public:
    explicit ForkGuard(WorkerTeam& team) noexcept;
    ~ForkGuard();
    ForkGuard(const ForkGuard&) = delete;
    ForkGuard& operator=(const ForkGuard&) = delete;

private:
    WorkerTeam* const outer_;
};

}  // namespace undarix::parallel
