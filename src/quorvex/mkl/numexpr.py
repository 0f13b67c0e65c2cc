"""numexpr's API and numexpr's semantics, on quorvex.mkl's expression engine.

``quorvex.mkl.evaluate`` types as NumPy does and hands floating-point errors to
``np.errstate``; this module behaves as numexpr 2.14 does, for code written against it:

- numexpr's typing: kinds bool < int32 < int64 < float32 < float64 < complex128, operands
  cast to the largest kind (int64 with float32 is float32), integer literals int32, Python
  scalar variables arrays of NumPy's default dtypes, functions of integers in float64;
- silence on floating-point errors;
- NotImplementedError for what it cannot compute (pandas then computes in Python), a
  TypeError for ``and``/``or``, a ValueError for a negative axis;
- ``sum``/``prod`` keep the kind (``sum`` of int32 is int32), of numbers only.

``install()`` registers the module as ``numexpr``, so that pandas' ``eval``, ``query`` and
large-frame arithmetic run on it unchanged::

    import quorvex.mkl.numexpr
    quorvex.mkl.numexpr.install()
    import pandas as pd   # pandas finds numexpr: this module
"""

from __future__ import annotations

import ast
import functools
import os
import re
import sys
import threading
import weakref
from typing import Any

import numpy as np

from .expressions import _calls, _parse

__all__ = [
    "MAX_THREADS",
    "NumExpr",
    "detect_number_of_cores",
    "evaluate",
    "get_num_threads",
    "get_vml_version",
    "install",
    "ncores",
    "nthreads",
    "re_evaluate",
    "set_num_threads",
    "set_vml_accuracy_mode",
    "set_vml_num_threads",
    "use_vml",
    "validate",
]

#: The numexpr API this module implements.
__version__ = "2.14.2"
MAX_THREADS = 64
use_vml = True
_ACCURACIES = {"high": "ha", "low": "la", "fast": "ep"}
_settings = {"accuracy": None}
_last = threading.local()  # what this thread's validate checked, for re_evaluate
# What numexpr's sanitizer refuses before parsing: statements, slices, indexing, dunder
# names (attributes but .real and .imag the parser refuses itself).
_FORBIDDEN = re.compile(r"[;:\[]|(?<!\w)__\w+__(?!\w)")


def detect_number_of_cores() -> int:
    """The cores this process may run on."""
    return len(os.sched_getaffinity(0))


def _initial_threads() -> int:
    for variable in ("NUMEXPR_NUM_THREADS", "OMP_NUM_THREADS"):
        if os.environ.get(variable, "").isdigit() and int(os.environ[variable]) > 0:
            return min(int(os.environ[variable]), MAX_THREADS)
    return min(detect_number_of_cores(), 16)  # numexpr's safe default


ncores = detect_number_of_cores()
nthreads = _initial_threads()


def set_num_threads(n: int) -> int:
    """Sets the threads evaluations run on; returns the previous number."""
    global nthreads
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or not 0 < n <= MAX_THREADS:
        raise ValueError(f"the number of threads must be from 1 to {MAX_THREADS}, not {n!r}")
    previous, nthreads = nthreads, int(n)
    return previous


def get_num_threads() -> int:
    return nthreads


def set_vml_accuracy_mode(mode: str | None) -> str:
    """VML's accuracy for evaluations: 'high', 'low' or 'fast' (None keeps it); returns the
    previous mode ('high' where none was set: MKL's default)."""
    names = {v: k for k, v in _ACCURACIES.items()}
    previous = names.get(_settings["accuracy"], "high")
    if mode is not None:
        if mode not in _ACCURACIES:
            raise ValueError(f"the VML accuracy mode must be 'high', 'low' or 'fast', not {mode!r}")
        _settings["accuracy"] = _ACCURACIES[mode]
    return previous


def set_vml_num_threads(n: int) -> None:
    """Accepted for numexpr's API: MKL runs sequentially in each of the engine's threads,
    whose number ``set_num_threads`` sets."""
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 1:
        raise ValueError(f"the number of VML threads must be a positive integer, not {n!r}")


def get_vml_version() -> str:
    from ._runtime import mkl_version_string

    return mkl_version_string()


def _sanitizes(sanitize: bool | None) -> bool:
    if sanitize is not None:
        return bool(sanitize)
    return os.environ.get("NUMEXPR_SANITIZE", "1") != "0"


@functools.lru_cache(1024)
def _check(ex: str, sanitize: bool = True) -> None:
    """numexpr's refusals that NumPy's rules do not share."""
    unquoted = re.sub(r"'[^']*'", "", re.sub(r"\s+", "", ex))  # (strings may hold them)
    if sanitize and _FORBIDDEN.search(unquoted):
        raise ValueError(f"Expression {ex} has forbidden control characters.")
    try:
        tree = ast.parse(ex.strip(), mode="eval")
    except SyntaxError:
        return  # the parser says what is wrong
    if any(isinstance(node, ast.BoolOp) for node in ast.walk(tree)):
        raise TypeError("'and' and 'or' are not supported: use '&' and '|'")
    reduction = _parse.parse(ex).reduction
    if reduction is not None and reduction[0] not in ("sum", "prod", "min", "max"):
        raise TypeError(f"numexpr has no function {reduction[0]}()")
    if reduction is not None and reduction[1] is not None and reduction[1] < 0:
        raise ValueError("negative axes are not supported")


def _frame_names(local_dict: Any, global_dict: Any, depth: int) -> tuple:
    if local_dict is None or global_dict is None:
        frame = sys._getframe(depth)
        local_dict = frame.f_locals if local_dict is None else local_dict
        global_dict = frame.f_globals if global_dict is None else global_dict
    return local_dict, global_dict


def _run(  # noqa: PLR0917
    ex: str, names: tuple, out: Any, order: str, casting: str, sanitize: bool = True
) -> Any:
    _check(ex, sanitize)
    accuracy = _settings["accuracy"]
    with np.errstate(all="ignore"):
        parsed, program, inputs = _calls.prepare_expression(ex, *names, accuracy, _calls.NUMEXPR)
        if program is _calls.STRING_COPY:
            return inputs[0]
        if program is None:
            raise NotImplementedError("numexpr evaluates NumPy arrays, not Dask's")
        threads = _calls.check_threads(nthreads)
        if program.reduced:  # numexpr's reductions give arrays, 0-d ones too
            value = _calls.reduced(program, parsed, inputs, order=order, casting=casting,
                                   threads=threads, name="evaluate")  # fmt: skip
            return value if out is None else _calls.into(parsed, value, out)
        kept = out if parsed.reduction is None else None
        options = {"order": order, "casting": casting, "threads": threads, "name": "evaluate"}
        result = _calls.run(program, inputs, (kept,), **options)[0]
        return result if parsed.reduction is None else _reduce(parsed.reduction, result, out)


def _reduce(reduction: tuple[str, int | None], result: np.ndarray, out: Any) -> Any:
    """numexpr's reductions: of numbers, in the kind of the expression (sum of int32 is
    int32); min and max of real numbers only."""
    name, axis = reduction
    kind = result.dtype.kind
    if kind == "b" or (name in ("min", "max") and kind == "c"):
        raise NotImplementedError(f"numexpr has no {name} of {result.dtype}")
    function = {"sum": np.sum, "prod": np.prod, "min": np.min, "max": np.max}[name]
    keep = {"dtype": result.dtype} if name in ("sum", "prod") else {}
    return function(result, axis=axis, out=out, **keep)


def _remember(ex: str, out: Any, order: str, casting: str, sanitize: bool | None) -> None:
    """What re_evaluate runs again: ``out`` while someone else keeps it alive."""
    kept = None if out is None else weakref.ref(out)
    _last.state = (ex, kept, order, casting, _sanitizes(sanitize))


def evaluate(  # noqa: PLR0917  (numexpr's signature)
    ex: str,
    local_dict: dict[str, Any] | None = None,
    global_dict: dict[str, Any] | None = None,
    out: np.ndarray | None = None,
    order: str = "K",
    casting: str = "safe",
    _frame_depth: int = 3,
    sanitize: bool | None = None,
    **kwargs: Any,
) -> Any:
    """Evaluates an array expression as numexpr's ``evaluate`` does."""
    _calls.check_numexpr_keywords({"sanitize": sanitize, **kwargs})
    names = _frame_names(local_dict, global_dict, _frame_depth - 1)
    result = _run(ex, names, out, order, casting, _sanitizes(sanitize))
    _remember(ex, out, order, casting, sanitize)
    return result


def validate(  # noqa: PLR0917  (numexpr's signature)
    ex: str,
    local_dict: dict[str, Any] | None = None,
    global_dict: dict[str, Any] | None = None,
    out: np.ndarray | None = None,
    order: str = "K",
    casting: str = "safe",
    _frame_depth: int = 2,
    sanitize: bool | None = None,
    **kwargs: Any,
) -> Exception | None:
    """Checks and compiles an expression as ``evaluate`` would: None, or the exception
    ``evaluate`` would raise. After success ``re_evaluate`` runs it."""
    try:
        _calls.check_numexpr_keywords({"sanitize": sanitize, **kwargs})
        _check(ex, _sanitizes(sanitize))
        names = _frame_names(local_dict, global_dict, _frame_depth)
        with np.errstate(all="ignore"):
            found = _calls.prepare_expression(ex, *names, _settings["accuracy"], _calls.NUMEXPR)
        if found[1] is None:
            raise NotImplementedError("numexpr evaluates NumPy arrays, not Dask's")
        _remember(ex, out, order, casting, sanitize)
    except Exception as error:
        return error
    return None


def re_evaluate(
    local_dict: dict[str, Any] | None = None,
    global_dict: dict[str, Any] | None = None,
    _frame_depth: int = 2,
) -> Any:
    """Evaluates this thread's last validated (or evaluated) expression again, with its
    options, on the values its names have now."""
    state = getattr(_last, "state", None)
    if state is None:
        raise RuntimeError("A previous evaluate() or validate() execution is needed")
    ex, out, order, casting, sanitize = state
    names = _frame_names(local_dict, global_dict, _frame_depth)
    return _run(ex, names, out if out is None else out(), order, casting, sanitize)


class NumExpr:
    """A compiled expression called with its inputs in the signature's order (by default
    the names in alphabetical order), as numexpr's ``NumExpr``."""

    def __init__(self, ex: str, signature: Any = (), sanitize: bool | None = None, **kwargs: Any):
        _calls.check_numexpr_keywords({"sanitize": sanitize, **kwargs})
        self.sanitize = _sanitizes(sanitize)
        _check(ex, self.sanitize)
        names = [name for name, _ in signature] or sorted(_parse.parse(ex).names)
        self.ex, self.input_names = ex, tuple(names)

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        if len(args) != len(self.input_names):
            raise ValueError(f"expected {len(self.input_names)} inputs, got {len(args)}")
        values = dict(zip(self.input_names, args, strict=True))
        return _run(
            self.ex, (values, {}), kwargs.get("out"), kwargs.get("order", "K"),
            kwargs.get("casting", "safe"), self.sanitize,
        )  # fmt: skip


def install() -> None:
    """Registers this module as ``numexpr`` for code that imports numexpr from now on."""
    sys.modules["numexpr"] = sys.modules[__name__]
