"""Reads the sanitizer logs of a run (one file per process) and prints the verdict: every
memory error or undefined-behaviour report fails the run, and so does every leak with a frame
of undarix in its allocation stack; other leaks (CPython, NumPy, the libraries the tests use)
are only counted."""
import glob
import re
import sys

# Either module's shared object, the C++ namespace, or any of the sources.
OURS = re.compile(r"undarix(?:_ufuncs)?\.cpython|undarix::|/src/(?:frame|numpy|kernels|maths|parallel|ufuncs)/"
                  r"|/src/[a-z_]+\.(?:cpp|hpp)")

errors, our_leaks, other_leaks = [], [], 0
for path in sorted(glob.glob(sys.argv[1] + "/*")):
    text = open(path, errors="replace").read()
    for block in re.split(r"\n\s*\n", text):
        if re.match(r"\s*(Direct|Indirect) leak", block):
            if OURS.search(block):
                our_leaks.append(block)
            else:
                other_leaks += 1
        elif re.search(r"ERROR: (?!LeakSanitizer)|runtime error:", block):
            errors.append(block)
for report in errors + our_leaks:
    print(report + "\n", file=sys.stderr)
print("sanitizer: %d memory or undefined-behaviour reports, %d leaks through undarix "
      "(%d other leaks, not undarix's)" % (len(errors), len(our_leaks), other_leaks))
sys.exit(1 if errors or our_leaks else 0)
