import os
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
COMPILER = os.environ.get("CXX", "c++")


@pytest.mark.skipif(shutil.which(COMPILER) is None, reason="needs a C++ compiler")
@pytest.mark.parametrize("defines, product", [([], "128-bit"), (["-DUNDARIX_PORTABLE_INT128"], "64-bit")],
                         ids=["int128", "portable"])
def test_exact_remainder_matches_c_runtime_fmod(tmp_path, defines, product):
    # The impulse reduces large times with its own exact remainder; it must
    # give the very bits of fmod(t, 2π) for every double, so check edge
    # inputs and random mantissas at every exponent against the runtime, with
    # the 128-bit product and with the 64-bit one that compilers without
    # 128-bit integers use (whose products are also checked one by one).
    program = tmp_path / "full_turn_remainder_check"
    subprocess.run([COMPILER, "-std=c++17", "-O2", "-ffp-contract=off", "-I", os.path.join(ROOT, "src")] + defines
                   + [os.path.join(ROOT, "tests", "native", "full_turn_remainder_check.cpp"), "-o", str(program)],
                   check=True)
    result = subprocess.run([str(program), "500"], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "identical to fmod with the %s modular product" % product in result.stdout
    assert "200081 modular products identical to 128-bit arithmetic" in result.stdout
