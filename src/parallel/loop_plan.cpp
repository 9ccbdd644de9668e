#include "parallel/loop_plan.hpp"

#include "parallel/thread_count_setting.hpp"

namespace undarix::parallel {
namespace {

LoopPlan plan_from(std::uint64_t work, std::size_t elements, std::uint64_t split) noexcept {
    LoopPlan plan{elements, 1, 1};
    if (elements == 0) {
        return plan;
    }
    const std::uint64_t per_element = work > elements ? (work - 1) / elements + 1 : 1;
    plan.chunk_elements = per_element < kChunkWork ? static_cast<std::size_t>(kChunkWork / per_element) : 1;
    if (work < split || elements < 2) {
        return plan;
    }
    std::uint64_t threads = work / (split / 2);
    if (threads > elements) {
        threads = elements;
    }
    plan.threads = threads < kMaxThreads ? static_cast<unsigned>(threads) : kMaxThreads;
    return plan;
}

}  // namespace

LoopPlan plan_threads(std::uint64_t work, std::size_t elements) noexcept {
    return plan_from(work, elements, kSplitWork);
}

LoopPlan plan_loop_call(std::uint64_t work, std::size_t elements, std::uint64_t work_before) noexcept {
    const std::uint64_t total = work_before <= UINT64_MAX - work ? work_before + work : UINT64_MAX;
    const bool awake = work_before > 0 && total >= kSplitWork;
    return plan_from(work, elements, awake ? kAwakeSplitWork : kSplitWork);
}

}  // namespace undarix::parallel
