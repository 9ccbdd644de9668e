// The state that the threads of one chunked loop share: the next chunk to
// claim, the stop request, what each worker is evaluating, and the means to
// hold the workers still while the calling thread forks the process.
#pragma once

#include "parallel/loop_plan.hpp"
#include "parallel/range_task.hpp"

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <memory>

namespace undarix::parallel {

// The range a worker is evaluating.  Written by the worker alone; read by
// the calling thread only while the worker is held (the loop's mutex orders
// the two), or in a forked child, where the worker no longer exists.
struct WorkerRecord {
    bool in_range = false;
    std::size_t next = 0;  // first element of the range not written yet
    std::size_t last = 0;
};

class SharedLoop {
public:
    // Room for the records of up to `workers` workers; with no room (the
    // allocation failed) the loop runs on the calling thread alone.
    SharedLoop(const LoopPlan& plan, const RangeTask& task, unsigned workers);
    ~SharedLoop();
    SharedLoop(const SharedLoop&) = delete;
    SharedLoop& operator=(const SharedLoop&) = delete;

    // How many workers may be started: records exist for this many.
    unsigned worker_capacity() const noexcept { return records_ ? capacity_ : 0; }

    // The calling thread's share: claims and evaluates chunks until none is
    // left or a stop is requested.  Not noexcept: the calling thread's
    // checkpoint may take the interpreter lock, and with it the unwinding
    // that ends a thread at exit.
    void work(Checkpoint& checkpoint);

    // The body of worker `index`, from its start to its end.
    void work_as_worker(unsigned index) noexcept;

    void request_stop() noexcept { stop_.store(true, std::memory_order_relaxed); }
    bool stop_requested() const noexcept { return stop_.load(std::memory_order_relaxed); }

    // Counts a worker about to be started, and takes the count back when it
    // could not be.
    void worker_starting() noexcept;
    void worker_not_started() noexcept { worker_finished(); }

    // Waits until every worker has finished or `timeout_ns` has passed; true
    // when all have finished.
    bool wait_for_workers(long long timeout_ns) noexcept;

    // Holds every worker at its next checkpoint (between chunks, or where a
    // long element asks) and returns once all are held or finished; then
    // the calling thread may fork and the child finds every record exact.
    void hold_workers() noexcept;
    void release_workers() noexcept;

    // True in a child forked while the loop ran: its workers do not exist,
    // and the loop belongs to another process (the one recorded at its
    // construction).
    bool forked() const noexcept;

    // In such a child: evaluates, on the calling thread, the rest of every
    // range the workers were evaluating when the process was copied.
    void take_over_lost_ranges(Checkpoint& checkpoint);

    // The loops of this thread that are running, innermost first (a poll
    // may start another call).
    SharedLoop* outer = nullptr;

private:
    class WorkerCheckpoint;

    // Claims the next chunk as [first, last); false when none is left.
    bool claim(std::size_t& first, std::size_t& last) noexcept;
    void hold_if_asked() noexcept;
    void worker_finished() noexcept;

    const LoopPlan plan_;
    const RangeTask task_;
    const pid_t pid_;
    const unsigned capacity_;
    const std::unique_ptr<WorkerRecord[]> records_;
    std::atomic<std::size_t> next_chunk_{0};
    std::atomic<bool> stop_{false};
    std::atomic<bool> hold_{false};
    // Raw POSIX objects rather than std::mutex and std::condition_variable:
    // in a forked child the held workers are waiters that will never wake,
    // and destroying a condition variable there could wait for them.
    pthread_mutex_t mutex_;
    pthread_cond_t changed_;  // a worker finished or was held
    pthread_cond_t resumed_;  // the held workers may go on
    unsigned running_ = 0;    // guarded by mutex_
    unsigned held_ = 0;       // guarded by mutex_
};

}  // namespace undarix::parallel
