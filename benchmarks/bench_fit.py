"""Fitting benchmark: convergence, speed and throughput of undarix_fit.

    python benchmarks/bench_fit.py               # the full suite (scripts/bench runs it)
    python benchmarks/bench_fit.py --quick       # a few cases of each part, seconds
    python benchmarks/bench_fit.py --only speed  # one part (convergence, speed, throughput)

A synthetic suite with a fixed seed: for each waveform, random parameters over
wide ranges (3 to 40 periods in the window, damping down to e^-2.5 over the
window and slight growth, amplitude of either sign, noise 5 % of |amplitude|,
400 to 2000 points, half of the cases on sorted random times; for
transient_impulse 3 to 15 turns, onset 2 to 18 h, width 0.15 to 1.2).  A fit
succeeds when its noise-free curve is within 0.3 sigma (RMS) of the true
noise-free curve at the sample points.

1. Convergence: undarix_fit.fit from its own guess; curve_fit from p0 = ones
   (finite differences); for the damped cosine, lmfit's composite
   SineModel * ExponentialModel + ConstantModel started from the components'
   guess().  Convergence rates do not depend on the machine's load.
2. Speed: on the same starting points (undarix_fit.guess), the wall time of
   undarix_fit.fit(p0=start) over that of curve_fit(p0=start) with finite
   differences, summed over the cases; repeated, median and range.  fit runs
   its own Levenberg-Marquardt loop with the Jacobian ufuncs, curve_fit
   MINPACK's lmdif, so the ratio is that of the evaluations and of the code
   around them.  Take it on an idle machine: other processes competing for
   the cores stretch both times unevenly.
3. Throughput: fit_many of 1000 signals x 1000 points serially, on two
   processes and on two threads (which pay on a free-threaded CPython), each
   checked against the serial fit bit for bit.
4. Guess scaling (--only guess): the wall time (median of the repeats) and the
   peak of memory allocated through Python's allocators (tracemalloc, which
   NumPy's arrays report to) of undarix_fit.guess for harmonic_oscillator on
   uniform and on sorted random times, 1,000 to 10^6 points.
5. Whole fit (--only whole): fit() with its own guess over curve_fit (finite
   differences) from that guess, and fit(p0=guess) over the same curve_fit,
   per case; the median over the cases and its range over the repeats.
6. False successes (--only wide): a widened random suite (40 to 6,000 points,
   1 to 20 % noise, uniform, irregular and gappy times, 1.5 to 60 periods or
   turns, time origins away from 0).  Each fit's chi-square is compared with
   the best of least_squares with the exact Jacobian from the truth and from
   20 random starts: a success that ends above 1.01 times that best is a false
   success.  --wide-cases sets the cases per waveform.
7. Error bars (--only calibration): the mean reported stderr over the scatter of the estimates, and
   the coverage of +-1 stderr, over 200 noisy copies of one signal per
   waveform, and with robust losses and 3 % outliers.  Machine-free.
"""

import argparse
import math
import sys
import time as clock
import tracemalloc
import warnings

import numpy as np
from scipy.optimize import OptimizeWarning, curve_fit, least_squares

import undarix_fit
import undarix_ufuncs

NAMES = ("harmonic_oscillator", "pseudo_square_wave", "fourier_square_wave", "pseudo_cycloid_wave",
         "transient_impulse")
TOLERANCE = 0.3     # RMS distance of the noise-free curves, in units of the noise's sigma
NOISE = 0.05        # of |amplitude|
SEED = 20261208


class Case(object):
    """One synthetic signal: its time points, noisy data, true parameters and the
    extra ufunc input (num_harmonics) where there is one."""

    def __init__(self, name, time, truth, extra, rng):
        self.name = name
        self.time = time
        self.truth = truth
        self.extra = extra
        self.clean = self.evaluate(truth)
        self.sigma = NOISE * abs(truth[0])
        self.data = self.clean + rng.normal(0.0, self.sigma, time.size)

    def evaluate(self, parameters, time=None):
        return getattr(undarix_ufuncs, self.name)(self.time if time is None else time,
                                                  *(tuple(parameters) + self.extra))

    def converged(self, parameters):
        if parameters is None or not np.all(np.isfinite(parameters)):
            return False
        with np.errstate(all="ignore"):
            distance = self.evaluate(parameters) - self.clean
            rms = math.sqrt(float(np.mean(distance ** 2)))
        return rms <= TOLERANCE * self.sigma

    @property
    def options(self):
        return dict(num_harmonics=self.extra[0]) if self.extra else {}


def make_case(name, rng):
    points = int(rng.integers(400, 2001))
    uniform = rng.random() < 0.5
    amplitude = rng.choice((-1.0, 1.0)) * 10.0 ** rng.uniform(-1.0, 1.0)
    offset = rng.uniform(-2.0, 2.0) * abs(amplitude)
    if name == "transient_impulse":
        span = 2.0 * np.pi * rng.uniform(3.0, 15.0)
        truth = (amplitude, rng.uniform(2.0, 18.0), rng.uniform(0.15, 1.2), offset)
        extra = ()
    else:
        span = rng.uniform(5.0, 50.0)
        omega = 2.0 * np.pi * rng.uniform(3.0, 40.0) / span
        gamma = rng.uniform(-2.5, 0.3) / span
        phi = rng.uniform(-np.pi, np.pi) / omega
        truth = (amplitude, gamma, omega, phi, offset)
        extra = (int(rng.integers(1, 6)),) if name == "fourier_square_wave" else ()
    if uniform:
        time = np.linspace(0.0, span, points)
    else:
        time = np.sort(rng.uniform(0.0, span, points))
    return Case(name, time, truth, extra, rng)


def suite(count, seed=SEED):
    rng = np.random.default_rng(seed)
    return {name: [make_case(name, rng) for _ in range(count)] for name in NAMES}


def undarix_fit_parameters(case, p0=None):
    try:
        result = undarix_fit.fit(case.name, case.time, case.data, p0=p0, **case.options)
    except (ValueError, np.linalg.LinAlgError):
        return None
    return [result.params[name] for name in undarix_fit.PARAMETERS[case.name]]


def curve_fit_parameters(case, p0):
    model = getattr(undarix_ufuncs, case.name)
    if case.extra:
        function = lambda t, *p: model(t, *(p + case.extra))  # noqa: E731
    else:
        function = lambda t, *p: model(t, *p)  # noqa: E731
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OptimizeWarning)
        warnings.simplefilter("ignore", RuntimeWarning)
        try:
            return curve_fit(function, case.time, case.data, p0=p0)[0]
        except (RuntimeError, ValueError):
            return None


def lmfit_composite_parameters(case):
    """lmfit's own damped cosine: SineModel * ExponentialModel + ConstantModel,
    from the components' guess(); the exponential's amplitude is held at 1 (the
    sine's amplitude is the scale).  Returns the undarix parameters of the fit."""
    import lmfit
    sine = lmfit.models.SineModel(prefix="sine_")
    decay = lmfit.models.ExponentialModel(prefix="decay_")
    constant = lmfit.models.ConstantModel(prefix="offset_")
    model = sine * decay + constant
    parameters = sine.guess(case.data, x=case.time)
    parameters.update(decay.guess(case.data, x=case.time))
    parameters.update(constant.guess(case.data, x=case.time))
    parameters["decay_amplitude"].set(value=1.0, vary=False)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = model.fit(case.data, parameters, x=case.time)
    except Exception:  # lmfit raises what its solver raises
        return None
    values = result.params
    # amplitude*sin(frequency*x + shift)*exp(-x/decay) + c
    #   = amplitude*exp(-x/decay)*cos((x + (shift - pi/2)/frequency)*frequency) + c
    omega = values["sine_frequency"].value
    if omega == 0 or values["decay_decay"].value == 0:
        return None
    return [values["sine_amplitude"].value, -1.0 / values["decay_decay"].value, omega,
            (values["sine_shift"].value - np.pi / 2) / omega, values["offset_c"].value]


def convergence(cases, with_lmfit):
    """Per waveform (as each is done): name, cases, and the successes of fit,
    of curve_fit from ones, and of lmfit's composite (None where not run)."""
    for name in NAMES:
        ours = sum(case.converged(undarix_fit_parameters(case)) for case in cases[name])
        ones = sum(case.converged(curve_fit_parameters(case, [1.0] * len(case.truth))) for case in cases[name])
        composite = None
        if with_lmfit and name == "harmonic_oscillator":
            composite = sum(case.converged(lmfit_composite_parameters(case)) for case in cases[name])
        yield name, len(cases[name]), ours, ones, composite


def timed_pass(solve, cases, starts, fastest):
    """The summed wall time of solve(case, start) over the cases, one after
    another; each case's time also lowers its entry of `fastest`."""
    total = 0.0
    for index, (case, start) in enumerate(zip(cases, starts)):
        begin = clock.perf_counter()
        solve(case, start)
        took = clock.perf_counter() - begin
        fastest[index] = min(fastest[index], took)
        total += took
    return total


def speed(cases, repeats):
    """Per waveform: (median ratio, lowest, highest) of the summed wall time of
    fit(p0=start) over curve_fit(p0=start, finite differences), one ratio per
    repeat; and the ratio of the sums of each case's fastest time over the
    repeats, which a host's passing load (a single fit varies by half its time
    on the 2-core VM) disturbs far less than any one repeat."""
    rows = []
    for name in NAMES:
        starts = [undarix_fit.guess(case.name, case.time, case.data, **case.options) for case in cases[name]]
        starts = [[start[key] for key in undarix_fit.PARAMETERS[name]] for start in starts]
        ratios, ours_times, theirs_times = [], [], []
        fastest_ours = np.full(len(cases[name]), np.inf)
        fastest_theirs = np.full(len(cases[name]), np.inf)
        # Untimed first calls: the first fit of a process imports and sets up
        # what later ones reuse (LAPACK wrappers, caches).
        undarix_fit_parameters(cases[name][0], p0=starts[0])
        curve_fit_parameters(cases[name][0], starts[0])
        for _ in range(repeats):
            ours = timed_pass(lambda case, start: undarix_fit_parameters(case, p0=start), cases[name], starts,
                              fastest_ours)
            theirs = timed_pass(curve_fit_parameters, cases[name], starts, fastest_theirs)
            ratios.append(ours / theirs)
            ours_times.append(ours)
            theirs_times.append(theirs)
        count = len(cases[name])
        rows.append((name, count, 1e3 * np.median(ours_times) / count, 1e3 * np.median(theirs_times) / count,
                     np.median(ratios), min(ratios), max(ratios), fastest_ours.sum() / fastest_theirs.sum()))
    return rows


def throughput(signals, points, repeats):
    rng = np.random.default_rng(SEED + 1)
    time = np.linspace(0.0, 20.0, points)
    omega = rng.uniform(2.0, 10.0, (signals, 1))
    clean = undarix_ufuncs.harmonic_oscillator(time, 1.0, -0.05, omega, 0.3, 0.2)
    data = clean + rng.normal(0.0, NOISE, clean.shape)
    rows = []
    serial = None
    for where, keywords in (("serial", {}), ("2 processes", {"processes": 2}), ("2 threads", {"threads": 2})):
        times = []
        for _ in range(repeats):
            begin = clock.perf_counter()
            result = undarix_fit.fit_many("harmonic_oscillator", time, data, **keywords)
            times.append(clock.perf_counter() - begin)
        values = np.array([result.params[name] for name in sorted(result.params)] + [result.chisqr])
        serial = values if serial is None else serial
        same = values.tobytes() == serial.tobytes()
        rows.append((where, signals, points, np.median(times), min(times), max(times),
                     int(result.success.sum()), same))
    return rows


def guess_scaling(sizes, repeats, seed=SEED + 2):
    """Rows (layout, points, median seconds, lowest, highest, peak MB) of
    undarix_fit.guess on a damped cosine of 40 periods with 5 % noise."""
    rng = np.random.default_rng(seed)
    rows = []
    for layout in ("uniform", "irregular"):
        for points in sizes:
            span = 100.0
            if layout == "uniform":
                time = np.linspace(0.0, span, points)
            else:
                time = np.sort(rng.uniform(0.0, span, points))
            data = undarix_ufuncs.harmonic_oscillator(time, 1.0, -0.01, 2.5, 0.3, 0.2) \
                + rng.normal(0.0, NOISE, points)
            undarix_fit.guess("harmonic_oscillator", time, data)       # untimed: first-call set-up
            times = []
            for _ in range(repeats):
                begin = clock.perf_counter()
                undarix_fit.guess("harmonic_oscillator", time, data)
                times.append(clock.perf_counter() - begin)
            tracemalloc.start()
            undarix_fit.guess("harmonic_oscillator", time, data)
            peak = tracemalloc.get_traced_memory()[1]
            tracemalloc.stop()
            rows.append((layout, points, np.median(times), min(times), max(times), peak / 2.0 ** 20))
            sys.stdout.flush()
    return rows


def model_of(case):
    model = getattr(undarix_ufuncs, case.name)
    if case.extra:
        return lambda t, *p: model(t, *(p + case.extra))  # noqa: E731
    return lambda t, *p: model(t, *p)  # noqa: E731


def whole_fit(cases, repeats):
    """Per waveform: (median over the cases of fit() with its own guess over
    curve_fit from that guess [range of that median over the repeats], the
    same for fit(p0=guess))."""
    rows = []
    for name in NAMES:
        chosen = cases[name]
        starts = [undarix_fit.guess(case.name, case.time, case.data, **case.options) for case in chosen]
        starts = [[start[key] for key in undarix_fit.PARAMETERS[name]] for start in starts]
        undarix_fit_parameters(chosen[0])
        curve_fit_parameters(chosen[0], starts[0])
        whole_medians, given_medians = [], []
        for _ in range(repeats):
            whole, given = [], []
            for case, start in zip(chosen, starts):
                begin = clock.perf_counter()
                undarix_fit_parameters(case)
                own = clock.perf_counter() - begin
                begin = clock.perf_counter()
                undarix_fit_parameters(case, p0=start)
                from_start = clock.perf_counter() - begin
                begin = clock.perf_counter()
                curve_fit_parameters(case, start)
                theirs = clock.perf_counter() - begin
                whole.append(own / theirs)
                given.append(from_start / theirs)
            whole_medians.append(np.median(whole))
            given_medians.append(np.median(given))
        rows.append((name, len(chosen), np.median(whole_medians), min(whole_medians), max(whole_medians),
                     np.median(given_medians), min(given_medians), max(given_medians)))
        sys.stdout.flush()
    return rows


def make_wide_case(name, rng):
    """A case of the widened suite: 40 to 6,000 points (log-uniform, at least 8 a
    period), noise 1 to 20 % of |amplitude|, uniform, irregular or gappy (two
    gaps of up to a tenth of the window each), 1.5 to 60 periods (turns), the
    window starting 0 to 5 windows after 0."""
    periods = 10.0 ** rng.uniform(math.log10(1.5), math.log10(60.0))
    points = int(10.0 ** rng.uniform(math.log10(40.0), math.log10(6000.0)))
    points = max(points, int(8 * periods))
    layout = rng.choice(("uniform", "irregular", "gappy"))
    noise = 10.0 ** rng.uniform(-2.0, math.log10(0.2))
    amplitude = rng.choice((-1.0, 1.0)) * 10.0 ** rng.uniform(-1.0, 1.0)
    offset = rng.uniform(-2.0, 2.0) * abs(amplitude)
    if name == "transient_impulse":
        span = 2.0 * np.pi * periods
        truth = (amplitude, rng.uniform(1.0, 20.0), rng.uniform(0.1, 1.2), offset)
        extra = ()
        origin = 2.0 * np.pi * rng.integers(0, 30) + rng.uniform(0.0, 2.0 * np.pi)
    else:
        span = rng.uniform(5.0, 50.0)
        omega = 2.0 * np.pi * periods / span
        gamma = rng.uniform(-2.5, 0.3) / span
        phi = rng.uniform(-np.pi, np.pi) / omega
        extra = (int(rng.integers(1, 8)),) if name == "fourier_square_wave" else ()
        origin = rng.uniform(0.0, 5.0) * span
        # The amplitude is that at the window's start: e^(gamma*t) counts from 0.
        truth = (amplitude * math.exp(-gamma * origin), gamma, omega, phi, offset)
    if layout == "uniform":
        time = np.linspace(0.0, span, points)
    else:
        time = np.sort(rng.uniform(0.0, span, points))
        if layout == "gappy":
            for _ in range(2):
                start = rng.uniform(0.0, span)
                time = time[(time < start) | (time > start + rng.uniform(0.0, 0.1) * span)]
    case = Case(name, origin + time, truth, extra, rng)
    case.data = case.clean + rng.normal(0.0, noise * abs(amplitude), case.time.size)
    case.sigma = noise * abs(amplitude)
    return case


def random_start(case, rng):
    """A random start over the suite's ranges (the offset and scale from the data)."""
    scale = float(np.std(case.data)) or 1.0
    centre = float(np.median(case.data))
    span = case.time[-1] - case.time[0]
    if case.name == "transient_impulse":
        return [rng.uniform(-3, 3) * scale, rng.uniform(0.0, 24.0), rng.uniform(0.05, 1.5), centre]
    omega = 2.0 * np.pi * rng.uniform(1.0, 70.0) / span
    return [rng.uniform(-3, 3) * scale, 0.0, omega, rng.uniform(-np.pi, np.pi) / omega, centre]


def reference_chisqr(case, rng, starts=20):
    """The least chi-square of least_squares (exact Jacobian) from the truth and
    from `starts` random starts."""
    model = getattr(undarix_ufuncs, case.name)
    jacobian = getattr(undarix_ufuncs, case.name + "_jacobian")

    def residuals(p):
        return model(case.time, *(tuple(p) + case.extra)) - case.data

    def derivatives(p):
        return np.column_stack(jacobian(case.time, *(tuple(p) + case.extra)))
    best = np.inf
    for start in [list(case.truth)] + [random_start(case, rng) for _ in range(starts)]:
        with np.errstate(all="ignore"):
            try:
                found = least_squares(residuals, start, jac=derivatives, method="lm")
            except (ValueError, np.linalg.LinAlgError):
                continue
        cost = float(np.dot(found.fun, found.fun))
        if np.isfinite(cost):
            best = min(best, cost)
    return best


def wide_suite(count, seed=SEED + 3):
    """Per waveform: (cases, false successes, success=False, worst ratio of a
    success's chi-square to the reference's, fits that raised)."""
    rng = np.random.default_rng(seed)
    rows = []
    for name in NAMES:
        false, failed, raised, worst = 0, 0, 0, 1.0
        for _ in range(count):
            case = make_wide_case(name, rng)
            reference = reference_chisqr(case, rng)
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    result = undarix_fit.fit(case.name, case.time, case.data, **case.options)
            except (ValueError, np.linalg.LinAlgError):
                raised += 1
                continue
            if not result.success:
                failed += 1
                continue
            ratio = result.chisqr / reference
            worst = max(worst, ratio)
            if ratio > 1.01:
                false += 1
        rows.append((name, count, false, failed, raised, worst))
        sys.stdout.flush()
    return rows


# The signals of the error-bar calibration: the tests' parameter sets, 600
# points, noise 5 % of |amplitude|; robust losses with 3 % outliers of 1 to 3
# times the amplitude.
CALIBRATION = {
    "harmonic_oscillator": dict(amplitude=1.7, gamma=-0.04, omega=2.3, phi=0.4, y=0.3),
    "pseudo_cycloid_wave": dict(amplitude=-1.3, gamma=0.005, omega=1.6, phi=0.2, y=0.1),
    "transient_impulse": dict(amplitude=-3.0, period=7.5, width=0.45, equilibrium=1.2),
}


def calibration(realisations, seed=SEED):
    """Monte Carlo of the reported standard errors: for each waveform (and
    loss), fit `realisations` noisy copies of one signal from its guess, and
    compare the mean reported stderr with the scatter (standard deviation)
    of the estimates, and the share of the estimates within one reported
    stderr of the truth (68 % for honest Gaussian errors).  Yields
    (label, parameter, ratio, coverage, profiled share)."""
    rng = np.random.default_rng(seed)
    setups = [(name, "linear") for name in CALIBRATION] + [("harmonic_oscillator", "soft_l1"),
                                                           ("harmonic_oscillator", "huber")]
    for name, loss in setups:
        truth = CALIBRATION[name]
        span = 6 * 2 * np.pi if name == "transient_impulse" else 40.0
        time = np.linspace(0.0, span, 600)
        clean = getattr(undarix_ufuncs, name)(time, *truth.values())
        sigma = NOISE * abs(truth["amplitude"])
        estimates, errors, profiled = [], [], 0
        for _ in range(realisations):
            data = clean + rng.normal(0.0, sigma, time.size)
            options = {}
            if loss != "linear":
                bad = rng.choice(time.size, int(0.03 * time.size), replace=False)
                data[bad] += rng.choice([-1.0, 1.0], bad.size) * rng.uniform(1.0, 3.0, bad.size) * abs(
                    truth["amplitude"])
                options = dict(loss=loss, f_scale=2.0 * sigma)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                result = undarix_fit.fit(name, time, data, **options)
            if not result.success:
                continue
            values = dict(result.params)
            if "omega" in values and values["amplitude"] * truth["amplitude"] < 0:
                continue  # the other sign branch: another parametrisation of the same curve
            if "omega" in values:
                # phi and phi plus a whole period give the same curve: the
                # estimate is compared within half a period of the truth.
                period = 2.0 * np.pi / abs(values["omega"])
                values["phi"] = truth["phi"] + (values["phi"] - truth["phi"] + 0.5 * period) % period - 0.5 * period
            estimates.append([values[key] for key in truth])
            errors.append([result.stderr[key] for key in truth])
            profiled += result.onset_interval is not None
        estimates, errors = np.array(estimates), np.array(errors)
        scatter = estimates.std(axis=0, ddof=1)
        truth_vector = np.array(list(truth.values()))
        covered = (np.abs(estimates - truth_vector) <= errors).mean(axis=0)
        label = name if loss == "linear" else "%s, loss=%s" % (name, loss)
        for index, key in enumerate(truth):
            yield (label, key, float(errors[:, index].mean() / scatter[index]), float(covered[index]),
                   profiled / float(len(estimates)), len(estimates))


def print_calibration(realisations):
    print("\nError bars: mean reported stderr / scatter of the estimates over %d realisations, and the share"
          " within one stderr of the truth (honest: 1 and 68 %%)\n" % realisations)
    print("| signal | parameter | stderr / scatter | coverage | onset by profile | fits |")
    print("|---|---|---:|---:|---:|---:|")
    for label, key, ratio, covered, profiled, fits in calibration(realisations):
        print("| `%s` | %s | %.2f | %.0f %% | %.0f %% | %d |" % (label, key, ratio, 100.0 * covered,
                                                              100.0 * profiled, fits))
        sys.stdout.flush()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a few cases of each part (seconds)")
    parser.add_argument("--cases", type=int, default=200, help="synthetic signals per waveform (default 200)")
    parser.add_argument("--repeats", type=int, default=5, help="repeats of each timing (default 5)")
    parser.add_argument("--no-timing", action="store_true", help="convergence only")
    parser.add_argument("--only", choices=("convergence", "speed", "throughput", "guess", "whole", "wide",
                                           "calibration"),
                        help="run this part only")
    parser.add_argument("--wide-cases", type=int, default=200,
                        help="cases per waveform of the widened false-success suite (default 200)")
    parser.add_argument("--largest", type=int, default=10 ** 6,
                        help="the most points of the guess's scaling (default 10^6)")
    arguments = parser.parse_args(argv)
    parts = {arguments.only} if arguments.only else {"convergence", "speed", "throughput", "guess", "whole",
                                                     "wide", "calibration"}
    if arguments.no_timing:
        parts &= {"convergence", "wide", "calibration"}
    count = 4 if arguments.quick else arguments.cases
    repeats = 2 if arguments.quick else arguments.repeats
    try:
        import lmfit  # noqa: F401
        with_lmfit = True
    except ImportError:
        with_lmfit = False
    cases = suite(count)
    print("undarix_fit benchmark: %d cases per waveform, seed %d, success = noise-free curve within %.1f sigma RMS"
          % (count, SEED, TOLERANCE))
    if "convergence" in parts:
        print("\nConvergence (cases that succeed)\n")
        print("| waveform | cases | `fit` with its guess | `curve_fit` from ones | lmfit composite from its guess |")
        print("|---|---:|---:|---:|---:|")
        for name, total, ours, ones, composite in convergence(cases, with_lmfit):
            third = "–" if composite is None else "%.1f %%" % (100.0 * composite / total)
            print("| `%s` | %d | %.1f %% | %.1f %% | %s |" % (name, total, 100.0 * ours / total,
                                                           100.0 * ones / total, third))
            sys.stdout.flush()
    if "speed" in parts:
        timed = {name: cases[name][:min(count, 50)] for name in NAMES}
        print("\nSpeed from the same starting points (ms per fit, median of %d repeats; ratio median [range];"
              " ratio of each case's fastest times)\n" % repeats)
        print("| waveform | cases | `fit` (exact Jacobian) | `curve_fit` (finite differences) | ratio |"
              " fastest |")
        print("|---|---:|---:|---:|---:|---:|")
        for name, total, ours, theirs, ratio, low, high, fastest in speed(timed, repeats):
            print("| `%s` | %d | %.2f | %.2f | %.2f [%.2f, %.2f] | %.2f |" % (name, total, ours, theirs, ratio, low,
                                                                         high, fastest))
            sys.stdout.flush()
    if "wide" in parts:
        wide = 3 if arguments.quick else arguments.wide_cases
        print("\nFalse successes over the widened suite (%d cases per waveform, seed %d; reference: the best of"
              " least_squares with the exact Jacobian from the truth and 20 random starts)\n" % (wide, SEED + 3))
        print("| waveform | cases | success above 1.01 x the reference | success=False | raised |"
              " worst success / reference |")
        print("|---|---:|---:|---:|---:|---:|")
        for name, total, false, failed, raised, worst in wide_suite(wide):
            print("| `%s` | %d | %d | %d (%.1f %%) | %d | %.3f |" % (name, total, false, failed,
                                                                   100.0 * failed / total, raised, worst))
            sys.stdout.flush()
    if "guess" in parts:
        largest = 20000 if arguments.quick else arguments.largest
        sizes = [size for size in (1000, 4000, 16000, 100000, 1000000) if size <= largest]
        print("\nguess of harmonic_oscillator against n (ms, median of %d repeats [range]; peak traced memory)\n"
              % repeats)
        print("| time | points | ms | peak MB | bytes per point |")
        print("|---|---:|---:|---:|---:|")
        for layout, points, median, low, high, peak in guess_scaling(sizes, repeats):
            print("| %s | %d | %.2f [%.2f, %.2f] | %.1f | %.0f |" % (layout, points, 1e3 * median, 1e3 * low,
                                                                  1e3 * high, peak, peak * 2.0 ** 20 / points))
            sys.stdout.flush()
    if "whole" in parts:
        timed = {name: cases[name][:min(count, 50)] for name in NAMES}
        print("\nWhole fit against curve_fit from the guess (median over the cases of the per-case ratio;"
              " median [range] over %d repeats)\n" % repeats)
        print("| waveform | cases | `fit()` with its own guess / `curve_fit` | `fit(p0=guess)` / `curve_fit` |")
        print("|---|---:|---:|---:|")
        for name, total, whole, low, high, given, given_low, given_high in whole_fit(timed, repeats):
            print("| `%s` | %d | %.2f [%.2f, %.2f] | %.2f [%.2f, %.2f] |" % (name, total, whole, low, high, given,
                                                                          given_low, given_high))
            sys.stdout.flush()
    if "calibration" in parts:
        print_calibration(10 if arguments.quick else 200)
    if "throughput" not in parts:
        return
    signals, points = (20, 200) if arguments.quick else (1000, 1000)
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print("\nThroughput of fit_many, harmonic_oscillator (median of %d repeats [range]; interpreter lock %s)\n"
          % (repeats, "on" if gil else "off"))
    print("| where | signals x points | seconds | signals per second | succeeded | bits as serial |")
    print("|---|---|---:|---:|---:|---|")
    for where, signals, points, median, low, high, succeeded, same in throughput(signals, points, repeats):
        print("| %s | %d x %d | %.2f [%.2f, %.2f] | %.0f | %d | %s |" % (where, signals, points, median, low, high,
                                                                       signals / median, succeeded,
                                                                       "same" if same else "DIFFERENT"))


if __name__ == "__main__":
    main()
