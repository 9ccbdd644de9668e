"""The frame a fit works in: time measured from a reference and in a power of
two of the user's unit, data in a power of two of theirs.

The waveforms take absolute time: the damped ones through exp(gamma*t) and
(t + phi)*omega.  Far from t = 0 (Unix seconds, say) the envelope over- or
underflows and the phase is a difference of large numbers, and a time span
of 1e-300 or data of 1e200 square past the largest float.  In the frame, with
u = (t - reference)/time_scale and data/data_scale,

    A e^(gamma t) f((t + phi) omega) + y
        = A_u e^(gamma_u u) f((u + phi_u) omega_u) + y_u     (times data_scale)

with gamma_u = gamma*time_scale, omega_u = omega*time_scale,
phi_u = (phi + reference)/time_scale, A_u = A e^(gamma reference)/data_scale,
y_u = y/data_scale (and a trend slope s_u = s*time_scale/data_scale, whose
offset s*reference moves into y).  The scales are powers of two, so only the
shift by the reference rounds.  transient_impulse keeps its time (its cycle is
fmod(t, 2 pi)) and only its data are scaled."""

import math

import numpy as np

from ._waveforms import DAMPED

# Time is shifted only when its origin lies this many spans outside the
# window: then exp(gamma*t) and phi, taken at absolute time, lose the
# digits a fit needs.  Nearer, the fit runs on the user's own numbers.
FAR = 4.0
# Spans and data magnitudes outside these powers of two are rescaled: their
# squares (and those of the derivatives) would leave the float range.
TIME_RANGE = (-40, 40)
DATA_RANGE = (-300, 300)
SLOPE = "trend_slope"


def power_of_two(value):
    return math.ldexp(1.0, int(round(math.log2(value))))


class Frame(object):
    def __init__(self, names, reference=0.0, time_scale=1.0, data_scale=1.0):
        self.names = names
        self.damped = tuple(names[:5]) == DAMPED
        self.reference = float(reference)
        self.time_scale = float(time_scale)
        self.data_scale = float(data_scale)
        self.offset_name = names[4] if self.damped else "equilibrium"
        self.trend = SLOPE in names

    @property
    def identity(self):
        return self.reference == 0.0 and self.time_scale == 1.0 and self.data_scale == 1.0

    def inward(self, values):
        """The user's parameters (a dict, some of the names) in the frame.
        The amplitude needs gamma, and y needs the slope, when the time is
        shifted: chosen() keeps the shift off when they are missing."""
        ts, c, ref = self.time_scale, self.data_scale, self.reference
        out = dict(values)
        if "amplitude" in values:
            try:
                growth = math.exp(values["gamma"] * ref) if self.damped and ref else 1.0
            except OverflowError:
                raise ValueError("the amplitude at time 0 with gamma=%r is beyond the float range at this "
                                 "data's times (near %r): pass time relative to a nearby origin, e.g. "
                                 "time - time[0]" % (values["gamma"], ref))
            out["amplitude"] = values["amplitude"] * growth / c
        if self.offset_name in values:
            slope = values.get(SLOPE, 0.0) if ref else 0.0
            out[self.offset_name] = (values[self.offset_name] + slope * ref) / c
        if SLOPE in values:
            out[SLOPE] = values[SLOPE] * ts / c
        if self.damped:
            for name in ("gamma", "omega"):
                if name in values:
                    out[name] = values[name] * ts
            if "phi" in values:
                out["phi"] = (values["phi"] + ref) / ts
        return out

    def outward(self, vector):
        """(the user's parameters, d user / d frame) for a full parameter
        vector of the frame."""
        ts, c, ref = self.time_scale, self.data_scale, self.reference
        index = {name: i for i, name in enumerate(self.names)}
        x = np.array(vector, dtype=np.float64)
        out = x.copy()
        jac = np.eye(x.size)
        if self.damped:
            a, g, w, p, y = (index[name] for name in DAMPED)
            gamma = x[g] / ts
            out[g], out[w] = gamma, x[w] / ts
            jac[g, g] = jac[w, w] = 1.0 / ts
            out[p] = x[p] * ts - ref
            jac[p, p] = ts
            try:
                decay = math.exp(-gamma * ref) if ref else 1.0
            except OverflowError:
                decay = math.inf
            out[a] = x[a] * c * decay
            jac[a, a] = c * decay
            jac[a, g] = -x[a] * c * decay * ref / ts
        else:
            a, y = index["amplitude"], index["equilibrium"]
            out[a] = x[a] * c
            jac[a, a] = c
        out[y] = x[y] * c
        jac[y, y] = c
        if self.trend:
            s = index[SLOPE]
            out[s] = x[s] * c / ts
            jac[s, s] = c / ts
            if ref:
                out[y] -= out[s] * ref
                jac[y, s] = -ref * c / ts
        return out, jac

    def inward_all(self, values):
        """inward(), for values of the user's units given by name."""
        return self.inward(values) if not self.identity else dict(values)


    def outward_dict(self, values):
        """A full parameter dict of the frame in the user's units."""
        if self.identity:
            return dict(values)
        out = self.outward([values[name] for name in self.names])[0]
        return dict(zip(self.names, out.tolist()))


    def inward_bounds(self, pairs, free, fixed_values):
        """(lower, upper) arrays over the free parameters in the frame, from the
        user's {name: (low, high)}.  Every map inward() makes of one parameter
        is increasing, so the sides stay as they are."""
        lower = np.full(len(free), -np.inf)
        upper = np.full(len(free), np.inf)
        for name, (low, high) in pairs.items():
            index = free.index(name)
            for array, value in ((lower, low), (upper, high)):
                if math.isinf(value):
                    array[index] = value
                else:
                    array[index] = self.inward_all(dict(fixed_values, **{name: value}))[name]
        return lower, upper


def chosen_frame(names, samples, fixed_values, bounds, p0_given, has_sigma):
    """The frame for these points: the identity unless the time lies far from
    its origin, spans a range whose squares leave the float range, or the data
    are that large or small."""
    time = samples.time
    span = float(time[-1] - time[0])
    damped = tuple(names[:5]) == DAMPED
    reference, time_scale, data_scale = 0.0, 1.0, 1.0
    if damped:
        exponent = math.log2(span)
        if not TIME_RANGE[0] <= exponent <= TIME_RANGE[1]:
            time_scale = power_of_two(span)
        middle = 0.5 * (float(time[0]) + float(time[-1]))
        # The shift needs gamma to turn an amplitude inwards, and the slope to
        # turn an offset: a fixed or bounded amplitude (or offset) without
        # them stays in absolute time.
        limited = set(fixed_values) | set(bounds or ())
        blocked = ("amplitude" in limited and "gamma" not in fixed_values) or \
                  (SLOPE in names and names[4] in limited and SLOPE not in fixed_values)
        if abs(middle) > FAR * span and not blocked:
            # A coarse reference (the middle to the span's power of two) is
            # the same for neighbouring windows and makes t - reference exact
            # for most t.
            step = power_of_two(span)
            reference = math.floor(middle / step) * step
    if not has_sigma:
        largest = float(np.max(np.abs(samples.data)))
        if largest > 0.0 and not DATA_RANGE[0] <= math.log2(largest) <= DATA_RANGE[1]:
            data_scale = power_of_two(largest)
    return Frame(names, reference, time_scale, data_scale)
