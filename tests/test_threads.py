import threading
import time

import numpy as np
import pytest

import undarix
from conftest import ALL_FUNCTIONS, VALID_SCALARS, bits


def test_other_threads_run_during_a_long_evaluation():
    counter = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            counter[0] += 1

    background = threading.Thread(target=count)
    background.start()
    try:
        before = counter[0]
        time.sleep(0.05)  # releases the lock: the counter runs alone
        rate = (counter[0] - before) / 0.05

        t = np.linspace(0.0, 100.0, 400_000)
        before = counter[0]
        start = time.perf_counter()
        undarix.fourier_square_wave(t, 1.0, -0.01, 3.0, 0.0, 0.0, 60)
        duration = time.perf_counter() - start
        progress = counter[0] - before
    finally:
        stop.set()
        background.join()
    assert duration > 0.05, "the call must be long enough to tell"
    # With the lock held for the whole call the counter could only have run
    # for one switch interval (5 ms); released, it runs all along.
    assert progress > 0.3 * rate * duration


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
