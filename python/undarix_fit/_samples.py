"""Turning the user's time and data (arrays, lists, pandas Series, xarray
DataArrays) into the float64 points a fit works on, with clear errors for data
no fit can use."""

import math

import numpy as np

# Fewer points than this leave no spectrum to read a frequency from: the
# guess needs them, a fit from a given p0 only one more than its free
# parameters.
MIN_POINTS = 8


def as_float_vector(values, what):
    array = np.asarray(values)
    if array.dtype.kind == "c":
        raise TypeError("%s is complex: fit the real and imaginary parts separately (numpy.real(%s), "
                        "numpy.imag(%s)), or their magnitude (numpy.abs(%s))" % (what, what, what, what))
    if array.dtype.kind in "mM":
        raise TypeError("%s holds %s values; convert them to numbers first" % (what, array.dtype))
    try:
        array = np.asarray(array, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise ValueError("%s must be real numbers: %s" % (what, error))
    if array.ndim != 1:
        raise ValueError("%s must be one-dimensional, not of shape %s" % (what, array.shape))
    return array


def naive_datetimes(time):
    """pandas' time-zone-aware stamps as naive UTC datetime64, anything else as
    it is."""
    if getattr(getattr(time, "dtype", None), "tz", None) is None:
        return time
    if hasattr(time, "dt"):
        return time.dt.tz_convert(None)
    return time.tz_convert(None)


# Names of NumPy's time units that people write ("min" for NumPy's "m").
UNIT_ALIASES = {"min": "m", "sec": "s", "hour": "h", "day": "D"}


class TimeAxis(object):
    """Time as the float64 numbers the waveforms take, and how they were made
    from the user's time: `origin` (a datetime64 or timedelta64, None for
    plain numbers) and `unit` (numpy's unit code, "s", "h", ...; None for plain
    numbers).  A number t stands for origin + t units."""

    def __init__(self, time, unit=None):
        time = naive_datetimes(time)
        stamps = np.asarray(time)
        self.origin = None
        self.unit = None
        if stamps.dtype.kind not in "mM":
            if unit is not None:
                raise ValueError("time_unit=%r is for datetime64 or timedelta64 time; this time is plain "
                                 "numbers (of dtype %s): leave time_unit out" % (unit, stamps.dtype))
            self.values = as_float_vector(time, "time")
            return
        kind = "datetime64" if stamps.dtype.kind == "M" else "timedelta64"
        if unit is None:
            start = "t[0]" if kind == "datetime64" else "np.timedelta64(0, 's')"
            raise TypeError(
                "time is %s (dtype %s), which has no unit a waveform's parameters could be in: say the unit "
                "with time_unit=\"s\" (or \"ms\", \"us\", \"min\", \"h\", \"D\"; omega is then in radians per that unit "
                "%s), or convert it yourself, for example (t - %s) / np.timedelta64(1, \"s\")"
                % (kind, stamps.dtype,
                   "and time counts from the first time stamp" if kind == "datetime64" else "", start))
        unit = UNIT_ALIASES.get(unit, unit)
        try:
            step = np.timedelta64(1, unit)
        except (TypeError, ValueError):
            raise ValueError("time_unit must be a NumPy time unit such as \"s\", \"ms\", \"min\", \"h\" or \"D\", "
                             "not %r" % (unit,))
        if stamps.ndim != 1:
            raise ValueError("time must be one-dimensional, not of shape %s" % (stamps.shape,))
        if np.isnat(stamps).any():
            raise ValueError("time holds NaT (not-a-time) stamps: drop those points first")
        if stamps.size == 0:
            raise ValueError("too few points: 0")
        self.unit = unit
        self.origin = stamps[0] if kind == "datetime64" else np.timedelta64(0, "ns")
        # Differences of the stamps in their own resolution are exact
        # integers; only the division into the unit rounds.
        self.values = np.asarray((stamps - self.origin) / step, dtype=np.float64)

    def stamps(self, values):
        """The time stamps of `values` (numbers of this axis), or the values
        themselves for plain-number time."""
        if self.unit is None:
            return values
        resolution = np.timedelta64(1, "ns")
        offsets = np.rint(np.asarray(values, dtype=np.float64) * (np.timedelta64(1, self.unit) / resolution))
        return self.origin + offsets.astype(np.int64) * resolution

    def numbers(self, time):
        """Time given as this axis was (stamps or numbers) as its numbers."""
        if self.unit is None:
            return time
        stamps = np.asarray(naive_datetimes(time))
        if stamps.dtype.kind not in "mM":
            return stamps   # numbers already
        return np.asarray((stamps - self.origin) / np.timedelta64(1, self.unit), dtype=np.float64)


class Samples(object):
    """The measured points a fit uses: `time` and `data` where `data` is not NaN,
    and `kept`, which of the input points they are (None when all are).
    `weights` is 1/sigma at the kept points (None without sigma); `all_time`
    and `all_data` are the input points as float64 arrays.  Time is the
    numbers of `axis` (a TimeAxis, or made from `time`)."""

    def __init__(self, time, data, sigma=None, needed=MIN_POINTS, axis=None):
        if axis is None:
            axis = TimeAxis(time)
        self.axis = axis
        time = axis.values
        data = as_float_vector(data, "data")
        if time.size != data.size:
            raise ValueError("time and data differ in length: %d time points, %d data points"
                             % (time.size, data.size))
        # Non-decreasing (which a NaN anywhere breaks) with finite ends is
        # finite throughout.  Repeated time stamps are fine for least squares.
        if time.size and not ((time[1:] >= time[:-1]).all() and math.isfinite(time[0]) and math.isfinite(time[-1])):
            if not np.isfinite(time).all():
                raise ValueError("time must be finite (no NaN or infinity)")
            raise ValueError("time must not decrease (it need not be strictly increasing: repeated stamps are "
                             "fine): sort the points by time first "
                             "(order = numpy.argsort(time, kind=\"stable\"); time[order], data[order])")
        if np.isfinite(data).all():
            kept = None
            count = data.size
        else:
            if np.any(np.isinf(data)):
                raise ValueError("data holds infinite values")
            kept = ~np.isnan(data)
            count = int(np.count_nonzero(kept))
            if not count:
                raise ValueError("data is all NaN")
        if count < needed:
            raise ValueError("too few points: %d that are not NaN, at least %d are needed%s"
                             % (count, needed, " (with p0 given, one more than the free parameters)"
                                if needed < MIN_POINTS else ""))
        self.size = time.size
        self.all_time = time
        self.all_data = data
        self.kept = kept
        if kept is None:
            self.time = np.ascontiguousarray(time)
            self.data = np.ascontiguousarray(data)
        else:
            self.time = np.ascontiguousarray(time[kept])
            self.data = np.ascontiguousarray(data[kept])
        if not self.time[-1] > self.time[0]:
            raise ValueError("every time stamp that is used is the same (%r): the points span no time" % self.time[0])
        self.sigma = None
        self.weights = None
        if sigma is not None:
            if np.iscomplexobj(sigma):
                raise TypeError("sigma is complex: it must be real, positive standard deviations")
            sigma = np.asarray(sigma, dtype=np.float64)
            if sigma.ndim == 0:
                sigma = np.full(self.size, float(sigma))
            if sigma.shape != (self.size,):
                raise ValueError("sigma must be a number or an array of data's length (%d), not of shape %s"
                                 % (self.size, sigma.shape))
            self.sigma = sigma
            if kept is not None:
                sigma = sigma[kept]
            if not np.all(np.isfinite(sigma) & (sigma > 0)):
                raise ValueError("sigma must be positive and finite at every point that is not NaN")
            self.weights = 1.0 / sigma

    def rescaled(self, reference, time_scale, data_scale):
        """These points on the time (t - reference) / time_scale and with data
        and sigma divided by data_scale (powers of two for the scales, so that
        only the shift rounds)."""
        copy = object.__new__(Samples)
        copy.__dict__.update(self.__dict__)
        copy.time = (self.time - reference) / time_scale
        copy.data = self.data / data_scale
        if self.weights is not None:
            copy.weights = self.weights * data_scale
        return copy

    def spread_back(self, values):
        """`values` at the kept points, placed at the input points, NaN
        elsewhere: `values` itself when every point was kept."""
        if self.kept is None:
            return values
        full = np.full(self.size, np.nan)
        full[self.kept] = values
        return full
