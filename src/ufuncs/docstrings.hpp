// The texts help() shows: the module's and each ufunc's (numpydoc).  NumPy
// puts the ufunc's call signature, with its own names x1, x2, ..., before
// each ufunc's text.
#pragma once

namespace undarix::ufuncs::docs {

#define UNDARIX_UFUNC_COMMON                                                                                    \
    "All arguments broadcast against each other and may be any array-like: NumPy\n"                             \
    "arrays of any shape, strides and order, lists, scalars, or objects that\n"                                 \
    "override ufuncs (pandas, xarray, Dask).  Real inputs of other dtypes are\n"                                \
    "cast to float64 under NumPy's casting rules.  ``out=``, ``where=``,\n"                                     \
    "``casting=``, ``order=``, ``dtype=`` and ``subok=`` work as for any ufunc.\n"                              \
    "Every element has exactly the bits the strict function of the same name in\n"                              \
    "the ``undarix`` module gives for the same scalar inputs, on any number of\n"                               \
    "threads (UNDARIX_NUM_THREADS, OMP_NUM_THREADS, CPU affinity and cgroup\n"                                  \
    "quota decide how many).  Floating-point overflow and invalid operations\n"                                 \
    "(``exp`` overflowing, ``sin`` of infinity) are reported as for NumPy's own\n"                              \
    "ufuncs and governed by ``numpy.errstate``.\n"

#define UNDARIX_DAMPED_PARAMETERS                                                                               \
    "Parameters\n"                                                                                              \
    "----------\n"                                                                                              \
    "time : array_like\n"                                                                                       \
    "    Time points t, in any unit (the one ``gamma``, ``omega`` and ``phi``\n"                                \
    "    refer to).\n"                                                                                          \
    "amplitude : array_like\n"                                                                                  \
    "    Amplitude A, in the unit of the result.\n"                                                             \
    "gamma : array_like\n"                                                                                      \
    "    Growth rate per unit of time: the envelope is exp(t*gamma)*A, growing\n"                               \
    "    for gamma > 0 and decaying for gamma < 0.\n"                                                           \
    "omega : array_like\n"                                                                                      \
    "    Angular frequency, in radians per unit of time.\n"                                                     \
    "phi : array_like\n"                                                                                        \
    "    Time shift, in units of time (not a phase angle): added to t before\n"                                 \
    "    omega is applied.\n"                                                                                   \
    "y : array_like\n"                                                                                          \
    "    Offset added to the result, in the unit of the result.\n"

#define UNDARIX_RETURNS                                                                                         \
    "out : ndarray or scalar\n"                                                                                 \
    "    float64 values of the broadcast shape; a NumPy scalar when every input\n"                              \
    "    is a scalar.\n"

inline constexpr const char kHarmonicOscillator[] =
    "Exponentially damped (or growing) cosine.\n"
    "\n"
    "``harmonic_oscillator(time, amplitude, gamma, omega, phi, y)``\n"
    "\n"
    "    value = cos((t + phi)*omega) * (exp(t*gamma)*A) + y\n"
    "\n" UNDARIX_UFUNC_COMMON "\n" UNDARIX_DAMPED_PARAMETERS
    "\n"
    "Returns\n"
    "-------\n" UNDARIX_RETURNS
    "\n"
    "Examples\n"
    "--------\n"
    ">>> import numpy as np, undarix_ufuncs as uf\n"
    ">>> t = np.linspace(0.0, 10.0, 5)\n"
    ">>> uf.harmonic_oscillator(t, 1.0, -0.1, 2.0, 0.0, 0.5).shape\n"
    "(5,)\n"
    ">>> sweep = uf.harmonic_oscillator(t, 1.0, np.array([[-0.1], [-0.2]]), 2.0, 0.0, 0.0)\n"
    ">>> sweep.shape\n"
    "(2, 5)\n";

inline constexpr const char kPseudoSquareWave[] =
    "Damped pseudo-square wave: the fundamental plus half the third harmonic.\n"
    "\n"
    "``pseudo_square_wave(time, amplitude, gamma, omega, phi, y)``\n"
    "\n"
    "    x = (t + phi)*omega\n"
    "    value = (sin(3*x)*0.5 + sin(x)) * (exp(t*gamma)*A) + y\n"
    "\n"
    "The third harmonic is weighted by one half, not one third.\n"
    "\n" UNDARIX_UFUNC_COMMON "\n" UNDARIX_DAMPED_PARAMETERS
    "\n"
    "Returns\n"
    "-------\n" UNDARIX_RETURNS
    "\n"
    "Examples\n"
    "--------\n"
    ">>> import numpy as np, undarix_ufuncs as uf\n"
    ">>> float(uf.pseudo_square_wave(np.pi / 2, 1.0, 0.0, 1.0, 0.0, 0.0))\n"
    "0.5\n";

inline constexpr const char kFourierSquareWave[] =
    "Damped square wave from its first ``num_harmonics`` odd Fourier terms.\n"
    "\n"
    "``fourier_square_wave(time, amplitude, gamma, omega, phi, y, num_harmonics)``\n"
    "\n"
    "    u = t + phi\n"
    "    s = sum over k = 1, 3, ..., 2*N - 1 of sin((k*omega)*u) * (4/pi) / k\n"
    "    value = (exp(t*gamma)*A) * (s + 1) + y\n"
    "\n"
    "The series swings between 0 and 2 before scaling; with N = 0 the value is\n"
    "exp(t*gamma)*A + y.  The cost of an element grows linearly with N.\n"
    "\n" UNDARIX_UFUNC_COMMON
    "\n" UNDARIX_DAMPED_PARAMETERS
    "num_harmonics : array_like of int\n"
    "    Number N of odd harmonics summed, an integer >= 0 (int64 or uint64;\n"
    "    every uint64 is accepted, as by the strict function).  A float count\n"
    "    is refused by NumPy's casting rules (TypeError).\n"
    "\n"
    "Returns\n"
    "-------\n" UNDARIX_RETURNS
    "\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If a ``num_harmonics`` element is negative.  The call fails before\n"
    "    anything is evaluated (an ``out=`` array is left as it was).\n"
    "KeyboardInterrupt\n"
    "    Ctrl-C stops a long call within a few milliseconds.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> import numpy as np, undarix_ufuncs as uf\n"
    ">>> t = np.linspace(0.0, 1.0, 4)\n"
    ">>> uf.fourier_square_wave(t, 1.0, 0.0, 2 * np.pi, 0.0, 0.0, [[1], [5], [25]]).shape\n"
    "(3, 4)\n";

inline constexpr const char kPseudoCycloidWave[] =
    "Damped pseudo-cycloid wave: cos 2x - 2 cos x.\n"
    "\n"
    "``pseudo_cycloid_wave(time, amplitude, gamma, omega, phi, y)``\n"
    "\n"
    "    u = t + phi\n"
    "    value = (cos((omega + omega)*u) - 2*cos(u*omega)) * (exp(t*gamma)*A) + y\n"
    "\n" UNDARIX_UFUNC_COMMON "\n" UNDARIX_DAMPED_PARAMETERS
    "\n"
    "Returns\n"
    "-------\n" UNDARIX_RETURNS
    "\n"
    "Examples\n"
    "--------\n"
    ">>> import undarix_ufuncs as uf\n"
    ">>> float(uf.pseudo_cycloid_wave(0.0, 2.0, 0.0, 1.0, 0.0, 5.0))\n"
    "3.0\n";

inline constexpr const char kTransientImpulse[] =
    "One-sided Gaussian pulse repeating every full turn of a 24-hour cycle.\n"
    "\n"
    "``transient_impulse(time, amplitude, period, width, equilibrium)``\n"
    "\n"
    "    onset = (period / 24) * 2*pi\n"
    "    d = fmod(t, 2*pi) - onset\n"
    "    h = exp(-0.5 * (d / width)**2) if d >= 0 else 0\n"
    "    value = h*A + equilibrium\n"
    "\n"
    "Time is measured in radians of a daily cycle: one full turn (2*pi) is 24\n"
    "hours.  The pulse starts ``period`` hours into every turn and decays as a\n"
    "half Gaussian; before the onset, for negative times and for infinite or\n"
    "NaN times the value is ``equilibrium``.  The product h*A is always formed,\n"
    "so an infinite amplitude gives NaN where h = 0.\n"
    "\n" UNDARIX_UFUNC_COMMON
    "\n"
    "Parameters\n"
    "----------\n"
    "time : array_like\n"
    "    Time points t, in radians of the daily cycle (2*pi per 24 hours).\n"
    "amplitude : array_like\n"
    "    Height A of the pulse above the equilibrium.\n"
    "period : array_like\n"
    "    The pulse's onset within each turn, in hours of the 24-hour cycle\n"
    "    (0 to 24): the time of day at which it starts, not a repetition\n"
    "    period.\n"
    "width : array_like\n"
    "    Gaussian width W, in radians of the cycle.\n"
    "equilibrium : array_like\n"
    "    Baseline E added to every value.\n"
    "\n"
    "Returns\n"
    "-------\n" UNDARIX_RETURNS
    "\n"
    "Examples\n"
    "--------\n"
    ">>> import numpy as np, undarix_ufuncs as uf\n"
    ">>> float(uf.transient_impulse(np.pi, 2.0, 12.0, 0.3, 1.0))  # at the onset\n"
    "3.0\n";

inline constexpr const char kModule[] =
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

#undef UNDARIX_UFUNC_COMMON
#undef UNDARIX_DAMPED_PARAMETERS
#undef UNDARIX_RETURNS

}  // namespace undarix::ufuncs::docs
