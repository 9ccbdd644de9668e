// The calling thread's checkpoint in a chunked loop: the stop, the poll when
// it is due, and whether the poll forked the process.
#pragma once

#include "parallel/chunked_loop.hpp"
#include "parallel/this_process.hpp"

#include <sys/types.h>

#include <atomic>
#include <chrono>

namespace undarix::parallel {

class CallerCheckpoint final : public Checkpoint {
public:
    using Clock = std::chrono::steady_clock;

    // `stop` is the loop's stop request, which the workers read too.
    CallerCheckpoint(std::atomic<bool>& stop, CallerPoll& poll, std::chrono::nanoseconds interval)
        : stop_(stop),
          poll_(poll),
          interval_(std::chrono::duration_cast<Clock::duration>(interval)),
          last_poll_(Clock::now()) {}

    bool keep_going(std::size_t) override {
        if (stopped()) {
            return false;
        }
        return !poll_due() || poll_now();
    }

    bool stopped() const noexcept { return stop_.load(std::memory_order_relaxed); }
    bool poll_due() const { return Clock::now() - last_poll_ >= interval_; }
    Clock::time_point next_poll() const { return last_poll_ + interval_; }

    // Polls; on "stop", requests the stop.  Not noexcept: the poll may take
    // the interpreter lock, and with it the unwinding that ends a thread at
    // exit.
    // The process id is the remembered one, which a fork's child handler
    // renews before fork() returns there: a poll then asks the system
    // nothing, however often a long or preempted loop polls.
    bool poll_now() {
        const pid_t before = this_process_id();
        const bool proceed = poll_.proceed();
        last_poll_ = Clock::now();
        if (this_process_id() != before) {
            orphaned_ = true;
        }
        if (!proceed) {
            stop_.store(true, std::memory_order_relaxed);
        }
        return proceed;
    }

    // True once this thread runs in a child forked by a poll during the
    // loop: the loop's workers do not exist there.
    bool orphaned() const noexcept { return orphaned_; }

private:
    std::atomic<bool>& stop_;
    CallerPoll& poll_;
    const Clock::duration interval_;
    Clock::time_point last_poll_;
    bool orphaned_ = false;
};

}  // namespace undarix::parallel
