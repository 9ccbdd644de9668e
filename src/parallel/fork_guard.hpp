// Keeps the loops a thread is running exact across a fork by that thread.
#pragma once

#include "parallel/shared_loop.hpp"

namespace undarix::parallel {

// Marks `loop` as running on this thread for its lifetime.  When this
// thread forks the process meanwhile (a signal handler that its poll runs
// may call fork), the loop's workers are held at their checkpoints until
// the process has been copied: the child then finds every worker's range
// recorded exactly, and takes it over (SharedLoop::take_over_lost_ranges).
// A fork by any other thread needs nothing: the loop's calling thread does
// not exist in that child.
class ForkGuard {
public:
    explicit ForkGuard(SharedLoop& loop) noexcept;
    ~ForkGuard();
    ForkGuard(const ForkGuard&) = delete;
    ForkGuard& operator=(const ForkGuard&) = delete;

private:
    SharedLoop& loop_;
};

}  // namespace undarix::parallel
