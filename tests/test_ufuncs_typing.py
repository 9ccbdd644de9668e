"""Type information of undarix_ufuncs: the stub package, as mypy --strict and basedpyright strict see it."""
import importlib.metadata
import json
import os
import re
import subprocess
import sys

import pytest

import undarix_ufuncs

STUBS = "undarix_ufuncs-stubs/__init__.pyi"

CORRECT_USE = """\
from typing import Any, List
import numpy as np
import numpy.typing as npt
import pandas as pd  # type: ignore[import-untyped,unused-ignore]
import xarray as xr
import undarix_ufuncs as uf

t: npt.NDArray[np.float64] = np.linspace(0.0, 10.0, 101)
v: npt.NDArray[np.float64] = uf.harmonic_oscillator(t, 1.0, -0.1, 2.0, 0.0, 0.5)
v = uf.pseudo_square_wave(t.astype(np.float32), np.ones((3, 1)), 0, 1, 0, True)
v = uf.fourier_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0, [[1], [5], [25]])
v = uf.pseudo_cycloid_wave(t, 1.0, -0.02, 1.0, 0.0, 3.0, out=np.empty(101), where=t > 1.0)
v = uf.transient_impulse(t, 2.0, np.uint8(6), 0.3, 0.0, casting="same_kind", dtype=np.float64)
times: List[float] = [0.0, 0.5, 1.0]
listed: Any = uf.harmonic_oscillator(times, [[1.0], [2.0]], 0.0, 1.0, 0.0, 0.0)
scalar: np.float64 = uf.harmonic_oscillator(1.0, 2, np.float32(0.1), np.int64(1), 0.0, False)
count: np.float64 = uf.fourier_square_wave(0.5, 1.0, 0.0, 1.0, 0.0, 0.0, np.uint64(7))
series = pd.Series([0.0, 1.0, 2.0])
from_series: Any = uf.transient_impulse(series, 1.0, 6.0, 0.5, 0.0)
array = xr.DataArray(np.linspace(0.0, 1.0, 5), dims="time")
from_xarray: Any = uf.harmonic_oscillator(array, 1.0, 0.0, 1.0, 0.0, 0.0)
name: str = uf.harmonic_oscillator.__name__
version: str = uf.__version__
d_a, d_g, d_o, d_p, d_y = uf.harmonic_oscillator_jacobian(t, 1.0, -0.1, 2.0, 0.0, 0.5)
rows: npt.NDArray[np.float64] = np.stack(uf.pseudo_cycloid_wave_jacobian(t, 1.0, 0.0, 1.0, 0.0, 0.0))
first: np.float64 = uf.fourier_square_wave_jacobian(0.5, 1.0, 0.0, 1.0, 0.0, 0.0, 7)[0]
jac_out = (np.empty(101), np.empty(101), np.empty(101), np.empty(101))
pulse: npt.NDArray[np.float64] = uf.transient_impulse_jacobian(t, 2.0, 6.0, 0.3, 0.0, out=jac_out)[3]
w: npt.NDArray[np.float32] = uf.harmonic_oscillator(t.astype(np.float32), 1.0, np.float32(0.1), 2, 0.0, 0.5)
w = uf.fourier_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0, 3, out=np.empty(101, np.float32))
w = uf.transient_impulse(t, 1.0, 6.0, 0.3, 0.0, dtype=np.float32)
"""

# One incorrect use per line, after the same preamble: the text mypy reports there and the
# rule basedpyright reports there.
INCORRECT_USES = [
    ("uf.harmonic_oscillator('0.5', 1.0, 0.0, 1.0, 0.0, 0.0)", 'Argument 1 to "__call__" of "_DampedWaveform" '
     'has incompatible type "str"', "reportCallIssue"),
    ("uf.pseudo_cycloid_wave(t, '1', 0.0, 1.0, 0.0, 0.0)", 'Argument 2 to "__call__" of "_DampedWaveform" '
     'has incompatible type "str"', "reportCallIssue"),
    ("uf.fourier_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0, 2.5)", "No overload variant", "reportCallIssue"),
    ("uf.transient_impulse(t, 1.0, 6.0, 0.5)", "No overload variant", "reportCallIssue"),
    ("uf.harmonic_oscillator(t, 1.0, 0.0, 1.0, 0.0, 0.0, casting='sometimes')", "No overload variant",
     "reportCallIssue"),
    ("text: str = uf.harmonic_oscillator(t, 1.0, 0.0, 1.0, 0.0, 0.0)", "Incompatible types in assignment",
     "reportAssignmentType"),
    ("uf.square_wave(t)", 'Module has no attribute "square_wave"', "reportAttributeAccessIssue"),
    ("d_a, d_g, d_o, d_p = uf.pseudo_square_wave_jacobian(t, 1.0, 0.0, 1.0, 0.0, 0.0)", "Too many values to unpack",
     "reportAssignmentType"),
]
PREAMBLE = CORRECT_USE.splitlines()[:8]


@pytest.fixture(scope="module")
def checked_files(tmp_path_factory):
    work = tmp_path_factory.mktemp("ufunc_typing")
    (work / "correct.py").write_text(CORRECT_USE)
    (work / "incorrect.py").write_text("\n".join(PREAMBLE + [use[0] for use in INCORRECT_USES]) + "\n")
    return work


@pytest.fixture(scope="module")
def mypy_errors(checked_files):
    completed = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(checked_files / "cache"),
         "correct.py", "incorrect.py"],
        cwd=str(checked_files), capture_output=True, text=True, timeout=600)
    errors = {}
    for match in re.finditer(r"^(\w+\.py):(\d+): error: (.*)$", completed.stdout, re.MULTILINE):
        errors.setdefault((match[1], int(match[2])), []).append(match[3])
    assert completed.returncode in (0, 1), completed.stdout + completed.stderr
    return errors


@pytest.fixture(scope="module")
def pyright_errors(checked_files):
    (checked_files / "pyrightconfig.json").write_text(json.dumps({"typeCheckingMode": "strict"}))
    completed = subprocess.run(
        [sys.executable, "-m", "basedpyright", "--outputjson", "--pythonpath", sys.executable,
         "correct.py", "incorrect.py"],
        cwd=str(checked_files), capture_output=True, text=True, timeout=600)
    assert completed.returncode in (0, 1), completed.stdout + completed.stderr
    errors = {}
    for diagnostic in json.loads(completed.stdout)["generalDiagnostics"]:
        if diagnostic["severity"] == "error":
            key = (os.path.basename(diagnostic["file"]), diagnostic["range"]["start"]["line"] + 1)
            errors.setdefault(key, []).append((diagnostic.get("rule"), diagnostic["message"]))
    return errors


def errors_in_correct_use(errors):
    # pandas ships no types of its own: its import and the names from it are outside
    # what this module's stubs decide.
    return {key: messages for key, messages in errors.items()
            if key[0] == "correct.py" and not any("pandas" in str(m) or "pd." in str(m) for m in messages)}


@pytest.mark.parametrize("checker", ["mypy_errors", "pyright_errors"])
def test_correct_use_passes_strict_checking(request, checker):
    assert errors_in_correct_use(request.getfixturevalue(checker)) == {}


@pytest.mark.parametrize("index", range(len(INCORRECT_USES)))
def test_incorrect_use_is_reported(mypy_errors, pyright_errors, index):
    line = len(PREAMBLE) + index + 1
    text, rule = INCORRECT_USES[index][1:]
    assert any(text in message for message in mypy_errors.get(("incorrect.py", line), [])), mypy_errors
    assert any(reported == rule for reported, _ in pyright_errors.get(("incorrect.py", line), [])), pyright_errors


def test_module_and_stubs_are_installed_together():
    distribution = importlib.metadata.distribution("undarix")
    files = {str(path): path for path in distribution.files}
    module = os.path.basename(undarix_ufuncs.__file__)
    assert module in files and os.path.samefile(distribution.locate_file(files[module]), undarix_ufuncs.__file__)
    assert STUBS in files
