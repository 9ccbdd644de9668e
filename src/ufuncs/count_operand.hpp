// Operands as the loops read them, and a waveform's count parameter (an
// integer operand of int64 or uint64) with the work its elements add up to.
#pragma once

#include "ufuncs/ufunc_api.hpp"
#include "maths/saturating_arithmetic.hpp"

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

// The work of a loop call's `n` elements whose counts start at `counts`,
// `count_step` bytes apart: the sum of element_work(count) over them, added
// up before anything is evaluated so that the driver can choose the number
// of threads (long elements split across threads however few they are).
template <class Count, class ElementWork>
std::uint64_t count_work(const char* counts, npy_intp count_step, std::size_t n, ElementWork&& element_work) {
    std::uint64_t work = 0;
    const std::size_t distinct = count_step == 0 && n > 0 ? 1 : n;
    for (std::size_t i = 0; i < distinct; ++i) {
        work = maths::saturating_add(work,
                                     element_work(load<Count>(counts + static_cast<npy_intp>(i) * count_step)));
    }
    return distinct == 1 ? maths::saturating_multiply(work, n) : work;
}

}  // namespace undarix::ufuncs
