"""One call of a program: its arguments, its compiled program from the caches, the engine.

``evaluate``, fused functions and Dask's tasks each bring a program's text (an expression
string, or a traced graph's text) and one call's values. A signature tells apart what the
compiler types differently: an array's dtype and type number (``l`` and ``q`` are equal
dtypes of two types), NumPy's scalars, Python's weak ones by their type. Caches keep the
most recently used entries.
"""

from __future__ import annotations

import operator
from collections import OrderedDict
from typing import Any

import numpy as np

from .. import _expressions
from . import _compile, _folds, _functions, _parse
from ._graph import Graph, from_text

WEAK = (int, float, complex)
_ndarray = np.ndarray
# More threads than any machine has cores; the engine runs at most as many as it may use.
THREADS_LIMIT = 1 << 16


class LeastRecentlyUsed:
    """A mapping that keeps its ``limit`` most recently used entries."""

    __slots__ = ("_entries", "limit")

    def __init__(self, limit: int) -> None:
        self._entries: OrderedDict[Any, Any] = OrderedDict()
        self.limit = limit

    def get(self, key: Any) -> Any:
        found = self._entries.get(key)
        if found is not None:
            self._entries.move_to_end(key)
        return found

    def put(self, key: Any, value: Any) -> Any:
        self._entries[key] = value
        self._entries.move_to_end(key)
        if len(self._entries) > self.limit:
            self._entries.popitem(last=False)
        return value

    def __len__(self) -> int:
        return len(self._entries)

    def clear(self) -> None:
        self._entries.clear()


CACHE_LIMIT = 1024
parsed = LeastRecentlyUsed(CACHE_LIMIT)  # expression string -> _parse.Parsed
_graphs = LeastRecentlyUsed(CACHE_LIMIT)  # a traced graph's text -> Graph
_folds_of = LeastRecentlyUsed(CACHE_LIMIT)  # (kind, text, Python's positions) -> folds
programs = LeastRecentlyUsed(CACHE_LIMIT)  # key -> _compile.Compiled


def parse(ex: str) -> _parse.Parsed:
    found = parsed.get(ex)
    return found if found is not None else parsed.put(ex, _parse.parse(ex))


def graph(kind: str, text: str) -> Graph:
    if kind == "expression":
        return parse(text).graph
    found = _graphs.get(text)
    return found if found is not None else _graphs.put(text, from_text(text, _functions.keys()))


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


def compiled(
    kind_of_text: str, text: str, accuracy: str | None, signature: tuple, folds: tuple = ()
) -> _compile.Compiled:
    """The program of a text for one signature (its folds' kinds last), compiled once."""
    key = (kind_of_text, text, accuracy, *signature, *map(tag, signature))
    found = programs.get(key)
    if found is None:
        check_accuracy(accuracy)
        for item in signature:
            if isinstance(item, np.dtype):
                _compile.engine_dtype(item)
        compiler = _compile.Compiler(graph(kind_of_text, text), signature, accuracy, folds)
        found = programs.put(key, compiler.compile())
    return found


def python_positions(values: list) -> frozenset[int]:
    return frozenset(i for i, v in enumerate(values) if type(v) in WEAK)


def program_of(
    kind_of_text: str, text: str, accuracy: str | None, values: list
) -> tuple[_compile.Compiled, list, tuple]:
    """(program, values, folds) of one call: the values followed by what Python computes of
    its own scalars among them (operators whose operands are all Python's)."""
    folds: tuple = ()
    python = python_positions(values)
    if python:
        folds_key = (kind_of_text, text, python)
        folds = _folds_of.get(folds_key)
        if folds is None:
            folds = _folds_of.put(folds_key, _folds.plan(graph(kind_of_text, text), python))
        if folds:
            values = [*values, *_folds.compute(folds, values)]
    program = compiled(kind_of_text, text, accuracy, tuple(map(kind, values)), folds)
    return program, values, folds


def prepare(
    kind_of_text: str, text: str, accuracy: str | None, values: list
) -> tuple[_compile.Compiled, tuple]:
    """(program, the engine's inputs) of one call."""
    program, values, folds = program_of(kind_of_text, text, accuracy, values)
    where = {"kind_of_text": kind_of_text, "text": text, "accuracy": accuracy, "folds": folds}
    return with_inputs(program, values, **where)


def with_inputs(
    program: _compile.Compiled, values: list, *, kind_of_text: str, text: str,
    accuracy: str | None, folds: tuple = (),
) -> tuple[_compile.Compiled, tuple]:  # fmt: skip
    """The program and the engine's inputs: arrays as they are, scalars made in their
    registers' dtypes. A Python int beyond its dtype, which only comparisons read, is
    compiled in as a value: NumPy compares it as the number it is."""
    if program.direct:
        return program, tuple(values)
    try:
        return program, tuple(
            values[i] if dtype is None else np.asarray(values[i], dtype=dtype)
            for i, dtype, _ in program.plan
        )
    except OverflowError:
        signature = list(map(kind, values))
        for i, dtype, compared in program.plan:
            if compared and _beyond(values[i], dtype):
                signature[i] = ("value", values[i])
        if signature == list(map(kind, values)):
            raise
        program = compiled(kind_of_text, text, accuracy, tuple(signature), folds)
        where = {"kind_of_text": kind_of_text, "text": text, "accuracy": accuracy, "folds": folds}
    return with_inputs(program, values, **where)


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
