"""Existing NumPy code on MKL: NumPy's own ufuncs with their loops replaced by vml's.

NumPy lets a ufunc's loop for one type signature be replaced (its C API's
``PyUFunc_ReplaceLoopBySignature``). ``numpy_uses_mkl()`` does that for every NumPy ufunc
that computes what a vml ufunc computes, for every signature both have but those where
MKL's results or warnings on special values differ from NumPy's, and puts NumPy's own
loops back when the last user leaves. While it is in force the replacement holds for the
whole process, in every thread, as any change to a NumPy ufunc does. Accumulations and
in-order reductions stay with NumPy's own loop where its bits are MKL's (exactly rounded
operations: add, subtract, multiply, fmod, ...), which is faster than MKL element by
element; the others run on MKL there too, so that they agree with the elementwise calls, and
np.hypot.reduce in vml's blocks, faster and as accurately.
"""

from __future__ import annotations

import threading
from types import TracebackType

import numpy as np

from . import _ufuncs
from ._vml_operations import NUMPY_KEEPS

# NumPy's ufunc -> the vml ufunc that computes the same function, with MKL's accuracy.
# NumPy's remainder (the sign of the divisor) is not MKL's Remainder (IEEE's), and NumPy's
# maximum and minimum propagate NaN where MKL's Fmax and Fmin do not; they are not here.
_EQUIVALENT_NAMES = {
    "absolute": "abs",
    "add": "add",
    "arccos": "acos",
    "arccosh": "acosh",
    "arcsin": "asin",
    "arcsinh": "asinh",
    "arctan": "atan",
    "arctan2": "atan2",
    "arctanh": "atanh",
    "cbrt": "cbrt",
    "ceil": "ceil",
    "conjugate": "conj",
    "copysign": "copysign",
    "cos": "cos",
    "cosh": "cosh",
    "divide": "div",
    "exp": "exp",
    "exp2": "exp2",
    "expm1": "expm1",
    "fabs": "abs",
    "floor": "floor",
    "fmax": "fmax",
    "fmin": "fmin",
    "fmod": "fmod",
    "hypot": "hypot",
    "log": "ln",
    "log10": "log10",
    "log1p": "log1p",
    "log2": "log2",
    "modf": "modf",
    "multiply": "mul",
    "nextafter": "nextafter",
    "power": "pow",
    "reciprocal": "inv",
    "rint": "rint",
    "sin": "sin",
    "sinh": "sinh",
    "sqrt": "sqrt",
    "square": "sqr",
    "subtract": "sub",
    "tan": "tan",
    "tanh": "tanh",
    "trunc": "trunc",
}
INEXACT = frozenset("efdFD")
# vml's precision letters of NumPy's inexact type characters.
_PRECISION = {"e": "e", "f": "s", "d": "d", "F": "c", "D": "z"}


class Equivalent(str):
    """The name of the vml ufunc computing what a NumPy ufunc computes (a ``str``), with
    what ``numpy_uses_mkl()`` does with each of NumPy's loops that vml has too: ``switched``,
    the type signatures it runs on MKL ("dd->d"), and ``kept``, those it leaves as NumPy's
    with the reason (MKL's results or warnings on special values differ)."""

    numpy_name: str
    switched: tuple[str, ...]
    kept: dict[str, str]

    def __new__(cls, vml_name: str, numpy_name: str) -> Equivalent:
        self = super().__new__(cls, vml_name)
        self.numpy_name, self.switched, self.kept = numpy_name, (), {}
        ours = set(getattr(_ufuncs, vml_name).types)
        switched = []
        for signature in dict.fromkeys(getattr(np, numpy_name).types):
            chars = signature.replace("->", "")
            if not set(chars) <= INEXACT or signature not in ours:
                continue
            why = _kept_because(vml_name, _PRECISION[chars[0]])
            if why is None:
                switched.append(signature)
            else:
                self.kept[signature] = why
        self.switched = tuple(switched)
        return self

    def __reduce__(self) -> tuple:
        return Equivalent, (str(self), self.numpy_name)


def _kept_because(vml_name: str, precision: str) -> str | None:
    for (name, precisions), why in NUMPY_KEEPS.items():
        if name == vml_name and precision in precisions:
            return why
    return None


#: NumPy's ufunc name -> the vml ufunc computing the same function (a str), which says per
#: type signature what numpy_uses_mkl() switches and what it keeps as NumPy's, and why.
NUMPY_EQUIVALENTS = {
    numpy_name: Equivalent(vml_name, numpy_name)
    for numpy_name, vml_name in _EQUIVALENT_NAMES.items()
}

_lock = threading.Lock()
# (NumPy ufunc name, type characters) -> [blocks using the switch, NumPy's own loop]
_replaced: dict[tuple[str, str], list] = {}


def signatures(numpy_name: str) -> list[str]:
    """The type signatures ("dd" for d->d) of NumPy's ufunc that numpy_uses_mkl() switches."""
    return [t.replace("->", "") for t in NUMPY_EQUIVALENTS[numpy_name].switched]


class numpy_uses_mkl:
    """Context manager: NumPy's own ufuncs compute with MKL's loops inside the block.

    ``with vml.numpy_uses_mkl(): np.exp(x)`` runs MKL's ``vdExp`` for float64 ``x``, as
    ``vml.exp`` does. Without arguments every NumPy ufunc in ``NUMPY_EQUIVALENTS`` is
    switched, for the dtypes its entry lists as switched (float16 to complex128: all
    that both have, but where MKL differs from NumPy on special values); name NumPy's
    ufuncs (``numpy_uses_mkl("exp", "log")``) to switch only those. Accumulations and
    reductions of exactly rounded operations (np.add, ...) keep NumPy's own loop, whose
    results are MKL's there; the others run on MKL, and np.hypot.reduce, which MKL does
    faster and as accurately. NumPy's loops are restored
    exactly when the last block that switched them ends. Blocks may nest and may run in
    several threads at once; while any is active, the switch holds in every thread.
    """

    def __init__(self, *numpy_names: str) -> None:
        unknown = [name for name in numpy_names if name not in NUMPY_EQUIVALENTS]
        if unknown:
            raise ValueError(
                f"vml has no equivalent of np.{', np.'.join(unknown)}; "
                f"these can be switched: {', '.join(sorted(NUMPY_EQUIVALENTS))}"
            )
        self.names = numpy_names or tuple(NUMPY_EQUIVALENTS)
        self._held: list[list[tuple[str, str]]] = []

    def __enter__(self) -> numpy_uses_mkl:
        held: list[tuple[str, str]] = []
        with _lock:
            try:
                for name in self.names:
                    for chars in signatures(name):
                        _acquire(name, chars)
                        held.append((name, chars))
            except BaseException:
                for key in reversed(held):
                    _release(*key)
                raise
        self._held.append(held)
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        with _lock:
            for key in reversed(self._held.pop()):
                _release(*key)


def _numbers(chars: str) -> tuple[int, ...]:
    return tuple(np.dtype(c).num for c in chars)


def _acquire(name: str, chars: str) -> None:
    entry = _replaced.get((name, chars))
    if entry is None:
        vml_ufunc = getattr(_ufuncs, NUMPY_EQUIVALENTS[name])
        try:
            original = _ufuncs.replace_loop(getattr(np, name), vml_ufunc, _numbers(chars))
        except (TypeError, ValueError) as error:
            raise TypeError(
                f"np.{name}'s loop for {chars[:-1]}->{chars[-1]} cannot be switched to "
                f"vml.{vml_ufunc.__name__}'s: {error}"
            ) from error
        entry = _replaced[(name, chars)] = [0, original]
    entry[0] += 1


def _release(name: str, chars: str) -> None:
    entry = _replaced[(name, chars)]
    entry[0] -= 1
    if entry[0] == 0:
        _ufuncs.restore_loop(getattr(np, name), _numbers(chars), entry[1])
        del _replaced[(name, chars)]
