"""Expressions and fused functions on Dask arrays: lazy, one task per chunk.

Each task holds the program as its text (the expression string, or the traced graph's
text) and compiles it where it runs, once per process and signature; no compiled program
or ufunc pointer travels. Inside a task the engine uses the call's thread count, or MKL's
thread count there, which ``quorvex.mkl.dask.set_num_threads`` sets (one thread, as Dask
runs a task per core). ``order`` and ``casting`` apply to each chunk, as they would to one
array; a result written into ``out`` cannot be lazy.
"""

from __future__ import annotations

import operator
from typing import Any

import dask.array as da
import numpy as np

from . import _calls


class Chunk:
    """The work of one chunk: the program's text, compiled where it runs."""

    def __init__(
        self, source: str, text: str, accuracy: str | None, several: bool, options: dict
    ) -> None:
        self.source, self.text, self.accuracy, self.several = source, text, accuracy, several
        self.options = options  # order, casting, threads

    def __reduce__(self) -> tuple:
        return Chunk, (self.source, self.text, self.accuracy, self.several, self.options)

    def __call__(self, *blocks: Any) -> Any:
        values = [b if type(b) in _calls.WEAK else np.asarray(b) for b in blocks]
        program, inputs = _calls.prepare(self.source, self.text, self.accuracy, values)
        outs = (None,) * len(program.dtypes)
        results = _calls.run(program, inputs, outs, name="evaluate", **self.options)
        return results if self.several else results[0]


def _checked(options: dict) -> dict:
    """order and casting as NumPy takes them, refused now rather than in a task."""
    np.empty(0).copy(order=options["order"])  # ValueError, as NumPy's for an order
    np.can_cast(np.float64, np.float64, casting=options["casting"])
    return options


def _lazy(chunk: Chunk, values: list[Any]) -> Any:
    dtypes = _calls.prepare(chunk.source, chunk.text, chunk.accuracy, values)[0].dtypes
    arrays = [da.asarray(v) if type(v) not in _calls.WEAK else v for v in values]
    ndim = max((a.ndim for a in arrays if type(a) not in _calls.WEAK), default=0)
    index = tuple(range(ndim))
    arguments: list[Any] = []
    for a in arrays:  # dimensions aligned from the right, as broadcasting aligns them
        arguments += [a, None] if type(a) in _calls.WEAK else [a, index[ndim - a.ndim :]]
    token = f"quorvex-{chunk.source}"

    def blocks(function: Any, dtype: np.dtype, *args: Any, name: str) -> da.Array:
        meta = np.empty((0,) * ndim, dtype)
        return da.blockwise(function, index, *args, dtype=dtype, meta=meta, token=name)

    if not chunk.several:
        return blocks(chunk, dtypes[0], *arguments, name=token)
    results = blocks(chunk, dtypes[0], *arguments, name=token)
    return tuple(
        blocks(operator.itemgetter(j), dtype, results, index, name=f"{token}-{j}")
        for j, dtype in enumerate(dtypes)
    )


def evaluate(
    parsed: Any, ex: str, values: list[Any], out: Any, *, accuracy: str | None, options: dict
) -> Any:
    if out is not None:
        raise ValueError("out= takes NumPy arrays; a Dask result is lazy")
    result = _lazy(Chunk(_calls.EXPRESSION, ex, accuracy, False, _checked(options)), values)
    if parsed.reduction is None:
        return result
    name, axis = parsed.reduction
    return getattr(da, name)(result, axis=axis)


def fused(text: str, several: bool, values: list[Any], accuracy: str | None, threads: int) -> Any:
    options = {"order": "K", "casting": "safe", "threads": threads}
    return _lazy(Chunk(_calls.GRAPH, text, accuracy, several, options), values)
