// The five kernels: the evaluation frame applied to each waveform formula.
// `time` is a borrowed, already validated one-dimensional float64 array; each
// returns a new reference to the result array.
#pragma once

#include "frame/expected.hpp"

#include <cstdint>

namespace undarix::kernels {

Expected<OwnedRef> harmonic_oscillator_kernel(PyObject* time, double amplitude, double gamma, double omega,
                                              double phi, double y);
Expected<OwnedRef> pseudo_square_wave_kernel(PyObject* time, double amplitude, double gamma, double omega,
                                             double phi, double y);
Expected<OwnedRef> fourier_square_wave_kernel(PyObject* time, double amplitude, double gamma, double omega,
                                              double phi, double y, std::uint64_t num_harmonics);
Expected<OwnedRef> pseudo_cycloid_wave_kernel(PyObject* time, double amplitude, double gamma, double omega,
                                              double phi, double y);
Expected<OwnedRef> transient_impulse_kernel(PyObject* time, double amplitude, double period, double width,
                                            double equilibrium);

}  // namespace undarix::kernels
