"""The address space that calls on several threads leave behind and need: the workers run on
small stacks and never allocate from the C heap, so threaded calls leave no malloc arena and no
cached default-size stack behind, and a threaded call fits where little room is left."""
import os
import subprocess
import sys
import textwrap

import pytest

from test_injected_faults import ADDRESS_SPACE_RESERVED

linux_only = pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="reads /proc/self/status")

PRELUDE = """
    import json, os, resource, threading, time
    import numpy as np, %(module)s as module

    def vm_size():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))

    def call(threads, t):
        os.environ["UNDARIX_NUM_THREADS"] = str(threads)
        return module.pseudo_cycloid_wave(t, 1.0, -0.01, 2.0, 0.1, 0.5)

    t = np.linspace(-30.0, 30.0, 1_000_000)
    expected = call(1, t).view(np.uint64).copy()
    for _ in range(3):
        call(1, t)  # the result's memory is reused from here on
"""


MODULES = pytest.mark.parametrize("module", ["undarix", "undarix_ufuncs"])


def run(module, code):
    completed = subprocess.run([sys.executable, "-c", textwrap.dedent(PRELUDE % {"module": module})
                                + textwrap.dedent(code)],
                               capture_output=True, text=True, timeout=120)
    assert completed.returncode == 0, completed.stderr[-3000:]
    return completed.stdout.split()


@linux_only
@pytest.mark.skipif(ADDRESS_SPACE_RESERVED, reason="the checkers and emulators reserve address space of their own")
@MODULES
def test_threaded_calls_leave_the_address_space_as_it_was(module):
    # An arena (64 MiB) per worker and a cached 8 MiB stack each would show here.
    growth, same = run(module, """
        before = vm_size()
        same = all((call(2, t).view(np.uint64) == expected).all() for _ in range(20))
        print(vm_size() - before, same)
    """)
    assert same == "True"
    assert int(growth) < 32 << 20


@linux_only
@pytest.mark.skipif(ADDRESS_SPACE_RESERVED, reason="the checkers and emulators reserve address space of their own")
def test_threaded_sweeps_leave_the_address_space_as_it_was():
    # The ufuncs' sweep: NumPy hands over rows of 1,000 elements, each shared by the worker team.
    growth, same = run("undarix_ufuncs", """
        rows = np.linspace(0.5, 1.5, 1000)[:, None]
        os.environ["UNDARIX_NUM_THREADS"] = "1"
        sweep_expected = module.pseudo_cycloid_wave(t[None, :1000], rows, -0.01, 2.0, 0.1, 0.5).view(np.uint64).copy()
        os.environ["UNDARIX_NUM_THREADS"] = "2"
        before = vm_size()
        same = all((module.pseudo_cycloid_wave(t[None, :1000], rows, -0.01, 2.0, 0.1, 0.5).view(np.uint64)
                    == sweep_expected).all() for _ in range(20))
        print(vm_size() - before, same)
    """)
    assert same == "True"
    assert int(growth) < 32 << 20


@linux_only
@pytest.mark.skipif(ADDRESS_SPACE_RESERVED, reason="the checkers and emulators reserve address space of their own")
@pytest.mark.parametrize("history", ["first threaded call", "after threaded calls"])
@MODULES
def test_threaded_call_with_little_address_space_left(module, history):
    # Room for the result and 4 MiB more: a worker with a default 8 MiB stack could not start,
    # one with a small stack can, and it must not need a heap of its own.
    # The team's worker outlives a call: after threaded calls it exists already, and the call
    # runs on it; at the first threaded call it is started under the limit.
    seen, same = run(module, """
        initial = len(os.listdir("/proc/self/task"))
        if %r == "after threaded calls":
            for _ in range(10):
                call(2, t)
        threads = [0]
        stop = threading.Event()

        def watch():
            while not stop.is_set():
                threads[0] = max(threads[0], len(os.listdir("/proc/self/task")))
                time.sleep(0.0002)

        watcher = threading.Thread(target=watch)
        watcher.start()
        time.sleep(0.01)
        long_times = np.linspace(-30.0, 30.0, 4_000_000)
        long_expected = call(1, long_times).view(np.uint64).copy()
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm_size() + long_times.nbytes + (4 << 20), hard))
        try:
            result = call(2, long_times)
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            stop.set()
            watcher.join()
        print(threads[0] - initial - 1, bool((result.view(np.uint64) == long_expected).all()))
    """ % history)
    assert same == "True"
    assert int(seen) >= 1  # a worker besides the calling thread and the watcher
