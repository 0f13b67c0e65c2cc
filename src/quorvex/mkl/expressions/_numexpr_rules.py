"""numexpr's typing, as the second rule set of the typing pass (``quorvex.mkl.numexpr``).

numexpr types by kinds, in the order bool < int (int32) < long (int64) < float (float32) <
double (float64) < complex (complex128). Arrays take the kind their dtype fits; variables
that are Python scalars are arrays of NumPy's default dtypes; an integer literal is an
int, or a long beyond int32, a real one a double. An operation casts its operands to the
largest kind among them, where NumPy would promote by dtype: int64 with float32 is float32.
A true division of integers and a function of integers compute in double, a function of
booleans in float; ``where`` casts its two values only. What NumPy's rules would refuse
(int64 to float32) numexpr casts as C casts.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from . import _folds, _functions

if TYPE_CHECKING:
    from ._typing import Compiler, _Value

KINDS = tuple(np.dtype(c) for c in "?ilfdD")  # (int32 and int64 are "i" and "l" on Linux)
BOOL, INT, LONG, FLOAT, DOUBLE, COMPLEX = KINDS
INT32 = np.iinfo(np.int32)
# Operators, which keep the operands' kind (a comparison gives bool), and sign, which
# numexpr has for integers too (round is the language's own, and keeps them as well).
OPERATORS = frozenset(_folds.OPERATORS) | _folds.COMPARISONS | {"numpy.negative", "numpy.invert"}
KEEP_INTEGERS = OPERATORS | {"numpy.sign"}


def kind_of(dtype: np.dtype) -> np.dtype:
    """The kind numexpr computes a dtype in."""
    if dtype.kind == "b":
        return BOOL
    if dtype.kind in "iu":
        return LONG if dtype.itemsize > 4 or dtype.char in "IL" else INT
    if dtype.kind == "f":
        return DOUBLE if dtype.itemsize > 4 else FLOAT
    if dtype.kind == "c":
        return COMPLEX
    raise ValueError(f"unknown type {dtype.name}")  # numexpr's words


def literal(value: object) -> object:
    """A literal, typed as numexpr types it (a string as it is: the folds compare it)."""
    if isinstance(value, (str, bytes)):
        return value
    if isinstance(value, (bool, np.bool_)):
        return np.bool_(value)
    if isinstance(value, np.generic):
        return value.astype(kind_of(value.dtype))
    if isinstance(value, int):
        return np.int32(value) if INT32.min <= value <= INT32.max else np.int64(value)
    return DOUBLE.type(value) if isinstance(value, float) else COMPLEX.type(value)


def argument(compiler: Compiler, v: _Value) -> _Value:
    """An argument in its kind: a Python scalar as np.asarray makes it (strings, which the
    folds compare, as they are)."""
    if not v.weak and v.dtype.kind in "SU":
        return v
    if v.weak:
        dtype = np.asarray(v.dtype(0)).dtype
        return compiler.convert(v, kind_of(dtype))
    return compiler.convert(v, kind_of(v.dtype))


# numexpr's names of the operations, and of the kinds, in what it says it cannot compute.
OPCODES = {
    "numpy.add": "add", "numpy.subtract": "sub", "numpy.multiply": "mul",
    "numpy.true_divide": "div", "numpy.remainder": "mod", "power": "pow",
    "numpy.negative": "neg", "numpy.invert": "invert", "numpy.bitwise_and": "and",
    "numpy.bitwise_or": "or", "numpy.less": "lt", "numpy.less_equal": "le",
    "numpy.greater": "gt", "numpy.greater_equal": "ge", "numpy.equal": "eq",
    "numpy.not_equal": "ne",
}  # fmt: skip
CODES = dict(zip(KINDS, "bilfdc", strict=True))


def call(compiler: Compiler, key: str, values: list[_Value]) -> list[_Value]:
    """A call typed as numexpr types it. Operators on literals Python computes, as numexpr
    does (``~True`` is -2); what numexpr has no operation for is a NotImplementedError in
    numexpr's words, which pandas takes for "compute it in Python"."""
    if key in _folds.OPERATORS and all(v.is_constant for v in values):
        python = [v.constant.item() if isinstance(v.constant, np.generic) else v.constant
                  for v in values]  # fmt: skip
        return [compiler.constant(literal(_folds.apply(key, python)))]
    strings = [not v.weak and v.dtype.kind in "SU" for v in values]
    cast = values if any(strings) else operands(compiler, key, values)
    try:
        if any(strings):  # (what the folds do not compare)
            raise TypeError("strings are compared and searched only")
        return compiler.typed_call(key, cast)
    except TypeError as error:
        codes = "".join(
            "s" if s else CODES[kind_of(v.dtype)] for v, s in zip(cast, strings, strict=True)
        )
        result = "b" if key in _folds.COMPARISONS else codes[-1]
        name = OPCODES.get(key, key.rpartition(".")[2])
        raise NotImplementedError(
            f"couldn't find matching opcode for '{name}_{result}{codes}'"
        ) from error


def _largest(values: list[_Value]) -> np.dtype:
    return max((kind_of(v.dtype) for v in values), key=KINDS.index)


def operands(compiler: Compiler, key: str, values: list[_Value]) -> list[_Value]:
    """A call's operands cast to the kind numexpr computes it in."""
    if key == "where":
        condition, *pair = values
        kind = _largest(pair)
        return [condition, *(compiler.convert(v, kind) for v in pair)]
    if not (key in OPERATORS or key == "power" or key.startswith("vml.")):
        if key not in _functions.NUMEXPR_KEYS:
            return values  # the language's own: real, imag, complex, copy, ...
    kind = _largest(values)
    function = key not in KEEP_INTEGERS and key != "power"
    if kind in (INT, LONG) and (function or key == "numpy.true_divide"):
        kind = DOUBLE
    elif kind == BOOL and function:
        kind = FLOAT
    return [compiler.convert(v, kind) for v in values]
