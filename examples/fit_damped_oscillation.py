"""Fits a damped oscillation to noisy measurements with scipy.optimize.curve_fit,
using undarix.harmonic_oscillator as the model.

    python examples/fit_damped_oscillation.py

curve_fit calls the model as model(time, *parameters) with a float64 array and
NumPy scalars, which is exactly how undarix.harmonic_oscillator is called, so
the module function is the model itself, with no wrapper.
"""

import numpy as np
from scipy.optimize import curve_fit

import undarix

NAMES = ("amplitude", "gamma", "omega", "phi", "y")
TRUE = dict(amplitude=2.0, gamma=-0.15, omega=3.0, phi=0.2, y=0.5)


def measure(parameters, points=500, duration=15.0, noise=0.05, seed=7):
    """Synthetic measurements: the waveform on a uniform grid plus Gaussian noise."""
    time = np.linspace(0.0, duration, points)
    clean = undarix.harmonic_oscillator(time, **parameters)
    return time, clean + np.random.default_rng(seed).normal(0.0, noise, points)


def initial_guess(time, values):
    """Starting values read off the data: offset from the tail, frequency, amplitude and
    time shift from the strongest Fourier component, no damping."""
    y = np.median(values[-len(values) // 4:])
    spectrum = np.fft.rfft(values - y)
    k = 1 + np.argmax(np.abs(spectrum[1:]))
    step = time[1] - time[0]
    omega = 2.0 * np.pi * k / (len(time) * step)
    # cos(omega*(t + phi)) contributes exp(i*omega*phi) to the transform.
    phi = np.angle(spectrum[k]) / omega
    amplitude = 2.0 * np.abs(spectrum[k]) / len(time)
    return [amplitude, 0.0, omega, phi, y]


def fit(time, values):
    """Least-squares fit; returns the parameters and their standard errors, by name."""
    best, covariance = curve_fit(undarix.harmonic_oscillator, time, values,
                                 p0=initial_guess(time, values))
    errors = np.sqrt(np.diag(covariance))
    return dict(zip(NAMES, best)), dict(zip(NAMES, errors))


def main():
    time, values = measure(TRUE)
    best, errors = fit(time, values)
    print("fit of harmonic_oscillator to %d noisy points\n" % len(time))
    print("%-10s %12s %12s %12s" % ("parameter", "true", "fitted", "std. error"))
    for name in NAMES:
        print("%-10s %12.6g %12.6g %12.2g" % (name, TRUE[name], best[name], errors[name]))


if __name__ == "__main__":
    main()
