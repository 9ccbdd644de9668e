"""Levenberg-Marquardt for the few free parameters of a waveform.

A fit has at most five free parameters and hundreds to thousands of points,
and from the guesses it usually converges in one to three iterations.  Its
time is then that of its evaluations plus whatever runs around them, so the
loop is kept to a handful of NumPy calls per iteration: the normal matrix
J J^T of the Jacobian's rows (a small square matrix), one damped solve of
that, one evaluation of the model per trial step.

The parameters are scaled by the Jacobian's column norms, kept at their
largest so far (MINPACK's scaling), so the damping acts alike on parameters
of any unit.  The damping follows Nielsen's rule: it shrinks after a step that
did what the linear model predicted and grows, ever faster, after one that did
not.  The convergence tests, their meaning and their messages are MINPACK's
(``lmder``, as ``scipy.optimize.leastsq`` reports them), so that a fit says
why it stopped in the words users of SciPy know."""

import math

import numpy as np
from scipy.linalg.lapack import dtrtri

EPSILON = np.finfo(float).eps
# MINPACK's defaults, as leastsq sets them.
DEFAULT_TOLERANCE = 1.49012e-08
# A step is taken when it achieves this share of the reduction the linear
# model predicts.
ACCEPTED = 1e-4
# The damping of the scaled normal matrix (unit diagonal) after the first
# rejected step: a pure Gauss-Newton step is tried first, as MINPACK's
# initial trust region (a hundred times the scaled parameters) nearly always
# allows, and is damped only when it fails.
FIRST_DAMPING = 1e-3

# MINPACK's info codes: 1 to 4 are convergence, 1 and 3 that the sum of
# squares settled; 5 is the evaluation limit; 6 to 8 say a tolerance is below
# what the arithmetic can resolve.
MESSAGES = {
    1: "Both actual and predicted relative reductions in the sum of squares are at most %(ftol)f",
    2: "The relative error between two consecutive iterates is at most %(xtol)f",
    3: ("Both actual and predicted relative reductions in the sum of squares are at most %(ftol)f and the "
        "relative error between two consecutive iterates is at most %(xtol)f"),
    4: "The cosine of the angle between func(x) and any column of the Jacobian is at most %(gtol)f in absolute value",
    5: "Number of calls to function has reached maxfev = %(maxfev)d.",
    6: "ftol=%(ftol)f is too small, no further reduction in the sum of squares is possible.",
    7: "xtol=%(xtol)f is too small, no further improvement in the approximate solution is possible.",
    8: "gtol=%(gtol)f is too small, func(x) is orthogonal to the columns of the Jacobian to machine precision.",
    # Not MINPACK's: a Jacobian that overflowed (or holds NaN) where the
    # residuals are finite gives no step to take.
    9: "The Jacobian is not finite at the current parameters.",
}


class Stop(object):
    """Where the iteration ended: the free parameters, the residuals there and
    their sum of squares, the last normal matrix, the evaluations made and
    MINPACK's info code; `factor` is the Cholesky factor of that normal
    matrix scaled to unit diagonal and the column norms it was scaled by,
    when the loop made it (an undamped step), else None."""

    def __init__(self, x, residuals, cost, normal, nfev, info, message, factor=None):
        self.x = x
        self.residuals = residuals
        self.cost = cost
        self.normal = normal
        self.nfev = nfev
        self.info = info
        self.message = message
        self.factor = factor


def minimise(residuals, jacobian_rows, x0, ftol=DEFAULT_TOLERANCE, xtol=DEFAULT_TOLERANCE, gtol=0.0,
             maxfev=None):
    """Minimise the sum of squares of residuals(x) from x0.

    `residuals(x)` returns a new array of the residuals at x, and
    `jacobian_rows(x)` their derivatives, one row per parameter.  `maxfev`
    limits the evaluations of `residuals` (MINPACK's default, 100 (n + 1),
    when None).  Returns None when the residuals at x0 are not all finite:
    there is no sum of squares to reduce."""
    x = np.array(x0, dtype=np.float64)
    count = x.size
    if maxfev is None or maxfev <= 0:
        maxfev = 100 * (count + 1)
    tolerances = dict(ftol=ftol, xtol=xtol, gtol=gtol, maxfev=maxfev)
    r = residuals(x)
    # Infinite exactly when a residual is not finite, or their squares
    # overflow: no step could be judged from there either.
    cost = float(np.dot(r, r))
    if not math.isfinite(cost):
        return None
    nfev = 1
    scale = [0.0] * count
    damping = 0.0
    growth = 2.0
    indices = range(count)
    while True:
        rows = jacobian_rows(x)
        # J J^T of a block with its own transpose goes to BLAS's symmetric
        # product (syrk), which for five rows costs about three times the
        # general product (gemm) of the block with a copy of itself, copy
        # included.  The general product is not exactly symmetric; only its
        # lower triangle is read.
        normal = np.dot(rows, rows.copy().T)
        # The matrices and vectors of the step have as many entries as there
        # are free parameters, five at most: Python floats handle them in a
        # fraction of the time of NumPy's calls for small arrays.
        matrix = normal.tolist()
        diagonal = [matrix[i][i] for i in indices]
        # Not finite exactly when the Jacobian is not (or its squares
        # overflow); no damping would make a step of it.
        if not math.isfinite(sum(diagonal)):
            return Stop(x, r, cost, normal, nfev, 9, MESSAGES[9])
        gradient = np.dot(rows, r).tolist()
        norms = [math.sqrt(value) for value in diagonal]
        scale = [max(old, new) for old, new in zip(scale, norms)]
        scale = [value if value > 0.0 else 1.0 for value in scale]
        # The largest cosine between the residuals and a column of the
        # Jacobian: zero at a minimum.
        cosine = 0.0
        if cost > 0.0:
            cosine = max([abs(g) / norm for g, norm in zip(gradient, norms) if norm > 0.0] or [0.0])
            cosine /= math.sqrt(cost)
        if cosine <= gtol:
            return Stop(x, r, cost, normal, nfev, 4, MESSAGES[4] % tolerances)
        scaled = scaled_matrix(matrix, scale)
        scaled_gradient = [gradient[i] / scale[i] for i in indices]
        x_list = x.tolist()
        x_norm = math.hypot(*[s * v for s, v in zip(scale, x_list)])
        undamped = None
        while True:
            step = damped_step(scaled, scaled_gradient, damping)
            if step is None:
                # Not positive definite undamped: damp and try again, without
                # an evaluation.
                damping = max(damping * growth, FIRST_DAMPING)
                growth *= 2.0
                continue
            factor, z = step
            if damping == 0.0 and scale == norms:
                undamped = (factor, norms)
            trial = np.array([v + value / s for v, value, s in zip(x_list, z, scale)])
            trial_r = residuals(trial)
            nfev += 1
            trial_cost = float(np.dot(trial_r, trial_r))
            predicted = predicted_reduction(z, scaled_gradient, damping, cost)
            if not math.isfinite(trial_cost):
                actual = -math.inf
            else:
                actual = 1.0 - trial_cost / cost if cost > 0.0 else 0.0
            ratio = actual / predicted if predicted > 0.0 else 0.0
            step_norm = math.hypot(*z)
            used = damping
            accepted = ratio > ACCEPTED
            if accepted:
                x, r, cost = trial, trial_r, trial_cost
                damping *= max(1.0 / 3.0, 1.0 - (2.0 * ratio - 1.0) ** 3)
                growth = 2.0
            else:
                damping = max(damping * growth, FIRST_DAMPING)
                growth *= 2.0
            info = 0
            if abs(actual) <= ftol and predicted <= ftol and ratio <= 2.0 and \
                    (used == 0.0 or undamped_prediction(scaled, scaled_gradient, cost) <= ftol):
                info = 1
            if step_norm <= xtol * x_norm:
                info = 3 if info == 1 else 2
            if not info:
                if nfev >= maxfev:
                    info = 5
                elif abs(actual) <= EPSILON and predicted <= EPSILON and ratio <= 2.0:
                    info = 6
                elif step_norm <= EPSILON * x_norm:
                    info = 7
                elif cosine <= EPSILON:
                    info = 8
            if info:
                return Stop(x, r, cost, normal, nfev, info, MESSAGES[info] % tolerances, undamped)
            if accepted:
                break


def undamped_prediction(scaled, scaled_gradient, cost):
    """The relative reduction the Gauss-Newton step predicts.  A strongly
    damped step is short, and so is the reduction predicted for it, also
    where the sum of squares could still fall: only when the undamped step
    also predicts next to nothing has it settled.  (Where the derivative
    misleads, as at the jump of transient_impulse, the damping grows and
    the steps shrink until the xtol test ends the fit instead.)"""
    step = damped_step(scaled, scaled_gradient, 0.0)
    if step is None:
        return 0.0  # no undamped step: the damped one's prediction stands
    return predicted_reduction(step[1], scaled_gradient, 0.0, cost)


def damped_step(scaled, scaled_gradient, damping):
    """(the Cholesky factor of scaled + damping I, the scaled step z that
    solves (scaled + damping I) z = -scaled_gradient), None when that matrix
    is not positive definite."""
    factor = cholesky(scaled, damping)
    if factor is None:
        return None
    return factor, cholesky_solve(factor, [-g for g in scaled_gradient])


def predicted_reduction(z, scaled_gradient, damping, cost):
    """(cost - |r + J step|^2) / cost for the scaled step z of that damping:
    from the damped equations, damping |z|^2 - z . scaled_gradient."""
    if not cost > 0.0:
        return 0.0
    return (damping * sum(value * value for value in z) - sum(value * g for value, g in zip(z, scaled_gradient))) / cost


def scaled_matrix(matrix, scale):
    """The lower triangle of the symmetric matrix, matrix[i][j] / (scale[i]
    scale[j]) for j <= i, as lists of rows (of i + 1 entries).  Nothing
    reads above the diagonal."""
    return [[matrix[i][j] / (scale[i] * scale[j]) for j in range(i + 1)] for i in range(len(matrix))]


def cholesky(matrix, shift=0.0):
    """The lower triangle L of matrix + shift I = L L^T (lists of rows), None
    when a pivot is not positive (that matrix is not positive definite).
    Reads the lower triangle of `matrix` only.  Plain loops: for five rows
    they cost less than a NumPy call."""
    count = len(matrix)
    lower = [[0.0] * count for _ in range(count)]
    for i in range(count):
        row = lower[i]
        given = matrix[i]
        for j in range(i):
            other = lower[j]
            total = given[j]
            for k in range(j):
                total -= row[k] * other[k]
            row[j] = total / other[j]
        total = given[i] + shift
        for k in range(i):
            total -= row[k] * row[k]
        if not total > 0.0:
            return None
        row[i] = math.sqrt(total)
    return lower


def cholesky_solve(lower, vector):
    """x with L L^T x = vector."""
    count = len(lower)
    forward = list(vector)
    for i in range(count):
        row = lower[i]
        total = forward[i]
        for k in range(i):
            total -= row[k] * forward[k]
        forward[i] = total / row[i]
    for i in range(count - 1, -1, -1):
        total = forward[i]
        for k in range(i + 1, count):
            total -= lower[k][i] * forward[k]
        forward[i] = total / lower[i][i]
    return forward


def normal_inverse(normal, factor=None):
    """(J^T J)^-1 from the normal matrix, None when a parameter is not
    determined by the data: a column of J is zero, or the columns, scaled to
    unit length, are dependent to working precision (a pivot of the scaled
    matrix's Cholesky factor, the part of a column that the ones before it do
    not explain, vanishes beside one).  `factor`, the factor and norms of a
    Stop, saves factorising again."""
    if factor is None:
        matrix = normal.tolist()
        count = len(matrix)
        norms = [math.sqrt(matrix[i][i]) for i in range(count)]
        if not all(0.0 < norm < math.inf for norm in norms):
            return None
        lower = cholesky(scaled_matrix(matrix, norms))
        if lower is None:
            return None
    else:
        lower, norms = factor
        count = len(norms)
    tiny = count * EPSILON
    if not all(lower[i][i] * lower[i][i] > tiny for i in range(count)):
        return None
    # (L L^T)^-1 = L^-T L^-1, from LAPACK's inverse of the triangle (one
    # call, where the same in Python loops costs twice as much), and the
    # scaling undone.  dtrtri leaves the part above the diagonal as it was
    # given: cholesky() writes zeros there, which the product reads.
    inverse, info = dtrtri(np.array(lower), lower=1)
    if info != 0:
        raise RuntimeError("dtrtri refused a triangle whose pivots are all positive (info %d)" % info)
    result = np.dot(inverse.T, inverse)
    scale = np.array(norms)
    # Columns of very different size may take an entry past the largest
    # float: infinite, as in any other arithmetic, and no warning or error
    # under the caller's np.seterr (the covariance then reads as not
    # estimated).
    with np.errstate(over="ignore", under="ignore", divide="ignore", invalid="ignore"):
        result /= np.multiply.outer(scale, scale)
    return result
