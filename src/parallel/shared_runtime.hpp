// One thread runtime per process for both modules.  Each module carries its
// own copy of this layer; the first one imported hands its copy's entry
// point to the other (kernels/shared_team.hpp does the handing, through the
// interpreter), whose chunked loops then run on the first one's team: the
// process has one worker team, however many modules use it.
#pragma once

#include "parallel/chunked_loop.hpp"

namespace undarix::parallel {

// What one copy of the runtime offers another.  `abi` and `size` must match
// for the other to use it: both copies come from one build, and a copy from
// another build is not used (each then keeps its own team).
struct RuntimeEntries {
    unsigned abi;
    unsigned size;
    LoopResult (*run_chunked)(const LoopPlan& plan, const RangeTask& task, CallerPoll& poll);
};

constexpr unsigned kRuntimeAbi = 1;

// This copy's entries, for another module to use.
const RuntimeEntries& own_runtime() noexcept;

// From now on run_chunked runs on `entries`' runtime (another copy's), when
// they match this copy; false, nothing changed, when they do not.  Called
// once, at the module's import, before any loop runs.
bool use_runtime(const RuntimeEntries* entries) noexcept;

}  // namespace undarix::parallel
