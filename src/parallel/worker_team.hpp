// A small persistent team of worker threads for short element-wise loops.
//
// NumPy hands a ufunc's inner loop one row at a time when its operands do
// not coalesce into one run (a parameter sweep f(t[None, :], a[:, None]) is
// a thousand calls of a thousand elements each, about 20 microseconds per
// call).  Starting threads per call costs more than such a row, so the team
// is started once and kept: after each task its workers spin for a short
// while, waiting for the next row, before they go to sleep.  Splitting a row
// then costs well under a microsecond.
//
// Workers run no Python and allocate nothing; they are started lazily with
// small stacks and all signals blocked.  After fork() the child starts a
// team of its own (the parent's threads do not exist there; they are never
// joined).  One task runs at a time: a caller that finds the team busy runs
// its range alone.
#pragma once

#include <cstddef>

namespace undarix::parallel {

// Evaluates elements [first, last) of a task.  Must not throw, touch Python
// objects or allocate: it runs on the team's threads.
struct TeamTask {
    const void* context;
    void (*run)(const void* context, std::size_t first, std::size_t last);
};

// The most threads a task can use, the caller included.
constexpr unsigned kMaxTeamThreads = 64;

// Runs `task` over [0, elements) on `threads` threads (the calling thread
// included), in contiguous parts, each element evaluated by exactly one
// thread.  It returns only when no worker is inside the task any more or
// can still read it: a worker late for this task, or for an earlier one,
// never evaluates a part of a later one.  Returns the floating-point
// exception flags (FE_*) raised by the workers' parts, so that the caller
// can raise them on its own thread; the caller's own part raises its flags
// directly.  When the team is busy with another caller's task, or cannot be
// started, the calling thread evaluates everything alone and 0 is returned.
int run_on_team(const TeamTask& task, std::size_t elements, unsigned threads) noexcept;

}  // namespace undarix::parallel
