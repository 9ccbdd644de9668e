"""The five waveforms as the fitting code sees them, one family object each:
parameter names, the value ufunc and its Jacobian ufunc, the integer input,
how a first guess is read from data, which parameter sets give the same (or a
nearly the same) curve, the parameter at which the curve jumps, and the
function an lmfit model wraps.  Everything that differs between waveforms is
here, so that the guess, the fit and the lmfit model ask the family instead
of testing names."""

import math
import numbers

import numpy as np

import undarix_ufuncs

from . import _guess
from ._waveform_table import INTEGER_INPUT, PARAMETERS

# The parameters every damped waveform shares, in the table's order.
DAMPED = PARAMETERS["harmonic_oscillator"]


class Family(object):
    """What every waveform tells the fitting code.  `onset` names the parameter
    at which the curve jumps (None for the smooth waveforms); `integer_input`
    the integer input after the continuous parameters (None if there is none)."""

    name = None
    offset = None
    onset = None

    # The parameter names and the integer input come from the modules' own
    # waveform table, so that they cannot drift from the ufuncs.
    @property
    def names(self):
        return PARAMETERS[self.name]

    @property
    def integer_input(self):
        return INTEGER_INPUT.get(self.name)

    def starts(self, waveform, time, values, fixed):
        """(sum of squared residuals, start) pairs read from the data, in any
        order."""
        raise NotImplementedError

    def same_curve(self, parameters):
        """Parameter sets (dicts) that give exactly the same curve as
        `parameters`, other than itself; the fit reports the first of a class,
        see `canonical`."""
        return []

    def canonical(self, parameters):
        """The member of `parameters`' class of identical curves that a fit
        reports."""
        return parameters

    def other_branches(self, waveform, time, parameters):
        """Parameter sets of a different local minimum that a fit ending at
        `parameters` may have missed: the fit tries them too."""
        return []

    def neighbours(self, waveform, time, parameters, direction):
        """The parameter set of the nearest other local minimum of the same
        shape in `direction` (-1 or 1) that a fit ending at `parameters` may
        sit beside, None where there is none: the fit steps on while that
        improves it."""
        return None

    def model_function(self, waveform):
        """f(x, <parameters>) with the parameter names as its arguments, which is
        how lmfit learns them."""
        raise NotImplementedError


class DampedFamily(Family):
    """amplitude * e^(gamma*t) * shape((t + phi) * omega) + y, shape of period 2*pi.

    `fundamental_shift`: the shape's fundamental as a multiple of cos(x + shift).
    `half_period_negates`: shape(x + pi) == -shape(x), so that (-A, phi +
    pi/omega) is the same curve.  `constant_term`: the shape holds a constant
    (the Fourier square wave's 1), which the guess's linear profile fits as a
    column of its own."""

    offset = "y"
    fundamental_shift = 0.0
    half_period_negates = False
    constant_term = False

    def starts(self, waveform, time, values, fixed):
        return _guess.damped_starts(self, waveform, time, values, fixed)

    def same_curve(self, parameters):
        if not self.half_period_negates:
            return []
        return [dict(parameters, amplitude=-parameters["amplitude"],
                     phi=parameters["phi"] + np.pi / parameters["omega"])]

    def canonical(self, parameters):
        # A positive amplitude, the other member half a period later.
        if self.half_period_negates and parameters["amplitude"] < 0 and parameters["omega"] != 0:
            flipped = self.same_curve(parameters)[0]
            period = 2.0 * np.pi / abs(flipped["omega"])
            # phi back into [-period/2, period/2): a whole period changes nothing
            flipped["phi"] = (flipped["phi"] + 0.5 * period) % period - 0.5 * period
            return flipped
        return parameters

    def model_function(self, waveform):
        def damped(x, amplitude, gamma, omega, phi, y):
            return waveform.value(x, (amplitude, gamma, omega, phi, y))
        return damped


class HarmonicOscillator(DampedFamily):
    name = "harmonic_oscillator"
    fundamental_shift = 0.0                 # cos x
    half_period_negates = True


class PseudoSquareWave(DampedFamily):
    name = "pseudo_square_wave"
    fundamental_shift = -0.5 * np.pi        # sin x = cos(x - pi/2)
    half_period_negates = True


class FourierSquareWave(DampedFamily):
    """A e^(gamma t) (s(x) + 1) + y with s the odd-harmonic sum, s(x + pi) = -s(x):
    (-A, phi + pi/omega, y + 2A) is the same curve without damping only, the
    square wave between the same levels, but with the damped level (y + 2A
    e^(gamma t)) below the fixed one instead of above it.  With damping the two
    are separate minima, and the fit tries the other one."""

    name = "fourier_square_wave"
    fundamental_shift = -0.5 * np.pi        # (4/pi) sin x
    constant_term = True

    def other_branches(self, waveform, time, parameters):
        # The mean of the damped level's height over the points: the level
        # y + 2A e^(gamma t) becomes the fixed one.
        height = parameters["amplitude"] * float(np.mean(np.exp(parameters["gamma"] * time)))
        return [dict(parameters, amplitude=-parameters["amplitude"],
                     phi=parameters["phi"] + np.pi / parameters["omega"],
                     y=parameters["y"] + 2.0 * height)]

    def neighbours(self, waveform, time, parameters, direction):
        # The highest harmonic h (of those the sampling resolves) turns h
        # times as fast as the fundamental: the sum of squares has a local
        # minimum wherever it is back in step over the window, about every
        # 2 pi / (h T) in omega, closer than the spectrum places the
        # fundamental (a tenth of 2 pi / T).  The neighbour keeps the phase
        # at the window's middle.
        omega = parameters["omega"]
        span = float(time[-1] - time[0])
        if not (omega > 0 and span > 0) or waveform.num_harmonics is None:
            return None
        resolved = math.pi * (time.size - 1) / (omega * span)     # Nyquist, in harmonics
        highest = min(2 * waveform.num_harmonics - 1, int(resolved))
        if highest < 3:
            return None
        moved = omega + direction * 2.0 * np.pi / (highest * span)
        middle = 0.5 * float(time[0] + time[-1])
        return dict(parameters, omega=moved, phi=(middle + parameters["phi"]) * omega / moved - middle)


class PseudoCycloidWave(DampedFamily):
    name = "pseudo_cycloid_wave"
    fundamental_shift = np.pi               # -2 cos x = 2 cos(x + pi)


class TransientImpulse(Family):
    """A repeating one-sided Gaussian pulse: time in radians of a 24-hour turn,
    the onset (`period`) in hours; the curve jumps where the onset crosses a
    sample's place in the turn."""

    name = "transient_impulse"
    offset = "equilibrium"
    onset = "period"

    def starts(self, waveform, time, values, fixed):
        return _guess.pulse_starts(waveform, time, values, fixed)

    def model_function(self, waveform):
        def pulse(x, amplitude, period, width, equilibrium):
            return waveform.value(x, (amplitude, period, width, equilibrium))
        return pulse


FAMILIES = {family.name: family for family in (
    HarmonicOscillator(), PseudoSquareWave(), FourierSquareWave(), PseudoCycloidWave(), TransientImpulse())}

if set(FAMILIES) != set(PARAMETERS):
    raise ImportError("undarix_fit knows the waveforms %s, the modules' table %s: regenerate with scripts/stubs"
                      % (sorted(FAMILIES), sorted(PARAMETERS)))

UINT64_MAX = 2 ** 64 - 1


class Waveform(object):
    """One waveform with its integer input (if any) bound: evaluates the value and
    the Jacobian for a full parameter vector in the waveform's parameter order."""

    def __init__(self, name, num_harmonics=None):
        if name not in FAMILIES:
            raise ValueError("unknown waveform %r; expected one of %s"
                             % (name, ", ".join(sorted(FAMILIES))))
        self.name = name
        self.family = FAMILIES[name]
        self.names = self.family.names
        if self.family.integer_input is None:
            if num_harmonics is not None:
                raise ValueError("%s takes no num_harmonics" % name)
            self.extra = ()
        else:
            if num_harmonics is None:
                raise ValueError("%s needs num_harmonics=N, the number of odd harmonics (an int)" % name)
            if isinstance(num_harmonics, bool) or not isinstance(num_harmonics, numbers.Integral) \
                    or not 0 <= num_harmonics <= UINT64_MAX:
                raise ValueError("num_harmonics must be a non-negative int up to 2**64 - 1, not %r"
                                 % (num_harmonics,))
            # The ufunc's input is a uint64: a Python int past the int64 range
            # would be refused on its way there.
            self.extra = (np.uint64(num_harmonics),)
        self.num_harmonics = int(self.extra[0]) if self.extra else None
        self.value_ufunc = getattr(undarix_ufuncs, name)
        self.jacobian_ufunc = getattr(undarix_ufuncs, name + "_jacobian")

    def value(self, time, parameters):
        return self.value_ufunc(time, *(tuple(parameters) + self.extra))

    def jacobian(self, time, parameters, out=None):
        """The derivatives by every continuous parameter, one array each, in
        parameter order (into the arrays of `out`, if given)."""
        arguments = tuple(parameters) + self.extra
        if out is None:
            return self.jacobian_ufunc(time, *arguments)
        return self.jacobian_ufunc(time, *arguments, out=out)
