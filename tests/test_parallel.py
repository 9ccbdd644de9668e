"""Evaluation on several threads: the same bits for every thread count, the thread count the
environment asks for, and no failure when threads cannot be started."""
import os
import sys

import numpy as np
import pytest

import undarix
from conftest import ALL_FUNCTIONS, bits, element_work, run_python, split_work

linux_only = pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads through /proc")

# Work is elements times the cost of one element, in evaluations of the cheapest formula (the
# harmonic count plus one for fourier_square_wave); a call is split among threads from THRESHOLD
# units of work on.
THRESHOLD = split_work()
SCALARS = {
    "harmonic_oscillator": (1.5, -0.003, 2.0, 0.3, 0.5),
    "pseudo_square_wave": (1.5, -0.003, 2.0, 0.3, 0.5),
    "pseudo_cycloid_wave": (1.5, -0.003, 2.0, 0.3, 0.5),
    "transient_impulse": (1.5, 6.0, 0.4, 0.1),
}


def cases():
    # Just below, at and above the threshold (4,095 and 4,096 for the waveforms whose element counts
    # two), and prime lengths that leave a short last chunk.
    sizes = sorted({4095, 4096, THRESHOLD - 1, THRESHOLD, THRESHOLD + 1, 65537, 1_000_003})
    for name in ["harmonic_oscillator", "pseudo_square_wave", "pseudo_cycloid_wave"]:
        for n in sizes:
            yield name, "ordinary", n, SCALARS[name]
    for n in sizes:
        yield "transient_impulse", "ordinary", n, SCALARS["transient_impulse"]
        yield "transient_impulse", "large times", n, SCALARS["transient_impulse"]
    # 64 harmonics: 65 units an element; 5000: 5001.  Just below and at the threshold, and more.
    for harmonics, lengths in ((64, (1008, 1009, 4099)), (5000, (13, 14, 101))):
        lengths = sorted(set(lengths) | {(THRESHOLD - 1) // (harmonics + 1), -(-THRESHOLD // (harmonics + 1))})
        for n in lengths:
            yield "fourier_square_wave", "N=%d" % harmonics, n, (1.0, -0.01, 3.0, 0.1, 0.5, harmonics)


def times(kind, n):
    rng = np.random.default_rng(n)
    if kind == "large times":
        magnitudes = 10.0 ** rng.uniform(5.0, 300.0, n)
        return magnitudes * rng.choice([-1.0, 1.0], n)
    return rng.uniform(-200.0, 200.0, n)


@pytest.mark.parametrize("name, kind, n, scalars", list(cases()),
                         ids=["%s-%s-%d" % case[:3] for case in cases()])
def test_same_bits_for_every_thread_count(monkeypatch, name, kind, n, scalars):
    function = getattr(undarix, name)
    t = times(kind, n)
    # The reference: pieces small enough to be evaluated in a plain loop with the lock held.
    piece = max(1, 3000 // element_work(name, scalars))
    expected = bits(np.concatenate([function(t[i:i + piece], *scalars) for i in range(0, n, piece)]))
    for threads in ("1", "2", "3", "8"):
        monkeypatch.setenv("UNDARIX_NUM_THREADS", threads)
        got = function(t, *scalars)
        assert got.shape == (n,)
        mismatches = np.flatnonzero(bits(got) != expected)
        assert mismatches.size == 0, "%s threads: first differing index %d" % (threads, mismatches[0])


# The worker threads outlive a call (the team is kept for the next): in a fresh interpreter, the
# threads a call leaves behind are the workers it ran on, besides the calling thread.
WORKERS_STARTED = """
    import os, numpy as np, undarix

    def threads():
        return len(os.listdir("/proc/self/task"))

    allowed = sorted(os.sched_getaffinity(0))
    for call, cpus in %r:
        if cpus is not None:
            os.sched_setaffinity(0, allowed[:cpus])
        before = threads()
        eval(call)
        print(threads() - before)
"""

# 64 elements of 100,000 harmonics each: 64 chunks of one element.
LONG_CALL = "undarix.fourier_square_wave(np.linspace(0.0, 1.0, 64), 1.0, 0.0, 1.0, 0.0, 0.0, 100_000)"


def workers_started(*calls):
    """The threads each call adds to a fresh interpreter, in order: (call expression, CPUs to keep
    in the affinity mask first, or None) each."""
    completed = run_python(WORKERS_STARTED % (list(calls),))
    return [int(line) for line in completed.stdout.split()]


@linux_only
@pytest.mark.parametrize("undarix_threads, omp_threads, extra", [
    ("1", None, 0),        # 1 means serial: no thread is started
    ("3", None, 2),
    (None, "2", 1),        # OMP_NUM_THREADS when UNDARIX_NUM_THREADS is unset
    ("1", "4", 0),         # UNDARIX_NUM_THREADS takes precedence
    ("", "3", 2),          # an empty variable counts as unset
    (None, "2,1", 1),      # OMP_NUM_THREADS's first nesting level
    (" 2 ", None, 1),
])
def test_thread_count_follows_the_environment(monkeypatch, undarix_threads, omp_threads, extra):
    for variable, value in (("UNDARIX_NUM_THREADS", undarix_threads), ("OMP_NUM_THREADS", omp_threads)):
        if value is None:
            monkeypatch.delenv(variable, raising=False)
        else:
            monkeypatch.setenv(variable, value)
    assert workers_started((LONG_CALL, None)) == [extra]


@linux_only
def test_a_call_starts_only_the_workers_the_team_lacks(monkeypatch):
    monkeypatch.setenv("UNDARIX_NUM_THREADS", "3")
    assert workers_started((LONG_CALL, None), (LONG_CALL, None)) == [2, 0]


@linux_only
def test_never_more_threads_than_chunks(monkeypatch):
    monkeypatch.setenv("UNDARIX_NUM_THREADS", "8")
    # Two elements of a million harmonics: one thread besides the caller.
    two_elements = "undarix.fourier_square_wave(np.array([0.25, 0.5]), 1.0, 0.0, 1.0, 0.0, 0.0, 1_000_000)"
    assert workers_started((two_elements, None)) == [1]


@linux_only
@pytest.mark.parametrize("name, scalars", sorted(SCALARS.items())
                         + [("fourier_square_wave", (1.0, -0.01, 3.0, 0.1, 0.5, 0))])
def test_a_call_is_split_from_the_threshold(monkeypatch, name, scalars):
    monkeypatch.setenv("UNDARIX_NUM_THREADS", "2")
    call = "undarix.%s(np.linspace(0.0, 1.0, %%d), *%r)" % (name, scalars)
    first = -(-THRESHOLD // element_work(name, scalars))
    assert workers_started((call % (first - 1), None), (call % first, None)) == [0, 1]


@linux_only
@pytest.mark.skipif(not hasattr(os, "sched_setaffinity") or len(os.sched_getaffinity(0)) < 2,
                    reason="needs two CPUs in the affinity mask")
def test_default_is_the_cpus_this_process_may_use(monkeypatch):
    monkeypatch.delenv("UNDARIX_NUM_THREADS", raising=False)
    monkeypatch.delenv("OMP_NUM_THREADS", raising=False)
    assert workers_started((LONG_CALL, 1), (LONG_CALL, 2)) == [0, 1]


def test_invalid_values_warn_once_and_fall_back():
    completed = run_python("""
        import os, warnings, numpy as np, undarix
        os.environ["UNDARIX_NUM_THREADS"] = "four"
        os.environ["OMP_NUM_THREADS"] = "0"
        t = np.linspace(0.0, 1.0, 300_000)
        expected = undarix.harmonic_oscillator(t[:2000], 1.0, 0.0, 2.0, 0.0, 0.0)  # small: reads nothing
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            undarix.harmonic_oscillator(t[:2000], 1.0, 0.0, 2.0, 0.0, 0.0)
            assert caught == [], "a small call must not read the settings"
            for _ in range(3):
                result = undarix.harmonic_oscillator(t, 1.0, 0.0, 2.0, 0.0, 0.0)
        assert (result[:2000].view(np.uint64) == expected.view(np.uint64)).all()
        for warning in caught:
            print(warning.category.__name__, warning.message)
    """)
    lines = completed.stdout.splitlines()
    assert lines == ["RuntimeWarning ignoring UNDARIX_NUM_THREADS='four': not a positive integer",
                     "RuntimeWarning ignoring OMP_NUM_THREADS='0': not a positive integer"]


def test_a_warning_turned_into_an_error_fails_that_call_only():
    completed = run_python("""
        import os, warnings, numpy as np, undarix
        os.environ["UNDARIX_NUM_THREADS"] = "-2"
        t = np.linspace(0.0, 1.0, 300_000)
        warnings.simplefilter("error")
        try:
            undarix.pseudo_square_wave(t, 1.0, 0.0, 2.0, 0.0, 0.0)
        except RuntimeWarning as exc:
            print("raised:", exc)
        print(undarix.pseudo_square_wave(t, 1.0, 0.0, 2.0, 0.0, 0.0).size)
    """)
    assert completed.stdout.splitlines() == [
        "raised: ignoring UNDARIX_NUM_THREADS='-2': not a positive integer", "300000"]


@pytest.mark.skipif(sys.platform != "linux", reason="RLIMIT_NPROC and setuid as on Linux")
@pytest.mark.parametrize("limit", [1, 2])
def test_threads_that_cannot_start_leave_the_result_whole(limit):
    # RLIMIT_NPROC counts the threads of the real user: with a limit of 1 no thread can start,
    # with 2 one can.  Root is exempt from it, so a root process first becomes "nobody".
    completed = run_python("""
        import os, resource, threading, numpy as np, undarix
        os.environ["UNDARIX_NUM_THREADS"] = "8"
        t = np.linspace(-40.0, 40.0, 1_000_003)
        expected = np.concatenate([undarix.transient_impulse(t[i:i + 1000], 1.5, 6.0, 0.4, 0.1)
                                   for i in range(0, t.size, 1000)])
        if os.getuid() == 0:
            os.setgid(65534)
            os.setuid(65534)
        resource.setrlimit(resource.RLIMIT_NPROC, (%d, %d))
        if %d == 1:
            try:
                threading.Thread(target=print).start()
                raise SystemExit("the limit does not stop threads here")
            except RuntimeError:
                pass
        for _ in range(3):
            result = undarix.transient_impulse(t, 1.5, 6.0, 0.4, 0.1)
            assert (result.view(np.uint64) == expected.view(np.uint64)).all()
        print("whole", flush=True)
        # Skips exit-time checks that need a thread of their own or files of the original user
        # (a sanitizer's leak check, when the suite runs under one).
        os._exit(0)
    """ % (limit, limit, limit))
    assert completed.stdout.split() == ["whole"]
