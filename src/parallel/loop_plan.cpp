#include "parallel/loop_plan.hpp"

#include "parallel/thread_count_setting.hpp"

namespace undarix::parallel {
namespace {

constexpr std::uint64_t kChunkWork = 8192;

}  // namespace

LoopPlan plan_threads(std::uint64_t work, std::size_t elements, LoopKind kind) noexcept {
    LoopPlan plan{elements, 1, 1};
    if (elements == 0) {
        return plan;
    }
    const std::uint64_t per_element = work > elements ? (work - 1) / elements + 1 : 1;
    plan.chunk_elements = per_element < kChunkWork ? static_cast<std::size_t>(kChunkWork / per_element) : 1;
    const std::uint64_t split = kind == LoopKind::single ? kSplitWork : kRowSplitWork;
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

}  // namespace undarix::parallel
