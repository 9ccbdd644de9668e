"""Repeated calls, succeeding or failing, keep reference counts, traced memory, the C heap
and the resident size steady."""
import ctypes
import gc
import os
import re
import subprocess
import sys
import textwrap
import tracemalloc

import numpy as np
import pytest

import undarix
import undarix_ufuncs
from conftest import (ALL_FUNCTIONS, IN_PLACE_CHANGES_ALLOWED, PARAMETERS, VALID_SCALARS,
                      find_panic_type)

pytestmark = IN_PLACE_CHANGES_ALLOWED

REPEATS = 3000
LIBC = ctypes.CDLL(None)
UNDER_VALGRIND = "vgpreload" in os.environ.get("LD_PRELOAD", "")
# Under a sanitizer or valgrind the allocator is theirs (and so is the checking of leaks).
OWN_ALLOCATOR = not hasattr(LIBC, "__asan_init") and not UNDER_VALGRIND


class MallocInfo(ctypes.Structure):
    _fields_ = [(field, ctypes.c_size_t) for field in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def native_memory():
    """(resident bytes, bytes the C heap has handed out or None): what a leak of native
    allocations, the module's C++ ones included, makes grow."""
    with open("/proc/self/statm") as statm:
        resident = int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    if not hasattr(LIBC, "mallinfo2"):
        return resident, None
    LIBC.mallinfo2.restype = MallocInfo
    info = LIBC.mallinfo2()
    return resident, info.uordblks + info.hblkhd


PANIC = find_panic_type()


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

    __index__ = __float__


class UnprintableName(str):
    def __str__(self):
        raise ValueError("no text")


class UnprintableTitle:
    """A field title whose repr() raises, so str() of a structured dtype carrying it raises."""

    def __repr__(self):
        raise ValueError("no text")


UNPRINTABLE_DTYPE = np.dtype({"names": ["t"], "formats": ["f8"], "titles": [UnprintableTitle()]})


class Reshapes:
    """Makes the time array two-dimensional while it is converted."""

    def __init__(self, time):
        self.time = time

    def __float__(self):
        self.time.shape = (2, self.time.size // 2)
        return 1.0


def reshaped_back(function, args, kwargs):
    args[0].shape = (args[0].size,)
    return function(*args, **kwargs)


through_c = ctypes.pythonapi.PyObject_Call
through_c.restype = ctypes.py_object
through_c.argtypes = [ctypes.py_object] * 3


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


def long(name):  # long enough for the evaluation to run without the interpreter lock
    return positional(name, time=np.linspace(0.0, 2.0, 5000))


SUCCESS = [(name, form) for name in ALL_FUNCTIONS for form in ("positional", "keywords", "long")]

FAILURES = {
    # binding faults
    "missing argument": ("harmonic_oscillator", lambda n: (positional(n)[0][:-1], {}), TypeError),
    "too many positional": ("transient_impulse", lambda n: (positional(n)[0] + [1.5], {}),
                            TypeError),
    "unexpected keyword": ("harmonic_oscillator", lambda n: (positional(n)[0], {"Y": 0.5}),
                           TypeError),
    "multiple values": ("pseudo_square_wave",
                        lambda n: (positional(n)[0], {"time": np.zeros(3)}), TypeError),
    "keyword not a str": ("harmonic_oscillator", lambda n: (positional(n)[0][:1], {1: 0.5}),
                          TypeError, lambda f, args, kwargs: through_c(f, tuple(args), kwargs)),
    "keyword with lone surrogate": ("pseudo_cycloid_wave",
                                    lambda n: (positional(n)[0], {"\udcff": 0.5}), TypeError),
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
    "__float__ raises KeyboardInterrupt": (
        "pseudo_square_wave", lambda n: positional(n, omega=FloatRaising(KeyboardInterrupt)),
        KeyboardInterrupt),
    "__index__ raises with cause": (
        "fourier_square_wave",
        lambda n: positional(n, num_harmonics=FloatRaising(TypeError, Cause())), TypeError),
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
    "__float__ raises PanicException": (
        "transient_impulse", lambda n: positional(n, width=FloatRaising(PANIC)), "panic"),
    # The type mismatch message cannot be built: the TypeError it was for must not leak.
    "time dtype cannot be shown": ("pseudo_square_wave",
                                   lambda n: positional(n, time=np.zeros(3, UNPRINTABLE_DTYPE)), "panic"),
    "unprintable keyword": ("transient_impulse",
                            lambda n: (positional(n)[0], {UnprintableName("bogus"): 0.5}), "panic"),
    "time changed during conversion": (
        "harmonic_oscillator",
        lambda n: (lambda t: positional(n, time=t, y=Reshapes(t)))(np.linspace(0.0, 1.0, 16)),
        "panic", reshaped_back),
}


def watched_objects(args, kwargs, extra):
    objects = list(args) + list(kwargs.values()) + list(extra)
    objects += [obj.cause for obj in objects if isinstance(obj, FloatRaising) and obj.cause]
    return objects + [np.dtype("float64"), np.dtype("int64"), np.dtype("float32"), TypeError,
                      OverflowError, SystemError, KeyboardInterrupt, ValueError, Cause, PANIC,
                      undarix]


def reference_counts(objects):
    # Offset out of the small-int cache: a list of counts must not hold a watched small int.
    return [sys.getrefcount(obj) + 1000 for obj in objects]


def assert_steady(function, args, kwargs, expected, extra=(), call=None):
    call = call or (lambda function, args, kwargs: function(*args, **kwargs))

    def once():
        if expected is None:
            return call(function, args, kwargs)
        try:
            call(function, args, kwargs)
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
        # Caches of the interpreter that the first failures of a kind fill (the traceback
        # printing of CPython 3.12, for one) can take longer than the warm-up to settle, so up
        # to three windows are measured; a leak grows in every one of them.
        for _ in range(3):
            gc.collect()
            before_counts = reference_counts(watched)
            before_memory = tracemalloc.get_traced_memory()[0]
            before_tracing = tracemalloc.get_tracemalloc_memory()
            before_resident, before_heap = native_memory()
            for _ in range(REPEATS):
                once()
            gc.collect()
            after_resident, after_heap = native_memory()
            # tracemalloc's own tables are on the C heap too, and grow as it traces more blocks.
            if after_heap is not None:
                after_heap -= tracemalloc.get_tracemalloc_memory() - before_tracing
            after_memory = tracemalloc.get_traced_memory()[0]
            after_counts = reference_counts(watched)
            grown = after_memory - before_memory >= 16 * 1024 or OWN_ALLOCATOR and (
                after_resident - before_resident >= 256 * 1024
                or before_heap is not None and after_heap - before_heap >= 16 * 1024)
            if after_counts == before_counts and not grown:
                break
    finally:
        tracemalloc.stop()
    changed = [(repr(obj)[:60], b, a) for obj, b, a in zip(watched, before_counts, after_counts)
               if a != b]
    assert changed == []
    assert after_memory - before_memory < 16 * 1024
    if OWN_ALLOCATOR:
        assert after_resident - before_resident < 256 * 1024
        assert before_heap is None or after_heap - before_heap < 16 * 1024


@pytest.mark.parametrize("name, form", SUCCESS)
def test_successful_calls_keep_counts_steady(name, form):
    args, kwargs = {"positional": positional, "keywords": keywords, "long": long}[form](name)
    assert_steady(getattr(undarix, name), args, kwargs, None)


@pytest.mark.parametrize("fault", FAILURES)
def test_failing_calls_keep_counts_steady(fault, borrow_api):
    name, make, expected, *call = FAILURES[fault]
    args, kwargs = make(name)
    if expected == "panic":
        expected = PANIC
    if fault == "already borrowed":
        assert borrow_api.acquire_exclusive(args[0]) == 0
    assert_steady(getattr(undarix, name), args, kwargs, expected, call=call and call[0])


# --- The ufunc module: the same watch over its own objects, NumPy's arrays and dtypes ---


def ufunc_args(name, time=None, **replace):
    return positional(name, time=time, **replace)[0]


UFUNC_CALLS = {
    "contiguous": lambda n: (ufunc_args(n), {}),
    # Long enough for the call to run without the interpreter lock, on the calling thread alone
    # and on worker threads.
    "long, one thread": lambda n: (ufunc_args(n, time=np.linspace(0.0, 2.0, 5000)), {}),
    "long, two threads": lambda n: (ufunc_args(n, time=np.linspace(0.0, 2.0, 70_000)), {}),
    # Rows of 1,000: the run they make reaches the workers from its ninth row.
    "sweep of rows": lambda n: (ufunc_args(n, time=np.linspace(0.0, 2.0, 1000)[None, :],
                                           amplitude=np.linspace(0.5, 1.5, 12)[:, None]), {}),
    "strided": lambda n: (ufunc_args(n, time=np.linspace(0.0, 2.0, 20_000)[::3]), {}),
    "float32 time, cast": lambda n: (ufunc_args(n, time=np.linspace(0.0, 2.0, 5000, dtype=np.float32)), {}),
    "scalar time": lambda n: (ufunc_args(n, time=fresh(0.75)), {}),
    "out=": lambda n: (ufunc_args(n), {"out": np.empty(7)}),
}
THREADS = {"long, one thread": "1", "long, two threads": "2"}

UFUNC_FAILURES = {
    "parameter is a str": ("harmonic_oscillator", lambda n: (ufunc_args(n, amplitude="1.0"), {}), TypeError),
    "time is a dict": ("pseudo_square_wave", lambda n: (ufunc_args(n, time={}), {}), TypeError),
    "shapes do not broadcast": ("pseudo_cycloid_wave",
                                lambda n: (ufunc_args(n, amplitude=np.ones(3)), {}), ValueError),
    "out= of the wrong shape": ("transient_impulse", lambda n: (ufunc_args(n), {"out": np.empty(3)}), ValueError),
    "out= of an integer dtype": ("fourier_square_wave",
                                 lambda n: (ufunc_args(n), {"out": np.empty(7, np.int64)}), TypeError),
    "__float__ raises": ("harmonic_oscillator",
                         lambda n: (ufunc_args(n, phi=FloatRaising(TypeError, Cause())), {}), TypeError),
}
# The two-thread calls, the slowest, for two functions only: the cheapest and the costliest loop.
UFUNC_SUCCESS = [(case, name) for case in UFUNC_CALLS for name in ALL_FUNCTIONS
                 if case != "long, two threads" or name in ("pseudo_cycloid_wave", "fourier_square_wave")]


@pytest.mark.parametrize("case, name", UFUNC_SUCCESS)
def test_ufunc_calls_keep_counts_steady(case, name, monkeypatch):
    monkeypatch.setenv("UNDARIX_NUM_THREADS", THREADS.get(case, "2"))
    args, kwargs = UFUNC_CALLS[case](name)
    function = getattr(undarix_ufuncs, name)
    assert_steady(function, args, kwargs, None, extra=[function, undarix_ufuncs])


@pytest.mark.parametrize("fault", UFUNC_FAILURES)
def test_failing_ufunc_calls_keep_counts_steady(fault):
    name, make, expected = UFUNC_FAILURES[fault]
    args, kwargs = make(name)
    function = getattr(undarix_ufuncs, name)
    assert_steady(function, args, kwargs, expected, extra=[function, undarix_ufuncs])


# A frame of either module: its shared object, its C++ namespace or its sources.
OURS = re.compile(r"undarix(?:_ufuncs)?\.cpython|undarix::|/src/(?:frame|numpy|kernels|parallel|ufuncs)/|/src/lib\.cpp")


def kept_by_the_interpreter(block):
    """From CPython 3.12 interned strings are immortal, and not all of them are freed at exit:
    the names of the module's functions, which the interpreter interns when the module's
    initialisation stores them as attributes, can show up as leaked there."""
    return (sys.version_info >= (3, 12) and "in PyUnicode_New " in block
            and "in _imp_create_dynamic " in block)


def sanitizer_runtime():
    """The preload list for the compiler's AddressSanitizer runtime, or None."""
    compiler = os.environ.get("CXX", "c++")
    try:
        paths = [subprocess.run([compiler, "-print-file-name=" + name], capture_output=True,
                                text=True).stdout.strip() for name in ("libasan.so", "libstdc++.so")]
    except OSError:
        return None
    return " ".join(paths) if all(os.path.isabs(path) for path in paths) else None


@pytest.mark.skipif(UNDER_VALGRIND or sanitizer_runtime() is None,
                    reason="needs the compiler's AddressSanitizer, and no valgrind")
def test_nothing_the_module_allocated_is_left_unreachable_at_exit(tmp_path):
    # A fresh interpreter runs succeeding and failing calls of every kind under the leak
    # checker, which looks when the process exits, after the interpreter has torn down its
    # modules: no block whose allocation stack passes through the module may be unreachable.
    completed = subprocess.run([sys.executable, "-c", textwrap.dedent("""
        import os
        import numpy as np, undarix, undarix_ufuncs
        from test_leaks import (FAILURES, SUCCESS, THREADS, UFUNC_CALLS, UFUNC_FAILURES, UFUNC_SUCCESS,
                                positional, keywords, long)
        for name, form in SUCCESS:
            args, kwargs = {"positional": positional, "keywords": keywords, "long": long}[form](name)
            getattr(undarix, name)(*args, **kwargs)
        for name, make, expected, *call in FAILURES.values():
            args, kwargs = make(name)
            try:
                (call[0] if call else lambda f, a, k: f(*a, **k))(getattr(undarix, name), args, kwargs)
            except BaseException:
                pass
        for case, name in UFUNC_SUCCESS:
            os.environ["UNDARIX_NUM_THREADS"] = THREADS.get(case, "2")
            args, kwargs = UFUNC_CALLS[case](name)
            getattr(undarix_ufuncs, name)(*args, **kwargs)
        for name, make, expected in UFUNC_FAILURES.values():
            args, kwargs = make(name)
            try:
                getattr(undarix_ufuncs, name)(*args, **kwargs)
            except BaseException:
                pass
    """)], cwd=os.path.dirname(os.path.abspath(__file__)), capture_output=True, text=True,
        timeout=300, env=dict(os.environ, LD_PRELOAD=sanitizer_runtime(), PYTHONMALLOC="malloc",
                              ASAN_OPTIONS="detect_leaks=1:exitcode=0:fast_unwind_on_malloc=0:"
                                           "log_path=" + str(tmp_path / "asan")))
    assert completed.returncode == 0, completed.stderr
    reports = "\n".join(path.read_text() for path in tmp_path.glob("asan.*"))
    ours = ["\n".join(block.strip().splitlines()[:4]) for block in re.split(r"\n\s*\n", reports)
            if re.match(r"\s*(Direct|Indirect) leak", block) and OURS.search(block)
            and not kept_by_the_interpreter(block)]
    assert ours == []
