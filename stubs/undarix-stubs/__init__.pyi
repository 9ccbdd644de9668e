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

    With ``t`` one element of ``time``, in this order of operations::

        e = exp(t*gamma)*amplitude
        value = cos((t + phi)*omega)*e + y

    Parameters
    ----------
    time : numpy.ndarray
        One-dimensional, contiguous float64 array of time points.
    amplitude : float
        Scale of the envelope at t = 0.
    gamma : float
        Growth rate of the envelope, per unit of time; negative for decay.
    omega : float
        Angular frequency, in radians per unit of time.
    phi : float
        Time shift, in units of time, added to t before omega is applied.
    y : float
        Constant offset.

    Returns
    -------
    numpy.ndarray
        A new float64 array of the same length as ``time``.

    Raises
    ------
    TypeError
        A missing, duplicated or unexpected argument; ``time`` not a NumPy
        array, not one-dimensional, or of a dtype other than float64; a
        scalar that is not a real number.
    OverflowError
        An ``int`` argument too large for a double.
    pyo3_runtime.PanicException
        ``time`` not contiguous (``NotContiguousError``), or its memory
        borrowed exclusively by another extension module
        (``AlreadyBorrowed``). It derives from ``BaseException``, not
        ``Exception``; pass ``numpy.ascontiguousarray(time)`` to avoid the
        first.

    Examples
    --------
    >>> import numpy as np, undarix
    >>> t = np.linspace(0.0, 10.0, 5)
    >>> undarix.harmonic_oscillator(t, 1.0, -0.1, 2.0, 0.0, 0.5).round(3)
    array([ 1.5  ,  0.721, -0.009,  0.141,  0.65 ])
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

    With ``t`` one element of ``time``, in this order of operations::

        e = exp(t*gamma)*amplitude
        x = (t + phi)*omega
        value = (sin(3*x)*0.5 + sin(x))*e + y

    Parameters
    ----------
    time : numpy.ndarray
        One-dimensional, contiguous float64 array of time points.
    amplitude : float
        Scale of the envelope at t = 0.
    gamma : float
        Growth rate of the envelope, per unit of time; negative for decay.
    omega : float
        Angular frequency of the fundamental, in radians per unit of time.
    phi : float
        Time shift, in units of time, added to t before omega is applied.
    y : float
        Constant offset.

    Returns
    -------
    numpy.ndarray
        A new float64 array of the same length as ``time``.

    Raises
    ------
    TypeError
        A missing, duplicated or unexpected argument; ``time`` not a NumPy
        array, not one-dimensional, or of a dtype other than float64; a
        scalar that is not a real number.
    OverflowError
        An ``int`` argument too large for a double.
    pyo3_runtime.PanicException
        ``time`` not contiguous (``NotContiguousError``), or its memory
        borrowed exclusively by another extension module
        (``AlreadyBorrowed``). It derives from ``BaseException``, not
        ``Exception``; pass ``numpy.ascontiguousarray(time)`` to avoid the
        first.
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
    """Damped square wave, swinging between 0 and 2, from its first odd Fourier terms.

    With ``t`` one element of ``time`` and N = ``num_harmonics``::

        e = exp(t*gamma)*amplitude
        value = e*(1 + sum of (4/pi)*sin(k*omega*(t + phi))/k
                       over k = 1, 3, ..., 2N-1) + y

    The terms are added in order of increasing k.

    Parameters
    ----------
    time : numpy.ndarray
        One-dimensional, contiguous float64 array of time points.
    amplitude : float
        Scale of the envelope at t = 0.
    gamma : float
        Growth rate of the envelope, per unit of time; negative for decay.
    omega : float
        Angular frequency of the fundamental, in radians per unit of time.
    phi : float
        Time shift, in units of time, added to t before omega is applied.
    y : float
        Constant offset.
    num_harmonics : int
        Number N of odd harmonics summed, 0 to 2**64 - 1 (an unsigned 64-bit
        integer; any object with ``__index__``, never a float). The cost per
        element grows linearly with it; a long call stops at Ctrl-C.

    Returns
    -------
    numpy.ndarray
        A new float64 array of the same length as ``time``.

    Raises
    ------
    TypeError
        A missing, duplicated or unexpected argument; ``time`` not a NumPy
        array, not one-dimensional, or of a dtype other than float64; a
        scalar that is not a real number; a ``num_harmonics`` that is not
        an integer (a ``float``).
    OverflowError
        ``num_harmonics`` negative or not below 2**64, or an ``int``
        argument too large for a double.
    pyo3_runtime.PanicException
        ``time`` not contiguous (``NotContiguousError``), or its memory
        borrowed exclusively by another extension module
        (``AlreadyBorrowed``). It derives from ``BaseException``, not
        ``Exception``; pass ``numpy.ascontiguousarray(time)`` to avoid the
        first.
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

    With ``t`` one element of ``time``, in this order of operations::

        e = exp(t*gamma)*amplitude
        u = t + phi
        value = (cos(2*omega*u) - 2*cos(u*omega))*e + y

    Parameters
    ----------
    time : numpy.ndarray
        One-dimensional, contiguous float64 array of time points.
    amplitude : float
        Scale of the envelope at t = 0.
    gamma : float
        Growth rate of the envelope, per unit of time; negative for decay.
    omega : float
        Angular frequency of the fundamental, in radians per unit of time.
    phi : float
        Time shift, in units of time, added to t before omega is applied.
    y : float
        Constant offset.

    Returns
    -------
    numpy.ndarray
        A new float64 array of the same length as ``time``.

    Raises
    ------
    TypeError
        A missing, duplicated or unexpected argument; ``time`` not a NumPy
        array, not one-dimensional, or of a dtype other than float64; a
        scalar that is not a real number.
    OverflowError
        An ``int`` argument too large for a double.
    pyo3_runtime.PanicException
        ``time`` not contiguous (``NotContiguousError``), or its memory
        borrowed exclusively by another extension module
        (``AlreadyBorrowed``). It derives from ``BaseException``, not
        ``Exception``; pass ``numpy.ascontiguousarray(time)`` to avoid the
        first.
    """

def transient_impulse(
    time: numpy.typing.NDArray[numpy.float64],
    amplitude: _Real,
    period: _Real,
    width: _Real,
    equilibrium: _Real,
) -> numpy.typing.NDArray[numpy.float64]:
    """One-sided Gaussian pulse that repeats every full turn (2*pi) of ``time``.

    One turn of ``time`` is a 24-hour cycle. With ``t`` one element of
    ``time``::

        onset = (period/24)*2*pi
        d = fmod(t, 2*pi) - onset
        value = exp(-0.5*(d/width)**2)*amplitude + equilibrium   if d >= 0
        value = equilibrium                                      otherwise

    Negative times (``fmod`` keeps the sign), infinite and NaN times give the
    equilibrium E.

    Parameters
    ----------
    time : numpy.ndarray
        One-dimensional, contiguous float64 array of time points, in radians
        of the 24-hour cycle (2*pi is 24 hours).
    amplitude : float
        Height A of the pulse above the equilibrium.
    period : float
        Onset P of the pulse, in hours into each cycle (6.0 starts the pulse
        a quarter turn, pi/2, into every turn). Not a repetition period: the
        pulse repeats every full turn whatever its value.
    width : float
        Standard deviation W of the pulse, in radians of ``time``.
    equilibrium : float
        Value E outside the pulse.

    Returns
    -------
    numpy.ndarray
        A new float64 array of the same length as ``time``.

    Raises
    ------
    TypeError
        A missing, duplicated or unexpected argument; ``time`` not a NumPy
        array, not one-dimensional, or of a dtype other than float64; a
        scalar that is not a real number.
    OverflowError
        An ``int`` argument too large for a double.
    pyo3_runtime.PanicException
        ``time`` not contiguous (``NotContiguousError``), or its memory
        borrowed exclusively by another extension module
        (``AlreadyBorrowed``). It derives from ``BaseException``, not
        ``Exception``; pass ``numpy.ascontiguousarray(time)`` to avoid the
        first.
    """
