"""Builds the NumPy-facing vml operations from the table of the MKL functions behind them.

Every operation checks everything MKL would take on trust before calling it: the
dtypes (one precision per call, no silent casts), the shapes of the operands
against each other, and the ``out`` arrays (dtype, shape, C order, writable). Inputs
that are not C-contiguous, or that overlap ``out`` other than exactly, are copied
first. Arrays longer than MKL's 32-bit counts allow are processed in chunks.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np

from . import _vml_state as state
from ._vml_operations import OPERATIONS
from .lorimath import ffi, lib

# The largest count a C int holds: longer arrays are processed in chunks of this size.
MAX_COUNT = 2**31 - 1

DTYPE = {
    p: np.dtype(t)
    for p, t in zip("sdcz", ("float32", "float64", "complex64", "complex128"), strict=True)
}
CTYPE = {"s": "float[]", "d": "double[]", "c": "MKL_Complex8[]", "z": "MKL_Complex16[]"}
REAL = {"c": "s", "z": "d"}
INDEX = np.dtype(np.intc)

_asarray = np.asarray
_empty = np.empty
_from_buffer = ffi.from_buffer
_clear_status = lib.vmlClearErrStatus
_active_policy = state.active_policy


class Variant:
    """One precision of an operation: the MKL functions and the C and NumPy types."""

    __slots__ = ("call", "call_mode", "in_ctype", "out_ctype", "out_dtype")

    def __init__(self, precision: str, family: str, c_name: str, mode_name: str | None) -> None:
        in_p = out_p = precision
        if family == "complex_to_real":
            out_p = REAL[precision]
        elif family == "real_to_complex":
            in_p = REAL[precision]
        self.call = getattr(lib, c_name)
        self.call_mode = getattr(lib, mode_name) if mode_name else None
        self.in_ctype, self.out_ctype = CTYPE[in_p], CTYPE[out_p]
        self.out_dtype = DTYPE[out_p]


def variants_by_dtype(rows: tuple[tuple[str, str, str, str | None], ...]) -> dict[Any, Variant]:
    variants = {}
    for precision, family, c_name, mode_name in rows:
        in_p = REAL[precision] if family == "real_to_complex" else precision
        variants[DTYPE[in_p]] = Variant(precision, family, c_name, mode_name)
    return variants


# ---------------------------------------------------------------------------
# Checks, shared by all operations.


def dtype_error(name: str, variants: dict[Any, Variant], *dtypes: np.dtype[Any]) -> TypeError:
    names = [str(d) for d in variants]
    accepted = names[0] if len(names) == 1 else ", ".join(names[:-1]) + " or " + names[-1]
    if len(set(dtypes)) > 1:
        got = " and ".join(str(d) for d in dtypes)
        return TypeError(
            f"vml.{name} got arrays of {got}; its operands must share one dtype "
            f"({accepted}). Pass dtype= to convert them."
        )
    return TypeError(
        f"vml.{name} does not accept {dtypes[0]} arrays, only {accepted}. Pass dtype= to convert."
    )


def checked_out(name: str, out: Any, shape: tuple[int, ...], dtype: np.dtype[Any]) -> np.ndarray:
    if not isinstance(out, np.ndarray):
        raise TypeError(f"vml.{name}: out must be a NumPy array, not {type(out).__name__}")
    if out.dtype != dtype:
        raise TypeError(f"vml.{name}: out has dtype {out.dtype}, the result is {dtype}")
    if out.shape != shape:
        raise ValueError(f"vml.{name}: out has shape {out.shape}, the result has shape {shape}")
    if not out.flags.c_contiguous:
        raise ValueError(f"vml.{name}: out must be C-contiguous")
    if not out.flags.writeable:
        raise ValueError(f"vml.{name}: out is read-only")
    return out


def address(a: np.ndarray) -> int:
    return int(a.__array_interface__["data"][0])


def unaliased(a: np.ndarray, out: np.ndarray) -> np.ndarray:
    """``a``, or a copy of it if it overlaps ``out`` in any way but exactly (in place).

    MKL's one-result functions may write each element where they read it; anything else
    (a shifted or strided view of ``out``) could be overwritten before it is read.
    """
    if not np.may_share_memory(a, out):
        return a
    exact = a.dtype == out.dtype and a.strides == out.strides and address(a) == address(out)
    return a if exact else a.copy()


def unshared(a: np.ndarray, *outputs: np.ndarray) -> np.ndarray:
    """``a``, or a copy of it if it shares memory with any of ``outputs``.

    For the functions that write two results, or write elsewhere than they read (pack
    and unpack), even an exact in-place call could overwrite inputs still to be read.
    """
    return a.copy() if any(np.may_share_memory(a, y) for y in outputs) else a


def contiguous(a: np.ndarray) -> np.ndarray:
    return a if a.flags.c_contiguous else a.copy()


def as_array(x: Any, dtype: Any) -> np.ndarray:
    return _asarray(x) if dtype is None else _asarray(x, dtype)


# ---------------------------------------------------------------------------
# The call, shared by all elementwise operations: inputs, then scalars, then outputs.
# Each builder makes the arguments of the one call that fits in a C int itself, since
# building them generically costs more than the rest of the Python path.


def run(name: str, variant: Variant, mode: int | None, n: int, args: tuple[Any, ...]) -> None:
    """Calls MKL once on ``n`` elements and acts on the error status it reports."""
    policy = _active_policy()
    if policy is not None:
        _clear_status()  # a status left by an earlier raw lib call is not this call's
    if mode is None:
        variant.call(n, *args)
    else:
        variant.call_mode(n, *args, state.checked_mode(mode))
    if policy is not None:
        status = _clear_status()
        if status:
            state.report(name, status, policy)


def chunked(
    name: str,
    variant: Variant,
    mode: int | None,
    *,
    inputs: tuple[np.ndarray, ...],
    scalars: tuple[Any, ...],
    outputs: tuple[np.ndarray, ...],
) -> None:
    """Calls MKL on successive chunks of arrays longer than a C int can count."""
    in_ctype, out_ctype = variant.in_ctype, variant.out_ctype
    flat_in = [a.reshape(-1) for a in inputs]
    flat_out = [y.reshape(-1) for y in outputs]
    n = outputs[0].size
    for start in range(0, n, MAX_COUNT):
        stop = min(n, start + MAX_COUNT)
        args = (
            *[_from_buffer(in_ctype, a[start:stop]) for a in flat_in],
            *scalars,
            *[_from_buffer(out_ctype, y[start:stop], True) for y in flat_out],
        )
        run(name, variant, mode, stop - start, args)


# ---------------------------------------------------------------------------
# One builder per shape of operation.


def unary(name: str, variants: dict[Any, Variant]) -> Callable[..., Any]:
    def operation(x, /, out=None, *, mode=None, dtype=None):  # type: ignore[no-untyped-def]
        a = as_array(x, dtype)
        variant = variants.get(a.dtype)
        if variant is None:
            raise dtype_error(name, variants, a.dtype)
        if out is None:
            y = _empty(a.shape, variant.out_dtype)
        else:
            y = checked_out(name, out, a.shape, variant.out_dtype)
            a = unaliased(a, y)
        if not a.flags.c_contiguous:
            a = a.copy()
        n = a.size
        if 0 < n <= MAX_COUNT:
            args = (_from_buffer(variant.in_ctype, a), _from_buffer(variant.out_ctype, y, True))
            run(name, variant, mode, n, args)
        elif n:
            chunked(name, variant, mode, inputs=(a,), scalars=(), outputs=(y,))
        return y

    return operation


def same_dtype_operands(
    name: str, variants: dict[Any, Variant], a: np.ndarray, b: np.ndarray
) -> Variant:
    variant = variants.get(a.dtype) if a.dtype == b.dtype else None
    if variant is None:
        raise dtype_error(name, variants, a.dtype, b.dtype)
    if a.shape != b.shape:
        raise ValueError(
            f"vml.{name}: the operands have shapes {a.shape} and {b.shape}; "
            "vml does not broadcast, the shapes must be equal"
        )
    return variant


def binary(name: str, variants: dict[Any, Variant]) -> Callable[..., Any]:
    def operation(a, b, /, out=None, *, mode=None, dtype=None):  # type: ignore[no-untyped-def]
        a, b = as_array(a, dtype), as_array(b, dtype)
        variant = same_dtype_operands(name, variants, a, b)
        if out is None:
            y = _empty(a.shape, variant.out_dtype)
        else:
            y = checked_out(name, out, a.shape, variant.out_dtype)
            a, b = unaliased(a, y), unaliased(b, y)
        a, b = contiguous(a), contiguous(b)
        n = a.size
        if 0 < n <= MAX_COUNT:
            in_ctype = variant.in_ctype
            args = (
                _from_buffer(in_ctype, a),
                _from_buffer(in_ctype, b),
                _from_buffer(variant.out_ctype, y, True),
            )
            run(name, variant, mode, n, args)
        elif n:
            chunked(name, variant, mode, inputs=(a, b), scalars=(), outputs=(y,))
        return y

    return operation


def two_results(name: str, variants: dict[Any, Variant]) -> Callable[..., Any]:
    def operation(x, /, out=None, *, mode=None, dtype=None):  # type: ignore[no-untyped-def]
        a = as_array(x, dtype)
        variant = variants.get(a.dtype)
        if variant is None:
            raise dtype_error(name, variants, a.dtype)
        if out is None:
            y, z = _empty(a.shape, variant.out_dtype), _empty(a.shape, variant.out_dtype)
        else:
            if not isinstance(out, tuple) or len(out) != 2:
                raise TypeError(f"vml.{name}: out must be a tuple of two arrays")
            y = checked_out(name, out[0], a.shape, variant.out_dtype)
            z = checked_out(name, out[1], a.shape, variant.out_dtype)
            if np.may_share_memory(y, z):
                raise ValueError(f"vml.{name}: the two out arrays overlap")
            a = unshared(a, y, z)
        a = contiguous(a)
        n = a.size
        if 0 < n <= MAX_COUNT:
            out_ctype = variant.out_ctype
            args = (
                _from_buffer(variant.in_ctype, a),
                _from_buffer(out_ctype, y, True),
                _from_buffer(out_ctype, z, True),
            )
            run(name, variant, mode, n, args)
        elif n:
            chunked(name, variant, mode, inputs=(a,), scalars=(), outputs=(y, z))
        return y, z

    return operation


def number(name: str, what: str, value: Any, convert: Callable[[Any], Any]) -> Any:
    """``convert(value)`` for a number; strings and other objects raise TypeError."""
    if not isinstance(value, (str, bytes)):
        try:
            return convert(value)
        except (TypeError, ValueError):
            pass
    raise TypeError(f"vml.{name}: {what} must be a number, not {value!r}")


def real_scalar(name: str, what: str, value: Any) -> float:
    if isinstance(value, (complex, np.complexfloating)):
        raise TypeError(f"vml.{name}: {what} is complex but the array is real")
    return float(number(name, what, value, float))


def scalar_for(name: str, variant: Variant, what: str, value: Any) -> Any:
    if variant.in_ctype.startswith("MKL_Complex"):
        c = number(name, what, value, complex)
        return (c.real, c.imag)  # the struct by value
    return real_scalar(name, what, value)


def powx(name: str, variants: dict[Any, Variant]) -> Callable[..., Any]:
    def operation(x, b, /, out=None, *, mode=None, dtype=None):  # type: ignore[no-untyped-def]
        a = as_array(x, dtype)
        variant = variants.get(a.dtype)
        if variant is None:
            raise dtype_error(name, variants, a.dtype)
        exponent = scalar_for(name, variant, "the exponent b", b)
        if out is None:
            y = _empty(a.shape, variant.out_dtype)
        else:
            y = checked_out(name, out, a.shape, variant.out_dtype)
            a = unaliased(a, y)
        a = contiguous(a)
        n = a.size
        if 0 < n <= MAX_COUNT:
            args = (
                _from_buffer(variant.in_ctype, a),
                exponent,
                _from_buffer(variant.out_ctype, y, True),
            )
            run(name, variant, mode, n, args)
        elif n:
            chunked(name, variant, mode, inputs=(a,), scalars=(exponent,), outputs=(y,))
        return y

    return operation


def linear_frac(name: str, variants: dict[Any, Variant]) -> Callable[..., Any]:
    def operation(  # type: ignore[no-untyped-def]  # noqa: PLR0917 - MKL's parameters
        a, b, scalea, shifta, scaleb, shiftb, /, out=None, *, mode=None, dtype=None
    ):
        a, b = as_array(a, dtype), as_array(b, dtype)
        variant = same_dtype_operands(name, variants, a, b)
        coefficients = tuple(
            real_scalar(name, what, value)
            for what, value in zip(
                ("scalea", "shifta", "scaleb", "shiftb"),
                (scalea, shifta, scaleb, shiftb),
                strict=True,
            )
        )
        if out is None:
            y = _empty(a.shape, variant.out_dtype)
        else:
            y = checked_out(name, out, a.shape, variant.out_dtype)
            a, b = unaliased(a, y), unaliased(b, y)
        chunked(
            name,
            variant,
            mode,
            inputs=(contiguous(a), contiguous(b)),
            scalars=coefficients,
            outputs=(y,),
        )
        return y

    return operation


# ---------------------------------------------------------------------------
# Pack and unpack: 1-D arrays, selectors checked against the arrays' lengths.


def vector(
    name: str, variants: dict[Any, Variant], x: Any, dtype: Any
) -> tuple[np.ndarray, Variant]:
    a = as_array(x, dtype)
    variant = variants.get(a.dtype)
    if variant is None:
        raise dtype_error(name, variants, a.dtype)
    if a.ndim != 1:
        raise ValueError(f"vml.{name} takes a 1-D array, not {a.ndim}-D")
    if a.size > MAX_COUNT:
        raise ValueError(f"vml.{name}: MKL's int indices cannot address {a.size} elements")
    return contiguous(a), variant


def stride_of(name: str, stride: Any) -> int:
    try:
        value = int(stride.__index__())
    except (AttributeError, TypeError):
        raise TypeError(f"vml.{name}: the stride must be an integer, not {stride!r}") from None
    if not 1 <= value <= MAX_COUNT:
        raise ValueError(f"vml.{name}: the stride must be a positive int, not {value}")
    return value


def index_array(name: str, values: Any, length: int) -> np.ndarray:
    """The indices as C ints, each checked to lie in [0, length)."""
    index = _asarray(values)
    if index.dtype.kind not in "iu" and not (index.size == 0 and index.dtype.kind == "f"):
        raise TypeError(f"vml.{name}: the indices must be integers, not {index.dtype}")
    if index.ndim != 1:
        raise ValueError(f"vml.{name}: the indices must be a 1-D array")
    if index.size and (index.min() < 0 or index.max() >= length):
        raise IndexError(
            f"vml.{name}: indices must lie in [0, {length}); got {index.min()} to {index.max()}"
        )
    return np.ascontiguousarray(index, dtype=INDEX)


def mask_array(name: str, values: Any, length: int | None) -> np.ndarray:
    """The mask as C ints 0 and 1: 1-D, with ``length`` elements unless that is None."""
    mask = _asarray(values)
    if mask.dtype.kind not in "biu":
        raise TypeError(f"vml.{name}: the mask must be boolean or integer, not {mask.dtype}")
    if mask.ndim != 1 or (length is not None and mask.size != length):
        wanted = "a 1-D array" if length is None else f"shape ({length},)"
        raise ValueError(f"vml.{name}: the mask has shape {mask.shape}, it must have {wanted}")
    if mask.size > MAX_COUNT:
        raise ValueError(f"vml.{name}: MKL's int indices cannot address {mask.size} elements")
    return (mask != 0).astype(INDEX)


def pack_out(name: str, out: Any, variant: Variant, length: int) -> np.ndarray:
    if out is None:
        return _empty(length, variant.out_dtype)
    return checked_out(name, out, (length,), variant.out_dtype)


def unpack_out(name: str, out: Any, variant: Variant, needed: int, *, exact: bool) -> np.ndarray:
    """A zero-filled result of ``needed`` elements, or ``out`` checked to hold them."""
    if out is None:
        return np.zeros(needed, variant.out_dtype)
    length = out.shape[0] if isinstance(out, np.ndarray) and out.ndim == 1 else -1
    if exact or length < needed:
        return checked_out(name, out, (needed,), variant.out_dtype)
    return checked_out(name, out, (length,), variant.out_dtype)


def call_pack(variant: Variant, n: int, a: np.ndarray, selector: Any, y: np.ndarray) -> None:
    if n:
        variant.call(
            n, _from_buffer(variant.in_ctype, a), selector, _from_buffer(variant.out_ctype, y, True)
        )


def call_unpack(variant: Variant, n: int, a: np.ndarray, y: np.ndarray, selector: Any) -> None:
    if n:
        variant.call(
            n, _from_buffer(variant.in_ctype, a), _from_buffer(variant.out_ctype, y, True), selector
        )


def selector_buffer(selector: np.ndarray) -> Any:
    return _from_buffer("int[]", selector)


def packi(name: str, variants: dict[Any, Variant]) -> Callable[..., Any]:
    def operation(a, stride, /, out=None, *, dtype=None):  # type: ignore[no-untyped-def]
        """``a[::stride]``."""
        a, variant = vector(name, variants, a, dtype)
        step = stride_of(name, stride)
        n = len(range(0, a.size, step))
        y = pack_out(name, out, variant, n)
        call_pack(variant, n, unshared(a, y), step, y)
        return y

    return operation


def packv(name: str, variants: dict[Any, Variant]) -> Callable[..., Any]:
    def operation(a, index, /, out=None, *, dtype=None):  # type: ignore[no-untyped-def]
        """``a[index]``."""
        a, variant = vector(name, variants, a, dtype)
        ia = index_array(name, index, a.size)
        y = pack_out(name, out, variant, ia.size)
        call_pack(variant, ia.size, unshared(a, y), selector_buffer(ia), y)
        return y

    return operation


def packm(name: str, variants: dict[Any, Variant]) -> Callable[..., Any]:
    def operation(a, mask, /, out=None, *, dtype=None):  # type: ignore[no-untyped-def]
        """``a[mask != 0]``."""
        a, variant = vector(name, variants, a, dtype)
        ma = mask_array(name, mask, a.size)
        y = pack_out(name, out, variant, int(np.count_nonzero(ma)))
        call_pack(variant, a.size, unshared(a, y), selector_buffer(ma), y)
        return y

    return operation


def unpacki(name: str, variants: dict[Any, Variant]) -> Callable[..., Any]:
    def operation(a, stride, /, out=None, *, dtype=None):  # type: ignore[no-untyped-def]
        """``y[::stride] = a``, into zeros of length ``(len(a) - 1) * stride + 1`` or ``out``."""
        a, variant = vector(name, variants, a, dtype)
        step = stride_of(name, stride)
        needed = (a.size - 1) * step + 1 if a.size else 0
        if needed > MAX_COUNT:
            raise ValueError(f"vml.{name}: MKL's int indices cannot address {needed} elements")
        y = unpack_out(name, out, variant, needed, exact=False)
        call_unpack(variant, a.size, unshared(a, y), y, step)
        return y

    return operation


def unpackv(name: str, variants: dict[Any, Variant]) -> Callable[..., Any]:
    def operation(a, index, /, out=None, *, dtype=None):  # type: ignore[no-untyped-def]
        """``y[index] = a``, into zeros of length ``max(index) + 1`` or ``out``."""
        a, variant = vector(name, variants, a, dtype)
        limit = out.shape[0] if isinstance(out, np.ndarray) and out.ndim == 1 else MAX_COUNT
        iy = index_array(name, index, limit)
        if iy.size != a.size:
            raise ValueError(f"vml.{name}: {a.size} elements but {iy.size} indices")
        needed = int(iy.max()) + 1 if iy.size else 0
        y = unpack_out(name, out, variant, needed, exact=False)
        call_unpack(variant, a.size, unshared(a, y), y, selector_buffer(iy))
        return y

    return operation


def unpackm(name: str, variants: dict[Any, Variant]) -> Callable[..., Any]:
    def operation(a, mask, /, out=None, *, dtype=None):  # type: ignore[no-untyped-def]
        """``y[mask != 0] = a``, into zeros of the mask's length or ``out``."""
        a, variant = vector(name, variants, a, dtype)
        my = mask_array(name, mask, None)
        selected = int(np.count_nonzero(my))
        if selected != a.size:
            raise ValueError(
                f"vml.{name}: the mask selects {selected} places for {a.size} elements"
            )
        y = unpack_out(name, out, variant, my.size, exact=True)
        call_unpack(variant, my.size, unshared(a, y), y, selector_buffer(my))
        return y

    return operation


BUILDERS: dict[str, Callable[[str, dict[Any, Variant]], Callable[..., Any]]] = {
    "one_input": unary,
    "complex_to_real": unary,
    "real_to_complex": unary,
    "two_input": binary,
    "two_results": two_results,
    "powx": powx,
    "linear_frac": linear_frac,
}
PACK_BUILDERS = {
    "packi": packi,
    "packv": packv,
    "packm": packm,
    "unpacki": unpacki,
    "unpackv": unpackv,
    "unpackm": unpackm,
}


def build_operations() -> dict[str, Callable[..., Any]]:
    """vml name -> the Python function, for every operation of the table."""
    built = {}
    for name, rows in OPERATIONS.items():
        family = rows[0][1]
        builder = PACK_BUILDERS[name] if family == "pack" else BUILDERS[family]
        operation = builder(name, variants_by_dtype(rows))
        operation.__name__ = operation.__qualname__ = name
        operation.__module__ = "quorvex.mkl.vml"
        operation.__doc__ = describe(name, rows, operation.__doc__)
        built[name] = operation
    return built


def describe(
    name: str, rows: tuple[tuple[str, str, str, str | None], ...], what: str | None
) -> str:
    functions = ", ".join(row[2] for row in rows)
    dtypes = ", ".join(str(d) for d in variants_dtypes(rows))
    lines = [f"vml.{name}: MKL's {functions} for NumPy arrays of {dtypes}."]
    if what:
        lines += ["", what]
    return "\n".join(lines)


def variants_dtypes(rows: tuple[tuple[str, str, str, str | None], ...]) -> list[np.dtype[Any]]:
    return [DTYPE[REAL[p]] if family == "real_to_complex" else DTYPE[p] for p, family, _, _ in rows]
