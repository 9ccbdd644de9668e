#include "parallel/worker_group.hpp"

#include <signal.h>
#include <unistd.h>

#include <new>

namespace undarix::parallel {
namespace {

// A worker's stack: its frames are the loop, the task and the C runtime's
// exp, sin, cos and fmod, a few KiB together.  Below it lies a guard page
// (pthread's default), so an overflow faults instead of corrupting memory.
constexpr std::size_t kWorkerStackBytes = 128 * 1024;

std::size_t worker_stack_bytes() noexcept {
    const long minimum = sysconf(_SC_THREAD_STACK_MIN);
    return minimum > 0 && static_cast<std::size_t>(minimum) > kWorkerStackBytes ? static_cast<std::size_t>(minimum)
                                                                                : kWorkerStackBytes;
}

// Blocks every signal on the calling thread for its lifetime, so that the
// threads it starts inherit a full mask.
class SignalsBlocked {
public:
    SignalsBlocked() noexcept {
        sigset_t all;
        sigfillset(&all);
        blocked_ = pthread_sigmask(SIG_SETMASK, &all, &saved_) == 0;
    }
    ~SignalsBlocked() {
        if (blocked_) {
            pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
        }
    }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t saved_;
    bool blocked_ = false;
};

}  // namespace

WorkerGroup::WorkerGroup(SharedLoop& loop, unsigned count) noexcept : loop_(loop) {
    if (count > loop.worker_capacity()) {
        count = loop.worker_capacity();
    }
    if (count == 0) {
        return;
    }
    workers_.reset(new (std::nothrow) Worker[count]);
    pthread_attr_t attributes;
    if (!workers_ || pthread_attr_init(&attributes) != 0) {
        return;
    }
    // Where the size is refused, the default one still serves.
    pthread_attr_setstacksize(&attributes, worker_stack_bytes());
    SignalsBlocked blocked;
    for (unsigned i = 0; i < count; ++i) {
        Worker& worker = workers_[i];
        worker.loop = &loop_;
        worker.index = i;
        loop_.worker_starting();
        if (pthread_create(&worker.thread, &attributes, &WorkerGroup::thread_body, &worker) != 0) {
            // Resource limits: the threads that exist share the chunks.
            loop_.worker_not_started();
            break;
        }
        ++started_;
    }
    pthread_attr_destroy(&attributes);
}

WorkerGroup::~WorkerGroup() {
    if (started_ == 0 || loop_.forked()) {
        return;
    }
    loop_.request_stop();
    for (unsigned i = 0; i < started_; ++i) {
        pthread_join(workers_[i].thread, nullptr);
    }
}

void* WorkerGroup::thread_body(void* erased) noexcept {
    const Worker& worker = *static_cast<const Worker*>(erased);
    worker.loop->work_as_worker(worker.index);
    return nullptr;
}

}  // namespace undarix::parallel
