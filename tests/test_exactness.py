"""The waveforms agree bit for bit with the scalar reference in tests/reference.py."""
import math
import zlib

import numpy as np
import pytest

import reference
import undarix
from conftest import ALL_FUNCTIONS, VALID_SCALARS, assert_same_floats

INF = math.inf
NAN = math.nan
SPECIAL_VALUES = [0.0, -0.0, 1.0, -1.0, INF, -INF, NAN, 5e-324, -2.5e-310, 1e300, -1e300]
SPECIAL_TIMES = np.array([NAN, INF, -INF, 0.0, -0.0, 5e-324, -5e-324, 2.2e-308, 1e-310,
                          1.7976931348623157e308, -1.7976931348623157e308,
                          2 * math.pi, -2 * math.pi, math.pi / 2, 1e16, -1e22])


def expected(name, times, params):
    ref = getattr(reference, name)
    return np.array([ref(float(t), *params) for t in times], dtype=np.float64)


def check(name, times, params):
    times = np.ascontiguousarray(times, dtype=np.float64)
    assert_same_floats(getattr(undarix, name)(times, *params), expected(name, times, params))


def random_times(rng, n):
    sign = rng.choice([-1.0, 1.0], n)
    pools = [
        rng.uniform(-60.0, 60.0, n),
        rng.uniform(0.0, 2 * math.pi, n),
        sign * 10.0 ** rng.uniform(6.0, 300.0, n),
        sign * rng.integers(1, 2 ** 52, n, dtype=np.uint64).view(np.float64),
        rng.normal(0.0, 1e-3, n),
    ]
    return np.choose(rng.integers(0, len(pools), n), pools)


def maybe_special(rng, typical):
    if rng.random() < 0.12:
        return SPECIAL_VALUES[rng.integers(len(SPECIAL_VALUES))]
    return float(typical)


def random_params(rng, name):
    if name == "transient_impulse":
        return (maybe_special(rng, rng.normal(0.0, 5.0)),
                maybe_special(rng, rng.uniform(-30.0, 54.0)),
                maybe_special(rng, rng.uniform(0.01, 3.0)),
                maybe_special(rng, rng.normal(0.0, 5.0)))
    gamma = [0.0, rng.normal(0.0, 0.3), rng.normal(0.0, 1e-290), rng.uniform(-40.0, 40.0)]
    params = (maybe_special(rng, rng.normal(0.0, 10.0)),
              maybe_special(rng, gamma[rng.integers(len(gamma))]),
              maybe_special(rng, rng.uniform(-20.0, 20.0)),
              maybe_special(rng, rng.normal(0.0, 5.0)),
              maybe_special(rng, rng.normal(0.0, 10.0)))
    if name == "fourier_square_wave":
        params += (int(rng.integers(0, 13)),)
    return params


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_random_points_match_reference(name):
    rng = np.random.default_rng(zlib.crc32(name.encode()))
    total = 0
    for _ in range(50):
        params = random_params(rng, name)
        times = random_times(rng, int(rng.integers(1, 200)))
        if name == "transient_impulse":
            onset = reference.impulse_onset(params[1])
            near = [onset, np.nextafter(onset, INF), np.nextafter(onset, -INF)]
            times = np.concatenate([times, near])
        check(name, times, params)
        total += times.size
    assert total > 4000


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_special_values_match_reference(name):
    base = VALID_SCALARS[name]
    check(name, SPECIAL_TIMES, base)
    for position in range(len(base) if name != "fourier_square_wave" else 5):
        for value in SPECIAL_VALUES:
            params = base[:position] + (value,) + base[position + 1:]
            check(name, SPECIAL_TIMES, params)


@pytest.mark.parametrize("num_harmonics", [0, 1, 2, 3, 7, 40])
def test_fourier_harmonic_counts_match_reference(num_harmonics):
    times = np.concatenate([np.linspace(-7.0, 7.0, 101), SPECIAL_TIMES])
    check("fourier_square_wave", times, (1.5, -0.05, 2.5, 0.3, -0.25, num_harmonics))


@pytest.mark.parametrize("amplitude,gamma,omega,phi,y", [
    (1.5, -0.05, 2.5, 0.3, -0.25), (-2.0, 0.1, -1.0, 0.0, 0.0), (3.0, 0.0, 7.0, -1.0, 1e-300)])
def test_fourier_without_harmonics_is_the_envelope(amplitude, gamma, omega, phi, y):
    times = np.linspace(-5.0, 5.0, 41)
    got = undarix.fourier_square_wave(times, amplitude, gamma, omega, phi, y, 0)
    assert_same_floats(got, [math.exp(t * gamma) * amplitude * 1.0 + y for t in times])
    got = undarix.fourier_square_wave(times, amplitude, gamma, omega, phi, y, 1)
    want = [math.exp(t * gamma) * amplitude * (1.0 + 4 / math.pi * math.sin(omega * (t + phi))) + y
            for t in times]
    assert_same_floats(got, want)


def test_pseudo_square_wave_weights_the_third_harmonic_by_half():
    got = undarix.pseudo_square_wave(np.array([math.pi / 2]), 1.0, 0.0, 1.0, 0.0, 0.0)
    assert got.tolist() == [0.5]


@pytest.mark.parametrize("t,phi", [(0.0, 0.0), (1.5, -1.5), (-0.0, 0.0)])
def test_pseudo_cycloid_wave_at_zero_phase(t, phi):
    got = undarix.pseudo_cycloid_wave(np.array([t]), 3.0, 0.0, 1.7, phi, 0.25)
    assert got.tolist() == [0.25 - 3.0]


ONSET = (6.0 / 24.0) * 6.283185307179586  # period 6 h: pi / 2


@pytest.mark.parametrize("times,amplitude,width,want", [
    ([-1e-300, -0.5, -math.pi, -1e300, -INF, INF, NAN, 0.0, 1.0], 4.0, 0.5, [0.25] * 9),
    ([ONSET, ONSET + 2 * math.pi], 4.0, 0.5, [4.25, 4.25]),
    ([ONSET, ONSET + 0.5, ONSET - 0.5, -1.0], 4.0, 0.0, [NAN, 0.25, 0.25, 0.25]),
    ([ONSET, ONSET + 0.5, ONSET - 0.5, -1.0], 4.0, -0.0, [NAN, 0.25, 0.25, 0.25]),
    ([-1.0, 1.0, ONSET], INF, 0.5, [NAN, NAN, INF]),
    ([-1.0, ONSET], -INF, 0.5, [NAN, -INF]),
])
def test_transient_impulse_known_values(times, amplitude, width, want):
    got = undarix.transient_impulse(np.array(times), amplitude, 6.0, width, 0.25)
    assert_same_floats(got, want)
