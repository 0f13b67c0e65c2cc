"""One call of a program: its arguments, its compiled program from the caches, the engine.

``evaluate``, fused functions and Dask's tasks each bring a program's text (an expression
string, or a traced graph's text) and one call's values. A signature tells apart what the
compiler types differently: an array's dtype and type number (``l`` and ``q`` are equal
dtypes of two types), NumPy's scalars, Python's weak ones by their type. Caches keep the
most recently used entries.
"""

from __future__ import annotations

import functools
import operator
from typing import Any

import numpy as np

from .. import _expressions
from . import _compile, _folds, _functions, _parse
from ._graph import Graph, from_text

WEAK = (int, float, complex)
_ndarray = np.ndarray
# More threads than any machine has cores; the engine runs at most as many as it may use.
THREADS_LIMIT = 1 << 16


CACHE_LIMIT = 1024  # entries of each cache, the most recently used kept
parse = functools.lru_cache(CACHE_LIMIT)(_parse.parse)


@functools.lru_cache(CACHE_LIMIT)
def _graph_of_text(text: str) -> Graph:
    return from_text(text, _functions.keys())


def graph(kind_of_text: str, text: str) -> Graph:
    return parse(text).graph if kind_of_text == "expression" else _graph_of_text(text)


def argument(value: Any) -> Any:
    """An argument as the engine takes it: an array, a scalar (Python's or NumPy's), or a
    Dask array."""
    if type(value) in WEAK or (
        isinstance(value, np.generic) and value.dtype.char in _compile.ENGINE_TYPES
    ):
        return value
    if hasattr(value, "__dask_graph__"):
        return value
    if isinstance(value, (str, bytes)):
        raise TypeError("strings are not supported in expressions")
    array = np.asarray(value)
    _compile.engine_dtype(array.dtype)
    return array


def kind(value: Any) -> Any:
    """What a signature holds of an argument: an array's dtype (a Dask array's too),
    ("scalar", dtype) for NumPy's scalars, the type of Python's (weak) ones."""
    if type(value) is _ndarray:
        return value.dtype
    if isinstance(value, np.generic):
        return ("scalar", value.dtype)
    return type(value) if type(value) in WEAK else value.dtype


def tag(kind: Any) -> Any:
    """What the cache key adds to a kind: the type number, which equal dtypes may differ in."""
    if isinstance(kind, np.dtype):
        return kind.num
    return kind[1].num if isinstance(kind, tuple) and kind[0] == "scalar" else None


def check_accuracy(accuracy: str | None) -> None:
    if accuracy is not None and accuracy not in _functions.ACCURACIES:
        raise ValueError(f"accuracy must be one of 'ha', 'la', 'ep' or None, not {accuracy!r}")


def check_threads(threads: Any) -> int:
    """threads= as the engine takes it: 0 for MKL's maximum."""
    if threads is None:
        return 0
    try:
        count = operator.index(threads) if not isinstance(threads, bool) else 0
    except TypeError:
        count = 0
    if count < 1:
        raise ValueError(f"threads must be a positive integer or None, not {threads!r}")
    return min(count, THREADS_LIMIT)


def key(kind_of_text: str, text: str, accuracy: str | None, signature: tuple) -> tuple:
    return (kind_of_text, text, accuracy, signature, tuple(map(tag, signature)))


def _python_positions(signature: tuple, count: int) -> frozenset[int]:
    """Where the call's own values (the first `count`) are Python's scalars; a value compiled
    in counts as well, so that the folds stay those of the call."""
    # (A kind is a type, a dtype or a tuple: dtype("float64") == float, so types by identity.)
    return frozenset(
        i for i, k in enumerate(signature[:count])
        if any(k is t for t in WEAK)
        or (isinstance(k, tuple) and k[0] == "value" and type(k[1]) in WEAK)
    )  # fmt: skip


@functools.lru_cache(CACHE_LIMIT)
def program(key: tuple) -> _compile.Compiled:
    """The program of a key: (kind of text, text, accuracy, signature, type numbers). Where
    the call's Python scalars meet each other, a signature of the call's values alone gives
    a program that only names the folds (``folds``, no ``program``): its values, with the
    folds', make the signature of the program that computes."""
    kind_of_text, text, accuracy, signature, _ = key
    check_accuracy(accuracy)
    for item in signature:
        if isinstance(item, np.dtype):
            _compile.engine_dtype(item)
    found = graph(kind_of_text, text)
    count = len(found.inputs())
    python = _python_positions(signature, count)
    folds = _folds.plan(found, python) if python else ()
    if folds and len(signature) == count:
        return _compile.Compiled.folding(folds)
    return _compile.Compiler(found, signature, accuracy, folds).compile()


def prepare(
    kind_of_text: str, text: str, accuracy: str | None, values: list
) -> tuple[_compile.Compiled, tuple]:
    """(program, the engine's inputs) of one call."""
    signature = tuple(map(kind, values))
    origin = (kind_of_text, text, accuracy)
    return with_inputs(program(key(*origin, signature)), values, origin, signature)


def with_inputs(
    found: _compile.Compiled, values: list, origin: tuple, signature: tuple
) -> tuple[_compile.Compiled, tuple]:
    """The program and the engine's inputs: the values followed by those of the folds,
    arrays as they are, scalars made in their registers' dtypes. A Python int beyond its
    dtype, which only comparisons read, is compiled in as a value: NumPy compares it as the
    number it is. ``origin``: (kind of text, text, accuracy)."""
    if found.program is None:  # it names the folds
        values = [*values, *_folds.compute(found.folds, values)]
        signature = (*signature, *map(kind, values[len(signature) :]))
        found = program(key(*origin, signature))
    if found.direct:
        return found, tuple(values)
    try:
        return found, tuple(_made(values[i], dtype, how) for i, dtype, how in found.plan)
    except OverflowError:
        specialized = list(signature)
        for i, dtype, how in found.plan:
            if how == "valued" and _beyond(values[i], dtype):
                specialized[i] = ("value", values[i])
        if specialized == list(signature):
            raise
        specialized_key = key(*origin, tuple(specialized))
        return with_inputs(program(specialized_key), values, origin, tuple(specialized))


def _made(value: Any, dtype: np.dtype | None, how: str) -> Any:
    """An argument as a program input takes it: an array as it is, a scalar in its dtype,
    beyond which a Python int is NumPy's OverflowError, or wraps as in NumPy's where."""
    if dtype is None:
        return value
    return np.asarray(value).astype(dtype) if how == "wraps" else np.asarray(value, dtype=dtype)


def _beyond(value: Any, dtype: np.dtype) -> bool:
    if type(value) is not int or dtype.kind not in "iu":
        return False
    info = np.iinfo(dtype)
    return not info.min <= value <= info.max


def run(
    program: _compile.Compiled, inputs: tuple, outs: tuple, *, order: str, casting: str,
    threads: int, name: str,
) -> tuple:  # fmt: skip
    return _expressions.run(program.program, inputs, outs, order, casting, threads, name)
