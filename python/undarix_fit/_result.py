"""FitResult: what a fit found, its uncertainties, and ways to look at it."""

import math
import warnings

import numpy as np

# The onset's linear standard error is not trusted when it spans more than
# this share of the gap between the sample phases at the onset: the
# chi-square jumps each time the onset crosses a sample's place, which the
# derivative does not see, and such jumps then bound the onset more tightly
# than the Gaussian's slope (bench_fit.py --only calibration: with the
# linear covariance the onset's error was five times its scatter, the
# amplitude's and width's two).
TRUSTED_SPACINGS = 0.5
# The profile is scanned outward from the best onset in steps of this share
# of the sample spacing, each step this much longer than the one before, up
# to this many steps each way.
PROFILE_STEP = 0.5
PROFILE_GROWTH = 1.25
PROFILE_STEPS = 40
# A rise past this many times the variance within one step of the profile is
# taken for the jump at a sample's place.
JUMP = 4.0


def phase_spacing(phases, onset):
    """The mean gap between the sorted sample phases (in hours of the cycle)
    among the eight nearest the onset."""
    if phases.size < 2:
        return math.inf
    where = int(np.searchsorted(phases, onset))
    near = phases[max(0, where - 4):where + 4]
    gaps = np.diff(near)
    return float(gaps.mean()) if gaps.size else math.inf


def profile_needed(stderr, spacing):
    """Whether the onset's linear standard error spans more than a fraction
    of the gap between the sample phases around it: then the chi-square's
    jumps at those places, not the Gaussian's slope, bound the onset."""
    return math.isfinite(spacing) and stderr > TRUSTED_SPACINGS * spacing


def profile_interval(chisqr, best, variance, spacing, base=None):
    """(low, high): where the profile chisqr(onset) (the other parameters
    fitted at each onset) rises by `variance` (one standard deviation's worth:
    the reduced chi-square, or 1 with absolute sigma) above its value at the
    best onset, found outward from it and placed between the steps by linear
    interpolation.  A side that does not rise that far within the scan is
    infinite.  `base`, if given, is chisqr(best), already known."""
    if base is None:
        base = chisqr(best)
    sides = []
    for direction in (-1.0, 1.0):
        step = PROFILE_STEP * spacing
        previous_at, previous_rise = best, 0.0
        edge = math.inf * direction
        for _ in range(PROFILE_STEPS):
            at = previous_at + direction * step
            rise = chisqr(at) - base
            if rise >= variance:
                share = (variance - previous_rise) / (rise - previous_rise) if rise > previous_rise else 1.0
                if rise > JUMP * variance:
                    # A jump (a sample's place crossed) somewhere in the step,
                    # not a slope to interpolate on: its middle.
                    share = 0.5
                edge = previous_at + direction * step * min(1.0, max(0.0, share))
                break
            if rise < 0.0:
                # A lower chi-square beside the best: the profile from here.
                base += rise
                rise = 0.0
            previous_at, previous_rise = at, rise
            step *= PROFILE_GROWTH
        sides.append(edge)
    return sides[0], sides[1]


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
    ndata, nfree : int
        The points used (NaNs left out) and the free parameters.
    aic, bic : float
        Akaike's and Bayes' information criteria, as lmfit defines them:
        ``ndata * log(chisqr / ndata) + 2 * nfree`` and with
        ``log(ndata) * nfree`` for ``2 * nfree``.
    init_params : dict
        The parameters the fit started from (the guess or ``p0``).
    best_fit : numpy.ndarray
        The fitted curve at every input time point.
    time_unit, time_origin
        For time stamps (datetime64, timedelta64), the unit the parameters
        are in and the stamp their time counts from; None for plain numbers.
    at_bounds : tuple of str
        The free parameters that ended on a bound: their standard errors do
        not describe them (a warning says so, and ``report()`` marks them).
    onset_interval : tuple of float or None
        For ``transient_impulse`` where the linear standard error of the
        onset (``period``) is not to be trusted (it is below two spacings of
        the sample phases, where the chi-square jumps as the onset crosses a
        sample), the profile-likelihood interval of the onset: where the
        chi-square, the other parameters fitted, rises by one standard
        deviation's worth.  ``stderr["period"]`` is then its half width, and
        ``report()`` says so.  None otherwise.
    notes : list of str
        What the fit noticed that the numbers alone do not say.
    """

    def __init__(self, waveform, params, stderr, covariance, residuals, chisqr, redchi, nfev,
                 success, message, free, time, data, best_fit=None, init_params=None, sigma=None,
                 axis=None, notes=None):
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
        self._best_fit = best_fit
        self.init_params = init_params
        self.sigma = sigma
        self._axis = axis
        self.time_unit = None if axis is None else axis.unit
        self.time_origin = None if axis is None else axis.origin
        self.notes = list(notes or ())
        self.ndata = int(np.count_nonzero(~np.isnan(residuals)))
        self.nfree = len(free)
        self.at_bounds = ()
        self.onset_interval = None
        self.linear_stderr = dict(stderr)
        with np.errstate(divide="ignore"):
            fit_term = self.ndata * math.log(chisqr / self.ndata) if chisqr > 0 else -math.inf
        self.aic = fit_term + 2.0 * self.nfree
        self.bic = fit_term + math.log(self.ndata) * self.nfree

    @property
    def best_fit(self):
        """The fitted curve at every input time point (made on first use)."""
        if callable(self._best_fit):
            self._best_fit = self._best_fit()
        return self._best_fit

    def flag_bounds(self, names):
        """Mark the parameters that ended on a bound, with a warning."""
        self.at_bounds = tuple(names)
        if self.at_bounds:
            note = ("%s ended at a bound: the standard error of a parameter on its bound does not describe "
                    "it (widen the bound, or fix the parameter there)" % ", ".join(self.at_bounds))
            self.notes.append(note)
            warnings.warn(note, UserWarning, stacklevel=4)

    def add_onset_profile(self, interval, spacing):
        """Report the onset by its profile-likelihood interval."""
        low, high = interval
        self.onset_interval = (float(low), float(high))
        name = "period"
        self.stderr[name] = 0.5 * (high - low)
        self.notes.append("the onset's linear standard error (%.3g) spans more than %g of the gap between the "
                          "sample phases (%.3g h) at the onset, where the chi-square jumps: its error is from "
                          "the profile likelihood instead, the interval [%.7g, %.7g], and the other "
                          "parameters' covariance is the one with the onset held"
                          % (self.linear_stderr[name], TRUSTED_SPACINGS, spacing, low, high))

    def __repr__(self):
        values = ", ".join("%s=%.6g" % item for item in self.params.items())
        return "<FitResult %s: %s, redchi=%.4g, success=%s>" % (self.name, values, self.redchi, self.success)

    def curve(self, time):
        """The fitted waveform at the given time points (anything the ufunc
        takes)."""
        if self._axis is not None:
            time = self._axis.numbers(time)
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
            "    AIC, BIC    = %.6g, %.6g" % (self.aic, self.bic),
            "[[Parameters]]",
            "    %-12s %14s %12s %9s" % ("name", "value", "std. error", "relative"),
        ]
        for name in self._waveform.names:
            value, error = self.params[name], self.stderr[name]
            if name not in self.free:
                lines.append("    %-12s %14.7g %12s %9s" % (name, value, "(fixed)", ""))
                continue
            relative = "%8.2f%%" % (100.0 * abs(error / value)) if value != 0 and np.isfinite(error) else "-"
            flag = ""
            if name in self.at_bounds:
                flag = " (at a bound)"
            elif self.onset_interval is not None and name == "period":
                flag = " (profile: [%.7g, %.7g])" % self.onset_interval
            lines.append("    %-12s %14.7g %12.4g %9s%s" % (name, value, error, relative, flag))
        strong = [(pair, value) for pair, value in self.correlations().items() if abs(value) >= min_correlation]
        if strong:
            lines.append("[[Correlations]] (|r| >= %g)" % min_correlation)
            for (first, second), value in sorted(strong, key=lambda item: -abs(item[1])):
                lines.append("    %-26s %+.3f" % ("%s, %s" % (first, second), value))
        if self.time_unit is not None:
            lines.insert(1, "    time        = in %s from %s" % (self.time_unit, self.time_origin))
        if self.notes:
            lines.append("[[Notes]]")
            lines.extend("    " + note for note in self.notes)
        return "\n".join(lines)

    def plot(self, ax=None, points=2000):
        """Data (with error bars when sigma was given) and fitted curve, and
        the residuals in a panel below (matplotlib).  With `ax`, data and
        curve are drawn on those axes only, and they are returned; else a new
        figure of two panels is returned."""
        try:
            import matplotlib.pyplot as plt
        except ImportError:
            raise ImportError("FitResult.plot needs matplotlib: pip install matplotlib")
        if ax is None:
            figure, (top, bottom) = plt.subplots(2, 1, sharex=True, gridspec_kw={"height_ratios": [3, 1]})
        else:
            figure, top, bottom = None, ax, None
        kept = ~np.isnan(self.data)
        if self.sigma is None:
            top.plot(self.time[kept], self.data[kept], ".", markersize=3, color="0.5", label="data")
        else:
            top.errorbar(self.time[kept], self.data[kept], yerr=self.sigma[kept], fmt=".", markersize=3,
                         color="0.5", elinewidth=0.6, label="data")
        dense = np.linspace(self.time[0], self.time[-1], max(points, self.time.size))
        top.plot(dense, self._waveform.value(dense, [self.params[name] for name in self._waveform.names]), "-",
                 linewidth=1.2, label="fit")
        top.set_ylabel("value")
        top.legend(loc="best")
        top.set_title("fit of %s" % self.name)
        unit = "time" if self.time_unit is None else "time (%s from %s)" % (self.time_unit, self.time_origin)
        if bottom is None:
            top.set_xlabel(unit)
            return top
        bottom.axhline(0.0, color="0.7", linewidth=0.8)
        bottom.plot(self.time[kept], self.residuals[kept], ".", markersize=2)
        bottom.set_ylabel("residual")
        bottom.set_xlabel(unit)
        figure.tight_layout()
        return figure
