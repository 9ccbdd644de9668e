// Sums and products whose NaN does not depend on the order in which the
// compiler puts their operands.
//
// Where both operands of an addition or a multiplication are NaN, the
// hardware returns one of them (x86 and AArch64: the first operand's,
// quieted), and a compiler is free to swap the operands of a commutative
// operation: it did so differently in the strict module's kernel, in the
// ufuncs' double loops and in their float32 loops, which then gave NaNs of
// different signs for the same inputs (a NaN amplitude times the NaN that
// exp(0*inf) gives).  These helpers fix the rule as written: the first
// operand's NaN, quieted, when it is one; else the second's; else (inf*0,
// inf - inf) the NaN the operation itself made.  A result that is not NaN is
// the operation's own, to the bit.  Only the operations whose two operands
// may both be NaN need them: with one NaN operand every order gives that NaN.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace undarix::maths {

namespace ordered_detail {

// `x`, a NaN, with its quiet bit set, as an operation would return it.
inline double quieted(double x) {
    std::uint64_t raw;
    std::memcpy(&raw, &x, sizeof raw);
    raw |= std::uint64_t{1} << 51;
    std::memcpy(&x, &raw, sizeof raw);
    return x;
}

// The NaN of `result`, a NaN, chosen from `first` and then `second`.
inline double first_nan(double first, double second, double result) {
    if (std::isnan(first)) {
        return quieted(first);
    }
    if (std::isnan(second)) {
        return quieted(second);
    }
    return result;
}

}  // namespace ordered_detail

// first*second, with first's NaN where both are NaN.
inline double product(double first, double second) {
    const double result = first * second;
    return std::isnan(result) ? ordered_detail::first_nan(first, second, result) : result;
}

// first + second, with first's NaN where both are NaN.
inline double sum(double first, double second) {
    const double result = first + second;
    return std::isnan(result) ? ordered_detail::first_nan(first, second, result) : result;
}

}  // namespace undarix::maths
