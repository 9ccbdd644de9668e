"""The built documentation site says what a reader needs, where they look.

Read from the HTML scripts/docs last built into out/docs/html (skipped, with
the reason, when there is none): the ufunc reference page names each input
as the strict module does and keeps each formula's lines apart, the figure
of transient_impulse's units is on the pages that explain them, and the
Performance page opens with its summary rather than with shell commands.
"""

import ast
import html
import os
import re

import pytest

import undarix_ufuncs

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SITE = os.path.join(ROOT, "out", "docs", "html")
STUB = os.path.join(ROOT, "stubs", "undarix-stubs", "__init__.pyi")

pytestmark = pytest.mark.skipif(not os.path.isfile(os.path.join(SITE, "api", "undarix_ufuncs.html")),
                                reason="the site is not built (scripts/docs builds it into out/docs/html)")


def page(name):
    with open(os.path.join(SITE, name), encoding="utf-8") as handle:
        return handle.read()


def text(fragment):
    return html.unescape(re.sub(r"<[^>]+>", "", fragment))


def strict_parameter_names():
    """Each strict function's parameter names, from its type stub."""
    with open(STUB, encoding="utf-8") as handle:
        tree = ast.parse(handle.read())
    return {node.name: [argument.arg for argument in node.args.args]
            for node in tree.body if isinstance(node, ast.FunctionDef)}


def ufunc_entry(name):
    """The signature (dt) and the body (dd) of one ufunc's entry on its reference page."""
    match = re.search(r'<dt class="sig[^"]*" id="undarix_ufuncs\.%s">(.*?)</dt>\s*<dd>(.*?)</dd>\s*</dl>' % name,
                      page("api/undarix_ufuncs.html"), re.S)
    assert match, name
    return match.group(1), match.group(2)


@pytest.mark.parametrize("name", undarix_ufuncs.__all__)
def test_ufunc_signature_names_the_inputs_as_the_strict_module_does(name):
    signature = re.sub(r"\s+", " ", text(ufunc_entry(name)[0])).replace("¶", "").strip()
    # A Jacobian ufunc takes its waveform's inputs.
    waveform = name[:-len("_jacobian")] if name.endswith("_jacobian") else name
    names = strict_parameter_names()[waveform]
    assert len(names) == getattr(undarix_ufuncs, name).nin
    # NumPy lists a multi-output ufunc's outputs before the "/": "[out1, out2, ]/".
    after_inputs = "[out1, " if getattr(undarix_ufuncs, name).nout > 1 else "/, "
    assert signature.startswith("undarix_ufuncs.%s(%s, %s" % (name, ", ".join(names), after_inputs)), signature
    assert not re.search(r"\bx\d\b", signature), signature


@pytest.mark.parametrize("name", undarix_ufuncs.__all__)
def test_each_formula_line_of_a_ufunc_stays_a_line_of_its_own(name):
    description = getattr(undarix_ufuncs, name).__doc__.split("\nParameters\n")[0]
    formula = [line.strip() for line in description.splitlines() if line.startswith("    ") and line.strip()]
    assert formula, name
    blocks = [text(block) for block in re.findall(r"<pre>(.*?)</pre>", ufunc_entry(name)[1], re.S)]
    lines = [line.strip() for block in blocks for line in block.splitlines()]
    # Consecutive, in the docstring's order: one block, one line each.
    start = lines.index(formula[0]) if formula[0] in lines else -1
    assert start >= 0 and lines[start:start + len(formula)] == formula, (formula, blocks)


@pytest.mark.parametrize("name", ["getting-started.html", "api/undarix_ufuncs.html"])
def test_the_figure_of_transient_impulse_units_is_on_the_page(name):
    images = re.findall(r'<img [^>]*src="([^"]*transient_impulse_units[^"]*\.png)"', page(name))
    assert images, name
    path = os.path.normpath(os.path.join(SITE, os.path.dirname(name), images[0]))
    assert os.path.getsize(path) > 10_000


def test_performance_page_opens_with_its_summary_not_with_commands():
    content = page("performance.html")
    body = content[content.index("<h1>"):]
    headings = [text(heading).strip("#¶ \n") for heading in re.findall(r"<h2>(.*?)</h2>", body, re.S)]
    assert headings[0] == "Summary", headings
    summary = body[body.index("<h2>"):body.index("<h2>", body.index("<h2>") + 1)]
    assert "<li>" in summary and 'class="highlight' not in summary
    # Nothing but the title comes before it.
    assert 'class="highlight' not in body[:body.index("<h2>")]
