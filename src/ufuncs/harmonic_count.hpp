// fourier_square_wave's harmonic count as the loops read it, and the work a
// loop call's counts add up to, shared by the value and Jacobian loops.
#pragma once

#include "frame/python.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace undarix::ufuncs {

// One operand element, read without assuming NumPy aligned it.
template <class T>
T load(const char* address) {
    T value;
    std::memcpy(&value, address, sizeof value);
    return value;
}

// A negative count is outside the domain: such an element is NaN.
template <class Count>
bool is_negative(Count count) {
    if constexpr (std::is_signed_v<Count>) {
        return count < 0;
    } else {
        return false;
    }
}

inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

inline std::uint64_t saturating_multiply(std::uint64_t a, std::uint64_t b) {
    return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

// The work of a loop call's `n` elements whose counts start at `counts`,
// `count_step` bytes apart: the sum of element_work(count) over them, added
// up before anything is evaluated so that the driver can choose the number
// of threads (long elements split across threads however few they are).
template <class Count, class ElementWork>
std::uint64_t count_work(const char* counts, npy_intp count_step, std::size_t n, ElementWork&& element_work) {
    std::uint64_t work = 0;
    const std::size_t distinct = count_step == 0 && n > 0 ? 1 : n;
    for (std::size_t i = 0; i < distinct; ++i) {
        work = saturating_add(work, element_work(load<Count>(counts + static_cast<npy_intp>(i) * count_step)));
    }
    return distinct == 1 ? saturating_multiply(work, n) : work;
}

}  // namespace undarix::ufuncs
