"""guess() and fit(): least squares with the analytic Jacobian of the ufuncs."""

import contextlib
import math
import warnings

import numpy as np
from scipy.optimize import OptimizeWarning

from ._frame import SLOPE, chosen_frame
from ._guess import linear_fit, ranked_starts, scale_and_offset
from ._parameters import bound_pairs, by_name, fixed_parameters
from ._problem import Problem
from ._result import FitResult, phase_spacing, profile_interval, profile_needed
from ._samples import MIN_POINTS, Samples, TimeAxis
from ._solvers import normal_inverse_of, robust_covariance, solve_marquardt, solve_trust_region, uses_marquardt
from ._statistics import median_of
from ._trend import TrendWaveform
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
# A fit steps to at most this many neighbouring minima of its shape on either
# side (bench_fit.py's widened suite: the worse minima of the Fourier square
# wave lay one to two of its highest harmonic's steps from the best one).
NEIGHBOUR_STEPS = 3
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
        One-dimensional, the same length, ``time`` in increasing order
        (arrays, lists, pandas Series, xarray DataArrays; datetime64 and
        timedelta64 stamps with ``time_unit``, as for :func:`fit`).  NaNs in
        ``data`` are ignored.
    **fixed
        Parameters whose values are known, by name (``omega=2.0``); for
        ``fourier_square_wave``, ``num_harmonics=N`` (an int, required);
        ``time_unit="s"`` for time stamps.

    Returns
    -------
    dict
        Every parameter of the waveform by name (the fixed ones at their given
        values), ready to be ``p0`` of :func:`fit`.

    Raises
    ------
    ValueError
        Too few points, all NaN, time decreasing, length mismatch, an
        unknown parameter name, a fixed value that is not finite,
        ``num_harmonics`` missing or not an int.
    TypeError
        Complex data, or time stamps without ``time_unit``.
    """
    num_harmonics = fixed.pop("num_harmonics", None)
    axis = TimeAxis(time, fixed.pop("time_unit", None))
    waveform = Waveform(name, num_harmonics)
    values = by_name(fixed, waveform.names, "guess")
    samples = Samples(None, data, axis=axis)
    check_fixed(waveform.names, values, samples.time)
    frame = chosen_frame(waveform.names, samples, values, None, False, False)
    inner = samples if frame.identity else samples.rescaled(frame.reference, frame.time_scale, frame.data_scale)
    with clear_linear_algebra_errors():
        start = ranked_starts(waveform, *distinct_times(inner.time, inner.data), frame.inward_all(values))[0]
    return frame.outward_dict(start)


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
            deviation = median_of(np.abs(difference - median_of(difference)))
            estimates.append(deviation / MAD_PER_SIGMA / math.sqrt(variance))
    return float(min(estimates)) if estimates else 0.0


@contextlib.contextmanager
def clear_linear_algebra_errors():
    """A LinAlgError deep in a guess or fit says nothing a user can act on:
    what is left after the checks of the arguments is data or fixed values
    that determine no parameters."""
    try:
        yield
    except np.linalg.LinAlgError as error:
        raise ValueError("the data (with the fixed values and p0 given) determine no parameter set: the "
                         "linear algebra failed (%s). Check that the data hold a signal, that fixed values "
                         "and p0 are of the data's scale, and that time is in a sensible unit" % error)


def check_fixed(names, values, time):
    """Refuse fixed values that leave the others undetermined or the model
    outside the float range, saying which and what to do."""
    if "omega" in values and values["omega"] == 0.0 and "phi" not in values:
        raise ValueError("omega fixed at 0 leaves the phase phi without any effect on the model, so it cannot "
                         "be fitted: fix phi as well, e.g. fixed={'omega': 0.0, 'phi': 0.0}")
    if "gamma" in values and tuple(names[:2]) == ("amplitude", "gamma"):
        gamma = values["gamma"]
        exponent = max(gamma * float(time[0]), gamma * float(time[-1])) - min(
            gamma * float(time[0]), gamma * float(time[-1]))
        if exponent > 1400.0:
            raise ValueError("gamma fixed at %r makes the envelope exp(gamma*t) change by e^%.3g over the time "
                             "span, beyond the float range: the data cannot show that; fix gamma to a rate of "
                             "the data's time unit (|gamma| * span below about 700)" % (gamma, exponent))


def fit(name, time, data, p0=None, sigma=None, bounds=None, fixed=None, num_harmonics=None,
        absolute_sigma=False, time_unit=None, trend=False, **options):
    """Fit waveform `name` to `data` by least squares with the exact Jacobian.

    Parameters
    ----------
    name : str
        The waveform (see :func:`guess`).
    time, data : array_like
        One-dimensional, the same length, ``time`` in increasing order
        (repeated time stamps are fine); arrays, lists, pandas Series or
        xarray DataArrays.  Points where ``data`` is NaN are left out.
        Complex data are refused (``TypeError``).
    p0 : dict or sequence, optional
        The starting parameters, by name or in parameter order.  Without it the
        fit starts from :func:`guess` (and from the next spectral peaks too, if
        the first start leaves residuals well above the noise).  With it, one
        more point than there are free parameters is enough.
    sigma : float or array_like, optional
        The standard deviation of each data point: residuals are divided by it.
    bounds : dict, optional
        ``{name: (low, high)}`` for free parameters (``None`` for no limit on
        one side); or ``(lower, upper)`` sequences over the free parameters.
        ``low == high`` fixes the parameter there.
    fixed : dict or collection of str, optional
        Parameters held constant: ``{name: value}``, or names held at their
        starting values.  They are left out of the Jacobian.
    num_harmonics : int
        ``fourier_square_wave`` only, and required there.
    absolute_sigma : bool
        As in ``curve_fit``: if true, ``sigma`` is absolute and the covariance
        is not scaled by the reduced chi-square.
    time_unit : str, optional
        Required for ``datetime64`` and ``timedelta64`` time (NumPy arrays,
        pandas ``DatetimeIndex``/``TimedeltaIndex`` or Series, xarray
        coordinates): the unit the parameters are in (``"s"``, ``"ms"``,
        ``"min"``, ``"h"``, ``"D"``, ...).  Datetimes count from the first
        time stamp, reported as ``FitResult.time_origin``.
    trend : bool
        Add a linear trend ``trend_slope * t`` to the model (its constant is
        the waveform's own offset), a parameter of its own.
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
        wrong length, inconsistent bounds, values that are not finite.
    TypeError
        Complex data, time stamps without ``time_unit``.
    """
    base = Waveform(name, num_harmonics)
    waveform = TrendWaveform(base) if trend else base
    names = waveform.names
    fixed_values, held = fixed_parameters(fixed, names)
    pairs = bound_pairs(bounds, tuple(key for key in names if key not in held))
    # A bound whose two sides are equal fixes the parameter there.
    for key, (low, high) in list(pairs.items()):
        if low == high:
            fixed_values[key] = low
            del pairs[key]
    held = tuple(key for key in names if key in held or key in fixed_values)
    free = tuple(key for key in names if key not in held)
    if not free:
        raise ValueError("every parameter is fixed: nothing to fit")
    user_start = None
    if p0 is not None:
        user_start = by_name(p0, names, "p0")
        missing = [key for key in names if key not in user_start and key not in fixed_values]
        if missing:
            raise ValueError("p0 lacks %s" % ", ".join(missing))
        unknown_held = [key for key in held if key not in fixed_values and key not in user_start]
        if unknown_held:
            raise ValueError("p0 lacks %s" % ", ".join(unknown_held))
    axis = TimeAxis(time, time_unit)
    needed = len(free) + 1 if p0 is not None else max(MIN_POINTS, len(free) + 1)
    samples = Samples(None, data, sigma, needed=needed, axis=axis)
    check_fixed(names, fixed_values, samples.time)
    frame = chosen_frame(names, samples, fixed_values, pairs, p0 is not None, sigma is not None)
    inner = samples if frame.identity else samples.rescaled(frame.reference, frame.time_scale, frame.data_scale)
    if user_start is not None:
        user_start = frame.inward_all(dict(user_start, **fixed_values))
    inner_fixed = frame.inward_all(fixed_values)
    lower = upper = None
    if pairs:
        lower, upper = frame.inward_bounds(pairs, free, fixed_values)
        if not (np.isfinite(lower).any() or np.isfinite(upper).any()):
            lower = upper = None
    with clear_linear_algebra_errors():
        return fitted(waveform, base, samples, inner, frame, user_start, inner_fixed, free, lower, upper,
                      absolute_sigma, options)


def best_of_starts(waveform, samples, starts, free, solve, own_starts):
    """(problem, solution, final problem, final solution, (J^T J)^-1 of every
    free parameter, evaluations, the start it came from) of the best fit from `starts`, in order:
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
            best = (problem, solution, start)
        if not math.sqrt(best[1].chisqr / samples.time.size) > RETRY_RATIO * noise:
            break
    problem, solution, first = best
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
    if own_starts and {"omega", "phi"} <= set(free):
        for direction in (-1.0, 1.0):
            for _ in range(NEIGHBOUR_STEPS):
                neighbour = family.neighbours(waveform, samples.time,
                                              dict(zip(names, problem.parameters(solution.x))), direction)
                if neighbour is None or not screened(waveform, samples, neighbour, solution.chisqr):
                    break
                other = Problem(waveform, samples, neighbour, free)
                found = solve(other)
                nfev += found.nfev
                if not found.chisqr < solution.chisqr:
                    break
                problem, solution = other, found
    onset = family.onset
    final, finished = problem, solution
    normal_inverse = solution.normal_inverse
    if onset in free and len(free) > 1:
        profiled = onset_search(waveform, samples, problem, solution, free, solve)
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
    return problem, solution, final, finished, normal_inverse, nfev, first


def screened(waveform, samples, start, chisqr):
    """Whether a fit from `start` may beat `chisqr`: amplitude and offset
    refitted linearly at its shape leave less than BRANCH_RATIO times it (one
    evaluation; a fit at the better minimum leaves its neighbours far worse).
    Weighted points are not screened."""
    if samples.weights is not None:
        return True
    offset = waveform.family.offset
    shape = {name: start[name] for name in waveform.names if name not in ("amplitude", offset)}
    return scale_and_offset(waveform, samples.time, samples.data, {}, shape)[0] < BRANCH_RATIO * chisqr


def onset_search(waveform, samples, problem, solution, free, solve):
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
        if SLOPE in unit:
            # The trend is held at the fit's slope, outside the scaled pulse.
            rest = rest - unit[SLOPE] * (samples.time if weights is None else samples.time * weights)
            unit[SLOPE] = 0.0
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


def fitted(waveform, base, samples, inner, frame, user_start, fixed_values, free, lower, upper, absolute_sigma,
           options):
    """The fit in the frame, and its result in the user's units."""
    names = waveform.names
    starts = starting_points(waveform, base, inner, user_start, fixed_values)
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

    samples_used = samples
    samples = inner
    problem, solution, final, finished, normal_inverse, nfev, first = best_of_starts(
        waveform, samples, starts, free, solve, own_starts=user_start is None)
    return result_of(waveform, samples_used, samples, frame, problem, final, finished, solution, normal_inverse,
                     first, free, nfev, absolute_sigma, options, solve, lower, upper)


def result_of(waveform, samples, inner, frame, problem, final, finished, solution, normal_inverse, first, free,
              nfev, absolute_sigma, options, solve, lower, upper):
    """The FitResult of a finished fit, in the user's units: the parameters
    and their covariance turned out of the frame, the robust covariance for
    a robust loss, degenerate data and parameters at a bound flagged."""
    names = waveform.names
    points = inner.time.size
    dof = points - len(free)
    inner_parameters = final.parameters(finished.x)
    loss = options.get("loss", "linear")
    at = inner_parameters[problem.columns]
    if not (isinstance(loss, str) and loss == "linear"):
        part = robust_covariance(problem.jacobian(at), problem.residuals(at), loss, options.get("f_scale", 1.0),
                                 absolute_sigma, dof)
        covariance, estimated = covariance_matrix(part, 1.0, dof, True, problem.columns, len(names))
    else:
        covariance, estimated = covariance_matrix(normal_inverse, finished.chisqr, dof, absolute_sigma,
                                                  problem.columns, len(names))
    notes = []
    data_scale = frame.data_scale
    if inner.weights is None:
        difference = finished.weighted
    else:
        difference = final.unweighted_residuals(finished.x)
    signal = signal_size(waveform, inner_parameters, inner, difference)
    if estimated and signal is not None:
        # The shape parameters of a curve with no amplitude (a dead channel)
        # are undetermined, though their tiny derivatives still invert.
        shape = [names.index(key) for key in free if key in SHAPE]
        if shape:
            covariance[shape, :] = np.inf
            covariance[:, shape] = np.inf
            estimated = False
            notes.append("the fitted curve has no amplitude (%s): the data show no signal, and the shape "
                         "parameters %s are not determined" % (signal, ", ".join(names[i] for i in shape)))
    success, message = solution.success, solution.message
    if not finished.success:
        success, message = False, finished.message
    if not estimated:
        warnings.warn("Covariance of the parameters could not be estimated%s"
                      % ((": " + notes[0]) if notes else ""), OptimizeWarning, stacklevel=3)
        if success:
            message += " (the covariance could not be estimated: a parameter is not determined by the data)"
    covariance_before = covariance[problem.columns[:, None], problem.columns] if lower is not None else None
    if frame.identity:
        # The user's own units: nothing to turn outward.
        params = inner_parameters.copy()
        largest = None
    else:
        with np.errstate(over="ignore", invalid="ignore"):
            params, transform = frame.outward(inner_parameters)
            # Each row of the transform scaled by its largest entry, so that
            # a standard error near either end of the float range neither
            # overflows nor underflows on its way through the variance.
            largest = np.max(np.abs(transform), axis=1)
            shrunk = transform / largest[:, None]
            covariance = np.dot(np.dot(shrunk, covariance), shrunk.T)
    if not np.isfinite(params).all() or (params == 0.0).sum() > (inner_parameters == 0.0).sum():
        raise ValueError("the fit converged in time measured from %r, but its parameters cannot be given in "
                         "absolute time: the envelope exp(gamma*t) leaves the float range there (%s at that "
                         "origin). Pass time relative to a nearby origin instead, e.g. time - time[0]"
                         % (frame.reference, dict(zip(names, inner_parameters.tolist()))))
    if data_scale != 1.0:
        difference = difference * data_scale
    chisqr = finished.chisqr * data_scale * data_scale if inner.weights is None else finished.chisqr
    all_inner_time = (samples.all_time - frame.reference) / frame.time_scale

    def best_fit():
        return waveform.value(all_inner_time, inner_parameters) * data_scale
    if frame.identity:
        init_params = [float(first[key]) for key in names]
        with np.errstate(invalid="ignore"):
            stderr = np.sqrt(covariance.diagonal())
    else:
        init_params = frame.outward(np.array([first[key] for key in names], dtype=np.float64))[0].tolist()
        with np.errstate(invalid="ignore", over="ignore"):
            stderr = np.sqrt(covariance.diagonal()) * largest
            covariance = covariance * np.multiply.outer(largest, largest)
    if not math.isfinite(chisqr) and math.isfinite(finished.chisqr):
        notes.append("the chi-square overflows in the data's units (the fit ran on data scaled by %g)" % data_scale)
    result = FitResult(
        waveform,
        params=dict(zip(names, params.tolist())),
        stderr=dict(zip(names, stderr.tolist())),
        covariance=covariance,
        residuals=samples.spread_back(-difference),
        chisqr=chisqr,
        redchi=chisqr / dof if dof > 0 else float("inf"),
        nfev=nfev,
        success=success and estimated,
        message=message,
        free=free,
        time=samples.all_time.copy(),
        data=samples.all_data.copy(),
        best_fit=best_fit,
        init_params=dict(zip(names, init_params)),
        sigma=None if samples.sigma is None else samples.sigma.copy(),
        axis=samples.axis,
        notes=notes,
    )
    if lower is not None:
        result.flag_bounds(names_at_bounds(free, inner_parameters[problem.columns], lower, upper,
                                           stderr_inner(covariance_before)))
    onset = waveform.family.onset
    if onset in free and len(free) > 1 and np.isfinite(result.stderr[onset]) and frame.identity:
        phases = np.sort(np.fmod(inner.time, 2.0 * np.pi)) * (24.0 / (2.0 * np.pi))
        spacing = phase_spacing(phases, result.params[onset])
        if profile_needed(result.stderr[onset], spacing):
            # The jumps where the onset crosses a sample's place pin it within
            # its interval, which the Jacobian does not see: the others'
            # covariance is the one with the onset held, and the onset's error
            # comes from its profile.
            index = names.index(onset)
            others = [key for key in free if key != onset]
            held = Problem(waveform, inner, dict(zip(names, inner_parameters.tolist())), tuple(others))
            part = normal_inverse_of(held.jacobian(inner_parameters[held.columns]))
            if part is not None:
                conditional, _ = covariance_matrix(part, finished.chisqr, dof, absolute_sigma, held.columns,
                                                   len(names))
                conditional[index, index] = result.covariance[index, index]
                result.covariance = conditional
                for key in others:
                    result.stderr[key] = float(math.sqrt(conditional[names.index(key), names.index(key)]))
            variance = result.redchi if not absolute_sigma else 1.0
            # Where the fit ended with the onset held, its chi-square is the
            # profile's at the best onset: the others fitted there.
            base = finished.chisqr if tuple(others) == final.free else None
            result.add_onset_profile(onset_profile(waveform, inner, inner_parameters, free, solve, variance,
                                                   spacing, base), spacing)
            half = result.stderr[onset]
            result.covariance[index, index] = half * half
    return result


# The parameters of a curve's shape, undetermined when its amplitude is zero.
SHAPE = ("gamma", "omega", "phi", "period", "width")
# A fitted curve whose varying part is this small beside the data is no
# signal: rounding, not the data, set its shape.
NO_SIGNAL = 1e-9


def signal_size(waveform, parameters, samples, difference):
    """A note on the size of the fitted curve's varying part when it is no
    signal (zero amplitude beside the data), None otherwise.  `difference`
    is model - data: the curve is read from it, without evaluating it again,
    less its constant and trend (its value at zero amplitude)."""
    names = waveform.names
    varying = samples.data + difference - parameters[names.index("y" if "y" in names else "equilibrium")]
    if SLOPE in names:
        varying = varying - parameters[names.index(SLOPE)] * samples.time
    size = float(np.max(np.abs(varying))) if varying.size else 0.0
    scale = float(np.max(np.abs(samples.data)))
    if size <= NO_SIGNAL * scale or (scale == 0.0 and size == 0.0):
        return "at most %.3g where the data reach %.3g" % (size, scale)
    return None


def onset_profile(waveform, samples, parameters, free, solve, variance, spacing, base=None):
    """The profile-likelihood interval of the pulse's onset (see
    _result.profile_interval): the chi-square with the other free parameters
    fitted at each onset."""
    names = waveform.names
    onset_name = waveform.family.onset
    others = tuple(key for key in free if key != onset_name)
    best = dict(zip(names, parameters.tolist()))

    def chisqr(onset):
        problem = Problem(waveform, samples, dict(best, **{onset_name: float(onset)}), others)
        return solve(problem).chisqr

    return profile_interval(chisqr, best[onset_name], variance, spacing, base)


def starting_points(waveform, base, samples, start, fixed_values):
    """The starts to fit from, best first: `start` (p0 in the frame), or the
    guesses from the data (the strongest spectral peaks for the damped
    waveforms), with the fixed values in place.  With a trend, the guess
    reads the waveform from the data less their straight-line fit, whose
    slope starts the trend's."""
    names = waveform.names
    if start is not None:
        starts = [start]
    else:
        data = samples.data
        slope = None
        if SLOPE in names:
            slope = fixed_values.get(SLOPE)
            if slope is None:
                slope = float(np.polyfit(samples.time - samples.time[0], data, 1)[0])
            data = data - slope * samples.time
        base_fixed = {key: value for key, value in fixed_values.items() if key in base.names}
        starts = ranked_starts(base, *distinct_times(samples.time, data), base_fixed)
        if slope is not None:
            starts = starts.adjusted(lambda start: dict(start, **{SLOPE: slope}))
        if fixed_values:
            starts = starts.adjusted(lambda start: dict(start, **fixed_values))
        return starts
    if fixed_values:
        starts = [dict(start, **fixed_values) for start in starts]
    return starts


def distinct_times(time, data):
    """(time, data) with the points of a repeated time stamp averaged into one,
    for the guess, whose spectrum reads the sampling from the steps between
    stamps (least squares takes the repeated points as they are)."""
    if not (time[1:] == time[:-1]).any():
        return time, data
    unique, index = np.unique(time, return_inverse=True)
    counts = np.bincount(index)
    return unique, np.bincount(index, weights=data) / counts


def names_at_bounds(free, x, lower, upper, stderr):
    """The free parameters that ended on one of their bounds (within a
    thousandth of their standard error, or of the parameter's size where
    that is not finite): there the covariance, of an unbounded fit, does not
    describe them."""
    if lower is None:
        return ()
    found = []
    for index, key in enumerate(free):
        tolerance = stderr[index] * 1e-3 if np.isfinite(stderr[index]) and stderr[index] > 0 else \
            1e-9 * max(1.0, abs(x[index]))
        if abs(x[index] - lower[index]) <= tolerance or abs(upper[index] - x[index]) <= tolerance:
            found.append(key)
    return tuple(found)


def stderr_inner(covariance):
    with np.errstate(invalid="ignore"):
        return np.sqrt(np.abs(covariance.diagonal()))


def covariance_matrix(normal_inverse, chisqr, dof, absolute_sigma, columns, count):
    """(covariance of every parameter, whether it is finite): (J^T J)^-1 of the
    free parameters, scaled by the reduced chi-square unless sigma is absolute
    (as curve_fit does), placed at their rows and columns; the fixed
    parameters' rows and columns are zero.  Infinite where (J^T J)^-1 could
    not be estimated or no degree of freedom is left.  A perfect fit (zero
    chi-square) of relative sigma gives zero errors, as curve_fit does."""
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
