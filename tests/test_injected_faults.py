"""Failure paths that only an injected fault reaches: allocation failures at every allocation of
an import and of each kind of call, C++ allocation failures and result arrays that cannot be
created under an address-space limit, a registry that cannot be installed.  Every outcome is a
result, a Python exception or the documented abort, never a crash or a hang, and a later call
in a process that survives works."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import ALREADY_BORROWED, NUMPY_2, VALID_SCALARS, run_python

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
UNDER_CHECKER = "vgpreload" in os.environ.get("LD_PRELOAD", "") or "asan" in os.environ.get(
    "LD_PRELOAD", "")
# The checkers, and an emulator (qemu-user, whose own address space RLIMIT_AS limits;
# scripts/test-aarch64 says so), reserve address space of their own.
ADDRESS_SPACE_RESERVED = UNDER_CHECKER or os.environ.get("UNDARIX_TESTS_EMULATED") == "1"
ABORT_REPORT = "uncaught panic at ffi boundary"

try:
    import _testcapi
    HAS_NOMEMORY = hasattr(_testcapi, "set_nomemory")
except ImportError:
    HAS_NOMEMORY = False

# Forks one child per allocation number k; in the child the k-th allocation through the
# interpreter's allocators after the fault is armed fails (that one only, so that the test's
# own exception handling still works), then a normal call is made.  The sweep ends once 30
# numbers in a row gave the outcome of a run without faults.
SWEEP = """
import json, os, signal, sys, tempfile, time
sys.path.insert(0, %(tests)r)
import _testcapi
import numpy as np
# Not from conftest, which imports undarix.
VALID_SCALARS = %(scalars)r
t = np.linspace(0.0, 1.0, 8)
%(prepare)s

def attempt():
    %(attempt)s

def next_call():
    module = globals().get("initialized") or __import__(%(module)r)
    return module.harmonic_oscillator(t, *VALID_SCALARS["harmonic_oscillator"]).tolist()

def child(k):
    late = False
    if k is not None:
        _testcapi.set_nomemory(k, k + 1)
    try:
        try:
            attempt()
            outcome = "result"
        except BaseException as exc:
            outcome = exc
        # The first allocation after the attempt: failing here, the fault came too late to
        # reach the attempt, and so will every later one.
        try:
            bytearray(64)
        except MemoryError:
            late = True
    finally:
        _testcapi.remove_mem_hooks()
    detail = None
    if not isinstance(outcome, str):
        detail = repr(outcome)[:300] + " from " + repr(outcome.__context__)[:300]
        outcome = type(outcome).__name__
    try:
        after = next_call()
    except BaseException as exc:
        after = [type(exc).__name__, str(exc)]
    return [outcome, after, late, detail]

def run(k):
    log = tempfile.TemporaryFile()
    read, write = os.pipe()
    sys.stdout.flush()
    sys.stderr.flush()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        os.dup2(log.fileno(), 2)
        os.write(write, json.dumps(child(k)).encode())
        # A normal exit, so that a coverage build writes its counters.
        raise SystemExit(0)
    os.close(write)
    deadline = time.monotonic() + 60
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            return ["hang", None, False, None]
        time.sleep(0.005)
    data = b""
    while True:
        chunk = os.read(read, 65536)
        if not chunk:
            break
        data += chunk
    os.close(read)
    log.seek(0)
    stderr = log.read().decode(errors="replace")
    if os.WIFSIGNALED(status):
        signal_number = os.WTERMSIG(status)
        if signal_number == signal.SIGABRT and %(abort_report)r in stderr:
            return ["abort", None, False, None]
        return ["signal %%d" %% signal_number, stderr[-2000:], False, None]
    if not data:  # the fault hit the exception handling of the harness itself
        return ["harness", None, False, None]
    result = json.loads(data)
    # The interpreter's eval loop lost an exception to the fault (a function of this module
    # that did so would be reported as having "returned NULL without setting an exception").
    if result[0] == "SystemError" and "'error return without exception set'" in result[3]:
        result[0] = "harness"
    return result

normal = run(None)
outcomes = {}
k = 0
while k < 20000:
    result = run(k)
    if result[2]:
        break
    outcomes.setdefault(result[0], []).append(k)
    # pickle reports a failed import of the reconstructor's module as PicklingError.
    if result[0] not in ("result", "MemoryError", "PanicException", "ImportError", "TypeError",
                         "PicklingError", "abort", "harness") or result[1] not in (None, normal[1], [
                             "ImportError", "PyO3 modules may only be initialized once per interpreter process"]):
        print(json.dumps({"k": k, "bad": result}))
        break
    k += 1
print(json.dumps({"normal": normal, "outcomes": outcomes, "last": k}))
"""

WARM_UP = """
import undarix
for call in ("harmonic_oscillator(t, *VALID_SCALARS['harmonic_oscillator'])",
             "harmonic_oscillator(t[::2], *VALID_SCALARS['harmonic_oscillator'])"):
    try:
        eval("undarix." + call)
    except BaseException:
        pass
"""

CALLS = {
    "success": ("undarix.fourier_square_wave(t, *VALID_SCALARS['fourier_square_wave'])", "result"),
    "binding failure": ("undarix.pseudo_square_wave(t, 1.0, x=2.0)", "TypeError"),
    "conversion failure": ("undarix.transient_impulse(t, 1.0, '6', 0.5, 0.25)", "TypeError"),
    # The name is shown with its lone surrogate replaced, through an encoding and a decoding.
    "binding failure, surrogate name": ("undarix.pseudo_square_wave(t, 1.0, **{'\\udcff': 2.0})",
                                        "TypeError"),
    "panic": ("undarix.pseudo_cycloid_wave(t[::2], *VALID_SCALARS['pseudo_cycloid_wave'])",
              "PanicException"),
}
# The module's initialisation entry, called as the import machinery calls it: what the
# machinery itself does around it under a fault is the interpreter's business (CPython 3.13.0
# crashes in its cache of extension modules when an allocation there fails).
SWEEPS = {"import": ("import ctypes, importlib.util\n"
                     "init = ctypes.PyDLL(importlib.util.find_spec('undarix').origin).PyInit_undarix\n"
                     "init.restype = ctypes.py_object",
                     "global initialized; initialized = init()", "result")}
for kind, (call, normal) in CALLS.items():
    SWEEPS["first call: " + kind] = ("import undarix", call, normal)
    SWEEPS["later call: " + kind] = (WARM_UP, call, normal)
# The ufunc module's calls on each path of its loop driver (a loop call reads the thread settings
# from 768 evaluations on, and their warning runs Python's warning machinery; it is split from
# 8,192 when it is a call of its own, from 768 when it is a row of a run that has done 8,192).  Not swept: its initialisation,
# because NumPy 2's PyUFunc_FromFuncAndData crashes when certain of its own allocations fail
# (boundarraymethod_dealloc of a half-built method), and broadcast calls, where NumPy's own ufuncs
# (np.arctan2 as well) return NULL without an exception when one of its allocations fails.
UFUNC_CALLS = {
    "short loop": "undarix_ufuncs.harmonic_oscillator(t, *VALID_SCALARS['harmonic_oscillator'])",
    "team": "undarix_ufuncs.fourier_square_wave(long_t[:2000], *VALID_SCALARS['fourier_square_wave'])",
    "long loop": "undarix_ufuncs.pseudo_square_wave(long_t, *VALID_SCALARS['pseudo_square_wave'])",
    "thread-setting warning": "undarix_ufuncs.harmonic_oscillator(long_t, *VALID_SCALARS['harmonic_oscillator'])",
}
for kind, call in UFUNC_CALLS.items():
    prepare = "import os, undarix_ufuncs\nlong_t = np.linspace(0.0, 1.0, 100_000)"
    if kind == "thread-setting warning":
        prepare += "\nos.environ['UNDARIX_NUM_THREADS'] = 'bogus'\nimport warnings; warnings.simplefilter('ignore')"
    SWEEPS["ufuncs: " + kind] = (prepare, call, "result")
# CPython 3.12.1 itself crashes at exit (SIGSEGV) after a first `import threading` that a failed
# allocation broke off (scripts/threading_import_fault.py shows it without undarix).  Up to 3.12
# the ufunc module imports threading to learn Python's main thread when a loop call first reads
# the thread settings, and NumPy 2's import has not imported it: those sweeps reach the crash.
THREADING_IMPORT_CRASHES = sys.version_info[:3] == (3, 12, 1) and NUMPY_2
READS_SETTINGS = {"ufuncs: team", "ufuncs: long loop", "ufuncs: thread-setting warning"}
RAISED = WARM_UP + """
import pickle
try:
    undarix.harmonic_oscillator(t[::2], *VALID_SCALARS['harmonic_oscillator'])
except BaseException as exc:
    raised = exc
"""
SWEEPS["pickling a panic"] = (RAISED, "pickle.dumps(raised)", "result")
SWEEPS["unpickling a panic"] = (RAISED + "data = pickle.dumps(raised)", "pickle.loads(data)", "result")


@pytest.mark.skipif(not HAS_NOMEMORY or UNDER_CHECKER,
                    reason="needs _testcapi.set_nomemory; forks hundreds of processes")
@pytest.mark.parametrize("sweep", SWEEPS)
def test_allocation_failure_at_every_allocation(sweep):
    if THREADING_IMPORT_CRASHES and sweep in READS_SETTINGS:
        pytest.skip("CPython 3.12.1 crashes at exit after a first import of threading that an "
                    "allocation failure broke off (scripts/threading_import_fault.py)")
    prepare, attempt, normal = SWEEPS[sweep]
    code = SWEEP % {"tests": TESTS_DIR, "prepare": prepare, "attempt": attempt,
                    "abort_report": ABORT_REPORT, "scalars": VALID_SCALARS,
                    "module": "undarix_ufuncs" if sweep.startswith("ufuncs") else "undarix"}
    completed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                               timeout=900)
    assert completed.returncode == 0, completed.stderr[-3000:]
    report = json.loads(completed.stdout.splitlines()[-1])
    assert "bad" not in json.loads(completed.stdout.splitlines()[0]), completed.stdout
    assert report["normal"][:2] == [normal, report["normal"][1]] and report["normal"][1] is not None
    # The sweep went past the attempt's last allocation, and faults changed the outcome.
    assert report["last"] < 20000
    assert set(report["outcomes"]) - {normal}, report["outcomes"]


def run_limited(code, timeout=300):
    """Runs `code` in a fresh interpreter; `limit(extra)` there caps the address space at the
    current size plus `extra` bytes, `unlimit()` lifts the cap again."""
    prelude = textwrap.dedent("""
        import json, resource, sys
        sys.path.insert(0, %r)
        def size():
            with open("/proc/self/statm") as statm:
                return int(statm.read().split()[0]) * resource.getpagesize()
        SOFT, HARD = resource.getrlimit(resource.RLIMIT_AS)
        def limit(extra):
            resource.setrlimit(resource.RLIMIT_AS, (size() + extra, HARD))
        def unlimit():
            resource.setrlimit(resource.RLIMIT_AS, (SOFT, HARD))
        def accessible():
            # Mappings that can be read or written, by start: what holds memory.  Reserved
            # address space (PROT_NONE), such as the C library's reservation for a new malloc
            # arena that a failing allocation may make, holds none.
            found = {}
            with open("/proc/self/maps") as maps:
                for line in maps:
                    fields = line.split()
                    if fields[1].startswith("---"):
                        continue
                    first, last = (int(end, 16) for end in fields[0].split("-"))
                    found[first] = last - first
            return found
        def grown(before, after):
            # Bytes of accessible mappings gained, and the largest of them.
            gained = [size - before.get(start, 0) for start, size in after.items() if size > before.get(start, 0)]
            return sum(gained), max(gained, default=0)
    """ % TESTS_DIR)
    completed = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)],
                               capture_output=True, text=True, timeout=timeout)
    assert completed.returncode == 0, completed.stderr[-3000:]
    return json.loads(completed.stdout.splitlines()[-1]), completed.stderr


@pytest.mark.skipif(ADDRESS_SPACE_RESERVED, reason="the checkers and emulators reserve address space of their own")
def test_cpp_allocation_failure_is_memory_error_and_the_next_call_works():
    # The keyword's name is copied into the message of the binding error: with no room for
    # the copy, the C++ allocation fails inside the call.
    result, _ = run_limited("""
        import numpy as np, undarix
        t = np.linspace(0.0, 1.0, 8)
        name = "k" * (256 << 20)
        limit(64 << 20)
        try:
            undarix.harmonic_oscillator(t, 1.0, 0.0, 1.0, 0.0, 0.0, **{name: 1.0})
            outcome = "result"
        except BaseException as exc:
            outcome = type(exc).__name__
        del name
        unlimit()
        again = undarix.harmonic_oscillator(t, 1.0, 0.0, 1.0, 0.0, 0.0).shape
        try:
            undarix.harmonic_oscillator(t, 1.0, 0.0, 1.0, 0.0, 0.0, unknown=1.0)
        except TypeError as exc:
            message = str(exc)
        print(json.dumps([outcome, list(again), message]))
    """)
    assert result == ["MemoryError", [8],
                      "harmonic_oscillator() got an unexpected keyword argument 'unknown'"]


@pytest.mark.skipif(ADDRESS_SPACE_RESERVED, reason="the checkers and emulators reserve address space of their own")
@pytest.mark.parametrize("call", [
    "undarix_ufuncs.harmonic_oscillator(t, 1.0, 0.0, 1.0, 0.0, 0.0)",                       # long loop
    "undarix_ufuncs.harmonic_oscillator(t[:20000], 1.0, 0.0, 1.0, 0.0, 0.0)",               # team
    "undarix_ufuncs.harmonic_oscillator(t[None, :1000], rows, 0.0, 1.0, 0.0, 0.0)",         # sweep
])
def test_cpp_allocation_failure_in_a_ufunc_loop_is_memory_error_and_the_next_call_works(call):
    # The text of the thread-setting warning is built in a C++ string: with no room for it, the
    # allocation fails inside the inner loop, under NumPy's C frames, where no C++ exception may
    # go.  The loop reports it as NumPy's error path expects: a pending MemoryError.
    result, _ = run_limited("""
        import os, numpy as np, undarix_ufuncs
        t = np.linspace(0.0, 1.0, 100_000)
        rows = np.linspace(0.5, 1.5, 30)[:, None]
        expected = %(call)s
        os.environ["UNDARIX_NUM_THREADS"] = "x" * (32 << 20)
        limit(8 << 20)
        try:
            %(call)s
            outcome = "result"
        except BaseException as exc:
            outcome = type(exc).__name__
        unlimit()
        os.environ["UNDARIX_NUM_THREADS"] = "2"
        again = %(call)s
        print(json.dumps([outcome, again.tobytes() == expected.tobytes()]))
    """ % {"call": call})
    assert result == ["MemoryError", True]


@pytest.mark.skipif(sys.platform != "linux", reason="RLIMIT_NPROC and setuid as on Linux")
@pytest.mark.parametrize("limit", [1, 2])
def test_ufunc_threads_that_cannot_start_leave_the_result_whole(limit):
    # RLIMIT_NPROC counts the threads of the real user: with a limit of 1 no thread can start,
    # with 2 one can.  Root is exempt from it, so a root process first becomes "nobody".  The
    # team (rows of a sweep) and the threads started for a long loop are done without.
    completed = run_python("""
        import os, resource, threading, numpy as np, undarix_ufuncs
        os.environ["UNDARIX_NUM_THREADS"] = "8"
        t = np.linspace(-40.0, 40.0, 1_000_003)
        rows = np.linspace(0.5, 1.5, 40)[:, None]
        calls = [lambda: undarix_ufuncs.transient_impulse(t, 1.5, 6.0, 0.4, 0.1),
                 lambda: undarix_ufuncs.transient_impulse(t[None, :1000], rows, 6.0, 0.4, 0.1)]
        os.environ["UNDARIX_NUM_THREADS"] = "1"
        expected = [call().tobytes() for call in calls]
        os.environ["UNDARIX_NUM_THREADS"] = "8"
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
            assert [call().tobytes() for call in calls] == expected
        print("whole", flush=True)
        # Skips exit-time checks that need a thread of their own or files of the original user
        # (a sanitizer's leak check, when the suite runs under one).
        os._exit(0)
    """ % (limit, limit, limit))
    assert completed.stdout.split() == ["whole"]


@pytest.mark.skipif(ADDRESS_SPACE_RESERVED, reason="the checkers and emulators reserve address space of their own")
@pytest.mark.parametrize("name, extra", [
    ("harmonic_oscillator", 100 << 20),  # room for much, not for the 160 MB result
    ("pseudo_cycloid_wave", 16 << 20),
    ("fourier_square_wave", 64 << 20),
])
def test_result_array_that_cannot_be_created_is_memory_error_and_releases_everything(name, extra):
    # NumPy's own MemoryError reaches the caller, and the borrow is given back.
    result, stderr = run_limited("""
        import numpy as np, undarix
        from conftest import BorrowApi
        function = undarix.%s
        args = (1.0, 0.0, 1.0, 0.0, 0.0) + ((3,) if function is undarix.fourier_square_wave else ())
        n = 20_000_000  # 160 MB of float64
        t = np.linspace(0.0, 1.0, n)
        function(t[:10], *args)  # installs the registry
        before = accessible()
        limit(%d)
        try:
            function(t, *args)
            outcome = ["result"]
        except BaseException as exc:
            outcome = [type(exc).__name__, str(exc)]
        kept = grown(before, accessible())
        # Everything of the failed call is back: the same call fits once more memory is there,
        # and nothing holds a borrow of t.
        api = BorrowApi()
        exclusive = api.acquire_exclusive(t)
        api.release_exclusive(t)
        unlimit()
        again = function(t, *args).shape
        print(json.dumps([outcome, exclusive, list(again), kept]))
    """ % (name, extra))
    (kind, message), exclusive, again, (kept, largest) = result
    # NumPy's message, which names the array it could not allocate.
    assert (kind, "(20000000,)" in message) == ("MemoryError", True), stderr[-2000:]
    assert (exclusive, again) == (0, [20_000_000])
    assert kept < (16 << 20), "the failed call left %d bytes of memory mapped (at most %d in one piece)" % (
        kept, largest)


REFUSING_MODULE = """
import types
class Refusing(types.ModuleType):
    def __setattr__(self, name, value):
        if name == BORROW_API_ATTRIBUTE:
            raise RuntimeError("refused")
        super().__setattr__(name, value)
"""

INSTALL_FAILURES = {
    "attribute store refused": (REFUSING_MODULE + "multiarray.__class__ = Refusing",
                                "multiarray.__class__ = types.ModuleType",
                                "RuntimeError('refused')"),
    "module missing": ("sys.modules[multiarray.__name__] = None",
                       "sys.modules[multiarray.__name__] = multiarray",
                       "ModuleNotFoundError("),
}
if NUMPY_2:
    INSTALL_FAILURES["compatibility module refuses"] = (
        REFUSING_MODULE + "import numpy.core.multiarray as compat; compat.__class__ = Refusing",
        "compat.__class__ = types.ModuleType", "RuntimeError('refused')")


@pytest.mark.parametrize("cause", INSTALL_FAILURES)
def test_registry_that_cannot_be_installed(cause):
    setup, remove, error = INSTALL_FAILURES[cause]
    completed = run_python("""
        import gc, json, sys
        sys.path.insert(0, %r)
        import numpy as np
        import undarix
        from conftest import BORROW_API_ATTRIBUTE, BorrowApi, _multiarray as multiarray
        t = np.linspace(0.0, 1.0, 8)
        try:  # loads NumPy's table, and stops before the kernel
            undarix.harmonic_oscillator(t, "x", 0.0, 1.0, 0.0, 0.0)
        except TypeError:
            pass
        %s
        outcomes = []
        for _ in range(3):
            try:
                undarix.harmonic_oscillator(t, 1.0, 0.0, 1.0, 0.0, 0.0)
                outcomes.append("ok")
            except BaseException as exc:
                outcomes.append([type(exc).__name__, str(exc)])
            gc.collect()
        installed = BORROW_API_ATTRIBUTE in vars(multiarray)
        %s
        result = undarix.harmonic_oscillator(t, 1.0, 0.0, 1.0, 0.0, 0.0).shape
        api = BorrowApi()
        api.acquire_exclusive(t)
        try:
            undarix.harmonic_oscillator(t, 1.0, 0.0, 1.0, 0.0, 0.0)
        except BaseException as exc:
            blocked = str(exc)
        print(json.dumps([outcomes, installed, list(result), blocked]))
    """ % (TESTS_DIR, textwrap.indent(setup, " " * 8).strip(), remove))
    outcomes, installed, result, blocked = json.loads(completed.stdout.splitlines()[-1])
    for name, message in outcomes:
        assert name == "PanicException"
        assert message.startswith("Interal borrow checking API error: PyErr { type: ")
        assert error in message
    assert not installed or cause == "compatibility module refuses"
    assert result == [8] and blocked == ALREADY_BORROWED
