"""Which least-squares solver a fit runs (the Levenberg-Marquardt loop without
finite bounds, least_squares otherwise), that both reach the same fit, what a
fit that fails reports, and the loop itself on problems with known answers."""

import numpy as np
import pytest

import undarix_fit  # noqa: E402  (part of the distribution: never skipped)

import undarix_ufuncs  # noqa: E402
from fit_signals import EXTRA, NAMES, TRUE, signal  # noqa: E402


@pytest.fixture
def solver_calls(monkeypatch):
    """Records each solver call as (solver, keyword arguments, the Jacobian's
    shape and C-contiguity at the start)."""
    from undarix_fit import _solvers
    calls = []
    minimise, least_squares = _solvers.minimise, _solvers.least_squares

    def spy_minimise(residuals, jacobian_rows, x0, **keywords):
        rows = jacobian_rows(x0)
        calls.append(("marquardt", keywords, rows.shape, rows.flags.c_contiguous))
        return minimise(residuals, jacobian_rows, x0, **keywords)

    def spy_least_squares(fun, x0, **keywords):
        matrix = keywords["jac"](x0)
        calls.append(("least_squares", keywords, matrix.shape, matrix.flags.c_contiguous))
        return least_squares(fun, x0, **keywords)

    monkeypatch.setattr(_solvers, "minimise", spy_minimise)
    monkeypatch.setattr(_solvers, "least_squares", spy_least_squares)
    return calls


@pytest.mark.parametrize("arguments, solver, free", [
    pytest.param({}, "marquardt", 5, id="default"),
    pytest.param(dict(fixed={"gamma": -0.04, "y": 0.3}), "marquardt", 3, id="fixed"),
    pytest.param(dict(sigma=0.1), "marquardt", 5, id="sigma"),
    pytest.param(dict(bounds={"gamma": (None, None), "y": (-np.inf, np.inf)}), "marquardt", 5,
                 id="no-finite-bound"),
    pytest.param(dict(ftol=1e-10, xtol=1e-10, max_nfev=50, method="lm"), "marquardt", 5, id="minpack-options"),
    pytest.param(dict(bounds={"gamma": (-1.0, 0.0)}), "least_squares", 5, id="bounds"),
    pytest.param(dict(bounds={"gamma": (-1.0, 0.0)}, fixed=["y"]), "least_squares", 4, id="bounds-fixed"),
    pytest.param(dict(loss="soft_l1"), "least_squares", 5, id="robust-loss"),
    pytest.param(dict(method="trf"), "least_squares", 5, id="trf-asked-for"),
])
def test_bounds_and_least_squares_options_choose_the_solver(solver_calls, arguments, solver, free):
    name = "harmonic_oscillator"
    time, data, _, _ = signal(name, seed=20)
    p0 = dict(TRUE[name], omega=2.29)
    result = undarix_fit.fit(name, time, data, p0=p0, **arguments)
    assert result.success, result.message
    assert [call[0] for call in solver_calls] == [solver]
    _, keywords, shape, contiguous = solver_calls[0]
    if solver == "marquardt":
        # One contiguous row per free parameter, as the Jacobian ufunc writes
        # it: nothing to transpose.
        assert shape == (free, time.size) and contiguous
        assert ("maxfev" in keywords) == ("max_nfev" in arguments)
    else:
        assert keywords["method"] == arguments.get("method", "trf")
        assert shape == (time.size, free)
        assert ("bounds" in keywords) == ("bounds" in arguments)
    assert len(result.free) == free


@pytest.mark.parametrize("weighted", [pytest.param(False, id="unweighted"), pytest.param(True, id="sigma")])
@pytest.mark.parametrize("name", NAMES)
def test_both_solvers_reach_the_same_fit(name, weighted):
    time, data, _, noise = signal(name, seed=21)
    extra = EXTRA.get(name, {})
    # The pulse's cost jumps where the onset crosses a sample time: the
    # comparison holds the onset, so that both solve the same smooth problem.
    fixed = ["period"] if name == "transient_impulse" else None
    sigma = noise * (1.0 + 0.5 * np.sin(time)) if weighted else None
    start = undarix_fit.guess(name, time, data, **extra)
    marquardt = undarix_fit.fit(name, time, data, p0=start, sigma=sigma, fixed=fixed, **extra)
    # A bound far from the optimum changes nothing but the solver.
    far = {"amplitude": (-1e6, 1e6)}
    trust_region = undarix_fit.fit(name, time, data, p0=start, sigma=sigma, fixed=fixed, bounds=far, **extra)
    assert marquardt.success and trust_region.success
    assert marquardt.chisqr == pytest.approx(trust_region.chisqr, rel=1e-9)
    for key in marquardt.params:
        scale = max(marquardt.stderr[key], 1e-12)
        assert abs(marquardt.params[key] - trust_region.params[key]) < 1e-3 * scale, key
        assert marquardt.stderr[key] == pytest.approx(trust_region.stderr[key], rel=1e-3), key
    for result in (marquardt, trust_region):
        # residuals are data - model, unweighted; chisqr weighs them by sigma
        assert np.array_equal(result.residuals, data - result.curve(time))
        weights = 1.0 if sigma is None else 1.0 / sigma
        assert result.chisqr == pytest.approx(np.sum((result.residuals * weights) ** 2), rel=1e-12)


def test_model_evaluations_are_not_repeated(monkeypatch):
    # Each model evaluation the solver counts is made once (the start's too,
    # which the fit checks for finite values before the loop uses it), and
    # the Jacobian only where a step was taken.
    name = "pseudo_square_wave"
    time, data, _, _ = signal(name, seed=22)
    calls = {"value": 0, "jacobian": 0}
    value, jacobian = undarix_ufuncs.pseudo_square_wave, undarix_ufuncs.pseudo_square_wave_jacobian

    def counted_value(*arguments, **keywords):
        calls["value"] += 1
        return value(*arguments, **keywords)

    def counted_jacobian(*arguments, **keywords):
        calls["jacobian"] += 1
        return jacobian(*arguments, **keywords)

    monkeypatch.setattr(undarix_ufuncs, "pseudo_square_wave", counted_value)
    monkeypatch.setattr(undarix_ufuncs, "pseudo_square_wave_jacobian", counted_jacobian)
    start = dict(TRUE[name], omega=1.098, amplitude=2.0)
    result = undarix_fit.fit(name, time, data, p0=start)
    assert result.success and result.nfev >= 3
    assert calls["value"] == result.nfev
    assert 1 <= calls["jacobian"] < result.nfev


@pytest.mark.parametrize("name", ["harmonic_oscillator", "transient_impulse"])
def test_a_fit_stopped_by_the_evaluation_limit_fails_with_minpacks_message(name):
    time, data, _, _ = signal(name, seed=23)
    start = dict(TRUE[name])
    start["amplitude"] *= 0.5
    result = undarix_fit.fit(name, time, data, p0=start, max_nfev=2)
    assert result.success is False
    # MINPACK's info 5, in the words SciPy's leastsq gives it
    assert "Number of calls to function has reached maxfev = 2" in result.message
    assert np.isfinite(list(result.params.values())).all()


def test_a_start_where_the_model_is_not_finite_is_a_value_error():
    time, data, _, _ = signal("harmonic_oscillator", seed=24)
    start = dict(TRUE["harmonic_oscillator"], gamma=1e3)
    with pytest.raises(ValueError, match="not finite at the starting parameters"), \
            np.errstate(over="ignore"):
        undarix_fit.fit("harmonic_oscillator", time, data, p0=start)


def exponential_problem(rate=0.7, offset=0.5, points=40, noise=0.0, seed=0):
    """Residuals a exp(-b t) + c - data and their rows, for a loop test."""
    t = np.linspace(0.0, 5.0, points)
    data = 2.0 * np.exp(-rate * t) + offset + noise * np.random.default_rng(seed).normal(size=points)

    def residuals(x):
        return x[0] * np.exp(-x[1] * t) + x[2] - data

    def rows(x):
        decay = np.exp(-x[1] * t)
        return np.array([decay, -x[0] * t * decay, np.ones_like(t)])

    return residuals, rows, t, data


@pytest.mark.parametrize("start", [
    pytest.param([1.0, 1.0, 0.0], id="near"),
    pytest.param([10.0, 0.1, -5.0], id="far"),
    pytest.param([0.3, 3.0, 2.0], id="decaying-too-fast"),
    pytest.param([2.0, 0.7, 0.5], id="at-the-optimum"),
])
def test_the_loop_finds_the_optimum_that_scipy_finds(start):
    from scipy.optimize import least_squares
    from undarix_fit._marquardt import minimise
    residuals, rows, _, _ = exponential_problem(noise=0.05)
    stop = minimise(residuals, rows, np.array(start))
    reference = least_squares(residuals, start, jac=lambda x: rows(x).T, xtol=1e-15, ftol=1e-15, gtol=1e-15)
    assert stop.info in (1, 2, 3, 4), stop.message
    assert stop.cost == pytest.approx(2.0 * reference.cost, rel=1e-10)
    np.testing.assert_allclose(stop.x, reference.x, rtol=1e-5)
    # The residuals returned are those at the parameters returned.
    assert np.array_equal(stop.residuals, residuals(stop.x))
    # From the optimum one undamped step ends the loop, whose factor then
    # gives the covariance: the one the normal matrix gives.
    from undarix_fit._marquardt import normal_inverse
    again = minimise(residuals, rows, reference.x)
    assert again.info in (1, 2, 3) and again.factor is not None
    np.testing.assert_allclose(normal_inverse(again.normal, again.factor), normal_inverse(again.normal), rtol=1e-12)


def test_an_exact_fit_stops_on_the_gradient_test_with_the_exact_parameters():
    from undarix_fit._marquardt import minimise
    residuals, rows, _, _ = exponential_problem()
    stop = minimise(residuals, rows, np.array([1.5, 0.9, 0.2]))
    assert stop.info in (1, 2, 3, 4), stop.message
    np.testing.assert_allclose(stop.x, [2.0, 0.7, 0.5], rtol=1e-9)
    assert stop.cost < 1e-20


def test_a_start_where_the_residuals_are_not_finite_gives_no_answer():
    from undarix_fit._marquardt import minimise
    residuals, rows, _, _ = exponential_problem()
    with np.errstate(over="ignore", invalid="ignore"):
        assert minimise(residuals, rows, np.array([1.0, -1e4, 0.0])) is None


@pytest.mark.parametrize("limit", [1, 2, 5])
def test_the_evaluation_limit_is_kept_and_reported(limit):
    from undarix_fit._marquardt import minimise
    residuals, rows, _, _ = exponential_problem(noise=0.05)
    counted = []

    def counting(x):
        counted.append(1)
        return residuals(x)

    stop = minimise(counting, rows, np.array([10.0, 0.1, -5.0]), maxfev=limit, ftol=0.0, xtol=0.0)
    # The start and at least one trial step are always evaluated, as MINPACK
    # does.
    assert len(counted) == stop.nfev == max(limit, 2)
    assert stop.info == 5
    assert stop.message == "Number of calls to function has reached maxfev = %d." % limit


@pytest.mark.parametrize("columns, determined", [
    pytest.param([[1.0, 0.0, 2.0], [0.0, 1.0, 1.0], [1.0, 1.0, 0.5]], True, id="independent"),
    pytest.param([[1.0, 0.0, 2.0], [0.0, 1e6, 1.0], [1.0, 1.0, 1e-6]], True, id="columns-of-any-scale"),
    pytest.param([[1.0, 0.0, 0.0], [2.0, 0.0, 0.0], [3.0, 0.0, 0.0]], False, id="a-zero-column"),
    pytest.param([[1.0, 2.0, 3.0], [2.0, 4.0, 6.0], [0.5, 1.0, 1.5]], False, id="dependent-columns"),
    pytest.param([[1.0, 2.0, np.nan], [2.0, 4.0, 6.0], [0.5, 1.0, 1.5]], False, id="not-finite"),
])
def test_the_covariance_comes_from_the_normal_matrix_when_the_data_determine_it(columns, determined):
    from undarix_fit._marquardt import normal_inverse
    rng = np.random.default_rng(5)
    jacobian = np.dot(rng.normal(size=(50, 3)), np.array(columns, dtype=float))
    normal = np.dot(jacobian.T, jacobian)
    found = normal_inverse(normal)
    if not determined:
        assert found is None
    else:
        np.testing.assert_allclose(np.dot(found, normal), np.eye(3), atol=1e-9)
        assert np.array_equal(found, found.T)


def test_a_covariance_past_the_largest_float_is_infinite_whatever_numpys_error_settings():
    # A column a hundred and fifty orders of magnitude smaller than the others is determined by
    # the data, but its variance exceeds the largest float: it reads as infinite (the fit then
    # says the covariance could not be estimated), and the caller's np.seterr sees no overflow
    # or underflow of ours.
    from undarix_fit._marquardt import normal_inverse
    rng = np.random.default_rng(6)
    jacobian = rng.normal(size=(50, 3)) * np.array([1.0, 2.0, 1e-155])
    normal = np.dot(jacobian.T, jacobian)
    with np.errstate(all="raise"):
        found = normal_inverse(normal)
    assert found is not None
    assert np.isinf(found[2, 2]) and np.isfinite(found[:2, :2]).all()
    np.testing.assert_allclose(found[:2, :2], np.linalg.inv(normal[:2, :2] - np.outer(
        normal[:2, 2], normal[2, :2]) / normal[2, 2]), rtol=1e-6)


@pytest.mark.parametrize("bad", [np.nan, np.inf])
def test_a_jacobian_that_is_not_finite_ends_the_loop_instead_of_damping_forever(bad):
    # Where the model is near overflow its derivatives can overflow while the
    # residuals stay finite: no damping makes a step of such a Jacobian.
    from undarix_fit._marquardt import minimise
    residuals, rows, _, _ = exponential_problem(noise=0.05)

    def broken(x):
        block = rows(x)
        block[1, 7] = bad
        return block

    stop = minimise(residuals, broken, np.array([1.0, 1.0, 0.0]))
    assert stop.info == 9 and stop.nfev == 1
    assert stop.message == "The Jacobian is not finite at the current parameters."
    np.testing.assert_array_equal(stop.x, [1.0, 1.0, 0.0])
