// The tuning constants of the thread runtime and of the loops that use it,
// in one place.  Work is counted in evaluations of the cheapest formula (the
// value of harmonic_oscillator), so that a threshold means the same amount
// of computation on any machine; only the workers' waiting is a duration,
// since what it waits for (NumPy's next loop call, a worker's last part) is.
// Each constant names the measurement that sets it.
#pragma once

#include <chrono>
#include <cstdint>

namespace undarix::parallel {

// A call of its own (every call of the strict module, a ufunc call's first
// loop calls) is split among threads from this much work: waking a sleeping
// worker costs more than it saves below it.  Set from the crossover that
// `scripts/bench --crossover` measures (the strict module on one and on two
// threads, n = 4,096 to 65,536, all five functions): two threads pay from
// about half of it, and it keeps that factor of two for machines whose
// threads wake more slowly.  A build may set it otherwise (CMake's
// UNDARIX_SPLIT_WORK), which is how that measurement sees below it.
#if defined(UNDARIX_SPLIT_WORK)
constexpr std::uint64_t kSplitWork = UNDARIX_SPLIT_WORK;
#else
constexpr std::uint64_t kSplitWork = 8192;
#endif

// A later loop call of a ufunc call whose loop calls have done kSplitWork in
// all (the rows of a sweep, NumPy's buffers of a cast input) is split from
// this much: the call's earlier loop calls woke the workers, NumPy calls the
// loop again within its own iteration's time, and handing half of this much
// to an awake worker costs less than it saves.  Set by the sweeps of
// `benchmarks/bench_ufuncs.py` (rows of 1,000 and of 100,000 points).
constexpr std::uint64_t kAwakeSplitWork = 768;

// A chunk, the unit that stops, polls and the hold before a fork wait for,
// holds about this much work: small enough to balance the threads and to
// stop promptly, large enough that claiming one costs nothing measurable
// (`benchmarks/bench.py`, the long calls).
constexpr std::uint64_t kChunkWork = 8192;

// From this much work a strict call gives the interpreter lock up while it
// evaluates: handing it over and taking it back costs more than it gives
// other threads below it (`benchmarks/bench.py`, calls of 1 to 8,192
// elements).
constexpr std::uint64_t kReleaseLockWork = 4096;

// A ufunc call runs pending signal handlers each time its loop calls have
// done this much work since it last did (a millisecond's worth of the
// cheapest formula), so that Ctrl-C stops a sweep of short rows as promptly
// as one long loop (`benchmarks/bench_ufunc_interrupts.py`).
constexpr std::uint64_t kPollWork = 65536;

// How long the team's workers stay awake after their last task: the gap
// between two loop calls of one ufunc call is NumPy's iteration, a
// microsecond or two, so the next one finds them awake, and an idle team
// gives the cores back soon after.  A duration, since what it bridges is one
// (`benchmarks/bench_ufuncs.py`, the sweeps).
constexpr std::chrono::microseconds kWorkerSpinTime{50};

// The longest a worker spins while a task it has no part in goes on: a last
// part may be long (elements of millions of harmonics).
constexpr std::chrono::microseconds kBusySpinLimit{1000};

// How long the caller polls for the workers' last parts before it yields its
// core (longer means a worker was preempted mid-part, and may be waiting for
// this very core), and how long it yields before it sleeps until a part is
// done (parts that take longer are long ones, and yielding all along would
// keep a core busy).  `benchmarks/bench.py`, the split calls.
constexpr std::chrono::microseconds kCallerSpinTime{20};
constexpr std::chrono::microseconds kCallerYieldTime{1000};

static_assert(kSplitWork >= 2 && kAwakeSplitWork >= 2, "each thread must get some work");
static_assert(kAwakeSplitWork <= kSplitWork, "awake workers pay sooner than sleeping ones");
static_assert(kSplitWork >= kReleaseLockWork, "a call that splits must give the lock up");

}  // namespace undarix::parallel
