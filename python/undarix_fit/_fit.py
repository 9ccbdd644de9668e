"""guess() and fit(): least squares with the analytic Jacobian of the ufuncs."""

import numpy as np
from scipy.optimize import least_squares

from ._guess import ranked_starts
from ._parameters import bound_arrays, by_name, fixed_parameters
from ._result import FitResult
from ._samples import Samples
from ._waveforms import Waveform

# Further starts (the next spectral peaks) are tried when the fit from the
# best one leaves residuals this much larger than the noise they should be;
# the noise is estimated from differences of neighbouring points.
RETRY_RATIO = 1.5
# The parameter of transient_impulse at whose value the pulse jumps.
ONSET = "period"


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


class Problem(object):
    """The weighted residuals and their Jacobian over the free parameters, with
    the fixed ones held at their values."""

    def __init__(self, waveform, samples, start, free, reuse=False):
        self.reuse = reuse
        self.waveform = waveform
        self.samples = samples
        self.full = np.array([start[name] for name in waveform.names], dtype=np.float64)
        self.columns = [waveform.names.index(name) for name in free]
        # least_squares evaluates both at the start before MINPACK's solver
        # asks for them there again: with `reuse` (method "lm" only, which
        # copies the arrays and never changes them; "trf" scales them in
        # place for robust losses) the last point's arrays are handed out
        # again.
        self.last_residuals = (None, None)
        self.last_jacobian = (None, None)

    def parameters(self, x):
        full = self.full.copy()
        full[self.columns] = x
        return full

    def residuals(self, x):
        key = x.tobytes()
        if self.reuse and self.last_residuals[0] == key:
            return self.last_residuals[1]
        difference = self.waveform.value(self.samples.time, self.parameters(x)) - self.samples.data
        if self.samples.weights is not None:
            difference *= self.samples.weights
        self.last_residuals = (key, difference)
        return difference

    def unweighted_residuals(self, x):
        """model - data at the free parameters x."""
        if self.samples.weights is None and self.reuse:
            return self.residuals(x)
        return self.waveform.value(self.samples.time, self.parameters(x)) - self.samples.data

    def jacobian(self, x):
        key = x.tobytes()
        if self.reuse and self.last_jacobian[0] == key:
            return self.last_jacobian[1]
        matrix = self.weighted_jacobian(x)
        self.last_jacobian = (key, matrix)
        return matrix

    def weighted_jacobian(self, x):
        # The ufunc writes each free parameter's derivative straight into its
        # column (Fortran order: every column contiguous); the fixed ones go
        # to a scratch array.
        size = self.samples.time.size
        matrix = np.empty((size, len(self.columns)), order="F")
        scratch = np.empty(size)
        outputs = [scratch] * len(self.waveform.names)
        for column, index in enumerate(self.columns):
            outputs[index] = matrix[:, column]
        self.waveform.jacobian(self.samples.time, self.parameters(x), out=tuple(outputs))
        if self.samples.weights is not None:
            matrix *= self.samples.weights[:, None]
        return matrix


def covariance_of(jacobian, cost, points, absolute_sigma):
    """(J^T J)^-1 from the singular values of J, dropping the negligible ones as
    curve_fit does, scaled by the reduced chi-square unless sigma is absolute."""
    free = jacobian.shape[1]
    _, singular, vt = np.linalg.svd(jacobian, full_matrices=False)
    threshold = np.finfo(float).eps * max(jacobian.shape) * (singular[0] if singular.size else 0.0)
    keep = singular > threshold
    if keep.sum() < free:
        return np.full((free, free), np.inf)
    vt = vt[keep]
    covariance = np.dot(vt.T / singular[keep] ** 2, vt)
    if not absolute_sigma:
        dof = points - free
        covariance = covariance * (2.0 * cost / dof) if dof > 0 else np.full((free, free), np.inf)
    return covariance


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
        Passed to :func:`scipy.optimize.least_squares` (``max_nfev``,
        ``ftol``, ``loss``, ``method``, ...).

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
    if p0 is None:
        starts = ranked_starts(waveform, samples.time, samples.data, fixed_values)
    else:
        start = by_name(p0, names, "p0")
        missing = [name for name in names if name not in start and name not in fixed_values]
        if missing:
            raise ValueError("p0 lacks %s" % ", ".join(missing))
        starts = [start]
    starts = [dict(start, **fixed_values) for start in starts]
    lower, upper = bound_arrays(bounds, free)
    bounded = bool(np.any(np.isfinite(lower)) or np.any(np.isfinite(upper)))
    settings = dict(x_scale="jac", method="trf" if bounded or options.get("loss", "linear") != "linear" else "lm")
    settings.update(options)
    if bounded:
        settings["bounds"] = (lower, upper)

    best = None
    nfev = 0
    noise = noise_level(samples) if p0 is None else 0.0
    for start in starts:
        problem = Problem(waveform, samples, start, free, reuse=settings["method"] == "lm")
        x0 = problem.full[problem.columns]
        if bounded:
            # least_squares wants a start strictly inside the bounds.
            with np.errstate(invalid="ignore"):
                width = upper - lower
            room = np.where(np.isfinite(width), 1e-10 * width, 1e-10 * np.maximum(1.0, np.abs(x0)))
            x0 = np.minimum(np.maximum(x0, lower + room), upper - room)
        solution = least_squares(problem.residuals, x0, jac=problem.jacobian, **settings)
        nfev += solution.nfev
        if best is None or solution.cost < best[1].cost:
            best = (problem, solution)
        rms = np.sqrt(2.0 * best[1].cost / samples.time.size)
        if not rms > RETRY_RATIO * noise:
            break
    problem, solution = best
    parameters = problem.parameters(solution.x)
    cost, jacobian = solution.cost, solution.jac
    final = problem
    if ONSET in free and len(free) > 1:
        # The pulse jumps at its onset, where the derivative by the onset is
        # one-sided: the solver sees the slope of the half Gaussian but not the
        # jump, and may stop short in the other parameters.  With the onset
        # held where it stopped, the rest is smooth and converges.
        start = dict(zip(names, parameters))
        rest = Problem(waveform, samples, start, tuple(name for name in free if name != ONSET),
                       reuse=settings["method"] == "lm")
        settings_rest = dict(settings)
        if bounded:
            keep = [free.index(name) for name in free if name != ONSET]
            settings_rest["bounds"] = (lower[keep], upper[keep])
        polished = least_squares(rest.residuals, rest.full[rest.columns], jac=rest.jacobian, **settings_rest)
        nfev += polished.nfev
        if polished.cost <= cost:
            parameters = rest.parameters(polished.x)
            cost = polished.cost
            jacobian = problem.jacobian(parameters[problem.columns])
            final = rest
    points = samples.time.size
    free_covariance = covariance_of(jacobian, cost, points, absolute_sigma)
    covariance = np.zeros((len(names), len(names)))
    covariance[np.ix_(problem.columns, problem.columns)] = free_covariance
    errors = np.sqrt(np.diag(covariance))
    difference = final.unweighted_residuals(parameters[final.columns])
    chisqr = 2.0 * float(cost)
    dof = points - len(free)
    return FitResult(
        waveform,
        params={name: float(value) for name, value in zip(names, parameters)},
        stderr={name: float(value) for name, value in zip(names, errors)},
        covariance=covariance,
        residuals=samples.spread_back(-difference),
        chisqr=chisqr,
        redchi=chisqr / dof if dof > 0 else float("inf"),
        nfev=int(nfev),
        success=bool(solution.success and np.all(np.isfinite(free_covariance))),
        message=str(solution.message),
        free=free,
        time=as_array(time),
        data=as_array(data),
    )


def as_array(values):
    return np.array(values, dtype=np.float64)
