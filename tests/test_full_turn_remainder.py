import os
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
COMPILER = os.environ.get("CXX", "c++")


@pytest.mark.skipif(shutil.which(COMPILER) is None, reason="needs a C++ compiler")
def test_exact_remainder_matches_c_runtime_fmod(tmp_path):
    # The impulse reduces large times with its own exact remainder; it must
    # give the very bits of fmod(t, 2π) for every double, so check edge
    # inputs and random mantissas at every exponent against the runtime.
    program = tmp_path / "full_turn_remainder_check"
    subprocess.run([COMPILER, "-std=c++17", "-O2", "-ffp-contract=off", "-I", os.path.join(ROOT, "src"),
                    os.path.join(ROOT, "tests", "native", "full_turn_remainder_check.cpp"), "-o", str(program)],
                   check=True)
    result = subprocess.run([str(program), "500"], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "identical to fmod" in result.stdout
