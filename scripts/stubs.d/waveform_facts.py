"""The waveform table as the built modules give it: every waveform's name and its
parameters, each with its kind, read from what the table makes of them (the strict
functions' text signatures, the ufuncs' call lines, loops and outputs).  The stub
generator and the tests read the table here, so that neither restates it."""
import collections
import inspect
import re

import numpy

import undarix
import undarix_ufuncs

Parameter = collections.namedtuple("Parameter", "name kind")  # kind: "time", "real" or "count"


class Waveform(collections.namedtuple("Waveform", "name parameters strict")):
    """One waveform of the table: `parameters` with `time` first; `strict` when the
    strict module has it too (every waveform is a ufunc and a Jacobian ufunc)."""

    @property
    def names(self):
        return tuple(parameter.name for parameter in self.parameters)

    @property
    def reals(self):
        """The continuous parameters, each of which has a derivative, in order."""
        return tuple(parameter.name for parameter in self.parameters if parameter.kind == "real")

    @property
    def count(self):
        """The integer input's name, or None."""
        counts = [parameter.name for parameter in self.parameters if parameter.kind == "count"]
        return counts[0] if counts else None


def call_line_names(ufunc):
    """The inputs the ufunc's own text names on its call line: ``name(time, amplitude, ...)``."""
    match = re.search(r"^``%s\(([^)]*)\)``$" % re.escape(ufunc.__name__), ufunc.__doc__, re.MULTILINE)
    if match is None:
        raise ValueError("the text of %s has no call line" % ufunc.__name__)
    return tuple(name.strip() for name in match.group(1).split(","))


def derivative_names(ufunc):
    """The outputs a Jacobian ufunc's text names in its Returns section: d_amplitude, ..."""
    match = re.search(r"^Returns\n-+\n((?:d_\w+, )*d_\w+) : ", ufunc.__doc__, re.MULTILINE)
    if match is None:
        raise ValueError("the text of %s names no derivatives" % ufunc.__name__)
    return tuple(name[len("d_"):] for name in match.group(1).split(", "))


def kind(code):
    if code in numpy.typecodes["Float"]:
        return "real"
    if code in numpy.typecodes["AllInteger"]:
        return "count"
    raise ValueError("a loop input of type %r" % code)


def read_table():
    """The waveforms in undarix_ufuncs' order (the value ufuncs), each checked against
    the strict function of its name and its Jacobian ufunc; a ValueError where the
    modules disagree."""
    values = [name for name in undarix_ufuncs.__all__ if not name.endswith("_jacobian")]
    if undarix_ufuncs.__all__ != values + [name + "_jacobian" for name in values]:
        raise ValueError("undarix_ufuncs lists its ufuncs out of the table's order: %r" % undarix_ufuncs.__all__)
    if [name for name in values if name in undarix.__all__] != list(undarix.__all__):
        raise ValueError("the strict module's functions are not ufuncs in the same order")
    waveforms = []
    for name in values:
        ufunc, jacobian = getattr(undarix_ufuncs, name), getattr(undarix_ufuncs, name + "_jacobian")
        names = call_line_names(ufunc)
        codes = ufunc.types[-1].split("->")[0]
        if len(names) != ufunc.nin or call_line_names(jacobian) != names or len(codes) != len(names):
            raise ValueError("%s: its call lines and its inputs disagree" % name)
        parameters = (Parameter(names[0], "time"),) + tuple(
            Parameter(parameter, kind(code)) for parameter, code in zip(names[1:], codes[1:]))
        waveform = Waveform(name, parameters, name in undarix.__all__)
        if derivative_names(jacobian) != waveform.reals or jacobian.nout != len(waveform.reals):
            raise ValueError("%s_jacobian: not one derivative per continuous parameter" % name)
        if waveform.strict and tuple(inspect.signature(getattr(undarix, name)).parameters) != names:
            raise ValueError("%s: the strict function takes other parameters than the ufunc" % name)
        waveforms.append(waveform)
    return waveforms
