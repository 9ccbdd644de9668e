"""Python threads calling the ufuncs, their Jacobians and fit all at once.  On a
free-threaded CPython they run truly in parallel, each with its own first use of the
module's caches; with the interpreter lock they interleave.  Either way every result must
be a serial call's, bit for bit.  And on a free-threaded build: undarix_ufuncs keeps the
GIL off, while importing the strict module turns it on, with CPython's warning."""
import os
import subprocess
import sys
import sysconfig
import textwrap
import threading

import numpy as np
import pytest

import undarix_fit
import undarix_ufuncs
from conftest import ALL_FUNCTIONS, VALID_SCALARS, bits, split_work
from fit_signals import EXTRA, signal

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
THREADS = 8
ROUNDS = 3


def fit_outcome(name):
    time, data, _, _ = signal(name, points=240, seed=7)
    result = undarix_fit.fit(name, time, data, **EXTRA.get(name, {}))
    return (np.array(list(result.params.values())), np.asarray(result.covariance, dtype=np.float64),
            np.asarray(result.residuals))


def workload():
    """(label, call) pairs; each call returns a tuple of float64 arrays.  A long array of
    times, which is split among the worker team's threads when a caller gets the team, and
    a sweep over a column of amplitudes, which NumPy hands over row by row."""
    long_time = np.linspace(-5.0, 60.0, 3 * split_work() + 7)
    sweep_time = np.linspace(0.0, 30.0, 257)[None, :]
    amplitudes = (np.arange(24.0) / 8.0 - 1.0)[:, None]
    calls = []
    for name in ALL_FUNCTIONS:
        scalars = VALID_SCALARS[name]
        for ufunc in (getattr(undarix_ufuncs, name), getattr(undarix_ufuncs, name + "_jacobian")):
            calls.append((ufunc.__name__ + " long", lambda u=ufunc, s=scalars: u(long_time, *s)))
            calls.append((ufunc.__name__ + " sweep", lambda u=ufunc, s=scalars: u(sweep_time, amplitudes, *s[1:])))
    for name in ("harmonic_oscillator", "transient_impulse"):
        calls.append(("fit " + name, lambda n=name: fit_outcome(n)))
    return calls


def patterns(outcome):
    return tuple(bits(array).tobytes() for array in (outcome if isinstance(outcome, tuple) else (outcome,)))


def test_threads_calling_everything_at_once_get_the_serial_bits():
    calls = workload()
    serial = {label: patterns(call()) for label, call in calls}
    start = threading.Barrier(THREADS)
    got = [[] for _ in range(THREADS)]
    failures = []

    def worker(index):
        try:
            start.wait()
            for round_ in range(ROUNDS):
                # Every thread in another order, so that each call meets others of every kind.
                shift = (index * 5 + round_) % len(calls)
                for label, call in calls[shift:] + calls[:shift]:
                    got[index].append((label, patterns(call())))
        except BaseException as failure:  # reported below, with the thread that raised it
            failures.append((index, repr(failure)))

    threads = [threading.Thread(target=worker, args=(index,)) for index in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    for results in got:
        assert len(results) == ROUNDS * len(calls)
        differing = sorted({label for label, result in results if result != serial[label]})
        assert differing == []


def interpreter(code, **environment):
    """Runs `code` in a fresh interpreter whose environment has no PYTHON_GIL (CPython's
    override of the modules' declarations) unless given; returns its standard output."""
    env = {key: value for key, value in os.environ.items() if key != "PYTHON_GIL"}
    env.update(environment)
    completed = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                               env=env, timeout=120)
    assert completed.returncode == 0, completed.stderr
    return completed.stdout


GIL_REPORT = """
    import sys, warnings
    warnings.simplefilter("always")
    import numpy
    with warnings.catch_warnings(record=True) as caught:
        import undarix_ufuncs
    print(sys._is_gil_enabled(), [str(warning.message) for warning in caught])
    with warnings.catch_warnings(record=True) as caught:
        import undarix
    print(sys._is_gil_enabled(), [(warning.category.__name__, str(warning.message)) for warning in caught])
"""


@pytest.mark.skipif(not FREE_THREADED, reason="a free-threaded CPython build only")
def test_undarix_ufuncs_leaves_the_gil_off_and_undarix_turns_it_on():
    ufuncs_line, strict_line = interpreter(GIL_REPORT).splitlines()
    assert ufuncs_line == "False []"
    enabled, caught = strict_line.split(" ", 1)
    assert enabled == "True"
    assert "RuntimeWarning" in caught and "enabled to load module 'undarix'" in caught


@pytest.mark.skipif(not FREE_THREADED, reason="a free-threaded CPython build only")
def test_the_override_keeps_the_gil_off_for_undarix_too():
    # CPython's own override (at the user's risk) wins over the declaration.
    ufuncs_line, strict_line = interpreter(GIL_REPORT, PYTHON_GIL="0").splitlines()
    assert (ufuncs_line, strict_line) == ("False []", "False []")
