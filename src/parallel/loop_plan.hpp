// How a chunked loop divides its elements, and among how many threads: the
// plan of one loop from its work alone, by the thresholds of
// parallel/split_policy.hpp.
#pragma once

#include "parallel/split_policy.hpp"

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

// The plan of a loop of `elements` elements that costs `work` in all, the
// first of its call or a call of its own (as every call of the strict module
// is): chunks of about kChunkWork, and split from kSplitWork, with as many
// threads as pay, each getting at least half of kSplitWork.  The caller
// limits the threads further to the user's setting, which it need not read
// when the plan says 1.
LoopPlan plan_threads(std::uint64_t work, std::size_t elements) noexcept;

// The plan of one loop call of a ufunc call whose earlier loop calls did
// `work_before` in all.  Once the call's work reaches kSplitWork with this
// loop call, the earlier ones have woken the workers (or this one is the
// call's first and long enough to), and a later loop call splits from
// kAwakeSplitWork.  Depends on the call's own work alone: never on a clock
// or on earlier calls.
LoopPlan plan_loop_call(std::uint64_t work, std::size_t elements, std::uint64_t work_before) noexcept;

}  // namespace undarix::parallel
