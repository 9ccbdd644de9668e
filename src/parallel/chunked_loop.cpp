#include "parallel/chunked_loop.hpp"

#include "parallel/caller_checkpoint.hpp"
#include "parallel/fork_guard.hpp"
#include "parallel/shared_runtime.hpp"
#include "parallel/worker_team.hpp"

#include <atomic>

namespace undarix::parallel {
namespace {

// The loop on the calling thread alone, chunk by chunk, with its polls.
void run_alone(const LoopPlan& plan, const RangeTask& task, CallerCheckpoint& checkpoint) {
    const std::size_t chunk = plan.chunk_elements > 0 ? plan.chunk_elements : 1;
    for (std::size_t first = 0; first < plan.elements && !checkpoint.stopped();) {
        const std::size_t last = plan.elements - first < chunk ? plan.elements : first + chunk;
        task.run(task.context, first, last, checkpoint);
        if (!checkpoint.keep_going(last)) {
            return;
        }
        first = last;
    }
}

// Gives the team back on every way out, unwinding included.
class Claimed {
public:
    explicit Claimed(WorkerTeam& team) noexcept : team_(team) {}
    ~Claimed() { team_.unclaim(); }
    Claimed(const Claimed&) = delete;
    Claimed& operator=(const Claimed&) = delete;

private:
    WorkerTeam& team_;
};

// The runtime whose team this copy's loops run on: its own, unless another
// module's was adopted at import.  Written once, at the import, before this
// copy's module runs any loop; atomic all the same, since without the
// interpreter lock another module's loops may be running meanwhile.
std::atomic<const RuntimeEntries*> adopted{nullptr};

LoopResult run_here(const LoopPlan& plan, const RangeTask& task, CallerPoll& poll);

const RuntimeEntries own_entries{kRuntimeAbi, sizeof(RuntimeEntries), run_here};

}  // namespace

const RuntimeEntries& own_runtime() noexcept { return own_entries; }

bool use_runtime(const RuntimeEntries* entries) noexcept {
    if (entries == nullptr || entries->abi != kRuntimeAbi || entries->size != sizeof(RuntimeEntries) ||
        entries->run_chunked == nullptr) {
        return false;
    }
    adopted.store(entries->run_chunked == run_here ? nullptr : entries, std::memory_order_release);
    return true;
}

LoopResult run_chunked(const LoopPlan& plan, const RangeTask& task, CallerPoll& poll) {
    const RuntimeEntries* entries = adopted.load(std::memory_order_acquire);
    return entries != nullptr ? entries->run_chunked(plan, task, poll) : run_here(plan, task, poll);
}

namespace {

LoopResult run_here(const LoopPlan& plan, const RangeTask& task, CallerPoll& poll) {
    std::atomic<bool> stop{false};
    if (plan.elements == 0) {
        return {LoopOutcome::completed, 0};
    }
    CallerCheckpoint checkpoint(stop, poll, plan.poll_interval);
    int worker_flags = 0;
    // No more threads than elements: the team is grown for no more.
    const unsigned threads = plan.threads < plan.elements ? plan.threads : static_cast<unsigned>(plan.elements);
    WorkerTeam* team = threads > 1 ? WorkerTeam::claim(threads) : nullptr;
    if (team == nullptr) {
        run_alone(plan, task, checkpoint);
    } else {
        const Claimed claimed(*team);
        const unsigned helpers = team->helpers_for(threads);
        if (helpers == 0) {
            run_alone(plan, task, checkpoint);
        } else {
            const ForkGuard guard(*team);
            worker_flags = team->run(plan, task, helpers, checkpoint, stop);
        }
    }
    return {stop.load(std::memory_order_relaxed) ? LoopOutcome::stopped : LoopOutcome::completed, worker_flags};
}

}  // namespace

}  // namespace undarix::parallel
