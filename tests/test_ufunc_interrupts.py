"""Ctrl-C during a ufunc call stops it in every layout NumPy hands the loops: one long loop, a sweep of
short rows, rows split among the team, time cast through NumPy's buffers.  The interrupt comes from a
one-shot timer of the process's own CPU time (ITIMER_VIRTUAL), so it arrives after the same amount of
work however loaded the machine is; the elements still holding their sentinel afterwards show how much
of the call ran after it.  Each case runs in a fresh interpreter."""
import json
import sys

import pytest

from conftest import run_python

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals and interval timers")

# Each layout takes about half a second of CPU time or more when it runs to the end, and the timer
# fires after 10 ms of it: on two threads the timer counts both, and a stop some tens of
# milliseconds of wall time later must still leave most of the call undone.  (NumPy 2 may gather
# rows much shorter than these into its buffers, which makes them one long loop.)
LAYOUTS = {
    # One long loop (the chunked loop's own polling).
    "contiguous": ("t = np.linspace(0.0, 1.0, 1_600_000)", "fourier_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0, 20)",
                   "out = np.empty(1_600_000)"),
    # A sweep of rows too short to be split: each loop call runs on the calling thread alone.
    "rows of 300": ("t = np.linspace(0.0, 1.0, 300)[None, :]; a = np.ones((80_000, 1))",
                    "fourier_square_wave(t, a, 0.0, 1.0, 0.0, 0.0, 1)", "out = np.empty((80_000, 300))"),
    # A sweep of rows each split among the team.
    "rows of 1000": ("t = np.linspace(0.0, 1.0, 1000)[None, :]; a = np.ones((8_000, 1))",
                     "fourier_square_wave(t, a, 0.0, 1.0, 0.0, 0.0, 3)", "out = np.empty((8_000, 1000))"),
    # int32 time, cast to float64 in NumPy's buffers of 8192 elements.  (float32 time has loops of its
    # own; a cast output is no use here: after an error NumPy still copies its stale buffers out.)
    "cast input": ("t = np.arange(12_000_000, dtype=np.int32)",
                     "fourier_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0, 3)", "out = np.empty(12_000_000)"),
}

SCRIPT = """
    import json, signal, numpy as np, undarix_ufuncs as uf
    %(setup)s
    %(out)s
    SENTINEL = np.uint64(0x7FF8DEADBEEF0001)  # a NaN no formula produces
    out.reshape(-1).view(np.uint64)[:] = SENTINEL
    handled = []

    def interrupt(signum, frame):
        handled.append(signum)
        raise KeyboardInterrupt

    signal.signal(signal.SIGVTALRM, interrupt)
    signal.setitimer(signal.ITIMER_VIRTUAL, 0.01)
    try:
        uf.%(call)s
        outcome = "finished"
    except KeyboardInterrupt:
        outcome = "interrupted"
    signal.setitimer(signal.ITIMER_VIRTUAL, 0)
    untouched = int((out.reshape(-1).view(np.uint64) == SENTINEL).sum())
    # The next call is whole and exact.
    again = uf.%(call_again)s
    print(json.dumps([outcome, len(handled), untouched / out.size, bool((again.view(np.uint64) == SENTINEL).any())]))
"""


@pytest.mark.parametrize("threads", ["1", "2"])
@pytest.mark.parametrize("layout", sorted(LAYOUTS))
def test_ctrl_c_stops_the_call_in_every_layout(layout, threads, monkeypatch):
    setup, call, out = LAYOUTS[layout]
    monkeypatch.setenv("UNDARIX_NUM_THREADS", threads)
    completed = run_python(SCRIPT % {"setup": setup, "out": out, "call": call[:-1] + ", out=out)",
                                     "call_again": call})
    outcome, handled, untouched, sentinel_left = json.loads(completed.stdout.splitlines()[-1])
    assert (outcome, handled, sentinel_left) == ("interrupted", 1, False), completed.stdout
    # Most of the call never ran: it stopped within a few milliseconds of work of the signal.
    assert untouched > 0.5, untouched


OVERFLOWING = """
    import signal, numpy as np, undarix_ufuncs as uf
    %(setup)s

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGVTALRM, interrupt)
    signal.setitimer(signal.ITIMER_VIRTUAL, 0.01)
    try:
        with np.errstate(over=%(over)r):
            uf.%(call)s
        outcome = "finished"
    except KeyboardInterrupt:
        outcome = "KeyboardInterrupt"
    except BaseException as exc:
        outcome = "%%s: %%s" %% (type(exc).__name__, exc)
    print(outcome)
"""


@pytest.mark.parametrize("over", ["warn", "raise"])
@pytest.mark.parametrize("threads", ["1", "2"])
@pytest.mark.parametrize("layout", ["contiguous", "rows of 300", "rows of 1000"])
def test_ctrl_c_during_a_call_that_overflows_arrives_as_itself(layout, threads, over, monkeypatch):
    # The envelope overflows (gamma 1,000 over times up to 1), so the loops raise the "overflow"
    # flag as they go.  The interrupt must reach the caller as the KeyboardInterrupt it is: not as
    # NumPy's FloatingPointError, nor as the SystemError of a warning given over a pending
    # exception, which a floating-point check after the failed loop made of it.
    setup, call, _ = LAYOUTS[layout]
    monkeypatch.setenv("UNDARIX_NUM_THREADS", threads)
    call = call.replace(", 0.0, 1.0, 0.0, 0.0,", ", 1000.0, 1.0, 0.0, 0.0,", 1)
    completed = run_python(OVERFLOWING % {"setup": setup, "call": call, "over": over})
    assert completed.stdout.splitlines()[-1] == "KeyboardInterrupt", completed.stdout + completed.stderr
