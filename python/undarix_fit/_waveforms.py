"""The five waveforms as the fitting code sees them: parameter names, the value
ufunc and its Jacobian ufunc, and how a parameter set is laid out for a call."""

import numbers

import numpy as np

import undarix_ufuncs

DAMPED = ("amplitude", "gamma", "omega", "phi", "y")
PULSE = ("amplitude", "period", "width", "equilibrium")

PARAMETERS = {
    "harmonic_oscillator": DAMPED,
    "pseudo_square_wave": DAMPED,
    "fourier_square_wave": DAMPED,
    "pseudo_cycloid_wave": DAMPED,
    "transient_impulse": PULSE,
}

UINT64_MAX = 2 ** 64 - 1

# The integer input that follows the continuous parameters, where there is one.
INTEGER_INPUT = {"fourier_square_wave": "num_harmonics"}


class Waveform(object):
    """One waveform with its integer input (if any) bound: evaluates the value and
    the Jacobian for a full parameter vector in the waveform's parameter order."""

    def __init__(self, name, num_harmonics=None):
        if name not in PARAMETERS:
            raise ValueError("unknown waveform %r; expected one of %s"
                             % (name, ", ".join(sorted(PARAMETERS))))
        self.name = name
        self.names = PARAMETERS[name]
        integer = INTEGER_INPUT.get(name)
        if integer is None:
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
