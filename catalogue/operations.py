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
# the operation's own (an overflow, inf - inf), and NumPy reports them as for its own. The
# divisions' kernels raise a division by zero for 0 / 0 too, so there the values tell the
# invalid operations from the divisions by zero. Every other kernel raises flags on the way
# that are not the function's (a comparison with a quiet NaN, lanes it throws away), which
# NumPy would take for errors: for those, MKL's error status counts, read with the values.
IEEE_ARITHMETIC = frozenset({"add", "sub", "mul", "sqr", "mulbyconj", "conj"})
IEEE_DIVISION = frozenset({"div", "inv"})

# Reductions that may be regrouped: computed pairwise in cache-sized blocks through MKL's
# vector forms (a sum so has the error of NumPy's pairwise sum; for the others any grouping
# is as accurate as NumPy's order, and under numpy_uses_mkl() much faster than NumPy's
# reduction). Every other operation reduces element by element.
REDUCED_IN_BLOCKS = frozenset({"add", "hypot"})
# A sum's rows are added by the loop itself, with the IEEE additions MKL's Add makes, bit for
# bit: MKL's generic kernels take more than twice NumPy's time for a pass over a row in cache.
SUMMED_BY_THE_LOOP = frozenset({"add"})
# Selections reduce exactly in any grouping; their loops make them themselves, as MKL's
# functions select (a number over a NaN), at the speed of memory.
SELECTIONS = {
    "fmax": "larger",
    "fmin": "smaller",
    "maxmag": "larger_magnitude",
    "minmag": "smaller_magnitude",
}
# Products are not: grouped pairwise, partial products of numbers near 1 stay near 1, where
# rounding is biased, and a long product loses digits a sequential one keeps. A real product
# keeps NumPy's order, each step the IEEE multiplication MKL's Mul computes, with no call
# per element; a complex one goes element by element.
PRODUCTS_IN_ORDER = frozenset({"mul"})

# Operations whose every result is exactly rounded, by every kernel in every accuracy, as in
# NumPy's own loops: there NumPy's loop gives MKL's bits, and numpy_uses_mkl() leaves it the
# accumulations and in-order reductions, which it computes faster. Every other switched loop
# keeps MKL's results there too, element by element, so that an element's result does not
# depend on the way NumPy hands it over (MKL's Div on the AVX-512 kernels is not IEEE
# division, nor are Hypot, Pow and Atan2 libm's).
SAME_BITS_AS_NUMPY = frozenset(
    {"add", "sub", "mul", "fmod", "copysign", "nextafter", "fmax", "fmin"}
)

# float16 loops computed in float16 itself: nextafter's neighbour in float32, rounded, is
# the float16 value itself. Every other float16 loop goes through float32, whose result
# rounded is the float16 one, as in NumPy's own float16 loops.
NATIVE_FLOAT16 = frozenset({"nextafter"})


@dataclass(frozen=True)
class Unreported:
    """Results some kernels give without an error status; the loop looks for them itself."""

    results: frozenset[str]  # "nan" (invalid), "pole" (divide), "overflow", "underflow"
    kernels: frozenset[str]  # libmkl_vml_<kernel> suffixes that give them; "*" for all
    what: str


def unreported(results: str, kernels: str, what: str) -> Unreported:
    return Unreported(frozenset(results.split()), frozenset(kernels.split()), what)


# (operation, precisions) -> the results left unreported. The loops look for them right
# after MKL computed a block, only in these loops and under these kernels (and under any
# kernel library not characterized below); where one is found, the values say NumPy's flag.
# An underflow is a tiny result that NumPy's own computation of the element (UNDERFLOW_AS)
# underflows in; where the loop looks for underflows, the kernel's own report of them counts
# no more.
UNREPORTED = {
    ("pow", "s"): unreported("nan", "avx512", "pow(-1, 0.5) is NaN"),
    ("pow", "cz"): unreported("nan pole overflow", "*", "0j ** 0j is NaN, 1e-300j ** -1 inf"),
    ("powx", "sd"): unreported("overflow", "*", "powx(tiny, -1) is inf"),
    ("powx", "cz"): unreported("nan pole overflow", "*", "0j ** 0j is NaN, 1e-300j ** -1 inf"),
    ("powr", "sd"): unreported("nan pole", "*", "powr(0, 0) is NaN, powr(0, -1) inf"),
    ("pow3o2", "sd"): unreported("overflow", "*", "pow3o2(max) is inf"),
    ("hypot", "sd"): unreported("overflow", "*", "hypot(max, max) is inf"),
    ("remainder", "sd"): unreported("nan", "*", "remainder(inf, 1) is NaN"),
    ("linearfrac", "sd"): unreported("nan", "*", "linearfrac(inf, inf) is NaN"),
    ("erfcx", "sd"): unreported("overflow", "*", "erfcx(-max) is inf"),
    ("expm1", "s"): unreported("overflow", "def cmpt mc3", "expm1(100) is inf"),
    ("sinpi", "sd"): unreported("nan", "*", "sinpi(inf) is NaN"),
    ("cospi", "sd"): unreported("nan", "*", "cospi(inf) is NaN"),
    ("sincospi", "sd"): unreported("nan", "*", "sincospi(inf) is NaN"),
    ("tanpi", "sd"): unreported("nan pole", "*", "tanpi(0.5) is inf"),
    ("y0", "sd"): unreported("nan pole", "*", "y0(-1) is NaN, y0(0) -inf"),
    ("y1", "sd"): unreported("nan pole", "*", "y1(-1) is NaN, y1(0) -inf"),
    ("yn", "sd"): unreported("nan pole", "*", "yn(-1, 2) is NaN"),
    ("atanh", "cz"): unreported("pole", "*", "atanh(1+0j) is inf"),
    ("atan", "cz"): unreported("pole", "*", "atan(1j) is infj"),
    ("ln", "cz"): unreported("pole", "*", "ln(0j) is -inf"),
    ("log10", "cz"): unreported("pole", "*", "log10(0j) is -inf"),
    ("div", "sd"): unreported("nan underflow", "avx512", "inf / inf is NaN, 1e-300 / 1e100 is 0"),
    ("div", "s"): unreported("overflow", "avx512", "1 / 3e-39 is inf"),
    ("sub", "z"): unreported("nan", "avx512", "(inf+infj) - (inf+infj) is NaN"),
    ("div", "cz"): unreported("pole", "*", "(1+1j) / 0j is inf"),
    ("div", "z"): unreported("nan", "avx512", "0j / 0j is NaN"),
    ("pow", "sd"): unreported("underflow", "*", "pow(1e-300, 20) is 0"),
}
# How NumPy computes the elements whose underflow a loop decides itself: its real divide is
# IEEE division, its real power libm's pow (powf for float32), which flags tiny results,
# exact ones included (pow(2, -1070)).
UNDERFLOW_AS = {"div": "ieee_division", "pow": "libm_pow"}
# The kernel libraries whose behaviour these tables record.
CHARACTERIZED_KERNELS = frozenset({"def", "cmpt", "mc3", "avx2", "avx512"})

# Loops numpy_uses_mkl() leaves as NumPy's: MKL's results or warnings on special inputs
# differ from NumPy's. (operation, precisions, "e" for float16) -> why. The vml ufuncs keep
# MKL's values.
NUMPY_KEEPS = {
    ("fmax", "esd"): "fmax(+0, -0) is -0 in MKL, +0 (the first) in NumPy",
    ("fmin", "esd"): "fmin(+0, -0) is -0 in MKL, +0 (the first) in NumPy",
    ("pow", "cz"): "0j ** 0j is nan+nanj in MKL, 1+0j in NumPy; other powers of 0j differ",
    ("mul", "cz"): "infinite times NaN parts: infinite in MKL (C99), NaN in NumPy",
    ("div", "cz"): "infinite and NaN parts: infinities in MKL (C99), NaN in NumPy",
    ("exp", "cz"): "exp(inf+infj) is inf+nanj in both, with invalid in NumPy only",
    ("sin", "cz"): "signs of infinite and zero parts next to a NaN differ",
    ("cos", "cz"): "signs of zero parts next to a NaN differ",
    ("tan", "cz"): "tan(nan+0j) is nan+nanj in MKL, nan+0j in NumPy",
    ("sinh", "cz"): "signs of infinite parts next to a NaN differ",
    ("cosh", "cz"): "cosh(inf+infj) is inf+nanj in both, with invalid in NumPy only",
    ("tanh", "cz"): "tanh(nanj) is nan+nanj in MKL, nanj in NumPy",
    ("asin", "cz"): "signs of infinite parts next to a NaN differ",
    ("acos", "cz"): "signs of infinite parts next to a NaN differ",
    ("atan", "cz"): "signs of zero parts next to a NaN differ",
    ("acosh", "cz"): "acosh(nanj) is nan+nanj in MKL, nan+pi/2j in NumPy",
}


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
