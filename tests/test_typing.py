"""Type information: the stub package installed beside the module, as mypy and basedpyright see it."""
import ast
import importlib.metadata
import json
import os
import re
import subprocess
import sys

import pytest

import undarix
from conftest import ALL_FUNCTIONS, PARAMETERS

STUBS = "undarix-stubs/__init__.pyi"

# Everything the module accepts for a scalar: Python numbers and NumPy scalars of any
# width, by position or by keyword.
CORRECT_USE = """\
import numpy as np
import numpy.typing as npt
import undarix

t: npt.NDArray[np.float64] = np.linspace(0.0, 10.0, 101, dtype=np.float64)
v: npt.NDArray[np.float64] = undarix.harmonic_oscillator(t, 1.0, -0.1, 2.0, 0.0, 0.5)
v = undarix.pseudo_square_wave(t, 1, 0, 1, 0, True)
v = undarix.fourier_square_wave(time=t, amplitude=1.0, gamma=0.0, omega=1.0, phi=0.0, y=0.0,
                                num_harmonics=25)
v = undarix.fourier_square_wave(t, np.float32(1), np.float64(0.0), np.int32(1), 0.0, 0.0, np.int64(5))
v = undarix.fourier_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0, num_harmonics=np.uint64(5))
v = undarix.pseudo_cycloid_wave(t, np.float64(1.0), -0.02, 1.0, 0.0, y=3.0)
v = undarix.transient_impulse(t, 2.0, np.uint8(6), 0.3, equilibrium=t[0])
first: float = float(v[0])
"""

# One incorrect use per line, after the same preamble, with the error mypy must report
# there (a text it contains, or a pattern it matches) and the rule and a pattern of the
# error basedpyright must report there.
INCORRECT_USES = [
    ("undarix.harmonic_oscillator([0.0, 1.0], 1.0, 0.0, 1.0, 0.0, 0.0)",
     # mypy spells the built-in generics after the Python it runs on.
     re.compile(r'Argument 1 to "harmonic_oscillator" has incompatible type "[Ll]ist\[float\]"'),
     "reportArgumentType", 'parameter "time"'),
    ("undarix.pseudo_square_wave(np.arange(5), 1.0, 0.0, 1.0, 0.0, 0.0)",
     'Argument 1 to "pseudo_square_wave" has incompatible type',
     "reportArgumentType", 'parameter "time"'),
    ("undarix.fourier_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0, 2.5)",
     'Argument 7 to "fourier_square_wave" has incompatible type "float"; expected "SupportsIndex"',
     "reportArgumentType", 'parameter "num_harmonics"'),
    ("undarix.fourier_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0, num_harmonics=np.float64(3.0))",
     re.compile(r'Argument "num_harmonics" to "fourier_square_wave" has incompatible type "(floating\[_64Bit\]|float64)"'),
     "reportArgumentType", 'parameter "num_harmonics"'),
    ("undarix.pseudo_cycloid_wave(t, '1', 0.0, 1.0, 0.0, 0.0)",
     re.compile(r'Argument 2 to "pseudo_cycloid_wave" has incompatible type "str"; '
                r'expected "(Union\[SupportsFloat, SupportsIndex\]|SupportsFloat \| SupportsIndex)"'),
     "reportArgumentType", 'parameter "amplitude"'),
    ("undarix.harmonic_oscillator(t, 1.0, [0.0], 1.0, 0.0, 0.0)",
     re.compile(r'Argument 3 to "harmonic_oscillator" has incompatible type "[Ll]ist\[float\]"'),
     "reportArgumentType", 'parameter "gamma"'),
    ("undarix.transient_impulse(t, 1.0, 6.0, width=1j, equilibrium=0.0)",
     'Argument "width" to "transient_impulse" has incompatible type "complex"',
     "reportArgumentType", 'parameter "width"'),
    ("undarix.transient_impulse(t, 2.0, 6.0, 0.3)",
     'Missing positional argument "equilibrium" in call to "transient_impulse"',
     "reportCallIssue", '"equilibrium"'),
    ("undarix.harmonic_oscillator(t, 1.0, 0.0, 1.0, 0.0, y=0.0, offset=1.0)",
     'Unexpected keyword argument "offset" for "harmonic_oscillator"',
     "reportCallIssue", '"offset"'),
    ("text: str = undarix.harmonic_oscillator(t, 1.0, 0.0, 1.0, 0.0, 0.0)",
     # NumPy 2's stubs give ndarray a shape type (Any or int items) and name float64 directly.
     re.compile(r'Incompatible types in assignment \(expression has type '
                r'"ndarray\[(Any|tuple\[(Any|int), \.\.\.\]), dtype\[(floating\[_64Bit\]|float64)\]\]"'),
     "reportAssignmentType", 'declared type "str"'),
    ("undarix.square_wave(t)", 'Module has no attribute "square_wave"',
     "reportAttributeAccessIssue", '"square_wave" is not a known attribute'),
]
PREAMBLE = CORRECT_USE.splitlines()[:5]


@pytest.fixture(scope="module")
def checked_files(tmp_path_factory):
    """A directory outside the source tree with a file of correct uses and one of incorrect ones."""
    work = tmp_path_factory.mktemp("typing")
    (work / "correct.py").write_text(CORRECT_USE)
    (work / "incorrect.py").write_text("\n".join(PREAMBLE + [use[0] for use in INCORRECT_USES]) + "\n")
    return work


@pytest.fixture(scope="module")
def mypy_errors(checked_files):
    """Runs mypy --strict once on both files; returns {(file name, line): [messages]} for every
    error reported."""
    completed = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(checked_files / "cache"),
         "correct.py", "incorrect.py"],
        cwd=str(checked_files), capture_output=True, text=True, timeout=300)
    errors = {}
    for match in re.finditer(r"^(\w+\.py):(\d+): error: (.*)$", completed.stdout, re.MULTILINE):
        errors.setdefault((match[1], int(match[2])), []).append(match[3])
    assert completed.returncode in (0, 1) and (errors or completed.returncode == 0), completed.stdout + completed.stderr
    return errors


@pytest.fixture(scope="module")
def pyright_errors(checked_files):
    """Runs basedpyright once in strict mode on both files, against this interpreter's
    packages; returns {(file name, line): [(rule, message)]} for every error reported."""
    (checked_files / "pyrightconfig.json").write_text(json.dumps({"typeCheckingMode": "strict"}))
    completed = subprocess.run(
        [sys.executable, "-m", "basedpyright", "--outputjson", "--pythonpath", sys.executable,
         "correct.py", "incorrect.py"],
        cwd=str(checked_files), capture_output=True, text=True, timeout=300)
    assert completed.returncode in (0, 1), completed.stdout + completed.stderr
    report = json.loads(completed.stdout)
    assert report["summary"]["filesAnalyzed"] == 2, completed.stdout
    errors = {}
    for diagnostic in report["generalDiagnostics"]:
        if diagnostic["severity"] == "error":
            key = (os.path.basename(diagnostic["file"]), diagnostic["range"]["start"]["line"] + 1)
            errors.setdefault(key, []).append((diagnostic.get("rule"), diagnostic["message"]))
    return errors


@pytest.mark.parametrize("checker", ["mypy_errors", "pyright_errors"])
def test_correct_use_passes_strict_checking(request, checker):
    errors = request.getfixturevalue(checker)
    assert {key: messages for key, messages in errors.items() if key[0] == "correct.py"} == {}


@pytest.mark.parametrize("index", range(len(INCORRECT_USES)))
def test_incorrect_use_is_reported_by_mypy(mypy_errors, index):
    expected = INCORRECT_USES[index][1]
    messages = mypy_errors.get(("incorrect.py", len(PREAMBLE) + index + 1), [])
    if isinstance(expected, str):
        assert any(expected in message for message in messages), messages
    else:
        assert any(expected.search(message) for message in messages), messages


@pytest.mark.parametrize("index", range(len(INCORRECT_USES)))
def test_incorrect_use_is_reported_by_basedpyright(pyright_errors, index):
    rule, text = INCORRECT_USES[index][2:]
    errors = pyright_errors.get(("incorrect.py", len(PREAMBLE) + index + 1), [])
    assert any(reported == rule and text in message for reported, message in errors), errors


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
    # numpydoc sections: a title underlined with dashes, then entries of
    # "name : type" (parameters) or "name" (exceptions), their text indented.
    sections = dict(re.findall(r"^(\w+)\n-+\n((?:(?!\w+\n-+\n).*\n?)*)", doc, re.MULTILINE))
    documented = re.findall(r"^(\w+) : ", sections["Parameters"], re.MULTILINE)
    assert documented == list(PARAMETERS[name])
    raised = re.findall(r"^([\w.]+)$", sections["Raises"], re.MULTILINE)
    assert {"TypeError", "pyo3_runtime.PanicException"} <= set(raised)
