"""guess() and fit(): least squares with the analytic Jacobian of the ufuncs."""

import math

import numpy as np

from ._guess import ranked_starts
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
# The parameter of transient_impulse at whose value the pulse jumps.
ONSET = "period"
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
    """The noise's standard deviation, from second differences of neighbouring
    points (a smooth signal cancels out of them)."""
    second = samples.data[2:] - 2.0 * samples.data[1:-1] + samples.data[:-2]
    if samples.weights is not None:
        second = second * samples.weights[1:-1]
    return float(np.sqrt(np.mean(second ** 2) / 6.0))


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
        if ONSET in problem.free and len(problem.free) > 1 and "xtol" not in options:
            settings = dict(options, xtol=ONSET_XTOL)
        if marquardt:
            return solve_marquardt(problem, problem.start(), settings)
        if lower is None:
            return solve_trust_region(problem, problem.start(), None, None, settings)
        keep = [free.index(name) for name in problem.free]
        return solve_trust_region(problem, problem.start(), lower[keep], upper[keep], settings)

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
    final, finished = problem, solution
    normal_inverse = solution.normal_inverse
    if ONSET in free and len(free) > 1 and not solution.settled:
        # The pulse jumps at its onset, where the derivative by the onset is
        # one-sided: the solver sees the slope of the half Gaussian but not the
        # jump, and may stop short in the other parameters (it stops on the
        # step size, not because the sum of squares settled).  With the onset
        # held where it stopped, the rest is smooth and converges.
        rest = Problem(waveform, samples, dict(zip(names, problem.parameters(solution.x))),
                       tuple(name for name in free if name != ONSET))
        polished = solve(rest)
        nfev += polished.nfev
        if polished.chisqr <= solution.chisqr:
            final, finished = rest, polished
            # The covariance is of every free parameter, the onset too.
            at = rest.parameters(polished.x)[problem.columns]
            normal_inverse = normal_inverse_of(problem.jacobian(at))
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
        starts = [dict(start, **fixed_values) for start in starts]
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
