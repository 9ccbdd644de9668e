"""Which least-squares solver a fit runs (MINPACK's lmder through
scipy.optimize.leastsq without finite bounds, least_squares otherwise), that
both reach the same fit, and what a fit that fails reports."""

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
    leastsq, least_squares = _solvers.leastsq, _solvers.least_squares

    def spy_leastsq(func, x0, **keywords):
        rows = keywords["Dfun"](x0)
        calls.append(("leastsq", keywords, rows.shape, rows.flags.c_contiguous))
        return leastsq(func, x0, **keywords)

    def spy_least_squares(fun, x0, **keywords):
        matrix = keywords["jac"](x0)
        calls.append(("least_squares", keywords, matrix.shape, matrix.flags.c_contiguous))
        return least_squares(fun, x0, **keywords)

    monkeypatch.setattr(_solvers, "leastsq", spy_leastsq)
    monkeypatch.setattr(_solvers, "least_squares", spy_least_squares)
    return calls


@pytest.mark.parametrize("arguments, solver, free", [
    pytest.param({}, "leastsq", 5, id="default"),
    pytest.param(dict(fixed={"gamma": -0.04, "y": 0.3}), "leastsq", 3, id="fixed"),
    pytest.param(dict(sigma=0.1), "leastsq", 5, id="sigma"),
    pytest.param(dict(bounds={"gamma": (None, None), "y": (-np.inf, np.inf)}), "leastsq", 5,
                 id="no-finite-bound"),
    pytest.param(dict(ftol=1e-10, xtol=1e-10, max_nfev=50, method="lm"), "leastsq", 5, id="minpack-options"),
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
    if solver == "leastsq":
        # MINPACK's column-derivative layout: one contiguous row per free
        # parameter, nothing to transpose.
        assert keywords["col_deriv"] and keywords["full_output"]
        assert shape == (free, time.size) and contiguous
        assert "maxfev" in keywords if "max_nfev" in arguments else "maxfev" not in keywords
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
    minpack = undarix_fit.fit(name, time, data, p0=start, sigma=sigma, fixed=fixed, **extra)
    # A bound far from the optimum changes nothing but the solver.
    far = {"amplitude": (-1e6, 1e6)}
    trust_region = undarix_fit.fit(name, time, data, p0=start, sigma=sigma, fixed=fixed, bounds=far, **extra)
    assert minpack.success and trust_region.success
    assert minpack.chisqr == pytest.approx(trust_region.chisqr, rel=1e-9)
    for key in minpack.params:
        scale = max(minpack.stderr[key], 1e-12)
        assert abs(minpack.params[key] - trust_region.params[key]) < 1e-3 * scale, key
        assert minpack.stderr[key] == pytest.approx(trust_region.stderr[key], rel=1e-3), key
    for result in (minpack, trust_region):
        # residuals are data - model, unweighted; chisqr weighs them by sigma
        assert np.array_equal(result.residuals, data - result.curve(time))
        weights = 1.0 if sigma is None else 1.0 / sigma
        assert result.chisqr == pytest.approx(np.sum((result.residuals * weights) ** 2), rel=1e-12)


def test_model_evaluations_are_not_repeated(monkeypatch):
    # leastsq evaluates the model and its Jacobian at the start to check their
    # shapes before MINPACK asks for them there again: the repeats are served
    # from the last result, so each evaluation MINPACK counts is made once.
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
def test_a_fit_stopped_by_the_evaluation_limit_fails_with_leastsqs_message(name):
    time, data, _, _ = signal(name, seed=23)
    start = dict(TRUE[name])
    start["amplitude"] *= 0.5
    result = undarix_fit.fit(name, time, data, p0=start, max_nfev=2)
    assert result.success is False
    # MINPACK's info 5, in leastsq's words
    assert "Number of calls to function has reached maxfev = 2" in result.message
    assert np.isfinite(list(result.params.values())).all()


def test_a_start_where_the_model_is_not_finite_is_a_value_error():
    time, data, _, _ = signal("harmonic_oscillator", seed=24)
    start = dict(TRUE["harmonic_oscillator"], gamma=1e3)
    with pytest.raises(ValueError, match="not finite at the starting parameters"), \
            np.errstate(over="ignore"):
        undarix_fit.fit("harmonic_oscillator", time, data, p0=start)
