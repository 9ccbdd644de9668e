"""Repeated calls, succeeding or failing, keep reference counts and traced memory steady."""
import gc
import sys
import tracemalloc

import numpy as np
import pytest

import undarix
from conftest import ALL_FUNCTIONS, PARAMETERS, VALID_SCALARS

REPEATS = 3000


def fresh(value):
    """An object of its own (not a cached constant), so that a stray reference shows."""
    return type(value)(str(value)) if isinstance(value, float) else value


class Cause(Exception):
    pass


class FloatRaising:
    """Raises a new exception of `kind` on each conversion, with `cause` as its __cause__."""

    def __init__(self, kind, cause=None):
        self.kind, self.cause = kind, cause

    def __float__(self):
        error = self.kind("no float")
        error.__cause__ = self.cause
        raise error


def scalars(name):
    return [fresh(value) for value in VALID_SCALARS[name]]


def positional(name, time=None, **replace):
    args = [np.linspace(0.0, 2.0, 7) if time is None else time] + scalars(name)
    for key, value in replace.items():
        args[PARAMETERS[name].index(key)] = value
    return args, {}


def keywords(name, **replace):
    args, _ = positional(name, **replace)
    return [], dict(zip(PARAMETERS[name], args))


SUCCESS = [(name, form) for name in ALL_FUNCTIONS for form in ("positional", "keywords")]

FAILURES = {
    # binding faults
    "missing argument": ("harmonic_oscillator", lambda n: (positional(n)[0][:-1], {}), TypeError),
    "too many positional": ("transient_impulse", lambda n: (positional(n)[0] + [1.5], {}),
                            TypeError),
    "unexpected keyword": ("harmonic_oscillator", lambda n: (positional(n)[0], {"Y": 0.5}),
                           TypeError),
    "multiple values": ("pseudo_square_wave",
                        lambda n: (positional(n)[0], {"time": np.zeros(3)}), TypeError),
    # conversion faults
    "time is a list": ("harmonic_oscillator", lambda n: positional(n, time=[0.0, 1.0]), TypeError),
    "time is 2-d": ("pseudo_square_wave", lambda n: positional(n, time=np.zeros((2, 3))),
                    TypeError),
    "time is int64": ("pseudo_cycloid_wave", lambda n: positional(n, time=np.arange(4)), TypeError),
    "time is float32": ("transient_impulse", lambda n: positional(n, time=np.zeros(4, np.float32)),
                        TypeError),
    "amplitude is a str": ("harmonic_oscillator", lambda n: positional(n, amplitude="1.0"),
                           TypeError),
    "y is None": ("pseudo_square_wave", lambda n: positional(n, y=None), TypeError),
    "width overflows": ("transient_impulse", lambda n: positional(n, width=10**400), OverflowError),
    "__float__ raises with cause": ("harmonic_oscillator",
                                    lambda n: positional(n, phi=FloatRaising(TypeError, Cause())),
                                    TypeError),
    "__float__ raises subclass": ("harmonic_oscillator",
                                  lambda n: positional(n, phi=FloatRaising(Cause)), Cause),
    "num_harmonics is a float": ("fourier_square_wave",
                                 lambda n: positional(n, num_harmonics=2.5), TypeError),
    "num_harmonics negative": ("fourier_square_wave",
                               lambda n: positional(n, num_harmonics=-10**30), OverflowError),
    "num_harmonics too large": ("fourier_square_wave",
                                lambda n: positional(n, num_harmonics=2**64 + 5), OverflowError),
    # internal failures
    "non-contiguous": ("pseudo_cycloid_wave",
                       lambda n: positional(n, time=np.linspace(0.0, 1.0, 9)[::2]), "panic"),
    "already borrowed": ("fourier_square_wave", lambda n: positional(n), "panic"),
}


def watched_objects(args, kwargs, extra):
    objects = list(args) + list(kwargs.values()) + list(extra)
    objects += [obj.cause for obj in objects if isinstance(obj, FloatRaising) and obj.cause]
    return objects + [np.dtype("float64"), np.dtype("int64"), np.dtype("float32"), TypeError,
                      OverflowError, SystemError, Cause, undarix]


def reference_counts(objects):
    # Offset out of the small-int cache: a list of counts must not hold a watched small int.
    return [sys.getrefcount(obj) + 1000 for obj in objects]


def assert_steady(function, args, kwargs, expected, extra=()):
    def once():
        if expected is None:
            return function(*args, **kwargs)
        try:
            function(*args, **kwargs)
        except expected:
            return None
        raise AssertionError("the call did not fail with %r" % (expected,))

    watched = watched_objects(args, kwargs, extra)
    for _ in range(50):
        once()
    gc.collect()
    tracemalloc.start()
    try:
        for _ in range(50):
            once()
        gc.collect()
        before_counts = reference_counts(watched)
        before_memory = tracemalloc.get_traced_memory()[0]
        for _ in range(REPEATS):
            once()
        gc.collect()
        after_memory = tracemalloc.get_traced_memory()[0]
        after_counts = reference_counts(watched)
    finally:
        tracemalloc.stop()
    changed = [(repr(obj)[:60], b, a) for obj, b, a in zip(watched, before_counts, after_counts)
               if a != b]
    assert changed == []
    assert after_memory - before_memory < 16 * 1024


@pytest.mark.parametrize("name, form", SUCCESS)
def test_successful_calls_keep_counts_steady(name, form):
    args, kwargs = (positional if form == "positional" else keywords)(name)
    assert_steady(getattr(undarix, name), args, kwargs, None)


@pytest.mark.parametrize("fault", FAILURES)
def test_failing_calls_keep_counts_steady(fault, panic_type, borrow_api):
    name, make, expected = FAILURES[fault]
    args, kwargs = make(name)
    if expected == "panic":
        expected = panic_type
    if fault == "already borrowed":
        assert borrow_api.acquire_exclusive(args[0]) == 0
    assert_steady(getattr(undarix, name), args, kwargs, expected, extra=[panic_type])
