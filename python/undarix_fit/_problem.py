"""The weighted residuals and their Jacobian over the free parameters, as the
solvers call them: once per iteration, so everything that does not depend on
the parameters is settled when the problem is made."""

import numpy as np


class Problem(object):
    """model - data, divided by sigma where there are weights, and its
    derivatives by the free parameters, with the fixed parameters held at their
    values.

    The Jacobian is laid out one row per free parameter (``(free, points)``,
    C order), so that each row is a contiguous output of the Jacobian ufunc and
    its normal matrix is one product of the block with its transpose.  Every
    call returns new arrays: the solvers keep the residuals of the last
    accepted step while they try the next, and "trf" scales its arrays in
    place for robust losses."""

    def __init__(self, waveform, samples, start, free):
        names = waveform.names
        self.free = tuple(free)
        columns = [names.index(name) for name in self.free]
        self.full = np.array([start[name] for name in names], dtype=np.float64)
        self.columns = np.array(columns, dtype=np.intp)
        self.column_list = columns
        self.all_free = len(columns) == len(names)
        self.fixed_values = self.full.tolist()
        # The fixed parameters' derivatives still come out of the ufunc: they
        # go to rows of their own after the free ones (outputs that share
        # memory would make NumPy copy them at every call).
        self.order = columns + [index for index in range(len(names)) if index not in columns]
        self.time = samples.time
        self.data = samples.data
        self.weights = samples.weights
        self.extra = waveform.extra
        self.value_ufunc = waveform.value_ufunc
        self.jacobian_ufunc = waveform.jacobian_ufunc

    def start(self):
        """The free parameters' starting values."""
        return self.full[self.columns]

    def parameters(self, x):
        """Every parameter in the waveform's order, the free ones from x."""
        full = self.full.copy()
        full[self.columns] = x
        return full

    def arguments(self, x):
        """The ufunc's inputs after time, as Python floats (the cheapest
        scalars for a ufunc to take)."""
        if self.all_free:
            return tuple(x.tolist()) + self.extra
        values = list(self.fixed_values)
        for index, value in zip(self.column_list, x.tolist()):
            values[index] = value
        return tuple(values) + self.extra

    def jacobian_arrays(self):
        block = np.empty((self.full.size, self.time.size))
        outputs = [None] * self.full.size
        for row, index in enumerate(self.order):
            outputs[index] = block[row]
        return block, tuple(outputs)

    def residuals(self, x):
        difference = self.value_ufunc(self.time, *self.arguments(x))
        np.subtract(difference, self.data, out=difference)
        if self.weights is not None:
            np.multiply(difference, self.weights, out=difference)
        return difference

    def unweighted_residuals(self, x):
        """model - data at the free parameters x, in a new array."""
        return self.value_ufunc(self.time, *self.arguments(x)) - self.data

    def jacobian_rows(self, x):
        """The weighted Jacobian, one row per free parameter."""
        block, outputs = self.jacobian_arrays()
        self.jacobian_ufunc(self.time, *self.arguments(x), out=outputs)
        rows = block[:self.columns.size]
        if self.weights is not None:
            np.multiply(rows, self.weights, out=rows)
        return rows

    def jacobian(self, x):
        """The weighted Jacobian, one column per free parameter (a transposed
        view of the rows), as ``least_squares`` wants it."""
        return self.jacobian_rows(x).T
