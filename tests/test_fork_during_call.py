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
    import numpy as np, %(module)s as module
    # CPython 3.12+ warns that forking a process with threads may deadlock: that is the point.
    warnings.simplefilter("ignore", DeprecationWarning)
    NAME, S, N, ROWS, SIGNAL = %(name)r, %(scalars)r, %(n)d, %(rows)d, %(signal)r
    f = getattr(module, NAME)
    if ROWS:
        # A sweep: one row of N time points for each of ROWS amplitudes.
        t = np.linspace(-40.0, 40.0, N)[None, :]
        args = (np.linspace(0.5, 1.5, ROWS)[:, None],) + tuple(S[1:])
    else:
        t = np.linspace(-40.0, 40.0, N)
        args = tuple(S)
    os.environ["UNDARIX_NUM_THREADS"] = "1"
    expected = f(t, *args).view(np.uint64).copy()
    os.environ["UNDARIX_NUM_THREADS"] = "2"
    # The ufuncs write into out=, filled with NaN first: elements still NaN when the handler runs
    # show that it ran inside the call, not just after it returned.
    out = {"out": np.full(expected.shape, np.nan)} if %(module)r == "undarix_ufuncs" else {}

    state = {"phase": "before", "fork": None}

    def handler(signum, frame):
        if state["fork"] is None:
            unwritten = int(np.isnan(out["out"]).sum()) if out else None
            state["fork"] = (os.fork(), state["phase"], unwritten != 0)

    signal.signal(getattr(signal, SIGNAL), handler)
    if SIGNAL == "SIGALRM":
        signal.setitimer(signal.ITIMER_REAL, 0.05)
    else:
        me = os.getpid()
        threading.Timer(0.05, lambda: os.kill(me, signal.SIGUSR1)).start()
    state["phase"] = "calling"
    result = f(t, *args, **out)
    state["phase"] = "returned"
    same = bool((result.view(np.uint64) == expected).all())
    pid, phase, inside = state["fork"]
    if pid == 0:
        # The child, born inside the call: 0 only if it finished it with the same bits.
        os._exit(0 if same and phase == "calling" and inside else 1)
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
    print(same, phase, code, inside)
"""

# Each call runs for a few tenths of a second on two threads, well past the signal at 50 ms.
CALLS = {
    # Chunks of many cheap elements: the workers are held between chunks.
    "cheap elements": ("pseudo_cycloid_wave", (1.0, -0.01, 2.0, 0.1, 0.5), 8_000_000, 0),
    # Elements of 20,000 harmonics, one per chunk: the workers are held inside an element.
    "costly elements": ("fourier_square_wave", (1.0, -0.01, 2.0, 0.1, 0.5, 20_000), 1_500, 0),
    # A few harmonics an element, many elements a chunk.
    "a few harmonics": ("fourier_square_wave", (1.0, -0.01, 2.0, 0.1, 0.5, 40), 1_000_000, 0),
    # The ufuncs' sweep: NumPy hands over one row at a time, each shared by the worker team.
    "sweep of rows": ("pseudo_cycloid_wave", (1.0, -0.01, 2.0, 0.1, 0.5), 1_000, 8_000),
    "sweep of costly rows": ("fourier_square_wave", (1.0, -0.01, 2.0, 0.1, 0.5, 2_000), 1_000, 40),
}


def module_calls():
    for call, (_, _, _, rows) in CALLS.items():
        if not rows:
            yield pytest.param("undarix", call, id="undarix-" + call)
        yield pytest.param("undarix_ufuncs", call, id="undarix_ufuncs-" + call)


@posix_only
@pytest.mark.parametrize("signal_name", ["SIGALRM", "SIGUSR1"])
@pytest.mark.parametrize("module, call", list(module_calls()))
def test_child_forked_from_a_handler_finishes_the_call_alone(signal_name, module, call):
    name, scalars, n, rows = CALLS[call]
    script = textwrap.dedent(FORK_FROM_HANDLER) % {"module": module, "name": name, "scalars": scalars, "n": n,
                                                    "rows": rows, "signal": signal_name}
    completed = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=150)
    assert completed.returncode == 0, completed.stderr
    # Parent: same bits, forked while calling (with elements left to write, where that shows);
    # child: exit status 0 (same bits, born inside the call).
    assert completed.stdout.split() == ["True", "calling", "0", "True"], completed.stdout + completed.stderr
