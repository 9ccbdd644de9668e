// The texts help() shows for the Jacobian ufuncs (numpydoc).  NumPy puts the
// ufunc's call signature, with its own names x1, x2, ..., out1, ..., before
// each text.
#pragma once

namespace undarix::ufuncs::docs {

#define UNDARIX_JACOBIAN_COMMON                                                                                 \
    "Inputs are those of the waveform's ufunc, positional, broadcast and cast\n"                               \
    "as for it; ``out=`` takes a tuple with one float64 array per output, and\n"                                \
    "``where=`` and the other ufunc keywords work as for any ufunc.  Each\n"                                    \
    "derivative is computed in the fixed order of operations written here,\n"                                   \
    "with the C runtime's exp, sin and cos, so every element has the same bits\n"                               \
    "on any number of threads.  Floating-point overflow and invalid operations\n"                               \
    "are reported as for NumPy's own ufuncs and governed by ``numpy.errstate``.\n"

#define UNDARIX_DAMPED_JACOBIAN_ORDER                                                                           \
    "    g = exp(t*gamma);  e = g*A;  u = t + phi\n"                                                           \
    "    d/damplitude = w*g\n"                                                                                  \
    "    d/dgamma     = (w*e)*t\n"                                                                              \
    "    d/domega     = (v*e)*u\n"                                                                             \
    "    d/dphi       = (v*e)*omega\n"                                                                         \
    "    d/dy         = 1\n"

#define UNDARIX_DAMPED_JACOBIAN_PARAMETERS                                                                      \
    "Parameters\n"                                                                                              \
    "----------\n"                                                                                              \
    "time : array_like\n"                                                                                       \
    "    Time points t.\n"                                                                                      \
    "amplitude : array_like\n"                                                                                  \
    "    Amplitude A.\n"                                                                                        \
    "gamma : array_like\n"                                                                                      \
    "    Growth rate per unit of time.\n"                                                                       \
    "omega : array_like\n"                                                                                      \
    "    Angular frequency, in radians per unit of time.\n"                                                     \
    "phi : array_like\n"                                                                                        \
    "    Time shift, in units of time.\n"                                                                       \
    "y : array_like\n"                                                                                          \
    "    Offset of the value.\n"

#define UNDARIX_DAMPED_JACOBIAN_RETURNS                                                                         \
    "Returns\n"                                                                                                 \
    "-------\n"                                                                                                 \
    "d_amplitude, d_gamma, d_omega, d_phi, d_y : ndarray or scalar\n"                                           \
    "    The partial derivatives of the value with respect to amplitude,\n"                                     \
    "    gamma, omega, phi and y, float64 of the broadcast shape (NumPy\n"                                      \
    "    scalars when every input is a scalar), as a tuple.  ``d_y`` is 1.\n"

inline constexpr const char kHarmonicOscillatorJacobian[] =
    "Partial derivatives of ``harmonic_oscillator`` with respect to its parameters.\n"
    "\n"
    "``harmonic_oscillator_jacobian(time, amplitude, gamma, omega, phi, y)``\n"
    "\n"
    "With x = (t + phi)*omega, the shape w = cos(x) and its slope v = dw/dx = -sin(x):\n"
    "\n" UNDARIX_DAMPED_JACOBIAN_ORDER
    "\n" UNDARIX_JACOBIAN_COMMON "\n" UNDARIX_DAMPED_JACOBIAN_PARAMETERS "\n" UNDARIX_DAMPED_JACOBIAN_RETURNS
    "\n"
    "Examples\n"
    "--------\n"
    ">>> import numpy as np, undarix_ufuncs as uf\n"
    ">>> t = np.linspace(0.0, 10.0, 5)\n"
    ">>> d_amplitude, d_gamma, d_omega, d_phi, d_y = uf.harmonic_oscillator_jacobian(t, 1.0, -0.1, 2.0, 0.0, 0.5)\n"
    ">>> jacobian = np.stack(uf.harmonic_oscillator_jacobian(t, 1.0, -0.1, 2.0, 0.0, 0.5), axis=-1)\n"
    ">>> jacobian.shape\n"
    "(5, 5)\n";

inline constexpr const char kPseudoSquareWaveJacobian[] =
    "Partial derivatives of ``pseudo_square_wave`` with respect to its parameters.\n"
    "\n"
    "``pseudo_square_wave_jacobian(time, amplitude, gamma, omega, phi, y)``\n"
    "\n"
    "With x = (t + phi)*omega, the shape w = sin(x*3)*0.5 + sin(x) and its slope\n"
    "v = dw/dx = cos(x*3)*1.5 + cos(x):\n"
    "\n" UNDARIX_DAMPED_JACOBIAN_ORDER
    "\n" UNDARIX_JACOBIAN_COMMON "\n" UNDARIX_DAMPED_JACOBIAN_PARAMETERS "\n" UNDARIX_DAMPED_JACOBIAN_RETURNS
    "\n"
    "Examples\n"
    "--------\n"
    ">>> import numpy as np, undarix_ufuncs as uf\n"
    ">>> [float(v) for v in uf.pseudo_square_wave_jacobian(0.0, 2.0, 0.0, 1.0, 0.0, 0.0)]\n"
    "[0.0, 0.0, 0.0, 5.0, 1.0]\n";

inline constexpr const char kFourierSquareWaveJacobian[] =
    "Partial derivatives of ``fourier_square_wave`` with respect to its parameters.\n"
    "\n"
    "``fourier_square_wave_jacobian(time, amplitude, gamma, omega, phi, y, num_harmonics)``\n"
    "\n"
    "With u = t + phi and, for k = 1, 3, ..., 2*N - 1 in that order, x_k = (k*omega)*u,\n"
    "the shape w = s + 1 and its slope v = C*(4/pi), where\n"
    "\n"
    "    s = sum of sin(x_k) * (4/pi) / k   (as the value sums it)\n"
    "    C = sum of cos(x_k)\n"
    "\n" UNDARIX_DAMPED_JACOBIAN_ORDER
    "\n"
    "``num_harmonics`` is an integer input and has no derivative.  The cost of an\n"
    "element grows linearly with N, about twice the value's.\n"
    "\n" UNDARIX_JACOBIAN_COMMON "\n" UNDARIX_DAMPED_JACOBIAN_PARAMETERS
    "num_harmonics : array_like of int\n"
    "    Number N of odd harmonics summed, an integer (int64 or uint64).  For\n"
    "    a negative N every output of that element is NaN and the\n"
    "    floating-point \"invalid\" flag is raised (a RuntimeWarning, or\n"
    "    FloatingPointError under ``numpy.errstate(invalid=\"raise\")``).\n"
    "\n" UNDARIX_DAMPED_JACOBIAN_RETURNS
    "\n"
    "Raises\n"
    "------\n"
    "KeyboardInterrupt\n"
    "    Ctrl-C stops a long call within a few milliseconds.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> import numpy as np, undarix_ufuncs as uf\n"
    ">>> t = np.linspace(0.0, 1.0, 4)\n"
    ">>> len(uf.fourier_square_wave_jacobian(t, 1.0, 0.0, 2 * np.pi, 0.0, 0.0, 7))\n"
    "5\n";

inline constexpr const char kPseudoCycloidWaveJacobian[] =
    "Partial derivatives of ``pseudo_cycloid_wave`` with respect to its parameters.\n"
    "\n"
    "``pseudo_cycloid_wave_jacobian(time, amplitude, gamma, omega, phi, y)``\n"
    "\n"
    "With u = t + phi, x = u*omega and x2 = (omega + omega)*u, the shape\n"
    "w = cos(x2) - (cos(x) + cos(x)) and its slope v = q + q with\n"
    "q = sin(x) - sin(x2):\n"
    "\n" UNDARIX_DAMPED_JACOBIAN_ORDER
    "\n" UNDARIX_JACOBIAN_COMMON "\n" UNDARIX_DAMPED_JACOBIAN_PARAMETERS "\n" UNDARIX_DAMPED_JACOBIAN_RETURNS
    "\n"
    "Examples\n"
    "--------\n"
    ">>> import undarix_ufuncs as uf\n"
    ">>> [float(v) for v in uf.pseudo_cycloid_wave_jacobian(0.0, 2.0, 0.0, 1.0, 0.0, 5.0)]\n"
    "[-1.0, -0.0, 0.0, 0.0, 1.0]\n";

inline constexpr const char kTransientImpulseJacobian[] =
    "Partial derivatives of ``transient_impulse`` with respect to its parameters.\n"
    "\n"
    "``transient_impulse_jacobian(time, amplitude, period, width, equilibrium)``\n"
    "\n"
    "    onset = (period / 24) * 2*pi\n"
    "    d = fmod(t, 2*pi) - onset\n"
    "    inside the pulse (d >= 0):  r = d / W;  h = exp(-0.5 * r*r)\n"
    "    before it (d < 0, NaN or infinite t):  h = 0\n"
    "    where h = 0:  r = 0 and r/W = 0\n"
    "    d/damplitude   = h\n"
    "    d/dperiod      = ((h*A) * (r/W)) * (2*pi/24)\n"
    "    d/dwidth       = ((h*A) * (r/W)) * r\n"
    "    d/dequilibrium = 1\n"
    "\n"
    "Where the value jumps no derivative exists: at the onset (d = 0) the value\n"
    "steps from ``equilibrium`` to A + ``equilibrium``, and, for an onset of 0 hours,\n"
    "where the remainder wraps at multiples of 2*pi.  There the derivatives of\n"
    "the pulse's side are returned (the branch d >= 0, as the value takes it):\n"
    "at the onset d/damplitude = 1, d/dperiod = 0 and d/dwidth = 0, the limits\n"
    "from inside the pulse.  The period derivative is the pulse side's: moving\n"
    "the onset later by any amount drops the value to ``equilibrium``, a jump\n"
    "no derivative describes.\n"
    "\n" UNDARIX_JACOBIAN_COMMON
    "\n"
    "Parameters\n"
    "----------\n"
    "time : array_like\n"
    "    Time points t, in radians of the daily cycle (2*pi per 24 hours).\n"
    "amplitude : array_like\n"
    "    Height A of the pulse above the equilibrium.\n"
    "period : array_like\n"
    "    The pulse's onset within each turn, in hours of the 24-hour cycle.\n"
    "width : array_like\n"
    "    Gaussian width W, in radians of the cycle.\n"
    "equilibrium : array_like\n"
    "    Baseline E added to every value.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "d_amplitude, d_period, d_width, d_equilibrium : ndarray or scalar\n"
    "    The partial derivatives of the value with respect to amplitude,\n"
    "    period, width and equilibrium, float64 of the broadcast shape (NumPy\n"
    "    scalars when every input is a scalar), as a tuple.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> import numpy as np, undarix_ufuncs as uf\n"
    ">>> [float(v) for v in uf.transient_impulse_jacobian(np.pi, 2.0, 12.0, 0.3, 1.0)]  # at the onset\n"
    "[1.0, 0.0, 0.0, 1.0]\n";

#undef UNDARIX_JACOBIAN_COMMON
#undef UNDARIX_DAMPED_JACOBIAN_ORDER
#undef UNDARIX_DAMPED_JACOBIAN_PARAMETERS
#undef UNDARIX_DAMPED_JACOBIAN_RETURNS

}  // namespace undarix::ufuncs::docs
