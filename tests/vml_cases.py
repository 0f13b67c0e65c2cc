"""How to call every function of the catalogue: argument builders per family and name form,
input domains and NumPy/SciPy references, and MKL's documented constants."""

from __future__ import annotations

import functools
import importlib.util
import itertools
import math
import re
import zlib
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pytest

from catalogue import vml

ROOT = Path(__file__).resolve().parent.parent

ELEMENT_DTYPE = {"s": np.float32, "d": np.float64, "c": np.complex64, "z": np.complex128}
REAL_DTYPE = {"s": np.float32, "d": np.float64, "c": np.float32, "z": np.float64}
REAL_CTYPE = {"s": "float", "d": "double", "c": "float", "z": "double"}
# References are computed one step wider than the precision under test.
WIDE_DTYPE = {"s": np.float64, "d": np.longdouble, "c": np.complex128, "z": np.clongdouble}

# The elementwise, pack and unpack functions: all but the service functions.
CALLABLE_WITH_ARRAYS = [f for f in vml.functions() if f.family != "service"]


# --- MKL's documented constants, read from its own header. --------------------------------


def _locate_header(name: str) -> Path | None:
    module_spec = importlib.util.spec_from_file_location(
        "locate_dependencies", ROOT / "cmake" / "locate_dependencies.py"
    )
    locate = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(locate)
    pattern = re.escape(name)
    found = (
        locate.owned_file("mkl-include", pattern)
        or locate.owned_file("mkl-devel", pattern)
        or locate.prefix_file("include", name)
    )
    return Path(found) if found else None


@functools.cache
def constants() -> dict[str, int]:
    """The integer #defines of mkl_vml_defines.h (VML_HA, VML_STATUS_SING, ...)."""
    header = _locate_header("mkl_vml_defines.h")
    if header is None:
        pytest.fail("MKL's header mkl_vml_defines.h is missing: pip install mkl-include")
    values = {}
    define = re.compile(r"^#define\s+(VML_\w+)\s+(-?(?:0x[0-9A-Fa-f]+|\d+))\s*$", re.M)
    for name, literal in define.findall(header.read_text()):
        values[name] = int(literal, 0)
    return values


def mode(name: str) -> int:
    """An accuracy mode by its short name: "HA", "LA" or "EP"."""
    return constants()[f"VML_{name}"]


def status(name: str) -> int:
    """An error status by its short name: "ERRDOM", "SING", "OVERFLOW", ..."""
    return constants()[f"VML_STATUS_{name}"]


# --- The catalogue seen as operations: one operation, several name forms. -----------------


def roles(fn: vml.Function) -> tuple[str, ...]:
    """The role of each parameter: count, in, out, scalar, real_in, real_out, stride, select or
    mode."""
    parameters = vml.PACK_BASES[fn.base] if fn.family == "pack" else vml.FAMILIES[fn.family]
    if fn.mode_variant:
        parameters += (vml.MODE_PARAMETER,)
    result = tuple(parameter.split()[0] for parameter in parameters)  # "in a" -> "in"
    assert len(result) == len(fn.params), fn
    return result


def operations() -> dict[tuple[str, str], list[vml.Function]]:
    """Every (base, precision) with its name forms, C interface first."""
    grouped: dict[tuple[str, str], list[vml.Function]] = {}
    for fn in CALLABLE_WITH_ARRAYS:
        grouped.setdefault((fn.base, fn.precision), []).append(fn)
    for forms in grouped.values():
        forms.sort(key=lambda f: (f.mode_variant, f.fortran, f.name.isupper()))
    return grouped


# --- Input domains and references. ----------------------------------------------------------

Domain = Callable[[np.random.Generator, int], np.ndarray]


def uniform(lo: float, hi: float) -> Domain:
    return lambda rng, n: rng.uniform(lo, hi, n)


def signed(lo: float, hi: float) -> Domain:
    """Magnitudes in [lo, hi] with random signs: keeps away from zero."""
    return lambda rng, n: rng.uniform(lo, hi, n) * rng.choice([-1.0, 1.0], n)


def with_halves(lo: float, hi: float) -> Domain:
    """Uniform values, a quarter of them exactly halfway between integers."""

    def draw(rng, n):
        x = rng.uniform(lo, hi, n)
        x[::4] = np.floor(x[::4]) + 0.5
        return x

    return draw


def box(re_lo: float, re_hi: float, im_lo: float, im_hi: float) -> Domain:
    return lambda rng, n: rng.uniform(re_lo, re_hi, n) + 1j * rng.uniform(im_lo, im_hi, n)


def _round_half_away(x):
    t = np.trunc(x)
    return np.where(np.abs(x - t) >= 0.5, t + np.sign(x), t)


def _special(name: str):
    """A SciPy special function, computed in double precision whatever the input width.
    SciPy is imported on first use: the scratch-buffer tests run under valgrind without it."""

    def function(*args):
        from scipy import special

        return getattr(special, name)(*(np.asarray(a, np.float64) for a in args))

    return function


# Bases whose reference is SciPy's, in double precision only; on the domains below SciPy is
# within a few ulps of mpmath (its tails, e.g. erfc(9), are not, so they are left out).
SCIPY_REFERENCED = {"CdfNorm", "CdfNormInv", "Erf", "ErfInv", "Erfc", "ErfcInv", "LGamma", "TGamma"}


@dataclass(frozen=True)
class Reference:
    """How to draw an operation's inputs and what it must compute from them."""

    domains: tuple[Domain, ...]  # one per array MKL reads
    function: Callable  # (inputs in the wide dtype, *scalars) -> result, or a tuple of results
    scalars: tuple = ()  # the exponent of Powx, the four coefficients of LinearFrac


def one(domain: Domain, function: Callable) -> Reference:
    return Reference((domain,), function)


def two(first: Domain, second: Domain, function: Callable) -> Reference:
    return Reference((first, second), function)


# The scalars of Powx and LinearFrac (scalea, shifta, scaleb, shiftb).
POWX_REAL_EXPONENT = -1.75
POWX_COMPLEX_EXPONENT = 0.5 - 0.75j
LINEAR_FRAC = (1.5, -0.25, 0.75, 2.0)

# Precisions s and d.
REAL: dict[str, Reference] = {
    "Abs": one(uniform(-10, 10), np.abs),
    "Acos": one(uniform(-1, 1), np.arccos),
    "Acosh": one(uniform(1, 50), np.arccosh),
    "Asin": one(uniform(-1, 1), np.arcsin),
    "Asinh": one(uniform(-50, 50), np.arcsinh),
    "Atan": one(uniform(-50, 50), np.arctan),
    "Atanh": one(uniform(-0.99, 0.99), np.arctanh),
    "Cbrt": one(uniform(-100, 100), np.cbrt),
    "CdfNorm": one(uniform(-3, 8), _special("ndtr")),
    "CdfNormInv": one(uniform(0.001, 0.999), _special("ndtri")),
    "Ceil": one(with_halves(-10, 10), np.ceil),
    "Cos": one(uniform(-10, 10), np.cos),
    "Cosh": one(uniform(-10, 10), np.cosh),
    "Erf": one(uniform(-3, 3), _special("erf")),
    "ErfInv": one(uniform(-0.99, 0.99), _special("erfinv")),
    "Erfc": one(uniform(-3, 4), _special("erfc")),
    "ErfcInv": one(uniform(0.01, 1.99), _special("erfcinv")),
    "Exp": one(uniform(-20, 20), np.exp),
    "Expm1": one(uniform(-5, 5), np.expm1),
    "Floor": one(with_halves(-10, 10), np.floor),
    "Frac": one(uniform(-10, 10), lambda x: np.modf(x)[0]),
    "Inv": one(signed(0.1, 10), lambda x: 1 / x),
    "InvCbrt": one(signed(0.1, 100), lambda x: 1 / np.cbrt(x)),
    "InvSqrt": one(uniform(0.01, 100), lambda x: 1 / np.sqrt(x)),
    "LGamma": one(uniform(2.5, 30), _special("gammaln")),
    "Ln": one(uniform(0.01, 100), np.log),
    "Log10": one(uniform(0.01, 100), np.log10),
    "Log1p": one(uniform(-0.9, 10), np.log1p),
    "NearbyInt": one(with_halves(-10, 10), np.rint),
    "Pow2o3": one(uniform(-100, 100), lambda x: np.cbrt(x) ** 2),
    "Pow3o2": one(uniform(0, 100), lambda x: np.sqrt(x) ** 3),  # sqrt keeps -0, NaNs -inf
    "Rint": one(with_halves(-10, 10), np.rint),
    "Round": one(with_halves(-10, 10), _round_half_away),
    "Sin": one(uniform(-10, 10), np.sin),
    "Sinh": one(uniform(-10, 10), np.sinh),
    "Sqr": one(uniform(-100, 100), np.square),
    "Sqrt": one(uniform(0, 100), np.sqrt),
    "TGamma": one(uniform(0.1, 10), _special("gamma")),
    "Tan": one(uniform(-1.5, 1.5), np.tan),
    "Tanh": one(uniform(-10, 10), np.tanh),
    "Trunc": one(with_halves(-10, 10), np.trunc),
    "Add": two(uniform(-100, 100), uniform(-100, 100), np.add),
    "Atan2": two(uniform(-10, 10), uniform(-10, 10), np.arctan2),
    "Div": two(uniform(-100, 100), signed(0.1, 100), np.divide),
    "Hypot": two(uniform(-100, 100), uniform(-100, 100), np.hypot),
    "Mul": two(uniform(-100, 100), uniform(-100, 100), np.multiply),
    "Pow": two(uniform(0.1, 10), uniform(-5, 5), np.power),
    "Sub": two(uniform(-100, 100), uniform(-100, 100), np.subtract),
    "Modf": one(uniform(-100, 100), lambda x: np.modf(x)[::-1]),  # (integral, fractional)
    "SinCos": one(uniform(-10, 10), lambda x: (np.sin(x), np.cos(x))),
    "Powx": Reference((uniform(0.1, 10),), np.power, (POWX_REAL_EXPONENT,)),
    "LinearFrac": Reference(
        (uniform(-10, 10), uniform(0.5, 10)),
        lambda a, b, sa, ha, sb, hb: (sa * a + ha) / (sb * b + hb),
        LINEAR_FRAC,
    ),
}

# Precisions c and z; CIS reads real numbers, Abs and Arg write them.
COMPLEX: dict[str, Reference] = {
    "Acos": one(box(-2, 2, -2, 2), np.arccos),
    "Acosh": one(box(-2, 2, -2, 2), np.arccosh),
    "Asin": one(box(-2, 2, -2, 2), np.arcsin),
    "Asinh": one(box(-2, 2, -2, 2), np.arcsinh),
    "Atan": one(box(-2, 2, -2, 2), np.arctan),
    "Atanh": one(box(-2, 2, -2, 2), np.arctanh),
    "Conj": one(box(-10, 10, -10, 10), np.conj),
    "Cos": one(box(-3, 3, -3, 3), np.cos),
    "Cosh": one(box(-3, 3, -3, 3), np.cosh),
    "Exp": one(box(-5, 5, -5, 5), np.exp),
    "Ln": one(box(0.1, 10, -10, 10), np.log),
    "Log10": one(box(0.1, 10, -10, 10), np.log10),
    "Sin": one(box(-3, 3, -3, 3), np.sin),
    "Sinh": one(box(-3, 3, -3, 3), np.sinh),
    "Sqrt": one(box(-10, 10, -10, 10), np.sqrt),
    "Tan": one(box(-1.2, 1.2, -2, 2), np.tan),
    "Tanh": one(box(-2, 2, -1.2, 1.2), np.tanh),
    "Add": two(box(-10, 10, -10, 10), box(-10, 10, -10, 10), np.add),
    "Div": two(box(-10, 10, -10, 10), box(0.5, 5, -5, 5), np.divide),
    "Mul": two(box(-10, 10, -10, 10), box(-10, 10, -10, 10), np.multiply),
    "MulByConj": two(box(-10, 10, -10, 10), box(-10, 10, -10, 10), lambda a, b: a * np.conj(b)),
    "Pow": two(box(0.5, 3, -3, 3), box(-2, 2, -2, 2), lambda a, b: np.exp(b * np.log(a))),
    "Sub": two(box(-10, 10, -10, 10), box(-10, 10, -10, 10), np.subtract),
    "Abs": one(box(-10, 10, -10, 10), np.abs),
    "Arg": one(box(-10, 10, -10, 10), np.angle),
    "CIS": one(uniform(-10, 10), lambda x: np.cos(x) + 1j * np.sin(x)),
    "Powx": Reference(
        (box(0.5, 3, -3, 3),), lambda a, s: np.exp(s * np.log(a)), (POWX_COMPLEX_EXPONENT,)
    ),
}


# Operations that mkl_rt exports beyond lorimath's catalogue, in s and d (quorvex.mkl.full and
# the NumPy layer). Bessel functions are drawn short of their first zero, where a relative
# error means nothing; the order of Jn and Yn is the scalar after the array.
PI = np.longdouble("3.141592653589793238462643383279502884")
BESSEL_ORDER = 2.0


def _ieee_remainder(a, b):
    return np.array([math.remainder(x, y) for x, y in zip(a.tolist(), b.tolist(), strict=True)])


def _larger_magnitude(a, b):
    return np.where(np.abs(a) >= np.abs(b), a, b)


def _smaller_magnitude(a, b):
    return np.where(np.abs(a) <= np.abs(b), a, b)


FULL_ONLY: dict[str, Reference] = {
    "Acospi": one(uniform(-1, 1), lambda x: np.arccos(x) / PI),
    "Asinpi": one(uniform(-1, 1), lambda x: np.arcsin(x) / PI),
    "Atanpi": one(uniform(-50, 50), lambda x: np.arctan(x) / PI),
    "Atan2pi": two(uniform(-10, 10), uniform(-10, 10), lambda a, b: np.arctan2(a, b) / PI),
    "CopySign": two(uniform(-10, 10), uniform(-10, 10), np.copysign),
    "Cosd": one(uniform(-720, 720), _special("cosdg")),
    "Cospi": one(uniform(-2, 2), lambda x: np.cos(PI * x)),
    "Erfcx": one(uniform(-2, 20), _special("erfcx")),
    "Exp10": one(uniform(-20, 20), lambda x: np.power(np.longdouble(10), x)),
    "Exp2": one(uniform(-50, 50), np.exp2),
    "ExpInt1": one(uniform(0.1, 10), _special("exp1")),
    "Fdim": two(uniform(-10, 10), uniform(-10, 10), lambda a, b: np.fmax(a - b, 0)),
    "Fmax": two(uniform(-10, 10), uniform(-10, 10), np.fmax),
    "Fmin": two(uniform(-10, 10), uniform(-10, 10), np.fmin),
    "Fmod": two(uniform(-10, 10), signed(0.5, 3), np.fmod),
    "I0": one(uniform(-5, 5), _special("i0")),
    "I1": one(signed(0.1, 5), _special("i1")),
    "J0": one(uniform(-2.3, 2.3), _special("j0")),
    "J1": one(signed(0.1, 3.7), _special("j1")),
    "Jn": Reference((uniform(0.5, 5),), lambda a, n: _special("jv")(n, a), (BESSEL_ORDER,)),
    "Yn": Reference((uniform(0.5, 3.3),), lambda a, n: _special("yv")(n, a), (BESSEL_ORDER,)),
    "Log2": one(uniform(0.01, 100), np.log2),
    "Logb": one(signed(0.001, 1000), lambda x: np.frexp(np.float64(x))[1] - 1.0),
    "MaxMag": two(uniform(-10, 10), uniform(-10, 10), _larger_magnitude),
    "MinMag": two(uniform(-10, 10), uniform(-10, 10), _smaller_magnitude),
    "NextAfter": two(uniform(-10, 10), uniform(-10, 10), np.nextafter),  # in the precision itself
    "Powr": two(uniform(0.1, 10), uniform(-5, 5), np.power),
    "Remainder": two(uniform(-10, 10), signed(0.5, 3), _ieee_remainder),
    "SinCospi": one(uniform(-2, 2), lambda x: (np.sin(PI * x), np.cos(PI * x))),
    "Sind": one(uniform(-720, 720), _special("sindg")),
    "Sinpi": one(uniform(-2, 2), lambda x: np.sin(PI * x)),
    "Tand": one(uniform(-80, 80), _special("tandg")),
    "Tanpi": one(uniform(-0.4, 0.4), lambda x: np.tan(PI * x)),
    "Y0": one(uniform(0.1, 0.85), _special("y0")),
    "Y1": one(uniform(0.1, 2.1), _special("y1")),
}
# Where MKL's high-accuracy results stray further than its documented 1 ulp, on every kernel:
# (base, precision) -> the relative error allowed, in eps. vsJn loses up to 16 bits near
# x = 1, whatever the kernel (its double-precision twin is within 1 ulp).
BEYOND_DOCUMENTED = {("Jn", "s"): 1e5, ("Yn", "s"): 8.0}
SCIPY_REFERENCED |= {"Cosd", "Erfcx", "ExpInt1", "I0", "I1", "J0", "J1", "Jn", "Sind", "Tand"}
SCIPY_REFERENCED |= {"Y0", "Y1", "Yn"}


def family_of(base: str, precision: str) -> str:
    return _FAMILIES[base, precision]


_FAMILIES = {(f.base, f.precision): f.family for f in CALLABLE_WITH_ARRAYS}


# --- IEEE special values. ------------------------------------------------------------------


def specials(dtype) -> np.ndarray:
    info = np.finfo(dtype)
    values = [np.nan, np.inf, -np.inf, 0.0, -0.0, info.smallest_subnormal]
    values += [-info.smallest_subnormal, info.tiny / 4, info.tiny, 1.0, -1.0, 0.5, -0.5, 2.5]
    values += [-2.5, info.max, -info.max]
    return np.array(values, dtype)


def special_pairs(dtype) -> list[np.ndarray]:
    """Every pair of a smaller set of special values, as two arrays."""
    values = [np.nan, np.inf, -np.inf, 0.0, -0.0, 1.0, -1.0, 2.5, np.finfo(dtype).tiny / 4]
    pairs = list(itertools.product(values, repeat=2))
    return [np.array([a for a, _ in pairs], dtype), np.array([b for _, b in pairs], dtype)]


def complex_specials(dtype) -> np.ndarray:
    parts = [np.nan, np.inf, -np.inf, 0.0, -0.0, 1.0, -1.0, np.finfo(dtype).tiny / 4]
    return np.array([complex(a, b) for a, b in itertools.product(parts, parts)]).astype(dtype)


# --- One operation's data: inputs, scalars, initial outputs and expected results. ---------


@dataclass
class OperationData:
    n: int
    inputs: list[np.ndarray]  # one per "in"/"real_in" role, in order
    scalars: list  # one per "scalar" role: float or complex
    selector: int | np.ndarray | None  # stride, index array or mask array of pack/unpack
    initial_outputs: list[np.ndarray]  # what each written array holds before the call
    expected: list[np.ndarray]  # per written array, in the wide dtype (exact for packs)
    exact: bool = False  # results must match bit for bit


def _wide(x: np.ndarray, precision: str) -> np.ndarray:
    wide = WIDE_DTYPE[precision]
    if not np.iscomplexobj(x) and np.issubdtype(wide, np.complexfloating):
        wide = np.float64 if wide is np.complex128 else np.longdouble
    return x.astype(wide)


@functools.cache
def operation_data(base: str, precision: str, n: int = 64, seed: int = 2024) -> OperationData:
    """Deterministic inputs and references for one operation, shared by all its name forms."""
    rng = np.random.default_rng([seed, zlib.crc32(base.encode()), ord(precision)])
    if base in vml.PACK_BASES:
        return _pack_data(base, precision, rng)
    reference = (COMPLEX if precision in "cz" else REAL)[base]
    family = family_of(base, precision)
    input_dtype = REAL_DTYPE if family == "real_to_complex" else ELEMENT_DTYPE
    inputs = [domain(rng, n).astype(input_dtype[precision]) for domain in reference.domains]
    expected = reference.function(*(_wide(a, precision) for a in inputs), *reference.scalars)
    expected = list(expected) if isinstance(expected, tuple) else [expected]
    output_dtype = REAL_DTYPE if family == "complex_to_real" else ELEMENT_DTYPE
    outputs = [np.full(n, np.nan, output_dtype[precision]) for _ in expected]
    return OperationData(n, inputs, list(reference.scalars), None, outputs, expected)


def _pack_data(base: str, precision: str, rng) -> OperationData:
    """Pack and unpack against NumPy indexing; unselected destination elements keep a sentinel."""
    elem = ELEMENT_DTYPE[precision]
    size, n, stride = 40, 9, 4

    def values(count):
        v = rng.uniform(-100, 100, count)
        return (v + 1j * rng.uniform(-100, 100, count) if precision in "cz" else v).astype(elem)

    destination = np.full(size, -7, elem)
    expected = destination.copy()
    if base == "PackI":
        source, selector = values(size), stride
        expected[:n] = source[::stride][:n]
    elif base == "PackV":
        source, selector = values(size), rng.permutation(size)[:n].astype(np.intc)
        expected[:n] = source[selector]
    elif base == "PackM":
        n = size
        source, selector = values(size), rng.integers(-2, 3, size).astype(np.intc)
        picked = source[selector != 0]
        expected[: picked.size] = picked
    elif base == "UnpackI":
        source, selector = values(n), stride
        expected[::stride][:n] = source
    elif base == "UnpackV":
        source, selector = values(n), rng.permutation(size)[:n].astype(np.intc)
        expected[selector] = source
    else:  # UnpackM
        n = size
        selector = rng.integers(-2, 3, size).astype(np.intc)
        source = values(int(np.count_nonzero(selector)))
        expected[selector != 0] = source
    return OperationData(n, [source], [], selector, [destination], [expected], exact=True)


# --- Arguments for one name form. -----------------------------------------------------------


def ctype_of(array: np.ndarray, precision: str) -> str:
    if array.dtype == np.intc:
        return "int"
    if np.iscomplexobj(array):
        return vml.ELEMENT_TYPE[precision]
    return REAL_CTYPE[precision]


def as_list(array: np.ndarray) -> list:
    """A sequence the backend converts into a scratch buffer; complex items as [re, im]."""
    if np.iscomplexobj(array):
        return [[float(z.real), float(z.imag)] for z in array]
    return array.tolist()


@dataclass
class Call:
    fn: vml.Function
    args: tuple
    outputs: list[np.ndarray]  # the arrays MKL writes, in parameter order

    def __call__(self, lib):
        return getattr(lib, self.fn.name)(*self.args)


def build_call(
    ffi, fn: vml.Function, data: OperationData, *, style: str = "buffer", mode=None
) -> Call:
    """Arguments for `fn` from `data`.

    style "buffer" passes NumPy memory through ffi.from_buffer, "list" passes inputs and
    by-reference scalars as Python lists (the scratch-buffer path), "cdata" copies inputs
    into ffi.new arrays. Outputs are always NumPy memory so that the results are visible.
    """
    p = fn.precision
    inputs, scalars = iter(data.inputs), iter(data.scalars)
    outputs = [o.copy() for o in data.initial_outputs]
    written = iter(outputs)
    args = []

    def array_in(a: np.ndarray):
        if style == "list":
            return as_list(a)
        if style == "cdata":
            return ffi.new(f"{ctype_of(a, p)}[]", as_list(a))
        return ffi.from_buffer(f"{ctype_of(a, p)}[]", a)

    def by_reference(value, ctype: str):
        if style == "cdata":
            return ffi.new(f"{ctype}[1]", [value])
        return [value]

    def scalar(value):
        if isinstance(value, complex):
            value = [value.real, value.imag]
        if not fn.fortran:
            return value
        return by_reference(value, vml.ELEMENT_TYPE[p])

    for role in roles(fn):
        if role == "count":
            args.append(by_reference(data.n, "int") if fn.fortran else data.n)
        elif role in ("in", "real_in"):
            args.append(array_in(next(inputs)))
        elif role in ("out", "real_out"):
            out = next(written)
            args.append(ffi.from_buffer(f"{ctype_of(out, p)}[]", out, require_writable=True))
        elif role == "scalar":
            args.append(scalar(next(scalars)))
        elif role == "stride":
            args.append(by_reference(data.selector, "int") if fn.fortran else data.selector)
        elif role == "select":
            args.append(array_in(data.selector))
        elif role == "mode":
            assert mode is not None, f"{fn.name} needs a mode"
            args.append(by_reference(mode, "long long") if fn.fortran else mode)
    return Call(fn, tuple(args), outputs)


# --- Comparing results. ---------------------------------------------------------------------

# MKL's documented maximum errors: HA 1 ulp, LA 4 ulp, EP "the lower half of the significand
# bits may be incorrect".
DOCUMENTED_ULPS = {"HA": 1, "LA": 4}
SIGNIFICAND_BITS = {"s": 24, "d": 53, "c": 24, "z": 53}
SCIPY_REFERENCE_ULPS = 8  # SciPy's own error on the domains above, measured against mpmath


def documented_ulps(accuracy: str, precision: str) -> float:
    return DOCUMENTED_ULPS.get(accuracy) or 2.0 ** (SIGNIFICAND_BITS[precision] // 2)


def tolerance(accuracy: str, precision: str, reference_ulps: float = 0.5) -> float:
    """The largest relative error accepted, in units of epsilon.

    One ulp is between epsilon/2 and epsilon relative to the value, and complex results are
    compared normwise, hence the factor 2; the reference's own error comes on top.
    """
    return 2 * documented_ulps(accuracy, precision) + reference_ulps


def reference_ulps(base: str, precision: str) -> float:
    return SCIPY_REFERENCE_ULPS if precision == "d" and base in SCIPY_REFERENCED else 0.5


def relative_error(result: np.ndarray, expected: np.ndarray, precision: str) -> np.ndarray:
    """|result - expected| / |expected| in units of the precision's epsilon, normwise for
    complex values."""
    info = np.finfo(ELEMENT_DTYPE[precision])
    wide = expected.astype(np.clongdouble if np.iscomplexobj(expected) else np.longdouble)
    diff = np.abs(result.astype(wide.dtype) - wide)
    return (diff / np.maximum(np.abs(wide), info.tiny) / info.eps).astype(np.float64)


# --- MKL's per-thread state. ----------------------------------------------------------------


def baseline_mode() -> int:
    """MKL's documented default mode, spelled out: high accuracy, the default error handling
    (errno, exception flags and callback), and denormals not flushed. The denormal field is
    explicit because a mode variant called with VML_FTZDAZ_ON leaves that field set in the
    thread's mode, and setting it to VML_FTZDAZ_CURRENT does not clear it."""
    c = constants()
    errors = c["VML_ERRMODE_ERRNO"] | c["VML_ERRMODE_EXCEPT"] | c["VML_ERRMODE_CALLBACK"]
    return c["VML_HA"] | errors | c["VML_FTZDAZ_OFF"]


def mode_word(lib, accuracy: str) -> int:
    """This thread's current mode word with its accuracy bits replaced."""
    mask = constants()["VML_ACCURACY_MASK"]
    return (lib.vmlGetMode() & ~mask) | mode(accuracy)


@pytest.fixture
def vml_state(lib):
    """Starts the test from the baseline mode with the status and the callback cleared, and
    restores this thread's mode, status and callback afterwards."""
    saved_mode, saved_status = lib.vmlGetMode(), lib.vmlGetErrStatus()
    saved_callback = lib.vmlGetErrorCallBack()
    lib.vmlSetMode(baseline_mode())
    lib.vmlClearErrStatus()
    lib.vmlClearErrorCallBack()
    yield
    lib.vmlSetMode(saved_mode)
    lib.vmlSetErrStatus(saved_status)
    lib.vmlSetErrorCallBack(saved_callback)
