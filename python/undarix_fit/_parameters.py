"""Reading the user's parameter arguments (p0, fixed, bounds) against a
waveform's parameter names."""

import math
import numbers

import numpy as np


def by_name(values, names, what, finite=True):
    """A dict over `names` from a mapping (only known names) or a sequence in
    parameter order; every value a finite float unless `finite` is false."""
    if values is None:
        return {}
    if hasattr(values, "keys"):
        unknown = [key for key in values.keys() if key not in names]
        if unknown:
            raise ValueError("%s names unknown parameters %s; the parameters are %s"
                             % (what, ", ".join(map(repr, unknown)), ", ".join(names)))
        result = {key: float(values[key]) for key in values.keys()}
    else:
        try:
            values = [float(value) for value in values]
        except (TypeError, ValueError):
            values = list(np.asarray(values, dtype=np.float64).ravel())
        if len(values) != len(names):
            raise ValueError("%s has %d values; expected %d, one for each of %s"
                             % (what, len(values), len(names), ", ".join(names)))
        result = dict(zip(names, values))
    if finite:
        bad = [key for key, value in result.items() if not math.isfinite(value)]
        if bad:
            raise ValueError("%s gives %s the value %s: every value must be a finite number (leave a "
                             "parameter out of %s to have it guessed or fitted)"
                             % (what, ", ".join(bad), ", ".join(repr(result[key]) for key in bad), what))
    return result


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


def bound_pairs(bounds, free):
    """{name: (low, high)} over the parameters in `free` that `bounds` limits:
    from a mapping of names to (low, high) pairs (None for no limit), or a
    pair of sequences (or numbers) over the free parameters."""
    pairs = {}
    if bounds is None:
        return pairs
    if hasattr(bounds, "keys"):
        for name, pair in bounds.items():
            if name not in free:
                raise ValueError("bounds name %r, which is not a free parameter (free: %s)"
                                 % (name, ", ".join(free)))
            try:
                low, high = pair
            except (TypeError, ValueError):
                raise ValueError("bounds[%r] must be a (low, high) pair, not %r" % (name, pair))
            pairs[name] = (-np.inf if low is None else float(low), np.inf if high is None else float(high))
    else:
        try:
            low, high = bounds
        except (TypeError, ValueError):
            raise ValueError("bounds must be {name: (low, high)} or a (lower, upper) pair of sequences over "
                             "the free parameters, not %r" % (bounds,))
        sides = []
        for side, what in ((low, "lower"), (high, "upper")):
            array = np.asarray(side, dtype=np.float64)
            if array.ndim > 1 or (array.ndim == 1 and array.size != len(free)):
                raise ValueError("the %s bounds have %d values; expected %d, one for each free parameter (%s), "
                                 "or use bounds={name: (low, high)}"
                                 % (what, array.size, len(free), ", ".join(free)))
            sides.append(np.broadcast_to(array, (len(free),)))
        for name, low, high in zip(free, sides[0], sides[1]):
            if np.isfinite(low) or np.isfinite(high) or low == high:
                pairs[name] = (float(low), float(high))
    for name, (low, high) in pairs.items():
        if math.isnan(low) or math.isnan(high) or low > high:
            raise ValueError("the bounds of %s are (%r, %r): every lower bound must be below its upper bound "
                             "(or equal to it, to fix the parameter there)" % (name, low, high))
    return pairs


def bound_arrays(bounds, free):
    """(lower, upper) arrays over the free parameters (see bound_pairs)."""
    lower = np.full(len(free), -np.inf)
    upper = np.full(len(free), np.inf)
    for name, (low, high) in bound_pairs(bounds, free).items():
        lower[free.index(name)] = low
        upper[free.index(name)] = high
    if np.any(lower >= upper):
        raise ValueError("every lower bound must be below its upper bound")
    return lower, upper


def is_integer(value):
    return isinstance(value, numbers.Integral) and not isinstance(value, bool)
