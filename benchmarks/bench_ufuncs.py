"""Speed of undarix_ufuncs: against the strict module on contiguous arrays,
against the NumPy broadcasting expression on parameter sweeps, against
np.arctan2 for NumPy's own per-call cost, calls spaced by the caller's own
work (one thread against all), and the cost of the test of out=
against the inputs on short rows (run it on the commit before that test, too).

    python benchmarks/bench_ufuncs.py                  # full run, a few minutes
    python benchmarks/bench_ufuncs.py --quick          # seconds; checks only that it all runs
    python benchmarks/bench_ufuncs.py --figure docs/ufunc_performance.png   # timings kept in docs/ufunc_performance.json
    python benchmarks/bench_ufuncs.py --redraw docs/ufunc_performance.json --figure docs/ufunc_performance.png

Every measurement is taken on one thread and on all threads in the same run
(UNDARIX_NUM_THREADS is set before each; "all" is the CPUs this process may
use).  Times are medians of repeated calls, in milliseconds or microseconds.
"""

import argparse
import json
import os
import statistics
import sys
import time

import numpy as np

import undarix
import undarix_ufuncs

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from bench import CASES, all_cpus, direct_call, set_threads  # noqa: E402  (the NumPy expressions)

PARAMS = {
    "harmonic_oscillator": (1.5, -0.1, 2.0, 0.3, 0.5),
    "pseudo_square_wave": (1.5, -0.1, 2.0, 0.3, 0.5),
    "fourier_square_wave": (1.5, -0.1, 2.0, 0.3, 0.5, 10),
    "pseudo_cycloid_wave": (1.5, -0.1, 2.0, 0.3, 0.5),
    "transient_impulse": (1.5, 6.0, 0.5, 0.25),
}


def median_s(call, budget_s, min_runs=5):
    """Median wall time of one call, in seconds, batching fast calls."""
    start = time.perf_counter()
    call()
    once = time.perf_counter() - start
    batch = max(1, int(1e-3 / max(once, 1e-9)))
    samples = []
    deadline = time.perf_counter() + budget_s
    while len(samples) < min_runs or time.perf_counter() < deadline:
        start = time.perf_counter()
        for _ in range(batch):
            call()
        samples.append((time.perf_counter() - start) / batch)
        if len(samples) >= 5000:
            break
    return statistics.median(samples)


def thread_settings():
    return [("1", 1), ("all", all_cpus())]


def contiguous_table(quick):
    sizes = [10**3, 10**4] if quick else [10**4, 10**5, 10**6, 10**7]
    budget = 0.05 if quick else 1.0
    rows = []
    for name in CASES:
        strict = getattr(undarix, name)
        ufunc = getattr(undarix_ufuncs, name)
        for n in sizes:
            t = np.linspace(0.0, 50.0, n)
            for label, count in thread_settings():
                set_threads(count)
                # Alternate the two, so that a busy machine slows both alike.
                a = median_s(direct_call(strict, t, PARAMS[name]), budget)
                b = median_s(direct_call(ufunc, t, PARAMS[name]), budget)
                rows.append((name, n, label, a, b))
    set_threads(None)
    print("\n## Contiguous time, scalar parameters: ufunc against undarix (ms per call)\n")
    print("| function | n | threads | undarix | undarix_ufuncs | ratio |")
    print("|---|---:|---|---:|---:|---:|")
    for name, n, label, a, b in rows:
        print("| %s | %d | %s | %.3f | %.3f | %.3f |" % (name, n, label, a * 1e3, b * 1e3, b / a))
    return rows


def sweep_inputs(sets, points):
    rng = np.random.default_rng(0)
    t = np.linspace(0.0, 20.0, points)
    a = rng.uniform(0.5, 2.0, (sets, 1))
    g = rng.uniform(-0.3, -0.01, (sets, 1))
    w = rng.uniform(0.5, 5.0, (sets, 1))
    return t[None, :], a, g, w


def sweep_table(quick):
    shapes = [(200, 1000), (10, 10_000)] if quick else [(2000, 1000), (100, 100_000)]
    budget = 0.1 if quick else 2.0
    rows = []
    for name in ("harmonic_oscillator", "pseudo_square_wave", "pseudo_cycloid_wave"):
        ufunc = getattr(undarix_ufuncs, name)
        expression = CASES[name][1]
        for sets, points in shapes:
            t, a, g, w = sweep_inputs(sets, points)
            numpy_s = median_s(lambda: expression(t, a, g, w, 0.3, 0.5), budget)
            times = {}
            for label, count in thread_settings():
                set_threads(count)
                times[label] = median_s(lambda: ufunc(t, a, g, w, 0.3, 0.5), budget)
            rows.append((name, sets, points, numpy_s, times["1"], times["all"]))
    set_threads(None)
    print("\n## Parameter sweeps f(t[None, :], a[:, None], g[:, None], w[:, None], phi, y) (ms per call)\n")
    print("| function | sets x points | NumPy expression | ufunc, 1 thread | ufunc, all threads | all / 1 thread |")
    print("|---|---|---:|---:|---:|---:|")
    for name, sets, points, numpy_s, one, every in rows:
        print("| %s | %d x %d | %.2f | %.2f | %.2f | %.2f |" % (name, sets, points, numpy_s * 1e3, one * 1e3,
                                                               every * 1e3, every / one))
    return rows


def dispatch_table(quick):
    budget = 0.1 if quick else 1.0
    rows = []
    for n in (1, 16):
        t = np.linspace(0.0, 1.0, n)
        x = np.linspace(1.0, 2.0, n)
        arctan2 = median_s(lambda: np.arctan2(t, x), budget)
        ufunc = median_s(lambda: undarix_ufuncs.harmonic_oscillator(t, 1.5, -0.1, 2.0, 0.3, 0.5), budget)
        scalar_ufunc = median_s(lambda: undarix_ufuncs.harmonic_oscillator(0.5, 1.5, -0.1, 2.0, 0.3, 0.5), budget)
        strict = median_s(lambda: undarix.harmonic_oscillator(t, 1.5, -0.1, 2.0, 0.3, 0.5), budget)
        rows.append((n, arctan2, ufunc, scalar_ufunc, strict))
    print("\n## Per-call cost on tiny arrays (microseconds per call)\n")
    print("| n | np.arctan2(t, x) | harmonic_oscillator ufunc | ufunc, all scalars | undarix.harmonic_oscillator |")
    print("|---:|---:|---:|---:|---:|")
    for n, arctan2, ufunc, scalar_ufunc, strict in rows:
        print("| %d | %.2f | %.2f | %.2f | %.2f |" % (n, arctan2 * 1e6, ufunc * 1e6, scalar_ufunc * 1e6, strict * 1e6))
    return rows


def spaced_calls_table(quick):
    """Calls of their own: each after `gap` microseconds of the caller's own
    work (a busy wait), as a fit or a Python loop makes them.  Each call is
    planned on its own work, whatever the gap: below 8,192 evaluations it
    runs on the calling thread alone (waking a worker costs more than it
    saves there), so two threads should cost what one does.  Medians of
    single calls, in microseconds."""
    calls = 200 if quick else 3000
    rows = []
    for points in (500, 1300, 4000):
        t = np.linspace(0.0, 10.0, points)
        block = np.empty((5, points))
        outputs = tuple(block)
        ufunc = undarix_ufuncs.harmonic_oscillator_jacobian
        for gap in (0, 20, 100):
            times = {}
            for label, count in thread_settings():
                set_threads(count)
                samples = []
                for _ in range(calls):
                    until = time.perf_counter() + gap * 1e-6
                    while time.perf_counter() < until:
                        pass
                    start = time.perf_counter()
                    ufunc(t, 1.5, -0.1, 2.0, 0.3, 0.5, out=outputs)
                    samples.append(time.perf_counter() - start)
                times[label] = statistics.median(samples)
            rows.append((points, gap, times["1"], times["all"]))
    set_threads(None)
    print("\n## Calls of their own: harmonic_oscillator_jacobian after a gap of the caller's work (µs per call)\n")
    print("| n | gap (µs) | 1 thread | all threads | all / 1 |")
    print("|---:|---:|---:|---:|---:|")
    for points, gap, one, every in rows:
        print("| %d | %d | %.1f | %.1f | %.2f |" % (points, gap, one * 1e6, every * 1e6, every / one))
    return rows


def overlap_table(quick):
    """What the test of out= against the inputs costs where nothing overlaps.

    The test runs once per inner-loop call, so it weighs most where NumPy makes
    many short calls: a sweep of short rows, one call per row.  The figures are
    nanoseconds per row of the common (non-overlapping) path; run this on the
    commit before the test was added as well to see the difference.  The
    second part sets that path against out= shifted onto time, which is
    evaluated forward on one thread.
    """
    budget = 0.1 if quick else 1.0
    rows_total = 10**4 if quick else 2 * 10**5
    name = "harmonic_oscillator"
    ufunc = getattr(undarix_ufuncs, name)
    short_rows = []
    for points in (1, 4, 16, 64):
        sets = max(1, rows_total // points)
        t = np.linspace(0.0, 5.0, points)[None, :]
        amplitude = np.linspace(0.5, 2.0, sets)[:, None]
        out = np.empty((sets, points))
        for label, count in thread_settings():
            set_threads(count)
            seconds = median_s(lambda: ufunc(t, amplitude, -0.1, 2.0, 0.3, 0.5, out=out), budget)
            short_rows.append((points, sets, label, seconds / sets))
    long_rows = []
    n = 10**5 if quick else 10**7
    base = np.linspace(0.0, 50.0, n + 1)
    separate = np.empty(n)
    layouts = [
        ("separate out=", lambda: ufunc(base[1:], *PARAMS[name], out=separate)),
        ("in place, out=time", lambda: ufunc(base[1:], *PARAMS[name], out=base[1:])),
        ("shifted, out=time[:-1] (forward)", lambda: ufunc(base[1:], *PARAMS[name], out=base[:-1])),
    ]
    for layout, call in layouts:
        for label, count in thread_settings():
            set_threads(count)
            long_rows.append((layout, label, median_s(call, budget)))
    set_threads(None)
    print("\n## out= overlap test on the common path: short rows f(t[None, :k], a[:, None], ...) (ns per row)\n")
    print("| k points per row | rows | threads | ns per row |")
    print("|---:|---:|---|---:|")
    for points, sets, label, per_row in short_rows:
        print("| %d | %d | %s | %.1f |" % (points, sets, label, per_row * 1e9))
    print("\n## out= layouts, %s, n = %d (ms per call)\n" % (name, n))
    print("| layout | threads | ms |")
    print("|---|---|---:|")
    for layout, label, seconds in long_rows:
        print("| %s | %s | %.3f |" % (layout, label, seconds * 1e3))
    return short_rows, long_rows


def draw_figure(path, data):
    """The ratios to the strict module (left) and the sweeps' times (right), with text large enough to
    read where the docs show the image, at the width of a page's text column."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    contiguous, sweeps = data["contiguous"], data["sweeps"]
    with plt.rc_context({"font.size": 14, "axes.titlesize": 15, "legend.fontsize": 12,
                         "xtick.labelsize": 13, "ytick.labelsize": 13}):
        figure, (left, right) = plt.subplots(2, 1, figsize=(11, 13))
        for name in CASES:
            for label, style in (("1", "-"), ("all", "--")):
                points = [(n, b / a) for row_name, n, row_label, a, b in contiguous
                          if row_name == name and row_label == label]
                if points:
                    left.plot(*zip(*points), style, marker="o", linewidth=2,
                              label="%s, %s thread%s" % (name, label, "" if label == "1" else "s"))
        left.axhline(1.0, color="grey", linewidth=0.8)
        left.axhspan(0.95, 1.05, color="grey", alpha=0.15)
        left.set_xscale("log")
        left.set_xlabel("n (contiguous float64 time, scalar parameters)")
        left.set_ylabel("ufunc time / undarix time")
        left.set_title("undarix_ufuncs against the strict module")
        left.legend(ncol=2, loc="upper center", bbox_to_anchor=(0.5, -0.14), frameon=False)
        # "pseudo\nsquare wave\n2000 × 1000": six labels side by side must not run into each other.
        labels = ["%s\n%d × %d" % (name.replace("_", "\n", 1).replace("_", " "), sets, points)
                  for name, sets, points, *_ in sweeps]
        positions = np.arange(len(sweeps))
        width = 0.27
        right.bar(positions - width, [row[3] * 1e3 for row in sweeps], width, label="NumPy expression")
        right.bar(positions, [row[4] * 1e3 for row in sweeps], width, label="ufunc, 1 thread")
        right.bar(positions + width, [row[5] * 1e3 for row in sweeps], width,
                  label="ufunc, all threads (%d)" % data["cpus"])
        right.set_xticks(positions)
        right.set_xticklabels(labels, fontsize=12)
        right.set_ylabel("ms per call")
        right.set_title("Parameter sweeps (sets × points)")
        right.legend()
        figure.tight_layout()
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        figure.savefig(path, dpi=90)
    plt.close(figure)
    print("\nfigure written to %s" % path)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="tiny sizes and budgets; finishes in seconds")
    parser.add_argument("--figure", metavar="PNG", help="also draw the ratios and the sweeps into this file, "
                        "keeping the figure's timings beside it (the same name, .json)")
    parser.add_argument("--redraw", metavar="JSON", help="measure nothing: draw --figure again from the timings "
                        "an earlier --figure kept")
    args = parser.parse_args()
    if args.redraw:
        if not args.figure:
            parser.error("--redraw needs --figure PNG")
        with open(args.redraw) as stored:
            draw_figure(args.figure, json.load(stored))
        return
    print("NumPy %s, Python %s, %d CPUs for this process" % (np.__version__, sys.version.split()[0], all_cpus()))
    contiguous = contiguous_table(args.quick)
    sweeps = sweep_table(args.quick)
    dispatch_table(args.quick)
    spaced_calls_table(args.quick)
    overlap_table(args.quick)
    if args.figure:
        data = {"contiguous": contiguous, "sweeps": sweeps, "cpus": all_cpus()}
        with open(os.path.splitext(args.figure)[0] + ".json", "w") as out:
            json.dump(data, out, indent=1)
        draw_figure(args.figure, data)


if __name__ == "__main__":
    main()
