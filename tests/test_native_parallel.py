"""The parallel layer's native checks (tests/native/parallel): src/parallel built on its own with
CMake, without Python, and driven from C++: chunk claiming, a stop at every poll, a fork during
the loop and another in the child, the worker team over a stream of changing tasks, thread start
and allocation failures, cgroup files from fixture directories, the thread-count settings and the
process id remembered across forks.
Built once per session; UNDARIX_NATIVE_BUILD_DIR, UNDARIX_NATIVE_CXXFLAGS and
UNDARIX_NATIVE_BUILD_TYPE choose where and how (scripts/coverage builds them with its counters)."""
import os
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE = os.path.join(ROOT, "tests", "native", "parallel")
CHECKS = {
    "parallel_check": ["chunk_claiming", "stop_at_every_poll", "fork_during_the_loop",
                       "fork_inside_a_nested_loop", "fork_again_in_the_child", "cgroup_v2", "cgroup_v1",
                       "affinity_mask", "thread_count_settings", "process_id_in_forked_children"],
    "start_failure_check": ["allocation_failures", "thread_start_failures"],
    "team_check": ["exactly_once_over_many_tasks"],
}

pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="POSIX threads, fork and cgroups as on Linux"),
    pytest.mark.skipif(shutil.which("cmake") is None or shutil.which(os.environ.get("CXX", "c++")) is None,
                       reason="needs cmake and a C++ compiler"),
]


def clean_env():
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)  # a sanitizer runtime preloaded for Python is not these programs'
    return env


@pytest.fixture(scope="session")
def native_build(tmp_path_factory):
    build = os.environ.get("UNDARIX_NATIVE_BUILD_DIR") or str(tmp_path_factory.mktemp("native-parallel"))
    build_type = os.environ.get("UNDARIX_NATIVE_BUILD_TYPE", "RelWithDebInfo")
    configure = ["cmake", "-S", SOURCE, "-B", build, "-DCMAKE_BUILD_TYPE=" + build_type]
    flags = os.environ.get("UNDARIX_NATIVE_CXXFLAGS")
    if flags:
        configure += ["-DCMAKE_CXX_FLAGS=" + flags, "-DCMAKE_EXE_LINKER_FLAGS=" + flags]
    for command in (configure, ["cmake", "--build", build, "-j2"]):
        completed = subprocess.run(command, capture_output=True, text=True, env=clean_env(), timeout=600)
        assert completed.returncode == 0, completed.stdout[-3000:] + completed.stderr[-3000:]
    return build


@pytest.mark.parametrize("program", sorted(CHECKS))
def test_every_check_is_run(native_build, program):
    listed = subprocess.run([os.path.join(native_build, program), "--list"], capture_output=True, text=True,
                            check=True, env=clean_env()).stdout.split()
    assert listed == CHECKS[program]


@pytest.mark.parametrize("program, check", [(program, check) for program in sorted(CHECKS)
                                            for check in CHECKS[program]])
def test_native_check(native_build, program, check):
    completed = subprocess.run([os.path.join(native_build, program), check], capture_output=True, text=True,
                               env=clean_env(), timeout=120)
    assert completed.returncode == 0, completed.stdout + completed.stderr
    assert completed.stdout == check + " passed\n"
