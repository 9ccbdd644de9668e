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


# Calls each below the split, made right after each other in a Python loop, as a fit makes them:
# a value, a Jacobian (each element twice the work) and a value again, at 1,300 points.
QUICK_CALLS = {
    "harmonic_oscillator": "(1.0, -0.1, 2.0, 0.0, 0.5)",
    "transient_impulse": "(1.0, 12.0, 0.5, 0.1)",
}


@linux_only
@pytest.mark.parametrize("waveform", sorted(QUICK_CALLS))
def test_how_a_call_is_split_depends_on_that_call_alone(waveform):
    # However closely calls follow each other, each is planned on its own work: a quick loop of
    # calls below the split never wakes the team, and a call that reaches it does, whatever came
    # before.  (A plan that took the clock and earlier calls' work for a "run" split the loop.)
    completed = run_python("""
        import os, numpy as np, undarix_ufuncs as uf
        os.environ["UNDARIX_NUM_THREADS"] = "2"
        value, jacobian = uf.%s, uf.%s_jacobian
        p = %s
        t = np.linspace(0.0, 20.0, 1300)
        before = len(os.listdir("/proc/self/task"))
        for _ in range(200):
            value(t, *p), jacobian(t, *p), value(t, *p)
        print(len(os.listdir("/proc/self/task")) - before)
        value(np.linspace(0.0, 20.0, 20_000), *p)
        print(len(os.listdir("/proc/self/task")) - before)
    """ % (waveform, waveform, QUICK_CALLS[waveform]))
    assert completed.stdout.split() == ["0", "1"]


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


@linux_only
def test_both_modules_share_one_team_of_at_most_the_configured_threads():
    # A strict call and a ufunc call made at the same time: one runs on the team, the other on its
    # own thread, and the process never holds more workers than the setting allows beside the
    # callers.  (With a team per module it held two teams' worth.)
    completed = run_python("""
        import os, threading, numpy as np, undarix, undarix_ufuncs as uf
        os.environ["UNDARIX_NUM_THREADS"] = "4"
        t = np.linspace(0.0, 1.0, 64)
        start = threading.Barrier(2)

        callers_ids = set()

        def calls(function):
            callers_ids.add(str(threading.get_native_id()))
            start.wait()
            for _ in range(3):
                function(t, 1.0, 0.0, 1.0, 0.0, 0.0, 100_000)

        callers = [threading.Thread(target=calls, args=(f,)) for f in (undarix.fourier_square_wave,
                                                                     uf.fourier_square_wave)]
        before = set(os.listdir("/proc/self/task"))
        for caller in callers:
            caller.start()
        for caller in callers:
            caller.join()
        # join() returns once a caller's Python state is gone; its thread may
        # still be ending (up to CPython 3.12), so callers are not counted.
        print(len(set(os.listdir("/proc/self/task")) - before - callers_ids))
    """)
    assert completed.stdout.split() == ["3"]


@linux_only
def test_a_team_grown_once_costs_only_the_threads_each_task_uses():
    # After one call on 8 threads, sweeps on 2 wake one worker and leave the six others asleep
    # (each of them used to spin again at every row), and an idle team costs no CPU time at all.
    completed = run_python("""
        import os, resource, time, numpy as np, undarix_ufuncs as uf

        def cpu_ticks():
            ticks = {}
            for tid in os.listdir("/proc/self/task"):
                with open("/proc/self/task/%s/stat" % tid) as stat:
                    ticks[tid] = sum(map(int, stat.read().rsplit(")", 1)[1].split()[11:13]))
            return ticks

        os.environ["UNDARIX_NUM_THREADS"] = "8"
        before = set(os.listdir("/proc/self/task"))
        uf.fourier_square_wave(np.linspace(0.0, 1.0, 64), 1.0, 0.0, 1.0, 0.0, 0.0, 100_000)
        workers = set(os.listdir("/proc/self/task")) - before
        os.environ["UNDARIX_NUM_THREADS"] = "2"
        t, a = np.linspace(0.0, 20.0, 1000)[None, :], np.ones((2000, 1))
        start = cpu_ticks()
        for _ in range(5):
            uf.harmonic_oscillator(t, a, -0.1, 2.0, 0.0, 0.5)
        end = cpu_ticks()
        woken = sum(1 for tid in workers if end[tid] - start[tid] >= 3)
        time.sleep(0.05)  # past the workers' spin
        idle = resource.getrusage(resource.RUSAGE_SELF)
        time.sleep(0.5)
        after = resource.getrusage(resource.RUSAGE_SELF)
        print(len(workers), woken, after.ru_utime + after.ru_stime - idle.ru_utime - idle.ru_stime < 0.02)
    """)
    workers, woken, idle_costs_nothing = completed.stdout.split()
    assert (workers, idle_costs_nothing) == ("7", "True")
    assert int(woken) <= 1
