"""The catalogue seen as operations: one record per VML operation, with its precisions.

An operation is what MKL computes under one base name (``Exp``, ``Abs``, ``PackV``),
whatever the precision, interface, stride or count width. Its record carries the
parameters the caller sees (arrays read, scalars, arrays written, with MKL's names),
and for each precision the NumPy dtype of every parameter and the four C-interface
functions behind it: the contiguous form, the strided form and their mode variants.
Everything here follows from the catalogue's C-interface declarations.
"""

from __future__ import annotations

from dataclasses import dataclass

from .declarations import Catalogue, Function, is_read_only, pointee

# NumPy's dtype for each element type.
DTYPES = {
    "float": "float32",
    "double": "float64",
    "MKL_Complex8": "complex64",
    "MKL_Complex16": "complex128",
}
PRECISIONS = "sdcz"  # MKL's half precision (h) is not exported by mkl_rt

# How NumPy knows some operations. The identity of those that have one (a reduction of an
# empty array gives it; "reorderable" ones have none but may reduce over several axes).
IDENTITIES = {
    "add": "PyUFunc_Zero",
    "mul": "PyUFunc_One",
    "hypot": "PyUFunc_Zero",
    "fmax": "PyUFunc_ReorderableNone",
    "fmin": "PyUFunc_ReorderableNone",
    "maxmag": "PyUFunc_ReorderableNone",
    "minmag": "PyUFunc_ReorderableNone",
}
# Operations whose results NumPy orders otherwise than MKL: np.modf gives the fraction first.
NUMPY_ORDER_OF_RESULTS = {"modf": "reversed"}
# Operations MKL computes with IEEE arithmetic alone: the floating-point flags they raise are
# the operation's own (an overflow, inf - inf), and NumPy reports them as for its own. MKL
# sets no error status for them, but for a division by zero in div and inv. Every other
# kernel raises flags on the way that are not the function's (a comparison with a quiet
# NaN, lanes it throws away), which NumPy would take for errors: for those, MKL's error
# status alone counts.
IEEE_ARITHMETIC = frozenset({"add", "sub", "mul", "sqr", "mulbyconj", "conj"})
IEEE_ARITHMETIC_WITH_STATUS = frozenset({"div", "inv"})


@dataclass(frozen=True)
class Parameter:
    name: str  # as MKL's header names it
    role: str  # "in" (an array MKL reads), "scalar", "out", "stride" or "select"


@dataclass(frozen=True)
class Variant:
    """One precision of an operation."""

    precision: str
    dtypes: tuple[str, ...]  # per parameter; "int32" for strides and selectors
    function: str  # the contiguous C-interface form, e.g. "vdExp"
    strided: str | None  # "vdExpI", with an increment after each array
    mode: str | None  # "vmdExp", with a trailing accuracy mode
    mode_strided: str | None  # "vmdExpI"


@dataclass(frozen=True)
class Operation:
    name: str  # MKL's base name in lower case: "exp", "cdfnorminv", "packv"
    base: str  # "Exp"
    parameters: tuple[Parameter, ...]
    variants: tuple[Variant, ...]

    @property
    def elementwise(self) -> bool:
        return all(p.role in ("in", "scalar", "out") for p in self.parameters)

    def names(self, role: str) -> tuple[str, ...]:
        return tuple(p.name for p in self.parameters if p.role == role)


def _role(ctype: str) -> str:
    if ctype in ("int", "long long"):
        return "stride"
    if ctype.endswith(" *"):
        if pointee(ctype) in ("int", "long long"):
            return "select"
        return "in" if is_read_only(ctype) else "out"
    return "scalar"


def _dtype(ctype: str) -> str:
    element = pointee(ctype)
    return "int32" if element == "int" else DTYPES[element]


def operations(catalogue: Catalogue) -> list[Operation]:
    """Every operation with a C-interface form in one of the exported precisions, by name."""
    by_name = {f.name: f for f in catalogue.functions}
    contiguous: dict[str, list[Function]] = {}
    for f in catalogue.functions:
        if f.fortran or f.mode_variant or f.family == "service" or f.name.endswith("_64"):
            continue
        if f.precision not in PRECISIONS:
            continue
        # The strided form of B is BI; a base that ends in I and has no B is its own (PackI).
        if f.base.endswith("I") and f"v{f.precision}{f.base[:-1]}" in by_name:
            continue
        contiguous.setdefault(f.base, []).append(f)

    found = []
    for base, functions in sorted(contiguous.items(), key=lambda item: item[0].lower()):
        functions.sort(key=lambda f: PRECISIONS.index(f.precision))
        first = functions[0]
        parameters = tuple(
            Parameter(name, _role(ctype))
            for name, ctype in zip(first.param_names[1:], first.params[1:], strict=True)
        )
        variants = []
        for f in functions:
            roles = tuple(_role(ctype) for ctype in f.params[1:])
            assert roles == tuple(p.role for p in parameters), f"{f.name} differs from {first.name}"

            def existing(name: str) -> str | None:
                return name if name in by_name else None

            variants.append(
                Variant(
                    precision=f.precision,
                    dtypes=tuple(_dtype(ctype) for ctype in f.params[1:]),
                    function=f.name,
                    strided=existing(f"{f.name}I"),
                    mode=existing(f"vm{f.name[1:]}"),
                    mode_strided=existing(f"vm{f.name[1:]}I"),
                )
            )
        found.append(Operation(base.lower(), base, parameters, tuple(variants)))
    names = [op.name for op in found]
    assert len(set(names)) == len(names), "two operations share a lower-case name"
    return found
