"""The pure maths' native checks (tests/native/maths): src/maths built on its own with CMake, without
Python, NumPy or threads, and driven from C++.  The exact full-turn remainder is built twice, as the
module builds it and without 128-bit integers (UNDARIX_PORTABLE_INT128, as MSVC builds it): each build
gives fmod's bits, and the build with 128-bit integers also compares the two modular products, and the
remainders they give, bit for bit on the same inputs.  The waveform table's entries keep their
parameters in order, and each entry's derivatives follow central differences of its value.  Built once per session; UNDARIX_NATIVE_CXXFLAGS
and UNDARIX_NATIVE_BUILD_TYPE choose how (as for the parallel layer's checks)."""
import os
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE = os.path.join(ROOT, "tests", "native", "maths")
CHECKS = {
    "full_turn_remainder_check": ["remainder_matches_fmod", "portable_product_matches_wide",
                                  "build_chose_its_product"],
    "full_turn_remainder_portable_check": ["remainder_matches_fmod", "build_chose_its_product"],
    "waveform_table_check": ["parameters_in_order", "derivatives_follow_the_values"],
}

pytestmark = pytest.mark.skipif(
    shutil.which("cmake") is None or shutil.which(os.environ.get("CXX", "c++")) is None,
    reason="needs cmake and a C++ compiler")


def clean_env():
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)  # a sanitizer runtime preloaded for Python is not these programs'
    return env


@pytest.fixture(scope="session")
def maths_build(tmp_path_factory):
    build = str(tmp_path_factory.mktemp("native-maths"))
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
def test_every_check_is_run(maths_build, program):
    listed = subprocess.run([os.path.join(maths_build, program), "--list"], capture_output=True, text=True,
                            check=True, env=clean_env()).stdout.split()
    assert listed == CHECKS[program]


@pytest.mark.parametrize("program, check", [(program, check) for program in sorted(CHECKS)
                                            for check in CHECKS[program]])
def test_native_check(maths_build, program, check):
    completed = subprocess.run([os.path.join(maths_build, program), check], capture_output=True, text=True,
                               env=clean_env(), timeout=300)
    assert completed.returncode == 0, completed.stdout + completed.stderr
    assert completed.stdout == check + " passed\n"
