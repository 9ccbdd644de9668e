#include "parallel/shared_loop.hpp"

#include <time.h>
#include <unistd.h>

#include <new>

namespace undarix::parallel {
namespace {

// A lock on a raw mutex for the scope.  pthread_mutex_lock fails only on
// misuse (an error-checking or robust mutex), which these are not.
class Locked {
public:
    explicit Locked(pthread_mutex_t& mutex) noexcept : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
    ~Locked() { pthread_mutex_unlock(&mutex_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    pthread_mutex_t& mutex_;
};

std::unique_ptr<WorkerRecord[]> new_records(unsigned count) {
    if (count == 0) {
        return nullptr;
    }
    return std::unique_ptr<WorkerRecord[]>(new (std::nothrow) WorkerRecord[count]);
}

}  // namespace

// A worker's checkpoint: notes how far its range has got, so that a child
// forked while the worker is held can take over from there, and lets the
// worker be held.
class SharedLoop::WorkerCheckpoint final : public Checkpoint {
public:
    WorkerCheckpoint(SharedLoop& loop, WorkerRecord& record) noexcept : loop_(loop), record_(record) {}

    bool keep_going(std::size_t next) override {
        record_.next = next;
        loop_.hold_if_asked();
        return !loop_.stop_requested();
    }

private:
    SharedLoop& loop_;
    WorkerRecord& record_;
};

SharedLoop::SharedLoop(const LoopPlan& plan, const RangeTask& task, unsigned workers)
    : plan_(plan), task_(task), pid_(getpid()), capacity_(workers), records_(new_records(workers)) {
    pthread_mutex_init(&mutex_, nullptr);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    // Timed waits measure a duration: the wall clock may jump.
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&changed_, &attributes);
    pthread_condattr_destroy(&attributes);
    pthread_cond_init(&resumed_, nullptr);
}

SharedLoop::~SharedLoop() {
    if (forked()) {
        // The workers held at the fork wait on resumed_ in the parent only;
        // here the objects are left as they are, and their memory goes.
        return;
    }
    pthread_cond_destroy(&resumed_);
    pthread_cond_destroy(&changed_);
    pthread_mutex_destroy(&mutex_);
}

bool SharedLoop::claim(std::size_t& first, std::size_t& last) noexcept {
    const std::size_t chunk = next_chunk_.fetch_add(1, std::memory_order_relaxed);
    // Claims past the end (one per thread at most) must not wrap around.
    const std::size_t chunks = (plan_.elements - 1) / plan_.chunk_elements + 1;
    if (chunk >= chunks) {
        return false;
    }
    first = chunk * plan_.chunk_elements;
    const std::size_t remaining = plan_.elements - first;
    last = first + (remaining < plan_.chunk_elements ? remaining : plan_.chunk_elements);
    return true;
}

void SharedLoop::work(Checkpoint& checkpoint) {
    std::size_t first = 0;
    std::size_t last = 0;
    while (!stop_requested() && claim(first, last)) {
        task_.run(task_.context, first, last, checkpoint);
        if (!checkpoint.keep_going(last)) {
            return;
        }
    }
}

void SharedLoop::work_as_worker(unsigned index) noexcept {
    WorkerRecord& record = records_[index];
    WorkerCheckpoint checkpoint(*this, record);
    std::size_t first = 0;
    std::size_t last = 0;
    for (;;) {
        // Between chunks: every chunk this worker claimed is written.
        hold_if_asked();
        if (stop_requested() || !claim(first, last)) {
            break;
        }
        record.next = first;
        record.last = last;
        record.in_range = true;
        task_.run(task_.context, first, last, checkpoint);
        record.in_range = false;
    }
    worker_finished();
}

void SharedLoop::worker_starting() noexcept {
    Locked lock(mutex_);
    ++running_;
}

void SharedLoop::worker_finished() noexcept {
    Locked lock(mutex_);
    --running_;
    pthread_cond_signal(&changed_);
}

bool SharedLoop::wait_for_workers(long long timeout_ns) noexcept {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const long long nanoseconds = deadline.tv_nsec + timeout_ns;
    deadline.tv_sec += static_cast<time_t>(nanoseconds / 1000000000);
    deadline.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    Locked lock(mutex_);
    while (running_ > 0) {
        if (pthread_cond_timedwait(&changed_, &mutex_, &deadline) != 0) {
            return running_ == 0;
        }
    }
    return true;
}

void SharedLoop::hold_if_asked() noexcept {
    if (!hold_.load(std::memory_order_acquire)) {
        return;
    }
    Locked lock(mutex_);
    ++held_;
    pthread_cond_signal(&changed_);
    while (hold_.load(std::memory_order_relaxed)) {
        pthread_cond_wait(&resumed_, &mutex_);
    }
    --held_;
}

void SharedLoop::hold_workers() noexcept {
    Locked lock(mutex_);
    hold_.store(true, std::memory_order_release);
    // Each worker reaches a checkpoint within one chunk, or within one
    // stretch of a long element between two of its checkpoints.
    while (held_ < running_) {
        pthread_cond_wait(&changed_, &mutex_);
    }
}

void SharedLoop::release_workers() noexcept {
    Locked lock(mutex_);
    hold_.store(false, std::memory_order_relaxed);
    pthread_cond_broadcast(&resumed_);
}

bool SharedLoop::forked() const noexcept { return getpid() != pid_; }

void SharedLoop::take_over_lost_ranges(Checkpoint& checkpoint) {
    for (unsigned i = 0; i < worker_capacity(); ++i) {
        WorkerRecord& record = records_[i];
        if (!record.in_range) {
            continue;
        }
        record.in_range = false;
        if (record.next < record.last) {
            task_.run(task_.context, record.next, record.last, checkpoint);
        }
        if (!checkpoint.keep_going(record.last)) {
            return;
        }
    }
}

}  // namespace undarix::parallel
