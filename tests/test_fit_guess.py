"""The first guess on any sampling, in memory linear in the points; the
noise estimate behind the retries; the families' symmetry tables; the fits
that must not stop at a worse minimum (a square wave's other branch, a pulse's
onset in another interval between the samples)."""

import tracemalloc

import numpy as np
import pytest

import undarix_fit
import undarix_ufuncs
from fit_signals import EXTRA, TRUE, signal

from undarix_fit._fit import noise_level
from undarix_fit._guess import DampedProfile
from undarix_fit._samples import Samples
from undarix_fit._statistics import median_of
from undarix_fit._waveforms import FAMILIES, Waveform


def sampled(layout, points, seed, span=40.0):
    rng = np.random.default_rng(seed)
    if layout == "uniform":
        return np.linspace(0.0, span, points), rng
    time = np.sort(rng.uniform(0.0, span, points))
    if layout == "gappy":    # two gaps, a fifth of the window in all
        time = time[(time < 8.0) | (time > 12.0)]
        time = time[(time < 25.0) | (time > 29.0)]
    return time, rng


@pytest.mark.parametrize("layout", ["irregular", "gappy", "nan", "far-origin"])
@pytest.mark.parametrize("name", ["harmonic_oscillator", "pseudo_square_wave", "pseudo_cycloid_wave"])
def test_guess_finds_the_frequency_on_any_sampling(name, layout):
    time, rng = sampled("uniform" if layout == "nan" else "gappy" if layout == "gappy" else "irregular", 700, 11)
    true = dict(TRUE[name], gamma=-0.01)
    if layout == "far-origin":    # e^(gamma*t) counts from 0: the amplitude is that at t = 0
        time = time + 3000.0
        true["amplitude"] *= np.exp(0.01 * 3000.0)
    data = getattr(undarix_ufuncs, name)(time, *true.values()) + rng.normal(0.0, 0.05 * abs(TRUE[name]["amplitude"]),
                                                                             time.size)
    if layout == "nan":
        data[rng.choice(time.size, 30, replace=False)] = np.nan   # the uniform points become gappy
    start = undarix_fit.guess(name, time, data)
    resolution = 2 * np.pi / (time[-1] - time[0])
    assert abs(start["omega"] - true["omega"]) < 0.1 * resolution


def test_guess_memory_is_linear_in_the_points():
    # The direct periodogram holds points x frequencies, itself proportional to
    # the points: 20,000 irregular points took gigabytes.  The peak allocation
    # must stay a few hundred bytes a point.
    rng = np.random.default_rng(12)
    points = 20000
    time = np.sort(rng.uniform(0.0, 200.0, points))
    data = undarix_ufuncs.harmonic_oscillator(time, 1.0, -0.005, 2.5, 0.3, 0.2) + rng.normal(0.0, 0.05, points)
    undarix_fit.guess("harmonic_oscillator", time, data)
    tracemalloc.start()
    try:
        start = undarix_fit.guess("harmonic_oscillator", time, data)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert abs(start["omega"] - 2.5) < 0.1 * 2 * np.pi / 200.0
    assert peak < 2000 * points


@pytest.mark.parametrize("name, extra", [
    pytest.param("fourier_square_wave", dict(num_harmonics=200), id="square-edges"),
    pytest.param("transient_impulse", {}, id="pulse-jumps"),
    pytest.param("harmonic_oscillator", {}, id="smooth"),
])
def test_noise_estimate_is_not_inflated_by_edges_or_jumps(name, extra):
    # 40 sharp edges (or pulse onsets) over 2,000 points at 1 % noise: a mean
    # square of differences saw mostly the edges.
    rng = np.random.default_rng(13)
    sigma = 0.01
    if name == "transient_impulse":
        time = np.linspace(0.0, 20 * 2 * np.pi, 2000)
        clean = undarix_ufuncs.transient_impulse(time, 1.0, 6.0, 0.3, 0.0)
    else:
        time = np.linspace(0.0, 40.0, 2000)
        clean = getattr(undarix_ufuncs, name)(time, 1.0, 0.0, 2 * np.pi * 20 / 40.0, 0.1, 0.0,
                                              *extra.values())
    estimate = noise_level(Samples(time, clean + rng.normal(0.0, sigma, time.size)))
    assert 0.8 * sigma < estimate < 1.25 * sigma


@pytest.mark.parametrize("size", [1, 2, 5, 6, 1001, 1002])
def test_median_is_numpys_to_the_bit(size):
    # The noise estimate and the spectrum's sampling test take this median in
    # place of numpy.median; ties and an even count (two middle values) too.
    values = np.round(np.random.default_rng(size).normal(0.0, 1.0, size), 1)
    assert median_of(values) == float(np.median(values))
    assert median_of(values[::-1].copy()) == float(np.median(values))


@pytest.mark.parametrize("name", ["harmonic_oscillator", "fourier_square_wave"])
def test_damped_profile_solves_alike_in_any_order(name):
    # The refinement asks for one damping at several frequencies, one
    # frequency at several dampings, and a point twice: what the profile keeps
    # between calls must never stand in for another point's columns.
    time, data, _, _ = signal(name, uniform=False, seed=5)
    kept = DampedProfile(FAMILIES[name], time, data)
    points = [(2.3, -0.04), (2.3, -0.03), (2.31, -0.03), (2.31, -0.04), (2.3, -0.04), (0.9, -0.03)]
    for omega, gamma in points:
        coefficients, cost = kept.solve(omega, gamma)
        fresh_coefficients, fresh_cost = DampedProfile(FAMILIES[name], time, data).solve(omega, gamma)
        assert cost == fresh_cost and np.array_equal(coefficients, fresh_coefficients)


@pytest.mark.parametrize("name", sorted(FAMILIES))
def test_families_symmetry_tables_match_the_ufuncs(name):
    # A family's claimed identities must hold to rounding, and a waveform that
    # claims none must really change under the half-period sign flip.
    family = FAMILIES[name]
    waveform = Waveform(name, **EXTRA.get(name, {}))
    time = np.linspace(0.0, 30.0, 500)
    parameters = dict(TRUE[name])
    curve = waveform.value(time, [parameters[key] for key in waveform.names])
    for same in family.same_curve(parameters):
        np.testing.assert_allclose(waveform.value(time, [same[key] for key in waveform.names]), curve,
                                   rtol=0, atol=1e-9 * np.abs(curve).max())
    if family.names == undarix_fit.PARAMETERS["harmonic_oscillator"]:
        flipped = dict(parameters, amplitude=-parameters["amplitude"],
                       phi=parameters["phi"] + np.pi / parameters["omega"])
        differs = np.abs(waveform.value(time, [flipped[key] for key in waveform.names]) - curve).max()
        assert (differs < 1e-9) == family.half_period_negates
        # The other branches are other curves with damping, the same without.
        undamped = dict(parameters, gamma=0.0)
        flat = waveform.value(time, [undamped[key] for key in waveform.names])
        for branch in family.other_branches(waveform, time, undamped):
            np.testing.assert_allclose(waveform.value(time, [branch[key] for key in waveform.names]), flat,
                                       atol=1e-9)
        for branch in family.other_branches(waveform, time, parameters):
            assert np.abs(waveform.value(time, [branch[key] for key in waveform.names]) - curve).max() > 1e-3


def exact_optimum(name, time, data, start, extra=()):
    """The sum of squares of least_squares with the exact Jacobian from `start`."""
    from scipy.optimize import least_squares
    model = getattr(undarix_ufuncs, name)
    jacobian = getattr(undarix_ufuncs, name + "_jacobian")
    found = least_squares(lambda p: model(time, *(tuple(p) + extra)) - data, list(start.values()),
                          jac=lambda p: np.column_stack(jacobian(time, *(tuple(p) + extra))), method="lm")
    return float(found.fun @ found.fun)


def test_square_wave_other_branch_is_fitted():
    # Damped, so that the flipped branch is a separate minimum: the fit from
    # the guess's first branch ended at 5.7 times the best chi-square.
    truth = dict(amplitude=-1.466, gamma=0.0072, omega=2.689, phi=1.157, y=-1.178)
    rng = np.random.default_rng(7)
    time = 50.0 + np.sort(rng.uniform(0.0, 15.0, 186))
    data = undarix_ufuncs.fourier_square_wave(time, *truth.values(), 2) + rng.normal(0.0, 0.046, time.size)
    result = undarix_fit.fit("fourier_square_wave", time, data, num_harmonics=2)
    assert result.success
    assert result.chisqr <= 1.01 * exact_optimum("fourier_square_wave", time, data, truth, (2,))


@pytest.mark.parametrize("seed", [3, 7, 10])
def test_square_wave_steps_to_the_neighbouring_minimum_of_its_highest_harmonic(seed):
    # Few points, 3.5 periods, 7 harmonics: the 13th harmonic makes local
    # minima about 2 pi / (13 T) apart in omega, closer than the spectrum
    # places the fundamental; the fit ended one or two of them away, at 1.2
    # to 1.8 times the best chi-square, with success.
    truth = dict(amplitude=32320.0, gamma=-0.0439, omega=0.4875, phi=2.641, y=3.015)
    rng = np.random.default_rng(seed)
    time = 217.0 + np.sort(rng.uniform(0.0, 45.0, 47))
    data = undarix_ufuncs.fourier_square_wave(time, *truth.values(), 7) + rng.normal(0.0, 0.243, time.size)
    result = undarix_fit.fit("fourier_square_wave", time, data, num_harmonics=7)
    assert result.success
    assert result.chisqr <= 1.01 * exact_optimum("fourier_square_wave", time, data, truth, (7,))


def test_pulse_onset_between_samples_is_found_by_the_profile():
    # Started three sample intervals (in the folded turn) from the true onset,
    # the solver cannot see the jumps in between and stopped at 2.8 times the
    # best chi-square.
    truth = dict(amplitude=2.0, period=7.5, width=0.3, equilibrium=0.5)
    rng = np.random.default_rng(0)
    time = np.sort(rng.uniform(0.0, 6 * 2 * np.pi, 400))
    data = undarix_ufuncs.transient_impulse(time, *truth.values()) + rng.normal(0.0, 0.1, time.size)
    places = np.sort(np.fmod(time, 2 * np.pi))
    index = np.searchsorted(places, truth["period"] / 24 * 2 * np.pi)
    away = dict(truth, period=0.5 * (places[index + 2] + places[index + 3]) / (2 * np.pi) * 24)
    best = undarix_fit.fit("transient_impulse", time, data, p0=truth)
    result = undarix_fit.fit("transient_impulse", time, data, p0=away)
    assert result.success
    # to the onset's step test (a few parts in a million of the sum of squares)
    assert result.chisqr <= best.chisqr * (1 + 1e-5)
    assert result.params["period"] == pytest.approx(best.params["period"], abs=1e-3)


@pytest.mark.parametrize("uniform", [True, False], ids=["uniform", "irregular"])
def test_pulse_guess_on_negative_times(uniform):
    # A negative time's remainder of the turn is negative: no onset reaches it,
    # so the pulses are in the positive half alone.
    time, _, _, _ = signal("transient_impulse", uniform, seed=14)
    time = time - 3 * 2 * np.pi
    true = TRUE["transient_impulse"]
    data = undarix_ufuncs.transient_impulse(time, *true.values()) \
        + np.random.default_rng(14).normal(0.0, 0.15, time.size)
    start = undarix_fit.guess("transient_impulse", time, data)
    assert abs(start["period"] - true["period"]) < 0.2
    assert abs(start["width"] / true["width"] - 1) < 0.2
