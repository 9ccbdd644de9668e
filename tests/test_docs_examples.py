"""Every code example of the README and the documentation runs as written.

Each ```python block of README.md and docs/**/*.md, and the code of each
`.. plot::` figure (written in the page or in the file it names), runs as a script of its own in a fresh interpreter (so that
examples that start process pools or set environment variables or signal
handlers affect nothing else); the `>>>` examples of the stub's docstrings
run as doctests.
"""
import ast
import doctest
import glob
import os
import re
import subprocess
import sys
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAGES = [os.path.join(ROOT, "README.md")] + sorted(glob.glob(os.path.join(ROOT, "docs", "**", "*.md"), recursive=True))

FENCE = re.compile(r"^```(?P<info>[^\n]*)\n(?P<body>.*?)^```\s*$", re.M | re.S)


def code_blocks(path):
    """(line, kind, code) of each runnable block of a Markdown page."""
    with open(path, encoding="utf-8") as handle:
        text = handle.read()
    for match in FENCE.finditer(text):
        info, body = match.group("info").strip(), match.group("body")
        line = text.count("\n", 0, match.start()) + 1
        if info == "python":
            yield line, "python", body
        elif info == "{eval-rst}" and body.lstrip().startswith(".. plot::"):
            drawn_from = body.lstrip().splitlines()[0][len(".. plot::"):].strip()
            if drawn_from:
                # A figure drawn by a file, named from the docs directory (plot_basedir).
                with open(os.path.join(ROOT, "docs", drawn_from), encoding="utf-8") as handle:
                    yield line, "plot", handle.read()
                continue
            code = [entry for entry in body.splitlines()[1:] if not entry.strip().startswith(":")]
            yield line, "plot", textwrap.dedent("\n".join(code))


BLOCKS = [(os.path.relpath(path, ROOT), line, kind, code)
          for path in PAGES for line, kind, code in code_blocks(path)]


def test_pages_have_examples():
    pages = {page for page, _, _, _ in BLOCKS}
    assert "README.md" in pages and len(pages) >= 10, sorted(pages)


@pytest.mark.parametrize("page, line, kind, code", BLOCKS, ids=["%s:%d" % (b[0], b[1]) for b in BLOCKS])
def test_example_runs(page, line, kind, code, tmp_path):
    if kind == "plot":
        code = "import matplotlib\nmatplotlib.use('Agg')\n" + code + \
            "\nimport matplotlib.pyplot as plt\nassert plt.get_fignums(), 'no figure drawn'\n"
    script = tmp_path / "example.py"
    script.write_text(code, encoding="utf-8")
    environment = dict(os.environ, UNDARIX_ROOT=ROOT, MPLBACKEND="Agg")
    completed = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                               cwd=str(tmp_path), env=environment, timeout=300)
    assert completed.returncode == 0, "%s:%d failed\n%s\n%s" % (page, line, completed.stdout, completed.stderr)


def stub_docstrings():
    path = os.path.join(ROOT, "stubs", "undarix-stubs", "__init__.pyi")
    with open(path, encoding="utf-8") as handle:
        tree = ast.parse(handle.read())
    return [(node.name, ast.get_docstring(node)) for node in tree.body if isinstance(node, ast.FunctionDef)]


@pytest.mark.parametrize("name, docstring", stub_docstrings(), ids=[name for name, _ in stub_docstrings()])
def test_stub_docstring_is_numpydoc_and_its_examples_run(name, docstring):
    for section in ("Parameters\n----------", "Returns\n-------", "Raises\n------"):
        assert section in docstring, (name, section)
    test = doctest.DocTestParser().get_doctest(docstring, {}, name, None, 0)
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert runner.failures == 0, name
