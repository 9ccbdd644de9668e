"""Speed and memory of undarix against the NumPy expression a user would write
and against a plain C loop over the same C runtime calls.

    python benchmarks/bench.py            # full run, about three minutes
    python benchmarks/bench.py --quick    # seconds; checks only that it all runs
"""

import argparse
import ctypes
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


def median_ns(call, budget_s, min_runs=5):
    """Median wall time of one call, in nanoseconds, batching fast calls."""
    start = time.perf_counter()
    call()
    once = time.perf_counter() - start
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
    return statistics.median(samples)


def c_loop_ns(lib, which, t, params, harmonics, budget_s):
    out = np.empty_like(t)
    p = np.asarray(params, dtype=np.float64)
    single = np.empty(1)
    lib.run_loop(which, t.ctypes.data, out.ctypes.data, t.size, p.ctypes.data, harmonics, 1, single.ctypes.data)
    repeats = int(min(2000, max(5, budget_s * 1e9 / max(single[0], 1.0))))
    times = np.empty(repeats)
    lib.run_loop(which, t.ctypes.data, out.ctypes.data, t.size, p.ctypes.data, harmonics, repeats,
                 times.ctypes.data)
    return float(np.median(times))


def scenarios(quick):
    sizes = [1, 16, 256, 4096] if quick else [1, 16, 256, 4096, 65536, 1_000_000]
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


def run_table(quick, lib):
    budget = 0.02 if quick else 0.25
    baseline = median_ns(lambda: np.empty(1), budget)
    print("np.empty(1): %.0f ns per call" % baseline)
    header = "%-20s %-13s %9s %12s %9s %12s %12s %8s %8s" % (
        "function", "case", "n", "undarix ns", "ns/elem", "numpy ns", "C loop ns", "x numpy", "x C")
    print(header)
    print("-" * len(header))
    for name, label, n, t, params, harmonics in scenarios(quick):
        module_call, numpy_call, which = CASES[name]
        args = params + ((harmonics,) if name == "fourier_square_wave" else ())
        ours = median_ns(direct_call(module_call, t, args), budget)
        theirs = median_ns(direct_call(numpy_call, t, args), budget)
        limit = c_loop_ns(lib, which, t, params, harmonics, budget)
        print("%-20s %-13s %9d %12.0f %9.2f %12.0f %12.0f %8.3f %8.3f" % (
            name, label, n, ours, ours / n, theirs, limit, ours / theirs, ours / max(limit, 1.0)))
        if n == 1:
            print("%-20s %-13s %9s call at n=1 is %.2f x np.empty(1)" % ("", "", "", ours / baseline))


PEAK_SCRIPT = r"""
import resource, sys, numpy as np, undarix
name = sys.argv[1]
t = np.linspace(0.0, 50.0, 1_000_000)
args = {"transient_impulse": (1.5, 6.0, 0.4, 0.1), "fourier_square_wave": (1.0, -0.01, 2.0, 0.1, 0.5, 1)}
params = args.get(name, (1.0, -0.01, 2.0, 0.1, 0.5))
getattr(undarix, name)(t[:10], *params)   # warm up: NumPy table, registry
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
out = getattr(undarix, name)(t, *params)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print((after - before) * 1024)
"""


def run_memory():
    print("\npeak extra memory of one call at n = 1,000,000 (working buffer + result = 16,000,000 bytes)")
    for name in CASES:
        out = subprocess.run([sys.executable, "-c", PEAK_SCRIPT, name], capture_output=True, text=True, check=True)
        print("  %-22s %12s bytes" % (name, "{:,}".format(int(out.stdout.strip()))))


def run_threads(quick):
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
    print("\ntwo threads, %d x fourier_square_wave(n=%d, N=3) each: sequential %.3f s, threaded %.3f s, "
          "ratio %.2f (cores: %d)" % (repeats, n, sequential, parallel, parallel / sequential, os.cpu_count()))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="tiny sizes and budgets; finishes in seconds")
    options = parser.parse_args()
    print("machine: %s, %s, %d cores; Python %s; NumPy %s" % (
        platform.machine(), platform.processor() or platform.platform(), os.cpu_count(),
        platform.python_version(), np.__version__))
    lib = build_c_loop()
    run_table(options.quick, lib)
    run_memory()
    run_threads(options.quick)


if __name__ == "__main__":
    main()
