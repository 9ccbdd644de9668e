"""The descriptions of the API against the modules, whose names, parameters and texts all come from
the waveform table: the type stubs (which the strict module's API page is generated from) and
undarix_fit's parameter names, both written by scripts/stubs from the built modules, and the prose
of the ufuncs' API page.  A waveform added to the table, or a parameter renamed, fails here until
scripts/stubs has run and the page says so too.  (stubtest checks the strict module's stub against
its text signatures as well, in test_typing.py, where mypy is installed.)"""
import ast
import inspect
import os
import re

import numpy
import pytest

import undarix
import undarix_fit
from undarix_fit import _waveforms
import undarix_ufuncs
import generate  # the stub generator (scripts/stubs.d, on the path from conftest)
from waveform_facts import call_line_names, derivative_names

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STRICT_STUB = os.path.join(ROOT, "stubs", "undarix-stubs", "__init__.pyi")
UFUNC_STUB = os.path.join(ROOT, "stubs", "undarix_ufuncs-stubs", "__init__.pyi")
UFUNC_PAGE = os.path.join(ROOT, "docs", "api", "undarix_ufuncs.rst")


def parsed(path):
    with open(path, encoding="utf-8") as stub:
        return ast.parse(stub.read())


def stub_all(tree):
    for node in tree.body:
        if isinstance(node, ast.Assign) and [target.id for target in node.targets] == ["__all__"]:
            return ast.literal_eval(node.value)
    raise AssertionError("the stub has no __all__")


def documented_names(text):
    """The entries "name : type" of a numpydoc Parameters section."""
    section = re.search(r"^Parameters\n-+\n(.*?)(?:^\n|\Z)", text, re.MULTILINE | re.DOTALL).group(1)
    return re.findall(r"^(\w+) : ", section, re.MULTILINE)


def stub_classes(tree):
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def with_bases(classes, name):
    """The class `name` of the stub and the stub's classes it derives from, nearest first."""
    chain = []
    while name in classes:
        chain.append(classes[name])
        bases = [base.id for base in classes[name].bases if isinstance(base, ast.Name)]
        name = bases[0] if bases else None
    return chain


def stub_ufunc_class(tree, name):
    annotations = {node.target.id: node.annotation.id for node in tree.body
                   if isinstance(node, ast.AnnAssign) and isinstance(node.annotation, ast.Name)}
    assert name in annotations, "the ufunc stub does not declare %s" % name
    return with_bases(stub_classes(tree), annotations[name])


@pytest.mark.parametrize("path", sorted(generate.generated()))
def test_checked_in_file_is_what_the_generator_writes(path):
    with open(os.path.join(ROOT, path), encoding="utf-8") as checked_in:
        assert checked_in.read() == generate.generated()[path], "run scripts/stubs"


def test_fit_module_takes_the_tables_parameter_names():
    table = generate.read_table()
    assert undarix_fit.PARAMETERS == {waveform.name: waveform.reals for waveform in table}
    assert _waveforms.INTEGER_INPUT == {waveform.name: waveform.count for waveform in table if waveform.count}


def test_stubs_list_every_function_and_ufunc():
    assert stub_all(parsed(STRICT_STUB)) == undarix.__all__
    assert stub_all(parsed(UFUNC_STUB)) == undarix_ufuncs.__all__


@pytest.mark.parametrize("name", undarix.__all__)
def test_strict_stub_has_the_module_signature_and_documents_it(name):
    function, = [node for node in parsed(STRICT_STUB).body if isinstance(node, ast.FunctionDef) and node.name == name]
    names = list(inspect.signature(getattr(undarix, name)).parameters)
    assert [argument.arg for argument in function.args.args] == names
    assert documented_names(ast.get_docstring(function)) == names


@pytest.mark.parametrize("name", undarix_ufuncs.__all__)
def test_ufunc_stub_takes_the_ufuncs_inputs_and_gives_its_outputs(name):
    ufunc = getattr(undarix_ufuncs, name)
    inputs = list(call_line_names(ufunc))
    assert len(inputs) == ufunc.nin
    # The ufunc's text documents the inputs its call line names, and a Jacobian gives one
    # derivative per input that is neither the time nor an integer (its first loop's types).
    assert documented_names(ufunc.__doc__) == inputs
    if name.endswith("_jacobian"):
        value = getattr(undarix_ufuncs, name[:-len("_jacobian")])
        assert list(call_line_names(value)) == inputs
        loop_inputs = ufunc.types[0].split("->")[0]
        real_inputs = [parameter for parameter, code in zip(inputs[1:], loop_inputs[1:])
                       if code in numpy.typecodes["Float"]]
        assert list(derivative_names(ufunc)) == real_inputs
        assert ufunc.nout == len(real_inputs)
    chain = stub_ufunc_class(parsed(UFUNC_STUB), name)
    calls = [node for cls in chain[:1] for node in cls.body
             if isinstance(node, ast.FunctionDef) and node.name == "__call__"]
    assert calls, "the stub's class of %s has no __call__" % name
    for call in calls:
        assert [argument.arg for argument in call.args.posonlyargs] == ["self"] + inputs, ast.dump(call.args)
    nout, = [node for cls in chain for node in cls.body
             if isinstance(node, ast.FunctionDef) and node.name == "nout"][:1]
    # Literal[k]: the only name and the only constant of the annotation.
    names = [node.id for node in ast.walk(nout.returns) if isinstance(node, ast.Name)]
    constants = [node.value for node in ast.walk(nout.returns) if isinstance(node, ast.Constant)]
    assert (names, constants) == (["Literal"], [ufunc.nout])


def test_ufunc_page_names_every_derivative():
    with open(UFUNC_PAGE, encoding="utf-8") as page:
        named = set(re.findall(r"∂/∂(\w+)", page.read()))
    for name in undarix_ufuncs.__all__:
        if name.endswith("_jacobian"):
            assert set(derivative_names(getattr(undarix_ufuncs, name))) <= named, name
