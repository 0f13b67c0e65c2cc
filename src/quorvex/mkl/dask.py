"""What Dask cannot do for vml by itself: MKL's threads per worker, and two-result ufuncs.

vml's ufuncs are NumPy ufuncs, so Dask arrays take them as they take ``np.exp``:
``vml.exp(x)`` on a Dask array is a lazy Dask array computed chunk by chunk. Two things
Dask does not know:

- MKL starts threads of its own inside every task, while Dask already runs one task per
  core: ``set_num_threads(1)`` for the threaded scheduler, ``set_num_threads(1, client)``
  for every worker of a ``dask.distributed`` cluster, workers that join later included.
- Dask dispatches ufuncs with two results by name, to its own wrappers of NumPy's; it has
  none for ``sincos`` and ``sincospi``. Importing this module gives it them, so that
  ``vml.sincos(x)`` on a Dask array returns two lazy arrays, each chunk computed once.
  (``vml.modf`` computes what ``np.modf`` computes, and Dask's own wrapper serves it.)
"""

from __future__ import annotations

import ctypes
import functools
import operator
from typing import Any

try:
    import dask.array as da
    from dask.array import ufunc as dask_ufuncs
except ImportError as error:
    raise ImportError("quorvex.mkl.dask needs Dask: pip install 'quorvex-mkl[dask]'") from error

import numpy as np

from . import _runtime, vml
from ._mkl_rt import mkl_function


def _blocks(function: Any, token: str, dtype: Any, *arrays: da.Array) -> da.Array:
    """``function`` applied to the matching chunks of ``arrays``, aligned as Dask aligns them."""
    index = tuple(range(arrays[0].ndim))
    arguments = [part for array in arrays for part in (array, index)]
    meta = np.empty((0,) * len(index), dtype)
    return da.blockwise(function, index, *arguments, token=token, dtype=dtype, meta=meta)


def _two_results(ufunc: np.ufunc) -> Any:
    """Dask's form of a one-input ufunc with two results: each chunk is computed once, and one
    light layer per result picks its half."""

    @functools.wraps(ufunc)
    def lazy(x: Any, **kwargs: Any) -> tuple[da.Array, da.Array]:
        array = da.asarray(x)
        dtypes = [r.dtype for r in ufunc(np.empty(0, array.dtype), **kwargs)]
        token = f"vml-{ufunc.__name__}"
        pairs = _blocks(functools.partial(ufunc, **kwargs), token, dtypes[0], array)
        return tuple(  # type: ignore[return-value]
            _blocks(operator.itemgetter(i), f"{token}-{i}", dtype, pairs)
            for i, dtype in enumerate(dtypes)
        )

    return lazy


# Only names Dask lacks: its own wrappers of NumPy's ufuncs stay as they are.
for _name, _ufunc in vml.UFUNCS.items():
    if _ufunc.nout == 2 and _ufunc.nin == 1 and not hasattr(dask_ufuncs, _name):
        setattr(dask_ufuncs, _name, _two_results(_ufunc))


# ---------------------------------------------------------------------------
# MKL's threads.


def _set_threads_here(count: int) -> int:
    """Sets MKL's thread count in this process; returns the previous one."""
    previous = _runtime.mkl_max_threads()
    mkl_function("MKL_Set_Num_Threads", None, ctypes.c_int)(count)
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


def __getattr__(name: str) -> Any:
    if name == "MKLThreadsPlugin":
        return _plugin_class()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


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


__all__ = ["get_num_threads", "set_num_threads"]
