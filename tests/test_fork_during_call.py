"""A process forked from a signal handler while a call runs on several threads: the handler runs
on the calling thread, between the chunks of the call, while the worker threads are evaluating.
The child has only the calling thread; it must finish the call alone with the same bits, and never
wait for the workers it does not have."""
import os
import subprocess
import sys
import textwrap

import pytest

posix_only = pytest.mark.skipif(not hasattr(os, "fork") or sys.platform == "win32", reason="POSIX fork")

FORK_FROM_HANDLER = """
    import os, signal, threading, time, warnings
    import numpy as np, undarix
    # CPython 3.12+ warns that forking a process with threads may deadlock: that is the point.
    warnings.simplefilter("ignore", DeprecationWarning)
    NAME, SCALARS, N, SIGNAL = %(name)r, %(scalars)r, %(n)d, %(signal)r
    t = np.linspace(-40.0, 40.0, N)
    os.environ["UNDARIX_NUM_THREADS"] = "1"
    expected = getattr(undarix, NAME)(t, *SCALARS).view(np.uint64).copy()
    os.environ["UNDARIX_NUM_THREADS"] = "2"

    state = {"phase": "before", "fork": None}

    def handler(signum, frame):
        if state["fork"] is None:
            state["fork"] = (os.fork(), state["phase"])

    signal.signal(getattr(signal, SIGNAL), handler)
    if SIGNAL == "SIGALRM":
        signal.setitimer(signal.ITIMER_REAL, 0.05)
    else:
        me = os.getpid()
        threading.Timer(0.05, lambda: os.kill(me, signal.SIGUSR1)).start()
    state["phase"] = "calling"
    result = getattr(undarix, NAME)(t, *SCALARS)
    state["phase"] = "returned"
    same = bool((result.view(np.uint64) == expected).all())
    pid, phase = state["fork"]
    if pid == 0:
        # The child, born inside the call: 0 only if it finished it with the same bits.
        os._exit(0 if same and phase == "calling" else 1)
    # The parent waits for the child, but not for ever.
    deadline = time.monotonic() + 60
    code = "hung"
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done == pid:
            code = os.WEXITSTATUS(status) if os.WIFEXITED(status) else -os.WTERMSIG(status)
            break
        time.sleep(0.02)
    else:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    print(same, phase, code)
"""


@posix_only
@pytest.mark.parametrize("signal_name", ["SIGALRM", "SIGUSR1"])
@pytest.mark.parametrize("name, scalars, n", [
    # Each call runs for a few tenths of a second on two threads, well past the signal at 50 ms.
    # Chunks of many cheap elements: the workers are held between chunks.
    ("pseudo_cycloid_wave", (1.0, -0.01, 2.0, 0.1, 0.5), 8_000_000),
    # Elements of 20,000 harmonics, one per chunk: the workers are held inside an element.
    ("fourier_square_wave", (1.0, -0.01, 2.0, 0.1, 0.5, 20_000), 1_500),
    # A few harmonics an element, many elements a chunk.
    ("fourier_square_wave", (1.0, -0.01, 2.0, 0.1, 0.5, 40), 1_000_000),
])
def test_child_forked_from_a_handler_finishes_the_call_alone(signal_name, name, scalars, n):
    script = textwrap.dedent(FORK_FROM_HANDLER) % {"name": name, "scalars": scalars, "n": n,
                                                    "signal": signal_name}
    completed = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=150)
    assert completed.returncode == 0, completed.stderr
    # Parent: same bits, forked while calling; child: exit status 0 (same bits, born inside the call).
    assert completed.stdout.split() == ["True", "calling", "0"], completed.stdout + completed.stderr
