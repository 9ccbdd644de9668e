// The five waveform formulas, one time value at a time.
//
// Every line is one IEEE double operation in a fixed order; regrouping any of
// them changes the last bits of the result, so they must stay as written and
// the build must not contract a*b+c into a fused multiply-add.  A sum or
// product of two values that may both be NaN is written A::product(a, b) or
// A::sum(a, b) over an arithmetic A (maths/ordered_nan.hpp), so that the NaN
// that comes out is the same in every loop that inlines the formula.  The
// Fourier sum stays in ordered arithmetic throughout: its sines cost far more
// than the checks, and computing a NaN result again would double a long
// sum's time.  Only the C runtime's exp,
// sin and cos are used, and fmod or an exact remainder that returns the
// same bits.  Nothing here knows Python or NumPy.
#pragma once

#include "maths/full_turn_remainder.hpp"
#include "maths/ordered_nan.hpp"

#include <cmath>
#include <cstdint>

namespace undarix::maths {

constexpr double kFourOverPi = 1.2732395447351628;
constexpr double kFullTurn = 6.283185307179586;
constexpr double kHoursPerDay = 24.0;
constexpr double kGaussianFactor = -0.5;
constexpr double kThirdHarmonicWeight = 0.5;
constexpr double kThirdHarmonicMultiplier = 3.0;

// exp(t*gamma)*amplitude: growth for gamma > 0, decay for gamma < 0.
template <class A = OrderedArithmetic>
double envelope(double t, double amplitude, double gamma) {
    double e = std::exp(A::product(t, gamma));
    e = A::product(e, amplitude);
    return e;
}

inline double harmonic_oscillator(double t, double amplitude, double gamma, double omega, double phi, double y) {
    return first_operand_nans(
        [](auto arithmetic, double t, double amplitude, double gamma, double omega, double phi, double y) {
            using A = decltype(arithmetic);
            const double e = envelope<A>(t, amplitude, gamma);
            const double c = std::cos(A::product(A::sum(t, phi), omega));
            return A::sum(A::product(c, e), y);
        },
        t, amplitude, gamma, omega, phi, y);
}

inline double pseudo_square_wave(double t, double amplitude, double gamma, double omega, double phi, double y) {
    return first_operand_nans(
        [](auto arithmetic, double t, double amplitude, double gamma, double omega, double phi, double y) {
            using A = decltype(arithmetic);
            const double e = envelope<A>(t, amplitude, gamma);
            const double x = A::product(A::sum(t, phi), omega);
            const double s1 = std::sin(x);
            const double s3 = std::sin(x * kThirdHarmonicMultiplier);
            return A::sum(A::product(A::sum(s3 * kThirdHarmonicWeight, s1), e), y);
        },
        t, amplitude, gamma, omega, phi, y);
}

// Harmonics summed between two calls of fourier_square_wave's `keep_going`:
// a few tens of microseconds of work, so a long call can be stopped promptly
// even when a single element takes seconds.
constexpr std::uint64_t kHarmonicsPerCheck = 4096;

// Sums exactly `num_harmonics` odd harmonics k = 1, 3, 5, ...  The count, not
// 2*N, bounds the loop, so no N can wrap around to fewer terms.  `keep_going`
// () -> bool is asked after every kHarmonicsPerCheck terms; when it says no
// the sum is abandoned and the value returned is meaningless.  It does not
// take part in the arithmetic, so the bits do not depend on it.
template <class KeepGoing>
double fourier_square_wave(double t, double amplitude, double gamma, double omega, double phi, double y,
                           std::uint64_t num_harmonics, KeepGoing&& keep_going) {
    const double e = envelope(t, amplitude, gamma);
    const double u = sum(t, phi);
    double s = 0.0;
    std::uint64_t k = 1;
    std::uint64_t remaining = num_harmonics;
    while (remaining > 0) {
        const std::uint64_t block = remaining < kHarmonicsPerCheck ? remaining : kHarmonicsPerCheck;
        for (std::uint64_t term_index = 0; term_index < block; ++term_index, k += 2) {
            const double harmonic = static_cast<double>(k);
            double term = std::sin(product(harmonic * omega, u));
            term = term * kFourOverPi;
            term = term / harmonic;
            s = sum(s, term);
        }
        remaining -= block;
        if (remaining > 0 && !keep_going()) {
            break;
        }
    }
    return sum(product(e, s + 1.0), y);
}

inline double pseudo_cycloid_wave(double t, double amplitude, double gamma, double omega, double phi, double y) {
    return first_operand_nans(
        [](auto arithmetic, double t, double amplitude, double gamma, double omega, double phi, double y) {
            using A = decltype(arithmetic);
            const double e = envelope<A>(t, amplitude, gamma);
            const double u = A::sum(t, phi);
            const double c2 = std::cos(A::product(omega + omega, u));
            const double c1 = std::cos(A::product(u, omega));
            return A::sum(A::product(c2 - (c1 + c1), e), y);
        },
        t, amplitude, gamma, omega, phi, y);
}

// Where in each turn the pulse starts; computed once per call.
inline double transient_onset(double period) { return (period / kHoursPerDay) * kFullTurn; }

inline double transient_impulse(double t, double onset, double amplitude, double width, double equilibrium) {
    const double d = full_turn_remainder(t) - onset;  // fmod(t, kFullTurn)
    double h = 0.0;
    // A quiet comparison: false for NaN as well, without raising the
    // "invalid" flag that d >= 0.0 raises for a NaN time or period.
    if (std::isgreaterequal(d, 0.0)) {
        double q = d / width;
        q = q * q;
        q = q * kGaussianFactor;
        h = std::exp(q);
    }
    // Always multiplied, so an infinite amplitude with h = 0 gives NaN.  Only
    // the tail can meet two NaNs, so only the tail is computed again.
    return first_operand_nans(
        [](auto arithmetic, double h, double amplitude, double equilibrium) {
            using A = decltype(arithmetic);
            return A::sum(A::product(h, amplitude), equilibrium);
        },
        h, amplitude, equilibrium);
}

}  // namespace undarix::maths
