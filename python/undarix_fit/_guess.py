"""First estimates of every free parameter, read from the data alone.

The damped waveforms: the frequency from the spectrum, the damping from the
envelope of the oscillation, then amplitude and offset by linear least squares
for the phase that the fundamental's cosine and sine components give.  The
pulse: onset and width from a grid search over the folded 24-hour cycle,
amplitude and equilibrium by linear least squares.  Each start is scored by its
sum of squared residuals; several starts (the strongest spectral peaks) are
returned best first, so that a fit can try more than one."""

import math

import numpy as np
from scipy.optimize import minimize_scalar

from ._marquardt import cholesky, cholesky_solve, scaled_matrix
from ._spectrum import strongest_frequencies
from ._waveforms import PULSE

TWO_PI = 2.0 * np.pi
# Spectral peaks tried as the fundamental frequency.
FREQUENCY_CANDIDATES = 3

# The fundamental of each damped waveform, as a multiple of A*cos(x + shift):
# cos x; sin x = cos(x - pi/2); (4/pi)*sin x; -2*cos x = 2*cos(x + pi).
FUNDAMENTAL_SHIFT = {
    "harmonic_oscillator": 0.0,
    "pseudo_square_wave": -0.5 * np.pi,
    "fourier_square_wave": -0.5 * np.pi,
    "pseudo_cycloid_wave": np.pi,
}
# Waveforms whose negative is the same waveform half a period later: the two
# signs of the fundamental give the same curve, so one is tried, and the
# amplitude is made positive.
SIGN_SYMMETRIC = ("harmonic_oscillator", "pseudo_square_wave")
# The normal equations square the columns' condition number: where a pivot of
# their matrix scaled to unit diagonal (the share of a column that the ones
# before it leave unexplained) is this small, squared, the columns are too
# close to dependent for them, and an orthogonal factorisation solves.  Above
# it the coefficients agree with that factorisation's to about 1e-10.
DEPENDENT = 1e-6


def linear_fit(columns, values):
    """Coefficients and sum of squared residuals of values ~ columns.

    A guess solves this a few hundred times, for two to four columns: the
    normal equations, solved in Python floats, cost a third of what
    ``numpy.linalg.lstsq`` (an SVD) does, which takes over only where the
    columns are close to dependent.  The residuals are formed anew, not
    from the normal equations, so that a good fit's small sum of squares
    suffers no cancellation."""
    if not columns:
        return np.zeros(0), float(np.dot(values, values))
    design = np.array(columns)
    # Of the product, only the lower triangle is read (see _marquardt).
    normal = np.dot(design, design.copy().T).tolist()
    count = len(normal)
    norms = [math.sqrt(normal[i][i]) for i in range(count)]
    lower = None
    if all(0.0 < norm < math.inf for norm in norms):
        lower = cholesky(scaled_matrix(normal, norms))
    if lower is None or min(lower[i][i] for i in range(count)) ** 2 <= DEPENDENT:
        coefficients = np.linalg.lstsq(design.T, values, rcond=None)[0]
    else:
        projections = np.dot(design, values).tolist()
        scaled = cholesky_solve(lower, [p / n for p, n in zip(projections, norms)])
        coefficients = np.array([value / n for value, n in zip(scaled, norms)])
    residual = values - np.dot(coefficients, design)
    return coefficients, float(np.dot(residual, residual))


class DampedProfile(object):
    """For a frequency and a damping rate, the best oscillation of that shape:
    data ~ e^(gamma*s)*(c*cos(omega*t) + d*sin(omega*t)) + offset (+ e^(gamma*s)
    for the Fourier square wave's constant term), s the time since the first
    point, solved linearly."""

    def __init__(self, name, time, values):
        self.name = name
        self.time = time
        self.values = values
        self.since = time - time[0]

    def solve(self, omega, gamma):
        envelope = np.exp(gamma * self.since)
        columns = [envelope * np.cos(omega * self.time), envelope * np.sin(omega * self.time),
                   np.ones_like(self.time)]
        if self.name == "fourier_square_wave":
            columns.append(envelope)
        return linear_fit(columns, self.values)

    def cost(self, omega, gamma):
        return self.solve(omega, gamma)[1]


def envelope_rate(time, values, omega):
    """The damping rate from the envelope: the amplitude of the oscillation at
    `omega` in consecutive stretches of the window, fitted log-linearly (weighted
    by amplitude, so that stretches lost in the noise count little)."""
    span = time[-1] - time[0]
    periods = omega * span / TWO_PI
    count = int(min(12, max(2, periods // 1.5)))
    edges = np.linspace(time[0], time[-1], count + 1)
    centres, amplitudes = [], []
    for start, stop in zip(edges[:-1], edges[1:]):
        inside = (time >= start) & (time <= stop)
        if inside.sum() < 5:
            continue
        t = time[inside]
        (c, d, _), _ = linear_fit([np.cos(omega * t), np.sin(omega * t), np.ones_like(t)], values[inside])
        centres.append(0.5 * (start + stop))
        amplitudes.append(np.hypot(c, d))
    amplitudes = np.asarray(amplitudes)
    if amplitudes.size < 2 or not np.all(amplitudes > 0):
        return 0.0
    weights = amplitudes / amplitudes.max()
    slope = np.polyfit(np.asarray(centres), np.log(amplitudes), 1, w=weights)[0]
    return float(slope)


def refine(cost, start, half_width):
    """The minimum of a one-dimensional cost near start."""
    found = minimize_scalar(cost, bounds=(start - half_width, start + half_width), method="bounded",
                            options={"xatol": 1e-4 * half_width})
    return float(found.x) if found.fun <= cost(start) else float(start)


def damped_starts(waveform, time, values, fixed):
    span = time[-1] - time[0]
    resolution = TWO_PI / span
    profile = DampedProfile(waveform.name, time, values)
    if "omega" in fixed:
        omegas = [float(fixed["omega"])]
    else:
        trend = np.polyval(np.polyfit(time - time[0], values, 1), time - time[0])
        omegas = strongest_frequencies(time, values - trend, FREQUENCY_CANDIDATES) or [resolution]
    starts = []
    for omega in omegas:
        if "gamma" in fixed:
            gamma = float(fixed["gamma"])
        else:
            gamma = envelope_rate(time, values, omega)
            gamma = refine(lambda g: profile.cost(omega, g), gamma, 1.5 / span)
        if "omega" not in fixed:
            omega = refine(lambda w: profile.cost(w, gamma), omega, 0.5 * resolution)
            if "gamma" not in fixed:
                gamma = refine(lambda g: profile.cost(omega, g), gamma, 0.5 / span)
        (c, d) = profile.solve(omega, gamma)[0][:2]
        # e^(gamma*s)*(c*cos(omega*t) + d*sin(omega*t)) = R*e^(gamma*s)*cos(omega*t - alpha)
        alpha = np.arctan2(d, c)
        for flip in (0.0, np.pi):
            if "phi" in fixed:
                phi = float(fixed["phi"])
            else:
                theta = -alpha - FUNDAMENTAL_SHIFT[waveform.name] + flip
                theta = (theta + np.pi) % TWO_PI - np.pi
                phi = theta / omega
            cost, start = scale_and_offset(waveform, time, values, fixed, dict(gamma=gamma, omega=omega, phi=phi))
            if waveform.name in SIGN_SYMMETRIC and start["amplitude"] < 0 and not fixed.keys() & {"amplitude", "phi"}:
                # the same curve with a positive amplitude, half a period later
                start["amplitude"] = -start["amplitude"]
                theta = (phi * omega + 2.0 * np.pi) % TWO_PI - np.pi
                start["phi"] = theta / omega
            starts.append((cost, start))
            if "phi" in fixed or waveform.name in SIGN_SYMMETRIC:
                break
    return starts


def scale_and_offset(waveform, time, values, fixed, shape):
    """The start with the given shape whose amplitude and offset (the free ones
    among them) fit the data best, and its sum of squared residuals."""
    offset_name = waveform.names[-1]
    unit = dict(shape, amplitude=1.0)
    unit[offset_name] = 0.0
    pattern = waveform.value(time, [unit[name] for name in waveform.names])
    target = values.copy()
    columns = []
    if "amplitude" in fixed:
        target -= float(fixed["amplitude"]) * pattern
    else:
        columns.append(pattern)
    if offset_name in fixed:
        target -= float(fixed[offset_name])
    else:
        columns.append(np.ones_like(time))
    coefficients, cost = linear_fit(columns, target)
    coefficients = list(coefficients)
    start = dict(shape)
    start["amplitude"] = float(fixed["amplitude"]) if "amplitude" in fixed else float(coefficients.pop(0))
    start[offset_name] = float(fixed[offset_name]) if offset_name in fixed else float(coefficients.pop(0))
    if not np.isfinite(cost):
        cost = np.inf
    return cost, {name: start[name] for name in waveform.names}


def pulse_starts(waveform, time, values, fixed):
    """Onset and width by a grid search on the data folded onto one turn: first
    coarse, on the means of 240 phase bins, then fine, on the points themselves."""
    phase = np.fmod(time, TWO_PI)
    if "period" in fixed:
        onsets = np.array([float(fixed["period"])])
    else:
        onsets = np.arange(0.0, 24.0, 0.1)
    if "width" in fixed:
        widths = np.array([float(fixed["width"])])
    else:
        widths = np.geomspace(0.02, 3.0, 28)
    bins = 240
    index = np.where(phase >= 0, np.minimum((phase / TWO_PI * bins).astype(int), bins - 1), bins)
    counts = np.bincount(index, minlength=bins + 1).astype(float)
    sums = np.bincount(index, weights=values, minlength=bins + 1)
    used = counts > 0
    centres = np.append((np.arange(bins) + 0.5) / bins * TWO_PI, -1.0)[used]
    means = sums[used] / counts[used]
    best = grid_search(centres, means, counts[used], onsets, widths, fixed)
    onset, width = best
    if "period" not in fixed:
        onsets = onset + np.arange(-0.15, 0.1501, 0.005)
    if "width" not in fixed:
        widths = width * np.linspace(0.8, 1.25, 10)
    onset, width = grid_search(phase, values, np.ones_like(values), onsets, widths, fixed)
    return [scale_and_offset(waveform, time, values, fixed, dict(period=onset, width=width))]


def grid_search(phase, values, weights, onsets, widths, fixed):
    """The (onset, width) whose pulse shape, scaled and offset by weighted linear
    least squares, leaves the smallest weighted sum of squared residuals."""
    distance = phase[None, None, :] - (onsets / 24.0 * TWO_PI)[:, None, None]
    shapes = np.where(distance >= 0, np.exp(-0.5 * (distance / widths[None, :, None]) ** 2), 0.0)
    total = weights.sum()
    target = values
    if "amplitude" in fixed:
        target = values - float(fixed["amplitude"]) * shapes
    if "equilibrium" in fixed:
        target = target - float(fixed["equilibrium"])
    if "amplitude" in fixed:
        if "equilibrium" in fixed:
            residual = target
        else:
            mean = (weights * target).sum(axis=-1, keepdims=True) / total
            residual = target - mean
        cost = (weights * residual ** 2).sum(axis=-1)
    else:
        target = np.broadcast_to(target, shapes.shape)
        if "equilibrium" in fixed:
            sxx = (weights * shapes * shapes).sum(axis=-1)
            sxy = (weights * shapes * target).sum(axis=-1)
            scale = np.where(sxx > 0, sxy / np.where(sxx > 0, sxx, 1.0), 0.0)
            residual = target - scale[..., None] * shapes
        else:
            mean_x = (weights * shapes).sum(axis=-1) / total
            mean_y = (weights * target).sum(axis=-1) / total
            dx = shapes - mean_x[..., None]
            dy = target - mean_y[..., None]
            sxx = (weights * dx * dx).sum(axis=-1)
            sxy = (weights * dx * dy).sum(axis=-1)
            scale = np.where(sxx > 0, sxy / np.where(sxx > 0, sxx, 1.0), 0.0)
            residual = dy - scale[..., None] * dx
        cost = (weights * residual ** 2).sum(axis=-1)
    i, j = np.unravel_index(np.argmin(cost), cost.shape)
    return float(onsets[i]), float(widths[j])


def ranked_starts(waveform, time, values, fixed):
    """Starting parameter sets, best first (by sum of squared residuals)."""
    if waveform.names == PULSE:
        starts = pulse_starts(waveform, time, values, fixed)
    else:
        starts = damped_starts(waveform, time, values, fixed)
    starts.sort(key=lambda item: item[0])
    return [start for _, start in starts]
