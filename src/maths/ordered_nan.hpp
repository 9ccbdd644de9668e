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
//
// The check costs a comparison and a branch for every operation, about a
// tenth of a formula's instructions, for results that are almost never NaN.
// So a formula is written once over an arithmetic (PlainArithmetic or
// OrderedArithmetic below) and run in plain arithmetic first; only a result
// with a NaN in it is computed again in the ordered one (first_operand_nans).
// Both give the same bits wherever the result is not NaN: the operand order
// decides which NaN comes out of an operation, never whether one does, and a
// NaN's sign and payload reach no result that is not NaN (exp, sin, cos, the
// remainder and the quiet comparisons give the same for every NaN).  Running
// the same operations twice raises no flag that the first run did not.
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

// The arithmetic that formulas are written over.
struct PlainArithmetic {
    static double product(double first, double second) { return first * second; }
    static double sum(double first, double second) { return first + second; }
};

struct OrderedArithmetic {
    static double product(double first, double second) { return maths::product(first, second); }
    static double sum(double first, double second) { return maths::sum(first, second); }
};

inline bool has_nan(double value) { return std::isnan(value); }

namespace ordered_detail {

// The second run, kept out of the loops that inline the first, so that
// their code stays that of the plain formula.
#if defined(__GNUC__)
#define UNDARIX_COLD_PATH __attribute__((noinline, cold))
#else
#define UNDARIX_COLD_PATH
#endif

template <class Formula, class... Values>
UNDARIX_COLD_PATH auto in_ordered_arithmetic(Formula formula, Values... values) {
    return formula(OrderedArithmetic{}, values...);
}

#undef UNDARIX_COLD_PATH

}  // namespace ordered_detail

// formula(arithmetic, values...) in plain arithmetic, or in ordered
// arithmetic where that result has a NaN in it (has_nan, overloaded for
// results of several values).  `formula` is a lambda without captures, its
// inputs passed as values: a capture would be stored to memory for the
// second run on every element, ahead of the test that needs it.
template <class Formula, class... Values>
auto first_operand_nans(Formula formula, Values... values) {
    const auto plain = formula(PlainArithmetic{}, values...);
    if (has_nan(plain)) {
        return ordered_detail::in_ordered_arithmetic(formula, values...);
    }
    return plain;
}

}  // namespace undarix::maths
