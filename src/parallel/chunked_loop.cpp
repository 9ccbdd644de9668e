#include "parallel/chunked_loop.hpp"

#include "parallel/fork_guard.hpp"
#include "parallel/shared_loop.hpp"
#include "parallel/worker_group.hpp"

#include <chrono>

namespace undarix::parallel {
namespace {

using Clock = std::chrono::steady_clock;

// The calling thread's checkpoint also runs the poll when it is due, and
// notices when the poll forked the process.
class CallerCheckpoint final : public Checkpoint {
public:
    CallerCheckpoint(SharedLoop& loop, CallerPoll& poll, Clock::duration interval)
        : loop_(loop), poll_(poll), interval_(interval), last_poll_(Clock::now()) {}

    bool keep_going(std::size_t) override {
        if (loop_.stop_requested()) {
            return false;
        }
        if (Clock::now() - last_poll_ < interval_) {
            return true;
        }
        return poll_now();
    }

    bool poll_now() {
        const bool proceed = poll_.proceed();
        last_poll_ = Clock::now();
        if (!orphaned_ && loop_.forked()) {
            orphaned_ = true;
        }
        if (!proceed) {
            loop_.request_stop();
        }
        return proceed;
    }

    // True once this thread runs in a child forked during the loop.
    bool orphaned() const noexcept { return orphaned_; }

private:
    SharedLoop& loop_;
    CallerPoll& poll_;
    const Clock::duration interval_;
    Clock::time_point last_poll_;
    bool orphaned_ = false;
};

}  // namespace

LoopOutcome run_chunked(const LoopPlan& plan, const RangeTask& task, CallerPoll& poll) {
    if (plan.elements == 0) {
        return LoopOutcome::completed;
    }
    const unsigned workers = plan.threads > 1 ? plan.threads - 1 : 0;
    SharedLoop loop(plan, task, workers);
    CallerCheckpoint checkpoint(loop, poll, std::chrono::duration_cast<Clock::duration>(plan.poll_interval));
    WorkerGroup group(loop, workers);
    if (group.started() == 0) {
        loop.work(checkpoint);
        return loop.stop_requested() ? LoopOutcome::stopped : LoopOutcome::completed;
    }
    ForkGuard guard(loop);
    loop.work(checkpoint);
    // The last chunks may still be running on workers; keep polling until
    // they are done, so a stop is still honoured.  A child forked by a poll
    // has no workers to wait for: it evaluates what they were evaluating,
    // and the chunks nobody claimed yet, on this thread.
    for (;;) {
        if (checkpoint.orphaned()) {
            loop.take_over_lost_ranges(checkpoint);
            loop.work(checkpoint);
            break;
        }
        if (loop.wait_for_workers(plan.poll_interval.count())) {
            break;
        }
        if (!loop.stop_requested()) {
            checkpoint.poll_now();
        }
    }
    return loop.stop_requested() ? LoopOutcome::stopped : LoopOutcome::completed;
}

}  // namespace undarix::parallel
