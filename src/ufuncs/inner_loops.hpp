// The ufuncs' inner loops: each evaluates one waveform of maths/formulas.hpp
// over the elements NumPy hands it, at any strides, through the loop driver.
#pragma once

#include "ufuncs/ufunc_api.hpp"

namespace undarix::ufuncs {

// The loops of one ufunc and their operand types, as NumPy takes them: for
// every loop, `inputs` input type numbers and then the output's.
struct UfuncLoops {
    InnerLoop* loops;
    void* const* data;
    const char* types;
    int count;
    int inputs;
};

extern const UfuncLoops harmonic_oscillator_loops;
extern const UfuncLoops pseudo_square_wave_loops;
extern const UfuncLoops fourier_square_wave_loops;
extern const UfuncLoops pseudo_cycloid_wave_loops;
extern const UfuncLoops transient_impulse_loops;

}  // namespace undarix::ufuncs
