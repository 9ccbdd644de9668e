"""The undarix waveforms and their Jacobians as NumPy ufuncs.

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

__all__ = [
    "harmonic_oscillator",
    "pseudo_square_wave",
    "fourier_square_wave",
    "pseudo_cycloid_wave",
    "transient_impulse",
    "harmonic_oscillator_jacobian",
    "pseudo_square_wave_jacobian",
    "fourier_square_wave_jacobian",
    "pseudo_cycloid_wave_jacobian",
    "transient_impulse_jacobian",
]

class _SupportsArray(Protocol):
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

_F64Array = numpy.typing.NDArray[numpy.float64]
_Scalars5 = Tuple[numpy.float64, numpy.float64, numpy.float64, numpy.float64, numpy.float64]
_Scalars4 = Tuple[numpy.float64, numpy.float64, numpy.float64, numpy.float64]
_Arrays5 = Tuple[_F64Array, _F64Array, _F64Array, _F64Array, _F64Array]
_Arrays4 = Tuple[_F64Array, _F64Array, _F64Array, _F64Array]

class _DampedWaveform(_Ufunc):
    @overload
    def __call__(
        self,
        time: _RealScalar,
        amplitude: _RealScalar,
        gamma: _RealScalar,
        omega: _RealScalar,
        phi: _RealScalar,
        y: _RealScalar,
        /,
        out: None = ...,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: _DType = ...,
        subok: bool = ...,
    ) -> numpy.float64: ...
    @overload
    def __call__(
        self,
        time: numpy.typing.NDArray[Any],
        amplitude: _Real,
        gamma: _Real,
        omega: _Real,
        phi: _Real,
        y: _Real,
        /,
        out: _Out32,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: Union[_DType32, None] = ...,
        subok: bool = ...,
    ) -> numpy.typing.NDArray[numpy.float32]: ...
    @overload
    def __call__(
        self,
        time: numpy.typing.NDArray[Any],
        amplitude: _Real,
        gamma: _Real,
        omega: _Real,
        phi: _Real,
        y: _Real,
        /,
        out: _Out = ...,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: _DType32,
        subok: bool = ...,
    ) -> numpy.typing.NDArray[numpy.float32]: ...
    @overload
    def __call__(
        self,
        time: numpy.typing.NDArray[numpy.float32],
        amplitude: _Float32,
        gamma: _Float32,
        omega: _Float32,
        phi: _Float32,
        y: _Float32,
        /,
        out: Union[_Out32, None] = ...,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: Union[_DType32, None] = ...,
        subok: bool = ...,
    ) -> numpy.typing.NDArray[numpy.float32]: ...
    @overload
    def __call__(
        self,
        time: numpy.typing.NDArray[Any],
        amplitude: _Real,
        gamma: _Real,
        omega: _Real,
        phi: _Real,
        y: _Real,
        /,
        out: _Out = ...,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: _DType = ...,
        subok: bool = ...,
    ) -> numpy.typing.NDArray[numpy.float64]: ...
    @overload
    def __call__(
        self,
        time: _Real,
        amplitude: _Real,
        gamma: _Real,
        omega: _Real,
        phi: _Real,
        y: _Real,
        /,
        out: Union[_Out, _Out32] = ...,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: Union[_DType, _DType32] = ...,
        subok: bool = ...,
    ) -> Any: ...

class _FourierSquareWave(_Ufunc):
    @overload
    def __call__(
        self,
        time: _RealScalar,
        amplitude: _RealScalar,
        gamma: _RealScalar,
        omega: _RealScalar,
        phi: _RealScalar,
        y: _RealScalar,
        num_harmonics: _IntegerScalar,
        /,
        out: None = ...,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: _DType = ...,
        subok: bool = ...,
    ) -> numpy.float64: ...
    @overload
    def __call__(
        self,
        time: numpy.typing.NDArray[Any],
        amplitude: _Real,
        gamma: _Real,
        omega: _Real,
        phi: _Real,
        y: _Real,
        num_harmonics: _Integer,
        /,
        out: _Out32,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: Union[_DType32, None] = ...,
        subok: bool = ...,
    ) -> numpy.typing.NDArray[numpy.float32]: ...
    @overload
    def __call__(
        self,
        time: numpy.typing.NDArray[Any],
        amplitude: _Real,
        gamma: _Real,
        omega: _Real,
        phi: _Real,
        y: _Real,
        num_harmonics: _Integer,
        /,
        out: _Out = ...,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: _DType32,
        subok: bool = ...,
    ) -> numpy.typing.NDArray[numpy.float32]: ...
    @overload
    def __call__(
        self,
        time: numpy.typing.NDArray[numpy.float32],
        amplitude: _Float32,
        gamma: _Float32,
        omega: _Float32,
        phi: _Float32,
        y: _Float32,
        num_harmonics: _Integer,
        /,
        out: Union[_Out32, None] = ...,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: Union[_DType32, None] = ...,
        subok: bool = ...,
    ) -> numpy.typing.NDArray[numpy.float32]: ...
    @overload
    def __call__(
        self,
        time: numpy.typing.NDArray[Any],
        amplitude: _Real,
        gamma: _Real,
        omega: _Real,
        phi: _Real,
        y: _Real,
        num_harmonics: _Integer,
        /,
        out: _Out = ...,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: _DType = ...,
        subok: bool = ...,
    ) -> numpy.typing.NDArray[numpy.float64]: ...
    @overload
    def __call__(
        self,
        time: _Real,
        amplitude: _Real,
        gamma: _Real,
        omega: _Real,
        phi: _Real,
        y: _Real,
        num_harmonics: _Integer,
        /,
        out: Union[_Out, _Out32] = ...,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: Union[_DType, _DType32] = ...,
        subok: bool = ...,
    ) -> Any: ...

class _TransientImpulse(_Ufunc):
    @overload
    def __call__(
        self,
        time: _RealScalar,
        amplitude: _RealScalar,
        period: _RealScalar,
        width: _RealScalar,
        equilibrium: _RealScalar,
        /,
        out: None = ...,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: _DType = ...,
        subok: bool = ...,
    ) -> numpy.float64: ...
    @overload
    def __call__(
        self,
        time: numpy.typing.NDArray[Any],
        amplitude: _Real,
        period: _Real,
        width: _Real,
        equilibrium: _Real,
        /,
        out: _Out32,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: Union[_DType32, None] = ...,
        subok: bool = ...,
    ) -> numpy.typing.NDArray[numpy.float32]: ...
    @overload
    def __call__(
        self,
        time: numpy.typing.NDArray[Any],
        amplitude: _Real,
        period: _Real,
        width: _Real,
        equilibrium: _Real,
        /,
        out: _Out = ...,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: _DType32,
        subok: bool = ...,
    ) -> numpy.typing.NDArray[numpy.float32]: ...
    @overload
    def __call__(
        self,
        time: numpy.typing.NDArray[numpy.float32],
        amplitude: _Float32,
        period: _Float32,
        width: _Float32,
        equilibrium: _Float32,
        /,
        out: Union[_Out32, None] = ...,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: Union[_DType32, None] = ...,
        subok: bool = ...,
    ) -> numpy.typing.NDArray[numpy.float32]: ...
    @overload
    def __call__(
        self,
        time: numpy.typing.NDArray[Any],
        amplitude: _Real,
        period: _Real,
        width: _Real,
        equilibrium: _Real,
        /,
        out: _Out = ...,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: _DType = ...,
        subok: bool = ...,
    ) -> numpy.typing.NDArray[numpy.float64]: ...
    @overload
    def __call__(
        self,
        time: _Real,
        amplitude: _Real,
        period: _Real,
        width: _Real,
        equilibrium: _Real,
        /,
        out: Union[_Out, _Out32] = ...,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: Union[_DType, _DType32] = ...,
        subok: bool = ...,
    ) -> Any: ...

class _DampedJacobian(_UfuncAttributes):
    @property
    def nout(self) -> Literal[5]: ...
    @overload
    def __call__(
        self,
        time: _RealScalar,
        amplitude: _RealScalar,
        gamma: _RealScalar,
        omega: _RealScalar,
        phi: _RealScalar,
        y: _RealScalar,
        /,
        out: None = ...,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: _DType = ...,
        subok: bool = ...,
    ) -> _Scalars5: ...
    @overload
    def __call__(
        self,
        time: numpy.typing.NDArray[Any],
        amplitude: _Real,
        gamma: _Real,
        omega: _Real,
        phi: _Real,
        y: _Real,
        /,
        out: Union[_Arrays5, None] = ...,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: _DType = ...,
        subok: bool = ...,
    ) -> _Arrays5: ...
    @overload
    def __call__(
        self,
        time: _Real,
        amplitude: _Real,
        gamma: _Real,
        omega: _Real,
        phi: _Real,
        y: _Real,
        /,
        out: Union[_Arrays5, None] = ...,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: _DType = ...,
        subok: bool = ...,
    ) -> Any: ...

class _FourierSquareWaveJacobian(_UfuncAttributes):
    @property
    def nout(self) -> Literal[5]: ...
    @overload
    def __call__(
        self,
        time: _RealScalar,
        amplitude: _RealScalar,
        gamma: _RealScalar,
        omega: _RealScalar,
        phi: _RealScalar,
        y: _RealScalar,
        num_harmonics: _IntegerScalar,
        /,
        out: None = ...,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: _DType = ...,
        subok: bool = ...,
    ) -> _Scalars5: ...
    @overload
    def __call__(
        self,
        time: numpy.typing.NDArray[Any],
        amplitude: _Real,
        gamma: _Real,
        omega: _Real,
        phi: _Real,
        y: _Real,
        num_harmonics: _Integer,
        /,
        out: Union[_Arrays5, None] = ...,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: _DType = ...,
        subok: bool = ...,
    ) -> _Arrays5: ...
    @overload
    def __call__(
        self,
        time: _Real,
        amplitude: _Real,
        gamma: _Real,
        omega: _Real,
        phi: _Real,
        y: _Real,
        num_harmonics: _Integer,
        /,
        out: Union[_Arrays5, None] = ...,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: _DType = ...,
        subok: bool = ...,
    ) -> Any: ...

class _TransientImpulseJacobian(_UfuncAttributes):
    @property
    def nout(self) -> Literal[4]: ...
    @overload
    def __call__(
        self,
        time: _RealScalar,
        amplitude: _RealScalar,
        period: _RealScalar,
        width: _RealScalar,
        equilibrium: _RealScalar,
        /,
        out: None = ...,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: _DType = ...,
        subok: bool = ...,
    ) -> _Scalars4: ...
    @overload
    def __call__(
        self,
        time: numpy.typing.NDArray[Any],
        amplitude: _Real,
        period: _Real,
        width: _Real,
        equilibrium: _Real,
        /,
        out: Union[_Arrays4, None] = ...,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: _DType = ...,
        subok: bool = ...,
    ) -> _Arrays4: ...
    @overload
    def __call__(
        self,
        time: _Real,
        amplitude: _Real,
        period: _Real,
        width: _Real,
        equilibrium: _Real,
        /,
        out: Union[_Arrays4, None] = ...,
        *,
        where: _Where = ...,
        casting: _Casting = ...,
        order: _Order = ...,
        dtype: _DType = ...,
        subok: bool = ...,
    ) -> Any: ...

harmonic_oscillator: _DampedWaveform
"""Exponentially damped (or growing) cosine."""
pseudo_square_wave: _DampedWaveform
"""Damped pseudo-square wave: the fundamental plus half the third harmonic."""
fourier_square_wave: _FourierSquareWave
"""Damped square wave from its first ``num_harmonics`` odd Fourier terms."""
pseudo_cycloid_wave: _DampedWaveform
"""Damped pseudo-cycloid wave: cos 2x - 2 cos x."""
transient_impulse: _TransientImpulse
"""One-sided Gaussian pulse repeating every full turn of a 24-hour cycle."""
harmonic_oscillator_jacobian: _DampedJacobian
"""d/damplitude, d/dgamma, d/domega, d/dphi, d/dy of harmonic_oscillator."""
pseudo_square_wave_jacobian: _DampedJacobian
"""d/damplitude, d/dgamma, d/domega, d/dphi, d/dy of pseudo_square_wave."""
fourier_square_wave_jacobian: _FourierSquareWaveJacobian
"""d/damplitude, d/dgamma, d/domega, d/dphi, d/dy of fourier_square_wave."""
pseudo_cycloid_wave_jacobian: _DampedJacobian
"""d/damplitude, d/dgamma, d/domega, d/dphi, d/dy of pseudo_cycloid_wave."""
transient_impulse_jacobian: _TransientImpulseJacobian
"""d/damplitude, d/dperiod, d/dwidth, d/dequilibrium of transient_impulse."""
