"""A waveform plus a linear trend, slope*t: the same face as a Waveform to
the fitting code, one parameter more ("trend_slope", after the waveform's
own).  The trend's constant is the waveform's own offset (y or equilibrium),
which a second constant would only duplicate."""

import numpy as np

from ._frame import SLOPE


class TrendWaveform(object):
    def __init__(self, base):
        self.base = base
        self.name = base.name
        self.num_harmonics = base.num_harmonics
        self.family = base.family
        self.names = tuple(base.names) + (SLOPE,)
        self.extra = base.extra
        count = len(base.names)

        def value_ufunc(time, *arguments):
            values = base.value_ufunc(time, *(arguments[:count] + arguments[count + 1:]))
            values += arguments[count] * time
            return values

        def jacobian_ufunc(time, *arguments, **keywords):
            out = keywords.get("out")
            inputs = arguments[:count] + arguments[count + 1:]
            if out is None:
                rows = list(base.jacobian_ufunc(time, *inputs))
                rows.append(np.array(time, dtype=np.float64, copy=True))
                return tuple(rows)
            base.jacobian_ufunc(time, *inputs, out=tuple(out[:count]))
            out[count][...] = time   # the exact derivative by the slope
            return out

        self.value_ufunc = value_ufunc
        self.jacobian_ufunc = jacobian_ufunc

    def value(self, time, parameters):
        return self.value_ufunc(time, *(tuple(parameters) + self.extra))
