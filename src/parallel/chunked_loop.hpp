// Runs an element-wise evaluation over [0, n) in contiguous chunks, on the
// calling thread and on worker threads started for the call.  Each element
// is written by exactly one thread with the same operations as in a plain
// loop, so the values do not depend on the number of threads or the chunks.
#pragma once

#include <chrono>
#include <cstddef>

namespace undarix::parallel {

// Asked by a running evaluation, between chunks and inside long elements,
// whether to go on.
class Checkpoint {
public:
    // `next` is the first element of the running range whose value has not
    // been written yet.  If the process forks here, a copy of this thread
    // that is lost in the child is taken over from `next` on, so every
    // element before it must be written and none from it on.
    virtual bool keep_going(std::size_t next) = 0;

protected:
    ~Checkpoint() = default;
};

// A range evaluation with its context erased: run(context, first, last,
// checkpoint) evaluates elements [first, last).  It must not throw, touch
// Python objects or allocate from the C heap: it runs on threads that do not
// hold the interpreter lock, with small stacks and no heap of their own.
struct RangeTask {
    const void* context;
    void (*run)(const void* context, std::size_t first, std::size_t last, Checkpoint& checkpoint);
};

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

struct LoopPlan {
    std::size_t elements;
    std::size_t chunk_elements;  // at least 1
    unsigned threads;            // including the calling thread; at least 1
    // How often the calling thread polls: Ctrl-C takes effect within about
    // this long plus one chunk.
    std::chrono::nanoseconds poll_interval = std::chrono::milliseconds(20);
};

enum class LoopOutcome { completed, stopped };

// Runs the task over the plan.  Threads that cannot be started are done
// without: their chunks go to the threads that exist, down to the calling
// thread alone.  When `poll` says stop, every thread stops at its next
// checkpoint, and the function returns once all have.
LoopOutcome run_chunked(const LoopPlan& plan, const RangeTask& task, CallerPoll& poll);

}  // namespace undarix::parallel
