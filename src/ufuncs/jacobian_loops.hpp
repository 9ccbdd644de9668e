// The inner loops of the Jacobian ufuncs: each evaluates the derivatives of
// maths/jacobian_formulas.hpp over the elements NumPy hands it, one output
// per continuous parameter, through the loop driver.
#pragma once

#include "ufuncs/inner_loops.hpp"

namespace undarix::ufuncs {

// The four damped waveforms: d/damplitude, d/dgamma, d/domega, d/dphi, d/dy.
constexpr int kDampedJacobianOutputs = 5;
// transient_impulse: d/damplitude, d/dperiod, d/dwidth, d/dequilibrium.
constexpr int kTransientJacobianOutputs = 4;

// Laid out as UfuncLoops, with every loop's output types after its inputs'.
extern const UfuncLoops harmonic_oscillator_jacobian_loops;
extern const UfuncLoops pseudo_square_wave_jacobian_loops;
extern const UfuncLoops fourier_square_wave_jacobian_loops;
extern const UfuncLoops pseudo_cycloid_wave_jacobian_loops;
extern const UfuncLoops transient_impulse_jacobian_loops;

}  // namespace undarix::ufuncs
