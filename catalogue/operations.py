"""The catalogue seen as operations: one record per VML operation, with its precisions.

An operation is what MKL computes under one base name (``Exp``, ``Abs``, ``PackV``),
whatever the precision, interface, stride or count width. Its record carries the
parameters the caller sees (arrays read, scalars, arrays written, with MKL's names),
and for each precision the NumPy dtype of every parameter and the four C-interface
functions behind it: the contiguous form, the strided form and their mode variants.
Everything here follows from the catalogue's C-interface declarations, but for the policy
records: what each operation's loops owe NumPy (identity, errors, reductions, float16,
unreported results, the loops numpy_uses_mkl() leaves as NumPy's).
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Literal

from .declarations import Catalogue, Function, is_read_only, pointee

# NumPy's dtype for each element type.
DTYPES = {
    "float": "float32",
    "double": "float64",
    "MKL_Complex8": "complex64",
    "MKL_Complex16": "complex128",
}
PRECISIONS = "sdcz"  # MKL's half precision (h) is not exported by mkl_rt

# --- How NumPy sees an operation. ----------------------------------------------------------
# One record per operation that departs from the default Policy. The values are the C++'s
# own names: NumPy's identities, and the enums of Contract in ufuncs/mkl_forms.hpp.

Identity = Literal["PyUFunc_None", "PyUFunc_Zero", "PyUFunc_One", "PyUFunc_ReorderableNone"]
Results = Literal["as_mkl", "reversed"]
Errors = Literal["status", "ieee_flags", "ieee_division"]
Reduce = Literal["in_order", "in_blocks", "pairwise_sum", "product_in_order", "selection"]
Select = Literal["none", "larger", "smaller", "larger_magnitude", "smaller_magnitude"]
Half = Literal["through_single", "nextafter"]
Underflow = Literal["kernel", "ieee_division", "libm_pow"]
# What a kernel may leave unreported: NaN (invalid), an infinity at a pole (divide), an
# overflow, an underflow.
UNREPORTED_RESULTS = frozenset({"nan", "pole", "overflow", "underflow"})
# The kernel libraries whose behaviour the records' unreported results record.
CHARACTERIZED_KERNELS = frozenset({"def", "cmpt", "mc3", "avx2", "avx512"})


@dataclass(frozen=True, slots=True)
class Unreported:
    """Results some kernels give without an error status; the loop looks for them itself."""

    results: frozenset[str]  # of UNREPORTED_RESULTS
    kernels: frozenset[str]  # libmkl_vml_<kernel> suffixes that give them; "*" for all
    what: str


def unreported(results: str, kernels: str, what: str) -> Unreported:
    return Unreported(frozenset(results.split()), frozenset(kernels.split()), what)


@dataclass(frozen=True, slots=True)
class Policy:
    """What an operation's loops owe NumPy beyond MKL's function. The defaults: MKL's
    results in MKL's order, errors by MKL's status, reductions element by element."""

    # The result of reducing an empty array; "reorderable" operations have none but may
    # reduce over several axes.
    identity: Identity = "PyUFunc_None"
    # The order of the results: "reversed" where NumPy's function has them so.
    order: Results = "as_mkl"
    # "ieee_flags" for operations MKL computes with IEEE arithmetic alone: the floating-point
    # flags they raise are the operation's own (an overflow, inf - inf), and NumPy reports
    # them as for its own. "ieee_division" for divisions, whose kernels raise a division by
    # zero for 0 / 0 too: there the values tell the invalid operations from the divisions by
    # zero. Every other kernel raises flags on the way that are not the function's (a
    # comparison with a quiet NaN, lanes it throws away), which NumPy would take for errors:
    # for those, MKL's error status counts, read with the values.
    errors: Errors = "status"
    # How a reduction is computed: element by element, or one of the ways the records below
    # explain (in_blocks, pairwise_sum, product_in_order, selection), which need an identity.
    reduce: Reduce = "in_order"
    # The element a selection keeps of two; set exactly where reduce is "selection".
    select: Select = "none"
    # How float16 is computed: through float32, whose result rounded is the float16 one, as
    # in NumPy's own float16 loops; or natively where it is not.
    half: Half = "through_single"
    # How NumPy computes the elements whose underflow the loop decides itself (an
    # "underflow" among the unreported results); else the kernel's report counts.
    underflow: Underflow = "kernel"
    # Whether every result is exactly rounded, by every kernel in every accuracy, as in
    # NumPy's own loops: there NumPy's loop gives MKL's bits, and numpy_uses_mkl() leaves it
    # the accumulations and in-order reductions, which it computes faster. Every other
    # switched loop keeps MKL's results there too, element by element, so that an element's
    # result does not depend on the way NumPy hands it over (MKL's Div on the AVX-512
    # kernels is not IEEE division, nor are Hypot, Pow and Atan2 libm's).
    numpy_same_bits: bool = False
    # precisions -> the results left unreported. The loops look for them right after MKL
    # computed a block, only in these loops and under these kernels (and under any kernel
    # library not characterized); where one is found, the values say NumPy's flag. An
    # underflow is a tiny result that NumPy's own computation of the element (`underflow`)
    # underflows in; where the loop looks for underflows, the kernel's own report of them
    # counts no more.
    unreported: Mapping[str, Unreported] = field(default_factory=dict)
    # precisions ("e" for float16) -> why numpy_uses_mkl() leaves these loops as NumPy's:
    # MKL's results or warnings on special inputs differ from NumPy's. The vml ufuncs keep
    # MKL's values.
    numpy_keeps: Mapping[str, str] = field(default_factory=dict)


DEFAULT_POLICY = Policy()

POLICIES = {
    # Selections reduce exactly in any grouping; their loops make them themselves, as MKL's
    # functions select (a number over a NaN), at the speed of memory.
    "fmax": Policy(
        identity="PyUFunc_ReorderableNone",
        reduce="selection",
        select="larger",
        numpy_same_bits=True,
        numpy_keeps={"esd": "fmax(+0, -0) is -0 in MKL, +0 (the first) in NumPy"},
    ),
    "fmin": Policy(
        identity="PyUFunc_ReorderableNone",
        reduce="selection",
        select="smaller",
        numpy_same_bits=True,
        numpy_keeps={"esd": "fmin(+0, -0) is -0 in MKL, +0 (the first) in NumPy"},
    ),
    "maxmag": Policy(
        identity="PyUFunc_ReorderableNone", reduce="selection", select="larger_magnitude"
    ),
    "minmag": Policy(
        identity="PyUFunc_ReorderableNone", reduce="selection", select="smaller_magnitude"
    ),
    # NumPy's real power is libm's pow (powf for float32), which flags tiny results, exact
    # ones included (pow(2, -1070)).
    "pow": Policy(
        underflow="libm_pow",
        unreported={
            "s": unreported("nan", "avx512", "pow(-1, 0.5) is NaN"),
            "cz": unreported("nan pole overflow", "*", "0j ** 0j is NaN, 1e-300j ** -1 inf"),
            "sd": unreported("underflow", "*", "pow(1e-300, 20) is 0"),
        },
        numpy_keeps={"cz": "0j ** 0j is nan+nanj in MKL, 1+0j in NumPy; other powers of 0j differ"},
    ),
    "powx": Policy(
        unreported={
            "sd": unreported("overflow", "*", "powx(tiny, -1) is inf"),
            "cz": unreported("nan pole overflow", "*", "0j ** 0j is NaN, 1e-300j ** -1 inf"),
        }
    ),
    "powr": Policy(
        unreported={"sd": unreported("nan pole", "*", "powr(0, 0) is NaN, powr(0, -1) inf")}
    ),
    "pow3o2": Policy(unreported={"sd": unreported("overflow", "*", "pow3o2(max) is inf")}),
    # A sum is reduced pairwise in cache-sized blocks through MKL's vector forms, so it has
    # the error of NumPy's pairwise sum. Its rows are added by the loop itself, with the IEEE
    # additions MKL's Add makes, bit for bit: MKL's generic kernels take more than twice
    # NumPy's time for a pass over a row in cache.
    "add": Policy(
        identity="PyUFunc_Zero", errors="ieee_flags", reduce="pairwise_sum", numpy_same_bits=True
    ),
    "sub": Policy(
        errors="ieee_flags",
        numpy_same_bits=True,
        unreported={"z": unreported("nan", "avx512", "(inf+infj) - (inf+infj) is NaN")},
    ),
    # Products are not regrouped: grouped pairwise, partial products of numbers near 1 stay
    # near 1, where rounding is biased, and a long product loses digits a sequential one
    # keeps. A real product keeps NumPy's order, each step the IEEE multiplication MKL's Mul
    # computes, with no call per element; a complex one goes element by element.
    "mul": Policy(
        identity="PyUFunc_One",
        errors="ieee_flags",
        reduce="product_in_order",
        numpy_same_bits=True,
        numpy_keeps={"cz": "infinite times NaN parts: infinite in MKL (C99), NaN in NumPy"},
    ),
    # NumPy's real divide is IEEE division.
    "div": Policy(
        errors="ieee_division",
        underflow="ieee_division",
        unreported={
            "sd": unreported("nan underflow", "avx512", "inf / inf is NaN, 1e-300 / 1e100 is 0"),
            "s": unreported("overflow", "avx512", "1 / 3e-39 is inf"),
            "cz": unreported("pole", "*", "(1+1j) / 0j is inf"),
            "z": unreported("nan", "avx512", "0j / 0j is NaN"),
        },
        numpy_keeps={"cz": "infinite and NaN parts: infinities in MKL (C99), NaN in NumPy"},
    ),
    "inv": Policy(errors="ieee_division"),
    "sqr": Policy(errors="ieee_flags"),
    "mulbyconj": Policy(errors="ieee_flags"),
    "conj": Policy(errors="ieee_flags"),
    # Regrouped as a sum is: any grouping is as accurate as NumPy's order, and under
    # numpy_uses_mkl() much faster than NumPy's reduction.
    "hypot": Policy(
        identity="PyUFunc_Zero",
        reduce="in_blocks",
        unreported={"sd": unreported("overflow", "*", "hypot(max, max) is inf")},
    ),
    "fmod": Policy(numpy_same_bits=True),
    "copysign": Policy(numpy_same_bits=True),
    # nextafter's neighbour in float32, rounded, is the float16 value itself.
    "nextafter": Policy(half="nextafter", numpy_same_bits=True),
    # np.modf gives the fraction first.
    "modf": Policy(order="reversed"),
    "exp": Policy(
        numpy_keeps={"cz": "exp(inf+infj) is inf+nanj in both, with invalid in NumPy only"}
    ),
    "sin": Policy(numpy_keeps={"cz": "signs of infinite and zero parts next to a NaN differ"}),
    "cos": Policy(numpy_keeps={"cz": "signs of zero parts next to a NaN differ"}),
    "tan": Policy(numpy_keeps={"cz": "tan(nan+0j) is nan+nanj in MKL, nan+0j in NumPy"}),
    "sinh": Policy(numpy_keeps={"cz": "signs of infinite parts next to a NaN differ"}),
    "cosh": Policy(
        numpy_keeps={"cz": "cosh(inf+infj) is inf+nanj in both, with invalid in NumPy only"}
    ),
    "tanh": Policy(numpy_keeps={"cz": "tanh(nanj) is nan+nanj in MKL, nanj in NumPy"}),
    "asin": Policy(numpy_keeps={"cz": "signs of infinite parts next to a NaN differ"}),
    "acos": Policy(numpy_keeps={"cz": "signs of infinite parts next to a NaN differ"}),
    "atan": Policy(
        unreported={"cz": unreported("pole", "*", "atan(1j) is infj")},
        numpy_keeps={"cz": "signs of zero parts next to a NaN differ"},
    ),
    "acosh": Policy(numpy_keeps={"cz": "acosh(nanj) is nan+nanj in MKL, nan+pi/2j in NumPy"}),
    "atanh": Policy(unreported={"cz": unreported("pole", "*", "atanh(1+0j) is inf")}),
    "ln": Policy(unreported={"cz": unreported("pole", "*", "ln(0j) is -inf")}),
    "log10": Policy(unreported={"cz": unreported("pole", "*", "log10(0j) is -inf")}),
    "remainder": Policy(unreported={"sd": unreported("nan", "*", "remainder(inf, 1) is NaN")}),
    "linearfrac": Policy(unreported={"sd": unreported("nan", "*", "linearfrac(inf, inf) is NaN")}),
    "erfcx": Policy(unreported={"sd": unreported("overflow", "*", "erfcx(-max) is inf")}),
    "expm1": Policy(unreported={"s": unreported("overflow", "def cmpt mc3", "expm1(100) is inf")}),
    "sinpi": Policy(unreported={"sd": unreported("nan", "*", "sinpi(inf) is NaN")}),
    "cospi": Policy(unreported={"sd": unreported("nan", "*", "cospi(inf) is NaN")}),
    "sincospi": Policy(unreported={"sd": unreported("nan", "*", "sincospi(inf) is NaN")}),
    "tanpi": Policy(unreported={"sd": unreported("nan pole", "*", "tanpi(0.5) is inf")}),
    "y0": Policy(unreported={"sd": unreported("nan pole", "*", "y0(-1) is NaN, y0(0) -inf")}),
    "y1": Policy(unreported={"sd": unreported("nan pole", "*", "y1(-1) is NaN, y1(0) -inf")}),
    "yn": Policy(unreported={"sd": unreported("nan pole", "*", "yn(-1, 2) is NaN")}),
}


def policy(name: str) -> Policy:
    """The record of an operation; DEFAULT_POLICY for one not listed."""
    return POLICIES.get(name, DEFAULT_POLICY)


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

    @property
    def float16(self) -> bool:
        """Whether NumPy's float16 gets a loop: through the float32 variant of an operation
        whose every operand is float32."""
        return any(v.precision == "s" and set(v.dtypes) == {"float32"} for v in self.variants)

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
