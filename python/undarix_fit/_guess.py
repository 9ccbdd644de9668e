"""First estimates of every free parameter, read from the data alone.

The damped waveforms: the frequency from the spectrum, the damping from the
envelope of the oscillation, both refined on the linear profile (a few
parabolic steps), then amplitude and offset by linear least squares for the
phase that the fundamental's cosine and sine components give.  The pulse:
onset and width from a search over the folded 24-hour cycle (the data's means
in phase bins, correlated with each trial width's pulse by FFT), amplitude and
equilibrium by linear least squares.  Each start is scored by its sum of
squared residuals; several starts (the strongest spectral peaks) are returned
best first, so that a fit can try more than one.  Every step costs O(n) or
O(n log n) time and O(n) memory."""

import math

import numpy as np

from ._marquardt import cholesky, cholesky_solve, scaled_matrix
from ._spectrum import strongest_frequencies

TWO_PI = 2.0 * np.pi
# Spectral peaks tried as the fundamental frequency.
FREQUENCY_CANDIDATES = 3
# The damped guess refines frequency and damping on at most this many points
# (evenly strided): the profile's optimum moves by a small part of the fit's
# own uncertainty, and each of its evaluations costs work per point.
PROFILE_POINTS = 20000
# The normal equations square the columns' condition number: where a pivot of
# their matrix scaled to unit diagonal (the share of a column that the ones
# before it leave unexplained) is this small, squared, the columns are too
# close to dependent for them, and an orthogonal factorisation solves.  Above
# it the coefficients agree with that factorisation's to about 1e-10.
DEPENDENT = 1e-6


def sum_of_squares(values):
    """sum(values**2) of a vector.  Not numpy.dot: from about 10^4 elements
    OpenBLAS spreads a vector's dot product over its threads, which on a busy
    machine made it take a thousand times as long as this loop does."""
    return float(np.einsum("i,i->", values, values))


def linear_fit(columns, values):
    """Coefficients and sum of squared residuals of values ~ columns (a list
    of arrays, or the rows of a 2-D array).

    A guess solves this a few hundred times, for two to four columns: the
    normal equations, solved in Python floats, cost a third of what
    ``numpy.linalg.lstsq`` (an SVD) does, which takes over only where the
    columns are close to dependent.  The residuals are formed anew, not
    from the normal equations, so that a good fit's small sum of squares
    suffers no cancellation."""
    if len(columns) == 0:
        return np.zeros(0), sum_of_squares(values)
    # A block of rows is taken as it is; a list of columns is copied into one.
    design = columns if isinstance(columns, np.ndarray) else np.array(columns)
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
    return coefficients, sum_of_squares(residual)


class DampedProfile(object):
    """For a frequency and a damping rate, the best oscillation of that shape:
    data ~ e^(gamma*s)*(c*cos(omega*t) + d*sin(omega*t)) + offset (+ e^(gamma*s)
    where the shape holds a constant term), s the time since the first point,
    solved linearly."""

    def __init__(self, family, time, values):
        self.constant_term = family.constant_term
        self.time = time
        self.values = values
        self.since = time - time[0]
        # The refinement varies one of frequency and damping at a time, and
        # asks again for the point it settled on: the envelope of the last
        # damping, the cosine and sine of the last frequency and the solved
        # profiles are kept, so that each evaluation computes only what
        # changed (the same operations on the same numbers as without).
        self.envelope_of = (None, None)
        self.phase_of = (None, None)
        self.solved = {}

    def solve(self, omega, gamma):
        key = (omega, gamma)
        found = self.solved.get(key)
        if found is not None:
            return found
        if self.envelope_of[0] != gamma:
            self.envelope_of = (gamma, np.exp(gamma * self.since))
        envelope = self.envelope_of[1]
        if self.phase_of[0] != omega:
            phase = omega * self.time
            self.phase_of = (omega, (np.cos(phase), np.sin(phase)))
        cos, sin = self.phase_of[1]
        # The columns written into one block, which linear_fit takes as its
        # design without copying them together.
        design = np.empty((4 if self.constant_term else 3, self.time.size))
        np.multiply(envelope, cos, out=design[0])
        np.multiply(envelope, sin, out=design[1])
        design[2] = 1.0
        if self.constant_term:
            design[3] = envelope
        found = self.solved[key] = linear_fit(design, self.values)
        return found

    def cost(self, omega, gamma):
        return self.solve(omega, gamma)[1]


def envelope_rate(time, values, omega):
    """The damping rate from the envelope: the amplitude of the oscillation at
    `omega` in consecutive stretches of the window (each at least 1.5 periods,
    read from its centred Fourier sum), fitted log-linearly (weighted by
    amplitude, so that stretches lost in the noise count little)."""
    span = time[-1] - time[0]
    periods = omega * span / TWO_PI
    count = int(min(12, max(2, periods // 1.5)))
    edges = np.linspace(time[0], time[-1], count + 1)
    starts = np.searchsorted(time, edges[:-1])
    counts = np.diff(np.concatenate((starts, [time.size])))
    keep = counts >= 5
    if keep.sum() < 2:
        return 0.0
    phase = omega * time
    cos, sin = np.cos(phase), np.sin(phase)

    def sums(array):
        return np.add.reduceat(array, starts)[keep]
    n = counts[keep].astype(float)
    mean = sums(values) / n
    real = sums(values * cos) - mean * sums(cos)
    imaginary = sums(values * sin) - mean * sums(sin)
    amplitudes = 2.0 * np.hypot(real, imaginary) / n
    centres = 0.5 * (edges[:-1] + edges[1:])[keep]
    if not np.all(amplitudes > 0):
        return 0.0
    # Weighted least squares of log amplitude ~ centre (numpy.polyfit's w
    # weights the residuals, so the squares are weighted by weights**2).
    weights = (amplitudes / amplitudes.max()) ** 2
    logs = np.log(amplitudes)
    mean_x = np.dot(weights, centres) / weights.sum()
    mean_y = np.dot(weights, logs) / weights.sum()
    spread_x = np.dot(weights, (centres - mean_x) ** 2)
    if not spread_x > 0:
        return 0.0
    return float(np.dot(weights, (centres - mean_x) * (logs - mean_y)) / spread_x)


# Parabolic steps of the refinement of frequency and damping (bench_fit.py's
# convergence suite: one reaches as many cases as two, at half the work).
REFINE_ROUNDS = 1


def refine(cost, start, step, rounds=REFINE_ROUNDS, start_cost=None):
    """(x, cost(x)) at the minimum of a one-dimensional cost near `start`:
    rounds of a parabola through the cost at start and start +- step, each
    moving at most two steps and halving the step; three evaluations a round
    (and one at the start, unless its cost is given)."""
    best, best_cost = start, cost(start) if start_cost is None else start_cost
    for _ in range(rounds):
        left, right = cost(best - step), cost(best + step)
        curvature = left - 2.0 * best_cost + right
        if curvature > 0:
            move = max(-2.0, min(2.0, 0.5 * (left - right) / curvature)) * step
        else:
            move = -step if left < right else step
        trial = best + move
        trial_cost = cost(trial)
        candidates = [(best_cost, best), (left, best - step), (right, best + step), (trial_cost, trial)]
        best_cost, best = min(candidates)
        step *= 0.5
    return float(best), best_cost


def damped_starts(family, waveform, time, values, fixed):
    span = time[-1] - time[0]
    resolution = TWO_PI / span
    stride = max(1, -(-time.size // PROFILE_POINTS))
    profile = DampedProfile(family, time[::stride], values[::stride])
    if "omega" in fixed:
        omegas = [float(fixed["omega"])]
    else:
        # Less the straight line through the points, which would leak into the
        # lowest frequencies.
        since = time - time[0]
        centred = since - since.mean()
        slope = np.dot(centred, values) / np.dot(centred, centred)
        omegas = strongest_frequencies(time, values - slope * centred, FREQUENCY_CANDIDATES) or [resolution]
    groups = []
    for rank, omega in enumerate(omegas):
        # Only the strongest peak, the start a fit tries first, is refined, and
        # its damping serves the others: they are tried only if it fails, and
        # the fit refines them then.
        if "gamma" in fixed:
            gamma = float(fixed["gamma"])
        elif rank == 0:
            gamma = envelope_rate(time, values, omega)
        cost = None
        if rank == 0 and "gamma" not in fixed:
            gamma, cost = refine(lambda g: profile.cost(omega, g), gamma, 0.5 / span)
        if rank == 0 and "omega" not in fixed:
            omega, cost = refine(lambda w: profile.cost(w, gamma), omega, 0.1 * resolution, start_cost=cost)
        coefficients, cost = profile.solve(omega, gamma)
        size = 1 if "phi" in fixed or family.half_period_negates else 2
        groups.append((cost, size, DampedStarts(family, waveform, time, values, fixed, omega, gamma,
                                                coefficients[:2])))
    return groups


class DampedStarts(object):
    """The starts (one, or both signs of the fundamental) at a frequency and
    damping whose linear profile is known: made only when a fit asks for
    them, each one evaluation of the waveform and a linear fit."""

    def __init__(self, family, waveform, time, values, fixed, omega, gamma, coefficients):
        self.arguments = (family, waveform, time, values, fixed, omega, gamma, coefficients)

    def __call__(self):
        family, waveform, time, values, fixed, omega, gamma, (c, d) = self.arguments
        # e^(gamma*s)*(c*cos(omega*t) + d*sin(omega*t)) = R*e^(gamma*s)*cos(omega*t - alpha)
        alpha = np.arctan2(d, c)
        starts = []
        for flip in (0.0, np.pi):
            if "phi" in fixed:
                phi = float(fixed["phi"])
            else:
                theta = -alpha - family.fundamental_shift + flip
                theta = (theta + np.pi) % TWO_PI - np.pi
                phi = float(theta / omega)
            cost, start = scale_and_offset(waveform, time, values, fixed, dict(gamma=gamma, omega=omega, phi=phi))
            if family.half_period_negates and not fixed.keys() & {"amplitude", "phi"}:
                start = family.canonical(start)
            starts.append((cost, start))
            if "phi" in fixed or family.half_period_negates:
                break
        return starts


def scale_and_offset(waveform, time, values, fixed, shape):
    """The start with the given shape whose amplitude and offset (the free ones
    among them) fit the data best, and its sum of squared residuals."""
    offset_name = waveform.family.offset
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


# Phase bins of the folded turn for the pulse search: about four points a bin,
# between these bounds (the finest bins place the onset to 0.006 h; the
# profile in the fit then places it between the samples).
PULSE_BINS = (64, 4096)
# Trial widths (radians) of the pulse search, geometric, and their count.
PULSE_WIDTHS = (0.02, 3.0)
PULSE_WIDTH_COUNT = 28


def pulse_starts(waveform, time, values, fixed):
    """Onset and width by a search on the data folded onto one turn: the means
    of the points in each phase bin, and for every trial width the weighted
    linear fit of a pulse starting at every bin edge, its three sums over the
    bins a correlation that one FFT gives for all onsets at once."""
    phase = np.fmod(time, TWO_PI)
    bins = int(min(PULSE_BINS[1], max(PULSE_BINS[0], 2 ** round(math.log2(max(1, time.size / 4))))))
    step = TWO_PI / bins
    # A negative time's remainder is negative: no onset in the turn reaches it,
    # and it counts in the totals only.
    reached = phase >= 0
    index = np.minimum((phase[reached] / step).astype(np.int64), bins - 1)
    counts = np.bincount(index, minlength=bins).astype(float)
    sums = np.bincount(index, weights=values[reached], minlength=bins)
    if "width" in fixed:
        widths = np.array([float(fixed["width"])])
    else:
        widths = np.geomspace(max(PULSE_WIDTHS[0], 0.5 * step), PULSE_WIDTHS[1], PULSE_WIDTH_COUNT)
    # Kernel: the pulse of each width at the bin centres m + 1/2 bins after
    # its onset (nothing before it); zero-padded to 2*bins so that the
    # correlation does not wrap round (the pulse ends with the turn).
    offsets = (np.arange(bins) + 0.5) * step
    kernel = np.zeros((widths.size, 2 * bins))
    kernel[:, :bins] = np.exp(-0.5 * (offsets[None, :] / widths[:, None]) ** 2)
    spectra = np.fft.rfft(kernel, axis=1)
    squares = np.fft.rfft(kernel ** 2, axis=1)
    del kernel

    def correlate(weights, spectrum):
        # sum_m weights[k + m] * kernel[m] for every onset bin k
        data = np.fft.rfft(weights, 2 * bins)
        return np.fft.irfft(data[None, :] * np.conj(spectrum), 2 * bins, axis=1)[:, :bins]
    total = float(time.size)
    total_sum = float(values.sum())
    total_square = sum_of_squares(values)
    sx = correlate(counts, spectra)           # sum of the pulse over the points
    sxx = correlate(counts, squares)          # of its square
    sxy = correlate(sums, spectra)            # of the pulse times the data
    # The bin means stand for the points: the cost is of the points, each at its
    # bin's pulse value.
    if "period" in fixed:
        onset_bins = np.array([min(bins - 1, int(round(float(fixed["period"]) / 24.0 * bins)))])
        sx, sxx, sxy = sx[:, onset_bins], sxx[:, onset_bins], sxy[:, onset_bins]
    cost = pulse_costs(sx, sxx, sxy, total, total_sum, total_square, fixed)
    i, j = np.unravel_index(np.argmin(cost), cost.shape)
    if "period" in fixed:
        onset = float(fixed["period"])
    else:
        # Between bin edges: a parabola through the neighbouring onsets' costs.
        onset_bin = float(j)
        if 0 < j < cost.shape[1] - 1:
            left, middle, right = cost[i, j - 1], cost[i, j], cost[i, j + 1]
            curvature = left - 2.0 * middle + right
            if curvature > 0:
                onset_bin += max(-0.5, min(0.5, 0.5 * (left - right) / curvature))
        onset = onset_bin * step / TWO_PI * 24.0
    width = float(widths[i])
    if "width" not in fixed and 0 < i < widths.size - 1:
        left, middle, right = cost[i - 1, j], cost[i, j], cost[i + 1, j]
        curvature = left - 2.0 * middle + right
        if curvature > 0:
            width *= (widths[1] / widths[0]) ** max(-0.5, min(0.5, 0.5 * (left - right) / curvature))
    made = [scale_and_offset(waveform, time, values, fixed, dict(period=float(onset), width=float(width)))]
    return [(made[0][0], 1, lambda: made)]


def pulse_costs(sx, sxx, sxy, total, total_sum, total_square, fixed):
    """The sum of squared residuals of data ~ amplitude * pulse + equilibrium for
    every (width, onset), from the sums of the pulse, its square and its
    product with the data, with the free ones of amplitude and equilibrium
    fitted."""
    sy, syy = total_sum, total_square
    if "amplitude" in fixed:
        a = float(fixed["amplitude"])
        # residual r = y - a x - c
        ry = sy - a * sx
        ryy = syy - 2.0 * a * sxy + a * a * sxx
        if "equilibrium" in fixed:
            c = float(fixed["equilibrium"])
            return ryy - 2.0 * c * ry + c * c * total
        return ryy - ry * ry / total
    if "equilibrium" in fixed:
        c = float(fixed["equilibrium"])
        ry = sxy - c * sx
        yy = syy - 2.0 * c * sy + c * c * total
        with np.errstate(invalid="ignore", divide="ignore"):
            return np.where(sxx > 0, yy - ry * ry / np.where(sxx > 0, sxx, 1.0), yy)
    vxx = sxx - sx * sx / total
    vxy = sxy - sx * sy / total
    vyy = syy - sy * sy / total
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(vxx > 1e-12 * total, vyy - vxy * vxy / np.where(vxx > 0, vxx, 1.0), vyy)


def ranked_starts(waveform, time, values, fixed):
    """Starting parameter sets, best first: the family's groups of starts (the
    spectral peaks) by the sum of squares of their linear profile, within a
    group by their own; made as they are asked for."""
    groups = waveform.family.starts(waveform, time, values, fixed)
    groups.sort(key=lambda group: group[0])
    return Starts(groups)


class Starts(object):
    """A sequence of starts whose groups are made when first reached: a fit
    that succeeds from the first start never pays for the others."""

    def __init__(self, groups, adjust=None):
        self.groups = list(groups)
        self.size = sum(size for _, size, _ in self.groups)
        self.made = []
        self.adjust = adjust

    def adjusted(self, adjust):
        """The same starts, each passed through adjust(start) after any
        adjustment made before (called before the starts are iterated)."""
        before = self.adjust
        return Starts(self.groups, adjust if before is None else (lambda start: adjust(before(start))))

    def __len__(self):
        return self.size

    def __getitem__(self, index):
        for position, start in enumerate(self):
            if position == index:
                return start
        raise IndexError(index)

    def __iter__(self):
        position = 0
        while True:
            while position >= len(self.made) and self.groups:
                made = sorted(self.groups.pop(0)[2](), key=lambda item: item[0])
                self.made.extend(start if self.adjust is None else self.adjust(start) for _, start in made)
            if position >= len(self.made):
                return
            yield self.made[position]
            position += 1
