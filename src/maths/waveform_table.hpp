// The waveform table: every waveform defined once, with its name, its
// parameters (C types, units, meanings), its formula entry (value and
// Jacobian, from maths/formulas.hpp and maths/jacobian_formulas.hpp) and the
// texts of its ufuncs.  The strict module's functions, the ufuncs, their
// loops, types, names and texts are all made from it, in its order.
//
// Why a type list of entry structs rather than an X-macro or a runtime
// array: each entry carries its own formula code as templates (a long
// element asks `keep_going`, the impulse binds its onset once per call), so
// the loops are compiled per waveform and inline the formula, as before;
// the facts that only describe (names, parameters, texts) are constexpr
// data that the generic code reads at compile time (the argument binding,
// the loops' operand types) or once at import (the texts).
//
// Adding a waveform to undarix_ufuncs: its formulas, its entry here, and an
// entry in UfuncWaveforms; the strict module's list, StrictWaveforms, is
// fixed.  docs/design.md walks through it.
#pragma once

#include "maths/formulas.hpp"
#include "maths/jacobian_formulas.hpp"
#include "maths/saturating_arithmetic.hpp"
#include "maths/waveform_description.hpp"

#include <cstdint>
#include <iterator>
#include <string_view>

namespace undarix::maths {

namespace table {

constexpr Parameter kDampedParameters[] = {
    {"time", ParameterType::time, "", "Time points t",
     "Time points t, in any unit (the one ``gamma``, ``omega`` and ``phi``\n"
     "refer to)."},
    {"amplitude", ParameterType::real, "", "Amplitude A", "Amplitude A, in the unit of the result."},
    {"gamma", ParameterType::real, "", "Growth rate per unit of time",
     "Growth rate per unit of time: the envelope is exp(t*gamma)*A, growing\n"
     "for gamma > 0 and decaying for gamma < 0."},
    {"omega", ParameterType::real, "radians per unit of time", "Angular frequency", ""},
    {"phi", ParameterType::real, "units of time", "Time shift",
     "Time shift, in units of time (not a phase angle): added to t before\n"
     "omega is applied."},
    {"y", ParameterType::real, "", "Offset of the value", "Offset added to the result, in the unit of the result."},
};

constexpr Parameter kFourierParameters[] = {
    kDampedParameters[0], kDampedParameters[1], kDampedParameters[2], kDampedParameters[3], kDampedParameters[4],
    kDampedParameters[5],
    {"num_harmonics", ParameterType::count, "",
     "Number N of odd harmonics summed, an integer (int64 or uint64).  For\n"
     "a negative N every output of that element is NaN and the\n"
     "floating-point \"invalid\" flag is raised (a RuntimeWarning, or\n"
     "FloatingPointError under ``numpy.errstate(invalid=\"raise\")``)",
     "Number N of odd harmonics summed, an integer >= 0, taken as int64 or,\n"
     "for uint64 arrays and scalars, as uint64: every ``numpy.uint64`` is\n"
     "accepted, as by the strict function.  A Python int is taken as int64\n"
     "on NumPy 2 (NumPy's rule for Python ints), so one of 2**63 or more\n"
     "raises OverflowError there: pass it as ``numpy.uint64``.  A float\n"
     "count is refused by NumPy's casting rules (TypeError).  A negative\n"
     "count is outside the domain: see Warns."},
};

constexpr Parameter kImpulseParameters[] = {
    {"time", ParameterType::time, "radians of the daily cycle (2*pi per 24 hours)", "Time points t", ""},
    {"amplitude", ParameterType::real, "", "Height A of the pulse above the equilibrium", ""},
    {"period", ParameterType::real, "hours of the 24-hour cycle", "The pulse's onset within each turn",
     "The pulse's onset within each turn, in hours of the 24-hour cycle\n"
     "(0 to 24): the time of day at which it starts, not a repetition\n"
     "period."},
    {"width", ParameterType::real, "radians of the cycle", "Gaussian width W", ""},
    {"equilibrium", ParameterType::real, "", "Baseline E added to every value", ""},
};

// The derivatives of the damped waveforms from each one's shape w and slope
// v (a macro, so that it joins the literals around it).
#define UNDARIX_DAMPED_DERIVATIVES                  \
    "    g = exp(t*gamma);  e = g*A;  u = t + phi\n" \
    "    d/damplitude = w*g\n"                       \
    "    d/dgamma     = (w*e)*t\n"                   \
    "    d/domega     = (v*e)*u\n"                   \
    "    d/dphi       = (v*e)*omega\n"               \
    "    d/dy         = 1\n"

constexpr std::string_view kDampedJacobianReturns =
    "    The partial derivatives of the value with respect to amplitude,\n"
    "    gamma, omega, phi and y, float64 of the broadcast shape (NumPy\n"
    "    scalars when every input is a scalar), as a tuple.  ``d_y`` is 1.\n";

// The section of the texts of ufuncs whose elements can take long (a
// macro, so that it joins the literals around it).
#define UNDARIX_STOPS_ON_CTRL_C     \
    "Raises\n"                      \
    "------\n"                      \
    "KeyboardInterrupt\n"           \
    "    Ctrl-C stops a long call within a few milliseconds.\n"

// The work of an element, which decides from how many elements a loop is
// split among threads, is its cost in evaluations of the cheapest formula
// (harmonic_oscillator's value, 13 ns on the 2-core VM), rounded.  Measured
// on one thread over 100,000 elements: harmonic_oscillator's value 1 and
// derivatives 2.5; pseudo_square_wave's and pseudo_cycloid_wave's values
// 1.6 and 1.8, their derivatives 3.6; transient_impulse's value 0.6, its
// derivatives 1.7.  A damped waveform's derivatives (a sine and a cosine
// besides the exp) cost about twice its value.
constexpr std::uint64_t kDampedGradientFactor = 2;

inline void store(const DampedGradient& gradient, double* derivatives) {
    derivatives[0] = gradient.amplitude;
    derivatives[1] = gradient.gamma;
    derivatives[2] = gradient.omega;
    derivatives[3] = gradient.phi;
    derivatives[4] = gradient.y;
}

using DampedValue = double (*)(double, double, double, double, double, double);
using DampedSlopes = DampedGradient (*)(double, double, double, double, double, double);

// The formula entry shared by the damped waveforms with five real parameters;
// `ValueWork` is the work of one value.
template <DampedValue Value, DampedSlopes Gradient, std::uint64_t ValueWork>
struct DampedFormulas {
    using Bound = Arguments<5>;
    static Bound bind(const Arguments<5>& arguments) { return arguments; }
    template <class KeepGoing>
    static double value(const Bound& p, double t, KeepGoing&&) {
        return Value(t, p.reals[0], p.reals[1], p.reals[2], p.reals[3], p.reals[4]);
    }
    template <class KeepGoing>
    static void gradient(const Bound& p, double t, KeepGoing&&, double* derivatives) {
        store(Gradient(t, p.reals[0], p.reals[1], p.reals[2], p.reals[3], p.reals[4]), derivatives);
    }
    static std::uint64_t value_work(std::uint64_t) { return ValueWork; }
    static std::uint64_t gradient_work(std::uint64_t) { return ValueWork * kDampedGradientFactor; }
};

}  // namespace table

struct HarmonicOscillator : table::DampedFormulas<harmonic_oscillator, harmonic_oscillator_gradient, 1> {
    static constexpr WaveformDescription description = {
        "harmonic_oscillator",
        table::kDampedParameters,
        std::size(table::kDampedParameters),
        {
            "Exponentially damped (or growing) cosine.\n",
            "    value = cos((t + phi)*omega) * (exp(t*gamma)*A) + y\n",
            "",
            "",
            "",
            ">>> import numpy as np, undarix_ufuncs as uf\n"
            ">>> t = np.linspace(0.0, 10.0, 5)\n"
            ">>> uf.harmonic_oscillator(t, 1.0, -0.1, 2.0, 0.0, 0.5).shape\n"
            "(5,)\n"
            ">>> sweep = uf.harmonic_oscillator(t, 1.0, np.array([[-0.1], [-0.2]]), 2.0, 0.0, 0.0)\n"
            ">>> sweep.shape\n"
            "(2, 5)\n",
        },
        {
            "",
            "With x = (t + phi)*omega, the shape w = cos(x) and its slope v = dw/dx = -sin(x):\n"
            "\n" UNDARIX_DAMPED_DERIVATIVES,
            "",
            table::kDampedJacobianReturns,
            "",
            ">>> import numpy as np, undarix_ufuncs as uf\n"
            ">>> t = np.linspace(0.0, 10.0, 5)\n"
            ">>> d_amplitude, d_gamma, d_omega, d_phi, d_y = uf.harmonic_oscillator_jacobian(t, 1.0, -0.1, 2.0, 0.0, 0.5)\n"
            ">>> jacobian = np.stack(uf.harmonic_oscillator_jacobian(t, 1.0, -0.1, 2.0, 0.0, 0.5), axis=-1)\n"
            ">>> jacobian.shape\n"
            "(5, 5)\n",
        },
    };
};

struct PseudoSquareWave : table::DampedFormulas<pseudo_square_wave, pseudo_square_wave_gradient, 2> {
    static constexpr WaveformDescription description = {
        "pseudo_square_wave",
        table::kDampedParameters,
        std::size(table::kDampedParameters),
        {
            "Damped pseudo-square wave: the fundamental plus half the third harmonic.\n",
            "    x = (t + phi)*omega\n"
            "    value = (sin(3*x)*0.5 + sin(x)) * (exp(t*gamma)*A) + y\n",
            "The third harmonic is weighted by one half, not one third.\n",
            "",
            "",
            ">>> import numpy as np, undarix_ufuncs as uf\n"
            ">>> float(uf.pseudo_square_wave(np.pi / 2, 1.0, 0.0, 1.0, 0.0, 0.0))\n"
            "0.5\n",
        },
        {
            "",
            "With x = (t + phi)*omega, the shape w = sin(x*3)*0.5 + sin(x) and its slope\n"
            "v = dw/dx = cos(x*3)*1.5 + cos(x):\n"
            "\n" UNDARIX_DAMPED_DERIVATIVES,
            "",
            table::kDampedJacobianReturns,
            "",
            ">>> import numpy as np, undarix_ufuncs as uf\n"
            ">>> [float(v) for v in uf.pseudo_square_wave_jacobian(0.0, 2.0, 0.0, 1.0, 0.0, 0.0)]\n"
            "[0.0, 0.0, 0.0, 5.0, 1.0]\n",
        },
    };
};

struct FourierSquareWave {
    static constexpr WaveformDescription description = {
        "fourier_square_wave",
        table::kFourierParameters,
        std::size(table::kFourierParameters),
        {
            "Damped square wave from its first ``num_harmonics`` odd Fourier terms.\n",
            "    u = t + phi\n"
            "    s = sum over k = 1, 3, ..., 2*N - 1 of sin((k*omega)*u) * (4/pi) / k\n"
            "    value = (exp(t*gamma)*A) * (s + 1) + y\n",
            "The series swings between 0 and 2 before scaling; with N = 0 the value is\n"
            "exp(t*gamma)*A + y.  The cost of an element grows linearly with N.\n",
            "",
            "Warns\n"
            "-----\n"
            "RuntimeWarning\n"
            "    \"invalid value encountered\" where a ``num_harmonics`` element is\n"
            "    negative: that element is NaN and the others are computed, as NumPy's\n"
            "    own functions do outside their domain.  ``numpy.errstate(invalid=...)``\n"
            "    governs it: FloatingPointError under ``invalid=\"raise\"`` (raised\n"
            "    after the whole call, ``out=`` written), silence under \"ignore\".\n"
            "\n" UNDARIX_STOPS_ON_CTRL_C,
            ">>> import numpy as np, undarix_ufuncs as uf\n"
            ">>> t = np.linspace(0.0, 1.0, 4)\n"
            ">>> uf.fourier_square_wave(t, 1.0, 0.0, 2 * np.pi, 0.0, 0.0, [[1], [5], [25]]).shape\n"
            "(3, 4)\n"
            ">>> with np.errstate(invalid=\"ignore\"):\n"
            "...     uf.fourier_square_wave(0.0, 1.0, 0.0, 1.0, 0.0, 0.0, [2, -1, 0]).tolist()\n"
            "[1.0, nan, 1.0]\n",
        },
        {
            "",
            "With u = t + phi and, for k = 1, 3, ..., 2*N - 1 in that order, x_k = (k*omega)*u,\n"
            "the shape w = s + 1 and its slope v = C*(4/pi), where\n"
            "\n"
            "    s = sum of sin(x_k) * (4/pi) / k   (as the value sums it)\n"
            "    C = sum of cos(x_k)\n"
            "\n" UNDARIX_DAMPED_DERIVATIVES,
            "``num_harmonics`` is an integer input and has no derivative.  The cost of an\n"
            "element grows linearly with N, about twice the value's.\n",
            table::kDampedJacobianReturns,
            UNDARIX_STOPS_ON_CTRL_C,
            ">>> import numpy as np, undarix_ufuncs as uf\n"
            ">>> t = np.linspace(0.0, 1.0, 4)\n"
            ">>> len(uf.fourier_square_wave_jacobian(t, 1.0, 0.0, 2 * np.pi, 0.0, 0.0, 7))\n"
            "5\n",
        },
    };

    using Bound = Arguments<5>;
    static Bound bind(const Arguments<5>& arguments) { return arguments; }
    template <class KeepGoing>
    static double value(const Bound& p, double t, KeepGoing&& keep_going) {
        return fourier_square_wave(t, p.reals[0], p.reals[1], p.reals[2], p.reals[3], p.reals[4], p.count,
                                   keep_going);
    }
    template <class KeepGoing>
    static void gradient(const Bound& p, double t, KeepGoing&& keep_going, double* derivatives) {
        table::store(fourier_square_wave_gradient(t, p.reals[0], p.reals[1], p.reals[2], p.reals[3], p.reals[4],
                                                  p.count, keep_going),
                     derivatives);
    }
    // Each harmonic costs about one evaluation of the cheapest formula, and
    // a sine and a cosine, twice that, in the derivatives; the envelope one
    // more (two in the derivatives).
    static std::uint64_t value_work(std::uint64_t count) { return saturating_add(count, 1); }
    static std::uint64_t gradient_work(std::uint64_t count) {
        return saturating_add(saturating_multiply(count, 2), 2);
    }
};

struct PseudoCycloidWave : table::DampedFormulas<pseudo_cycloid_wave, pseudo_cycloid_wave_gradient, 2> {
    static constexpr WaveformDescription description = {
        "pseudo_cycloid_wave",
        table::kDampedParameters,
        std::size(table::kDampedParameters),
        {
            "Damped pseudo-cycloid wave: cos 2x - 2 cos x.\n",
            "    u = t + phi\n"
            "    value = (cos((omega + omega)*u) - 2*cos(u*omega)) * (exp(t*gamma)*A) + y\n",
            "",
            "",
            "",
            ">>> import undarix_ufuncs as uf\n"
            ">>> float(uf.pseudo_cycloid_wave(0.0, 2.0, 0.0, 1.0, 0.0, 5.0))\n"
            "3.0\n",
        },
        {
            "",
            "With u = t + phi, x = u*omega and x2 = (omega + omega)*u, the shape\n"
            "w = cos(x2) - (cos(x) + cos(x)) and its slope v = q + q with\n"
            "q = sin(x) - sin(x2):\n"
            "\n" UNDARIX_DAMPED_DERIVATIVES,
            "",
            table::kDampedJacobianReturns,
            "",
            ">>> import undarix_ufuncs as uf\n"
            ">>> [float(v) for v in uf.pseudo_cycloid_wave_jacobian(0.0, 2.0, 0.0, 1.0, 0.0, 5.0)]\n"
            "[-1.0, -0.0, 0.0, 0.0, 1.0]\n",
        },
    };
};

struct TransientImpulse {
    static constexpr WaveformDescription description = {
        "transient_impulse",
        table::kImpulseParameters,
        std::size(table::kImpulseParameters),
        {
            "One-sided Gaussian pulse repeating every full turn of a 24-hour cycle.\n",
            "    onset = (period / 24) * 2*pi\n"
            "    d = fmod(t, 2*pi) - onset\n"
            "    h = exp(-0.5 * (d / width)**2) if d >= 0 else 0\n"
            "    value = h*A + equilibrium\n",
            "Time is measured in radians of a daily cycle: one full turn (2*pi) is 24\n"
            "hours.  The pulse starts ``period`` hours into every turn and decays as a\n"
            "half Gaussian; before the onset, for negative times and for infinite or\n"
            "NaN times the value is ``equilibrium``.  The product h*A is always formed,\n"
            "so an infinite amplitude gives NaN where h = 0.\n",
            "",
            "",
            ">>> import numpy as np, undarix_ufuncs as uf\n"
            ">>> float(uf.transient_impulse(np.pi, 2.0, 12.0, 0.3, 1.0))  # at the onset\n"
            "3.0\n",
        },
        {
            "",
            "    onset = (period / 24) * 2*pi\n"
            "    d = fmod(t, 2*pi) - onset\n"
            "    inside the pulse (d >= 0):  r = d / W;  h = exp(-0.5 * r*r)\n"
            "    before it (d < 0, NaN or infinite t):  h = 0\n"
            "    where h = 0:  r = 0 and r/W = 0\n"
            "    d/damplitude   = h\n"
            "    d/dperiod      = ((h*A) * (r/W)) * (2*pi/24)\n"
            "    d/dwidth       = ((h*A) * (r/W)) * r\n"
            "    d/dequilibrium = 1\n",
            "Where the value jumps no derivative exists: at the onset (d = 0) the value\n"
            "steps from ``equilibrium`` to A + ``equilibrium``, and, for an onset of 0 hours,\n"
            "where the remainder wraps at multiples of 2*pi.  There the derivatives of\n"
            "the pulse's side are returned (the branch d >= 0, as the value takes it):\n"
            "at the onset d/damplitude = 1, d/dperiod = 0 and d/dwidth = 0, the limits\n"
            "from inside the pulse.  The period derivative is the pulse side's: moving\n"
            "the onset later by any amount drops the value to ``equilibrium``, a jump\n"
            "no derivative describes.\n",
            "    The partial derivatives of the value with respect to amplitude,\n"
            "    period, width and equilibrium, float64 of the broadcast shape (NumPy\n"
            "    scalars when every input is a scalar), as a tuple.\n",
            "",
            ">>> import numpy as np, undarix_ufuncs as uf\n"
            ">>> [float(v) for v in uf.transient_impulse_jacobian(np.pi, 2.0, 12.0, 0.3, 1.0)]  # at the onset\n"
            "[1.0, 0.0, 0.0, 1.0]\n",
        },
    };

    // The onset depends on the period alone: computed once per bound call.
    struct Bound {
        double onset;
        double amplitude;
        double width;
        double equilibrium;
    };
    static Bound bind(const Arguments<4>& a) {
        return {transient_onset(a.reals[1]), a.reals[0], a.reals[2], a.reals[3]};
    }
    template <class KeepGoing>
    static double value(const Bound& p, double t, KeepGoing&&) {
        return transient_impulse(t, p.onset, p.amplitude, p.width, p.equilibrium);
    }
    template <class KeepGoing>
    static void gradient(const Bound& p, double t, KeepGoing&&, double* derivatives) {
        const TransientGradient gradient = transient_impulse_gradient(t, p.onset, p.amplitude, p.width, p.equilibrium);
        derivatives[0] = gradient.amplitude;
        derivatives[1] = gradient.period;
        derivatives[2] = gradient.width;
        derivatives[3] = gradient.equilibrium;
    }
    static std::uint64_t value_work(std::uint64_t) { return 1; }
    static std::uint64_t gradient_work(std::uint64_t) { return 2; }
};

// The strict module's functions, in its attribute order: fixed, like the
// rest of its contract.
using StrictWaveforms =
    WaveformList<HarmonicOscillator, PseudoSquareWave, FourierSquareWave, PseudoCycloidWave, TransientImpulse>;

// undarix_ufuncs' waveforms: each gives a ufunc and its Jacobian ufunc, in
// this order (the value ufuncs first, then the Jacobians).
using UfuncWaveforms =
    WaveformList<HarmonicOscillator, PseudoSquareWave, FourierSquareWave, PseudoCycloidWave, TransientImpulse>;

// undarix_ufuncs' own text, before the texts of its ufuncs.
constexpr std::string_view kUfuncModuleText =
    "The undarix waveforms as NumPy ufuncs.\n"
    "\n"
    "harmonic_oscillator, pseudo_square_wave, fourier_square_wave,\n"
    "pseudo_cycloid_wave and transient_impulse take the same parameters, in the\n"
    "same order, as the functions of the strict ``undarix`` module and give the\n"
    "same bits, computed by the same formula code.  Being ``numpy.ufunc``\n"
    "objects they accept anything NumPy accepts: array-likes of any shape,\n"
    "strides and real dtype, broadcasting across every argument (a parameter\n"
    "sweep is ``f(t[None, :], a[:, None], ...)``), ``out=``, ``where=`` and the\n"
    "other ufunc keywords, and objects that override ufuncs (pandas Series keep\n"
    "their index, xarray objects their coordinates, Dask arrays stay lazy).\n"
    "Failures are ordinary exceptions; there are no borrow checks, as for\n"
    "NumPy's own ufuncs.  The ufuncs pickle by module and name.\n"
    "\n"
    "For fits, each waveform's ``<name>_jacobian`` ufunc takes the same inputs\n"
    "and gives its partial derivatives with respect to the continuous\n"
    "parameters, one output each, in parameter order.\n"
    "\n"
    "Long loops run on several threads (UNDARIX_NUM_THREADS, OMP_NUM_THREADS,\n"
    "CPU affinity and cgroup quota), with the same bits on any number.\n"
    "\n"
    "Each ufunc's text follows; ``help(undarix_ufuncs.harmonic_oscillator)``\n"
    "shows it too from Python 3.13 on (before, pydoc shows the page of the\n"
    "ufunc type), as do ``numpy.info`` and ``__doc__`` everywhere.\n";

#undef UNDARIX_STOPS_ON_CTRL_C
#undef UNDARIX_DAMPED_DERIVATIVES

}  // namespace undarix::maths
