// How a chunked loop divides its elements, among how many threads, and from
// how much work splitting a loop among threads pays.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace undarix::parallel {

struct LoopPlan {
    std::size_t elements;
    // At most this many elements a chunk (at least 1): stops, polls and the
    // hold before a fork take effect between chunks.  The team cuts finer
    // where there are too few chunks to give each of its threads several.
    std::size_t chunk_elements;
    unsigned threads;  // the most that run it, the calling thread included; at least 1
    // How often the calling thread polls: Ctrl-C takes effect within about
    // this long plus one chunk.
    std::chrono::nanoseconds poll_interval = std::chrono::milliseconds(20);
};

// What a loop's caller can expect of the team's workers when the loop
// starts.  Splitting pays sooner when they are awake.
enum class LoopKind {
    // A call of its own, as every call of the strict module is: the workers
    // have most likely gone to sleep since the last one, and waking one
    // takes tens of microseconds.
    single,
    // One of a run of loop calls microseconds apart, as NumPy calls a
    // ufunc's inner loop once for each row of a sweep, once the run has
    // woken the workers: they are still awake (they spin for a while after
    // each task).
    row,
};

// A single loop of this much work (evaluations of the cheapest formula) or
// more is split among threads.  From the crossover that `scripts/bench
// --crossover` measures (the strict module on one and on two threads, n =
// 4,096 to 65,536, all five functions), on the idle 2-core machine: two
// threads took 0.54-0.70 of one thread's time already at 4,096 evaluations,
// with spreads of up to a third there, and 0.53-0.67 at 8,192, where they
// were also ahead of NumPy's expression for every function.  8,192 keeps a
// factor of two from where splitting stops paying here, for machines whose
// threads wake more slowly.  A build may set it otherwise (CMake's
// UNDARIX_SPLIT_WORK), which is how that measurement sees below it.
#if defined(UNDARIX_SPLIT_WORK)
constexpr std::uint64_t kSplitWork = UNDARIX_SPLIT_WORK;
#else
constexpr std::uint64_t kSplitWork = 8192;
#endif
// A row of a run splits from here: 10 to 20 microseconds of work, more than
// handing half of it to an awake worker costs.
constexpr std::uint64_t kRowSplitWork = 768;
// How long the team's workers stay awake after their last task: the gap
// between two rows of a sweep is a microsecond or two (NumPy's iteration),
// so the next row finds them awake, and an idle team gives the cores back
// at once.  A loop call that follows its thread's last one of
// kRowSplitWork or more within this time is one of a run.
constexpr std::chrono::microseconds kWorkerSpinTime{50};
static_assert(kSplitWork >= 2 && kRowSplitWork >= 2, "each thread must get some work");

// The plan of a loop of `elements` elements that costs `work` in all:
// chunks of about 8,192 evaluations (30 to 100 microseconds: small enough
// to balance the threads and to stop promptly, large enough that claiming
// one costs nothing measurable), and as many threads as pay, each getting
// at least half of the work from which its kind splits.  The caller limits
// the threads further to the user's setting, which it need not read when
// the plan says 1.
LoopPlan plan_threads(std::uint64_t work, std::size_t elements, LoopKind kind) noexcept;

}  // namespace undarix::parallel
