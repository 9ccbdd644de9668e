// Workers that cannot be started: every allocation the loop makes fails in
// turn (a replaced operator new throws std::bad_alloc at the k-th call, the
// nothrow forms return null), and thread starts fail (pthread_create, wrapped
// at link time, returns EAGAIN at the k-th call, or at every call).  Each
// time the call must still be evaluated in full, on the threads that exist.
#include "check.hpp"
#include "parallel/chunked_loop.hpp"

#include <errno.h>
#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

using namespace undarix::parallel;

namespace {

// 0: no failure armed.
std::atomic<long> allocation_to_fail{0};
std::atomic<long> allocations{0};
std::atomic<long> start_to_fail{0};
std::atomic<long> starts{0};
std::atomic<bool> every_start_fails{false};

void* allocate(std::size_t size) noexcept {
    const long k = allocation_to_fail.load();
    if (k != 0 && allocations.fetch_add(1) + 1 == k) {
        return nullptr;
    }
    return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

void* operator new(std::size_t size) {
    if (void* memory = allocate(size)) {
        return memory;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

extern "C" int __real_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

extern "C" int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                                     void* argument) {
    const long k = start_to_fail.load();
    const long attempt = starts.fetch_add(1) + 1;
    if (every_start_fails.load() || (k != 0 && attempt == k)) {
        return EAGAIN;
    }
    return __real_pthread_create(thread, attributes, start, argument);
}

namespace {

struct Doubling {
    std::vector<double> values;

    explicit Doubling(std::size_t n) : values(n) {
        for (std::size_t i = 0; i < n; ++i) {
            values[i] = static_cast<double>(i) + 0.5;
        }
    }
    static void run(const void* erased, std::size_t first, std::size_t last, Checkpoint&) {
        double* values = const_cast<double*>(static_cast<const Doubling*>(erased)->values.data());
        for (std::size_t i = first; i < last; ++i) {
            values[i] = values[i] * 2.0;
        }
    }
    bool exact() const {
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (values[i] != (static_cast<double>(i) + 0.5) * 2.0) {
                return false;
            }
        }
        return true;
    }
};

class Proceed final : public CallerPoll {
public:
    bool proceed() override { return true; }
};

// Runs a loop with the failure `arm` sets up armed during the loop alone.
template <class Arm>
bool evaluated_in_full(unsigned threads, Arm&& arm) {
    Doubling work(100000);
    Proceed poll;
    arm(true);
    const LoopOutcome outcome = run_chunked(LoopPlan{work.values.size(), 100, threads},
                                            RangeTask{&work, &Doubling::run}, poll).outcome;
    arm(false);
    return outcome == LoopOutcome::completed && work.exact();
}

void allocation_failures() {
    for (const unsigned threads : {2u, 4u}) {
        for (long k = 1;; ++k) {
            CHECK(k < 1000);
            allocations = 0;
            CHECK(evaluated_in_full(threads, [k](bool armed) { allocation_to_fail = armed ? k : 0; }));
            if (allocations.load() < k) {
                break;  // past the loop's last allocation
            }
        }
    }
}

// The team's workers outlive a call: a call starts only the workers it
// lacks, stops starting at the first that fails (the threads that exist
// share its chunks), and a later call tries again.  Run in a fresh process,
// where no worker exists yet.
void thread_start_failures() {
    // Every start fails: one attempt, and the calling thread does it all.
    starts = 0;
    CHECK(evaluated_in_full(5, [](bool armed) { every_start_fails = armed; }));
    CHECK(starts.load() == 1);
    // The third start fails: two workers exist from here on.
    starts = 0;
    CHECK(evaluated_in_full(5, [](bool armed) { start_to_fail = armed ? 3 : 0; }));
    CHECK(starts.load() == 3);
    // The next start, for a third worker, fails at once.
    starts = 0;
    CHECK(evaluated_in_full(5, [](bool armed) { start_to_fail = armed ? 1 : 0; }));
    CHECK(starts.load() == 1);
    // Three threads need no more than the two workers that exist.
    starts = 0;
    CHECK(evaluated_in_full(3, [](bool) {}));
    CHECK(starts.load() == 0);
    // Five threads start the two missing, once.
    CHECK(evaluated_in_full(5, [](bool) {}));
    CHECK(starts.load() == 2);
    CHECK(evaluated_in_full(5, [](bool) {}));
    CHECK(starts.load() == 2);
}

const checks::Check all_checks[] = {
    {"allocation_failures", allocation_failures},
    {"thread_start_failures", thread_start_failures},
};

}  // namespace

int main(int argc, char** argv) { return checks::run_named(all_checks, argc, argv); }
