"""Scalar reference of the five waveforms, one double operation at a time.

Python floats are IEEE doubles and `math.exp/sin/cos/fmod` call the C runtime,
so these functions reproduce the module's values bit for bit.  The wrappers
below only undo the `math` module's habit of raising where C returns inf/NaN.
"""
import math

FOUR_OVER_PI = 1.2732395447351628
FULL_TURN = 6.283185307179586
HOURS_PER_DAY = 24.0
NAN = float("nan")
INF = float("inf")


def _exp(x):
    try:
        return math.exp(x)
    except OverflowError:
        return INF


def _sin(x):
    return NAN if math.isinf(x) else math.sin(x)


def _cos(x):
    return NAN if math.isinf(x) else math.cos(x)


def _fmod(x, y):
    return NAN if math.isinf(x) else math.fmod(x, y)


def _div(a, b):
    if b == 0.0:
        if a == 0.0 or math.isnan(a):
            return NAN
        return math.copysign(INF, a) * math.copysign(1.0, b)
    return a / b


def _envelope(t, amplitude, gamma):
    e = _exp(t * gamma)
    return e * amplitude


def harmonic_oscillator(t, amplitude, gamma, omega, phi, y):
    e = _envelope(t, amplitude, gamma)
    c = _cos((t + phi) * omega)
    return c * e + y


def pseudo_square_wave(t, amplitude, gamma, omega, phi, y):
    e = _envelope(t, amplitude, gamma)
    x = (t + phi) * omega
    s1 = _sin(x)
    s3 = _sin(x * 3.0)
    return (s3 * 0.5 + s1) * e + y


def fourier_square_wave(t, amplitude, gamma, omega, phi, y, num_harmonics):
    e = _envelope(t, amplitude, gamma)
    u = t + phi
    s = 0.0
    for k in range(1, 2 * num_harmonics, 2):
        k = float(k)
        term = _sin((k * omega) * u)
        term = term * FOUR_OVER_PI
        term = term / k
        s = s + term
    return e * (s + 1.0) + y


def pseudo_cycloid_wave(t, amplitude, gamma, omega, phi, y):
    e = _envelope(t, amplitude, gamma)
    u = t + phi
    c2 = _cos((omega + omega) * u)
    c1 = _cos(u * omega)
    return (c2 - (c1 + c1)) * e + y


def impulse_onset(period):
    return (period / HOURS_PER_DAY) * FULL_TURN


def transient_impulse(t, amplitude, period, width, equilibrium):
    d = _fmod(t, FULL_TURN) - impulse_onset(period)
    if d >= 0.0:
        q = _div(d, width)
        q = q * q
        q = q * -0.5
        h = _exp(q)
    else:
        h = 0.0
    return h * amplitude + equilibrium
