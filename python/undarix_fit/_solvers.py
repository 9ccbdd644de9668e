"""The two least-squares solvers a fit runs, behind one answer.

Without bounds the project's own Levenberg-Marquardt loop (``_marquardt``)
fits: from a close start, one to three iterations, it costs little more than
its evaluations.  ``scipy.optimize.least_squares`` ("trf") handles bounds and
robust losses, at a fixed cost per call of its Python-level trust-region
loop."""

import numpy as np
from scipy.optimize import least_squares

from ._marquardt import minimise, normal_inverse

# The Levenberg-Marquardt loop's info codes that mean a convergence test was
# met, and those of them that say the sum of squares stopped falling (ftol):
# MINPACK's.
CONVERGED = (1, 2, 3, 4)
SETTLED = (1, 3)
# least_squares' statuses that say the same.
TRUST_REGION_SETTLED = (2, 4)
# The options of least_squares that the Levenberg-Marquardt loop has too
# (under MINPACK's names); any other option, or a loss other than "linear",
# chooses least_squares.
MARQUARDT_OPTIONS = {"ftol": "ftol", "xtol": "xtol", "gtol": "gtol", "max_nfev": "maxfev"}


class Solution(object):
    """Where a solver stopped: the free parameters `x`, the weighted residuals
    there and their sum of squares, the unscaled covariance (J^T J)^-1 of the
    free parameters (None when it cannot be estimated), the evaluations made,
    whether a convergence criterion was met, whether it was that the sum of
    squares stopped falling (`settled`), and the solver's message."""

    def __init__(self, x, weighted, normal_inverse, nfev, success, settled, message, chisqr=None):
        self.x = x
        self.weighted = weighted
        self.chisqr = float(np.dot(weighted, weighted)) if chisqr is None else chisqr
        self.normal_inverse = normal_inverse
        self.nfev = int(nfev)
        self.success = bool(success)
        self.settled = bool(settled)
        self.message = message


def uses_marquardt(bounded, options):
    """Whether a fit with these options runs the Levenberg-Marquardt loop
    (else least_squares)."""
    if bounded:
        return False
    for key, value in options.items():
        if key == "method":
            if value != "lm":
                return False
        elif key == "loss":
            if value != "linear":
                return False
        elif key == "x_scale":
            if not (isinstance(value, str) and value == "jac"):
                return False
        elif key not in MARQUARDT_OPTIONS:
            return False
        elif value is None and key != "max_nfev":
            return False    # a test switched off, which only least_squares allows
    return True


def solve_marquardt(problem, x0, options):
    """Levenberg-Marquardt from x0 with the analytic Jacobian, one row per
    free parameter as the Jacobian ufunc writes it."""
    settings = {MARQUARDT_OPTIONS[key]: value for key, value in options.items() if key in MARQUARDT_OPTIONS}
    stop = minimise(problem.residuals, problem.jacobian_rows, x0, **settings)
    if stop is None:
        start = problem.residuals(np.array(x0, dtype=np.float64))
        if np.isfinite(start).all():
            raise ValueError("the sum of squares of the residuals overflows at the starting parameters, though "
                             "every residual is finite: divide data and sigma by a common scale (they are "
                             "too large for their squares)")
        raise ValueError("the model is not finite at the starting parameters: choose another p0")
    return Solution(stop.x, stop.residuals, normal_inverse(stop.normal, stop.factor), stop.nfev,
                    stop.info in CONVERGED, stop.info in SETTLED, stop.message, chisqr=stop.cost)


def solve_trust_region(problem, x0, lower, upper, options):
    """least_squares ("trf" unless options say otherwise) from x0 within the
    bounds `lower` and `upper` (None for none); x0 is first moved strictly
    inside them, as least_squares requires."""
    settings = dict(x_scale="jac", method="trf")
    settings.update(options)
    if lower is not None:
        with np.errstate(invalid="ignore"):
            width = upper - lower
        room = np.where(np.isfinite(width), 1e-10 * width, 1e-10 * np.maximum(1.0, np.abs(x0)))
        x0 = np.minimum(np.maximum(x0, lower + room), upper - room)
        settings["bounds"] = (lower, upper)
    found = least_squares(problem.residuals, x0, jac=problem.jacobian, **settings)
    return Solution(found.x, found.fun, normal_inverse_of(found.jac), found.nfev, found.success,
                    found.status in TRUST_REGION_SETTLED, str(found.message))


def normal_inverse_of(jacobian):
    """(J^T J)^-1 of a Jacobian laid out one column per free parameter, None
    when a parameter is not determined by the data."""
    return normal_inverse(np.dot(jacobian.T, jacobian))


# Gauss-Hermite nodes for expectations over a standard normal residual (the
# robust covariance with absolute sigma).
HERMITE_NODES = 60


def loss_derivatives(loss, z):
    """rho'(z) and rho''(z) of least_squares' loss (a name or its callable) at
    z = (r/f_scale)**2."""
    if callable(loss):
        values = np.asarray(loss(z))
        return values[1], values[2]
    if loss == "soft_l1":
        t = 1.0 + z
        return t ** -0.5, -0.5 * t ** -1.5
    if loss == "huber":
        inside = z <= 1.0
        safe = np.where(inside, 1.0, z)
        return np.where(inside, 1.0, safe ** -0.5), np.where(inside, 0.0, -0.5 * safe ** -1.5)
    if loss == "cauchy":
        t = 1.0 + z
        return 1.0 / t, -1.0 / t ** 2
    if loss == "arctan":
        t = 1.0 + z * z
        return 1.0 / t, -2.0 * z / t ** 2
    if loss == "linear":
        return np.ones_like(z), np.zeros_like(z)
    raise ValueError("unknown loss %r" % (loss,))


def psi_terms(loss, residuals, f_scale):
    """(psi(r), psi'(r)) of the loss: psi = rho'(z) r is the residual as the
    loss weighs it, psi' = rho'(z) + 2 z rho''(z) its derivative, the
    point's weight in the Gauss-Newton Hessian."""
    z = (residuals / f_scale) ** 2
    first, second = loss_derivatives(loss, z)
    return first * residuals, first + 2.0 * z * second


def robust_covariance(jacobian, residuals, loss, f_scale, absolute_sigma, dof):
    """The covariance of an M-estimate (Huber's): s^2 (J^T W J)^-1, W the
    points' effective weights psi'(r) (clipped at zero where a redescending
    loss makes them negative), and s^2 = mean(psi^2) / mean(psi') over the
    residuals, with n / dof for the parameters fitted: the spread of the
    residuals as the loss counts them, so that outliers it discounts do
    not inflate the errors.  With absolute sigma, the residuals are of a
    unit normal and the means are its expectations.  For the linear loss
    this is the ordinary chi-square / dof (J^T J)^-1.  None when it cannot
    be estimated."""
    psi, slope = psi_terms(loss, residuals, f_scale)
    weights = np.maximum(slope, 0.0)
    if absolute_sigma:
        nodes, node_weights = np.polynomial.hermite_e.hermegauss(HERMITE_NODES)
        node_weights = node_weights / node_weights.sum()
        psi_n, slope_n = psi_terms(loss, nodes, f_scale)
        variance = float(np.dot(node_weights, psi_n ** 2)) / float(np.dot(node_weights, np.maximum(slope_n, 0.0)))
    else:
        if dof <= 0 or not weights.sum() > 0.0:
            return None
        variance = float(np.dot(psi, psi)) / dof / (weights.sum() / weights.size)
    inverse = normal_inverse(np.dot(jacobian.T * weights, jacobian))
    if inverse is None:
        return None
    return inverse * variance
