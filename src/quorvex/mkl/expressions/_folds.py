"""Python's scalars among themselves: what Python computes before NumPy sees a value.

In ``a + s*2`` with a Python float ``s``, Python multiplies ``s*2`` itself, and the sum
then takes the product as a weak scalar (NEP 50): float32 ``a`` stays float32, and an int8
``b + k*2`` with ``k = 100`` is NumPy's OverflowError. So the operators whose operands are
all Python's scalars (passed in, literals, or such operators' results) are folded by
Python, at each call, into scalar arguments of the program, whose signature entries are the types of
the values Python makes (``k ** -1`` is a float). A comparison's bool is NumPy's, as a
literal ``True`` is: not weak, and what reads it is NumPy's.
"""

from __future__ import annotations

import math
import operator
from collections.abc import Callable, Sequence
from dataclasses import dataclass

import numpy as np

from .. import _expressions
from ._graph import WEAK, Graph

# Each operator of the language, by its key, as Python computes it on Python's scalars.
OPERATORS: dict[str, Callable[..., object]] = {
    "numpy.add": operator.add,
    "numpy.subtract": operator.sub,
    "numpy.multiply": operator.mul,
    "numpy.true_divide": operator.truediv,
    "numpy.divide": operator.truediv,
    "numpy.floor_divide": operator.floordiv,
    "numpy.remainder": operator.mod,
    "numpy.power": operator.pow,
    "power": operator.pow,
    "numpy.bitwise_and": operator.and_,
    "numpy.bitwise_or": operator.or_,
    "numpy.bitwise_xor": operator.xor,
    "numpy.left_shift": operator.lshift,
    "numpy.right_shift": operator.rshift,
    "numpy.less": operator.lt,
    "numpy.less_equal": operator.le,
    "numpy.greater": operator.gt,
    "numpy.greater_equal": operator.ge,
    "numpy.equal": operator.eq,
    "numpy.not_equal": operator.ne,
    "numpy.negative": operator.neg,
    "numpy.positive": operator.pos,
    "numpy.invert": operator.invert,
}
COMPARISONS = frozenset(
    ("numpy.less", "numpy.less_equal", "numpy.greater", "numpy.greater_equal", "numpy.equal",
     "numpy.not_equal")
)  # fmt: skip
# No dtype holds an integer of more bits: such a result would only be refused later, after
# Python spent its time and memory making it (``9 ** 9 ** 9``).
LARGEST_BITS = 1 << 16


def is_python_scalar(value: object) -> bool:
    return type(value) in WEAK or isinstance(value, (str, bytes))


def contains(haystack: object, needle: object) -> object:
    """Whether each string of haystack holds needle, as numexpr's contains()."""
    return _on_strings(haystack, needle, _expressions.contains, _found)


def _found(haystack: object, needle: object) -> object:
    return np.strings.find(haystack, needle) >= 0


def _on_strings(a: object, b: object, engine: Callable, numpy_way: Callable) -> object:
    """The engine's loop on strings of one kind that it reads in place, else NumPy's (and its
    errors)."""
    x, y = np.asarray(a), np.asarray(b)
    if x.dtype.kind in "SU" and y.dtype.kind == x.dtype.kind and _readable(x) and _readable(y):
        found = engine(x, y)
        return found if found.ndim else found[()]
    return numpy_way(a, b)


def _readable(a: np.ndarray) -> bool:
    return a.dtype.isnative and a.flags.aligned


def _is_text(value: object) -> bool:
    return isinstance(value, (str, bytes)) or getattr(value, "dtype", np.dtype(int)).kind in "SU"


def apply(key: str, operands: Sequence[object]) -> object:
    """Python's result of the operator ``key`` (a bool as NumPy's); an integer too large for
    any dtype is an OverflowError before Python computes it."""
    if key in ("power", "numpy.power", "numpy.left_shift") and len(operands) == 2:
        a, b = operands
        if type(a) is int and type(b) is int and b > 0:
            bits = b if key == "numpy.left_shift" else b * math.log2(abs(a) or 1)
            if a and bits + abs(a).bit_length() > LARGEST_BITS:
                raise OverflowError(f"{a} {'<<' if 'shift' in key else '**'} {b} is an integer "
                                    "too large for any dtype")  # fmt: skip
    if key == "contains":
        result = contains(*operands)
    elif key in COMPARISONS and all(map(_is_text, operands)):
        index = _expressions.comparisons.index(key.removeprefix("numpy."))
        engine = lambda a, b: _expressions.compare_strings(a, b, index)  # noqa: E731
        result = _on_strings(*operands, engine, OPERATORS[key])
    else:
        result = OPERATORS[key](*operands)
    return np.bool_(result) if type(result) is bool else result


@dataclass(frozen=True, slots=True)
class Fold:
    """One operator Python computes: its node, and each operand as ("argument", position),
    ("fold", index of an earlier fold) or ("constant", value)."""

    node: int
    key: str
    operands: tuple[tuple[str, object], ...]


def plan(
    graph: Graph, python_arguments: frozenset[int], strings: frozenset[int] = frozenset()
) -> tuple[Fold, ...]:
    """The folds of ``graph`` called with Python's scalars at these argument positions:
    each operator node whose operands are all Python's scalars and depend on one of them;
    and each comparison and contains() of strings (arrays at the positions `strings`, or
    literals), which NumPy computes into arrays of booleans. (Operators on literals alone
    fold where the program is compiled.)"""
    position = {name: i for i, name in enumerate(graph.inputs())}
    operand: dict[int, tuple[str, object]] = {}  # node -> what a fold reads of it
    folds: list[Fold] = []
    for index, node in enumerate(graph.nodes):
        if node[0] == "input" and position[node[1]] in python_arguments | strings:
            operand[index] = ("argument", position[node[1]])
        elif node[0] == "const" and is_python_scalar(node[1]):
            operand[index] = ("constant", node[1])
        elif (node[0] in OPERATORS or node[0] == "contains") and all(
            a in operand for a in node[1:]
        ):
            operands = tuple(operand[a] for a in node[1:])
            # Strings are compared and searched, and only they are searched: the compiler
            # refuses the rest, naming the operation.
            searches, compares = node[0] == "contains", node[0] in COMPARISONS
            if any(_is_string(o, strings) for o in operands) != searches and not compares:
                continue
            if all(source == "constant" for source, _ in operands):
                if not (compares or searches):
                    operand[index] = ("constant", apply(node[0], [v for _, v in operands]))
                continue
            if not (compares or searches):  # (arrays of booleans, which no fold reads)
                operand[index] = ("fold", len(folds))
            folds.append(Fold(index, node[0], operands))
    return tuple(folds)


def _is_string(operand: tuple[str, object], strings: frozenset[int]) -> bool:
    source, value = operand
    return isinstance(value, (str, bytes)) if source == "constant" else value in strings


def compute(folds: tuple[Fold, ...], arguments: Sequence[object]) -> list[object]:
    """The folds' values, in order, for one call's arguments."""
    values: list[object] = []
    for fold in folds:
        operands = [
            arguments[v] if source == "argument" else values[v] if source == "fold" else v
            for source, v in fold.operands
        ]  # type: ignore[index]
        values.append(apply(fold.key, operands))
    return values
