"""The pure maths' native checks (tests/native/maths): src/maths built on its own with CMake, without
Python, NumPy or threads, and driven from C++.  The exact full-turn remainder is built twice, as the
module builds it and without 128-bit integers (UNDARIX_PORTABLE_INT128, as MSVC builds it): each build
gives fmod's bits, and the build with 128-bit integers also compares the two modular products, and the
remainders they give, bit for bit on the same inputs.  The waveform table's entries keep their
parameters in order, and each entry's derivatives follow central differences of its value.  Built
once per session; UNDARIX_NATIVE_CXXFLAGS and UNDARIX_NATIVE_BUILD_TYPE choose how (as for the
parallel layer's checks)."""
import os
import shutil

import pytest

import native_checks
CHECKS = {
    "full_turn_remainder_check": ["remainder_matches_fmod", "portable_product_matches_wide",
                                  "build_chose_its_product"],
    "full_turn_remainder_portable_check": ["remainder_matches_fmod", "build_chose_its_product"],
    "waveform_table_check": ["parameters_in_order", "derivatives_follow_the_values"],
}

pytestmark = pytest.mark.skipif(
    shutil.which("cmake") is None or shutil.which(os.environ.get("CXX", "c++")) is None,
    reason="needs cmake and a C++ compiler")


@pytest.fixture(scope="session")
def maths_build(tmp_path_factory):
    return native_checks.build("maths", str(tmp_path_factory.mktemp("native-maths")))


@pytest.mark.parametrize("program", sorted(CHECKS))
def test_every_check_is_run(maths_build, program):
    assert native_checks.listed_checks(maths_build, program) == CHECKS[program]


@pytest.mark.parametrize("program, check", [(program, check) for program in sorted(CHECKS)
                                            for check in CHECKS[program]])
def test_native_check(maths_build, program, check):
    native_checks.run_check(maths_build, program, check, timeout=300)
