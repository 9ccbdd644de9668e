// The process's persistent team of worker threads, on which the chunked
// loops of both modules run.
//
// Starting threads for each call costs tens of microseconds, more than a
// short loop takes: NumPy hands a ufunc's inner loop one row at a time when
// its operands do not coalesce (a parameter sweep f(t[None, :], a[:, None])
// is a thousand loop calls of a thousand elements, about 20 microseconds
// each).  So the team is started once, lazily, and kept: after each task its
// workers spin for a short while, waiting for the next, before they go to
// sleep.  Handing a task over then costs well under a microsecond.
//
// One task runs at a time, for the thread that claimed the team.  A worker
// that comes late to a task, or to an earlier one, never evaluates a part of
// a later one: a thread claims a part with a compare-and-swap of one word
// that holds the task's number, its part count and the next part.  After
// fork() the child makes a team of its own: the parent's threads do not
// exist there, and they are never joined.
#pragma once

#include "parallel/caller_checkpoint.hpp"
#include "parallel/loop_plan.hpp"
#include "parallel/range_task.hpp"

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace undarix::parallel {

// The most threads a task runs on, the caller included.
constexpr unsigned kMaxTeamThreads = 64;

// The range a worker is evaluating.  Written by the worker alone; read by the
// calling thread only in a child forked while the worker was held at a
// checkpoint, where the worker no longer exists.
struct WorkerRecord {
    bool in_range = false;
    std::size_t next = 0;  // first element of the range not written yet
    std::size_t last = 0;
};

class WorkerTeam {
public:
    // The process's team, claimed by the calling thread for one task and
    // grown towards `threads` threads (the caller included); null when it
    // runs another task or cannot be made.  A worker that cannot be started
    // is done without, and no other is started in the same call.
    static WorkerTeam* claim(unsigned threads) noexcept;
    void unclaim() noexcept;

    // How many workers a task of `threads` threads gets.
    unsigned helpers_for(unsigned threads) const noexcept;

    // Runs `task` over the plan's elements on the calling thread and on
    // `helpers` workers (at least 1, at most helpers_for()), each element
    // evaluated by exactly one thread.  Returns the floating-point flags the
    // workers raised, once no worker is inside the task or can still read
    // it; with the stop request set when the checkpoint stopped the loop.
    // In a child forked by a poll, the calling thread finishes the loop
    // alone, taking over the ranges the workers were evaluating.
    int run(const LoopPlan& plan, const RangeTask& task, unsigned helpers, CallerCheckpoint& checkpoint,
            std::atomic<bool>& stop);

    // For the fork handlers, on the thread that runs a task on the team and
    // forks: holds every worker inside the task at its next checkpoint, and
    // returns once all are held, so that the child finds every record exact;
    // then lets them go on in the parent.
    bool belongs_to_this_process() const noexcept;
    void hold_workers() noexcept;
    void release_workers() noexcept;

    // In a child of fork(): the parent's team is left alone, and the next
    // claim makes the child's own.
    static void forget_in_child() noexcept;

private:
    struct WorkerStart {
        WorkerTeam* team;
        unsigned index;
        std::uint64_t seen;  // the last task published before it was started
    };
    class WorkerCheckpoint;

    explicit WorkerTeam(pid_t owner) noexcept;
    void grow(unsigned wanted) noexcept;
    static void* worker_main(void* start) noexcept;
    void serve(unsigned index, std::uint64_t seen) noexcept;
    std::uint64_t wait_for_task(unsigned index, std::uint64_t seen) noexcept;
    bool claim_part(std::uint64_t sequence, std::size_t& first, std::size_t& last) noexcept;
    std::size_t part_start(std::size_t part, std::size_t parts) const noexcept;
    std::size_t close_parts(std::uint64_t sequence) noexcept;
    std::size_t work_as_worker(std::uint64_t sequence, WorkerRecord& record) noexcept;
    void work_as_caller(std::uint64_t sequence, CallerCheckpoint& checkpoint);
    void take_over_lost_ranges(CallerCheckpoint& checkpoint);
    void wait_for_parts(std::size_t parts, CallerCheckpoint& checkpoint, std::uint64_t sequence);
    void hold_if_asked() noexcept;
    void publish_flags() noexcept;
    void parts_done(std::size_t count) noexcept;

    const pid_t owner_;
    std::atomic<bool> busy_{false};
    unsigned workers_ = 0;  // changed only by the thread that claimed the team
    WorkerStart starts_[kMaxTeamThreads];
    WorkerRecord records_[kMaxTeamThreads];

    // The current task, written by its caller before the generation and the
    // claim word change, and read by a worker only while it holds a part.
    RangeTask task_{nullptr, nullptr};
    std::size_t elements_ = 0;
    std::size_t chunk_ = 1;
    bool tapered_ = false;  // parts shrink towards the end (else all are chunk_ long)
    std::atomic<bool>* stop_ = nullptr;
    bool caller_in_part_ = false;  // the caller's own, between claiming a part and counting it

    // The task's sequence number above the helper bits, its helper count
    // below them.
    std::atomic<std::uint64_t> generation_{0};
    // The current task's claim word.
    std::atomic<std::uint64_t> claims_{0};
    std::atomic<std::size_t> parts_done_{0};
    std::atomic<int> flags_{0};

    // Sleeping workers, the hold before a fork, and a caller waiting for
    // the workers' last parts.  Raw POSIX objects, so that the caller's
    // timed wait measures a duration on the monotonic clock.
    pthread_mutex_t mutex_;
    pthread_cond_t wake_[kMaxTeamThreads];  // a task that wants this worker was published (it sleeps)
    pthread_cond_t changed_;  // a worker was held, or left a task (the holder)
    pthread_cond_t resumed_;  // the held workers may go on
    pthread_cond_t done_;     // parts were done (a waiting caller)
    std::atomic<bool> asleep_[kMaxTeamThreads] = {};  // the worker waits on its wake_
    std::atomic<bool> caller_waiting_{false};
    std::atomic<bool> hold_{false};
    std::atomic<unsigned> engaged_{0};  // workers inside a task
    unsigned held_ = 0;                 // guarded by mutex_
};

}  // namespace undarix::parallel
