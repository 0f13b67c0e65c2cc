"""``fuse``: a function of NumPy's and vml's ufuncs, traced once per signature into a program.

The function runs once on tracers, objects that record every ufunc call made on them
(``__array_ufunc__``), Python's operators (as NumPy's, through its mixin) and ``np.where``
(``__array_function__``) into a graph. Anything that is not elementwise raises at trace
time, naming what it was. The graph compiles as expression strings do, into the same
kind of program, once per combination of input dtypes and numbers of dimensions.
"""

from __future__ import annotations

import functools
from typing import Any

import numpy as np
from numpy.lib.mixins import NDArrayOperatorsMixin

from . import _calls, _functions
from ._graph import Builder

# The Python scalar exponents NumPy's ``x ** e`` takes a shortcut for (np.square for 2, ...):
# the compiler's power takes them the same way.
_POWER_SHORTCUTS = frozenset((2, 0.5, -1, 1))


def _refuse(what: str) -> TypeError:
    return TypeError(f"fuse traces elementwise code only: {what} is not elementwise")


class Tracer(NDArrayOperatorsMixin):
    """A value of the traced function: its node, and the dtype where it is an argument."""

    __slots__ = ("_builder", "_node", "dtype", "ndim")

    def __init__(self, builder: Builder, node: int, dtype: Any = None, ndim: int | None = None):
        self._builder, self._node = builder, node
        self.dtype, self.ndim = dtype, ndim

    def _node_of(self, value: Any) -> int:
        if isinstance(value, Tracer):
            if value._builder is not self._builder:
                raise TypeError("a value of another traced call was used here")
            return value._node
        if type(value) in _calls.WEAK or isinstance(value, (bool, np.generic)):
            return self._builder.const(value)
        if isinstance(value, np.ndarray) and value.ndim == 0:
            return self._builder.const(value[()])
        raise TypeError(
            f"fuse takes arrays as the function's arguments: a {type(value).__name__} met in "
            "the traced code must be passed as an argument"
        )

    def _call(self, key: str, *arguments: Any, nout: int = 1) -> Any:
        node = self._builder.call(key, *(self._node_of(a) for a in arguments))
        if nout == 1:
            return Tracer(self._builder, node)
        return tuple(
            Tracer(self._builder, self._builder.call(f"result{j}", node)) for j in range(nout)
        )

    def __array_ufunc__(self, ufunc: np.ufunc, method: str, *inputs: Any, **kwargs: Any) -> Any:
        if method != "__call__":
            raise _refuse(f"{ufunc.__name__}.{method}")
        if kwargs:
            raise TypeError(f"fuse traces {ufunc.__name__} without {', '.join(kwargs)}=")
        key = _functions.key_of(ufunc)
        if key is None or ufunc.signature is not None:
            raise _refuse(f"the ufunc {ufunc.__name__}, which is neither NumPy's nor vml's,")
        return self._call(key, *inputs, nout=ufunc.nout)

    def __array_function__(self, func: Any, types: Any, args: tuple, kwargs: dict) -> Any:
        if func is np.where and len(args) == 3 and not kwargs:
            return self._call("where", *args)
        raise _refuse(f"np.{func.__name__}")

    def __pow__(self, exponent: Any) -> Any:
        if type(exponent) in _calls.WEAK and exponent in _POWER_SHORTCUTS:
            return self._call("power", self, exponent)
        return np.power(self, exponent)

    def __rpow__(self, base: Any) -> Any:
        return np.power(base, self)

    @property
    def real(self) -> Tracer:
        return self._call("real", self)

    @property
    def imag(self) -> Tracer:
        return self._call("imag", self)

    def conj(self) -> Tracer:
        return np.conjugate(self)

    def __bool__(self) -> bool:
        raise TypeError(
            "fuse cannot trace a branch on values (if, while, and, or on an array): "
            "compute both sides and choose with np.where"
        )

    def __getitem__(self, index: Any) -> Any:
        raise _refuse("indexing")

    def __setitem__(self, index: Any, value: Any) -> None:
        raise _refuse("assignment to elements")

    def __len__(self) -> int:
        raise _refuse("len()")

    def __iter__(self) -> Any:
        raise _refuse("iteration")

    def __array__(self, *args: Any, **kwargs: Any) -> Any:
        raise _refuse("turning a traced value into an array")

    def __getattr__(self, name: str) -> Any:
        if name.startswith("__"):  # Python's and NumPy's own probes
            raise AttributeError(name)
        raise _refuse(f"the method or attribute .{name}")

    def __repr__(self) -> str:
        return f"<traced value %{self._node}>"


def trace(function: Any, entries: tuple, ndims: tuple, kwargs: dict) -> Any:
    """The graph of ``function`` on arguments of these signature entries (dtypes, or weak
    scalar types)."""
    builder = Builder()
    arguments = []
    for i, (item, ndim) in enumerate(zip(entries, ndims, strict=True)):
        dtype = item if isinstance(item, np.dtype) else None
        arguments.append(Tracer(builder, builder.input(f"x{i}"), dtype, ndim))
    returned = function(*arguments, **kwargs)
    several = isinstance(returned, (tuple, list))
    results = tuple(returned) if several else (returned,)
    if not results:
        raise TypeError("a fused function returns at least one value")
    first = arguments[0] if arguments else Tracer(builder, -1)
    outputs = tuple(first._node_of(r) for r in results)
    # Every argument is an input node, so each takes part in broadcasting, used or not.
    graph = builder.graph(outputs)
    return graph, several


class Fused:
    """A traced function: call it with arrays (or Python scalars) as its arguments."""

    TRACES_LIMIT = 256  # per function, the latest kept: keyword arguments take any values

    def __init__(self, function: Any, accuracy: str | None, threads: int | None) -> None:
        _calls.check_accuracy(accuracy)
        functools.update_wrapper(self, function)
        self.function, self.accuracy = function, accuracy
        self.threads = _calls.check_threads(threads)
        self._traced = functools.lru_cache(self.TRACES_LIMIT)(self._trace)

    def _trace(self, entries: tuple, tags: tuple, ndims: tuple, keywords: tuple) -> tuple:
        graph, several = trace(self.function, entries, ndims, dict(keywords))
        return graph.text(), several

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        values = [_calls.argument(a) for a in args]
        entries = tuple(map(_calls.entry, values))
        ndims = tuple(getattr(v, "ndim", 0) for v in values)
        keywords = tuple(sorted(kwargs.items()))
        text, several = self._traced(entries, tuple(map(_calls.tag, entries)), ndims, keywords)
        if any(hasattr(v, "__dask_graph__") for v in values):
            from . import _dask

            return _dask.fused(text, several, values, self.accuracy, self.threads)
        program, inputs = _calls.prepare(_calls.GRAPH, text, self.accuracy, values)
        outs = (None,) * len(program.dtypes)
        results = _calls.run(
            program, inputs, outs, order="K", casting="safe", threads=self.threads,
            name=self.__name__,
        )  # fmt: skip
        return results if several else results[0]


def fuse(function: Any = None, *, accuracy: str | None = None, threads: int | None = None) -> Any:
    """Decorator: the function, traced and compiled into one program per input signature.

    ``@fuse`` or ``@fuse(accuracy="ep", threads=2)``. The function may use NumPy's and
    vml's ufuncs, Python's operators, scalars and ``np.where`` on its arguments; it returns
    one value or a tuple of them. Keyword arguments of a call are passed to the function
    as they are, at trace time (they must be hashable). Dask arrays give lazy results.
    """
    if function is None:
        return functools.partial(fuse, accuracy=accuracy, threads=threads)
    return Fused(function, accuracy, threads)
