// The worker threads of one chunked loop.
#pragma once

#include "parallel/shared_loop.hpp"

#include <pthread.h>

#include <memory>

namespace undarix::parallel {

// Starts up to `count` workers on `loop` (no more than it has records for).
// A worker that cannot be started, for whatever reason, is done without:
// the threads that exist share its chunks.  Destroying the group stops the
// workers and joins them, on every way out of the loop, unwinding included;
// in a child forked while they ran there is nothing to join.
//
// The workers are POSIX threads with small stacks (they only run a loop)
// that never allocate from the C heap, so that a call leaves neither stacks
// cached at the default size nor a malloc arena per thread behind.  They
// start with every signal blocked: signals are for the calling thread.
class WorkerGroup {
public:
    WorkerGroup(SharedLoop& loop, unsigned count) noexcept;
    ~WorkerGroup();
    WorkerGroup(const WorkerGroup&) = delete;
    WorkerGroup& operator=(const WorkerGroup&) = delete;

    unsigned started() const noexcept { return started_; }

private:
    struct Worker {
        SharedLoop* loop;
        unsigned index;
        pthread_t thread;
    };

    static void* thread_body(void* worker) noexcept;

    SharedLoop& loop_;
    std::unique_ptr<Worker[]> workers_;
    unsigned started_ = 0;
};

}  // namespace undarix::parallel
