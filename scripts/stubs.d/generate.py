"""Writes the type stubs of undarix and undarix_ufuncs, and undarix_fit's table of
parameter names, from the waveform table as the built modules give it
(waveform_facts.py): the functions, ufuncs and their order, every parameter's name,
kind and place, the Jacobians' outputs, the ufuncs' summaries.  The prose a type
checker's reader sees (the strict functions' numpydoc texts) is kept here, once per
parameter; a parameter without a text stops the generator.

The output depends on the modules alone: ``scripts/stubs`` rewrites the files,
``scripts/stubs --check`` (and tests/test_stubs_match_modules.py) fails while a
checked-in file differs from what the modules give."""
import argparse
import difflib
import os
import sys

from waveform_facts import read_table

import undarix_ufuncs

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
STRICT_STUB = os.path.join("stubs", "undarix-stubs", "__init__.pyi")
UFUNC_STUB = os.path.join("stubs", "undarix_ufuncs-stubs", "__init__.pyi")
FIT_TABLE = os.path.join("python", "undarix_fit", "_waveform_table.py")

STRICT_HEAD = r'''"""Closed-form waveforms evaluated over a one-dimensional float64 time array.

Every function returns a new float64 array of the same length as ``time``,
computed element by element in a fixed order of double operations, so results
are reproducible to the last bit. The damped waveforms share the envelope
``e = exp(t*gamma)*amplitude``; ``phi`` is a time shift added before ``omega``
is applied.

Errors common to all functions:

- ``TypeError``: a missing, duplicated or unexpected argument; ``time`` not a
  NumPy array, not one-dimensional, or of a dtype other than float64
  ("argument 'time': type mismatch:\\n from=int64, to=float64"); a scalar that
  is not a real number ("argument 'amplitude': must be real number, not str").
- ``OverflowError``: an ``int`` too large for a double.
- ``pyo3_runtime.PanicException`` (derives from ``BaseException``, not
  ``Exception``): ``time`` not contiguous, or its memory borrowed exclusively
  by another extension module.
"""

from typing import SupportsFloat, SupportsIndex, Union

import numpy
import numpy.typing

# What the conversions really take: a real number is anything with __float__
# or __index__ (float, int, bool, NumPy's number scalars); the harmonic count
# is anything with __index__ (int, NumPy's integer scalars), never a float.
_Real = Union[SupportsFloat, SupportsIndex]

'''

UFUNC_HEAD = r'''"""The undarix waveforms and their Jacobians as NumPy ufuncs.

Each ufunc takes the parameters of the strict module's function of the same
name, in the same order, as any real array-like (NumPy arrays of any shape,
strides and real dtype, nested sequences, Python and NumPy scalars, objects
with ``__array__`` such as pandas and xarray objects), broadcasts them against
each other and returns float64 values with exactly the strict function's bits
(float32 inputs give float32: those values rounded once).
All-scalar inputs give a NumPy ``float64`` scalar; an ndarray ``time`` gives an
ndarray; objects that override ufuncs (pandas, xarray, Dask) give their own
type, typed here as ``Any``.  Strings are refused.  Each ``*_jacobian`` ufunc
takes the same inputs and returns a tuple of float64 results, one partial
derivative per continuous parameter in parameter order.
"""

from typing import Any, Literal, Protocol, Sequence, SupportsIndex, Tuple, Union, overload

import numpy
import numpy.typing

__version__: str

'''

UFUNC_ALIASES = r'''class _SupportsArray(Protocol):
    def __array__(self) -> numpy.ndarray[Any, Any]: ...

# A real scalar: Python numbers and NumPy's real and boolean scalars.
_RealScalar = Union[float, int, bool, numpy.floating[Any], numpy.integer[Any], numpy.bool_]
# An integer scalar (the harmonic count: floats are refused by NumPy's casting).
_IntegerScalar = Union[int, bool, numpy.integer[Any], numpy.bool_]

# Anything the ufuncs convert to a real array: scalars, objects with
# __array__, and nested sequences of real scalars up to three levels deep.
# Not numpy.typing.ArrayLike, which admits str and bytes (a str is a
# sequence of str, so no recursive sequence type can be used here either).
_Real = Union[
    _RealScalar,
    _SupportsArray,
    Sequence[_RealScalar],
    Sequence[Sequence[_RealScalar]],
    Sequence[Sequence[Sequence[_RealScalar]]],
]
_Integer = Union[
    _IntegerScalar,
    _SupportsArray,
    Sequence[_IntegerScalar],
    Sequence[Sequence[_IntegerScalar]],
    Sequence[Sequence[Sequence[_IntegerScalar]]],
]

_Out = Union[numpy.typing.NDArray[numpy.float64], Tuple[numpy.typing.NDArray[numpy.float64]], None]
_Where = Union[bool, numpy.typing.NDArray[numpy.bool_], Sequence[bool]]
_Casting = Literal["no", "equiv", "safe", "same_kind", "unsafe"]
_Order = Literal["K", "A", "C", "F"]
_DType = Union[type[numpy.float64], numpy.dtype[numpy.float64], Literal["float64", "f8", "d"], None]
# float32 results: asked for with dtype= or a float32 out=, or given by float32
# inputs (Python floats beside them are taken as float32 too).
_Out32 = Union[numpy.typing.NDArray[numpy.float32], Tuple[numpy.typing.NDArray[numpy.float32]]]
_DType32 = Union[type[numpy.float32], numpy.dtype[numpy.float32], Literal["float32", "f4", "f"]]
_Float32 = Union[float, int, bool, numpy.float32, numpy.float16, numpy.typing.NDArray[numpy.float32]]

class _UfuncAttributes:
    """Attributes shared with every ``numpy.ufunc``."""

    @property
    def __name__(self) -> str: ...
    @property
    def nin(self) -> int: ...
    @property
    def nargs(self) -> int: ...
    @property
    def ntypes(self) -> int: ...
    @property
    def types(self) -> list[str]: ...
    @property
    def identity(self) -> None: ...
    @property
    def signature(self) -> None: ...

class _Ufunc(_UfuncAttributes):
    @property
    def nout(self) -> Literal[1]: ...

'''

# The strict functions' texts: what each waveform is and computes, before its
# Parameters section.
STRICT_INTRO = {
    "harmonic_oscillator": """\
Exponentially damped (or growing) cosine.

With ``t`` one element of ``time``, in this order of operations::

    e = exp(t*gamma)*amplitude
    value = cos((t + phi)*omega)*e + y
""",
    "pseudo_square_wave": """\
Damped square-like wave: the fundamental plus half the third harmonic.

With ``t`` one element of ``time``, in this order of operations::

    e = exp(t*gamma)*amplitude
    x = (t + phi)*omega
    value = (sin(3*x)*0.5 + sin(x))*e + y
""",
    "fourier_square_wave": """\
Damped square wave, swinging between 0 and 2, from its first odd Fourier terms.

With ``t`` one element of ``time`` and N = ``num_harmonics``::

    e = exp(t*gamma)*amplitude
    value = e*(1 + sum of (4/pi)*sin(k*omega*(t + phi))/k
                   over k = 1, 3, ..., 2N-1) + y

The terms are added in order of increasing k.
""",
    "pseudo_cycloid_wave": """\
Damped two-harmonic cosine combination, cos 2x - 2 cos x.

With ``t`` one element of ``time``, in this order of operations::

    e = exp(t*gamma)*amplitude
    u = t + phi
    value = (cos(2*omega*u) - 2*cos(u*omega))*e + y
""",
    "transient_impulse": """\
One-sided Gaussian pulse that repeats every full turn (2*pi) of ``time``.

One turn of ``time`` is a 24-hour cycle. With ``t`` one element of
``time``::

    onset = (period/24)*2*pi
    d = fmod(t, 2*pi) - onset
    value = exp(-0.5*(d/width)**2)*amplitude + equilibrium   if d >= 0
    value = equilibrium                                      otherwise

Negative times (``fmod`` keeps the sign), infinite and NaN times give the
equilibrium E.
""",
}

# Each parameter's text in the strict functions' Parameters sections, by name;
# STRICT_PARAMETER_TEXT_OF holds the few that one waveform words its own way.
STRICT_PARAMETER_TEXT = {
    "time": "One-dimensional, contiguous float64 array of time points.",
    "amplitude": "Scale of the envelope at t = 0.",
    "gamma": "Growth rate of the envelope, per unit of time; negative for decay.",
    "omega": "Angular frequency of the fundamental, in radians per unit of time.",
    "phi": "Time shift, in units of time, added to t before omega is applied.",
    "y": "Constant offset.",
    "num_harmonics": """\
Number N of odd harmonics summed, 0 to 2**64 - 1 (an unsigned 64-bit
integer; any object with ``__index__``, never a float). The cost per
element grows linearly with it; a long call stops at Ctrl-C.""",
}
STRICT_PARAMETER_TEXT_OF = {
    "harmonic_oscillator": {"omega": "Angular frequency, in radians per unit of time."},
    "transient_impulse": {
        "time": """\
One-dimensional, contiguous float64 array of time points, in radians
of the 24-hour cycle (2*pi is 24 hours).""",
        "amplitude": "Height A of the pulse above the equilibrium.",
        "period": """\
Onset P of the pulse, in hours into each cycle (6.0 starts the pulse
a quarter turn, pi/2, into every turn). Not a repetition period: the
pulse repeats every full turn whatever its value.""",
        "width": "Standard deviation W of the pulse, in radians of ``time``.",
        "equilibrium": "Value E outside the pulse.",
    },
}

STRICT_EXAMPLES = {
    "harmonic_oscillator": """\
>>> import numpy as np, undarix
>>> t = np.linspace(0.0, 10.0, 5)
>>> undarix.harmonic_oscillator(t, 1.0, -0.1, 2.0, 0.0, 0.5).round(3)
array([ 1.5  ,  0.721, -0.009,  0.141,  0.65 ])""",
}

# The strict functions' Returns and Raises; %(count)s is the integer input's name.
STRICT_RETURNS = """\
Returns
-------
numpy.ndarray
    A new float64 array of the same length as ``time``."""
STRICT_TYPE_ERROR = """\
A missing, duplicated or unexpected argument; ``time`` not a NumPy
array, not one-dimensional, or of a dtype other than float64; a
scalar that is not a real number"""
STRICT_COUNT_TYPE_ERROR = """; a ``%(count)s`` that is not
an integer (a ``float``)"""
STRICT_OVERFLOW_ERROR = "An ``int`` argument too large for a double."
STRICT_COUNT_OVERFLOW_ERROR = """\
``%(count)s`` negative or not below 2**64, or an ``int``
argument too large for a double."""
STRICT_PANIC = """\
``time`` not contiguous (``NotContiguousError``), or its memory
borrowed exclusively by another extension module
(``AlreadyBorrowed``). It derives from ``BaseException``, not
``Exception``; pass ``numpy.ascontiguousarray(time)`` to avoid the
first."""

STRICT_ANNOTATION = {"time": "numpy.typing.NDArray[numpy.float64]", "real": "_Real", "count": "SupportsIndex"}
STRICT_DOC_TYPE = {"time": "numpy.ndarray", "real": "float", "count": "int"}

# The ufunc stub's classes: one for the value ufuncs and one for the Jacobians of
# each parameter list, named after its waveform or, where several waveforms share
# it, after what they have in common.
SHARED_CLASS_NAMES = {("time", "amplitude", "gamma", "omega", "phi", "y"): "_Damped"}


def indented(text, spaces):
    return "\n".join((" " * spaces + line) if line else "" for line in text.split("\n"))


def camel(name):
    return "_" + "".join(part.capitalize() for part in name.split("_"))


def parameter_text(waveform, parameter):
    text = STRICT_PARAMETER_TEXT_OF.get(waveform.name, {}).get(parameter.name,
                                                               STRICT_PARAMETER_TEXT.get(parameter.name))
    if text is None:
        raise SystemExit("scripts/stubs.d/generate.py has no text for %s's parameter %s: add one to "
                         "STRICT_PARAMETER_TEXT" % (waveform.name, parameter.name))
    return text


def strict_function(waveform):
    if waveform.name not in STRICT_INTRO:
        raise SystemExit("scripts/stubs.d/generate.py has no text for %s: add one to STRICT_INTRO" % waveform.name)
    arguments = "".join("    %s: %s,\n" % (p.name, STRICT_ANNOTATION[p.kind]) for p in waveform.parameters)
    parameters = "\n".join("%s : %s\n%s" % (p.name, STRICT_DOC_TYPE[p.kind], indented(parameter_text(waveform, p), 4))
                           for p in waveform.parameters)
    count = {"count": waveform.count}
    type_error = STRICT_TYPE_ERROR + (STRICT_COUNT_TYPE_ERROR % count if waveform.count else "") + "."
    overflow = STRICT_COUNT_OVERFLOW_ERROR % count if waveform.count else STRICT_OVERFLOW_ERROR
    raises = "Raises\n------\nTypeError\n%s\nOverflowError\n%s\npyo3_runtime.PanicException\n%s" % (
        indented(type_error, 4), indented(overflow, 4), indented(STRICT_PANIC, 4))
    doc = "%s\nParameters\n----------\n%s\n\n%s\n\n%s\n" % (STRICT_INTRO[waveform.name], parameters,
                                                          STRICT_RETURNS, raises)
    if waveform.name in STRICT_EXAMPLES:
        doc += "\nExamples\n--------\n%s\n" % STRICT_EXAMPLES[waveform.name]
    return 'def %s(\n%s) -> numpy.typing.NDArray[numpy.float64]:\n    """%s\n    """\n' % (
        waveform.name, arguments, indented(doc.rstrip("\n"), 4).lstrip())


def name_list(names):
    return "__all__ = [\n%s]\n" % "".join('    "%s",\n' % name for name in names)


def strict_stub(table):
    strict = [waveform for waveform in table if waveform.strict]
    return STRICT_HEAD + name_list(w.name for w in strict) + "".join("\n" + strict_function(w) for w in strict)


# The value ufuncs' overloads, most specific first: (time, real, count, out, dtype, result).
VALUE_OVERLOADS = [
    ("_RealScalar", "_RealScalar", "_IntegerScalar", "None = ...", "_DType = ...", "numpy.float64"),
    ("numpy.typing.NDArray[Any]", "_Real", "_Integer", "_Out32", "Union[_DType32, None] = ...",
     "numpy.typing.NDArray[numpy.float32]"),
    ("numpy.typing.NDArray[Any]", "_Real", "_Integer", "_Out = ...", "_DType32",
     "numpy.typing.NDArray[numpy.float32]"),
    ("numpy.typing.NDArray[numpy.float32]", "_Float32", "_Integer", "Union[_Out32, None] = ...",
     "Union[_DType32, None] = ...", "numpy.typing.NDArray[numpy.float32]"),
    ("numpy.typing.NDArray[Any]", "_Real", "_Integer", "_Out = ...", "_DType = ...",
     "numpy.typing.NDArray[numpy.float64]"),
    ("_Real", "_Real", "_Integer", "Union[_Out, _Out32] = ...", "Union[_DType, _DType32] = ...", "Any"),
]
# The Jacobian ufuncs' overloads; %(n)d is the number of outputs.
JACOBIAN_OVERLOADS = [
    ("_RealScalar", "_RealScalar", "_IntegerScalar", "None = ...", "_DType = ...", "_Scalars%(n)d"),
    ("numpy.typing.NDArray[Any]", "_Real", "_Integer", "Union[_Arrays%(n)d, None] = ...", "_DType = ...",
     "_Arrays%(n)d"),
    ("_Real", "_Real", "_Integer", "Union[_Arrays%(n)d, None] = ...", "_DType = ...", "Any"),
]
OVERLOAD = """\
    @overload
    def __call__(
        self,
%s        /,
        out: %s,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: %s,
        subok: bool = ...,
    ) -> %s: ...
"""


def overloads(waveform, variants, outputs):
    text = ""
    for variant in variants:
        variant = [part % {"n": outputs} for part in variant]
        annotation = dict(zip(("time", "real", "count"), variant[:3]))
        arguments = "".join("        %s: %s,\n" % (p.name, annotation[p.kind]) for p in waveform.parameters)
        text += OVERLOAD % (arguments, variant[3], variant[4], variant[5])
    return text


def class_names(waveform, table):
    shared = [other for other in table if other.parameters == waveform.parameters]
    if len(shared) == 1:
        return camel(waveform.name), camel(waveform.name) + "Jacobian"
    if waveform.names not in SHARED_CLASS_NAMES:
        raise SystemExit("scripts/stubs.d/generate.py: %s share their parameters; name their stub classes in "
                         "SHARED_CLASS_NAMES" % ", ".join(other.name for other in shared))
    return SHARED_CLASS_NAMES[waveform.names] + "Waveform", SHARED_CLASS_NAMES[waveform.names] + "Jacobian"


def summary(ufunc):
    """The first line of the ufunc's own text, after the call signature NumPy puts first."""
    return ufunc.__doc__.split("\n\n", 1)[1].lstrip("\n").split("\n", 1)[0]


def ufunc_stub(table):
    outputs = []
    for waveform in table:
        if getattr(undarix_ufuncs, waveform.name).nout != 1:
            raise SystemExit("%s gives more than one output: the stub's _Ufunc says one" % waveform.name)
        if len(waveform.reals) not in outputs:
            outputs.append(len(waveform.reals))
    text = UFUNC_HEAD + name_list(undarix_ufuncs.__all__) + "\n" + UFUNC_ALIASES
    text += "_F64Array = numpy.typing.NDArray[numpy.float64]\n"
    text += "".join("_Scalars%d = Tuple[%s]\n" % (n, ", ".join(["numpy.float64"] * n)) for n in outputs)
    text += "".join("_Arrays%d = Tuple[%s]\n" % (n, ", ".join(["_F64Array"] * n)) for n in outputs)
    values, jacobians, declared = [], [], ""
    for waveform in table:
        value, jacobian = class_names(waveform, table)
        if value not in values:
            values.append(value)
            text += "\nclass %s(_Ufunc):\n%s" % (value, overloads(waveform, VALUE_OVERLOADS, 1))
        declared += '%s: %s\n"""%s"""\n' % (waveform.name, value, summary(getattr(undarix_ufuncs, waveform.name)))
    for waveform in table:
        value, jacobian = class_names(waveform, table)
        n = len(waveform.reals)
        if jacobian not in jacobians:
            jacobians.append(jacobian)
            text += ("\nclass %s(_UfuncAttributes):\n    @property\n    def nout(self) -> Literal[%d]: ...\n%s"
                     % (jacobian, n, overloads(waveform, JACOBIAN_OVERLOADS, n)))
        declared += '%s_jacobian: %s\n"""%s of %s."""\n' % (
            waveform.name, jacobian, ", ".join("d/d" + name for name in waveform.reals), waveform.name)
    return text + "\n" + declared


def fit_table(table):
    parameters = "".join('    "%s": (%s),\n' % (w.name, ", ".join('"%s"' % name for name in w.reals)) for w in table)
    counts = "".join('    "%s": "%s",\n' % (w.name, w.count) for w in table if w.count)
    return ('"""The waveforms\' continuous parameters after ``time``, in order, and the integer input\n'
            'of those that have one, as the waveform table of the built modules gives them.\n'
            'Written by scripts/stubs: do not edit (tests/test_stubs_match_modules.py fails\n'
            'while it differs from the modules)."""\n\n'
            "PARAMETERS = {\n%s}\n\nINTEGER_INPUT = {\n%s}\n" % (parameters, counts))


def generated():
    """{path from the checkout's root: text} of every generated file."""
    table = read_table()
    return {STRICT_STUB: strict_stub(table), UFUNC_STUB: ufunc_stub(table), FIT_TABLE: fit_table(table)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true", help="write nothing; fail where a file differs")
    arguments = parser.parse_args()
    differ = False
    for path, text in sorted(generated().items()):
        with open(os.path.join(ROOT, path), encoding="utf-8") as file:
            current = file.read()
        if current == text:
            continue
        differ = True
        if arguments.check:
            sys.stdout.writelines(difflib.unified_diff(current.splitlines(True), text.splitlines(True),
                                                       path, path + " (from the modules)"))
        else:
            with open(os.path.join(ROOT, path), "w", encoding="utf-8") as file:
                file.write(text)
            print("wrote " + path)
    return 1 if differ and arguments.check else 0


if __name__ == "__main__":
    sys.exit(main())
