"""Reading the user's parameter arguments (p0, fixed, bounds) against a
waveform's parameter names."""

import numbers

import numpy as np


def by_name(values, names, what):
    """A dict over `names` from a mapping (only known names) or a sequence in
    parameter order."""
    if values is None:
        return {}
    if hasattr(values, "keys"):
        unknown = [key for key in values.keys() if key not in names]
        if unknown:
            raise ValueError("%s names unknown parameters %s; the parameters are %s"
                             % (what, ", ".join(map(repr, unknown)), ", ".join(names)))
        return {key: float(values[key]) for key in values.keys()}
    try:
        values = [float(value) for value in values]
    except (TypeError, ValueError):
        values = list(np.asarray(values, dtype=np.float64).ravel())
    if len(values) != len(names):
        raise ValueError("%s has %d values; expected %d, one for each of %s"
                         % (what, len(values), len(names), ", ".join(names)))
    return dict(zip(names, values))


def fixed_parameters(fixed, names):
    """(values given, names held): `fixed` is a mapping from names to values, or
    a collection of names held at their starting values."""
    if fixed is None:
        return {}, ()
    if isinstance(fixed, str):
        fixed = [fixed]
    if hasattr(fixed, "keys"):
        values = by_name(fixed, names, "fixed")
        return values, tuple(name for name in names if name in values)
    held = list(fixed)
    unknown = [name for name in held if name not in names]
    if unknown:
        raise ValueError("fixed names unknown parameters %s; the parameters are %s"
                         % (", ".join(map(repr, unknown)), ", ".join(names)))
    return {}, tuple(name for name in names if name in held)


def bound_arrays(bounds, free):
    """(lower, upper) arrays over the free parameters from a mapping of names to
    (low, high) pairs, or a pair of sequences over the free parameters."""
    lower = np.full(len(free), -np.inf)
    upper = np.full(len(free), np.inf)
    if bounds is None:
        return lower, upper
    if hasattr(bounds, "keys"):
        for name, pair in bounds.items():
            if name not in free:
                raise ValueError("bounds name %r, which is not a free parameter (free: %s)"
                                 % (name, ", ".join(free)))
            low, high = pair
            index = free.index(name)
            lower[index] = -np.inf if low is None else float(low)
            upper[index] = np.inf if high is None else float(high)
    else:
        low, high = bounds
        lower = np.broadcast_to(np.asarray(low, dtype=np.float64), (len(free),)).copy()
        upper = np.broadcast_to(np.asarray(high, dtype=np.float64), (len(free),)).copy()
    if np.any(lower >= upper):
        raise ValueError("every lower bound must be below its upper bound")
    return lower, upper


def is_integer(value):
    return isinstance(value, numbers.Integral) and not isinstance(value, bool)
