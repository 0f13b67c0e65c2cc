"""MKL's accuracy modes stay within their documented error bounds against mpmath, whether
passed to the mode variants or set globally, and the global mode is the one the C form uses."""

from __future__ import annotations

import functools

import kernels
import mpmath
import numpy as np
import pytest
from vml_cases import (
    build_call,
    documented_ulps,
    mode_word,
    operation_data,
    operations,
    vml_state,  # noqa: F401  (fixture)
)

pytestmark = pytest.mark.numerics

SAMPLE = 16  # points per operation, taken from the operation's own test data
DIGITS = 50

MODE_OPERATIONS = {op: forms for op, forms in operations().items() if forms[-1].mode_variant}


def _real_cbrt(x):
    return mpmath.sign(x) * mpmath.cbrt(abs(x))


def _round_half_away(x):
    return mpmath.sign(x) * mpmath.floor(abs(x) + mpmath.mpf(0.5))


def _nearest_even(x):
    return mpmath.mpf(round(float(x)))  # exact: x is a binary floating-point number


MP = mpmath.mp
# The exact function of every operation, on mpmath numbers (real or complex).
EXACT = {
    "Abs": abs,
    "Acos": MP.acos,
    "Acosh": MP.acosh,
    "Add": lambda a, b: a + b,
    "Arg": MP.arg,
    "Asin": MP.asin,
    "Asinh": MP.asinh,
    "Atan": MP.atan,
    "Atan2": MP.atan2,
    "Atanh": MP.atanh,
    "CIS": MP.expj,
    "Cbrt": _real_cbrt,
    "CdfNorm": MP.ncdf,
    "CdfNormInv": lambda p: MP.sqrt(2) * MP.erfinv(2 * p - 1),
    "Ceil": MP.ceil,
    "Conj": MP.conj,
    "Cos": MP.cos,
    "Cosh": MP.cosh,
    "Div": lambda a, b: a / b,
    "Erf": MP.erf,
    "ErfInv": MP.erfinv,
    "Erfc": MP.erfc,
    "ErfcInv": lambda x: MP.erfinv(1 - x),
    "Exp": MP.exp,
    "Expm1": MP.expm1,
    "Floor": MP.floor,
    "Frac": lambda x: x - MP.sign(x) * MP.floor(abs(x)),
    "Hypot": MP.hypot,
    "Inv": lambda x: 1 / x,
    "InvCbrt": lambda x: 1 / _real_cbrt(x),
    "InvSqrt": lambda x: 1 / MP.sqrt(x),
    "LGamma": MP.loggamma,
    "LinearFrac": lambda a, b, sa, ha, sb, hb: (sa * a + ha) / (sb * b + hb),
    "Ln": MP.log,
    "Log10": MP.log10,
    "Log1p": MP.log1p,
    "Modf": lambda x: (MP.sign(x) * MP.floor(abs(x)), x - MP.sign(x) * MP.floor(abs(x))),
    "Mul": lambda a, b: a * b,
    "MulByConj": lambda a, b: a * MP.conj(b),
    "NearbyInt": _nearest_even,
    "Pow": lambda a, b: MP.exp(b * MP.log(a)),
    "Pow2o3": lambda x: _real_cbrt(x) ** 2,
    "Pow3o2": lambda x: x * MP.sqrt(x),
    "Powx": lambda a, b: MP.exp(b * MP.log(a)),
    "Rint": _nearest_even,
    "Round": _round_half_away,
    "Sin": MP.sin,
    "SinCos": lambda x: (MP.sin(x), MP.cos(x)),
    "Sinh": MP.sinh,
    "Sqr": lambda x: x * x,
    "Sqrt": MP.sqrt,
    "Sub": lambda a, b: a - b,
    "TGamma": MP.gamma,
    "Tan": MP.tan,
    "Tanh": MP.tanh,
    "Trunc": lambda x: MP.sign(x) * MP.floor(abs(x)),
}


def _mp(value):
    value = complex(value) if np.iscomplexobj(value) else float(value)
    return MP.mpc(value) if isinstance(value, complex) else MP.mpf(value)


@functools.cache
def exact_results(base: str, precision: str) -> tuple[tuple, ...]:
    """Per written array, the first SAMPLE exact results at DIGITS significant digits."""
    data = operation_data(base, precision)
    with mpmath.workdps(DIGITS):
        scalars = [_mp(s) for s in data.scalars]
        rows = []
        for i in range(SAMPLE):
            value = EXACT[base](*[_mp(a[i]) for a in data.inputs], *scalars)
            rows.append(value if isinstance(value, tuple) else (value,))
    return tuple(zip(*rows, strict=True))


def worst_error_ulps(results, exact, precision: str) -> float:
    """Largest |result - exact| / |exact| in units of epsilon (normwise for complex)."""
    eps = np.finfo(np.float32 if precision in "sc" else np.float64).eps
    worst = 0.0
    with mpmath.workdps(DIGITS):
        for result, value in zip(results, exact, strict=True):
            scale = max(abs(value), MP.mpf(np.finfo(np.float64).tiny))
            worst = max(worst, float(abs(_mp(result) - value) / scale / eps))
    return worst


def mode_cases():
    return [
        pytest.param(forms, accuracy, id=f"v{p}{base}-{accuracy}")
        for (base, p), forms in MODE_OPERATIONS.items()
        for accuracy in ("HA", "LA", "EP")
    ]


@pytest.mark.usefixtures("vml_state")
@pytest.mark.parametrize(("forms", "accuracy"), mode_cases())
def test_within_documented_bound(ffi, lib, forms, accuracy):
    c_form = forms[0]
    kernels.skip_unless_holds("accuracy", c_form.base, c_form.precision)
    mode_variant = next(f for f in forms if f.mode_variant and not f.fortran)
    data = operation_data(c_form.base, c_form.precision)
    exact = exact_results(c_form.base, c_form.precision)
    # One ulp is epsilon/2 to epsilon relative, and complex errors are normwise: factor 2.
    bound = 2 * documented_ulps(accuracy, c_form.precision)

    lib.vmlSetMode(mode_word(lib, accuracy))
    for fn in (mode_variant, c_form):
        call = build_call(ffi, fn, data, mode=mode_word(lib, accuracy))
        call(lib)
        for out, column in zip(call.outputs, exact, strict=True):
            error = worst_error_ulps(out[:SAMPLE], column, fn.precision)
            assert error <= bound, f"{fn.name} under {accuracy}: {error:.3g} eps > {bound} eps"


def _results_under(ffi, lib, fn, data, accuracy):
    call = build_call(ffi, fn, data, mode=mode_word(lib, accuracy))
    call(lib)
    return [out.tobytes() for out in call.outputs]


@pytest.fixture(scope="module")
def mode_sensitive(ffi, lib):
    """An operation whose high-accuracy and enhanced-performance results differ here."""
    for forms in MODE_OPERATIONS.values():
        variant = next(f for f in forms if f.mode_variant and not f.fortran)
        data = operation_data(variant.base, variant.precision)
        if _results_under(ffi, lib, variant, data, "HA") != _results_under(
            ffi, lib, variant, data, "EP"
        ):
            return forms[0], variant, data
    kernels.skip_unless_holds("modes differ", "*", "d")
    pytest.fail(f"libmkl_vml_{kernels.loaded_kernel()} gives the same bits in HA and EP throughout")


@pytest.mark.usefixtures("vml_state")
@pytest.mark.parametrize("set_mode", ["vmlSetMode", "vmlsetmode", "VMLSETMODE"])
def test_global_mode_applies_to_the_c_form(ffi, lib, mode_sensitive, set_mode):
    c_form, variant, data = mode_sensitive
    by_variant = {acc: _results_under(ffi, lib, variant, data, acc) for acc in ("HA", "EP")}
    for accuracy in ("EP", "HA"):
        word = mode_word(lib, accuracy)
        getattr(lib, set_mode)([word] if set_mode != "vmlSetMode" else word)
        assert lib.vmlGetMode() == word
        assert _results_under(ffi, lib, c_form, data, accuracy) == by_variant[accuracy], (
            f"{c_form.name} after {set_mode}({accuracy}) differs from {variant.name}({accuracy})"
        )
