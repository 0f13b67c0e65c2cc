"""Pack and unpack: VML's gathers and scatters on 1-D NumPy arrays, as plain functions.

``packi(a, k)`` is ``a[::k]``, ``packv(a, index)`` is ``a[index]``, ``packm(a, mask)`` is
``a[mask != 0]``; the unpack functions scatter the other way, into zeros or into ``out``.
They are not elementwise, so they are not ufuncs. Everything MKL would take on trust is
checked first: dtypes, lengths, indices against the arrays, and ``out``.
"""

from __future__ import annotations

import functools
from collections.abc import Callable
from types import ModuleType
from typing import Any

import numpy as np

from ._vml_operations import OPERATIONS

# MKL's pack and unpack count and index in 32-bit ints.
MAX_COUNT = 2**31 - 1
INDEX = np.dtype(np.intc)
CTYPE = {"float32": "float[]", "float64": "double[]", "complex64": "MKL_Complex8[]",
         "complex128": "MKL_Complex16[]"}  # fmt: skip

_asarray = np.asarray
_empty = np.empty


@functools.cache
def _lorimath() -> ModuleType:
    """The cffi module, loaded on the first pack or unpack: importing vml loads no cffi, whose
    backend may turn a free-threaded interpreter's GIL back on."""
    from . import lorimath

    return lorimath


def _from_buffer(ctype: str, array: Any, writable: bool = False) -> Any:
    return _lorimath().ffi.from_buffer(ctype, array, writable)


class Variant:
    """One precision of a pack or unpack operation: its MKL function and C types."""

    __slots__ = ("_function", "ctype", "function", "out_dtype")

    def __init__(self, function: str, dtype: str) -> None:
        self.function = function
        self._function: Any = None
        self.ctype = CTYPE[dtype]
        self.out_dtype = np.dtype(dtype)

    def call(self, *arguments: Any) -> Any:
        if self._function is None:
            self._function = getattr(_lorimath().lib, self.function)
        return self._function(*arguments)


def variants_by_dtype(name: str) -> dict[Any, Variant]:
    return {
        np.dtype(v["dtypes"][0]): Variant(v["function"], v["dtypes"][0])
        for v in OPERATIONS[name]["variants"].values()
    }


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
            n, _from_buffer(variant.ctype, a), selector, _from_buffer(variant.ctype, y, True)
        )


def call_unpack(variant: Variant, n: int, a: np.ndarray, y: np.ndarray, selector: Any) -> None:
    if n:
        variant.call(
            n, _from_buffer(variant.ctype, a), _from_buffer(variant.ctype, y, True), selector
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


PACK_BUILDERS = {
    "packi": packi,
    "packv": packv,
    "packm": packm,
    "unpacki": unpacki,
    "unpackv": unpackv,
    "unpackm": unpackm,
}


def build() -> dict[str, Callable[..., Any]]:
    """vml name -> the pack or unpack function."""
    built = {}
    for name, builder in PACK_BUILDERS.items():
        variants = variants_by_dtype(name)
        operation = builder(name, variants)
        operation.__name__ = operation.__qualname__ = name
        operation.__module__ = "quorvex.mkl.vml"
        functions = ", ".join(v["function"] for v in OPERATIONS[name]["variants"].values())
        dtypes = ", ".join(str(d) for d in variants)
        operation.__doc__ = f"vml.{name}: MKL's {functions} for 1-D arrays of {dtypes}.\n\n" + (
            operation.__doc__ or ""
        )
        built[name] = operation
    return built
