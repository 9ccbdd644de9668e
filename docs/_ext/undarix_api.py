"""API reference pages generated from the sources of truth, not retyped.

``.. undarix-stub-api:: PATH`` documents the strict module ``undarix`` from
its type stub: the stub is parsed with ``ast`` (the compiled functions carry
no docstrings of their own), and each function in ``__all__`` becomes a
``py:function`` with the stub's signature and its numpydoc docstring.

``.. undarix-ufunc-api::`` documents ``undarix_ufuncs`` from the imported
module: its docstring, and each waveform ufunc in ``__all__`` with the
docstring NumPy shows for it; with the ``:jacobians:`` flag, the Jacobian
ufuncs (``*_jacobian``) instead, under the module the first one declared.  A
build in which the module cannot be imported fails.
"""

import ast
import importlib
import inspect
import os

from docutils import nodes
from docutils.parsers.rst import directives
from docutils.statemachine import StringList
from sphinx.errors import ExtensionError
from sphinx.ext.napoleon.docstring import NumpyDocstring
from sphinx.util.docutils import SphinxDirective


def indented(text, by="   "):
    return [by + line if line.strip() else "" for line in text.splitlines()]


def numpydoc_to_rst(docstring, config, name):
    """The reStructuredText of a numpydoc docstring (napoleon's conversion)."""
    return str(NumpyDocstring(docstring, config, what="function", name=name))


def stub_signature(function):
    """`(time: ..., amplitude: ...) -> ...` of a function definition in a stub."""
    parameters = []
    for argument in function.args.args:
        annotation = ast.unparse(argument.annotation) if argument.annotation else None
        annotation = {"_Real": "SupportsFloat | SupportsIndex"}.get(annotation, annotation)
        parameters.append(argument.arg + (": " + annotation if annotation else ""))
    returns = " -> " + ast.unparse(function.returns) if function.returns else ""
    return "(%s)%s" % (", ".join(parameters), returns)


class GeneratedRst(SphinxDirective):
    def emit(self, lines):
        container = nodes.container()
        self.state.nested_parse(StringList(lines, source=self.get_source_info()[0]), self.content_offset, container)
        return container.children


class StubApi(GeneratedRst):
    required_arguments = 1

    def run(self):
        path = os.path.normpath(os.path.join(os.path.dirname(self.env.doc2path(self.env.docname)), self.arguments[0]))
        self.env.note_dependency(path)
        with open(path, encoding="utf-8") as handle:
            tree = ast.parse(handle.read(), path)
        exported = next(ast.literal_eval(node.value) for node in tree.body
                        if isinstance(node, ast.Assign) and any(
                            isinstance(target, ast.Name) and target.id == "__all__" for target in node.targets))
        functions = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
        lines = [".. py:module:: undarix", ""]
        # The module docstring is plain text: its backslashes are literal.
        lines += (ast.get_docstring(tree) or "").replace("\\", "\\\\").splitlines() + [""]
        for name in exported:
            function = functions[name]
            docstring = ast.get_docstring(function)
            if not docstring:
                raise ExtensionError("%s: %s has no docstring" % (path, name))
            lines += [".. py:function:: %s%s" % (name, stub_signature(function)), ""]
            lines += indented(numpydoc_to_rst(docstring, self.config, name)) + [""]
        return self.emit(lines)


class UfuncApi(GeneratedRst):
    option_spec = {"jacobians": directives.flag}

    def run(self):
        try:
            module = importlib.import_module("undarix_ufuncs")
        except ImportError as error:
            raise ExtensionError("undarix_ufuncs cannot be imported: %s" % error) from error
        jacobians = "jacobians" in self.options
        if jacobians:
            lines = [".. py:currentmodule:: undarix_ufuncs", ""]
        else:
            lines = [".. py:module:: undarix_ufuncs", ""]
            # The module's docstring repeats every ufunc's text after its
            # introduction, for help() on Pythons whose pydoc shows only the ufunc
            # type's page; here each ufunc gets its own entry instead.
            introduction = (module.__doc__ or "").split("\nFunctions\n=========\n")[0]
            lines += introduction.splitlines() + [""]
            lines += ["Version: ``%s``." % module.__version__, ""]
        for name in [name for name in module.__all__ if name.endswith("_jacobian") == jacobians]:
            ufunc = getattr(module, name)
            doc = (ufunc.__doc__ or "").strip()
            # NumPy puts the ufunc's signature first: "name(x1, x2, /, out=None, *, ...)".
            first, _, rest = doc.partition("\n")
            signature = first[len(name):] if first.startswith(name + "(") else "(*args, **kwargs)"
            if not rest.strip():
                raise ExtensionError("undarix_ufuncs.%s has no docstring" % name)
            lines += [".. py:function:: %s%s" % (name, signature), ""]
            lines += indented(numpydoc_to_rst(inspect.cleandoc(rest), self.config, name)) + [""]
        return self.emit(lines)


def setup(app):
    app.add_directive("undarix-stub-api", StubApi)
    app.add_directive("undarix-ufunc-api", UfuncApi)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
