#include "kernels/kernels.hpp"

#include "kernels/formulas.hpp"
#include "frame/interpreter_lock.hpp"
#include "kernels/kernel_frame.hpp"

namespace undarix::kernels {

Expected<OwnedRef> harmonic_oscillator_kernel(PyObject* time, double amplitude, double gamma, double omega,
                                              double phi, double y) {
    return evaluate(time, [=](double t, auto&&) { return harmonic_oscillator(t, amplitude, gamma, omega, phi, y); });
}

Expected<OwnedRef> pseudo_square_wave_kernel(PyObject* time, double amplitude, double gamma, double omega,
                                             double phi, double y) {
    return evaluate(time, [=](double t, auto&&) { return pseudo_square_wave(t, amplitude, gamma, omega, phi, y); });
}

Expected<OwnedRef> fourier_square_wave_kernel(PyObject* time, double amplitude, double gamma, double omega,
                                              double phi, double y, std::uint64_t num_harmonics) {
    // Each harmonic costs about one evaluation of the cheapest formula; the
    // estimate saturates rather than wrap around to zero.
    const std::uint64_t work = num_harmonics < UINT64_MAX ? num_harmonics + 1 : UINT64_MAX;
    return evaluate(
        time,
        [=](double t, auto&& keep_going) {
            return fourier_square_wave(t, amplitude, gamma, omega, phi, y, num_harmonics, keep_going);
        },
        work);
}

Expected<OwnedRef> pseudo_cycloid_wave_kernel(PyObject* time, double amplitude, double gamma, double omega,
                                              double phi, double y) {
    return evaluate(time, [=](double t, auto&&) { return pseudo_cycloid_wave(t, amplitude, gamma, omega, phi, y); });
}

Expected<OwnedRef> transient_impulse_kernel(PyObject* time, double amplitude, double period, double width,
                                            double equilibrium) {
    const double onset = transient_onset(period);
    return evaluate(time, [=](double t, auto&&) { return transient_impulse(t, onset, amplitude, width, equilibrium); });
}

}  // namespace undarix::kernels
