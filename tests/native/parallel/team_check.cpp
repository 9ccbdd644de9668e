// Checks of the worker team that runs the chunked loops: a long stream of
// short tasks whose part and thread counts change from one task to the next,
// as the rows of a sweep and the calls of several callers do.  Every element
// of every task must be evaluated exactly once, and no worker may still be
// inside a task, or start one of its parts, once run_chunked has returned
// for it.
#include "check.hpp"
#include "parallel/chunked_loop.hpp"

#include <pthread.h>

#include <atomic>
#include <cfenv>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

using namespace undarix::parallel;

namespace {

constexpr std::size_t kMostElements = 500;

// One task's state.  A few of them take turns, so that a worker that comes
// late to a task finds it closed rather than reused under it.
struct Slot {
    std::atomic<unsigned> evaluations[kMostElements];
    std::atomic<bool> open{false};
    std::size_t elements = 0;
};

std::atomic<unsigned long> late_touches{0};

void count_once(const void* erased, std::size_t first, std::size_t last, Checkpoint&) {
    Slot& slot = *static_cast<Slot*>(const_cast<void*>(erased));
    if (!slot.open.load(std::memory_order_acquire) || last > slot.elements || first >= last) {
        late_touches.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    for (std::size_t i = first; i < last; ++i) {
        slot.evaluations[i].fetch_add(1, std::memory_order_relaxed);
    }
    // Still open when the part is written: the caller waited for it.
    if (!slot.open.load(std::memory_order_acquire)) {
        late_touches.fetch_add(1, std::memory_order_relaxed);
    }
}

// The number of tasks: enough that the caller of one task rewrites the team's
// state while a worker is still on its way out of the task before, many
// times over; few enough for a ThreadSanitizer build on a busy machine.
class Proceed final : public CallerPoll {
public:
    bool proceed() override { return true; }
};

unsigned long task_count() {
    const char* text = std::getenv("UNDARIX_TEAM_TASKS");
    return text != nullptr ? std::strtoul(text, nullptr, 10) : 2000000;
}

void exactly_once_over_many_tasks() {
    static Slot slots[3];
    // Thread and element counts in cycles of coprime lengths, so that
    // neighbouring tasks differ in part count (4 per thread, at most one
    // per element) in every combination: 8, 12, 16, 20 parts, or fewer;
    // from 400 elements the parts are tapered (at least parts^2 elements),
    // below that they are equal.
    const unsigned thread_cycle[] = {2, 4, 3, 5, 2, 3, 4};
    const std::size_t element_cycle[] = {64, 9, 33, 5, 17, 400, 12, 64, 2, 40, 21, 64, 500};
    const unsigned long tasks = task_count();
    for (unsigned long n = 0; n < tasks; ++n) {
        Slot& slot = slots[n % 3];
        const std::size_t elements = element_cycle[n % (sizeof element_cycle / sizeof *element_cycle)];
        const unsigned threads = thread_cycle[n % (sizeof thread_cycle / sizeof *thread_cycle)];
        slot.elements = elements;
        for (std::size_t i = 0; i < elements; ++i) {
            slot.evaluations[i].store(0, std::memory_order_relaxed);
        }
        slot.open.store(true, std::memory_order_release);
        Proceed poll;
        // Chunks larger than any task: the team cuts each into parts of its own.
        CHECK(run_chunked(LoopPlan{elements, kMostElements, threads}, RangeTask{&slot, count_once}, poll).outcome ==
              LoopOutcome::completed);
        slot.open.store(false, std::memory_order_release);
        for (std::size_t i = 0; i < elements; ++i) {
            const unsigned evaluations = slot.evaluations[i].load(std::memory_order_relaxed);
            if (evaluations != 1) {
                std::fprintf(stderr, "task %lu (%zu elements, %u threads): element %zu evaluated %u times\n", n,
                             elements, threads, i, evaluations);
                CHECK(evaluations == 1);
            }
        }
        CHECK(late_touches.load(std::memory_order_relaxed) == 0);
    }
}

// Each element raises a floating-point flag: FE_OVERFLOW where the calling
// thread evaluates it, FE_DIVBYZERO where a worker does.
struct FlagRaising {
    pthread_t caller;
    std::atomic<unsigned> on_workers{0};

    static void run(const void* erased, std::size_t first, std::size_t last, Checkpoint&) {
        FlagRaising& self = *static_cast<FlagRaising*>(const_cast<void*>(erased));
        const bool on_caller = pthread_equal(pthread_self(), self.caller) != 0;
        for (std::size_t i = first; i < last; ++i) {
            std::feraiseexcept(on_caller ? FE_OVERFLOW : FE_DIVBYZERO);
        }
        if (!on_caller) {
            self.on_workers.fetch_add(static_cast<unsigned>(last - first), std::memory_order_relaxed);
        }
    }
};

// The flags the workers raise come back in the result, for the caller to
// raise on its own thread, and only theirs: the caller's stay on the caller.
void worker_flags_reach_the_caller() {
    unsigned with_workers = 0;
    for (unsigned task = 0; task < 2000 && with_workers < 20; ++task) {
        FlagRaising raising{pthread_self()};
        std::feclearexcept(FE_ALL_EXCEPT);
        Proceed poll;
        const LoopResult result =
            run_chunked(LoopPlan{1000, 10, 2 + task % 3}, RangeTask{&raising, FlagRaising::run}, poll);
        CHECK(result.outcome == LoopOutcome::completed);
        CHECK(std::fetestexcept(FE_DIVBYZERO) == 0);
        CHECK((result.worker_flags & FE_OVERFLOW) == 0);
        const bool workers_evaluated = raising.on_workers.load() > 0;
        CHECK(((result.worker_flags & FE_DIVBYZERO) != 0) == workers_evaluated);
        CHECK((std::fetestexcept(FE_OVERFLOW) != 0) == (raising.on_workers.load() < 1000));
        with_workers += workers_evaluated ? 1 : 0;
    }
    CHECK(with_workers > 0);
}

// Callers on several threads at once, as Python threads without the
// interpreter lock call: one of them has the team for its task, the others
// run theirs alone meanwhile, and every caller's every element is still
// evaluated exactly once, by a thread that is inside that caller's task.
void concurrent_callers() {
    constexpr unsigned kCallers = 4;
    static Slot slots[kCallers];
    const unsigned long tasks = task_count() / 20 + 1;
    std::atomic<unsigned long> wrong{0};
    std::vector<std::thread> callers;
    for (unsigned c = 0; c < kCallers; ++c) {
        callers.emplace_back([c, tasks, &wrong] {
            Slot& slot = slots[c];
            for (unsigned long n = 0; n < tasks; ++n) {
                const std::size_t elements = 40 + (n * 7 + c * 13) % 300;
                slot.elements = elements;
                for (std::size_t i = 0; i < elements; ++i) {
                    slot.evaluations[i].store(0, std::memory_order_relaxed);
                }
                slot.open.store(true, std::memory_order_release);
                Proceed poll;
                const unsigned threads = static_cast<unsigned>(2 + (n + c) % 3);
                const LoopResult result =
                    run_chunked(LoopPlan{elements, kMostElements, threads}, RangeTask{&slot, count_once}, poll);
                slot.open.store(false, std::memory_order_release);
                bool exact = result.outcome == LoopOutcome::completed;
                for (std::size_t i = 0; i < elements; ++i) {
                    exact = exact && slot.evaluations[i].load(std::memory_order_relaxed) == 1;
                }
                if (!exact) {
                    wrong.fetch_add(1, std::memory_order_relaxed);
                }
            }
        });
    }
    for (std::thread& caller : callers) {
        caller.join();
    }
    CHECK(wrong.load() == 0);
    CHECK(late_touches.load(std::memory_order_relaxed) == 0);
}

const checks::Check all_checks[] = {
    {"exactly_once_over_many_tasks", exactly_once_over_many_tasks},
    {"worker_flags_reach_the_caller", worker_flags_reach_the_caller},
    {"concurrent_callers", concurrent_callers},
};

}  // namespace

int main(int argc, char** argv) { return checks::run_named(all_checks, argc, argv); }
