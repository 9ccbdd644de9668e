"""Waits until no process carries the given NAME=VALUE in its environment, for at most the
given number of seconds; then lists those still alive and exits with status 1."""
import os
import sys
import time

mark, limit = sys.argv[1].encode(), float(sys.argv[2])


def marked():
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        if int(pid) == os.getpid():
            continue
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                if mark not in f.read().split(b"\0"):
                    continue
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                found.append((pid, f.read().replace(b"\0", b" ").decode(errors="replace")))
        except OSError:  # ended meanwhile, or not ours to read
            pass
    return found


deadline = time.monotonic() + limit
while True:
    alive = marked()
    if not alive or time.monotonic() > deadline:
        break
    time.sleep(0.2)
for pid, command in alive:
    print("sanitizer run: process %s still alive after %g s: %s" % (pid, limit, command[:200]),
          file=sys.stderr)
sys.exit(1 if alive else 0)
