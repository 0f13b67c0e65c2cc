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
from ._trace import fuse

__all__ = ["block_size", "evaluate", "fuse", "re_evaluate", "set_block_size", "validate"]

_last = threading.local()  # what this thread's validate checked, for re_evaluate


def block_size() -> int:
    """The elements per block the engine computes in (derived from the L2 cache size)."""
    return _expressions.block_size()


def set_block_size(n: int | None) -> int:
    """Sets the elements per block; None restores the size derived from the L2 cache.
    Returns the previous size. Results are the same for any size, but for the last bits of
    a floating-point sum or product, which reduce block by block: a tuning knob."""
    return _expressions.set_block_size(n)


def _names(local_dict: Any, global_dict: Any) -> tuple:
    """Where names are looked up: the dicts given, else the frame of evaluate's caller."""
    if local_dict is None or global_dict is None:
        frame = sys._getframe(2)
        local_dict = frame.f_locals if local_dict is None else local_dict
        global_dict = frame.f_globals if global_dict is None else global_dict
    return local_dict, global_dict


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
    ``where``, numexpr's functions under numexpr's names, real and complex literals,
    comparisons and ``contains`` of strings, and ``sum``/``prod``/``min``/``max``/``any``/
    ``all`` around the whole expression, with an axis or none (fused: no temporary array,
    the same bits on any number of threads); plus every vml ufunc by its vml name
    (``cdfnorm``, ``erfinv``, ``j0``, ...). The result's dtype is what the
    same expression gives on NumPy arrays with vml's ufuncs, and floating-point errors reach
    ``np.errstate`` (``quorvex.mkl.numexpr`` types, and stays silent, as numexpr does).
    ``accuracy`` ("ha", "la", "ep") fixes VML's accuracy for the call, ``threads`` the
    number of threads (None: MKL's maximum). numexpr's ``optimization``, ``truediv`` and
    ``sanitize`` are accepted and change nothing: the string is always parsed against a
    closed grammar, never run.
    """
    if numexpr_keywords:
        _calls.check_numexpr_keywords(numexpr_keywords)
    names = _names(local_dict, global_dict)
    parsed, program, inputs = _calls.prepare_expression(ex, *names, accuracy)
    count = _calls.check_threads(threads)
    if program is _calls.STRING_COPY:
        return inputs[0]
    if program is None:
        from . import _dask

        options = {"order": order, "casting": casting, "threads": count}
        return _dask.evaluate(parsed, ex, inputs, out, accuracy=accuracy, options=options)
    if program.reduced:  # the engine's value, as NumPy's reductions give it
        options = {"order": order, "casting": casting, "threads": count, "name": "evaluate"}
        value = _calls.reduced(program, parsed, inputs, **options)
        return value[()] if out is None else _calls.into(parsed, value, out)
    kept = out if parsed.reduction is None else None
    result = _expressions.run(program.program, inputs, (kept,), order, casting, count, "evaluate")
    if parsed.reduction is None:
        return result[0]
    return _calls.reduce(parsed, result[0], out)


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
            _calls.check_numexpr_keywords(numexpr_keywords)
        _, program, _ = _calls.prepare_expression(ex, *_names(local_dict, global_dict), accuracy)
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
    names = _names(local_dict, global_dict)
    return evaluate(ex, *names, out, order, casting, accuracy=accuracy, threads=threads)
