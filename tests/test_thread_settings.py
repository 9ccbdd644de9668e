"""The thread settings as both modules read them: a change of UNDARIX_NUM_THREADS, OMP_NUM_THREADS or
the affinity mask between calls takes effect at the next call; the loop calls of a ufunc sweep read
them without asking the system for the process id (nor, when a variable sets the count, for the
affinity mask); and a child forked from a thread other than the main one knows itself as the
process it is."""
import os
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import undarix
import undarix_ufuncs
from conftest import VALID_SCALARS, element_work, run_python, split_work

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
COMPILER = os.environ.get("CXX", "c++")

linux_only = pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads through /proc")

# Long calls, split into one-element chunks: 64 elements of 100,000 harmonics.
LONG_CALLS = {
    "undarix": "undarix.fourier_square_wave(np.linspace(0.0, 1.0, 64), 1.0, 0.0, 1.0, 0.0, 0.0, 100_000)",
    "undarix_ufuncs": "undarix_ufuncs.fourier_square_wave(np.linspace(0.0, 1.0, 64), 1.0, 0.0, 1.0, 0.0, 0.0, "
                      "100_000)",
}

# (UNDARIX_NUM_THREADS, OMP_NUM_THREADS, workers of the team after the call), one long call each,
# in this order, in one fresh process.  The team is kept between calls and only grows, so a call
# shows its thread count by the workers it needed beyond the ones before: each step asks for one
# more thread than the step before, through another rule.
CHANGES = [
    ("1", None, 0),
    ("2", None, 1),
    (None, "3", 2),
    ("", "4", 3),      # empty counts as unset
    ("5", "1", 4),     # UNDARIX_NUM_THREADS wins
]


@linux_only
@pytest.mark.parametrize("module", sorted(LONG_CALLS))
def test_each_change_between_calls_takes_effect_at_the_next_call(module):
    completed = run_python("""
        import os, numpy as np, undarix, undarix_ufuncs
        os.environ.pop("UNDARIX_NUM_THREADS", None)
        os.environ.pop("OMP_NUM_THREADS", None)
        before = len(os.listdir("/proc/self/task"))
        for undarix_threads, omp_threads in %r:
            for name, value in (("UNDARIX_NUM_THREADS", undarix_threads), ("OMP_NUM_THREADS", omp_threads)):
                if value is None:
                    os.environ.pop(name, None)
                else:
                    os.environ[name] = value
            %s
            print(len(os.listdir("/proc/self/task")) - before)
    """ % ([(u, o) for u, o, _ in CHANGES], LONG_CALLS[module]))
    assert [int(line) for line in completed.stdout.split()] == [extra for _, _, extra in CHANGES]


# Steps of a fresh process: Python code run before a ufunc call of 40,000 evaluations (one loop
# call, short enough for the persistent team, long enough for one thread per 4,096 of them), then
# the team threads that exist after it.  The team only grows, so each step asks for more threads
# than any before it.
TEAM_STEPS = {
    "variables": [
        ("os.environ['UNDARIX_NUM_THREADS'] = '1'", 0),
        ("os.environ['UNDARIX_NUM_THREADS'] = '3'", 2),
        ("os.environ['UNDARIX_NUM_THREADS'] = '2'", 2),
        ("del os.environ['UNDARIX_NUM_THREADS']; os.environ['OMP_NUM_THREADS'] = '4'", 3),
        ("os.environ['UNDARIX_NUM_THREADS'] = ''; os.environ['OMP_NUM_THREADS'] = '5,2'", 4),
        ("os.environ['UNDARIX_NUM_THREADS'] = '6'", 5),
    ],
    "affinity": [
        ("os.sched_setaffinity(0, cpus[:1])", 0),
        ("os.sched_setaffinity(0, cpus[:2])", 1),
    ],
}


@linux_only
@pytest.mark.parametrize("steps", sorted(TEAM_STEPS))
def test_the_team_follows_each_change_between_short_calls(steps):
    if steps == "affinity" and (not hasattr(os, "sched_setaffinity") or len(os.sched_getaffinity(0)) < 2):
        pytest.skip("needs two CPUs in the affinity mask")
    completed = run_python("""
        import os, numpy as np, undarix_ufuncs as uf
        os.environ.pop("UNDARIX_NUM_THREADS", None)
        os.environ.pop("OMP_NUM_THREADS", None)
        cpus = sorted(os.sched_getaffinity(0))
        t = np.linspace(0.0, 10.0, 40_000)
        before = len(os.listdir("/proc/self/task"))
        for change in %r:
            exec(change)
            uf.harmonic_oscillator(t, 1.0, -0.1, 2.0, 0.0, 0.5)
            print(len(os.listdir("/proc/self/task")) - before)
    """ % [change for change, _ in TEAM_STEPS[steps]])
    assert [int(line) for line in completed.stdout.split()] == [extra for _, extra in TEAM_STEPS[steps]]


@linux_only
@pytest.mark.parametrize("points", [1000, 8000])
def test_a_call_of_its_own_below_the_split_wakes_no_team_and_a_sweep_of_such_rows_does(points):
    # Waking a sleeping worker costs more than it saves below 8,192 evaluations, so a call of its
    # own that short runs on the calling thread alone; the loop calls of a sweep follow each other
    # within microseconds, so once they add up to 8,192 evaluations the team is woken (started, in
    # a fresh process).
    # 200 rows make dozens of loop calls even where NumPy buffers several rows into one, so that
    # a loaded machine cannot stretch every gap between them past the workers' spin time.
    completed = run_python("""
        import os, numpy as np, undarix_ufuncs as uf
        os.environ["UNDARIX_NUM_THREADS"] = "2"
        before = len(os.listdir("/proc/self/task"))
        t = np.linspace(0.0, 10.0, %d)
        alone = uf.harmonic_oscillator(t, 1.0, -0.1, 2.0, 0.0, 0.5)
        print(len(os.listdir("/proc/self/task")) - before)
        rows = uf.harmonic_oscillator(t[None, :], np.ones((200, 1)), -0.1, 2.0, 0.0, 0.5)
        print(len(os.listdir("/proc/self/task")) - before)
        print((rows.view(np.uint64) == alone.view(np.uint64)).all())
    """ % points)
    assert completed.stdout.split() == ["0", "1", "True"]


@linux_only
@pytest.mark.parametrize("jacobian", [False, True], ids=["value", "jacobian"])
@pytest.mark.parametrize("waveform", sorted(VALID_SCALARS))
def test_a_ufunc_call_of_its_own_splits_from_the_work_of_its_elements(waveform, jacobian):
    # Each ufunc counts its elements at their cost (a Jacobian's at twice its value's), and a call
    # of its own wakes a worker once that reaches the split threshold: one element fewer, none.
    scalars = VALID_SCALARS[waveform]
    first = -(-split_work() // element_work(waveform, scalars, jacobian))
    completed = run_python("""
        import os, time, numpy as np, undarix_ufuncs as uf
        os.environ["UNDARIX_NUM_THREADS"] = "2"
        f = getattr(uf, %r)
        before = len(os.listdir("/proc/self/task"))
        f(np.linspace(0.0, 10.0, %d), *%r)
        print(len(os.listdir("/proc/self/task")) - before)
        time.sleep(0.01)
        f(np.linspace(0.0, 10.0, %d), *%r)
        print(len(os.listdir("/proc/self/task")) - before)
    """ % (waveform + ("_jacobian" if jacobian else ""), first - 1, scalars, first, scalars))
    assert completed.stdout.split() == ["0", "1"]


# A fit's evaluations at one point and the next: the value, the Jacobian and the value again, each
# below 8,192 evaluations and all three together too (a Jacobian element counts twice its value):
# 1,300 + 2,600 + 1,300 and 2,000 + 4,000 + 2,000.
SHORT_RUNS = {
    "harmonic_oscillator": ("(1.0, -0.1, 2.0, 0.0, 0.5)", 1300),
    "transient_impulse": ("(1.0, 12.0, 0.5, 0.1)", 2000),
}


@linux_only
@pytest.mark.parametrize("waveform", sorted(SHORT_RUNS))
def test_a_short_run_of_calls_wakes_no_team_and_a_longer_one_does(waveform):
    # Calls made right after each other are a run, which splits among the workers once they are
    # awake; but a run as short as one fit iteration saves less by splitting than waking them
    # costs, so it stays on the calling thread.  A longer run of the same rows does wake them, with
    # the same bits: a sweep, whose loop calls follow each other within microseconds even where
    # Python's own work between two calls (slower under the sanitizers) would break a run.
    arguments, points = SHORT_RUNS[waveform]
    completed = run_python("""
        import os, time, numpy as np, undarix_ufuncs as uf
        os.environ["UNDARIX_NUM_THREADS"] = "2"
        value, jacobian = uf.%s, uf.%s_jacobian
        p = %s
        t = np.linspace(0.0, 20.0, %d)
        # NumPy's first call of each is slow: each is made once, on its own, far from the others.
        for warm in (lambda: value(t, *p), lambda: np.array(jacobian(t, *p))):
            warm()
            time.sleep(0.01)
        before = len(os.listdir("/proc/self/task"))
        first = value(t, *p), np.array(jacobian(t, *p)), value(t, *p)
        print(len(os.listdir("/proc/self/task")) - before)
        rows = np.array(jacobian(t[None, :], np.full((40, 1), p[0]), *p[1:]))
        print(len(os.listdir("/proc/self/task")) - before)
        print(all((rows[:, i].view(np.uint64) == first[1].view(np.uint64)).all() for i in range(40)))
    """ % (waveform, waveform, arguments, points))
    assert completed.stdout.split() == ["0", "1", "True"]


@linux_only
def test_a_run_counts_its_calls_that_no_thread_could_share():
    # A long call on one element (thousands of harmonics) cannot be split, but it is part of the
    # run it starts: the short row after it makes a run of 2,801 evaluations, too short to wake the
    # workers, whatever an earlier run (8,000 evaluations, over 2 ms before) added up to.
    completed = run_python("""
        import os, time, numpy as np, undarix_ufuncs as uf
        os.environ["UNDARIX_NUM_THREADS"] = "2"
        p = (1.0, -0.1, 2.0, 0.0, 0.5)
        earlier, row = np.linspace(0.0, 20.0, 8000), np.linspace(0.0, 20.0, 800)
        for warm in (lambda: uf.harmonic_oscillator(row, *p), lambda: uf.fourier_square_wave(0.3, *p, 2000)):
            warm()
            time.sleep(0.01)
        before = len(os.listdir("/proc/self/task"))
        for _ in range(20):
            uf.harmonic_oscillator(earlier, *p)
            time.sleep(0.002)
            uf.fourier_square_wave(0.3, *p, 2000)
            uf.harmonic_oscillator(row, *p)
            time.sleep(0.002)
        print(len(os.listdir("/proc/self/task")) - before)
    """)
    assert completed.stdout.split() == ["0"]


@pytest.fixture(scope="module")
def system_call_counter(tmp_path_factory):
    if not sys.platform.startswith("linux") or shutil.which(COMPILER) is None:
        pytest.skip("preloads a shared library built with a C++ compiler, as on Linux")
    library = str(tmp_path_factory.mktemp("counter") / "system_call_counter.so")
    subprocess.run([COMPILER, "-std=c++17", "-O1", "-shared", "-fPIC",
                    os.path.join(ROOT, "tests", "native", "system_call_counter.cpp"), "-o", library, "-ldl"],
                   check=True, timeout=300)
    return library


def counted_environment(counter, **variables):
    """The environment of a process whose system calls the preloaded counter library counts."""
    env = dict(os.environ, UNDARIX_TEST_COUNTER=counter, **variables)
    env["LD_PRELOAD"] = ":".join(filter(None, [env.get("LD_PRELOAD"), counter]))
    return env


# Sweeps whose every loop call is long enough to read the thread settings and short enough for
# the team: one parameter set per row.
SWEEPS = {
    "2000 x 1000": (2000, 1000),
    "200 x 5000": (200, 5000),
}


@pytest.mark.parametrize("threads", ["2", None], ids=["UNDARIX_NUM_THREADS=2", "unset"])
@pytest.mark.parametrize("sweep", sorted(SWEEPS))
def test_a_sweeps_loop_calls_ask_the_system_nothing(system_call_counter, sweep, threads):
    # The process id that tells a forked child from its parent, and the affinity mask that a
    # variable overrides, cost a system call each (a microsecond under a hypervisor), which a
    # sweep used to pay at each of its thousands of loop calls.
    sets, points = SWEEPS[sweep]
    env = counted_environment(system_call_counter)
    env.pop("OMP_NUM_THREADS", None)
    env.pop("UNDARIX_NUM_THREADS", None)
    if threads is not None:
        env["UNDARIX_NUM_THREADS"] = threads
    code = """
        import ctypes, os, numpy as np, undarix_ufuncs as uf
        counter = ctypes.CDLL(os.environ["UNDARIX_TEST_COUNTER"])
        counter.counted_getpid_calls.restype = counter.counted_affinity_calls.restype = ctypes.c_ulong
        rng = np.random.default_rng(0)
        t = np.linspace(0.0, 20.0, %d)[None, :]
        a, g, w = rng.uniform(0.5, 2.0, (3, %d, 1))
        expected = uf.harmonic_oscillator(t, a, -g, w, 0.3, 0.5)  # reads what is read once per process
        getpid_before, affinity_before = counter.counted_getpid_calls(), counter.counted_affinity_calls()
        for _ in range(3):
            result = uf.harmonic_oscillator(t, a, -g, w, 0.3, 0.5)
        assert (result.view(np.uint64) == expected.view(np.uint64)).all()
        print(counter.counted_getpid_calls() - getpid_before, counter.counted_affinity_calls() - affinity_before)
    """ % (points, sets)
    completed = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                               text=True, env=env, timeout=120)
    assert completed.returncode == 0, completed.stdout + completed.stderr
    getpid_calls, affinity_calls = map(int, completed.stdout.split())
    assert getpid_calls == 0
    if threads is not None:
        assert affinity_calls == 0


@pytest.mark.parametrize("module", ["undarix", "undarix_ufuncs"])
def test_a_long_calls_signal_polls_ask_the_system_nothing(system_call_counter, module):
    # A call polls for signals every few milliseconds, and a poll may fork the process (a signal
    # handler may call os.fork).  Telling the child from the parent must not cost a system call
    # per poll: on a loaded or sanitized machine even a sweep's short loop calls poll.
    env = counted_environment(system_call_counter, UNDARIX_NUM_THREADS="2")
    code = """
        import ctypes, os, time, numpy as np, %s as m
        counter = ctypes.CDLL(os.environ["UNDARIX_TEST_COUNTER"])
        counter.counted_getpid_calls.restype = ctypes.c_ulong
        t = np.linspace(0.0, 20.0, 100_000)
        m.fourier_square_wave(t, 1.0, -0.1, 2.0, 0.3, 0.5, 1)  # reads what is read once per process
        before = counter.counted_getpid_calls()
        started = time.monotonic()
        m.fourier_square_wave(t, 1.0, -0.1, 2.0, 0.3, 0.5, 3000)
        print(counter.counted_getpid_calls() - before, time.monotonic() - started)
    """ % module
    completed = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                               text=True, env=env, timeout=300)
    assert completed.returncode == 0, completed.stdout + completed.stderr
    getpid_calls, seconds = completed.stdout.split()
    assert float(seconds) > 0.1, "the call must last several poll intervals to show anything"
    assert int(getpid_calls) == 0


@pytest.mark.skipif(not hasattr(os, "fork") or sys.platform == "win32", reason="POSIX fork and signals")
@pytest.mark.parametrize("module, call", [
    ("undarix", "undarix.fourier_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0, 10**12)"),
    ("undarix_ufuncs", "undarix_ufuncs.fourier_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0, 10**12)"),
])
def test_a_child_forked_by_another_thread_runs_signal_handlers_in_a_long_call(module, call):
    # In the child the forking thread is the main thread, the one that runs signal handlers.  A
    # module that trusted what it learned in the parent (the main thread's identity, stamped with
    # the process it was read in) would never poll in the child, and the call, which would take
    # days, would run out the time limit instead of ending with KeyboardInterrupt.
    completed = run_python("""
        import os, signal, threading, warnings, numpy as np, %(module)s
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads, from 3.12
        os.environ["UNDARIX_NUM_THREADS"] = "2"
        t = np.linspace(0.0, 1.0, 64)
        %(module)s.fourier_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0, 2000)  # asks which thread is main

        def fork_and_wait():
            pid = os.fork()
            if pid == 0:
                signal.signal(signal.SIGINT, signal.default_int_handler)
                threading.Timer(0.5, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
                try:
                    %(call)s
                    os._exit(3)
                except KeyboardInterrupt:
                    os._exit(0)
            _, status = os.waitpid(pid, 0)
            print(os.WEXITSTATUS(status) if os.WIFEXITED(status) else "signal %%d" %% os.WTERMSIG(status))

        forker = threading.Thread(target=fork_and_wait)
        forker.start()
        forker.join()
    """ % {"module": module, "call": call})
    assert completed.stdout == "0\n", completed.stdout + completed.stderr
