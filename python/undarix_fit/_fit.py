"""guess() and fit(): least squares with the analytic Jacobian of the ufuncs."""

import math

import numpy as np

from ._guess import linear_fit, ranked_starts, scale_and_offset
from ._parameters import bound_arrays, by_name, fixed_parameters
from ._problem import Problem
from ._result import FitResult
from ._samples import Samples
from ._solvers import normal_inverse_of, solve_marquardt, solve_trust_region, uses_marquardt
from ._waveforms import Waveform

# Further starts (the next spectral peaks) are tried when the fit from the
# best one leaves residuals this much larger than the noise they should be;
# the noise is estimated from differences of neighbouring points.
RETRY_RATIO = 1.5
# The sample intervals on either side of the fitted onset whose chi-square the
# onset's profile compares (bench_fit.py's false-success suite: the worse
# minima it found lay within a few samples of the best one).
ONSET_NEIGHBOURS = 8
# A family's other branch is fitted when amplitude and offset refitted at its
# shape leave less than this many times the fit's sum of squares.  Over 60
# Fourier square waves of bench_fit.py's widened suite, the one fit that the
# other branch improved left it, so refitted, at 1.0 times its own sum of
# squares; a fit at the worse minimum is above the better one's, which makes
# the ratio smaller still.  Fits already at the better minimum mostly leave
# ratios far above it, and skip the second fit.
BRANCH_RATIO = 10.0
# The median absolute deviation of a normal variable over its sigma.
MAD_PER_SIGMA = 0.6744897501960817
# The relative change of the parameters at which the fit with the onset free
# stops (MINPACK's xtol), unless the caller sets xtol.  The cost jumps where
# the onset crosses a sample time, and the solver, which sees no jump, creeps
# towards that time by ever smaller steps; past 1e-5 they change the sum of
# squares by a few parts in a million at most, and the fit that follows, with
# the onset held, finishes the other parameters at full precision.
ONSET_XTOL = 1e-5


def guess(name, time, data, **fixed):
    """First estimates of every parameter of waveform `name` from the data
    alone.

    Parameters
    ----------
    name : str
        One of ``harmonic_oscillator``, ``pseudo_square_wave``,
        ``fourier_square_wave``, ``pseudo_cycloid_wave``, ``transient_impulse``.
    time, data : array_like
        One-dimensional, the same length, ``time`` strictly increasing
        (arrays, lists, pandas Series, xarray DataArrays).  NaNs in ``data``
        are ignored.
    **fixed
        Parameters whose values are known, by name (``omega=2.0``); and, for
        ``fourier_square_wave``, ``num_harmonics=N`` (an int, required).

    Returns
    -------
    dict
        Every parameter of the waveform by name (the fixed ones at their given
        values), ready to be ``p0`` of :func:`fit`.

    Raises
    ------
    ValueError
        Too few points, all NaN, time not increasing, length mismatch, an
        unknown parameter name, ``num_harmonics`` missing or not an int.
    """
    num_harmonics = fixed.pop("num_harmonics", None)
    waveform = Waveform(name, num_harmonics)
    values = by_name(fixed, waveform.names, "guess")
    samples = Samples(time, data)
    return ranked_starts(waveform, samples.time, samples.data, values)[0]


def noise_level(samples):
    """The noise's standard deviation, from the median absolute deviation of the
    second and of the fourth differences of neighbouring points, the smaller
    of the two: a smooth signal nearly cancels out of them (the fourth
    difference leaves less of a coarsely sampled one), and a median does not
    see the few differences that a square edge or a pulse's jump makes
    large, where a mean square would."""
    data = samples.data
    if samples.weights is not None:
        data = data * samples.weights   # sigma varies slowly next to the noise
    estimates = []
    # A difference of order k of independent noise has variance C(2k, k) sigma^2.
    for order, variance in ((2, 6.0), (4, 70.0)):
        if data.size > order + 2:
            difference = np.diff(data, order)
            deviation = np.median(np.abs(difference - np.median(difference)))
            estimates.append(deviation / MAD_PER_SIGMA / math.sqrt(variance))
    return float(min(estimates)) if estimates else 0.0


def best_fit(waveform, samples, starts, free, solve, own_starts):
    """(problem, solution, final problem, final solution, (J^T J)^-1 of every
    free parameter, evaluations) of the best fit from `starts`, in order:
    the further starts only while the best fit so far leaves residuals well
    above the noise; then, from the guess's own starts, the family's other
    branches of the best fit; then, where the curve jumps at an onset, the
    onset's profile over the sample intervals next to it, and a fit with the
    onset held where the solver stopped short."""
    names = waveform.names
    family = waveform.family
    best = None
    nfev = 0
    # Each further start costs a further fit: one is tried only when the fits
    # so far leave residuals well above the noise.
    noise = noise_level(samples) if len(starts) > 1 else 0.0
    for start in starts:
        problem = Problem(waveform, samples, start, free)
        solution = solve(problem)
        nfev += solution.nfev
        if best is None or solution.chisqr < best[1].chisqr:
            best = (problem, solution)
        if not math.sqrt(best[1].chisqr / samples.time.size) > RETRY_RATIO * noise:
            break
    problem, solution = best
    if own_starts and {"amplitude", family.offset, "phi"} <= set(free):
        for branch in family.other_branches(waveform, samples.time,
                                            dict(zip(names, problem.parameters(solution.x)))):
            # Amplitude and offset refitted linearly at the branch's shape: a
            # fit at the better minimum leaves the other branch far worse
            # than this, and one at the worse minimum does not.
            shape = {name: branch[name] for name in names if name not in ("amplitude", family.offset)}
            scaled = scale_and_offset(waveform, samples.time, samples.data, {}, shape)[0] \
                if samples.weights is None else 0.0
            if not scaled < BRANCH_RATIO * solution.chisqr:
                continue
            other = Problem(waveform, samples, branch, free)
            found = solve(other)
            nfev += found.nfev
            if found.chisqr < solution.chisqr:
                problem, solution = other, found
    onset = family.onset
    final, finished = problem, solution
    normal_inverse = solution.normal_inverse
    if onset in free and len(free) > 1:
        profiled = onset_profile(waveform, samples, problem, solution, free, solve)
        if profiled is not None:
            nfev += profiled[2]
            problem, solution = profiled[:2]
            final, finished = problem, solution
            normal_inverse = solution.normal_inverse
    if onset in free and len(free) > 1 and not solution.settled:
        # The pulse jumps at its onset, where the derivative by the onset is
        # one-sided: the solver sees the slope of the half Gaussian but not the
        # jump, and may stop short in the other parameters (it stops on the
        # step size, not because the sum of squares settled).  With the onset
        # held where it stopped, the rest is smooth and converges.
        rest = Problem(waveform, samples, dict(zip(names, problem.parameters(solution.x))),
                       tuple(name for name in free if name != onset))
        polished = solve(rest)
        nfev += polished.nfev
        if polished.chisqr <= solution.chisqr:
            final, finished = rest, polished
            # The covariance is of every free parameter, the onset too.
            at = rest.parameters(polished.x)[problem.columns]
            normal_inverse = normal_inverse_of(problem.jacobian(at))
    return problem, solution, final, finished, normal_inverse, nfev


def onset_profile(waveform, samples, problem, solution, free, solve):
    """(problem, solution, evaluations) of a better fit with the onset in
    another interval between the samples' places in the turn, or None.

    The chi-square jumps wherever the onset crosses a sample's place in the
    turn, which the Jacobian does not see: a solver stops in the interval it
    started in.  The profile tries the interval midpoints on either side,
    first with the other parameters' shape held (amplitude and offset fitted
    linearly, one evaluation each); where that already beats the fit, the
    other parameters are fitted with the onset held there, and then all of
    them, from that interval."""
    names = waveform.names
    onset = waveform.family.onset
    offset = waveform.family.offset
    current = dict(zip(names, problem.parameters(solution.x)))
    turn = 2.0 * np.pi
    places = np.fmod(samples.time, turn)
    places = np.unique(places[places >= 0])     # a negative time is never reached
    edges = np.concatenate(([0.0], places, [turn]))
    position = current[onset] / 24.0 * turn
    if not 0.0 <= position < turn:
        return None
    index = int(np.searchsorted(edges, position, side="right"))      # edges[index - 1] <= position < edges[index]
    low, high = max(1, index - ONSET_NEIGHBOURS), min(edges.size - 1, index + ONSET_NEIGHBOURS)
    weights = samples.weights
    target = samples.data if weights is None else samples.data * weights
    ones = np.ones_like(target) if weights is None else weights
    chosen = None
    for interval in range(low, high + 1):
        if interval == index:
            continue
        trial = dict(current)
        trial[onset] = 0.5 * (edges[interval - 1] + edges[interval]) / turn * 24.0
        columns = []
        rest = target
        unit = dict(trial, amplitude=1.0)
        unit[offset] = 0.0
        pattern = waveform.value(samples.time, [unit[name] for name in names])
        if weights is not None:
            pattern = pattern * weights
        if "amplitude" in free:
            columns.append(pattern)
        else:
            rest = rest - trial["amplitude"] * pattern
        if offset in free:
            columns.append(ones)
        else:
            rest = rest - trial[offset] * ones
        coefficients, cost = linear_fit(columns, rest)
        if cost < solution.chisqr and (chosen is None or cost < chosen[0]):
            coefficients = list(coefficients)
            if "amplitude" in free:
                trial["amplitude"] = float(coefficients.pop(0))
            if offset in free:
                trial[offset] = float(coefficients.pop(0))
            chosen = (cost, trial)
    if chosen is None:
        return None
    nfev = 0
    held = Problem(waveform, samples, chosen[1], tuple(name for name in free if name != onset))
    held_solution = solve(held)
    nfev += held_solution.nfev
    start = dict(zip(names, held.parameters(held_solution.x)))
    moved = Problem(waveform, samples, start, free)
    moved_solution = solve(moved)
    nfev += moved_solution.nfev
    if moved_solution.chisqr < solution.chisqr:
        return moved, moved_solution, nfev
    return None


def fit(name, time, data, p0=None, sigma=None, bounds=None, fixed=None, num_harmonics=None,
        absolute_sigma=False, **options):
    """Fit waveform `name` to `data` by least squares with the exact Jacobian.

    Parameters
    ----------
    name : str
        The waveform (see :func:`guess`).
    time, data : array_like
        One-dimensional, the same length, ``time`` strictly increasing; arrays,
        lists, pandas Series or xarray DataArrays.  Points where ``data`` is NaN
        are left out.
    p0 : dict or sequence, optional
        The starting parameters, by name or in parameter order.  Without it the
        fit starts from :func:`guess` (and from the next spectral peaks too, if
        the first start leaves residuals well above the noise).
    sigma : float or array_like, optional
        The standard deviation of each data point: residuals are divided by it.
    bounds : dict, optional
        ``{name: (low, high)}`` for free parameters (``None`` for no limit on
        one side); or ``(lower, upper)`` sequences over the free parameters.
    fixed : dict or collection of str, optional
        Parameters held constant: ``{name: value}``, or names held at their
        starting values.  They are left out of the Jacobian.
    num_harmonics : int
        ``fourier_square_wave`` only, and required there.
    absolute_sigma : bool
        As in ``curve_fit``: if true, ``sigma`` is absolute and the covariance
        is not scaled by the reduced chi-square.
    **options
        Solver settings.  ``ftol``, ``xtol``, ``gtol`` and ``max_nfev`` go to
        the Levenberg-Marquardt loop, which fits when no bound is finite
        (MINPACK's tests and defaults, as :func:`scipy.optimize.leastsq`
        has them); finite bounds, or any other option of
        :func:`scipy.optimize.least_squares` (``loss``, ``method="trf"``,
        ``x_scale``, ...), make the fit run ``least_squares`` with them.

    Returns
    -------
    FitResult

    Raises
    ------
    ValueError
        Bad data (see :func:`guess`), unknown parameter names, a ``p0`` of the
        wrong length, inconsistent bounds.
    """
    waveform = Waveform(name, num_harmonics)
    names = waveform.names
    fixed_values, held = fixed_parameters(fixed, names)
    free = tuple(name for name in names if name not in held)
    if not free:
        raise ValueError("every parameter is fixed: nothing to fit")
    samples = Samples(time, data, sigma, needed=len(free) + 1)
    starts = starting_points(waveform, samples, p0, fixed_values)
    lower = upper = None
    if bounds is not None:
        lower, upper = bound_arrays(bounds, free)
        if not (np.isfinite(lower).any() or np.isfinite(upper).any()):
            lower = upper = None
    marquardt = uses_marquardt(lower is not None, options)

    def solve(problem):
        settings = options
        if waveform.family.onset in problem.free and len(problem.free) > 1 and "xtol" not in options:
            settings = dict(options, xtol=ONSET_XTOL)
        if marquardt:
            return solve_marquardt(problem, problem.start(), settings)
        if lower is None:
            return solve_trust_region(problem, problem.start(), None, None, settings)
        keep = [free.index(name) for name in problem.free]
        return solve_trust_region(problem, problem.start(), lower[keep], upper[keep], settings)

    problem, solution, final, finished, normal_inverse, nfev = best_fit(
        waveform, samples, starts, free, solve, own_starts=p0 is None)
    points = samples.time.size
    dof = points - len(free)
    covariance, estimated = covariance_matrix(normal_inverse, finished.chisqr, dof, absolute_sigma,
                                              problem.columns, len(names))
    success, message = solution.success, solution.message
    if not finished.success:
        success, message = False, finished.message
    if success and not estimated:
        message += " (the covariance could not be estimated: a parameter is not determined by the data)"
    if samples.weights is None:
        difference = finished.weighted
    else:
        difference = final.unweighted_residuals(finished.x)
    return FitResult(
        waveform,
        params=dict(zip(names, final.parameters(finished.x).tolist())),
        stderr=dict(zip(names, np.sqrt(covariance.diagonal()).tolist())),
        covariance=covariance,
        residuals=samples.spread_back(-difference),
        chisqr=finished.chisqr,
        redchi=finished.chisqr / dof if dof > 0 else float("inf"),
        nfev=nfev,
        success=success and estimated,
        message=message,
        free=free,
        time=samples.all_time.copy(),
        data=samples.all_data.copy(),
    )


def starting_points(waveform, samples, p0, fixed_values):
    """The starts to fit from, best first: `p0`, or the guesses from the data
    (the strongest spectral peaks for the damped waveforms), with the fixed
    values in place."""
    names = waveform.names
    if p0 is None:
        starts = ranked_starts(waveform, samples.time, samples.data, fixed_values)
    else:
        start = by_name(p0, names, "p0")
        missing = [name for name in names if name not in start and name not in fixed_values]
        if missing:
            raise ValueError("p0 lacks %s" % ", ".join(missing))
        starts = [start]
        if fixed_values:
            starts = [dict(start, **fixed_values)]
        return starts
    if fixed_values:
        starts = starts.adjusted(lambda start: dict(start, **fixed_values))
    return starts


def covariance_matrix(normal_inverse, chisqr, dof, absolute_sigma, columns, count):
    """(covariance of every parameter, whether it is finite): (J^T J)^-1 of the
    free parameters, scaled by the reduced chi-square unless sigma is absolute
    (as curve_fit does), placed at their rows and columns; the fixed
    parameters' rows and columns are zero.  Infinite where (J^T J)^-1 could
    not be estimated or no degree of freedom is left."""
    free = columns.size
    if normal_inverse is None or dof <= 0:
        part = np.full((free, free), np.inf)
    elif absolute_sigma:
        part = np.array(normal_inverse, dtype=np.float64)
    else:
        part = normal_inverse * (chisqr / dof)
    estimated = bool(np.isfinite(part).all())
    if free == count:
        return part, estimated
    covariance = np.zeros((count, count))
    covariance[columns[:, None], columns] = part
    return covariance, estimated
