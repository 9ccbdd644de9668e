import math
import os
import platform
import sys
import threading
import time

import numpy as np
import pytest

import undarix
import undarix_ufuncs
from conftest import (ALL_FUNCTIONS, ALREADY_BORROWED, IN_PLACE_CHANGES_ALLOWED, VALID_SCALARS, BorrowApi,
                      bits, needs_the_gil, run_python)

pytestmark = IN_PLACE_CHANGES_ALLOWED


def test_other_threads_run_during_a_long_evaluation(monkeypatch):
    # With a switch interval far longer than the test, the interpreter hands the lock from one
    # thread to another only when a thread gives it up itself: the counting thread at each
    # sleep(0), the calling thread only if the call releases it.  So the counter advances
    # between the two reads around the call only if other threads ran during the call.
    monkeypatch.setenv("UNDARIX_NUM_THREADS", "1")
    counter = [0]
    started, stop = threading.Event(), threading.Event()

    def count():
        started.set()
        while not stop.is_set():
            counter[0] += 1
            time.sleep(0)

    t = np.linspace(0.0, 100.0, 400_000)
    interval = sys.getswitchinterval()
    background = threading.Thread(target=count)
    background.start()
    try:
        started.wait()
        sys.setswitchinterval(1000.0)
        before = counter[0]
        undarix.fourier_square_wave(t, 1.0, -0.01, 3.0, 0.0, 0.0, 60)
        progress = counter[0] - before
    finally:
        sys.setswitchinterval(interval)
        stop.set()
        background.join()
    assert progress > 0


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_long_evaluations_match_short_ones_bit_for_bit(name):
    # Above the size where the interpreter lock is released, the values must
    # be the same as those computed in small pieces with the lock held.
    rng = np.random.default_rng(11)
    t = rng.uniform(-50.0, 50.0, 20_000)
    function = getattr(undarix, name)
    whole = function(t, *VALID_SCALARS[name])
    pieces = np.concatenate([function(t[i:i + 100], *VALID_SCALARS[name]) for i in range(0, t.size, 100)])
    assert np.array_equal(bits(whole), bits(pieces))


def test_threads_sharing_arrays_get_identical_results():
    t = np.linspace(-20.0, 20.0, 50_000)
    expected = {name: bits(getattr(undarix, name)(t, *VALID_SCALARS[name])) for name in ALL_FUNCTIONS}
    failures = []

    def worker():
        for _ in range(5):
            for name in ALL_FUNCTIONS:
                if not np.array_equal(bits(getattr(undarix, name)(t, *VALID_SCALARS[name])), expected[name]):
                    failures.append(name)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


class ChangesTime:
    """A scalar argument whose conversion changes the time array in place."""

    def __init__(self, time, change):
        self.time, self.change = time, change

    def __float__(self):
        self.change(self.time)
        return 1.0


def set_dtype(dtype):
    def change(a):
        a.dtype = dtype
    return change


def set_shape(shape):
    def change(a):
        a.shape = shape
    return change


@pytest.mark.parametrize("change", [set_dtype(np.int8), set_dtype(np.int64), set_dtype(np.complex64),
                                    set_shape((2, 8)), set_shape((16, 1))])
def test_time_changed_by_a_later_conversion_is_refused(borrow_api, panic_type, change):
    a = np.linspace(0.0, 1.0, 16).copy()  # owns its data, so it can be resized
    with pytest.raises(panic_type) as caught:
        undarix.harmonic_oscillator(a, ChangesTime(a, change), 0.0, 1.0, 0.0, 0.0)
    assert caught.value.args == ("time array was changed while the other arguments were converted",)
    assert borrow_api.acquire_exclusive(a) == 0  # no borrow left behind


def test_resize_during_conversion_is_read_safely():
    a = np.linspace(0.0, 1.0, 16).copy()  # owns its data, so it can be resized
    grown = undarix.harmonic_oscillator(a, ChangesTime(a, lambda t: t.resize(1000, refcheck=False)),
                                        0.0, 1.0, 0.0, 0.0)
    assert grown.shape == (1000,)
    assert np.array_equal(bits(grown[:16]), bits([math.cos(x) for x in np.linspace(0.0, 1.0, 16)]))


@needs_the_gil
def test_array_changed_by_other_threads_during_long_calls(borrow_api, panic_type):
    # While a long call runs without the interpreter lock, another thread
    # reshapes, retypes and reallocates its time array.  Every call must end
    # with a result of the length it saw or a documented error, and leave no
    # borrow behind.
    a = np.linspace(0.0, 100.0, 200_000).copy()
    stop = threading.Event()
    outcomes = []

    def mutate():
        while not stop.is_set():
            a.dtype = np.int64
            a.dtype = np.float64
            a.resize(200_000 if a.size != 200_000 else 100_000, refcheck=False)

    def evaluate():
        for _ in range(20):
            try:
                result = undarix.fourier_square_wave(a, 1.0, 0.0, 1.0, 0.0, 0.0, 5)
                outcomes.append(result.size in (100_000, 200_000) and result.dtype == np.float64)
            except TypeError as exc:
                outcomes.append(str(exc).startswith("argument 'time': type mismatch"))
            except panic_type as exc:
                outcomes.append(exc.args == ("time array was changed while the other arguments were converted",))

    mutator = threading.Thread(target=mutate)
    mutator.start()
    try:
        evaluate()
    finally:
        stop.set()
        mutator.join()
    assert len(outcomes) == 20 and all(outcomes)
    assert borrow_api.acquire_exclusive(a) == 0


@needs_the_gil
def test_calls_racing_exclusive_borrows_are_refused_or_exact(panic_type):
    # Callers on four threads share three arrays (one long enough to be evaluated without the
    # interpreter lock) while another thread, as another extension module would, repeatedly
    # takes an exclusive borrow of one of them through the registry record, writes NaN over
    # it and puts the values back before giving the borrow back.  A call must either be
    # refused or give the exact values: it never reads memory while it is borrowed.
    arrays = [np.linspace(-3.0, 3.0, n) for n in (5, 300, 6000)]
    expected = {(name, i): bits(getattr(undarix, name)(a.copy(), *VALID_SCALARS[name]))
                for name in ALL_FUNCTIONS for i, a in enumerate(arrays)}
    api = BorrowApi()
    refused, done = threading.Event(), threading.Event()
    outcomes, faults = [], []

    def call():
        while not done.is_set():
            for name in ALL_FUNCTIONS:
                for i, a in enumerate(arrays):
                    try:
                        result = getattr(undarix, name)(a, *VALID_SCALARS[name])
                        outcomes.append("exact" if np.array_equal(bits(result), expected[name, i])
                                        else "wrong")
                    except BaseException as exc:  # noqa: B902
                        if type(exc) is not panic_type or exc.args != (ALREADY_BORROWED,):
                            faults.append(repr(exc))
                        outcomes.append("refused")
                        refused.set()

    def hold():
        try:
            for k in range(30):
                a = arrays[k % 3]
                view = (a, a[::2], a[1:4])[k // 3 % 3]
                refused.clear()
                while api.acquire_exclusive(view) != 0:  # refused only while a call reads it
                    time.sleep(0)
                saved = view.copy()
                view[...] = np.nan
                refused.wait(10)
                view[...] = saved
                api.release_exclusive(view)
        finally:
            done.set()

    threads = [threading.Thread(target=call) for _ in range(4)] + [threading.Thread(target=hold)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert faults == []
    assert "wrong" not in outcomes
    assert outcomes.count("refused") >= 30 and outcomes.count("exact") > 0
    for a in arrays:  # the registry holds nothing for any of them
        assert api.acquire_exclusive(a) == 0
        api.release_exclusive(a)


# CPython 3.8 to 3.13 end a thread that asks for the interpreter lock during finalisation by
# unwinding its stack (pthread_exit, on glibc), so there a thread other than the main one takes
# the lock back on a separate stack of its own; 3.14 on hangs such a thread, which needs none.
SEPARATE_STACK = (sys.platform.startswith("linux") and platform.libc_ver()[0] == "glibc"
                  and sys.version_info < (3, 14))


@pytest.mark.skipif(not os.path.exists("/proc/self/maps"), reason="reads /proc/self/maps")
@pytest.mark.parametrize("module", [undarix, undarix_ufuncs], ids=lambda module: module.__name__)
def test_a_separate_stack_only_where_cpython_can_end_the_thread(module):
    # The separate stack, 128 KiB with an inaccessible guard below it, is mapped the first time a
    # thread gives the lock up (a long call); a short call before it sets up whatever else the
    # thread needs.  The kernel may merge either part with a neighbour of the same kind, so a
    # stack shows as a writable range of at least 128 KiB that starts where an inaccessible
    # one ends.  A fresh process, with one thread for the module (no worker, and no worker's
    # stack), so that nothing else maps memory meanwhile.
    completed = run_python("""
        import os, threading
        os.environ["UNDARIX_NUM_THREADS"] = "1"
        import numpy as np, %s as module

        def stacks():
            found, inaccessible_end = set(), None
            with open("/proc/self/maps") as maps:
                for line in maps:
                    addresses, permissions = line.split()[:2]
                    start, end = (int(address, 16) for address in addresses.split("-"))
                    if permissions.startswith("rw") and start == inaccessible_end and end - start >= 128 << 10:
                        found.add(start)
                    inaccessible_end = end if permissions.startswith("---") else None
            return found

        t = np.linspace(0.0, 100.0, 200_000)
        outcome = []

        def call_from_another_thread():
            module.harmonic_oscillator(t[:10], 1.0, 0.0, 1.0, 0.0, 0.0)
            before = stacks()
            result = module.harmonic_oscillator(t, 1.0, 0.0, 1.0, 0.0, 0.0)
            outcome.extend([len(stacks() - before), result.shape == t.shape])

        thread = threading.Thread(target=call_from_another_thread)
        thread.start()
        thread.join()
        print(*outcome)
    """ % module.__name__)
    assert completed.stdout.split() == [str(int(SEPARATE_STACK)), "True"]
