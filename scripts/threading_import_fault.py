"""Shows a crash of CPython itself, without undarix: a process whose first `import threading`
meets a failed allocation (one, at number k, injected with _testcapi.set_nomemory) dies with
SIGSEGV when it exits, for some k.  Run with the interpreter to check:

    python scripts/threading_import_fault.py [--numpy] [first_k last_k]

It forks one child per k (0 to 3000 unless told), prints the numbers whose child died of a
signal, and exits with 1 if any did.  --numpy imports NumPy first, as the test suite's
processes do (NumPy 2 does not import threading), which moves the numbers.  Found on CPython
3.12.1 (k = 2571 alone; some of 1612 to 1619 with --numpy) and on 3.13.0 with --numpy (from 1499);
not on 3.9.18 or 3.10.13; 3.11.7 imports threading at start-up, so the case does not arise
there.  On 3.12.1 the failed allocation is inside `_MainThread()` near the end of the module
(the closure tuple made by `_make_invoke_excepthook`), and the exit's garbage collection then
meets a freed constant of that function's code.  Up to 3.12 the ufunc module imports threading
to learn Python's main thread the first time a loop call reads the thread settings:
tests/test_injected_faults.py skips those sweeps on 3.12.1 with NumPy 2."""
import os
import signal
import sys

import _testcapi

arguments = sys.argv[1:]
if arguments[:1] == ["--numpy"]:
    import numpy  # noqa: F401
    arguments = arguments[1:]
if "threading" in sys.modules:
    sys.exit("threading is imported already here: the case does not arise")
first, last = (int(a) for a in arguments[:2]) if len(arguments) > 1 else (0, 3000)
crashed = []
for k in range(first, last):
    pid = os.fork()
    if pid == 0:
        # The interpreter's own reports of the failures are not what is looked for.
        os.dup2(os.open(os.devnull, os.O_WRONLY), 2)
        _testcapi.set_nomemory(k, k + 1)
        try:
            import threading  # noqa: F401
        except BaseException:
            pass
        finally:
            _testcapi.remove_mem_hooks()
        raise SystemExit(0)
    _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status):
        crashed.append("%d (%s)" % (k, signal.Signals(os.WTERMSIG(status)).name))
print("CPython %s: %s" % (sys.version.split()[0], ", ".join(crashed) if crashed else "no child crashed"))
sys.exit(1 if crashed else 0)
