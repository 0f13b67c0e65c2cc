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
from . import _calls

__all__ = ["block_size", "evaluate", "fuse", "re_evaluate", "set_block_size", "validate"]

_ndarray = np.ndarray
_NUMEXPR_KEYWORDS = {
    "optimization": ("none", "moderate", "aggressive"),
    "truediv": (False, True, "auto"),
    "sanitize": (None, False, True),
    "disable_cache": (False, True),
}
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


def _prepare(ex, local_dict, global_dict, accuracy, frame):
    """(parsed, program, the engine's inputs) of one call; for Dask arrays, (parsed, None,
    the values)."""
    _calls.check_accuracy(accuracy)
    parsed = _calls.parse(ex)
    if local_dict is None:
        local_dict = frame.f_locals
    if global_dict is None:
        global_dict = frame.f_globals
    values, kinds, tags = [], [], []
    lazy = False
    for name in parsed.names:
        value = local_dict[name] if name in local_dict else global_dict[name]
        if type(value) is _ndarray:
            dtype = value.dtype
            kinds.append(dtype)
            tags.append(dtype.num)
        else:
            value = _calls.argument(value)
            lazy = lazy or hasattr(value, "__dask_graph__")
            kinds.append(_calls.kind(value))
            tags.append(_calls.tag(kinds[-1]))
        values.append(value)
    if lazy:
        return parsed, None, values
    signature = tuple(kinds)
    program = _calls.program(("expression", ex, accuracy, signature, tuple(tags)))
    if program.direct:
        return parsed, program, tuple(values)
    origin = ("expression", ex, accuracy)
    return parsed, *_calls.with_inputs(program, values, origin, signature)


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
    parsed, program, inputs = _prepare(ex, local_dict, global_dict, accuracy, frame)
    count = _calls.check_threads(threads)
    if program is None:
        from . import _dask

        options = {"order": order, "casting": casting, "threads": count}
        return _dask.evaluate(parsed, ex, inputs, out, accuracy=accuracy, options=options)
    kept = out if parsed.reduction is None else None
    result = _expressions.run(program.program, inputs, (kept,), order, casting, count, "evaluate")
    if parsed.reduction is None:
        return result[0]
    return _finish(parsed, result[0], out)


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
        _, program, _ = _prepare(ex, local_dict, global_dict, accuracy, frame)
        if program is None:
            raise TypeError("re_evaluate works on NumPy arrays; evaluate Dask arrays instead")
        _calls.check_threads(threads)
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
