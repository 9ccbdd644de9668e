#include "kernels/chunked_loop.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace undarix::kernels {
namespace {

using Clock = std::chrono::steady_clock;

// How often the calling thread polls while the loop runs: Ctrl-C then takes
// effect within about this long plus one chunk.
constexpr Clock::duration kPollInterval = std::chrono::milliseconds(20);

// The state the threads of one loop share.  Worker threads see only this
// and the task: no Python object, no registry, no cache.
class SharedLoop {
public:
    SharedLoop(const LoopPlan& plan, const RangeTask& task) : plan_(plan), task_(task) {}

    // Claims and evaluates chunks until none is left or a stop is requested.
    // Not noexcept: on the calling thread the checkpoint may take the
    // interpreter lock, and with it the unwinding that ends a thread at exit.
    void work(Checkpoint& checkpoint) {
        for (;;) {
            if (stop_.load(std::memory_order_relaxed)) {
                return;
            }
            const std::size_t chunk = next_chunk_.fetch_add(1, std::memory_order_relaxed);
            const std::size_t first = chunk_start(chunk);
            if (first >= plan_.elements) {
                return;
            }
            const std::size_t remaining = plan_.elements - first;
            const std::size_t last = first + (remaining < plan_.chunk_elements ? remaining : plan_.chunk_elements);
            task_.run(task_.context, first, last, checkpoint);
            if (!checkpoint.keep_going()) {
                return;
            }
        }
    }

    void request_stop() noexcept { stop_.store(true, std::memory_order_relaxed); }
    bool stop_requested() const noexcept { return stop_.load(std::memory_order_relaxed); }

    void worker_started() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++running_;
    }

    void worker_finished() noexcept {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            --running_;
        }
        finished_.notify_all();
    }

    // Waits until every worker has finished or `timeout` has passed; true
    // when all have finished.
    bool wait_for_workers(Clock::duration timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return finished_.wait_for(lock, timeout, [this] { return running_ == 0; });
    }

private:
    std::size_t chunk_start(std::size_t chunk) const noexcept {
        // Claims past the end (one per thread at most) must not wrap around.
        const std::size_t chunks = (plan_.elements - 1) / plan_.chunk_elements + 1;
        return chunk < chunks ? chunk * plan_.chunk_elements : plan_.elements;
    }

    const LoopPlan plan_;
    const RangeTask task_;
    std::atomic<std::size_t> next_chunk_{0};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable finished_;
    unsigned running_ = 0;
};

class WorkerCheckpoint final : public Checkpoint {
public:
    explicit WorkerCheckpoint(const SharedLoop& loop) : loop_(loop) {}
    bool keep_going() override { return !loop_.stop_requested(); }

private:
    const SharedLoop& loop_;
};

// The calling thread's checkpoint also runs the poll when it is due.
class CallerCheckpoint final : public Checkpoint {
public:
    CallerCheckpoint(SharedLoop& loop, CallerPoll& poll) : loop_(loop), poll_(poll), last_poll_(Clock::now()) {}

    bool keep_going() override {
        if (loop_.stop_requested()) {
            return false;
        }
        const Clock::time_point now = Clock::now();
        if (now - last_poll_ < kPollInterval) {
            return true;
        }
        return poll_now();
    }

    bool poll_now() {
        const bool proceed = poll_.proceed();
        last_poll_ = Clock::now();
        if (!proceed) {
            loop_.request_stop();
        }
        return proceed;
    }

private:
    SharedLoop& loop_;
    CallerPoll& poll_;
    Clock::time_point last_poll_;
};

void run_worker(SharedLoop* loop) noexcept {
    WorkerCheckpoint checkpoint(*loop);
    loop->work(checkpoint);
    loop->worker_finished();
}

// The workers of one loop.  Destroying the group stops and joins them, on
// every way out of run_chunked, including unwinding.
class WorkerGroup {
public:
    WorkerGroup(SharedLoop& loop, unsigned count) : loop_(loop) {
        try {
            threads_.reserve(count);
        } catch (const std::bad_alloc&) {
            return;
        }
        for (unsigned i = 0; i < count; ++i) {
            loop_.worker_started();
            try {
                threads_.emplace_back(run_worker, &loop_);
            } catch (const std::system_error&) {
                // Resource limits: the threads that exist share the chunks.
                loop_.worker_finished();
                return;
            }
        }
    }

    ~WorkerGroup() {
        loop_.request_stop();
        for (std::thread& thread : threads_) {
            thread.join();
        }
    }

    WorkerGroup(const WorkerGroup&) = delete;
    WorkerGroup& operator=(const WorkerGroup&) = delete;

private:
    SharedLoop& loop_;
    std::vector<std::thread> threads_;
};

}  // namespace

LoopOutcome run_chunked(const LoopPlan& plan, const RangeTask& task, CallerPoll& poll) {
    if (plan.elements == 0) {
        return LoopOutcome::completed;
    }
    SharedLoop loop(plan, task);
    CallerCheckpoint checkpoint(loop, poll);
    WorkerGroup workers(loop, plan.threads - 1);
    loop.work(checkpoint);
    // The last chunks may still be running on workers; keep polling until
    // they are done, so a stop is still honoured.
    while (!loop.wait_for_workers(kPollInterval)) {
        if (!loop.stop_requested()) {
            checkpoint.poll_now();
        }
    }
    return loop.stop_requested() ? LoopOutcome::stopped : LoopOutcome::completed;
}

}  // namespace undarix::kernels
