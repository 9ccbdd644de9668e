"""The two least-squares solvers a fit runs, behind one answer.

Without bounds MINPACK's Levenberg-Marquardt (``lmder``) is called through
``scipy.optimize.leastsq``: a thin wrapper, so that a fit from a close start,
two or three iterations, costs little more than its evaluations.
``scipy.optimize.least_squares`` ("trf") handles bounds and robust losses, at a
fixed cost per call of its Python-level trust-region loop."""

import numpy as np
from scipy.optimize import least_squares, leastsq

# MINPACK's info codes that mean a convergence test was met, and those of
# them that say the sum of squares stopped falling (ftol).
CONVERGED = (1, 2, 3, 4)
SETTLED = (1, 3)
# least_squares' statuses that say the same.
TRUST_REGION_SETTLED = (2, 4)
# The options of least_squares that leastsq has too (under its own names);
# any other option, or a loss other than "linear", chooses least_squares.
MINPACK_OPTIONS = {"ftol": "ftol", "xtol": "xtol", "gtol": "gtol", "max_nfev": "maxfev"}


class Solution(object):
    """Where a solver stopped: the free parameters `x`, the weighted residuals
    there and their sum of squares, the unscaled covariance (J^T J)^-1 of the
    free parameters (None when it cannot be estimated), the evaluations made,
    whether a convergence criterion was met, whether it was that the sum of
    squares stopped falling (`settled`), and the solver's message."""

    def __init__(self, x, weighted, normal_inverse, nfev, success, settled, message):
        self.x = x
        self.weighted = weighted
        self.chisqr = float(np.dot(weighted, weighted))
        self.normal_inverse = normal_inverse
        self.nfev = int(nfev)
        self.success = bool(success)
        self.settled = bool(settled)
        self.message = message


def uses_minpack(bounded, options):
    """Whether a fit with these options runs leastsq (else least_squares)."""
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
        elif key not in MINPACK_OPTIONS:
            return False
        elif value is None and key != "max_nfev":
            return False    # a test switched off, which only least_squares allows
    return True


def solve_minpack(problem, x0, options):
    """MINPACK's lmder from x0 with the analytic Jacobian in column-derivative
    layout; MINPACK scales the parameters by the Jacobian's column norms (the
    "jac" scaling of least_squares)."""
    settings = {MINPACK_OPTIONS[key]: value for key, value in options.items() if key in MINPACK_OPTIONS}
    if settings.get("maxfev") is None:
        settings.pop("maxfev", None)
    start_residuals = problem.residuals(x0)
    if not np.isfinite(start_residuals).all():
        raise ValueError("the model is not finite at the starting parameters: choose another p0")
    x, normal_inverse, info, message, ier = leastsq(problem.residuals, x0, Dfun=problem.jacobian_rows,
                                                    col_deriv=True, full_output=True, **settings)
    x = np.atleast_1d(x)
    # leastsq breaks some of its messages across lines: one line reads better
    # in a report.
    return Solution(x, info["fvec"], normal_inverse, info["nfev"], ier in CONVERGED, ier in SETTLED,
                    " ".join(str(message).split()))


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
    """(J^T J)^-1 from the singular values of J (points x free parameters),
    None when a singular value is negligible, as curve_fit judges it.  J's
    singular values are those of R in J = QR, a small square matrix: its SVD
    costs little beside the QR decomposition."""
    free = jacobian.shape[1]
    triangle = np.linalg.qr(jacobian, mode="r")
    _, singular, vt = np.linalg.svd(triangle)
    threshold = np.finfo(float).eps * max(jacobian.shape) * (singular[0] if singular.size else 0.0)
    if np.count_nonzero(singular > threshold) < free:
        return None
    return np.dot(vt.T / singular ** 2, vt)
