"""FitResult: what a fit found, its uncertainties, and ways to look at it."""

import numpy as np


class FitResult(object):
    """The outcome of :func:`undarix_fit.fit`.

    Attributes
    ----------
    name : str
        The waveform.
    params : dict
        The fitted value of every parameter, by the ufunc's parameter names
        (fixed parameters at their fixed values).
    stderr : dict
        The standard error of every parameter (0.0 for fixed ones; infinite
        when the covariance cannot be estimated).
    covariance : numpy.ndarray
        The covariance matrix of all parameters in parameter order; the rows and
        columns of fixed parameters are zero.
    residuals : numpy.ndarray
        ``data - model`` at every input point (NaN where ``data`` was NaN), in
        the data's units, unweighted.
    chisqr : float
        Sum of the squared weighted residuals ``((data - model) / sigma)**2``
        over the points used (sigma = 1 without weights).
    redchi : float
        ``chisqr / (points used - free parameters)``.
    nfev : int
        Model evaluations made by the least-squares solver (Jacobian evaluations
        not counted).
    success : bool
        Whether the solver met a convergence criterion (for the
        Levenberg-Marquardt loop, MINPACK's info 1 to 4) and the covariance
        is finite.
    message : str
        The solver's account of why it stopped (MINPACK's words, as
        ``leastsq`` gives them, or
        ``least_squares``' ``message``), with a note when the covariance
        could not be estimated.
    free : tuple of str
        The parameters that were fitted.
    num_harmonics : int or None
        The integer input of ``fourier_square_wave``.
    """

    def __init__(self, waveform, params, stderr, covariance, residuals, chisqr, redchi, nfev,
                 success, message, free, time, data):
        self._waveform = waveform
        self.name = waveform.name
        self.num_harmonics = waveform.num_harmonics
        self.params = params
        self.stderr = stderr
        self.covariance = covariance
        self.residuals = residuals
        self.chisqr = chisqr
        self.redchi = redchi
        self.nfev = nfev
        self.success = success
        self.message = message
        self.free = free
        self.time = time
        self.data = data

    def __repr__(self):
        values = ", ".join("%s=%.6g" % item for item in self.params.items())
        return "<FitResult %s: %s, redchi=%.4g, success=%s>" % (self.name, values, self.redchi, self.success)

    def curve(self, time):
        """The fitted waveform at the given time points (anything the ufunc
        takes)."""
        return self._waveform.value(time, [self.params[name] for name in self._waveform.names])

    def correlations(self):
        """The correlation matrix of the free parameters, as a dict keyed by
        parameter-name pairs."""
        pairs = {}
        index = {name: i for i, name in enumerate(self._waveform.names)}
        for a, first in enumerate(self.free):
            for second in self.free[a + 1:]:
                i, j = index[first], index[second]
                scale = np.sqrt(self.covariance[i, i] * self.covariance[j, j])
                pairs[(first, second)] = float(self.covariance[i, j] / scale) if scale > 0 else float("nan")
        return pairs

    def report(self, min_correlation=0.5):
        """A readable text table: the fit's statistics, each parameter with its
        standard error, and the correlations of free parameters whose magnitude
        is at least `min_correlation`."""
        used = int(np.count_nonzero(~np.isnan(self.residuals)))
        title = self.name if self.num_harmonics is None else "%s, num_harmonics=%d" % (self.name, self.num_harmonics)
        lines = [
            "[[Fit of %s]]" % title,
            "    points      = %d (of %d; NaN left out)" % (used, self.residuals.size),
            "    free        = %d (%s)" % (len(self.free), ", ".join(self.free)),
            "    evaluations = %d" % self.nfev,
            "    chi-square  = %.6g" % self.chisqr,
            "    reduced     = %.6g" % self.redchi,
            "    success     = %s: %s" % (self.success, self.message),
            "[[Parameters]]",
            "    %-12s %14s %12s %9s" % ("name", "value", "std. error", "relative"),
        ]
        for name in self._waveform.names:
            value, error = self.params[name], self.stderr[name]
            if name not in self.free:
                lines.append("    %-12s %14.7g %12s %9s" % (name, value, "(fixed)", ""))
                continue
            relative = "%8.2f%%" % (100.0 * abs(error / value)) if value != 0 and np.isfinite(error) else "-"
            lines.append("    %-12s %14.7g %12.4g %9s" % (name, value, error, relative))
        strong = [(pair, value) for pair, value in self.correlations().items() if abs(value) >= min_correlation]
        if strong:
            lines.append("[[Correlations]] (|r| >= %g)" % min_correlation)
            for (first, second), value in sorted(strong, key=lambda item: -abs(item[1])):
                lines.append("    %-26s %+.3f" % ("%s, %s" % (first, second), value))
        return "\n".join(lines)

    def plot(self, points=2000):
        """Data, fitted curve and residuals in two panels (matplotlib); returns
        the figure."""
        try:
            import matplotlib.pyplot as plt
        except ImportError:
            raise ImportError("FitResult.plot needs matplotlib: pip install matplotlib")
        figure, (top, bottom) = plt.subplots(2, 1, sharex=True, gridspec_kw={"height_ratios": [3, 1]})
        kept = ~np.isnan(self.data)
        top.plot(self.time[kept], self.data[kept], ".", markersize=3, color="0.5", label="data")
        dense = np.linspace(self.time[0], self.time[-1], max(points, self.time.size))
        top.plot(dense, self.curve(dense), "-", linewidth=1.2, label="fit")
        top.set_ylabel("value")
        top.legend(loc="best")
        top.set_title("fit of %s" % self.name)
        bottom.axhline(0.0, color="0.7", linewidth=0.8)
        bottom.plot(self.time[kept], self.residuals[kept], ".", markersize=2)
        bottom.set_ylabel("residual")
        bottom.set_xlabel("time")
        figure.tight_layout()
        return figure
