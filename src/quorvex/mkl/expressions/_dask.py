"""Expressions and fused functions on Dask arrays: lazy, one task per chunk.

Each task holds the program as its text (the expression string, or the traced graph's
text) and compiles it where it runs, once per process and signature; no compiled program
or ufunc pointer travels. Inside a task the engine uses MKL's thread count there, which
``quorvex.mkl.dask.set_num_threads`` sets (one thread, as Dask runs a task per core).
"""

from __future__ import annotations

import operator
from typing import Any

import dask.array as da
import numpy as np

_WEAK = (int, float, complex)


def kind(value: Any) -> Any:
    return type(value) if type(value) in _WEAK else value.dtype


class Chunk:
    """The work of one chunk: the program's text, compiled where it runs."""

    def __init__(self, kind: str, text: str, accuracy: str | None, several: bool) -> None:
        self.kind, self.text, self.accuracy, self.several = kind, text, accuracy, several

    def __reduce__(self) -> tuple:
        return Chunk, (self.kind, self.text, self.accuracy, self.several)

    def compiled(self, kinds: tuple) -> Any:
        from . import program

        return program(self.kind, self.text, kinds, self.accuracy)

    def __call__(self, *blocks: Any) -> Any:
        from . import run

        values = [b if type(b) in _WEAK else np.asarray(b) for b in blocks]
        compiled = self.compiled(tuple(kind(v) for v in values))
        outs = (None,) * len(compiled.dtypes)
        results = run(
            compiled, values, outs, order="K", casting="safe", threads=None, name="evaluate"
        )
        return results if self.several else results[0]


def _lazy(chunk: Chunk, values: list[Any]) -> Any:
    dtypes = chunk.compiled(tuple(kind(v) for v in values)).dtypes
    arrays = [da.asarray(v) if type(v) not in _WEAK else v for v in values]
    ndim = max((a.ndim for a in arrays if type(a) not in _WEAK), default=0)
    index = tuple(range(ndim))
    arguments: list[Any] = []
    for a in arrays:  # dimensions aligned from the right, as broadcasting aligns them
        arguments += [a, None] if type(a) in _WEAK else [a, index[ndim - a.ndim :]]
    token = f"quorvex-{chunk.kind}"

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


def evaluate(parsed: Any, ex: str, values: list[Any], out: Any, accuracy: str | None) -> Any:
    if out is not None:
        raise ValueError("out= takes NumPy arrays; a Dask result is lazy")
    result = _lazy(Chunk("expression", ex, accuracy, False), values)
    if parsed.reduction is None:
        return result
    name, axis = parsed.reduction
    return getattr(da, name)(result, axis=axis)


def fused(text: str, several: bool, values: list[Any], accuracy: str | None) -> Any:
    return _lazy(Chunk("graph", text, accuracy, several), values)
