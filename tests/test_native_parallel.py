"""The parallel layer's native checks (tests/native/parallel): src/parallel built on its own with
CMake, without Python, and driven from C++: chunk claiming, a stop at every poll, a fork during
the loop and another in the child, the worker team over a stream of changing tasks and the
floating-point flags its workers raise, thread start and allocation failures, cgroup files from
fixture directories, the thread-count settings and the process id remembered across forks.
Built once per session; UNDARIX_NATIVE_BUILD_DIR, UNDARIX_NATIVE_CXXFLAGS and
UNDARIX_NATIVE_BUILD_TYPE choose where and how (scripts/coverage builds them with its counters)."""
import os
import shutil
import sys

import pytest

import native_checks

CHECKS = {
    "parallel_check": ["chunk_claiming", "stop_at_every_poll", "fork_during_the_loop",
                       "fork_inside_a_nested_loop", "fork_again_in_the_child", "cgroup_v2", "cgroup_v1",
                       "affinity_mask", "thread_count_settings", "process_id_in_forked_children"],
    "start_failure_check": ["allocation_failures", "thread_start_failures"],
    "team_check": ["exactly_once_over_many_tasks", "worker_flags_reach_the_caller", "concurrent_callers"],
}

pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="POSIX threads, fork and cgroups as on Linux"),
    pytest.mark.skipif(shutil.which("cmake") is None or shutil.which(os.environ.get("CXX", "c++")) is None,
                       reason="needs cmake and a C++ compiler"),
]


@pytest.fixture(scope="session")
def native_build(tmp_path_factory):
    return native_checks.build(
        "parallel", os.environ.get("UNDARIX_NATIVE_BUILD_DIR") or str(tmp_path_factory.mktemp("native-parallel")))


@pytest.mark.parametrize("program", sorted(CHECKS))
def test_every_check_is_run(native_build, program):
    assert native_checks.listed_checks(native_build, program) == CHECKS[program]


@pytest.mark.parametrize("program, check", [(program, check) for program in sorted(CHECKS)
                                            for check in CHECKS[program]])
def test_native_check(native_build, program, check):
    native_checks.run_check(native_build, program, check, timeout=120)
