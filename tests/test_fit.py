"""undarix_fit.guess and undarix_fit.fit: starts read from the data, fits that
converge from them, fixed parameters, weights, bounds, NaNs, bad data."""

import numpy as np
import pytest

import undarix_fit  # noqa: E402  (part of the distribution: never skipped)
from scipy.optimize import curve_fit  # noqa: E402

import undarix_ufuncs  # noqa: E402
from fit_signals import EXTRA, NAMES, TRUE, rms, signal  # noqa: E402

LAYOUTS = [pytest.param(True, id="uniform"), pytest.param(False, id="random-times")]


@pytest.mark.parametrize("uniform", LAYOUTS)
@pytest.mark.parametrize("name", NAMES)
def test_guess_finds_the_frequency_or_onset(name, uniform):
    time, data, _, _ = signal(name, uniform)
    start = undarix_fit.guess(name, time, data, **EXTRA.get(name, {}))
    assert list(start) == list(undarix_fit.PARAMETERS[name])
    true = TRUE[name]
    if name == "transient_impulse":
        assert abs(start["period"] - true["period"]) < 0.2
        assert abs(start["width"] / true["width"] - 1) < 0.2
    else:
        # within a tenth of the spectral resolution 2*pi/T
        assert abs(start["omega"] - true["omega"]) < 0.1 * 2 * np.pi / (time[-1] - time[0])
        assert abs(start["gamma"] - true["gamma"]) < 0.01
    assert np.sign(start["amplitude"]) == np.sign(true["amplitude"]) or name in (
        "harmonic_oscillator", "pseudo_square_wave")  # sign-symmetric with a half-period shift


def linear_fit_columns(kind):
    t = np.linspace(0.0, 20.0, 800)
    envelope = np.exp(-0.1 * t)
    if kind == "oscillation":
        return [envelope * np.cos(2.3 * t), envelope * np.sin(2.3 * t), np.ones_like(t)]
    if kind == "slow":  # a cosine of a 300th of a turn over the window is nearly the constant
        return [np.cos(0.001 * t), np.sin(0.001 * t), np.ones_like(t)]
    if kind == "slower":  # a hundredth of a turn
        return [np.cos(0.003 * t), np.sin(0.003 * t), np.ones_like(t)]
    if kind == "dependent":
        return [envelope, 2.0 * envelope, np.ones_like(t)]
    return [np.zeros_like(t), np.ones_like(t)]  # "zero column"


@pytest.mark.parametrize("kind", ["oscillation", "slow", "slower", "dependent", "zero column"])
@pytest.mark.parametrize("noise", [0.0, 0.05])
def test_the_guess_least_squares_reach_the_minimum_of_an_orthogonal_solver(kind, noise):
    # The guess's small linear fits use the normal equations, which square the columns'
    # condition number: where the columns are (nearly) dependent they must still find the least
    # sum of squares, and where the fit is exact the sum must not drown in cancellation.
    from undarix_fit._guess import linear_fit
    columns = linear_fit_columns(kind)
    design = np.column_stack(columns)
    rng = np.random.default_rng(3)
    values = design.dot(rng.uniform(-2.0, 2.0, design.shape[1])) + noise * rng.standard_normal(design.shape[0])
    coefficients, cost = linear_fit(columns, values)
    reference = np.linalg.lstsq(design, values, rcond=None)[0]
    best = float(np.sum((values - design.dot(reference)) ** 2))
    assert cost == pytest.approx(float(np.sum((values - design.dot(coefficients)) ** 2)), rel=1e-12, abs=1e-28)
    scale = float(np.dot(values, values))
    assert cost <= best + 1e-13 * scale
    # The coefficients make the guess's amplitude and phase: as accurate as the orthogonal
    # solver's (its minimum-norm solution where the columns are dependent).
    np.testing.assert_allclose(coefficients, reference, rtol=1e-9, atol=1e-12 * np.abs(reference).max())
    if noise == 0.0:
        assert cost <= 1e-20 * scale


@pytest.mark.parametrize("uniform", LAYOUTS)
@pytest.mark.parametrize("name", NAMES)
def test_fit_from_its_guess_recovers_the_curve(name, uniform):
    time, data, clean, sigma = signal(name, uniform, seed=1)
    result = undarix_fit.fit(name, time, data, **EXTRA.get(name, {}))
    assert result.success, result.message
    assert rms(result.curve(time) - clean) < 0.3 * sigma
    assert result.redchi == pytest.approx(sigma ** 2, rel=0.25)
    true = dict(TRUE[name])
    if name in ("harmonic_oscillator", "pseudo_square_wave"):
        # The negative of these is the same waveform half a period later: the
        # fit reports the positive amplitude.
        assert result.params["amplitude"] > 0
        if true["amplitude"] < 0:
            true["amplitude"] = -true["amplitude"]
            true["phi"] += np.pi / true["omega"]
    for key, value in true.items():
        if key == "phi":   # a time shift: equal modulo a period
            period = 2 * np.pi / result.params["omega"]
            value = value + np.round((result.params[key] - value) / period) * period
        assert abs(result.params[key] - value) < 6 * result.stderr[key], key


@pytest.mark.parametrize("name", NAMES)
def test_covariance_matches_curve_fit_at_the_same_optimum(name):
    time, data, _, _ = signal(name, seed=2)
    extra = tuple(EXTRA.get(name, {}).values())
    # The pulse jumps at its onset, so its cost is not smooth in the onset:
    # there the comparison holds the onset where the fit put it.
    fixed = ["period"] if name == "transient_impulse" else []
    result = undarix_fit.fit(name, time, data, fixed=fixed, **EXTRA.get(name, {}))
    model = getattr(undarix_ufuncs, name)
    free = [key for key in result.params if key not in fixed]

    def function(t, *values):
        parameters = dict(result.params, **dict(zip(free, values)))
        return model(t, *(tuple(parameters.values()) + extra))
    start = [result.params[key] for key in free]
    best, covariance = curve_fit(function, time, data, p0=start)
    assert np.allclose(best, start, rtol=1e-5, atol=1e-7)
    assert np.allclose(np.sqrt(np.diag(covariance)), [result.stderr[key] for key in free], rtol=1e-3)
    assert result.chisqr == pytest.approx(np.sum(result.residuals ** 2), rel=1e-12)


def test_pulse_fit_reaches_the_optimum_in_the_smooth_parameters():
    # With the onset free the solver sees no derivative of the jump; the
    # other parameters must still end at their optimum for that onset.
    time, data, _, _ = signal("transient_impulse", seed=2)
    result = undarix_fit.fit("transient_impulse", time, data)
    held = undarix_fit.fit("transient_impulse", time, data, p0=result.params, fixed=["period"])
    assert held.chisqr >= result.chisqr * (1 - 1e-9)


def test_sign_of_the_amplitude_matters_where_the_waveform_is_not_symmetric():
    # -(cos 2x - 2 cos x) is no shifted copy of cos 2x - 2 cos x: the fit must find
    # the negative amplitude, not a positive one half a period away.
    name = "pseudo_cycloid_wave"
    time, data, clean, sigma = signal(name, seed=3)
    result = undarix_fit.fit(name, time, data)
    assert result.params["amplitude"] < 0
    assert rms(result.curve(time) - clean) < 0.3 * sigma


@pytest.mark.parametrize("fixed", [
    pytest.param({"gamma": -0.04}, id="value"),
    pytest.param({"gamma": -0.04, "y": 0.3}, id="two-values"),
    pytest.param(["gamma"], id="name-held-at-p0"),
])
def test_fixed_parameters_are_held_and_carry_no_error(fixed):
    name = "harmonic_oscillator"
    time, data, clean, sigma = signal(name, seed=4)
    p0 = dict(TRUE[name], omega=2.29)
    result = undarix_fit.fit(name, time, data, p0=p0, fixed=fixed)
    held = list(fixed)
    for key in held:
        assert result.params[key] == p0[key] if not isinstance(fixed, dict) else fixed[key]
        assert result.stderr[key] == 0.0
        index = undarix_fit.PARAMETERS[name].index(key)
        assert not result.covariance[index].any() and not result.covariance[:, index].any()
    assert result.free == tuple(key for key in undarix_fit.PARAMETERS[name] if key not in held)
    assert rms(result.curve(time) - clean) < 0.3 * sigma
    assert "(fixed)" in result.report()


def test_guess_takes_fixed_parameters_as_given():
    time, data, _, _ = signal("harmonic_oscillator", seed=5)
    start = undarix_fit.guess("harmonic_oscillator", time, data, omega=2.31, gamma=0.0)
    assert start["omega"] == 2.31 and start["gamma"] == 0.0


def test_nan_points_are_left_out():
    name = "pseudo_square_wave"
    time, data, _, _ = signal(name, seed=6)
    holed = data.copy()
    holed[::7] = np.nan
    kept = ~np.isnan(holed)
    with_nan = undarix_fit.fit(name, time, holed)
    without = undarix_fit.fit(name, time[kept], data[kept])
    assert with_nan.params == without.params
    assert with_nan.stderr == without.stderr
    assert np.isnan(with_nan.residuals[~kept]).all()
    assert np.array_equal(with_nan.residuals[kept], without.residuals)


def test_sigma_weights_the_residuals():
    name = "harmonic_oscillator"
    time, data, _, sigma = signal(name, seed=7)
    plain = undarix_fit.fit(name, time, data)
    scaled = undarix_fit.fit(name, time, data, sigma=sigma)
    # A constant sigma changes chi-square, not the optimum or (relative sigma) the errors.
    assert scaled.chisqr == pytest.approx(plain.chisqr / sigma ** 2, rel=1e-6)
    for key in plain.params:
        assert scaled.params[key] == pytest.approx(plain.params[key], rel=1e-6, abs=1e-9)
        assert scaled.stderr[key] == pytest.approx(plain.stderr[key], rel=1e-4)
    absolute = undarix_fit.fit(name, time, data, sigma=sigma, absolute_sigma=True)
    ratio = absolute.stderr["omega"] / scaled.stderr["omega"]
    assert ratio == pytest.approx(1.0 / np.sqrt(scaled.redchi), rel=1e-4)
    # Points with a huge sigma do not count: spoiling them changes nothing much.
    spoiled = data.copy()
    spoiled[:100] += 50.0
    weights = np.full(time.size, sigma)
    weights[:100] = 1e6
    robust = undarix_fit.fit(name, time, spoiled, sigma=weights, p0=plain.params)
    assert robust.params["omega"] == pytest.approx(plain.params["omega"], rel=1e-3)


def test_bounds_are_respected():
    name = "harmonic_oscillator"
    time, data, _, _ = signal(name, seed=8)
    result = undarix_fit.fit(name, time, data, bounds={"gamma": (-0.01, 0.0), "y": (None, 0.2)})
    assert -0.01 <= result.params["gamma"] <= 0.0
    assert result.params["y"] <= 0.2
    assert result.params["gamma"] == pytest.approx(-0.01) or result.params["y"] == pytest.approx(0.2)


def test_result_curve_report_and_repr():
    name = "fourier_square_wave"
    time, data, _, _ = signal(name, seed=9)
    result = undarix_fit.fit(name, time, data, num_harmonics=4)
    values = list(result.params.values())
    dense = np.linspace(0, 50, 77)
    assert np.array_equal(result.curve(dense), undarix_ufuncs.fourier_square_wave(dense, *values, 4))
    text = result.report()
    for key in result.params:
        assert key in text
    assert "num_harmonics=4" in text and "reduced" in text
    assert "fourier_square_wave" in repr(result)


def test_plot_draws_data_fit_and_residuals():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    time, data, _, _ = signal("transient_impulse", seed=10)
    figure = undarix_fit.fit("transient_impulse", time, data).plot()
    top, bottom = figure.axes
    assert len(top.lines) == 2 and len(bottom.lines) >= 1


@pytest.mark.parametrize("call, message", [
    pytest.param(lambda f: f("harmonic_oscillator", np.arange(5.0), np.ones(5)), "too few points", id="few"),
    pytest.param(lambda f: f("harmonic_oscillator", np.arange(50.0), np.full(50, np.nan)), "all NaN", id="all-nan"),
    pytest.param(lambda f: f("harmonic_oscillator", np.arange(50.0)[::-1], np.ones(50)), "strictly increasing",
                 id="decreasing"),
    pytest.param(lambda f: f("harmonic_oscillator", np.r_[1.0, 0.0, np.arange(2.0, 50.0)], np.ones(50)),
                 "sort the points by time", id="unsorted"),
    pytest.param(lambda f: f("harmonic_oscillator", np.arange(50.0), np.ones(49)), "differ in length",
                 id="length"),
    pytest.param(lambda f: f("harmonic_oscillator", np.arange(50.0), np.ones((5, 10))), "one-dimensional",
                 id="2-d"),
    pytest.param(lambda f: f("no_such_wave", np.arange(50.0), np.ones(50)), "unknown waveform", id="name"),
    pytest.param(lambda f: f("fourier_square_wave", np.arange(50.0), np.ones(50)), "needs num_harmonics",
                 id="no-harmonics"),
    pytest.param(lambda f: f("fourier_square_wave", np.arange(50.0), np.ones(50), num_harmonics=2.0),
                 "must be a non-negative int", id="float-harmonics"),
    pytest.param(lambda f: f("harmonic_oscillator", np.arange(50.0), np.ones(50), num_harmonics=2),
                 "takes no num_harmonics", id="stray-harmonics"),
    pytest.param(lambda f: f("harmonic_oscillator", np.arange(50.0), np.ones(50), omgea=2.0),
                 "unknown parameters 'omgea'", id="typo"),
])
def test_bad_data_raise_clear_value_errors(call, message):
    for function in (undarix_fit.guess, fit_with_fixed_keywords):
        with pytest.raises(ValueError, match=message):
            call(function)


def fit_with_fixed_keywords(name, time, data, num_harmonics=None, **fixed):
    """fit() called as guess() is: keyword values are fixed parameters."""
    return undarix_fit.fit(name, time, data, fixed=fixed or None, num_harmonics=num_harmonics)


@pytest.mark.parametrize("arguments, message", [
    pytest.param(dict(p0=[1.0, 2.0]), "p0 has 2 values", id="short-p0"),
    pytest.param(dict(p0={"amplitude": 1.0}), "p0 lacks", id="partial-p0"),
    pytest.param(dict(bounds={"gamma": (1.0, -1.0)}), "lower bound", id="inverted-bounds"),
    pytest.param(dict(bounds={"gamma": (-1.0, 1.0)}, fixed={"gamma": 0.0}), "not a free parameter",
                 id="bound-on-fixed"),
    pytest.param(dict(fixed=list(TRUE["harmonic_oscillator"])), "every parameter is fixed", id="all-fixed"),
    pytest.param(dict(sigma=np.ones(3)), "sigma must be", id="sigma-length"),
    pytest.param(dict(sigma=0.0), "sigma must be positive", id="sigma-zero"),
])
def test_bad_arguments_raise_clear_value_errors(arguments, message):
    time, data, _, _ = signal("harmonic_oscillator")
    with pytest.raises(ValueError, match=message):
        undarix_fit.fit("harmonic_oscillator", time, data, **arguments)
