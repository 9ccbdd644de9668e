"""Turning the user's time and data (arrays, lists, pandas Series, xarray
DataArrays) into the float64 points a fit works on, with clear errors for data
no fit can use."""

import math

import numpy as np

# Fewer points than this leave no spectrum to read a frequency from.
MIN_POINTS = 8


def as_float_vector(values, what):
    try:
        array = np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise ValueError("%s must be real numbers: %s" % (what, error))
    if array.ndim != 1:
        raise ValueError("%s must be one-dimensional, not of shape %s" % (what, array.shape))
    return array


class Samples(object):
    """The measured points a fit uses: `time` and `data` where `data` is not NaN,
    and `kept`, which of the input points they are (None when all are).
    `weights` is 1/sigma at the kept points (None without sigma); `all_time`
    and `all_data` are the input points as float64 arrays."""

    def __init__(self, time, data, sigma=None, needed=1):
        time = as_float_vector(time, "time")
        data = as_float_vector(data, "data")
        if time.size != data.size:
            raise ValueError("time and data differ in length: %d time points, %d data points"
                             % (time.size, data.size))
        # Strictly increasing (which a NaN anywhere breaks) with finite ends is
        # finite throughout.
        if time.size and not ((time[1:] > time[:-1]).all() and math.isfinite(time[0]) and math.isfinite(time[-1])):
            if not np.isfinite(time).all():
                raise ValueError("time must be finite (no NaN or infinity)")
            raise ValueError("time must be strictly increasing (sort the points by time first)")
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
        needed = max(MIN_POINTS, needed)
        if count < needed:
            raise ValueError("too few points: %d that are not NaN, at least %d are needed" % (count, needed))
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
        self.weights = None
        if sigma is not None:
            sigma = np.asarray(sigma, dtype=np.float64)
            if sigma.ndim == 0:
                sigma = np.full(self.size, float(sigma))
            if sigma.shape != (self.size,):
                raise ValueError("sigma must be a number or an array of data's length (%d), not of shape %s"
                                 % (self.size, sigma.shape))
            if kept is not None:
                sigma = sigma[kept]
            if not np.all(np.isfinite(sigma) & (sigma > 0)):
                raise ValueError("sigma must be positive and finite at every point that is not NaN")
            self.weights = 1.0 / sigma

    def spread_back(self, values):
        """`values` at the kept points, placed at the input points, NaN
        elsewhere: `values` itself when every point was kept."""
        if self.kept is None:
            return values
        full = np.full(self.size, np.nan)
        full[self.kept] = values
        return full
