// Sums and products of work estimates that stop at the largest value rather
// than wrap around to a small one.
#pragma once

#include <cstdint>

namespace undarix::maths {

inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

inline std::uint64_t saturating_multiply(std::uint64_t a, std::uint64_t b) {
    return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

}  // namespace undarix::maths
