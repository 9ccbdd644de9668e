"""Where a signal's strongest frequencies are: the FFT of the (zero-padded)
points for uniform sampling, a fast Lomb-Scargle periodogram for non-uniform
or gappy time points.

The fast periodogram is Press and Rybicki's (ApJ 338, 277, 1989): each point
is spread ("extirpolated") onto the four nearest nodes of a uniform grid with
Lagrange weights, so that one FFT of the grid gives the sums of
y*cos(omega*t), y*sin(omega*t) at every frequency of an evenly spaced grid,
and a second FFT, of the points spread at twice their grid coordinate with
unit weight, gives the sums of cos(2*omega*t), sin(2*omega*t) that the
periodogram's time offset tau needs.  That costs O(n + N log N) time and
O(n + N) memory for N grid nodes, where the direct sum costs O(n * M) for M
frequencies."""

import numpy as np

from ._statistics import median_of

# Frequency samples per 2*pi/T (T the window): enough to place a peak to a
# small fraction of the spectral resolution before the guess refines it.  The
# FFT of uniform points is cheap to pad 8 times; the periodogram's grid, two
# FFTs of 8 nodes per frequency, is the larger part of an irregular guess, and
# a parabola through the log power places a peak sampled 4 times per
# resolution step to a few hundredths of it.
OVERSAMPLING = 8
IRREGULAR_OVERSAMPLING = 4
# Fewest frequency samples per 2*pi/T when the cap below would be reached.
LEAST_OVERSAMPLING = 2
# At most this many frequencies in a non-uniform periodogram: at 1e6 irregular
# points (bench_fit.py's guess scaling) the grid stays at 2^23 nodes, about
# 200 MB for the two FFTs.  Past it the highest frequencies are left out: a
# signal with more than about 2^19 periods in its window is not one whose
# period a first guess has to find.
MOST_FREQUENCIES = 1 << 20
# Grid nodes per frequency: the sums at twice the highest frequency must be
# sampled four times per turn for the four-point Lagrange spreading to hold
# them to about a per cent (Press and Rybicki's MACC = 4).
NODES_PER_FREQUENCY = 8


def is_uniform(time):
    steps = np.diff(time)
    step = median_of(steps)
    return bool(np.all(np.abs(steps - step) <= 1e-6 * step))


def spread(position, weights, size):
    """The grid of `size` nodes onto which each point at (fractional, periodic)
    `position` puts its weight on the four nearest nodes with the Lagrange
    weights of cubic interpolation, so that a sum of weights*f(position) over
    the points is the sum of grid*f over the nodes for any f that a cubic
    follows between nodes."""
    first = np.floor(position).astype(np.int64) - 1
    d = position - first            # in [1, 2): the nodes are at 0, 1, 2, 3
    d1 = d - 1.0
    d2 = d - 2.0
    d3 = d - 3.0
    factors = np.empty((position.size, 4))
    factors[:, 0] = -d1 * d2 * d3 / 6.0
    factors[:, 1] = d * d2 * d3 / 2.0
    factors[:, 2] = -d * d1 * d3 / 2.0
    factors[:, 3] = d * d1 * d2 / 6.0
    if weights is not None:
        factors *= weights[:, None]
    index = first[:, None] + np.arange(4)
    index %= size
    return np.bincount(index.ravel(), weights=factors.ravel(), minlength=size)


def lomb_scargle(time, values, oversampling, count):
    """(angular frequencies k*dw for k = 1..count, dw = 2*pi/(T*oversampling),
    and the Lomb-Scargle power there), by Press and Rybicki's method."""
    span = time[-1] - time[0]
    size = 1 << int(np.ceil(np.log2(NODES_PER_FREQUENCY * count)))
    # Grid coordinate: one turn of the k-th frequency takes size/k nodes.
    position = (time - time[0]) * (size / (span * oversampling))
    centred = values - values.mean()
    sums = np.fft.rfft(spread(position, centred, size))[1:count + 1]
    # conj: rfft sums with e^(-i...), the periodogram wants cos + i sin.
    data_cos, data_sin = sums.real, -sums.imag
    del sums
    double = np.fft.rfft(spread(np.fmod(2.0 * position, size), None, size))[2:2 * count + 1:2]
    cos2, sin2 = double.real, -double.imag
    del double
    points = time.size
    hypot = np.hypot(cos2, sin2)
    with np.errstate(invalid="ignore", divide="ignore"):
        cos2t = np.where(hypot > 0, cos2 / hypot, 1.0)
        sin2t = np.where(hypot > 0, sin2 / hypot, 0.0)
    cos_t = np.sqrt(0.5 * (1.0 + cos2t))
    sin_t = np.copysign(np.sqrt(np.maximum(0.5 * (1.0 - cos2t), 0.0)), sin2t)
    cos_weight = 0.5 * points + 0.5 * (cos2t * cos2 + sin2t * sin2)
    sin_weight = points - cos_weight
    with np.errstate(invalid="ignore", divide="ignore"):
        power = (np.where(cos_weight > 0, (cos_t * data_cos + sin_t * data_sin) ** 2 / cos_weight, 0.0)
                 + np.where(sin_weight > 0, (cos_t * data_sin - sin_t * data_cos) ** 2 / sin_weight, 0.0))
    omegas = np.arange(1, count + 1) * (2.0 * np.pi / (span * oversampling))
    return omegas, 0.5 * power


def power_spectrum(time, values):
    """(angular frequencies, power) of `values` sampled at `time`, from about one
    cycle in the window up to the Nyquist frequency of the median step."""
    span = time[-1] - time[0]
    if is_uniform(time):
        step = span / (time.size - 1)
        size = 1 << int(np.ceil(np.log2(time.size * OVERSAMPLING)))
        power = np.abs(np.fft.rfft(values - values.mean(), size)) ** 2
        omegas = 2.0 * np.pi * np.fft.rfftfreq(size, step)
        return omegas, power
    # Frequencies up to the Nyquist frequency of the median step, in steps of
    # 2*pi/T/oversampling: (T / (2*step)) * oversampling of them.
    periods = 0.5 * span / median_of(np.diff(time))
    oversampling = min(IRREGULAR_OVERSAMPLING, max(LEAST_OVERSAMPLING, MOST_FREQUENCIES / periods))
    count = int(min(MOST_FREQUENCIES, np.ceil(periods * oversampling)))
    return lomb_scargle(time, values, oversampling, max(count, 4))


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
    # The highest few hundred peaks hold the strongest `count` that are apart.
    if peaks.size > 64 * count:
        peaks = peaks[np.argpartition(power[peaks], -64 * count)[-64 * count:]]
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
