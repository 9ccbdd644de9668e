// The work a chunked loop runs: a range evaluation with its context erased,
// and the checkpoint it asks whether to go on.
#pragma once

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

// The checkpoint of a range run straight through: nothing stops it.
class NeverStop final : public Checkpoint {
public:
    bool keep_going(std::size_t) override { return true; }
};

// run(context, first, last, checkpoint) evaluates elements [first, last).
// It must not throw, touch Python objects or allocate from the C heap: it
// runs on threads that do not hold the interpreter lock, with small stacks
// and no heap of their own.
struct RangeTask {
    const void* context;
    void (*run)(const void* context, std::size_t first, std::size_t last, Checkpoint& checkpoint);
};

}  // namespace undarix::parallel
