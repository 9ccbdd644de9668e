"""Closed-form waveforms evaluated over a one-dimensional float64 time array.

Every function returns a new float64 array of the same length as ``time``,
computed element by element in a fixed order of double operations, so results
are reproducible to the last bit. The damped waveforms share the envelope
``e = exp(t*gamma)*amplitude``; ``phi`` is a time shift added before ``omega``
is applied.

Errors common to all functions:

- ``TypeError``: a missing, duplicated or unexpected argument; ``time`` not a
  NumPy array, not one-dimensional, or of a dtype other than float64
  ("argument 'time': type mismatch:\\n from=int64, to=float64"); a scalar that
  is not a real number ("argument 'amplitude': must be real number, not str").
- ``OverflowError``: an ``int`` too large for a double.
- ``pyo3_runtime.PanicException`` (derives from ``BaseException``, not
  ``Exception``): ``time`` not contiguous, or its memory borrowed exclusively
  by another extension module.
"""

from typing import SupportsFloat, SupportsIndex, Union

import numpy
import numpy.typing

# What the conversions really take: a real number is anything with __float__
# or __index__ (float, int, bool, NumPy's number scalars); the harmonic count
# is anything with __index__ (int, NumPy's integer scalars), never a float.
_Real = Union[SupportsFloat, SupportsIndex]

__all__ = [
    "harmonic_oscillator",
    "pseudo_square_wave",
    "fourier_square_wave",
    "pseudo_cycloid_wave",
    "transient_impulse",
]

def harmonic_oscillator(
    time: numpy.typing.NDArray[numpy.float64],
    amplitude: _Real,
    gamma: _Real,
    omega: _Real,
    phi: _Real,
    y: _Real,
) -> numpy.typing.NDArray[numpy.float64]:
    """Exponentially damped (or growing) cosine.

    value = cos((t + phi)*omega) * exp(t*gamma)*amplitude + y

    Args:
        time: one-dimensional, contiguous float64 array of time points.
        amplitude: scale of the envelope at t = 0.
        gamma: growth rate of the envelope; negative for decay.
        omega: angular frequency, in radians per unit of time.
        phi: time shift, in units of time, added before omega is applied.
        y: constant offset.

    Returns:
        A new float64 array of the same length as ``time``.

    Raises:
        TypeError: wrong arguments, or ``time`` not a 1-D float64 array.
        OverflowError: an ``int`` argument too large for a double.
        pyo3_runtime.PanicException: ``time`` not contiguous, or borrowed
            exclusively by another extension module (a ``BaseException``).
    """

def pseudo_square_wave(
    time: numpy.typing.NDArray[numpy.float64],
    amplitude: _Real,
    gamma: _Real,
    omega: _Real,
    phi: _Real,
    y: _Real,
) -> numpy.typing.NDArray[numpy.float64]:
    """Damped square-like wave: the fundamental plus half the third harmonic.

    x = (t + phi)*omega;
    value = (sin(3x)*0.5 + sin(x)) * exp(t*gamma)*amplitude + y

    Args:
        time: one-dimensional, contiguous float64 array of time points.
        amplitude: scale of the envelope at t = 0.
        gamma: growth rate of the envelope; negative for decay.
        omega: angular frequency of the fundamental.
        phi: time shift, in units of time, added before omega is applied.
        y: constant offset.

    Returns:
        A new float64 array of the same length as ``time``.

    Raises:
        TypeError: wrong arguments, or ``time`` not a 1-D float64 array.
        OverflowError: an ``int`` argument too large for a double.
        pyo3_runtime.PanicException: ``time`` not contiguous, or borrowed
            exclusively by another extension module (a ``BaseException``).
    """

def fourier_square_wave(
    time: numpy.typing.NDArray[numpy.float64],
    amplitude: _Real,
    gamma: _Real,
    omega: _Real,
    phi: _Real,
    y: _Real,
    num_harmonics: SupportsIndex,
) -> numpy.typing.NDArray[numpy.float64]:
    """Damped square wave (swinging between 0 and 2) from its first odd Fourier terms.

    value = exp(t*gamma)*amplitude * (1 + sum over k = 1, 3, ..., 2N-1 of
    (4/pi)*sin(k*omega*(t + phi))/k) + y, with N = num_harmonics.

    Args:
        time: one-dimensional, contiguous float64 array of time points.
        amplitude: scale of the envelope at t = 0.
        gamma: growth rate of the envelope; negative for decay.
        omega: angular frequency of the fundamental.
        phi: time shift, in units of time, added before omega is applied.
        y: constant offset.
        num_harmonics: number N of odd harmonics summed, 0 to 2**64 - 1; the
            cost per element grows linearly with it.

    Returns:
        A new float64 array of the same length as ``time``.

    Raises:
        TypeError: wrong arguments, ``time`` not a 1-D float64 array, or
            ``num_harmonics`` not an integer.
        OverflowError: ``num_harmonics`` negative or not below 2**64, or an
            ``int`` argument too large for a double.
        pyo3_runtime.PanicException: ``time`` not contiguous, or borrowed
            exclusively by another extension module (a ``BaseException``).
    """

def pseudo_cycloid_wave(
    time: numpy.typing.NDArray[numpy.float64],
    amplitude: _Real,
    gamma: _Real,
    omega: _Real,
    phi: _Real,
    y: _Real,
) -> numpy.typing.NDArray[numpy.float64]:
    """Damped two-harmonic cosine combination, cos 2x - 2 cos x.

    u = t + phi;
    value = (cos(2*omega*u) - 2*cos(u*omega)) * exp(t*gamma)*amplitude + y

    Args:
        time: one-dimensional, contiguous float64 array of time points.
        amplitude: scale of the envelope at t = 0.
        gamma: growth rate of the envelope; negative for decay.
        omega: angular frequency of the fundamental.
        phi: time shift, in units of time, added before omega is applied.
        y: constant offset.

    Returns:
        A new float64 array of the same length as ``time``.

    Raises:
        TypeError: wrong arguments, or ``time`` not a 1-D float64 array.
        OverflowError: an ``int`` argument too large for a double.
        pyo3_runtime.PanicException: ``time`` not contiguous, or borrowed
            exclusively by another extension module (a ``BaseException``).
    """

def transient_impulse(
    time: numpy.typing.NDArray[numpy.float64],
    amplitude: _Real,
    period: _Real,
    width: _Real,
    equilibrium: _Real,
) -> numpy.typing.NDArray[numpy.float64]:
    """One-sided Gaussian pulse that repeats every full turn (2*pi) of ``time``.

    One turn of ``time`` is a 24-hour cycle. With onset = (period/24)*2*pi and
    d = fmod(t, 2*pi) - onset:
    value = exp(-0.5*(d/width)**2)*amplitude + equilibrium if d >= 0,
    else equilibrium (also for negative, infinite and NaN times).

    Args:
        time: one-dimensional, contiguous float64 array of time points, in
            radians of the 24-hour cycle.
        amplitude: height of the pulse above the equilibrium.
        period: onset of the pulse, in hours into each cycle.
        width: standard deviation of the pulse, in radians.
        equilibrium: value outside the pulse.

    Returns:
        A new float64 array of the same length as ``time``.

    Raises:
        TypeError: wrong arguments, or ``time`` not a 1-D float64 array.
        OverflowError: an ``int`` argument too large for a double.
        pyo3_runtime.PanicException: ``time`` not contiguous, or borrowed
            exclusively by another extension module (a ``BaseException``).
    """
