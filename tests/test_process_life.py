"""Long calls in the life of a process: Ctrl-C, fork, and interpreter exit while daemon threads
are inside a call.  Each runs in a fresh interpreter."""
import os
import signal
import subprocess
import sys
import textwrap

import pytest

from conftest import run_python

TESTS = os.path.dirname(os.path.abspath(__file__))
posix_only = pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals and fork")


@posix_only
@pytest.mark.parametrize("threads", ["1", "2"])
@pytest.mark.parametrize("call", [
    # Each would run for minutes: many harmonics per element, or a few elements of a huge count.
    "undarix.fourier_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0, 10**6)",
    "undarix.fourier_square_wave(t[:2], 1.0, 0.0, 1.0, 0.0, 0.0, 10**12)",
])
def test_ctrl_c_stops_a_long_call(threads, call):
    script = textwrap.dedent("""
        import sys, numpy as np, undarix
        sys.path.insert(0, %r)
        from conftest import BorrowApi
        t = np.linspace(0.0, 10.0, 10_000)
        print("started", flush=True)
        try:
            %s
            print("finished")
        except KeyboardInterrupt:
            print("interrupted")
        api = BorrowApi()
        print("exclusive borrow", api.acquire_exclusive(t))  # 0: nothing was left borrowed
        api.release_exclusive(t)
        print("next call", undarix.fourier_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0, 3).size)
    """) % (TESTS, call)
    env = dict(os.environ, UNDARIX_NUM_THREADS=threads)
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, env=env)
    try:
        assert child.stdout.readline() == "started\n"
        # Let the call get well under way (a missed signal would leave it running for minutes).
        try:
            child.wait(timeout=0.5)
        except subprocess.TimeoutExpired:
            pass
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
    assert out.splitlines() == ["interrupted", "exclusive borrow 0", "next call 10000"], err
    assert child.returncode == 0, err


@posix_only
@pytest.mark.parametrize("method", ["os.fork", "multiprocessing"])
def test_parallel_calls_after_fork(method):
    completed = run_python("""
        import os, multiprocessing, numpy as np, undarix
        os.environ["UNDARIX_NUM_THREADS"] = "3"
        t = np.linspace(-30.0, 30.0, 600_001)
        expected = undarix.pseudo_cycloid_wave(t, 1.0, -0.01, 2.0, 0.1, 0.5)

        def child(queue=None):
            ok = all((undarix.pseudo_cycloid_wave(t, 1.0, -0.01, 2.0, 0.1, 0.5).view(np.uint64)
                      == expected.view(np.uint64)).all() for _ in range(3))
            if queue is None:
                os._exit(0 if ok else 3)
            queue.put(ok)

        if %r == "os.fork":
            pid = os.fork()
            if pid == 0:
                child()
            _, status = os.waitpid(pid, 0)
            print("child exit", os.waitstatus_to_exitcode(status) if hasattr(os, "waitstatus_to_exitcode")
                  else status >> 8)
        else:
            context = multiprocessing.get_context("fork")
            queue = context.Queue()
            process = context.Process(target=child, args=(queue,))
            process.start()
            print("child exit", 0 if queue.get(timeout=60) else 3)
            process.join(60)
        print("parent", (undarix.pseudo_cycloid_wave(t, 1.0, -0.01, 2.0, 0.1, 0.5).view(np.uint64)
                         == expected.view(np.uint64)).all())
    """ % method)
    assert completed.stdout.splitlines() == ["child exit 0", "parent True"]


EXIT_WHILE_INSIDE = """
    import os, sys, threading, time, numpy as np, %s as module

    calls = [[0, 0], [0, 0]]  # per daemon thread: calls begun, calls returned

    class SlowToDelete:
        # Keeps finalisation busy long enough for the daemon threads to ask for the lock.  What it
        # uses is bound when it is defined: at finalisation the module's globals may be None.
        def __del__(self, sleep=time.sleep, write=os.write, calls=calls):
            inside = [begun > returned for begun, returned in calls]
            sleep(0.5)
            write(1, ("inside a call at finalisation: %%s\\n" %% inside).encode())

    sys.slow_to_delete = SlowToDelete()
    t = np.linspace(0.0, 100.0, %d)

    def loop(count):
        while True:
            count[0] += 1
            module.%s(t, *%r)
            count[1] += 1

    for count in calls:
        threading.Thread(target=loop, args=(count,), daemon=True).start()
    time.sleep(0.3)
"""


MODULES = ["undarix", "undarix_ufuncs"]


@pytest.mark.parametrize("threads", ["1", "2"])
@pytest.mark.parametrize("name, n, scalars", [
    # Threads started for the call (ufuncs: a long loop).
    ("harmonic_oscillator", 200_000, (1.0, -0.1, 2.0, 0.3, 0.5)),
    # Strict module: one thread, lock given up; ufuncs: the team.
    ("harmonic_oscillator", 20_000, (1.0, -0.1, 2.0, 0.3, 0.5)),
    # Few long elements (ufuncs: NumPy keeps the lock, the driver gives it up).
    ("fourier_square_wave", 40, (1.0, -0.1, 2.0, 0.3, 0.5, 300_000)),
])
@pytest.mark.parametrize("module", MODULES)
def test_interpreter_exit_while_daemon_threads_are_inside_a_call(module, threads, name, n, scalars):
    # CPython ends a daemon thread that asks for the interpreter lock during finalisation; the
    # process must exit as it would without the module, every time.  The finaliser shows that the
    # daemon threads were inside a call (the lock reaches the exiting thread when a call gives it
    # up) and that finalisation waited for them to ask for the lock back.  A thread may also be
    # caught between two calls, where the interpreter's switch interval can take the lock from it;
    # on a loaded machine, where a thread is often preempted while it holds the lock, both may be.
    # So every process must exit cleanly, and at least one of the six must have had a thread
    # inside a call (none would, were the calls to keep the lock).
    script = textwrap.dedent(EXIT_WHILE_INSIDE % (module, n, name, scalars))
    env = dict(os.environ, UNDARIX_NUM_THREADS=threads)
    children = [subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True, env=env) for _ in range(6)]
    seen = []
    for child in children:
        try:
            out, err = child.communicate(timeout=60)
        finally:
            child.kill()
        assert (child.returncode, err) == (0, "")
        assert out in ("inside a call at finalisation: [True, True]\n",
                       "inside a call at finalisation: [True, False]\n",
                       "inside a call at finalisation: [False, True]\n",
                       "inside a call at finalisation: [False, False]\n")
        seen.append(out)
    assert any("True" in out for out in seen), seen


# A daemon thread is inside a call, in Python code the module called (the call's hook gives the
# lock up: a sleep, as writing a warning to a pipe would), when the main thread begins to
# finalise the interpreter; a slow finaliser keeps finalisation going while the thread wakes and
# asks for the lock back, and CPython (3.8 to 3.13) ends it there by unwinding its stack through
# the module's frames.  References the module holds on the way must be queued, not released
# without the lock: with PYTHONMALLOC=debug a release that frees an object aborts the process,
# and a release that frees nothing shows as a reference count that changed while the finaliser
# waited (every call holds float64's dtype while it converts its arguments).
ENDED_INSIDE_PYTHON_CODE = """
    import os, sys, threading, time, warnings, numpy as np, %s

    inside = threading.Event()
    returned = []

    def pause():
        inside.set()
        time.sleep(0.3)

    t = np.linspace(0.0, 1.0, 1_000_000)
    %s

    def run():
        try:
            call()
        except BaseException:
            pass
        returned.append(True)

    threading.Thread(target=run, daemon=True).start()
    assert inside.wait(30)

    class SlowFinaliser:
        def __del__(self, sleep=time.sleep, write=os.write, count=sys.getrefcount, dtype=np.dtype("float64"),
                    inside=inside, returned=returned):
            before = count(dtype)
            sleep(1.0)
            write(1, ("inside %%s, returned %%s, dtype references %%+d\\n"
                      %% (inside.is_set(), bool(returned), count(dtype) - before)).encode())

    sys.modules["slow_finaliser_holder"] = SlowFinaliser()
"""

STRICT_HOOKS = {
    # The warning about a bad thread setting is shown by a showwarning that gives the lock up.
    "warning": """
    os.environ["UNDARIX_NUM_THREADS"] = "bogus"
    warnings.showwarning = lambda *a, **k: pause()
    def call():
        undarix.harmonic_oscillator(t, 1.0, 0.0, 1.0, 0.0, 0.0)
    """,
    "__float__": """
    class Phase:
        def __float__(self):
            pause()
            return 0.0
    def call():
        undarix.harmonic_oscillator(t, 1.0, 0.0, 1.0, Phase(), 0.0)
    """,
    "__index__": """
    class Harmonics:
        def __index__(self):
            pause()
            return 3
    def call():
        undarix.fourier_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0, Harmonics())
    """,
    # An argument's conversion fails with a TypeError whose text the module asks for.
    "__str__": """
    class SlowText:
        def __str__(self):
            pause()
            return "no float here"
    class Phase:
        def __float__(self):
            raise TypeError(SlowText())
    def call():
        undarix.harmonic_oscillator(t, 1.0, 0.0, 1.0, Phase(), 0.0)
    """,
}


# The ufunc module calls Python code of its own only for the warning (and signal handlers, which run
# on the main thread, which CPython never ends); NumPy calls __float__ and __index__ while it casts
# object arrays between two loop calls, with the module's thread state left as a loop call left it.
# It never asks for an exception's text, so __str__ has no counterpart.
UFUNC_HOOKS = {
    "warning": """
    os.environ["UNDARIX_NUM_THREADS"] = "bogus"
    warnings.showwarning = lambda *a, **k: pause()
    def call():
        undarix_ufuncs.harmonic_oscillator(t, 1.0, 0.0, 1.0, 0.0, 0.0)
    """,
    # The same, met by the first row of a sweep (a row reads the settings from 768 evaluations on).
    "warning, sweep": """
    os.environ["UNDARIX_NUM_THREADS"] = "bogus"
    warnings.showwarning = lambda *a, **k: pause()
    def call():
        undarix_ufuncs.harmonic_oscillator(t[None, :1000], np.ones((1000, 1)), 0.0, 1.0, 0.0, 0.0)
    """,
    "__float__": """
    class Phase:
        def __float__(self):
            pause()
            return 0.0
    def call():
        undarix_ufuncs.harmonic_oscillator(t, 1.0, 0.0, 1.0, np.array(Phase(), dtype=object), 0.0,
                                           casting="unsafe", dtype=np.float64)
    """,
    "__index__": """
    class Harmonics:
        def __index__(self):
            pause()
            return 3
    def call():
        undarix_ufuncs.fourier_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0, np.array(Harmonics(), dtype=object),
                                           casting="unsafe", signature=(np.float64,) * 6 + (np.int64, np.float64))
    """,
}

HOOKS = {"undarix": STRICT_HOOKS, "undarix_ufuncs": UFUNC_HOOKS}


@posix_only
@pytest.mark.parametrize("module, hook", [(module, hook) for module in MODULES for hook in sorted(HOOKS[module])])
def test_thread_ended_at_exit_inside_python_code_called_during_a_call(module, hook):
    body = textwrap.indent(textwrap.dedent(HOOKS[module][hook]), "    ")
    script = textwrap.dedent(ENDED_INSIDE_PYTHON_CODE % (module, body.strip()))
    env = dict(os.environ, PYTHONMALLOC="debug")
    children = [subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True, env=env) for _ in range(3)]
    for child in children:
        try:
            out, err = child.communicate(timeout=60)
        finally:
            child.kill()
        assert (child.returncode, err) == (0, "")
        assert out == "inside True, returned False, dtype references +0\n"
