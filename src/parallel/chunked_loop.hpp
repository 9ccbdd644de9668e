// Runs an element-wise evaluation over [0, n) in contiguous chunks, on the
// calling thread and on the process's worker team.  Each element is written
// by exactly one thread with the same operations as in a plain loop, so the
// values do not depend on the number of threads or the chunks.
#pragma once

#include "parallel/loop_plan.hpp"
#include "parallel/range_task.hpp"

namespace undarix::parallel {

// Called on the calling thread, at most once per interval, while the loop
// runs; returns false to stop the loop.  It may fork the process: the
// workers are then held at their checkpoints while the process is copied,
// and the child finishes the loop on the calling thread alone.  It may also
// run another loop, which finds the team busy and runs alone.
class CallerPoll {
public:
    virtual bool proceed() = 0;

protected:
    ~CallerPoll() = default;
};

enum class LoopOutcome { completed, stopped };

struct LoopResult {
    LoopOutcome outcome;
    // The floating-point exception flags (FE_*) that the loop raised on
    // other threads, for the caller to raise on its own; what the calling
    // thread evaluated raised its flags there directly.
    int worker_flags;
};

// Runs the task over the plan, on up to plan.threads threads.  When the team
// is busy with another loop (another thread's, or this thread's own, whose
// poll started this one), or its threads cannot be started, the threads that
// exist do the work, down to the calling thread alone.  When `poll` says
// stop, every thread stops at its next checkpoint, and the function returns
// once all have.
LoopResult run_chunked(const LoopPlan& plan, const RangeTask& task, CallerPoll& poll);

}  // namespace undarix::parallel
