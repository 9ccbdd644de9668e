"""Speed and memory of undarix against the NumPy expression a user would write,
against numexpr (all threads, not exact) and against a plain C loop over the
same C runtime calls.

    python benchmarks/bench.py                      # full run, about ten minutes
    python benchmarks/bench.py --quick              # seconds; checks only that it all runs
    python benchmarks/bench.py --figure docs/performance.png   # also draws the figure, keeping its
                                                               # timings in docs/performance.json
    python benchmarks/bench.py --redraw docs/performance.json --figure docs/performance.png
                                                               # draws it again, measuring nothing
    python benchmarks/bench.py --json runs.json     # also writes every timing's summary
    python benchmarks/bench.py --crossover          # only where two threads start to pay
    python benchmarks/bench.py --call-cost          # only the cost per call at n = 1 and 16 against
                                                    # np.empty(1), interleaved

The module's thread count is set through UNDARIX_NUM_THREADS for each
measurement; "all" is the number of CPUs this process may use.

Every timing is a set of repeated runs (a run of a fast call is the mean of a
batch lasting about a millisecond). The tables give the median and the spread
as the interquartile range in per cent of the median; the figure draws the
median with the quartiles as a band; --json keeps minimum and maximum too.
"""

import argparse
import ctypes
import json
import os
import platform
import resource
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

import undarix

try:
    import numexpr
except ImportError:  # a benchmark-only dependency; its columns stay empty without it
    numexpr = None

HERE = os.path.dirname(os.path.abspath(__file__))
FOUR_OVER_PI = 1.2732395447351628
FULL_TURN = 6.283185307179586


def build_c_loop():
    """Compiles c_loop.c into a benchmark-only shared library (same exactness flags as the module)."""
    out_dir = os.path.join(tempfile.gettempdir(), "undarix-bench")
    os.makedirs(out_dir, exist_ok=True)
    library = os.path.join(out_dir, "libcloop.so")
    source = os.path.join(HERE, "c_loop.c")
    if not os.path.exists(library) or os.path.getmtime(library) < os.path.getmtime(source):
        compiler = os.environ.get("CC", "cc")
        subprocess.run([compiler, "-O2", "-ffp-contract=off", "-fno-fast-math", "-shared", "-fPIC",
                        source, "-o", library, "-lm"], check=True)
    lib = ctypes.CDLL(library)
    lib.run_loop.restype = None
    lib.run_loop.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64, ctypes.c_void_p,
                             ctypes.c_uint64, ctypes.c_int, ctypes.c_void_p]
    return lib


def numpy_fourier(t, a, g, w, p, y, n):
    u = t + p
    s = np.zeros_like(t)
    for k in range(1, 2 * n, 2):
        s += np.sin((k * w) * u) * FOUR_OVER_PI / k
    return np.exp(t * g) * a * (s + 1.0) + y


def numpy_transient(t, a, period, width, e):
    onset = (period / 24.0) * FULL_TURN
    d = np.fmod(t, FULL_TURN) - onset
    with np.errstate(invalid="ignore", divide="ignore"):
        h = np.where(d >= 0, np.exp((d / width) ** 2 * -0.5), 0.0)
    return h * a + e


def numexpr_fourier(t, a, g, w, p, y, n):
    u = t + p
    s = np.zeros_like(t)
    for k in range(1, 2 * n, 2):
        s = numexpr.evaluate("s + sin((k * w) * u) * c / k", local_dict={"s": s, "k": float(k), "w": w, "u": u,
                                                                        "c": FOUR_OVER_PI})
    return numexpr.evaluate("exp(t * g) * a * (s + 1.0) + y")


def numexpr_transient(t, a, period, width, e):
    onset = (period / 24.0) * FULL_TURN
    d = np.fmod(t, FULL_TURN) - onset  # numexpr has no fmod
    return numexpr.evaluate("where(d >= 0, exp((d / width) ** 2 * -0.5), 0.0) * a + e")


NUMEXPR = {
    "harmonic_oscillator": lambda t, a, g, w, p, y: numexpr.evaluate("exp(t * g) * a * cos((t + p) * w) + y"),
    "pseudo_square_wave": lambda t, a, g, w, p, y: numexpr.evaluate(
        "(sin((t + p) * w * 3.0) * 0.5 + sin((t + p) * w)) * (exp(t * g) * a) + y"),
    "fourier_square_wave": numexpr_fourier,
    "pseudo_cycloid_wave": lambda t, a, g, w, p, y: numexpr.evaluate(
        "(cos((w + w) * (t + p)) - 2 * cos((t + p) * w)) * (exp(t * g) * a) + y"),
    "transient_impulse": numexpr_transient,
}


def set_threads(count):
    """Sets the module's thread count for the following calls (None: the default)."""
    if count is None:
        os.environ.pop("UNDARIX_NUM_THREADS", None)
    else:
        os.environ["UNDARIX_NUM_THREADS"] = str(count)


def all_cpus():
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()


# name, module call, NumPy expression, index of the C loop, parameters
CASES = {
    "harmonic_oscillator": (
        undarix.harmonic_oscillator,
        lambda t, a, g, w, p, y: np.exp(t * g) * a * np.cos((t + p) * w) + y, 0),
    "pseudo_square_wave": (
        undarix.pseudo_square_wave,
        lambda t, a, g, w, p, y: (np.sin((t + p) * w * 3.0) * 0.5 + np.sin((t + p) * w)) * (np.exp(t * g) * a) + y,
        1),
    "fourier_square_wave": (undarix.fourier_square_wave, numpy_fourier, 2),
    "pseudo_cycloid_wave": (
        undarix.pseudo_cycloid_wave,
        lambda t, a, g, w, p, y: (np.cos((w + w) * (t + p)) - 2 * np.cos((t + p) * w)) * (np.exp(t * g) * a) + y,
        3),
    "transient_impulse": (undarix.transient_impulse, numpy_transient, 4),
}


def direct_call(function, t, args):
    """A zero-argument callable that makes the same plain positional call a user
    would write (no *args unpacking, which costs more than the call itself)."""
    names = ", ".join("a%d" % i for i in range(len(args)))
    namespace = {"function": function, "t": t}
    namespace.update(("a%d" % i, value) for i, value in enumerate(args))
    return eval("lambda: function(t, %s)" % names, namespace)


class Timing:
    """The repeated wall times of one call, in nanoseconds per call."""

    def __init__(self, samples):
        self.samples = sorted(float(value) for value in samples)

    def quantile(self, q):
        return float(np.quantile(self.samples, q))

    @property
    def median(self):
        return self.quantile(0.5)

    @property
    def minimum(self):
        return self.samples[0]

    @property
    def maximum(self):
        return self.samples[-1]

    @property
    def iqr_percent(self):
        """The interquartile range in per cent of the median: the noise of this timing."""
        return 100.0 * (self.quantile(0.75) - self.quantile(0.25)) / self.median

    def summary(self):
        return {"runs": len(self.samples), "min": self.minimum, "q1": self.quantile(0.25), "median": self.median,
                "q3": self.quantile(0.75), "max": self.maximum}


# Every timing taken, by table and row, for --json.
RECORD = {}


def record(section, key, timing):
    RECORD.setdefault(section, {})[key] = timing.summary()
    return timing


def time_call(call, budget_s, min_runs=5):
    """Repeated wall times of one call, batching fast calls so that a run lasts about a millisecond."""
    once = None
    for _ in range(2):  # the first call may be a cold one: size the batch from the faster of two
        start = time.perf_counter()
        call()
        once = min(once or 1e9, time.perf_counter() - start)
    batch = max(1, int(1e-3 / max(once, 1e-9)))
    samples = []
    deadline = time.perf_counter() + budget_s
    while len(samples) < min_runs or time.perf_counter() < deadline:
        start = time.perf_counter_ns()
        for _ in range(batch):
            call()
        samples.append((time.perf_counter_ns() - start) / batch)
        if len(samples) >= 2000:
            break
    return Timing(samples)


def median_ns(call, budget_s, min_runs=5):
    """Median wall time of one call, in nanoseconds."""
    return time_call(call, budget_s, min_runs).median


def c_loop_timing(lib, which, t, params, harmonics, budget_s, min_runs=5):
    """Repeated times of the plain C loop, each run timed inside C."""
    out = np.empty_like(t)
    p = np.asarray(params, dtype=np.float64)
    single = np.empty(1)
    lib.run_loop(which, t.ctypes.data, out.ctypes.data, t.size, p.ctypes.data, harmonics, 1, single.ctypes.data)
    repeats = int(min(2000, max(min_runs, budget_s * 1e9 / max(single[0], 1.0))))
    times = np.empty(repeats)
    lib.run_loop(which, t.ctypes.data, out.ctypes.data, t.size, p.ctypes.data, harmonics, repeats,
                 times.ctypes.data)
    return Timing(times)


def c_loop_ns(lib, which, t, params, harmonics, budget_s):
    return c_loop_timing(lib, which, t, params, harmonics, budget_s).median


def scenarios(quick):
    sizes = [1, 16, 256, 4096] if quick else [1, 16, 100, 256, 4096, 10_000, 65536, 1_000_000]
    rng = np.random.default_rng(7)
    for name in CASES:
        variants = [("", None)]
        if name == "fourier_square_wave":
            variants = [("N=%d" % n, n) for n in ((1, 10) if quick else (1, 10, 100))]
        if name == "transient_impulse":
            variants = [("t in [0,100]", "small"), ("|t| 1e6..1e9", "large")]
        for label, variant in variants:
            for n in sizes:
                if name == "transient_impulse" and variant == "large":
                    t = rng.uniform(1e6, 1e9, n) * rng.choice([-1.0, 1.0], n)
                elif name == "transient_impulse":
                    t = rng.uniform(0.0, 100.0, n)
                else:
                    t = np.linspace(0.0, 50.0, n)
                if name == "transient_impulse":
                    params = (1.5, 6.0, 0.4, 0.1)
                    harmonics = 0
                else:
                    params = (1.0, -0.01, 2.0, 0.1, 0.5)
                    harmonics = variant or 0
                yield name, label, n, t, params, harmonics


def params_for(name, harmonics=10):
    if name == "transient_impulse":
        return (1.5, 6.0, 0.4, 0.1), 0
    return (1.0, -0.01, 2.0, 0.1, 0.5), (harmonics if name == "fourier_square_wave" else 0)


def module_args(name, params, harmonics):
    return params + ((harmonics,) if name == "fourier_square_wave" else ())


def run_table(quick, lib):
    """One thread: the module against the NumPy expression and the C loop at every size."""
    set_threads(1)
    budget = 0.02 if quick else 0.2
    baseline = median_ns(lambda: np.empty(1), budget)
    print("one thread (UNDARIX_NUM_THREADS=1); medians of repeated runs, spread = interquartile range in % of the "
          "median (undarix/numpy/C loop)")
    print("np.empty(1): %.0f ns per call" % baseline)
    header = "%-20s %-13s %9s %12s %9s %12s %12s %8s %8s %12s" % (
        "function", "case", "n", "undarix ns", "ns/elem", "numpy ns", "C loop ns", "x numpy", "x C", "spread %")
    print(header)
    print("-" * len(header))
    for name, label, n, t, params, harmonics in scenarios(quick):
        module_call, numpy_call, which = CASES[name]
        args = module_args(name, params, harmonics)
        key = "%s %s n=%d" % (name, label, n)
        ours = record("one thread, undarix", key, time_call(direct_call(module_call, t, args), budget))
        theirs = record("one thread, numpy", key, time_call(direct_call(numpy_call, t, args), budget))
        limit = record("one thread, C loop", key, c_loop_timing(lib, which, t, params, harmonics, budget))
        spread = "%.0f/%.0f/%.0f" % (ours.iqr_percent, theirs.iqr_percent, limit.iqr_percent)
        print("%-20s %-13s %9d %12.0f %9.2f %12.0f %12.0f %8.3f %8.3f %12s" % (
            name, label, n, ours.median, ours.median / n, theirs.median, limit.median, ours.median / theirs.median,
            ours.median / max(limit.median, 1.0), spread))
        if n == 1:
            print("%-20s %-13s %9s call at n=1 is %.2f x np.empty(1)" % ("", "", "", ours.median / baseline))
    set_threads(None)


def run_call_cost(quick):
    """The strict module's cost per call at n = 1 and n = 16 as a ratio to np.empty(1).  Batches of
    the three calls are interleaved round by round (each round in another order), and each round
    gives its own ratios, so that the machine's speed changing meanwhile meets all three alike; the
    spread is that of the rounds."""
    set_threads(1)
    rounds = 6 if quick else 60
    calls_per_batch = 300 if quick else 5000
    params = (1.5, -0.1, 2.0, 0.3, 0.5)
    calls = {"np.empty(1)": lambda: np.empty(1)}
    for n in (1, 16):
        calls["undarix n=%d" % n] = direct_call(undarix.harmonic_oscillator, np.linspace(0.0, 1.0, n), params)
    names = list(calls)
    for call in calls.values():  # warm: the module's first call loads what it keeps for the process
        call()
    load_before = os.getloadavg() if hasattr(os, "getloadavg") else None
    samples = {name: [] for name in names}
    for index in range(rounds):
        for name in names[index % len(names):] + names[:index % len(names)]:
            call = calls[name]
            start = time.perf_counter_ns()
            for _ in range(calls_per_batch):
                call()
            samples[name].append((time.perf_counter_ns() - start) / calls_per_batch)
    load_after = os.getloadavg() if hasattr(os, "getloadavg") else None
    set_threads(None)
    print("\ncall cost of undarix.harmonic_oscillator against np.empty(1): %d interleaved rounds of %d calls "
          "each; ratios per round" % (rounds, calls_per_batch))
    if load_before is not None:
        print("load average (1, 5, 15 min): %.2f %.2f %.2f before, %.2f %.2f %.2f after" % (load_before + load_after))
    baseline = samples["np.empty(1)"]
    print("%-14s %12s %10s  %s" % ("call", "ns per call", "spread %", "x np.empty(1): median [q1, q3] (min..max)"))
    for name in names:
        timing = record("call cost", name, Timing(samples[name]))
        ratio_text = ""
        if name != "np.empty(1)":
            ratios = record("call cost, ratio to np.empty(1)", name,
                            Timing([ours / empty for ours, empty in zip(samples[name], baseline)]))
            ratio_text = "%.2f [%.2f, %.2f] (%.2f..%.2f)" % (ratios.median, ratios.quantile(0.25),
                                                             ratios.quantile(0.75), ratios.minimum, ratios.maximum)
        print("%-14s %12.0f %10.0f  %s" % (name, timing.median, timing.iqr_percent, ratio_text))


def run_parallel_table(quick, lib):
    """Every thread count against one thread, NumPy, numexpr (all threads) and the C loop."""
    cpus = all_cpus()
    counts = sorted({1, 2, cpus})
    sizes = [200_000] if quick else [1_000_000, 10_000_000]
    budget = 0.05 if quick else 0.6
    runs = 3 if quick else 5
    print("\nthreads (UNDARIX_NUM_THREADS; all = %d CPUs this process may use); median times in ms per call, "
          "speed-up over one thread in brackets; spread = largest interquartile range of the row, in %% of "
          "its median" % cpus)
    columns = ["%d thr" % c for c in counts] + ["numpy", "numexpr", "C loop", "spread %"]
    header = "%-20s %10s " % ("function", "n") + " ".join("%15s" % c for c in columns)
    print(header)
    print("-" * len(header))
    rng = np.random.default_rng(3)
    for n in sizes:
        base = rng.uniform(0.0, 100.0, n)
        for name in CASES:
            module_call, numpy_call, which = CASES[name]
            params, harmonics = params_for(name)
            args = module_args(name, params, harmonics)
            key = "%s n=%d" % (name, n)
            cells = []
            timings = []
            single = None
            for count in counts:
                set_threads(count)
                timing = record("threads, undarix %d" % count, key,
                                time_call(direct_call(module_call, base, args), budget, min_runs=runs))
                timings.append(timing)
                ms = timing.median / 1e6
                single = single or ms
                cells.append("%7.2f (%4.2fx)" % (ms, single / ms))
            set_threads(None)
            timing = record("threads, numpy", key,
                            time_call(direct_call(numpy_call, base, args), budget, min_runs=runs))
            timings.append(timing)
            cells.append("%15.2f" % (timing.median / 1e6))
            if numexpr is not None:
                numexpr.set_num_threads(cpus)
                timing = record("threads, numexpr %d" % cpus, key,
                                time_call(direct_call(NUMEXPR[name], base, args), budget, min_runs=runs))
                timings.append(timing)
                cells.append("%15.2f" % (timing.median / 1e6))
            else:
                cells.append("%15s" % "-")
            timing = record("threads, C loop", key, c_loop_timing(lib, which, base, params, harmonics, budget, runs))
            timings.append(timing)
            cells.append("%15.2f" % (timing.median / 1e6))
            cells.append("%15.0f" % max(timing.iqr_percent for timing in timings))
            label = name + (" N=%d" % harmonics if harmonics else "")
            print("%-20s %10d " % (label, n) + " ".join("%15s" % c for c in cells))


PEAK_SCRIPT = r"""
import sys, numpy as np, undarix
def status(field):
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) * 1024 for line in lines if line.startswith(field + ":"))
name = sys.argv[1]
t = np.linspace(0.0, 50.0, 1_000_000)
args = {"transient_impulse": (1.5, 6.0, 0.4, 0.1), "fourier_square_wave": (1.0, -0.01, 2.0, 0.1, 0.5, 1)}
params = args.get(name, (1.0, -0.01, 2.0, 0.1, 0.5))
getattr(undarix, name)(t, *params)   # warm up: NumPy table, registry, one-time set-up of long calls
with open("/proc/self/clear_refs", "w") as clear:
    clear.write("5")                      # the peak resident size starts again from the current one
before = status("VmRSS")
out = getattr(undarix, name)(t, *params)
print(status("VmHWM") - before)
"""


# The address space a call maps at its peak, beyond what the process had mapped before it: the
# result array, and for a call on several threads the workers' stacks (and whatever else they
# would map, such as a malloc arena each).  Before it, the process has made calls on one thread
# only, so no stack of an earlier worker is cached for reuse.
ADDRESS_SCRIPT = r"""
import os, sys, numpy as np, undarix
def status(field):
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) * 1024 for line in lines if line.startswith(field + ":"))
name, threads = sys.argv[1], sys.argv[2]
t = np.linspace(0.0, 50.0, 1_000_000)
args = {"transient_impulse": (1.5, 6.0, 0.4, 0.1), "fourier_square_wave": (1.0, -0.01, 2.0, 0.1, 0.5, 1)}
params = args.get(name, (1.0, -0.01, 2.0, 0.1, 0.5))
os.environ["UNDARIX_NUM_THREADS"] = "1"
getattr(undarix, name)(t, *params)
getattr(undarix, name)(t[:10], *params)
os.environ["UNDARIX_NUM_THREADS"] = threads
before, peak_before = status("VmSize"), status("VmPeak")
out = getattr(undarix, name)(t, *params)
peak = status("VmPeak")
# VmPeak cannot be reset: when the call stays below an earlier peak, only a bound is known.
print("{:,}".format(peak - before) if peak > peak_before else "<= {:,}".format(peak_before - before))
"""


def run_memory():
    if not os.path.exists("/proc/self/status"):
        print("\npeak extra address space: needs Linux's /proc/self/status")
    else:
        print("\npeak extra address space of one call at n = 1,000,000 (the result array is 8,000,000 bytes)")
        print("  %-22s %16s %16s" % ("", "1 thread", "2 threads"))
        for name in CASES:
            cells = [subprocess.run([sys.executable, "-c", ADDRESS_SCRIPT, name, count], capture_output=True,
                                    text=True, check=True).stdout.strip() for count in ("1", "2")]
            print("  %-22s %16s %16s bytes" % (name, cells[0], cells[1]))
    if not os.path.exists("/proc/self/clear_refs"):
        print("\npeak extra memory: needs Linux's /proc/self/clear_refs")
        return
    print("\npeak extra memory of one call at n = 1,000,000 (the result array is 8,000,000 bytes)")
    print("  %-22s %16s %16s" % ("", "1 thread", "all threads"))
    for name in CASES:
        cells = []
        for count in ("1", str(all_cpus())):
            env = dict(os.environ, UNDARIX_NUM_THREADS=count)
            out = subprocess.run([sys.executable, "-c", PEAK_SCRIPT, name], capture_output=True, text=True,
                                 check=True, env=env)
            cells.append("{:,}".format(int(out.stdout.strip())))
        print("  %-22s %16s %16s bytes" % (name, cells[0], cells[1]))


def run_threads(quick):
    """Two Python threads calling at once, each call on one thread of the module's own."""
    set_threads(1)
    n = 100_000 if quick else 1_000_000
    t = np.linspace(0.0, 50.0, n)
    repeats = 1 if quick else 5

    def work():
        for _ in range(repeats):
            undarix.fourier_square_wave(t, 1.0, -0.01, 2.0, 0.1, 0.5, 3)

    start = time.perf_counter()
    work()
    work()
    sequential = time.perf_counter() - start
    threads = [threading.Thread(target=work) for _ in range(2)]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    parallel = time.perf_counter() - start
    set_threads(None)
    print("\ntwo Python threads, UNDARIX_NUM_THREADS=1, %d x fourier_square_wave(n=%d, N=3) each: sequential "
          "%.3f s, threaded %.3f s, ratio %.2f (cores: %d)" % (repeats, n, sequential, parallel,
                                                               parallel / sequential, os.cpu_count()))


INTERRUPT_SCRIPT = r"""
import signal, sys, time, numpy as np, undarix
# Started from a shell's background job, this process inherits SIGINT
# ignored, and Python then installs no handler of its own: install it.
signal.signal(signal.SIGINT, signal.default_int_handler)
t = np.linspace(0.0, 10.0, 10_000)
try:
    print("started", flush=True)
    undarix.fourier_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0, 10**6)
except KeyboardInterrupt:
    print(time.monotonic(), flush=True)
"""


def run_interrupt(quick):
    """Delay from SIGINT to KeyboardInterrupt inside a long call (CLOCK_MONOTONIC is shared by the processes)."""
    import random
    import signal
    trials = 3 if quick else 20
    print("\nCtrl-C during fourier_square_wave(10,000 points, N=10**6): delay from SIGINT to KeyboardInterrupt, "
          "%d trials" % trials)
    for count in ("1", str(all_cpus())):
        delays = []
        for _ in range(trials):
            env = dict(os.environ, UNDARIX_NUM_THREADS=count)
            child = subprocess.Popen([sys.executable, "-c", INTERRUPT_SCRIPT], stdout=subprocess.PIPE, text=True,
                                     env=env)
            child.stdout.readline()
            time.sleep(0.2 + random.random() * 0.3)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            caught = float(child.stdout.readline())
            child.wait(60)
            delays.append((caught - sent) * 1e3)
        print("  %s thread(s): median %.1f ms, worst %.1f ms" % (count, statistics.median(delays), max(delays)))


CROSSOVER_SIZES = [4096, 8192, 12288, 16384, 24576, 32768, 65536]


def run_crossover(quick):
    """Where two threads start to pay for the strict module: one thread against two
    (UNDARIX_NUM_THREADS) at each n around the split threshold, for all five functions, with
    NumPy's expression beside them.  A build splits only from its threshold (kSplitWork in
    src/parallel/split_policy.hpp), so two threads equal one below it; to see below it, build with
    UNDARIX_SPLIT_WORK=4096 (scripts/bench passes it to CMake) and set kSplitWork from the first n
    at which two threads are faster for every function."""
    sizes = CROSSOVER_SIZES[:3] if quick else CROSSOVER_SIZES
    budget = 0.02 if quick else 0.3
    runs = 5 if quick else 21
    print("\ncrossover: median microseconds per call of %d or more runs, 1 and 2 threads "
          "(UNDARIX_NUM_THREADS) and the NumPy expression; ratio = 2 threads / 1 thread; "
          "spread = interquartile range in %% of the median (1 thr/2 thr/numpy)" % runs)
    header = "%-24s %7s %10s %10s %10s %7s %14s" % ("function", "n", "1 thr", "2 thr", "numpy", "ratio", "spread %")
    print(header)
    print("-" * len(header))
    rng = np.random.default_rng(11)
    for name in CASES:
        module_call, numpy_call, _ = CASES[name]
        params, harmonics = params_for(name, harmonics=1)
        args = module_args(name, params, harmonics)
        for n in sizes:
            t = rng.uniform(0.0, 100.0, n)
            key = "%s n=%d" % (name, n)
            timings = []
            # Interleaved, so that a change in the machine's load shows in both alike.
            for count in (1, 2):
                set_threads(count)
                timings.append(record("crossover, undarix %d" % count, key,
                                      time_call(direct_call(module_call, t, args), budget, min_runs=runs)))
            set_threads(None)
            timings.append(record("crossover, numpy", key,
                                  time_call(direct_call(numpy_call, t, args), budget, min_runs=runs)))
            one, two, numpy_timing = timings
            print("%-24s %7d %10.1f %10.1f %10.1f %7.2f %14s" % (
                name + (" N=%d" % harmonics if harmonics else ""), n, one.median / 1e3, two.median / 1e3,
                numpy_timing.median / 1e3, two.median / one.median,
                "/".join("%.0f" % timing.iqr_percent for timing in timings)))


def duration_text(ns):
    """A wall time in the unit that suits it: 850 ns, 3.1 µs, 12 ms, 1.4 s."""
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3), ("ns", 1.0)):
        if ns >= scale or unit == "ns":
            return "%g %s" % (float("%.2g" % (ns / scale)), unit)


def power_text(n):
    """1, 10, 100, 1000 as written; larger powers of ten as 10^k."""
    exponent = int(round(np.log10(n))) if n > 0 else 0
    return str(n) if n < 10_000 or 10 ** exponent != n else "10^%d" % exponent


def measure_figure(quick, lib):
    """The figure's timings: for each function, time per call at each n of the module on one and on all
    threads, the NumPy expression, numexpr and the C loop, as medians and quartiles of repeated runs (the
    minimum and maximum go to --json: on a busy machine a preempted run would dwarf the band).  Plain
    numbers, so that --figure can keep them beside the image and --redraw draw it again."""
    sizes = [1, 100, 10_000, 200_000] if quick else [1, 10, 100, 1_000, 10_000, 100_000, 1_000_000, 10_000_000]
    budget = 0.02 if quick else 0.2
    min_runs = 3 if quick else 7
    cpus = all_cpus()
    panels = []
    for name in CASES:
        module_call, numpy_call, which = CASES[name]
        params, harmonics = params_for(name)
        args = module_args(name, params, harmonics)
        series = {"undarix, 1 thread": [], "undarix, %d threads" % cpus: [], "NumPy expression": [],
                  "numexpr, %d threads" % cpus: [], "plain C loop": []}
        for n in sizes:
            t = np.linspace(0.0, 100.0, n)
            key = "%s n=%d" % (name, n)
            set_threads(1)
            series["undarix, 1 thread"].append(record(
                "figure, undarix 1", key, time_call(direct_call(module_call, t, args), budget, min_runs)))
            set_threads(cpus)
            series["undarix, %d threads" % cpus].append(record(
                "figure, undarix %d" % cpus, key, time_call(direct_call(module_call, t, args), budget, min_runs)))
            set_threads(None)
            series["NumPy expression"].append(record(
                "figure, numpy", key, time_call(direct_call(numpy_call, t, args), budget, min_runs)))
            if numexpr is not None:
                numexpr.set_num_threads(cpus)
                series["numexpr, %d threads" % cpus].append(record(
                    "figure, numexpr %d" % cpus, key, time_call(direct_call(NUMEXPR[name], t, args), budget,
                                                                min_runs)))
            series["plain C loop"].append(record(
                "figure, C loop", key, c_loop_timing(lib, which, t, params, harmonics, budget, min_runs)))
        panels.append({
            "name": name, "harmonics": harmonics, "sizes": sizes,
            "series_ns_per_call": {label: {"median": [timing.median for timing in timings],
                                           "q1": [timing.quantile(0.25) for timing in timings],
                                           "q3": [timing.quantile(0.75) for timing in timings]}
                                   for label, timings in series.items() if timings}})
    return {"title": "%s, %d CPUs, Python %s, NumPy %s%s" % (
                platform.machine(), cpus, platform.python_version(), np.__version__,
                ", numexpr %s" % numexpr.__version__ if numexpr else ""),
            "min_runs": min_runs, "panels": panels}


def draw_figure(path, data):
    """Time per element against n, log-log, one panel per function: the median with the quartiles as a
    band.  Two panels a row and large text, since the docs show the image at the width of a page's text
    column (about 750 px) and on phones."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    rows = (len(data["panels"]) + 2) // 2
    with plt.rc_context({"font.size": 14, "axes.titlesize": 14, "axes.labelsize": 14, "legend.fontsize": 14,
                         "xtick.labelsize": 13, "ytick.labelsize": 13}):
        figure, grid = plt.subplots(rows, 2, figsize=(11, 4.3 * rows + 0.6), squeeze=False)
        for axis, panel in zip(grid.flat, data["panels"]):
            sizes = np.asarray(panel["sizes"], dtype=float)
            medians = []
            for label, timing in panel["series_ns_per_call"].items():
                (line,) = axis.loglog(sizes, np.asarray(timing["median"]) / sizes, marker="o", markersize=4,
                                      linewidth=2, label=label)
                axis.fill_between(sizes, np.asarray(timing["q1"]) / sizes, np.asarray(timing["q3"]) / sizes,
                                  color=line.get_color(), alpha=0.25, linewidth=0)
                medians += timing["median"]
            axis.set_title("%s%s\nmedian call %s … %s" % (
                panel["name"], " (N=%d)" % panel["harmonics"] if panel["harmonics"] else "",
                duration_text(min(medians)), duration_text(max(medians))))
            axis.set_xlabel("n (elements, %s … %s)" % (power_text(panel["sizes"][0]), power_text(panel["sizes"][-1])))
            axis.set_ylabel("ns per element")
            axis.grid(True, which="major", alpha=0.3)
        legend_axis = grid.flat[len(data["panels"])]
        legend_axis.axis("off")
        legend_axis.legend(*grid.flat[0].get_legend_handles_labels(), loc="center",
                           title="line: median of %d or more runs\nband: first to third quartile" % data["min_runs"])
        for axis in list(grid.flat)[len(data["panels"]) + 1:]:
            axis.axis("off")
        figure.suptitle(data["title"])
        figure.tight_layout()
        figure.savefig(path, dpi=90)
    plt.close(figure)
    print("\nfigure: %s" % path)


def figure_data_path(png):
    """Where --figure keeps the figure's timings: beside the image, as JSON."""
    return os.path.splitext(png)[0] + ".json"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="tiny sizes and budgets; finishes in seconds")
    parser.add_argument("--figure", metavar="PNG", help="also draw time per element against n into this file")
    parser.add_argument("--json", metavar="FILE", help="also write the summary of every timing (runs, minimum, "
                        "quartiles, maximum, in ns per call) into this file")
    parser.add_argument("--crossover", action="store_true", help="measure only where two threads start to pay "
                        "(one against two threads, n = 4,096 to 65,536, and NumPy)")
    parser.add_argument("--call-cost", action="store_true", help="measure only the cost per call at n = 1 and "
                        "n = 16 against np.empty(1), interleaved (a minute; --quick: a second)")
    parser.add_argument("--redraw", metavar="JSON", help="measure nothing: draw --figure again from the timings "
                        "an earlier --figure kept beside its image")
    options = parser.parse_args()
    if options.redraw:
        if not options.figure:
            parser.error("--redraw needs --figure PNG")
        with open(options.redraw) as stored:
            draw_figure(options.figure, json.load(stored))
        return
    print("machine: %s, %s, %d cores (%d usable); Python %s; NumPy %s; numexpr %s" % (
        platform.machine(), platform.processor() or platform.platform(), os.cpu_count(), all_cpus(),
        platform.python_version(), np.__version__, numexpr.__version__ if numexpr else "not installed"))
    started = time.perf_counter()
    if options.crossover:
        run_crossover(options.quick)
        print("\nbenchmark took %.0f s" % (time.perf_counter() - started))
        return
    if options.call_cost:
        run_call_cost(options.quick)
        return
    lib = build_c_loop()
    run_table(options.quick, lib)
    run_call_cost(options.quick)
    run_parallel_table(options.quick, lib)
    run_crossover(options.quick)
    run_memory()
    run_threads(options.quick)
    run_interrupt(options.quick)
    if options.figure:
        data = measure_figure(options.quick, lib)
        with open(figure_data_path(options.figure), "w") as out:
            json.dump(data, out, indent=1)
        draw_figure(options.figure, data)
    if options.json:
        with open(options.json, "w") as out:
            json.dump({"python": platform.python_version(), "numpy": np.__version__,
                       "numexpr": numexpr.__version__ if numexpr else None, "cpus": all_cpus(),
                       "timings_ns": RECORD}, out, indent=1)
        print("timings: %s" % options.json)
    print("\nbenchmark took %.0f s" % (time.perf_counter() - started))


if __name__ == "__main__":
    main()
