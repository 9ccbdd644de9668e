import collections
import ctypes
import inspect
import os
import re
import signal
import subprocess
import sys
import sysconfig
import textwrap

import numpy as np
import pytest

import undarix

# The strict functions and their parameters, `time` first, as the waveform table
# makes them (the stubs, which scripts/stubs writes from the same table, are
# checked against the modules in test_stubs_match_modules.py); the damped ones
# share harmonic_oscillator's parameters.
ALL_FUNCTIONS = list(undarix.__all__)
PARAMETERS = {name: tuple(inspect.signature(getattr(undarix, name)).parameters) for name in ALL_FUNCTIONS}
DAMPED = [name for name in ALL_FUNCTIONS if PARAMETERS[name] == PARAMETERS["harmonic_oscillator"]]

# undarix declares that it needs the GIL, and on a free-threaded build importing it turns
# the GIL on, unless CPython's override (PYTHON_GIL=0, -X gil=0) keeps it off, at the user's
# risk: the strict module then runs unguarded, and its calls racing other threads' changes
# of their arrays are unsupported.
GIL_FORCED_OFF = bool(sysconfig.get_config_var("Py_GIL_DISABLED")) and not sys._is_gil_enabled()
needs_the_gil = pytest.mark.skipif(GIL_FORCED_OFF, reason="undarix runs without the GIL it needs (PYTHON_GIL=0)")

ROOT_DIRECTORY = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The waveform table as the built modules give it (waveform_facts), which the stub
# generator reads too.
sys.path.insert(0, os.path.join(ROOT_DIRECTORY, "scripts", "stubs.d"))


def split_work():
    """From how much work a call of its own is split among threads, as the sources set it."""
    with open(os.path.join(ROOT_DIRECTORY, "src", "parallel", "split_policy.hpp")) as header:
        return int(re.search(r"constexpr std::uint64_t kSplitWork = (\d+);", header.read()).group(1))


# The work of one element of each waveform's value, in evaluations of the cheapest formula
# (fourier_square_wave: per harmonic, plus one); a Jacobian's element counts twice its value's.
ELEMENT_WORK = {
    "harmonic_oscillator": 1,
    "pseudo_square_wave": 2,
    "pseudo_cycloid_wave": 2,
    "transient_impulse": 1,
}


def element_work(name, scalars, jacobian=False):
    """The work of one element of `name` with these scalars after `time`."""
    value = scalars[-1] + 1 if name == "fourier_square_wave" else ELEMENT_WORK[name]
    return 2 * value if jacobian else value


# A valid scalar argument list (after `time`) for each function.
VALID_SCALARS = {
    "harmonic_oscillator": (1.0, -0.1, 2.0, 0.3, 0.5),
    "pseudo_square_wave": (1.0, -0.1, 2.0, 0.3, 0.5),
    "fourier_square_wave": (1.0, -0.1, 2.0, 0.3, 0.5, 5),
    "pseudo_cycloid_wave": (1.0, -0.1, 2.0, 0.3, 0.5),
    "transient_impulse": (1.0, 6.0, 0.5, 0.25),
}


# Outcomes of the fuzzed calls of test_fuzz.py by kind ("ok" or the exception's
# name), shown in the terminal summary after the run.
FUZZED_CALLS = collections.Counter()


# Test files whose outcome does not depend on how the extension modules were
# built: the type stubs as type checkers read them, the documentation site and
# its examples, the worked examples, and the pure-Python fitting module (its
# use of the Jacobian ufuncs is tested, build by build, in test_jacobians.py).
# They carry the mark "build_independent", so that the build variants (the
# sanitizers, Clang, the installed wheel) can leave them to the ordinary runs.
BUILD_INDEPENDENT = {
    "test_typing.py", "test_ufuncs_typing.py", "test_stubs_match_modules.py",
    "test_docs_examples.py", "test_docs_site.py", "test_docs_browser.py",
    "test_examples.py", "test_ufunc_examples.py",
    "test_fit.py", "test_fit_interop.py", "test_fit_many.py", "test_fit_solvers.py", "test_fit_inputs.py",
}


def pytest_configure(config):
    # A shell without job control starts background commands with SIGINT
    # ignored, and an ignored signal stays ignored across exec: every Python
    # the tests start would then have no KeyboardInterrupt to raise, and the
    # tests of Ctrl-C would wait for calls that run for hours.  Python's own
    # handler here makes the children start with the default disposition.
    if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    config.addinivalue_line("markers", "build_independent: the outcome does not depend on the module's build")


def pytest_collection_modifyitems(config, items):
    for item in items:
        if item.path.name in BUILD_INDEPENDENT:
            item.add_marker(pytest.mark.build_independent)


def pytest_terminal_summary(terminalreporter):
    if FUZZED_CALLS:
        terminalreporter.write_sep("-", "fuzzed calls")
        terminalreporter.write_line("%d (%s)" % (sum(FUZZED_CALLS.values()), ", ".join(
            "%s %d" % item for item in sorted(FUZZED_CALLS.items()))))


def bits(values):
    """The IEEE bit patterns of a float64 array (or sequence), for exact comparison."""
    return np.ascontiguousarray(np.asarray(values, dtype=np.float64)).view(np.uint64)


def run_python(code, check=True):
    """Runs `code` in a fresh interpreter with the same environment; returns the CompletedProcess."""
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, env=dict(os.environ), timeout=120,
    )
    if check and completed.returncode != 0:
        raise AssertionError(
            "subprocess failed with %d\nstdout:\n%s\nstderr:\n%s"
            % (completed.returncode, completed.stdout, completed.stderr))
    return completed


def find_panic_type():
    """The module's PanicException type, obtained from a failing call (the module creates it
    at first use, so this is not done when this file is imported)."""
    try:
        undarix.harmonic_oscillator(np.arange(4.0)[::2], 1.0, 0.0, 1.0, 0.0, 0.0)
    except BaseException as exc:  # noqa: B902 - PanicException derives from BaseException
        return type(exc)
    raise AssertionError("a strided time array must fail")


@pytest.fixture
def panic_type():
    """The module's PanicException type."""
    return find_panic_type()


def assert_same_floats(got, expected):
    """Exact comparison: NaN where the expected value is NaN, identical bits elsewhere."""
    got = np.asarray(got)
    expected = np.asarray(expected, dtype=np.float64)
    assert got.dtype == np.float64 and got.shape == expected.shape
    nan_expected = np.isnan(expected)
    wrong = (np.isnan(got) != nan_expected) | (~nan_expected & (bits(got) != bits(expected)))
    if wrong.any():
        idx = np.flatnonzero(wrong)[:5]
        raise AssertionError("%d of %d values differ, first at %s: got %r, expected %r" % (
            wrong.sum(), wrong.size, idx.tolist(), got[idx].tolist(), expected[idx].tolist()))


def assert_same_float32(got, expected64):
    """`got` is float32 and bit for bit np.float32 of each float64 value (NaN bits too)."""
    got = np.asarray(got)
    expected = np.asarray(expected64, dtype=np.float64).astype(np.float32)
    assert got.dtype == np.float32 and got.shape == expected.shape
    wrong = np.ascontiguousarray(got).view(np.uint32) != np.ascontiguousarray(expected).view(np.uint32)
    if wrong.any():
        idx = np.flatnonzero(wrong)[:5]
        raise AssertionError("%d of %d values differ, first at %s: got %r, expected %r" % (
            wrong.sum(), wrong.size, idx.tolist(), got.ravel()[idx].tolist(), expected.ravel()[idx].tolist()))


# Changing an array's dtype or shape in place through the attribute setters is how these tests
# change the time array under a call; NumPy 2.5 deprecates the setters, which still work.
IN_PLACE_CHANGES_ALLOWED = pytest.mark.filterwarnings(
    "ignore:Setting the (dtype|shape) on a NumPy array:DeprecationWarning")


# --- Calls through the C calling convention ---

# From CPython 3.9 the interpreter itself refuses a keyword dict with non-str keys
# ("keywords must be strings") before the function is reached; such names then reach the
# module only through its fast-call entry.
DICT_KEYWORD_NAMES_CHECKED = sys.version_info >= (3, 9)

# From CPython 3.12 the interpreter keeps a pending exception only as an instance, so text set
# as the pending value (PyErr_SetString) arrives as an exception instance like any other.
PENDING_TEXT_ARRIVES = sys.version_info < (3, 12)


def entry_call(function, args, kwnames):
    """Calls the function's fast-call entry directly: `args` None passes a null vector."""
    word = ctypes.sizeof(ctypes.c_void_p)
    method_def = ctypes.c_void_p.from_address(id(function) + object.__basicsize__).value  # m_ml, after the header
    meth = ctypes.c_void_p.from_address(method_def + word).value  # ml_meth
    entry = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p,
                              ctypes.c_ssize_t, ctypes.c_void_p)(meth)
    vector = None if args is None else (ctypes.py_object * max(len(args), 1))(*args)
    nargs = len(args or ()) - len(kwnames or ())
    return entry(function.__self__, vector and ctypes.addressof(vector), nargs,
                 None if kwnames is None else id(kwnames))


# --- Access to the shared array-borrow registry, as another extension module would use it ---

import functools  # noqa: E402

import numpy  # noqa: E402

NUMPY_2 = int(numpy.__version__.split(".")[0]) >= 2
# Extension modules share their attributes on the module that holds NumPy's
# own capsules: numpy._core.multiarray from NumPy 2 on (numpy.core is then a
# deprecated alias), numpy.core.multiarray before.
if NUMPY_2:
    import numpy._core.multiarray as _multiarray  # noqa: E402
else:
    import numpy.core.multiarray as _multiarray  # noqa: E402

BORROW_API_ATTRIBUTE = "_RUST_NUMPY_BORROW_CHECKING_API"
ALREADY_BORROWED = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
NOT_CONTIGUOUS = "called `Result::unwrap()` on an `Err` value: NotContiguousError"
# PYFUNCTYPE keeps the interpreter lock held across the call, as the protocol requires.
ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.py_object)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)

_capsule_get_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_get_name.restype, _capsule_get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
_capsule_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_get_pointer.restype = ctypes.c_void_p
_capsule_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_CAPSULE_NAME = BORROW_API_ATTRIBUTE.encode()


class BorrowApiRecord(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint64), ("state", ctypes.c_void_p),
                ("acquire_shared", ACQUIRE), ("acquire_exclusive", ACQUIRE),
                ("release_shared", RELEASE), ("release_exclusive", RELEASE)]


assert ctypes.sizeof(BorrowApiRecord) == 48


class BorrowApi:
    """Calls the registry published on NumPy's multiarray module through its record, remembering
    the borrows it was granted so that a test can give back whatever it left held."""

    def __init__(self, capsule=None):
        self.capsule = getattr(_multiarray, BORROW_API_ATTRIBUTE) if capsule is None else capsule
        self.name = _capsule_get_name(self.capsule)
        self.record = BorrowApiRecord.from_address(_capsule_get_pointer(self.capsule, self.name))
        self.held = []

    def acquire(self, kind, array):
        code = getattr(self.record, "acquire_" + kind)(self.record.state, array)
        if code == 0:
            self.held.append((kind, array))
        return code

    def release(self, kind, array):
        getattr(self.record, "release_" + kind)(self.record.state, array)
        for index, (held_kind, held_array) in enumerate(self.held):
            if held_kind == kind and held_array is array:
                del self.held[index]
                break

    acquire_shared = functools.partialmethod(acquire, "shared")
    acquire_exclusive = functools.partialmethod(acquire, "exclusive")
    release_shared = functools.partialmethod(release, "shared")
    release_exclusive = functools.partialmethod(release, "exclusive")


def make_capsule(record):
    """A capsule over a ctypes record (the caller keeps the record alive)."""
    return _capsule_new(ctypes.addressof(record), _CAPSULE_NAME, None)


class CountingRegistry:
    """A registry of another module: Python callbacks that log every call and answer `code`."""

    def __init__(self, version=2, code=0, state=0x5EED):
        self.calls = []
        self.code = code

        def acquire(kind):
            return ACQUIRE(lambda st, arr: (self.calls.append((kind, st, arr)), self.code)[1])

        def release(kind):
            return RELEASE(lambda st, arr: self.calls.append((kind, st, arr)))

        self.record = BorrowApiRecord(version, state, acquire("acquire_shared"),
                                      acquire("acquire_exclusive"), release("release_shared"),
                                      release("release_exclusive"))
        self.capsule = make_capsule(self.record)

    def install(self):
        setattr(_multiarray, BORROW_API_ATTRIBUTE, self.capsule)


@pytest.fixture
def borrow_api():
    """The installed registry (installed by a first kernel call); leftover borrows are released."""
    undarix.harmonic_oscillator(np.zeros(1), *VALID_SCALARS["harmonic_oscillator"])
    api = BorrowApi()
    yield api
    while api.held:
        api.release(*api.held[-1])
