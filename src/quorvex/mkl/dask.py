"""The NumPy layer on Dask arrays: vml's elementwise operations, chunk by chunk.

``quorvex.mkl.dask.exp(x)`` takes a Dask array (or anything ``dask.array.asarray``
takes) and returns a lazy Dask array whose every chunk is ``vml.exp`` of the matching
input chunk. Each operation has the name and the parameters of its NumPy-layer
counterpart, except ``out=``: Dask arrays are immutable, so results are always new.

- Two-input operations (``add``, ``pow``, ``linearfrac``, ...) take operands of equal
  shape and, where their chunks differ, rechunk them to common chunks as Dask does.
- ``modf`` and ``sincos`` return a tuple of two Dask arrays; each chunk is computed once.
- ``mode=`` and ``dtype=`` travel with every chunk's call, as does the error policy of
  ``vml.errstate``/``vml.seterr`` in force when the expression is built (the chunks run
  on other threads or processes, where the caller's policy would not reach).
- Errors the NumPy layer would raise for the whole array (dtypes, shapes, scalar
  arguments, mode words) are raised here, with the same messages, before any graph is
  built; an error in one chunk at compute time reaches the caller of ``compute()``.

Dask runs one task per core, and MKL would start its own threads in each: call
``set_num_threads(1)`` for the threaded scheduler, or ``set_num_threads(1, client)``
for every worker of a ``dask.distributed`` cluster.

The pack and unpack operations are not elementwise and are not offered here.
"""

from __future__ import annotations

import ctypes
import dataclasses
import functools
import inspect
import operator
from collections.abc import Callable
from typing import Any

try:
    import dask.array as da
except ImportError as error:
    raise ImportError("quorvex.mkl.dask needs Dask: pip install 'quorvex-mkl[dask]'") from error

import numpy as np

from . import _runtime, vml
from ._vml_operations import OPERATIONS as _TABLE

# The families of the table whose operations work element by element.
_ARRAYS_IN = {
    "one_input": 1,
    "complex_to_real": 1,
    "real_to_complex": 1,
    "two_results": 1,
    "powx": 1,
    "two_input": 2,
    "linear_frac": 2,
}
_SCALARS = {"powx": ("b",), "linear_frac": ("scalea", "shifta", "scaleb", "shiftb")}

#: The operations offered on Dask arrays: every elementwise operation of ``vml``.
OPERATIONS = tuple(sorted(name for name, rows in _TABLE.items() if rows[0][1] in _ARRAYS_IN))
_NOT_ELEMENTWISE = tuple(sorted(set(_TABLE) - set(OPERATIONS)))


@dataclasses.dataclass(frozen=True)
class ChunkCall:
    """What a task runs on its chunks: one NumPy-layer call, with everything it needs.

    It is sent to workers by pickle and named by dask's tokenize, so it holds only
    plain values: the operation's name (looked up again on the worker), the scalar
    arguments, the mode word, the dtype and the error policy.
    """

    name: str
    scalars: tuple[Any, ...] = ()
    mode: int | None = None
    dtype: np.dtype[Any] | None = None
    errors: tuple[tuple[str, str], ...] = ()

    def __call__(self, *chunks: np.ndarray) -> Any:
        operation = getattr(vml, self.name)
        with vml.errstate(**dict(self.errors)):
            return operation(*chunks, *self.scalars, mode=self.mode, dtype=self.dtype)


def _as_dask(name: str, value: Any) -> da.Array:
    array = value if isinstance(value, da.Array) else da.asarray(value)
    meta = array._meta
    if not isinstance(meta, np.ndarray) or isinstance(meta, np.ma.MaskedArray):
        raise TypeError(
            f"vml.{name} works on Dask arrays of NumPy chunks, not of {type(meta).__name__}"
        )
    return array


def _known(shape: tuple[float, ...]) -> bool:
    return not any(np.isnan(length) for length in shape)


def _probe(call: ChunkCall, arrays: list[da.Array]) -> tuple[np.dtype[Any], ...]:
    """Runs the NumPy layer's own checks on stand-ins that cost nothing to compute.

    Returns the result dtypes. The stand-ins are empty arrays of the operands' dtypes;
    when the operands' shapes differ they take those shapes instead, as read-only
    views of a single element, so that the NumPy layer reports the mismatch.
    """
    dtypes = [a.dtype if call.dtype is None else call.dtype for a in arrays]
    shapes = [a.shape for a in arrays]
    if len(set(shapes)) > 1 and all(_known(s) for s in shapes):
        stand_ins = [
            np.broadcast_to(np.zeros((), d), s) for d, s in zip(dtypes, shapes, strict=True)
        ]
        call(*stand_ins)
        # The NumPy layer refuses operands of different shapes, so this is not reached.
        raise ValueError(f"vml.{call.name}: the operands have shapes {shapes[0]} and {shapes[1]}")
    if call.mode is not None:
        vml.mode(call.mode)  # checks the word, sets nothing
    results = call(*(np.empty(0, d) for d in dtypes))
    return tuple(r.dtype for r in results) if isinstance(results, tuple) else (results.dtype,)


def _blocks(function: Callable[..., Any], token: str, dtype: Any, *arrays: da.Array) -> da.Array:
    """``function`` applied to the matching chunks of ``arrays``, aligned as Dask aligns them."""
    index = tuple(range(arrays[0].ndim))
    arguments = [part for array in arrays for part in (array, index)]
    meta = np.empty((0,) * len(index), dtype)
    return da.blockwise(function, index, *arguments, token=token, dtype=dtype, meta=meta)


def _elementwise(call: ChunkCall, operands: tuple[Any, ...]) -> Any:
    arrays = [_as_dask(call.name, operand) for operand in operands]
    dtypes = _probe(call, arrays)
    token = f"vml-{call.name}"
    if len(dtypes) == 1:
        return _blocks(call, token, dtypes[0], *arrays)
    # Each chunk yields a pair; one light layer per result picks its half, so computing
    # both results runs the operation once per chunk.
    pairs = _blocks(call, token + "-pair", dtypes[0], *arrays)
    return tuple(
        _blocks(operator.itemgetter(i), f"{token}-{i}", dtype, pairs)
        for i, dtype in enumerate(dtypes)
    )


def _errors() -> tuple[tuple[str, str], ...]:
    return tuple(sorted(vml.geterr().items()))


def _make(name: str, family: str) -> Callable[..., Any]:
    arrays_in = _ARRAYS_IN[family]
    scalar_names = _SCALARS.get(family, ())
    arity = arrays_in + len(scalar_names)

    def operation(*args: Any, out: Any = None, mode: int | None = None, dtype: Any = None) -> Any:
        if len(args) != arity:
            raise TypeError(
                f"{name}() takes {arity} positional arguments but {len(args)} were given"
            )
        if out is not None:
            raise TypeError(
                f"vml.{name} on Dask arrays does not take out=: Dask arrays are immutable, "
                "the result is a new Dask array"
            )
        call = ChunkCall(
            name,
            tuple(args[arrays_in:]),
            mode,
            None if dtype is None else np.dtype(dtype),
            _errors(),
        )
        return _elementwise(call, args[:arrays_in])

    positional = (["x"] if arrays_in == 1 else ["a", "b"]) + list(scalar_names)
    keywords = {"mode": None, "dtype": None}
    operation.__signature__ = inspect.Signature(  # type: ignore[attr-defined]
        [inspect.Parameter(p, inspect.Parameter.POSITIONAL_ONLY) for p in positional]
        + [
            inspect.Parameter(k, inspect.Parameter.KEYWORD_ONLY, default=d)
            for k, d in keywords.items()
        ]
    )
    operation.__name__ = operation.__qualname__ = name
    operation.__module__ = __name__
    results = "a tuple of two lazy Dask arrays" if family == "two_results" else "a lazy Dask array"
    operation.__doc__ = (
        f"vml.{name} on Dask arrays, chunk by chunk; returns {results}.\n\n"
        f"Each chunk is computed by {getattr(vml, name).__doc__}"
    )
    return operation


globals().update({name: _make(name, _TABLE[name][0][1]) for name in OPERATIONS})


def __getattr__(name: str) -> Any:
    if name == "MKLThreadsPlugin":
        return _plugin_class()
    if name in _NOT_ELEMENTWISE:
        raise AttributeError(
            f"vml.{name} is not elementwise, so quorvex.mkl.dask does not offer it; "
            "call it on a computed NumPy array"
        )
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


# ---------------------------------------------------------------------------
# MKL's threads.


def _mkl_function(name: str, restype: Any, argtypes: list[Any]) -> Any:
    function = getattr(_runtime.loaded_mkl_rt(), name)
    function.restype, function.argtypes = restype, argtypes
    return function


def _set_threads_here(count: int) -> int:
    """Sets MKL's thread count in this process; returns the previous one."""
    previous = _runtime.mkl_max_threads()
    _mkl_function("MKL_Set_Num_Threads", None, [ctypes.c_int])(count)
    return previous


@functools.cache
def _plugin_class() -> type:
    """The worker plugin class, made on first use so that importing this module does not
    import distributed. Pickle finds it as ``quorvex.mkl.dask.MKLThreadsPlugin``."""
    from distributed.diagnostics.plugin import WorkerPlugin

    class MKLThreadsPlugin(WorkerPlugin):
        """Sets MKL's thread count on every worker, including those that join later."""

        idempotent = False
        name = "quorvex-mkl-threads"

        def __init__(self, count: int) -> None:
            self.count = count

        def setup(self, worker: Any) -> None:
            _set_threads_here(self.count)

    MKLThreadsPlugin.__module__ = __name__
    MKLThreadsPlugin.__qualname__ = "MKLThreadsPlugin"
    return MKLThreadsPlugin


def set_num_threads(count: int, client: Any = None) -> int | dict[str, int]:
    """Sets how many threads MKL uses per call, here or on every worker of ``client``.

    Dask already runs one task per core; MKL would start threads of its own inside each,
    so with ``count=1`` the cores are not oversubscribed. Without ``client`` it sets the
    calling process (for Dask's threaded scheduler) and returns the previous count. With
    a ``dask.distributed.Client`` it sets each worker process now, registers a plugin that
    sets workers that join or restart later, and returns ``{worker address: previous}``.
    MKL's setting is process-wide: it holds for every thread of the process.
    """
    count = operator.index(count)
    if count < 1:
        raise ValueError(f"the thread count must be at least 1, not {count}")
    if client is None:
        return _set_threads_here(count)
    previous = get_num_threads(client)
    client.register_plugin(_plugin_class()(count))
    return previous


def get_num_threads(client: Any = None) -> int | dict[str, int]:
    """MKL's thread count here, or ``{worker address: count}`` for every worker of ``client``."""
    if client is None:
        return _runtime.mkl_max_threads()
    return client.run(_runtime.mkl_max_threads)


__all__ = ["OPERATIONS", "get_num_threads", "set_num_threads"]
__all__ += list(OPERATIONS)
