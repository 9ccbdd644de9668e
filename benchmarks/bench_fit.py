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
3. Throughput: fit_many of 1000 signals x 1000 points on one process and two.
4. Error bars: the mean reported stderr over the scatter of the estimates, and
   the coverage of +-1 stderr, over 200 noisy copies of one signal per
   waveform, and with robust losses and 3 % outliers.  Machine-free.
"""

import argparse
import math
import sys
import time as clock
import warnings

import numpy as np
from scipy.optimize import OptimizeWarning, curve_fit

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
    for processes in (1, 2):
        times = []
        for _ in range(repeats):
            begin = clock.perf_counter()
            result = undarix_fit.fit_many("harmonic_oscillator", time, data, processes=processes)
            times.append(clock.perf_counter() - begin)
        rows.append((processes, signals, points, np.median(times), min(times), max(times),
                     int(result.success.sum())))
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
    parser.add_argument("--only", choices=("convergence", "speed", "throughput", "calibration"),
                        help="run this part only")
    arguments = parser.parse_args(argv)
    parts = {arguments.only} if arguments.only else {"convergence", "speed", "throughput", "calibration"}
    if arguments.no_timing:
        parts &= {"convergence", "calibration"}
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
    if "calibration" in parts:
        print_calibration(10 if arguments.quick else 200)
    if "throughput" not in parts:
        return
    signals, points = (20, 200) if arguments.quick else (1000, 1000)
    print("\nThroughput of fit_many, harmonic_oscillator (median of %d repeats [range])\n" % repeats)
    print("| processes | signals x points | seconds | signals per second | succeeded |")
    print("|---:|---|---:|---:|---:|")
    for processes, signals, points, median, low, high, succeeded in throughput(signals, points, repeats):
        print("| %d | %d x %d | %.2f [%.2f, %.2f] | %.0f | %d |" % (processes, signals, points, median, low, high,
                                                                  signals / median, succeeded))


if __name__ == "__main__":
    main()
