"""Type information: the stub package installed beside the module, as mypy sees it."""
import ast
import importlib.metadata
import os
import re
import subprocess
import sys

import pytest

import undarix
from conftest import ALL_FUNCTIONS, PARAMETERS

STUBS = "undarix-stubs/__init__.pyi"

CORRECT_USE = """\
import numpy as np
import numpy.typing as npt
import undarix

t: npt.NDArray[np.float64] = np.linspace(0.0, 10.0, 101)
v: npt.NDArray[np.float64] = undarix.harmonic_oscillator(t, 1.0, -0.1, 2.0, 0.0, 0.5)
v = undarix.pseudo_square_wave(t, 1, 0, 1, 0, 0)
v = undarix.fourier_square_wave(time=t, amplitude=1.0, gamma=0.0, omega=1.0, phi=0.0, y=0.0,
                                num_harmonics=25)
v = undarix.pseudo_cycloid_wave(t, float(np.float64(1.0)), -0.02, 1.0, 0.0, y=3.0)
v = undarix.transient_impulse(t, 2.0, 6.0, 0.3, equilibrium=0.1)
peak: float = float(v.max())
"""

# One incorrect use per line, after the same preamble, and the error mypy must report there
# (a text it contains, or a pattern it matches).
INCORRECT_USES = [
    ("undarix.harmonic_oscillator([0.0, 1.0], 1.0, 0.0, 1.0, 0.0, 0.0)",
     # mypy spells the built-in generics after the Python it runs on.
     re.compile(r'Argument 1 to "harmonic_oscillator" has incompatible type "[Ll]ist\[float\]"')),
    ("undarix.pseudo_square_wave(np.arange(5), 1.0, 0.0, 1.0, 0.0, 0.0)",
     'Argument 1 to "pseudo_square_wave" has incompatible type'),
    ("undarix.fourier_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0, 2.5)",
     'Argument 7 to "fourier_square_wave" has incompatible type "float"; expected "int"'),
    ("undarix.pseudo_cycloid_wave(t, '1', 0.0, 1.0, 0.0, 0.0)",
     'Argument 2 to "pseudo_cycloid_wave" has incompatible type "str"; expected "float"'),
    ("undarix.transient_impulse(t, 2.0, 6.0, 0.3)",
     'Missing positional argument "equilibrium" in call to "transient_impulse"'),
    ("undarix.harmonic_oscillator(t, 1.0, 0.0, 1.0, 0.0, y=0.0, offset=1.0)",
     'Unexpected keyword argument "offset" for "harmonic_oscillator"'),
    ("text: str = undarix.harmonic_oscillator(t, 1.0, 0.0, 1.0, 0.0, 0.0)",
     # NumPy 2's stubs give ndarray a shape type and name float64 directly.
     re.compile(r'Incompatible types in assignment \(expression has type '
                r'"ndarray\[(Any|tuple\[Any, \.\.\.\]), dtype\[(floating\[_64Bit\]|float64)\]\]"')),
    ("undarix.square_wave(t)", 'Module has no attribute "square_wave"'),
]
PREAMBLE = CORRECT_USE.splitlines()[:5]


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    """Runs mypy --strict once, outside the source tree, on a file of correct uses and a file
    of incorrect ones; returns {(file name, line): [messages]} for every error reported."""
    work = tmp_path_factory.mktemp("typing")
    (work / "correct.py").write_text(CORRECT_USE)
    (work / "incorrect.py").write_text("\n".join(PREAMBLE + [code for code, _ in INCORRECT_USES]) + "\n")
    completed = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(work / "cache"), "correct.py", "incorrect.py"],
        cwd=str(work), capture_output=True, text=True, timeout=300)
    errors = {}
    for match in re.finditer(r"^(\w+\.py):(\d+): error: (.*)$", completed.stdout, re.MULTILINE):
        errors.setdefault((match[1], int(match[2])), []).append(match[3])
    assert completed.returncode in (0, 1) and (errors or completed.returncode == 0), completed.stdout + completed.stderr
    return errors


def test_correct_use_passes_strict_checking(mypy_errors):
    assert {key: messages for key, messages in mypy_errors.items() if key[0] == "correct.py"} == {}


@pytest.mark.parametrize("index", range(len(INCORRECT_USES)))
def test_incorrect_use_is_reported(mypy_errors, index):
    expected = INCORRECT_USES[index][1]
    messages = mypy_errors.get(("incorrect.py", len(PREAMBLE) + index + 1), [])
    if isinstance(expected, str):
        assert any(expected in message for message in messages), messages
    else:
        assert any(expected.search(message) for message in messages), messages


def test_stubs_agree_with_the_module(tmp_path):
    # stubtest compares every name, parameter name and kind with the imported module.
    completed = subprocess.run([sys.executable, "-m", "mypy.stubtest", "undarix"], cwd=str(tmp_path),
                               env=dict(os.environ, MYPY_CACHE_DIR=str(tmp_path / "cache")),
                               capture_output=True, text=True, timeout=300)
    assert completed.returncode == 0, completed.stdout + completed.stderr


def test_module_and_stubs_are_installed_together():
    # The module under test is the installed copy (not a build left in the source tree),
    # and the stub package came with it.
    distribution = importlib.metadata.distribution("undarix")
    files = {str(path): path for path in distribution.files}
    module = os.path.basename(undarix.__file__)
    assert module in files and os.path.samefile(distribution.locate_file(files[module]), undarix.__file__)
    assert STUBS in files


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_every_parameter_and_error_is_documented(name):
    stubs = importlib.metadata.distribution("undarix").locate_file(STUBS)
    tree = ast.parse(open(str(stubs)).read())
    function, = [node for node in tree.body if isinstance(node, ast.FunctionDef) and node.name == name]
    doc = ast.get_docstring(function)
    assert doc is not None
    sections = dict(re.findall(r"^(\w+):\n((?:    .*\n?|\n)*)", doc, re.MULTILINE))
    documented = re.findall(r"^    (\w+): ", sections["Args"], re.MULTILINE)
    assert documented == list(PARAMETERS[name])
    raised = re.findall(r"^    ([\w.]+): ", sections["Raises"], re.MULTILINE)
    assert {"TypeError", "pyo3_runtime.PanicException"} <= set(raised)
