// The partial derivatives of the five waveforms with respect to their
// continuous parameters, one time value at a time.
//
// Each derivative is written in one fixed order of IEEE double operations,
// like the formulas of maths/formulas.hpp, and uses the same intermediate
// values where they are the same number (the growth exp(t*gamma), the
// envelope, the product of shape and envelope).  Only the C runtime's exp,
// sin and cos are used, and the exact remainder of the full turn.  Sums and
// products of two values that may both be NaN are ordered as in the
// formulas, plain first and ordered where a result is NaN
// (maths/ordered_nan.hpp), and every comparison is quiet, so that
// a NaN input raises no flag the value does not raise.  Nothing here knows
// Python or NumPy.
//
// The damped waveforms are  value = w(x) * e + y  with the envelope
// e = exp(t*gamma)*A, the shifted time u = t + phi and the phase x = u*omega;
// w is the waveform's shape and v = dw/dx its slope.  Then
//     d/dA     = w * g                  (g = exp(t*gamma), e = g*A)
//     d/dgamma = (w * e) * t
//     d/domega = (v * e) * u
//     d/dphi   = (v * e) * omega
//     d/dy     = 1
// each waveform supplying w and v from the same arguments its formula
// passes to sin and cos.
#pragma once

#include "maths/formulas.hpp"
#include "maths/full_turn_remainder.hpp"
#include "maths/ordered_nan.hpp"

#include <cmath>
#include <cstdint>

namespace undarix::maths {

// d/dx of sin(3x)*0.5: the third harmonic's weight times its multiplier.
constexpr double kThirdHarmonicSlopeWeight = kThirdHarmonicWeight * kThirdHarmonicMultiplier;
// d/dperiod of the onset (period/24)*2pi, the double nearest 2pi/24.
constexpr double kTurnPerHour = kFullTurn / kHoursPerDay;
static_assert(kThirdHarmonicSlopeWeight == 1.5, "the slope weight is exact");

struct DampedGradient {
    double amplitude;
    double gamma;
    double omega;
    double phi;
    double y;
};

struct TransientGradient {
    double amplitude;
    double period;
    double width;
    double equilibrium;
};

// The envelope's two steps, as envelope takes them, keeping the
// growth exp(t*gamma) that d/dA needs.
struct EnvelopeSteps {
    double growth;  // exp(t*gamma)
    double value;   // exp(t*gamma)*amplitude
};

template <class A = OrderedArithmetic>
EnvelopeSteps envelope_steps(double t, double amplitude, double gamma) {
    const double growth = std::exp(A::product(t, gamma));
    return {growth, A::product(growth, amplitude)};
}

// The shared head of the damped waveforms' derivatives: the envelope's
// steps, u = t + phi and the phase x = u*omega, in the value's order.
struct DampedPhase {
    EnvelopeSteps envelope;
    double u;
    double x;
};

template <class A = OrderedArithmetic>
DampedPhase damped_phase(double t, double amplitude, double gamma, double omega, double phi) {
    const EnvelopeSteps envelope = envelope_steps<A>(t, amplitude, gamma);
    const double u = A::sum(t, phi);
    return {envelope, u, A::product(u, omega)};
}

// The shared tail of the four damped waveforms' derivatives (see the top).
template <class A = OrderedArithmetic>
DampedGradient damped_gradient(double t, double u, double omega, const EnvelopeSteps& envelope, double shape,
                               double slope) {
    DampedGradient gradient;
    gradient.amplitude = A::product(shape, envelope.growth);
    gradient.gamma = A::product(A::product(shape, envelope.value), t);
    const double slope_envelope = A::product(slope, envelope.value);
    gradient.omega = A::product(slope_envelope, u);
    gradient.phi = A::product(slope_envelope, omega);
    gradient.y = 1.0;
    return gradient;
}

inline bool has_nan(const DampedGradient& gradient) {
    return std::isnan(gradient.amplitude) || std::isnan(gradient.gamma) || std::isnan(gradient.omega) ||
           std::isnan(gradient.phi);
}

inline bool has_nan(const TransientGradient& gradient) {
    return std::isnan(gradient.period) || std::isnan(gradient.width);
}

// w = cos(x), v = -sin(x), x = (t + phi)*omega.
inline DampedGradient harmonic_oscillator_gradient(double t, double amplitude, double gamma, double omega, double phi,
                                                   double y) {
    static_cast<void>(y);
    return first_operand_nans(
        [](auto arithmetic, double t, double amplitude, double gamma, double omega, double phi) {
            using A = decltype(arithmetic);
            const auto [envelope, u, x] = damped_phase<A>(t, amplitude, gamma, omega, phi);
            const double c = std::cos(x);
            const double s = std::sin(x);
            return damped_gradient<A>(t, u, omega, envelope, c, -s);
        },
        t, amplitude, gamma, omega, phi);
}

// w = sin(x*3)*0.5 + sin(x), v = cos(x*3)*1.5 + cos(x).
inline DampedGradient pseudo_square_wave_gradient(double t, double amplitude, double gamma, double omega, double phi,
                                                  double y) {
    static_cast<void>(y);
    return first_operand_nans(
        [](auto arithmetic, double t, double amplitude, double gamma, double omega, double phi) {
            using A = decltype(arithmetic);
            const auto [envelope, u, x] = damped_phase<A>(t, amplitude, gamma, omega, phi);
            const double x3 = x * kThirdHarmonicMultiplier;
            const double shape = A::sum(std::sin(x3) * kThirdHarmonicWeight, std::sin(x));
            const double slope = A::sum(std::cos(x3) * kThirdHarmonicSlopeWeight, std::cos(x));
            return damped_gradient<A>(t, u, omega, envelope, shape, slope);
        },
        t, amplitude, gamma, omega, phi);
}

// Harmonics between two calls of `keep_going`: each costs a sine and a
// cosine, twice a harmonic of the value, so half as many.
constexpr std::uint64_t kGradientHarmonicsPerCheck = kHarmonicsPerCheck / 2;

// w = s + 1 with s = sum over k = 1, 3, ... of sin((k*omega)*u)*(4/pi)/k, as
// the formula sums it; v = C*(4/pi) with C = sum of cos((k*omega)*u), summed
// in the same loop in the same order of k.  `keep_going` as for
// fourier_square_wave: when it says no, the result is meaningless.
template <class KeepGoing>
DampedGradient fourier_square_wave_gradient(double t, double amplitude, double gamma, double omega, double phi,
                                            double y, std::uint64_t num_harmonics, KeepGoing&& keep_going) {
    static_cast<void>(y);
    const EnvelopeSteps envelope = envelope_steps(t, amplitude, gamma);
    const double u = sum(t, phi);
    double s = 0.0;
    double c = 0.0;
    std::uint64_t k = 1;
    std::uint64_t remaining = num_harmonics;
    while (remaining > 0) {
        const std::uint64_t block = remaining < kGradientHarmonicsPerCheck ? remaining : kGradientHarmonicsPerCheck;
        for (std::uint64_t term_index = 0; term_index < block; ++term_index, k += 2) {
            const double harmonic = static_cast<double>(k);
            const double x = product(harmonic * omega, u);
            double term = std::sin(x);
            term = term * kFourOverPi;
            term = term / harmonic;
            s = sum(s, term);
            c = sum(c, std::cos(x));
        }
        remaining -= block;
        if (remaining > 0 && !keep_going()) {
            break;
        }
    }
    return damped_gradient(t, u, omega, envelope, s + 1.0, c * kFourOverPi);
}

// w = cos((omega + omega)*u) - 2*cos(u*omega), x = u*omega;
// v = 2*(sin(x) - sin(2x)) = (s1 - s2) + (s1 - s2).
inline DampedGradient pseudo_cycloid_wave_gradient(double t, double amplitude, double gamma, double omega, double phi,
                                                   double y) {
    static_cast<void>(y);
    return first_operand_nans(
        [](auto arithmetic, double t, double amplitude, double gamma, double omega, double phi) {
            using A = decltype(arithmetic);
            const auto [envelope, u, x] = damped_phase<A>(t, amplitude, gamma, omega, phi);
            const double x2 = A::product(omega + omega, u);
            const double c1 = std::cos(x);
            const double shape = std::cos(x2) - (c1 + c1);
            double slope = std::sin(x) - std::sin(x2);
            slope = slope + slope;
            return damped_gradient<A>(t, u, omega, envelope, shape, slope);
        },
        t, amplitude, gamma, omega, phi);
}

// With d = fmod(t, 2pi) - onset, r = d/W and h = exp(-0.5*r*r) inside the
// pulse (d >= 0), the value h*A + E has
//     d/dA      = h
//     d/dperiod = ((h*A) * (r/W)) * (2pi/24)
//     d/dwidth  = ((h*A) * (r/W)) * r
//     d/dE      = 1
// Before the onset (d < 0, NaN or infinite times) and wherever h has
// underflowed to 0, r and r/W are taken as 0: the value does not move with
// the period or the width there, and 0/W or an overflowing r/W cannot turn
// that 0 into NaN.  The product h*A is formed as in the formula, so an
// infinite amplitude gives NaN where the value is NaN.
//
// At the onset itself (d = 0) the value jumps from E to A + E and has no
// derivative with respect to the period (nor the time); the d >= 0 branch is
// taken there, as by the formula, so the result is the limit from inside
// the pulse: d/dA = 1, d/dperiod = 0, d/dwidth = 0.  Likewise where the
// remainder wraps (t a multiple of 2pi) the new turn's side is returned.
inline TransientGradient transient_impulse_gradient(double t, double onset, double amplitude, double width,
                                                    double equilibrium) {
    static_cast<void>(equilibrium);
    const double d = full_turn_remainder(t) - onset;  // fmod(t, kFullTurn)
    double h = 0.0;
    double r = 0.0;
    // A quiet comparison, as in the formula: false for NaN as well, without
    // raising the "invalid" flag that d >= 0.0 raises for a NaN time or
    // period.  (h != 0.0 below is quiet already: only ordered comparisons
    // signal on a quiet NaN.)
    if (std::isgreaterequal(d, 0.0)) {
        r = d / width;
        double q = r * r;
        q = q * kGaussianFactor;
        h = std::exp(q);
    }
    double r_over_width = 0.0;
    if (h != 0.0) {  // true for NaN
        r_over_width = r / width;
    } else {
        r = 0.0;
    }
    return first_operand_nans(
        [](auto arithmetic, double h, double amplitude, double r_over_width, double r) {
            using A = decltype(arithmetic);
            const double pulse = A::product(h, amplitude);
            const double slope = A::product(pulse, r_over_width);
            TransientGradient gradient;
            gradient.amplitude = h;
            gradient.period = slope * kTurnPerHour;
            gradient.width = A::product(slope, r);
            gradient.equilibrium = 1.0;
            return gradient;
        },
        h, amplitude, r_over_width, r);
}

}  // namespace undarix::maths
