// fmod(t, 2π) for the repeating impulse, exactly, without the C runtime's
// slow path for large |t|.
//
// The remainder of two doubles is always exactly representable, so every
// correct implementation returns the same bits as the C runtime's fmod.  The
// runtime reduces large arguments one quotient bit at a time, which costs
// hundreds of cycles for times of 1e6 and beyond.  Here t = m·2^e and
// 2π = M·2^E with 53-bit integers m and M, so for e ≥ E
//     fmod(t, 2π) = sign(t) · ((m · 2^(e−E)) mod M) · 2^E,
// and 2^(e−E) mod M comes from a table built at compile time: one 128-bit
// multiplication and one division per element where the compiler has 128-bit
// integers, six 64-bit multiply-and-divide steps where it has not.
#pragma once

#include "compiler_support.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace undarix::maths {

namespace full_turn {

// 2π = kMantissa · 2^kExponent exactly.
constexpr std::uint64_t kMantissa = 0x1921FB54442D18ULL;
constexpr int kExponent = -50;
static_assert(static_cast<double>(kMantissa) * 0x1p-50 == 6.283185307179586,
              "kMantissa * 2^kExponent must be the double nearest 2π");
static_assert(kExponent == -50, "the scaling below multiplies by 2^-50");

// Largest e − E for a finite double: e ≤ 1023 − 52.
constexpr int kMaxShift = 1023 - 52 - kExponent;

constexpr std::array<std::uint64_t, kMaxShift + 1> make_powers() {
    std::array<std::uint64_t, kMaxShift + 1> powers{};
    std::uint64_t power = 1;
    for (int k = 0; k <= kMaxShift; ++k) {
        powers[k] = power;
        power = (power * 2) % kMantissa;  // power < 2^53: no overflow
    }
    return powers;
}

inline constexpr std::array<std::uint64_t, kMaxShift + 1> kPowersOfTwo = make_powers();

// (a · b) mod kMantissa for a, b < kMantissa < 2^53, exactly, in 64-bit
// arithmetic only.  Horner's scheme over b in base 2^10, top digit first.
// Each step keeps r < kMantissa < 2^53, so r·2^10 < 2^63 and
// a·digit < 2^53·2^10 = 2^63: their sum fits in 64 bits.  Digits at 50, 40,
// …, 0 cover b's 53 bits.
inline std::uint64_t multiply_mod_portable(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r = 0;
    for (int shift = 50; shift >= 0; shift -= 10) {
        const std::uint64_t digit = (b >> shift) & 0x3FF;
        r = ((r << 10) + a * digit) % kMantissa;
    }
    return r;
}

#if UNDARIX_HAS_INT128
// The same product through one 128-bit multiplication and division.
inline std::uint64_t multiply_mod_wide(std::uint64_t a, std::uint64_t b) {
    return static_cast<std::uint64_t>(static_cast<unsigned __int128>(a) * b % kMantissa);
}
#endif

inline std::uint64_t multiply_mod(std::uint64_t a, std::uint64_t b) {
#if UNDARIX_HAS_INT128
    return multiply_mod_wide(a, b);
#else
    return multiply_mod_portable(a, b);
#endif
}

// Below this magnitude the runtime's fmod needs only a few reduction steps and
// is as fast; it also covers subnormals, zeros, infinities and NaN.
constexpr double kLargeTime = 1024.0;

// fmod(t, 2π) with `MultiplyMod` as the modular product.
template <std::uint64_t (*MultiplyMod)(std::uint64_t, std::uint64_t)>
double remainder_with(double t) {
    // Quiet: a NaN time takes the runtime's path without raising "invalid".
    if (!std::isgreaterequal(std::fabs(t), kLargeTime) || std::isinf(t)) {
        return std::fmod(t, 6.283185307179586);
    }
    std::uint64_t raw;
    std::memcpy(&raw, &t, sizeof raw);
    const bool negative = (raw >> 63) != 0;
    const int biased = static_cast<int>((raw >> 52) & 0x7FF);  // normal: |t| ≥ 1024
    const std::uint64_t mantissa = (raw & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
    const int shift = (biased - 1075) - kExponent;  // e − E, 0 ≤ shift ≤ kMaxShift
    const std::uint64_t remainder =
        MultiplyMod(mantissa % kMantissa, kPowersOfTwo[static_cast<std::size_t>(shift)]);
    // remainder < 2^53 and the scaling is by a power of two: both exact.
    const double magnitude = static_cast<double>(remainder) * 0x1p-50;
    return negative ? -magnitude : magnitude;
}

}  // namespace full_turn

inline double full_turn_remainder(double t) { return full_turn::remainder_with<full_turn::multiply_mod>(t); }

}  // namespace undarix::maths
