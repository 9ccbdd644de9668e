"""undarix_fit on the inputs users have: time stamps, time far from zero,
extreme scales, repeated stamps, few points, robust losses, dead channels,
and clear errors that name the remedy."""

import warnings

import numpy as np
import pytest
from scipy.optimize import OptimizeWarning

import undarix_fit
import undarix_ufuncs
from fit_signals import TRUE, signal

NAME = "harmonic_oscillator"


def stamps(kind, seconds):
    pandas = pytest.importorskip("pandas") if kind.startswith("pandas") else None
    origin = np.datetime64("2024-03-01T12:00:00", "ns")
    offsets = (seconds * 1e9).astype(np.int64).astype("timedelta64[ns]")
    if kind == "datetime64":
        return origin + offsets
    if kind == "timedelta64":
        return offsets
    if kind == "pandas-index":
        return pandas.DatetimeIndex(origin + offsets)
    if kind == "pandas-timedelta":
        return pandas.TimedeltaIndex(offsets)
    if kind == "pandas-series":
        return pandas.Series(origin + offsets)
    xarray = pytest.importorskip("xarray")
    return xarray.DataArray(origin + offsets, dims="t")


KINDS = ["datetime64", "timedelta64", "pandas-index", "pandas-timedelta", "pandas-series", "xarray"]


@pytest.mark.parametrize("kind", KINDS)
def test_time_stamps_without_a_unit_raise_a_type_error_showing_the_conversion(kind):
    time, data, _, _ = signal(NAME, seed=30)
    with pytest.raises(TypeError, match=r"time_unit=.*np\.timedelta64\(1, \"s\"\)"):
        undarix_fit.fit(NAME, stamps(kind, time), data)


@pytest.mark.parametrize("unit, factor", [("s", 1.0), ("ms", 1e3), ("min", 1.0 / 60.0)])
@pytest.mark.parametrize("kind", KINDS)
def test_time_stamps_fit_in_the_stated_unit(kind, unit, factor):
    time, data, _, _ = signal(NAME, seed=31)
    plain = undarix_fit.fit(NAME, time * factor, data)
    result = undarix_fit.fit(NAME, stamps(kind, time), data, time_unit=unit)
    assert result.time_unit in (unit, "m")
    assert result.params["omega"] == pytest.approx(plain.params["omega"], rel=1e-9)
    assert result.params["omega"] == pytest.approx(TRUE[NAME]["omega"] / factor, rel=1e-3)
    if kind != "timedelta64" and "timedelta" not in kind:
        assert result.time_origin == np.datetime64("2024-03-01T12:00:00", "ns")
        assert "from 2024-03-01T12:00" in result.report()
    assert np.allclose(result.curve(stamps(kind, time)), plain.curve(time * factor))


@pytest.mark.parametrize("offset", [1e5, 3e6])
@pytest.mark.parametrize("name", ["harmonic_oscillator", "pseudo_cycloid_wave"])
def test_time_far_from_zero_fits_with_the_phase_in_absolute_time(name, offset):
    time, _, _, _ = signal(name, seed=32)
    true = dict(TRUE[name], gamma=-1e-7)     # an envelope that absolute time can still hold
    rng = np.random.default_rng(32)
    far = time + offset
    clean = getattr(undarix_ufuncs, name)(far, *true.values())
    data = clean + rng.normal(0.0, 0.05 * abs(true["amplitude"]), time.size)
    result = undarix_fit.fit(name, far, data)
    assert result.success, result.message
    assert np.sqrt(np.mean((result.curve(far) - clean) ** 2)) < 0.3 * 0.05 * abs(true["amplitude"])
    assert np.allclose(result.best_fit, result.curve(far))


def test_time_whose_envelope_leaves_the_float_range_says_to_shift_it():
    time, data, _, _ = signal(NAME, seed=33)
    with pytest.raises(ValueError, match=r"time - time\[0\]"):
        undarix_fit.fit(NAME, time + 1.7e9, data)


@pytest.mark.parametrize("time_scale, data_scale", [(1e-300, 1.0), (1.0, 1e200), (1e250, 1e-200)])
def test_extreme_scales_fit_as_the_ordinary_ones(time_scale, data_scale):
    time, data, _, _ = signal(NAME, seed=34)
    plain = undarix_fit.fit(NAME, time, data)
    scaled = undarix_fit.fit(NAME, time * time_scale, data * data_scale)
    assert scaled.success, scaled.message
    assert scaled.params["omega"] * time_scale == pytest.approx(plain.params["omega"], rel=1e-7)
    assert scaled.params["amplitude"] / data_scale == pytest.approx(plain.params["amplitude"], rel=1e-7)
    assert scaled.stderr["amplitude"] / data_scale == pytest.approx(plain.stderr["amplitude"], rel=1e-5)


def test_repeated_time_stamps_and_few_points_with_p0_fit():
    time, data, _, _ = signal(NAME, seed=35)
    doubled = undarix_fit.fit(NAME, np.repeat(time, 2), np.repeat(data, 2))
    plain = undarix_fit.fit(NAME, time, data)
    assert doubled.params["omega"] == pytest.approx(plain.params["omega"], rel=1e-7)
    few = undarix_fit.fit(NAME, time[::100], data[::100], p0=TRUE[NAME])
    assert few.ndata == 6 and few.nfree == 5


@pytest.mark.parametrize("call, error, remedy", [
    pytest.param(lambda t, d: undarix_fit.fit(NAME, t, d, fixed={"phi": np.nan}), ValueError, "finite number",
                 id="fixed-nan"),
    pytest.param(lambda t, d: undarix_fit.fit(NAME, t, d, fixed={"y": np.inf}), ValueError, "finite number",
                 id="fixed-inf"),
    pytest.param(lambda t, d: undarix_fit.fit(NAME, t, d, bounds=([0.0] * 2, [1.0] * 2)), ValueError,
                 r"one for each free parameter .* or use bounds=\{name", id="bounds-length"),
    pytest.param(lambda t, d: undarix_fit.fit(NAME, t, d + 1j), TypeError, r"numpy.real", id="complex"),
    pytest.param(lambda t, d: undarix_fit.fit(NAME, t, d, fixed={"omega": 0.0}), ValueError,
                 "fix phi as well", id="omega-zero"),
    pytest.param(lambda t, d: undarix_fit.fit(NAME, t, d, fixed={"gamma": 1e3}), ValueError,
                 r"\|gamma\| \* span below", id="gamma-huge"),
    pytest.param(lambda t, d: undarix_fit.guess(NAME, t, d, omega=np.nan), ValueError, "finite number",
                 id="guess-nan"),
    pytest.param(lambda t, d: undarix_fit.fit(NAME, t[::-1], d), ValueError, "sort the points", id="unsorted"),
    pytest.param(lambda t, d: undarix_fit.fit(NAME, t, d, time_unit="s"), ValueError, "leave time_unit out",
                 id="unit-on-numbers"),
    pytest.param(lambda t, d: undarix_fit.fit("fourier_square_wave", t, d, num_harmonics=2 ** 64), ValueError,
                 r"up to 2\*\*64 - 1", id="harmonics-too-many"),
])
def test_bad_inputs_name_the_remedy(call, error, remedy):
    time, data, _, _ = signal(NAME, seed=36)
    with pytest.raises(error, match=remedy):
        call(time, data)


def test_num_harmonics_takes_the_whole_uint64_range():
    from undarix_fit._waveforms import Waveform
    waveform = Waveform("fourier_square_wave", 2 ** 64 - 1)
    assert waveform.num_harmonics == 2 ** 64 - 1
    assert waveform.value(np.zeros(0), [1.0, 0.0, 1.0, 0.0, 0.0]).size == 0   # the ufunc takes it


@pytest.mark.parametrize("value", [0.0, 3.25])
def test_a_dead_channel_warns_and_does_not_succeed(value):
    time = np.linspace(0.0, 40.0, 400)
    with pytest.warns(OptimizeWarning, match="could not be estimated"):
        result = undarix_fit.fit(NAME, time, np.full(time.size, value))
    assert not result.success
    assert all(np.isinf(result.stderr[key]) for key in ("gamma", "omega", "phi"))


def test_robust_loss_errors_match_the_scatter():
    # 3 % of the points are outliers far off the curve: the soft-L1 fit
    # ignores them, and so must its error bars.
    rng = np.random.default_rng(37)
    time = np.linspace(0.0, 40.0, 400)
    clean = undarix_ufuncs.harmonic_oscillator(time, *TRUE[NAME].values())
    estimates, errors = [], []
    for _ in range(60):
        data = clean + rng.normal(0.0, 0.05, time.size)
        bad = rng.choice(time.size, 12, replace=False)
        data[bad] += rng.choice([-1.0, 1.0], 12) * rng.uniform(1.0, 3.0, 12)
        result = undarix_fit.fit(NAME, time, data, p0=TRUE[NAME], loss="soft_l1", f_scale=0.1)
        estimates.append([result.params[key] for key in ("amplitude", "omega", "phi")])
        errors.append([result.stderr[key] for key in ("amplitude", "omega", "phi")])
    ratio = np.mean(errors, axis=0) / np.std(estimates, axis=0, ddof=1)
    assert np.all((0.75 < ratio) & (ratio < 1.33)), ratio


def test_equal_bounds_fix_and_a_bound_reached_is_flagged():
    time, data, _, _ = signal(NAME, seed=38)
    held = undarix_fit.fit(NAME, time, data, bounds={"gamma": (-0.05, -0.05)})
    assert held.params["gamma"] == -0.05 and "gamma" not in held.free and held.stderr["gamma"] == 0.0
    with pytest.warns(UserWarning, match="ended at a bound"):
        bounded = undarix_fit.fit(NAME, time, data, bounds={"gamma": (-0.01, 0.0)})
    assert bounded.at_bounds == ("gamma",)
    assert "(at a bound)" in bounded.report()


def test_result_statistics_and_trend():
    time, data, _, _ = signal(NAME, seed=39)
    slope = 0.03
    result = undarix_fit.fit(NAME, time, data + slope * time, trend=True)
    assert abs(result.params["trend_slope"] - slope) < 4 * result.stderr["trend_slope"]
    assert result.ndata == time.size and result.nfree == 6
    assert result.aic == pytest.approx(time.size * np.log(result.chisqr / time.size) + 12)
    assert result.bic == pytest.approx(time.size * np.log(result.chisqr / time.size) + np.log(time.size) * 6)
    assert np.array_equal(result.best_fit, result.curve(time))
    assert set(result.init_params) == set(result.params)
    # The exact Jacobian of the trend: the covariance agrees with finite differences'.
    from scipy.optimize import curve_fit
    names = list(result.params)

    def model(t, *values):
        return undarix_ufuncs.harmonic_oscillator(t, *values[:5]) + values[5] * t
    _, covariance = curve_fit(model, time, data + slope * time, p0=[result.params[key] for key in names])
    assert np.allclose(np.sqrt(np.diag(covariance)), [result.stderr[key] for key in names], rtol=1e-3)


def test_plot_on_given_axes_draws_error_bars():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    time, data, _, sigma = signal(NAME, seed=40)
    figure, ax = plt.subplots()
    returned = undarix_fit.fit(NAME, time, data, sigma=sigma).plot(ax=ax)
    assert returned is ax and len(ax.containers) == 1 and len(ax.lines) >= 2
    plt.close(figure)


def test_a_sparse_pulse_reports_its_onset_by_the_profile():
    # Few points per turn: the onset's linear error spans more than the gap
    # between the sample phases, so the profile-likelihood interval replaces it.
    name = "transient_impulse"
    time, data, _, _ = signal(name, points=60, seed=41)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = undarix_fit.fit(name, time, data)
    if result.onset_interval is None:
        pytest.fail("no profile for a linear error of %g" % result.linear_stderr["period"])
    low, high = result.onset_interval
    assert low < result.params["period"] < high
    assert result.stderr["period"] == pytest.approx(0.5 * (high - low))
    assert "profile" in result.report()


def test_a_densely_sampled_pulse_has_error_bars_of_its_scatter():
    # The jumps at the sample phases pin the onset far tighter than the
    # Gaussian's slope says; the linear covariance overstated the onset's
    # error fivefold and, through their correlation with it, the amplitude's
    # and width's twice.  Over 40 seeded realisations each reported error is
    # near the estimates' scatter (loosely: 40 draws).
    rng = np.random.default_rng(44)
    truth = (-3.0, 7.5, 0.45, 1.2)
    time = np.linspace(0.0, 6 * 2 * np.pi, 600)
    clean = undarix_ufuncs.transient_impulse(time, *truth)
    estimates, errors = [], []
    for _ in range(40):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = undarix_fit.fit("transient_impulse", time, clean + rng.normal(0.0, 0.15, time.size))
        assert result.success and result.onset_interval is not None
        estimates.append(list(result.params.values()))
        errors.append(list(result.stderr.values()))
    ratio = np.mean(errors, axis=0) / np.std(estimates, axis=0, ddof=1)
    assert ((0.6 < ratio) & (ratio < 1.6)).all(), dict(zip(("amplitude", "period", "width", "equilibrium"), ratio))


def test_the_onset_profile_does_not_refit_the_best_onset(monkeypatch):
    # The fit ends with the onset held and the others fitted there: that is
    # the profile's value at the best onset, which it must not fit again.
    from undarix_fit import _fit
    onsets = []
    solve = _fit.solve_marquardt

    def counted(problem, x0, options):
        if "period" not in problem.free:
            onsets.append(problem.full[1])
        return solve(problem, x0, options)
    monkeypatch.setattr(_fit, "solve_marquardt", counted)
    time, data, _, _ = signal("transient_impulse", seed=2)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = undarix_fit.fit("transient_impulse", time, data)
    assert result.onset_interval is not None
    # The held fit that finishes the others, then the profile's steps only.
    assert onsets.count(result.params["period"]) == 1
    assert len(onsets) >= 3
