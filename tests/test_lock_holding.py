"""Whether a thread counts as holding the interpreter lock, checked in an embedded interpreter
(tests/native/lock_holding_check.cpp): a reference released while this thread does not hold the
lock, as CPython reports it, must be queued, never decremented unlocked."""
import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
COMPILER = os.environ.get("CXX", "c++")
SOURCES = ["frame/entry_depth.cpp", "frame/error_indicator.cpp", "frame/interpreter_lock.cpp",
           "frame/lock_ownership.cpp", "frame/main_thread.cpp", "frame/separate_stack.cpp",
           "frame/pending_releases.cpp", "parallel/this_process.cpp"]


def embedding_flags():
    libdir = sysconfig.get_config_var("LIBDIR")
    version = sysconfig.get_config_var("LDVERSION") or sysconfig.get_python_version()
    return ["-I", sysconfig.get_paths()["include"], "-L", libdir, "-Wl,-rpath," + libdir,
            "-lpython" + version]


@pytest.mark.skipif(shutil.which(COMPILER) is None or not sysconfig.get_config_var("Py_ENABLE_SHARED"),
                    reason="needs a C++ compiler and a shared libpython")
def test_releases_while_the_lock_is_given_up_are_queued(tmp_path):
    program = tmp_path / "lock_holding_check"
    subprocess.run([COMPILER, "-std=c++17", "-O1", "-I", os.path.join(ROOT, "src"),
                    os.path.join(ROOT, "tests", "native", "lock_holding_check.cpp")]
                   + [os.path.join(ROOT, "src", source) for source in SOURCES]
                   + ["-o", str(program), "-pthread"] + embedding_flags(), check=True, timeout=300)
    env = dict(os.environ, PYTHONHOME=sys.base_prefix)
    env.pop("LD_PRELOAD", None)  # a sanitizer runtime is not linked into this program
    result = subprocess.run([str(program)], capture_output=True, text=True, timeout=60, env=env)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout == "lock holding checked\n"
