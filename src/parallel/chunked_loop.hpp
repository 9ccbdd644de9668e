// Runs an element-wise evaluation over [0, n) in contiguous chunks, on the
// calling thread and on worker threads started for the call.  Each element
// is written by exactly one thread with the same operations as in a plain
// loop, so the values do not depend on the number of threads or the chunks.
#pragma once

#include "parallel/loop_plan.hpp"
#include "parallel/range_task.hpp"

namespace undarix::parallel {

// Called on the calling thread, at most once per interval, while the loop
// runs; returns false to stop the loop.  It may fork the process: the other
// threads are then held at their checkpoints while the process is copied,
// and the child finishes the loop on the calling thread alone.
class CallerPoll {
public:
    virtual bool proceed() = 0;

protected:
    ~CallerPoll() = default;
};

enum class LoopOutcome { completed, stopped };

// Runs the task over the plan.  Threads that cannot be started are done
// without: their chunks go to the threads that exist, down to the calling
// thread alone.  When `poll` says stop, every thread stops at its next
// checkpoint, and the function returns once all have.
LoopOutcome run_chunked(const LoopPlan& plan, const RangeTask& task, CallerPoll& poll);

}  // namespace undarix::parallel
