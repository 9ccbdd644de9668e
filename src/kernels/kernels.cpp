#include "kernels/kernels.hpp"

#include "kernels/formulas.hpp"
#include "kernels/kernel_frame.hpp"

namespace undarix::kernels {

Expected<OwnedRef> harmonic_oscillator_kernel(PyObject* time, double amplitude, double gamma, double omega,
                                              double phi, double y) {
    return evaluate(time, [=](double t) { return harmonic_oscillator(t, amplitude, gamma, omega, phi, y); });
}

Expected<OwnedRef> pseudo_square_wave_kernel(PyObject* time, double amplitude, double gamma, double omega,
                                             double phi, double y) {
    return evaluate(time, [=](double t) { return pseudo_square_wave(t, amplitude, gamma, omega, phi, y); });
}

Expected<OwnedRef> fourier_square_wave_kernel(PyObject* time, double amplitude, double gamma, double omega,
                                              double phi, double y, std::uint64_t num_harmonics) {
    return evaluate(time, [=](double t) {
        return fourier_square_wave(t, amplitude, gamma, omega, phi, y, num_harmonics);
    });
}

Expected<OwnedRef> pseudo_cycloid_wave_kernel(PyObject* time, double amplitude, double gamma, double omega,
                                              double phi, double y) {
    return evaluate(time, [=](double t) { return pseudo_cycloid_wave(t, amplitude, gamma, omega, phi, y); });
}

Expected<OwnedRef> transient_impulse_kernel(PyObject* time, double amplitude, double period, double width,
                                            double equilibrium) {
    const double onset = transient_onset(period);
    return evaluate(time, [=](double t) { return transient_impulse(t, onset, amplitude, width, equilibrium); });
}

}  // namespace undarix::kernels
