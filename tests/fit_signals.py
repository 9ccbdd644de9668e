"""Synthetic measurements for the fitting tests: a waveform with known
parameters at uniform or sorted random time points, plus Gaussian noise of 5 %
of |amplitude|."""

import numpy as np

import undarix_ufuncs

# One parameter set per waveform, away from any special value: a few periods
# (or turns), damping, an amplitude of either sign.
TRUE = {
    "harmonic_oscillator": dict(amplitude=1.7, gamma=-0.04, omega=2.3, phi=0.4, y=0.3),
    "pseudo_square_wave": dict(amplitude=-2.2, gamma=-0.02, omega=1.1, phi=-0.9, y=1.5),
    "fourier_square_wave": dict(amplitude=0.8, gamma=-0.03, omega=0.9, phi=1.2, y=-0.6),
    "pseudo_cycloid_wave": dict(amplitude=-1.3, gamma=0.005, omega=1.6, phi=0.2, y=0.1),
    "transient_impulse": dict(amplitude=-3.0, period=7.5, width=0.45, equilibrium=1.2),
}
EXTRA = {"fourier_square_wave": dict(num_harmonics=4)}
NAMES = tuple(TRUE)


def signal(name, uniform=True, points=600, seed=0, noise=0.05):
    """(time, data, clean curve, noise sigma) of waveform `name`."""
    rng = np.random.default_rng(seed)
    span = 6 * 2 * np.pi if name == "transient_impulse" else 40.0
    if uniform:
        time = np.linspace(0.0, span, points)
    else:
        time = np.sort(rng.uniform(0.0, span, points))
    true = TRUE[name]
    clean = getattr(undarix_ufuncs, name)(time, *(list(true.values()) + list(EXTRA.get(name, {}).values())))
    sigma = noise * abs(true["amplitude"])
    return time, clean + rng.normal(0.0, sigma, points), clean, sigma


def rms(values):
    return float(np.sqrt(np.mean(np.square(values))))
