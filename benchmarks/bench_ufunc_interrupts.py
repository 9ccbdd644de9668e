"""Ctrl-C latency of undarix_ufuncs: the time from SIGINT to KeyboardInterrupt
in a call of 10^8 elements, for each way NumPy hands the inner loops their
elements: one contiguous loop, a sweep of rows of 1000 (split among the team),
a sweep of rows of 300 (each row on the calling thread), float32 time (its
own loops, the result cast to float64 in NumPy's buffers), and int32 time cast
to float64 in NumPy's buffers.  Take the figures on an idle machine.

    python benchmarks/bench_ufunc_interrupts.py            # 10^8 elements, 5 runs per layout
    python benchmarks/bench_ufunc_interrupts.py --quick    # 10^6 elements, 1 run: checks only that it runs

Each run is a fresh interpreter that starts the call, sends itself SIGINT from
another thread once the call is under way, and reports the latency; the
median is printed per layout and thread setting (1, and all CPUs).
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from bench import all_cpus  # noqa: E402

LAYOUTS = {
    "contiguous": ("t = np.linspace(0.0, 1.0, N)", "t, 1.5"),
    "sweep, rows of 1000": ("t = np.linspace(0.0, 1.0, 1000)[None, :]; a = np.ones((N // 1000, 1))", "t, a"),
    "sweep, rows of 300": ("t = np.linspace(0.0, 1.0, 300)[None, :]; a = np.ones((N // 300, 1))", "t, a"),
    "float32 time": ("t = np.linspace(0.0, 1.0, N, dtype=np.float32)", "t, 1.5"),
    "int32 time (cast)": ("t = np.arange(N, dtype=np.int32)", "t, 1.5"),
}

RUN = """
    import json, os, signal, threading, time, numpy as np, undarix_ufuncs as uf
    N = %(n)d
    %(setup)s
    # Started from a shell's background job, this process inherits SIGINT
    # ignored, and Python then installs no handler of its own: install it.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    sent = []
    started = threading.Event()

    def interrupt():
        started.wait()
        time.sleep(%(delay)r)
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    threading.Thread(target=interrupt, daemon=True).start()
    started.set()
    try:
        uf.harmonic_oscillator(%(args)s, -0.1, 2.0, 0.3, 0.5)
        print(json.dumps(None))  # finished before the signal
    except KeyboardInterrupt:
        print(json.dumps(time.perf_counter() - sent[0]))
"""


def latency(layout, n, threads, delay):
    setup, args = LAYOUTS[layout]
    code = textwrap.dedent(RUN % {"n": n, "setup": setup, "args": args, "delay": delay})
    env = dict(os.environ, UNDARIX_NUM_THREADS=str(threads))
    completed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                               timeout=600, check=True)
    return json.loads(completed.stdout.splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="10^6 elements, one run each")
    parser.add_argument("--runs", type=int, default=5)
    options = parser.parse_args()
    n, runs, delay = (10**6, 1, 0.001) if options.quick else (10**8, options.runs, 0.5)
    print("Ctrl-C latency, SIGINT to KeyboardInterrupt, %d elements, median (min-max) of %d runs (ms)"
          % (n, runs))
    print("%-22s %18s %18s" % ("layout", "1 thread", "%d threads" % all_cpus()))
    for layout in LAYOUTS:
        cells = []
        for threads in (1, all_cpus()):
            samples = [latency(layout, n, threads, delay) for _ in range(runs)]
            measured = [s for s in samples if s is not None]
            if measured:
                cells.append("%18s" % ("%.1f (%.1f-%.1f)" % (1e3 * statistics.median(measured), 1e3 * min(measured),
                                                              1e3 * max(measured))))
            else:
                cells.append("%18s" % "finished")
        print("%-22s %s" % (layout, " ".join(cells)))


if __name__ == "__main__":
    main()
