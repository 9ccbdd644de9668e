// How a chunked loop divides its elements, among how many threads.
#pragma once

#include <chrono>
#include <cstddef>

namespace undarix::parallel {

struct LoopPlan {
    std::size_t elements;
    std::size_t chunk_elements;  // at least 1
    unsigned threads;            // including the calling thread; at least 1
    // How often the calling thread polls: Ctrl-C takes effect within about
    // this long plus one chunk.
    std::chrono::nanoseconds poll_interval = std::chrono::milliseconds(20);
};

}  // namespace undarix::parallel
