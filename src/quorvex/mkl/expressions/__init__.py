"""Whole expressions at MKL's speed: numexpr's ``evaluate``, and ``fuse`` for NumPy code.

``evaluate("2*a + exp(-b**2)")`` compiles the string once per input signature into a
program over registers, which the engine in C++ runs block by block, in blocks that keep
the registers in the core's L2 cache, split among its own threads, with the GIL released.
Transcendental functions are vml's ufunc loops (MKL's contiguous forms), arithmetic and
comparisons NumPy's own loops: results and dtypes are those of the same chain of NumPy and
vml calls, and floating-point errors reach ``np.errstate`` once per evaluation.
"""

from __future__ import annotations

import sys
import threading
from typing import Any

import numpy as np

if np.lib.NumpyVersion(np.__version__) < "2.0.0":
    raise ImportError("quorvex.mkl.expressions needs NumPy 2 (its NEP 50 promotion and C API)")

from .. import _expressions
from . import _compile, _functions, _parse
from ._compile import Compiled

__all__ = ["block_size", "evaluate", "fuse", "re_evaluate", "set_block_size", "validate"]

_ndarray = np.ndarray
_WEAK = (int, float, complex)
_SCALARS = _compile.ENGINE_TYPES
_NUMEXPR_KEYWORDS = {
    "optimization": ("none", "moderate", "aggressive"),
    "truediv": (False, True, "auto"),
    "sanitize": (None, False, True),
    "disable_cache": (False, True),
}
_parsed: dict[str, _parse.Parsed] = {}
_programs: dict[tuple, Compiled] = {}
_CACHE_LIMIT = 1024
_last = threading.local()


def block_size() -> int:
    """The elements per block the engine computes in (derived from the L2 cache size)."""
    return _expressions.block_size()


def set_block_size(n: int | None) -> int:
    """Sets the elements per block; None restores the size derived from the L2 cache.
    Returns the previous size. Results are the same for any size: a tuning knob."""
    return _expressions.set_block_size(n)


def _check_keywords(keywords: dict[str, Any]) -> None:
    for name, value in keywords.items():
        allowed = _NUMEXPR_KEYWORDS.get(name)
        if allowed is None:
            raise TypeError(f"evaluate() got an unexpected keyword argument {name!r}")
        if not any(value is a or (type(value) is type(a) and value == a) for a in allowed):
            raise ValueError(f"{name}={value!r}: numexpr takes one of {allowed}")


def _parse_cached(ex: str) -> _parse.Parsed:
    parsed = _parsed.get(ex)
    if parsed is None:
        parsed = _parse.parse(ex)
        if len(_parsed) >= _CACHE_LIMIT:
            _parsed.clear()
        _parsed[ex] = parsed
    return parsed


def _argument(value: Any) -> Any:
    """An argument as the engine takes it: an array, or a scalar (Python's or NumPy's)."""
    if type(value) in _WEAK or (isinstance(value, np.generic) and value.dtype.char in _SCALARS):
        return value
    if hasattr(value, "__dask_graph__"):
        return value
    if isinstance(value, (str, bytes)):
        raise TypeError("strings are not supported in expressions")
    array = np.asarray(value)
    _compile.engine_dtype(array.dtype)
    return array


def _kind(value: Any) -> Any:
    """What a signature holds of an argument: the dtype of an array, ("scalar", dtype) for
    NumPy's scalars, the type of Python's (weak) ones."""
    if type(value) is _ndarray:
        return value.dtype
    return ("scalar", value.dtype) if isinstance(value, np.generic) else type(value)


def program(kind: str, text: str, signature: tuple, accuracy: str | None) -> Compiled:
    """The compiled program of an expression or a graph's text, for one signature."""
    key = (kind, text, accuracy, *signature)
    found = _programs.get(key)
    if found is None:
        if kind == "expression":
            graph = _parse_cached(text).graph
        else:
            from ._graph import from_text

            graph = from_text(text, _functions.keys())
        for item in signature:
            if isinstance(item, np.dtype):
                _compile.engine_dtype(item)
        found = _compile.Compiler(graph, signature, accuracy).compile()
        if len(_programs) >= _CACHE_LIMIT:
            _programs.clear()
        _programs[key] = found
    return found


def _inputs(compiled: Compiled, values: list[Any]) -> tuple:
    if compiled.direct:
        return tuple(values)
    return tuple(
        values[i] if dtype is None else np.asarray(values[i], dtype=dtype)
        for i, dtype in compiled.plan
    )


def run(
    compiled: Compiled,
    values: list,
    outs: tuple,
    *,
    order: str,
    casting: str,
    threads: int | None,
    name: str,
) -> tuple:
    if threads is None:
        threads = 0
    elif type(threads) is not int or threads < 1:
        raise ValueError(f"threads must be a positive integer or None, not {threads!r}")
    return _expressions.run(
        compiled.program, _inputs(compiled, values), outs, order, casting, threads, name
    )


def _check_accuracy(accuracy: str | None) -> None:
    if accuracy is not None and accuracy not in _functions.ACCURACIES:
        raise ValueError(f"accuracy must be one of 'ha', 'la', 'ep' or None, not {accuracy!r}")


def _prepare(ex, local_dict, global_dict, accuracy, frame):
    """(parsed, compiled or None for Dask, values) of one call."""
    parsed = _parsed.get(ex)
    if parsed is None:
        _check_accuracy(accuracy)
        parsed = _parse_cached(ex)
    if local_dict is None:
        local_dict = frame.f_locals
    if global_dict is None:
        global_dict = frame.f_globals
    values = []
    signature = []
    lazy = False
    for name in parsed.names:
        value = local_dict[name] if name in local_dict else global_dict[name]
        if type(value) is not _ndarray:
            value = _argument(value)
            lazy = lazy or hasattr(value, "__dask_graph__")
        values.append(value)
        signature.append(_kind(value))
    if lazy:
        return parsed, None, values
    key = ("expression", ex, accuracy, *signature)
    compiled = _programs.get(key)
    if compiled is None:
        _check_accuracy(accuracy)
        compiled = program("expression", ex, tuple(signature), accuracy)
    return parsed, compiled, values


def _finish(parsed, result, out):
    name, axis = parsed.reduction
    reduce = {"sum": np.sum, "prod": np.prod, "min": np.min, "max": np.max}[name]
    return reduce(result, axis=axis) if out is None else reduce(result, axis=axis, out=out)


def evaluate(  # noqa: PLR0917  (numexpr's signature)
    ex: str,
    local_dict: dict[str, Any] | None = None,
    global_dict: dict[str, Any] | None = None,
    out: np.ndarray | None = None,
    order: str = "K",
    casting: str = "safe",
    *,
    accuracy: str | None = None,
    threads: int | None = None,
    **numexpr_keywords: Any,
) -> Any:
    """Evaluates an array expression elementwise, as numexpr's ``evaluate`` does.

    Names are looked up in ``local_dict``, then ``global_dict``, else in the caller's
    frame. The language is numexpr's: ``+ - * / // % **``, comparisons, ``& | ~``,
    ``where``, numexpr's functions under numexpr's names, real and complex literals and
    ``sum``/``prod``/``min``/``max`` around the whole expression; plus every vml ufunc by
    its vml name (``cdfnorm``, ``erfinv``, ``j0``, ...). The result's dtype is what the
    same expression gives on NumPy arrays with vml's ufuncs. ``accuracy`` ("ha", "la",
    "ep") fixes VML's accuracy for the call, ``threads`` the number of threads (None: MKL's
    maximum). numexpr's ``optimization``, ``truediv`` and ``sanitize`` are accepted and
    change nothing: the string is always parsed against a closed grammar, never run.
    """
    if numexpr_keywords:
        _check_keywords(numexpr_keywords)
    frame = sys._getframe(1) if local_dict is None or global_dict is None else None
    parsed, compiled, values = _prepare(ex, local_dict, global_dict, accuracy, frame)
    if compiled is None:
        from . import _dask

        return _dask.evaluate(parsed, ex, values, out, accuracy)
    if parsed.reduction is None and threads is None:  # the common case, without detours
        inputs = tuple(values) if compiled.direct else _inputs(compiled, values)
        return _expressions.run(compiled.program, inputs, (out,), order, casting, 0, "evaluate")[0]
    kept = out if parsed.reduction is None else None
    options = {"order": order, "casting": casting, "threads": threads, "name": "evaluate"}
    result = run(compiled, values, (kept,), **options)[0]
    if parsed.reduction is None:
        return result
    return _finish(parsed, result, out)


def validate(  # noqa: PLR0917  (numexpr's signature)
    ex: str,
    local_dict: dict[str, Any] | None = None,
    global_dict: dict[str, Any] | None = None,
    out: np.ndarray | None = None,
    order: str = "K",
    casting: str = "safe",
    *,
    accuracy: str | None = None,
    threads: int | None = None,
    **numexpr_keywords: Any,
) -> Exception | None:
    """Checks an expression against its names as ``evaluate`` would, and compiles it:
    returns None, or the exception that ``evaluate`` would raise (numexpr's validate).
    After success, ``re_evaluate`` runs it with the same options."""
    try:
        if numexpr_keywords:
            _check_keywords(numexpr_keywords)
        frame = sys._getframe(1) if local_dict is None or global_dict is None else None
        _, compiled, _ = _prepare(ex, local_dict, global_dict, accuracy, frame)
        if compiled is None:
            raise TypeError("re_evaluate works on NumPy arrays; evaluate Dask arrays instead")
        _last.state = (ex, accuracy, out, order, casting, threads)
    except Exception as error:
        return error
    return None


def re_evaluate(
    local_dict: dict[str, Any] | None = None, global_dict: dict[str, Any] | None = None
) -> Any:
    """Evaluates the expression ``validate`` (or this thread's last validate) checked,
    with its options, on the values its names have now."""
    state = getattr(_last, "state", None)
    if state is None:
        raise RuntimeError("call validate() before re_evaluate()")
    ex, accuracy, out, order, casting, threads = state
    frame = sys._getframe(1) if local_dict is None or global_dict is None else None
    return evaluate(
        ex, local_dict if local_dict is not None else frame.f_locals,
        global_dict if global_dict is not None else frame.f_globals,
        out, order, casting, accuracy=accuracy, threads=threads,
    )  # fmt: skip


from ._trace import fuse  # noqa: E402  (it uses the helpers above)
