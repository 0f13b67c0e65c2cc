"""One call of a program: its arguments, its compiled program from the caches, the engine.

``evaluate``, fused functions and Dask's tasks each bring a program's source (an expression
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
from . import _folds, _functions, _numexpr_rules, _parse
from ._graph import WEAK, Graph, from_text
from ._typing import ENGINE_TYPES, Compiled, Compiler, engine_dtype

_ndarray = np.ndarray
# More threads than any machine has cores; the engine runs at most as many as it may use.
THREADS_LIMIT = 1 << 16
CACHE_LIMIT = 1024  # entries of each cache, the most recently used kept
# The sources of programs: expression strings typed by NumPy's rules (the reduction around
# one fused, where the engine can) or by numexpr's, and traced graphs.
EXPRESSION, REDUCED, NUMEXPR, GRAPH = "expression", "reduced", "numexpr", "graph"
NUMEXPR_REDUCED = "numexpr-reduced"
NUMEXPRS, FUSING = (
    frozenset({NUMEXPR, NUMEXPR_REDUCED}),
    {EXPRESSION: REDUCED, NUMEXPR: NUMEXPR_REDUCED},
)
NUMEXPR_KEYWORDS = {
    "optimization": ("none", "moderate", "aggressive"),
    "truediv": (False, True, "auto"),
    "sanitize": (None, False, True),
    "disable_cache": (False, True),
}

parse = functools.lru_cache(CACHE_LIMIT)(_parse.parse)
# The program of an expression that names one string: the engine holds no strings, and the
# call gives a copy of it, as numexpr's does.
STRING_COPY = Compiled(None, (), True, (), ())
REDUCTIONS = {"sum": np.sum, "prod": np.prod, "min": np.min, "max": np.max, "any": np.any,
              "all": np.all}  # fmt: skip


@functools.lru_cache(CACHE_LIMIT)
def _graph_of_text(text: str) -> Graph:
    return from_text(text, _functions.keys())


def graph(source: str, text: str) -> Graph:
    return _graph_of_text(text) if source == GRAPH else parse(text).graph


# Arguments ------------------------------------------------------------------------------------


def argument(value: Any, source: str = EXPRESSION) -> Any:
    """An argument as the engine takes it: an array, a scalar (Python's or NumPy's), or a
    Dask array."""
    if type(value) in WEAK or (isinstance(value, np.generic) and value.dtype.char in ENGINE_TYPES):
        return value
    if hasattr(value, "__dask_graph__"):
        return value
    array = np.asarray(value)
    if array.dtype.kind not in "SU":  # (strings the folds compare)
        _numexpr_rules.kind_of(array.dtype) if source in NUMEXPRS else engine_dtype(array.dtype)
    return array


def entry(value: Any) -> Any:
    """What a signature holds of an argument: an array's dtype (a Dask array's too),
    ("scalar", dtype) for NumPy's scalars, the type of Python's (weak) ones."""
    if type(value) is _ndarray:
        return value.dtype
    if isinstance(value, np.generic):
        return ("scalar", value.dtype)
    return type(value) if type(value) in WEAK else value.dtype


def tag(item: Any) -> Any:
    """What the cache key adds to a signature's entry: the type number, which equal dtypes may
    differ in."""
    if isinstance(item, np.dtype):
        return item.num
    return item[1].num if isinstance(item, tuple) and item[0] == "scalar" else None


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


def check_numexpr_keywords(keywords: dict[str, Any]) -> None:
    for name, value in keywords.items():
        allowed = NUMEXPR_KEYWORDS.get(name)
        if allowed is None:
            raise TypeError(f"evaluate() got an unexpected keyword argument {name!r}")
        if not any(value is a or (type(value) is type(a) and value == a) for a in allowed):
            raise ValueError(f"{name}={value!r}: numexpr takes one of {allowed}")


# Programs -------------------------------------------------------------------------------------


def key(source: str, text: str, accuracy: str | None, signature: tuple) -> tuple:
    return (source, text, accuracy, signature, tuple(map(tag, signature)))


def _python_positions(signature: tuple, count: int) -> frozenset[int]:
    """Where the call's own values (the first `count`) are Python's scalars; a value compiled
    in counts as well, so that the folds stay those of the call."""
    # (An entry is a type, a dtype or a tuple: dtype("float64") == float, so types by identity.)
    return frozenset(
        i for i, k in enumerate(signature[:count])
        if any(k is t for t in WEAK)
        or (isinstance(k, tuple) and k[0] == "value" and type(k[1]) in WEAK)
    )  # fmt: skip


@functools.lru_cache(CACHE_LIMIT)
def program(key: tuple) -> Compiled:
    """The program of a key: (source, text, accuracy, signature, type numbers). Where the
    call's Python scalars meet each other, a signature of the call's values alone gives a
    program that only names the folds (``folds``, no ``program``): its values, with the
    folds', make the signature of the program that computes."""
    source, text, accuracy, signature, _ = key
    check_accuracy(accuracy)
    for item in signature:
        if isinstance(item, np.dtype) and item.kind not in "SU":
            _numexpr_rules.kind_of(item) if source in NUMEXPRS else engine_dtype(item)
    found = graph(source, text)
    count = len(found.inputs())
    # (numexpr's rules make Python's scalars arrays: nothing stays weak to fold.)
    python = _python_positions(signature, count) if source not in NUMEXPRS else frozenset()
    strings = frozenset(
        i for i, item in enumerate(signature[:count])
        if isinstance(item, np.dtype) and item.kind in "SU"
    )  # fmt: skip
    folds = _folds.plan(found, python, strings) if python or strings else ()
    if folds and len(signature) == count:
        return Compiled.folding(folds)
    options = {"numpy_by_vml": source != GRAPH, "numexpr": source in NUMEXPRS}
    if source in (REDUCED, NUMEXPR_REDUCED):
        options["reduction"] = parse(text).reduction[0]
    return Compiler(found, signature, accuracy, folds, **options).compile()


def prepare(source: str, text: str, accuracy: str | None, values: list) -> tuple[Compiled, tuple]:
    """(program, the engine's inputs) of one call."""
    signature = tuple(map(entry, values))
    origin = (source, text, accuracy)
    return with_inputs(program(key(*origin, signature)), values, origin, signature)


def with_inputs(
    found: Compiled, values: list, origin: tuple, signature: tuple
) -> tuple[Compiled, tuple]:
    """The program and the engine's inputs: the values followed by those of the folds,
    arrays as they are, scalars made in their registers' dtypes. A Python int beyond its
    dtype, which only comparisons and results read, is compiled in as a value: NumPy compares
    it, and makes an array of it, as the number it is. ``origin``: (source, text, accuracy)."""
    if found.program is None:  # it names the folds
        values = [*values, *_folds.compute(found.folds, values)]
        signature = (*signature, *map(entry, values[len(signature) :]))
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


# Expressions ----------------------------------------------------------------------------------


def prepare_expression(
    ex: str, local_dict: Any, global_dict: Any, accuracy: str | None, source: str = EXPRESSION
) -> tuple:
    """(parsed, program, the engine's inputs) of one evaluate call; for Dask arrays, (parsed,
    None, the values). The signature and its key are made in one pass over the names: this is
    every call's path."""
    check_accuracy(accuracy)
    parsed = parse(ex)
    values, entries, tags = [], [], []
    lazy = False
    for name in parsed.names:
        value = local_dict[name] if name in local_dict else global_dict[name]
        if type(value) is _ndarray:
            dtype = value.dtype
            entries.append(dtype)
            tags.append(dtype.num)
        else:
            value = argument(value, source)
            lazy = lazy or hasattr(value, "__dask_graph__")
            entries.append(entry(value))
            tags.append(tag(entries[-1]))
        values.append(value)
    if lazy:
        return parsed, None, values
    if len(parsed.graph.nodes) == 1 and entries and getattr(entries[0], "kind", "") in ("S", "U"):
        return parsed, STRING_COPY, (np.array(values[0]),)  # a string's name: a copy of it
    signature = tuple(entries)
    if parsed.reduction is not None:
        source = FUSING[source]
    found = program((source, ex, accuracy, signature, tuple(tags)))
    if found.direct:
        return parsed, found, tuple(values)
    return parsed, *with_inputs(found, values, (source, ex, accuracy), signature)


def reduce(parsed: _parse.Parsed, result: np.ndarray, out: Any) -> Any:
    """The reduction around an expression, as NumPy's."""
    name, axis = parsed.reduction
    function = REDUCTIONS[name]
    return function(result, axis=axis) if out is None else function(result, axis=axis, out=out)


def into(parsed: _parse.Parsed, value: np.ndarray, out: Any) -> Any:
    """The engine's reduced value written into ``out`` as NumPy's reduction writes there: its
    checks of shape and casting, through the reduction of one value."""
    return REDUCTIONS[parsed.reduction[0]](value[..., np.newaxis], axis=-1, out=out)


def reduced(
    program: Compiled, parsed: _parse.Parsed, inputs: tuple, *, order: str, casting: str,
    threads: int, name: str,
) -> np.ndarray:  # fmt: skip
    """The reduction a program fuses, as an array of NumPy's shape: 0-d around the whole
    expression, else the shape without the axis. The engine reduces the groups of the last
    axis, so the axis reduced is moved there."""
    axis = parsed.reduction[1]
    if axis is None:
        return _expressions.run(program.program, inputs, (), order, casting, threads, name)[0]
    shape = np.broadcast_shapes(*map(np.shape, inputs))
    if not -len(shape) <= axis < len(shape):
        raise np.exceptions.AxisError(axis, len(shape))
    axis %= len(shape)
    moved = tuple(
        a if np.ndim(a) == 0 else np.moveaxis(np.broadcast_to(a, shape), axis, -1) for a in inputs
    )
    kept = shape[:axis] + shape[axis + 1 :]
    groups = functools.reduce(operator.mul, kept, 1)
    value = _expressions.run(program.program, moved, (), "C", casting, threads, name, groups)[0]
    return value.reshape(kept)


def run(
    program: Compiled, inputs: tuple, outs: tuple, *, order: str, casting: str,
    threads: int, name: str,
) -> tuple:  # fmt: skip
    return _expressions.run(program.program, inputs, outs, order, casting, threads, name)
