"""What expressions may call, by name, and the ufunc or engine instruction behind each.

A function is named in programs by a key: ``vml.exp`` (the thread's accuracy) or
``vml.ha.exp`` for vml's ufuncs, ``numpy.add`` for NumPy's own, and the engine's own
instructions by their names (``where``, ``real``, ...). ``power`` is ``**``, which NumPy
dispatches by the types and the exponent.

Expression strings know numexpr's functions under numexpr's names, which are NumPy's
names (or nearly), as NumPy's functions: typed as NumPy types them, and computed by the vml
ufunc ``vml.NUMPY_EQUIVALENTS`` names where it has NumPy's loop for those types, by NumPy's
otherwise (complex ``log1p``). Every other vml ufunc is known under its vml name.
"""

from __future__ import annotations

import functools

import numpy as np

from .. import _vml_operations, vml
from ._instructions import OPS

# numexpr's functions (2.14), by numexpr's names; NumPy's names where they differ.
NUMEXPR_FUNCTIONS = (
    *("sqrt", "sin", "cos", "tan", "arcsin", "arccos", "arctan", "arctan2"),
    *("sinh", "cosh", "tanh", "arcsinh", "arccosh", "arctanh"),
    *("fmod", "hypot", "nextafter", "copysign", "maximum", "minimum"),
    *("log", "log1p", "log10", "log2", "exp", "expm1"),
    *("abs", "ceil", "floor", "round", "trunc", "sign", "conj"),
    *("isnan", "isfinite", "isinf", "signbit"),
)
NUMPY_NAMES = {"abs": "absolute", "conj": "conjugate"}
# Their keys, NumPy's ufuncs: computed by vml where it has NumPy's loop (NumPy's operators are not).
NUMEXPR_KEYS = frozenset(f"numpy.{NUMPY_NAMES.get(n, n)}" for n in NUMEXPR_FUNCTIONS)
# The language's own functions (numexpr has them all), with their numbers of arguments: those
# that are the engine's instructions read what its table says; ones_like makes a constant.
OWN = {name: OPS[name].reads for name in ("where", "real", "imag", "complex", "copy")}
OWN["ones_like"] = OWN["round"] = 1
# Functions of strings, which Python computes with NumPy at each call (the folds).
OWN["contains"] = 2
REDUCTIONS = ("sum", "prod", "min", "max", "any", "all")
ACCURACIES = ("ha", "la", "ep")


@functools.cache
def string_functions() -> dict[str, str]:
    """Each name an expression string may call -> the key of what it computes."""
    names = {name: f"vml.{name}" for name in vml.UFUNCS}
    # numexpr's meaning wins where the names meet: its round is NumPy's, halves to even.
    names.update({n: f"numpy.{NUMPY_NAMES.get(n, n)}" for n in NUMEXPR_FUNCTIONS})
    names.update({name: name for name in OWN})
    return names


def numpy_ufunc_names() -> frozenset[str]:
    return frozenset(n for n, v in vars(np).items() if isinstance(v, np.ufunc) and v.__name__ == n)


@functools.cache
def keys() -> frozenset[str]:
    """Every key a program may name."""
    found = {f"vml.{n}" for n in vml.UFUNCS} | {"power", *OWN}
    found |= {f"result{j}" for j in range(4)}
    found |= {f"vml.{space}.{n}" for space in ACCURACIES for n in vml.UFUNCS}
    found |= {f"numpy.{n}" for n in numpy_ufunc_names()}
    return frozenset(found)


@functools.cache
def ufunc(key: str) -> np.ufunc:
    """The ufunc behind a key: ``vml.exp``, ``vml.ep.exp``, ``numpy.add``."""
    module, _, name = key.rpartition(".")
    if module == "numpy":
        found = getattr(np, name)
    elif module == "vml":
        found = vml.UFUNCS[name]
    else:
        found = getattr(getattr(vml, module.removeprefix("vml.")), name)
    assert isinstance(found, np.ufunc), key
    return found


def key_of(u: np.ufunc) -> str | None:
    """The key of a ufunc object (one of NumPy's or vml's), or None."""
    return _keys_of_ufuncs().get(id(u))


@functools.cache
def _keys_of_ufuncs() -> dict[int, str]:
    found = {id(getattr(np, n)): f"numpy.{n}" for n in numpy_ufunc_names()}
    for name, u in vml.UFUNCS.items():
        found[id(u)] = f"vml.{name}"
        for space in ACCURACIES:
            found[id(getattr(getattr(vml, space), name))] = f"vml.{space}.{name}"
    return found


def with_accuracy(key: str, accuracy: str | None) -> str:
    """A vml key in the thread's accuracy, fixed to ``accuracy`` for one evaluation."""
    if accuracy is None or not key.startswith("vml.") or key.count(".") > 1:
        return key
    return f"vml.{accuracy}.{key[4:]}"


@functools.cache
def by_vml(numpy_key: str, chars: str) -> str:
    """The key that computes NumPy's ufunc on these type characters (its loop's, the
    results' included): its vml equivalent's where that has the same loop, else its own."""
    vml_name = vml.NUMPY_EQUIVALENTS.get(numpy_key.removeprefix("numpy."))
    if vml_name and any(t.replace("->", "") == chars for t in vml.UFUNCS[vml_name].types):
        return f"vml.{vml_name}"
    return numpy_key


@functools.cache
def scalar_operands(key: str) -> frozenset[int]:
    """The operands a loop may take as one value with a step of 0: any of a NumPy loop's
    inputs (its scalar fast paths read one stream fewer), and those MKL takes as one scalar
    per call (powx's exponent), from the records."""
    if key.startswith("numpy."):
        return frozenset(range(ufunc(key).nin))
    if not key.startswith("vml."):
        return frozenset()
    record = _vml_operations.OPERATIONS[key.rpartition(".")[2]]
    return frozenset(i for i, (_, role) in enumerate(record["parameters"]) if role == "scalar")


@functools.cache
def loop_index(u: np.ufunc, chars: str) -> int:
    """The first of the ufunc's loops for these type characters (NumPy's choice as well)."""
    for k, types in enumerate(u.types):
        if types.replace("->", "") == chars:
            return k
    raise TypeError(f"{u.__name__} has no loop for {chars[: u.nin]}->{chars[u.nin :]}")
