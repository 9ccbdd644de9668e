"""Where a signal's strongest frequencies are: the FFT of the (zero-padded)
points for uniform sampling, a Lomb-Scargle periodogram for non-uniform or gappy
time points."""

import numpy as np
from scipy.signal import lombscargle

# Frequency samples per 2*pi/T (T the window): enough to place a peak to a
# small fraction of the spectral resolution before the fit refines it.
OVERSAMPLING = 8


def is_uniform(time):
    steps = np.diff(time)
    step = np.median(steps)
    return bool(np.all(np.abs(steps - step) <= 1e-6 * step))


def power_spectrum(time, values):
    """(angular frequencies, power) of `values` sampled at `time`, from about one
    cycle in the window up to the Nyquist frequency of the median step."""
    span = time[-1] - time[0]
    resolution = 2.0 * np.pi / span
    if is_uniform(time):
        step = (time[-1] - time[0]) / (time.size - 1)
        size = 1 << int(np.ceil(np.log2(time.size * OVERSAMPLING)))
        power = np.abs(np.fft.rfft(values, size)) ** 2
        omegas = 2.0 * np.pi * np.fft.rfftfreq(size, step)
    else:
        nyquist = np.pi / np.median(np.diff(time))
        omegas = np.arange(0.5 * resolution, nyquist, resolution / OVERSAMPLING)
        power = lombscargle(time - time[0], values, omegas)
    return omegas, power


def strongest_frequencies(time, values, count):
    """Up to `count` angular frequencies of the highest local maxima of the power
    spectrum, strongest first, at least two resolution steps apart, each placed
    between samples by a parabola through the peak's neighbours."""
    omegas, power = power_spectrum(time, values)
    span = time[-1] - time[0]
    resolution = 2.0 * np.pi / span
    inner = np.arange(1, power.size - 1)
    peaks = inner[(power[inner] >= power[inner - 1]) & (power[inner] > power[inner + 1])
                  & (omegas[inner] >= 0.8 * resolution)]
    peaks = peaks[np.argsort(power[peaks])[::-1]]
    chosen = []
    for index in peaks:
        left, middle, right = np.log(power[index - 1:index + 2] + 1e-300)
        curvature = left - 2.0 * middle + right
        offset = 0.5 * (left - right) / curvature if curvature < 0 else 0.0
        omega = omegas[index] + offset * (omegas[index + 1] - omegas[index])
        if all(abs(omega - other) >= 2.0 * resolution for other in chosen):
            chosen.append(omega)
        if len(chosen) == count:
            break
    return chosen
