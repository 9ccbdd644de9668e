"""Scalar reference of the Jacobian ufuncs, one double operation at a time.

Each function returns the tuple of partial derivatives in the ufunc's output order,
computed in the order the ufunc's documentation gives, with the C runtime's functions
through `reference`'s wrappers, so the results agree with the module's bit for bit.
"""
from reference import FOUR_OVER_PI, FULL_TURN, HOURS_PER_DAY, NAN, _cos, _div, _exp, _fmod, _sin, impulse_onset

TURN_PER_HOUR = FULL_TURN / HOURS_PER_DAY


def _damped(t, u, omega, growth, e, shape, slope):
    slope_e = slope * e
    return (shape * growth, (shape * e) * t, slope_e * u, slope_e * omega, 1.0)


def harmonic_oscillator_jacobian(t, amplitude, gamma, omega, phi, y):
    growth = _exp(t * gamma)
    e = growth * amplitude
    u = t + phi
    x = u * omega
    return _damped(t, u, omega, growth, e, _cos(x), -_sin(x))


def pseudo_square_wave_jacobian(t, amplitude, gamma, omega, phi, y):
    growth = _exp(t * gamma)
    e = growth * amplitude
    u = t + phi
    x = u * omega
    x3 = x * 3.0
    shape = _sin(x3) * 0.5 + _sin(x)
    slope = _cos(x3) * 1.5 + _cos(x)
    return _damped(t, u, omega, growth, e, shape, slope)


def fourier_square_wave_jacobian(t, amplitude, gamma, omega, phi, y, num_harmonics):
    if num_harmonics < 0:
        return (NAN,) * 5
    growth = _exp(t * gamma)
    e = growth * amplitude
    u = t + phi
    s = 0.0
    c = 0.0
    for k in range(1, 2 * num_harmonics, 2):
        k = float(k)
        x = (k * omega) * u
        term = _sin(x)
        term = term * FOUR_OVER_PI
        term = term / k
        s = s + term
        c = c + _cos(x)
    return _damped(t, u, omega, growth, e, s + 1.0, c * FOUR_OVER_PI)


def pseudo_cycloid_wave_jacobian(t, amplitude, gamma, omega, phi, y):
    growth = _exp(t * gamma)
    e = growth * amplitude
    u = t + phi
    x2 = (omega + omega) * u
    x = u * omega
    c1 = _cos(x)
    shape = _cos(x2) - (c1 + c1)
    slope = _sin(x) - _sin(x2)
    slope = slope + slope
    return _damped(t, u, omega, growth, e, shape, slope)


def transient_impulse_jacobian(t, amplitude, period, width, equilibrium):
    d = _fmod(t, FULL_TURN) - impulse_onset(period)
    h = 0.0
    r = 0.0
    if d >= 0.0:
        r = _div(d, width)
        q = r * r
        q = q * -0.5
        h = _exp(q)
    if h != 0.0:
        r_over_width = _div(r, width)
    else:
        r_over_width = 0.0
        r = 0.0
    pulse = h * amplitude
    slope = pulse * r_over_width
    return (h, slope * TURN_PER_HOUR, slope * r, 1.0)


JACOBIANS = {
    "harmonic_oscillator": harmonic_oscillator_jacobian,
    "pseudo_square_wave": pseudo_square_wave_jacobian,
    "fourier_square_wave": fourier_square_wave_jacobian,
    "pseudo_cycloid_wave": pseudo_cycloid_wave_jacobian,
    "transient_impulse": transient_impulse_jacobian,
}
