"""The NumPy layer: each operation against a reference, and every check made before MKL runs."""

from __future__ import annotations

import threading
import warnings

import kernels
import numpy as np
import pytest
from conftest import FUNCTIONS
from scipy import special

from quorvex.mkl import _vml_ops, ffi, lib, vml

pytestmark = pytest.mark.numerics

# vml name -> (reference, low, high): inputs are drawn from [low, high) (real and imaginary parts).
REFERENCES = {
    "abs": (np.abs, -5, 5),
    "acos": (np.arccos, -0.9, 0.9),
    "acosh": (np.arccosh, 1.1, 5),
    "add": (np.add, -5, 5),
    "arg": (np.angle, -5, 5),
    "asin": (np.arcsin, -0.9, 0.9),
    "asinh": (np.arcsinh, -5, 5),
    "atan": (np.arctan, -5, 5),
    "atan2": (np.arctan2, -5, 5),
    "atanh": (np.arctanh, -0.9, 0.9),
    "cbrt": (np.cbrt, -5, 5),
    "cdfnorm": (special.ndtr, -5, 5),
    "cdfnorminv": (special.ndtri, 0.01, 0.99),
    "ceil": (np.ceil, -5, 5),
    "cis": (lambda x: np.exp(1j * x), -5, 5),
    "conj": (np.conj, -5, 5),
    "cos": (np.cos, -5, 5),
    "cosh": (np.cosh, -5, 5),
    "div": (np.divide, 0.5, 5),
    "erf": (special.erf, -3, 3),
    "erfc": (special.erfc, -3, 3),
    "erfcinv": (special.erfcinv, 0.1, 1.9),
    "erfinv": (special.erfinv, -0.9, 0.9),
    "exp": (np.exp, -5, 5),
    "expm1": (np.expm1, -1, 1),
    "floor": (np.floor, -5, 5),
    "frac": (lambda x: x - np.trunc(x), -5, 5),
    "hypot": (np.hypot, -5, 5),
    "inv": (np.reciprocal, 0.5, 5),
    "invcbrt": (lambda x: 1 / np.cbrt(x), 0.5, 5),
    "invsqrt": (lambda x: 1 / np.sqrt(x), 0.5, 5),
    "lgamma": (special.gammaln, 0.5, 5),
    "linearfrac": (lambda a, b: (2 * a + 3) / (0.5 * b + 1), 0.5, 5),
    "ln": (np.log, 0.5, 5),
    "log10": (np.log10, 0.5, 5),
    "log1p": (np.log1p, -0.5, 5),
    "modf": (lambda x: (np.trunc(x), x - np.trunc(x)), -5, 5),  # MKL's order: integer part first
    "mul": (np.multiply, -5, 5),
    "mulbyconj": (lambda a, b: a * np.conj(b), -5, 5),
    "nearbyint": (np.rint, -5, 5),
    "pow": (np.power, 0.5, 3),
    "pow2o3": (lambda x: np.cbrt(x) ** 2, 0.5, 5),
    "pow3o2": (lambda x: np.sqrt(x) ** 3, 0.5, 5),
    "powx": (lambda x: x**2.5, 0.5, 3),
    "rint": (np.rint, -5, 5),
    "round": (lambda x: np.trunc(x + np.copysign(0.5, x)), -5, 5),  # halves away from zero
    "sin": (np.sin, -5, 5),
    "sincos": (lambda x: (np.sin(x), np.cos(x)), -5, 5),
    "sinh": (np.sinh, -5, 5),
    "sqr": (np.square, -5, 5),
    "sqrt": (np.sqrt, 0.5, 5),
    "sub": (np.subtract, -5, 5),
    "tan": (np.tan, -1.5, 1.5),
    "tanh": (np.tanh, -5, 5),
    "tgamma": (special.gamma, 0.5, 5),
    "trunc": (np.trunc, -5, 5),
}
DTYPES = {"s": np.float32, "d": np.float64, "c": np.complex64, "z": np.complex128}
REAL = {"c": np.float32, "z": np.float64}
ELEMENTWISE = [
    f
    for f in FUNCTIONS
    if not f.fortran and not f.mode_variant and f.family not in ("pack", "service")
]


def sample(dtype, low, high, shape=(33,), seed=0):
    rng = np.random.default_rng(seed)
    values = rng.uniform(low, high, shape)
    if np.dtype(dtype).kind == "c":
        values = values + 1j * rng.uniform(low, high, shape)
    return values.astype(dtype)


def operands(function, shape=(33,)):
    """The arguments of vml.<base> for one catalogue function, and the result dtype."""
    _, low, high = REFERENCES[function.base.lower()]
    p = function.precision
    in_dtype = REAL[p] if function.family == "real_to_complex" else DTYPES[p]
    out_dtype = REAL[p] if function.family == "complex_to_real" else DTYPES[p]
    arrays = [sample(in_dtype, low, high, shape, seed) for seed in range(2)]
    args = {
        "two_input": arrays,
        "powx": [arrays[0], 2.5],
        "linear_frac": [*arrays, 2, 3, 0.5, 1],
    }.get(function.family, arrays[:1])
    return args, out_dtype


@pytest.mark.parametrize("function", ELEMENTWISE, ids=lambda f: f.name)
def test_every_operation_matches_its_reference_in_every_precision(function):
    kernels.skip_unless_holds("accuracy", function.base, function.precision)
    name = function.base.lower()
    args, out_dtype = operands(function)
    arrays = [a for a in args if isinstance(a, np.ndarray)]
    wide = [a.astype(np.complex128 if a.dtype.kind == "c" else np.float64) for a in arrays]
    expected = REFERENCES[name][0](*wide)
    rtol = 2e-5 if function.precision in "sc" else 1e-12
    for mode in (None, vml.LA):
        result = getattr(vml, name)(*args, mode=mode)
        for got, want in zip(*((result, expected) if isinstance(result, tuple) else
                               ((result,), (expected,))), strict=True):  # fmt: skip
            assert got.dtype == out_dtype
            np.testing.assert_allclose(got, want, rtol=rtol, atol=rtol)


def test_operations_are_the_catalogue_bases():
    bases = {f.base.lower() for f in FUNCTIONS if f.family != "service"}
    assert set(vml.OPERATIONS) == bases
    assert len(bases) == 62
    assert {f.base.lower() for f in ELEMENTWISE} == set(REFERENCES)


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda: vml.exp(np.arange(3)), TypeError, "int64 .*float32, float64, complex64 or com"),
        (lambda: vml.erf(np.ones(3, complex)), TypeError, "complex128 .*only float32 or float64"),
        (lambda: vml.cis(np.ones(3, complex)), TypeError, "only float32 or float64"),
        (lambda: vml.add(np.ones(3), np.ones(3, np.float32)), TypeError, "float64 and float32"),
        (lambda: vml.add(np.ones(3), np.ones(4)), ValueError, r"shapes \(3,\) and \(4,\)"),
        (lambda: vml.hypot(np.ones((2, 3)), np.ones(6)), ValueError, "does not broadcast"),
        (lambda: vml.powx(np.ones(3), 1j), TypeError, "complex but the array is real"),
        (lambda: vml.powx(np.ones(3), "2"), TypeError, "must be a number"),
        (lambda: vml.linearfrac(np.ones(2), np.ones(2), 1, None, 1, 1), TypeError, "shifta"),
        (lambda: vml.exp(np.ones(3), mode=vml.HA | 0x4), ValueError, "accuracy"),
        (lambda: vml.exp(np.ones(3), mode=1 << 40), ValueError, "not VML mode flags"),
    ],
)
def test_wrong_inputs_raise_clear_errors(call, error, message):
    with pytest.raises(error, match=message):
        call()


@pytest.mark.parametrize(
    ("word", "message"),
    [
        (vml.EP | vml.TRAP_INVALID | vml.TRAP_OVERFLOW, "TRAP_INVALID | TRAP_OVERFLOW"),
        (0xFFFFFFFF, "not VML mode flags"),
        (vml.HA | vml.LA, "combines the accuracies HA and LA"),
        (vml.ERRMODE_IGNORE | vml.LA | vml.EP, "combines the accuracies EP and LA"),
    ],
)
@pytest.mark.parametrize(
    "use",
    [
        lambda word: vml.exp(np.ones(3), mode=word),
        lambda word: vml.mode(word).__enter__(),
        vml.set_mode,
    ],
    ids=["mode=", "vml.mode", "set_mode"],
)
def test_mode_words_that_would_end_the_process_or_mislead_are_refused(use, word, message):
    before = vml.get_mode()
    with pytest.raises(ValueError, match=message):
        use(word)
    assert vml.get_mode() == before


def test_dtype_argument_converts_on_request():
    result = vml.exp([0, 1, 2], dtype=np.float32)
    assert result.dtype == np.float32
    np.testing.assert_allclose(result, np.exp([0, 1, 2]), rtol=1e-6)


@pytest.mark.parametrize(
    ("out", "error", "message"),
    [
        (np.empty(4, np.float32), TypeError, "dtype float32"),
        (np.empty(5), ValueError, r"shape \(5,\)"),
        (np.empty(8)[::2], ValueError, "C-contiguous"),
        (np.empty(4).view(), ValueError, "read-only"),
        ([0.0] * 4, TypeError, "NumPy array, not list"),
    ],
)
def test_out_is_checked_before_mkl_writes(out, error, message):
    if message == "read-only":
        out.flags.writeable = False
    with pytest.raises(error, match=message):
        vml.exp(np.ones(4), out=out)


def test_two_result_out_must_be_two_separate_arrays():
    x, y = np.ones(4), np.empty(4)
    with pytest.raises(TypeError, match="tuple of two"):
        vml.sincos(x, out=y)
    with pytest.raises(ValueError, match="overlap"):
        vml.sincos(x, out=(y, y))
    s, c = np.empty(4), np.empty(4)
    assert vml.sincos(x, out=(s, c)) == (s, c)


def test_out_in_place_and_overlapping_views():
    x = np.linspace(0, 1, 9)
    original = x.copy()
    assert vml.exp(x, out=x) is x
    np.testing.assert_allclose(x, np.exp(original))
    # A shifted view of the same memory is copied first, not read while being written.
    x = original.copy()
    vml.exp(x[:-1], out=x[1:])
    np.testing.assert_allclose(x[1:], np.exp(original[:-1]))
    # Unpacking writes elsewhere than it reads: in place, MKL would read its own writes.
    x = original.copy()
    vml.unpacki(x[:5], 2, out=x)
    np.testing.assert_array_equal(x[::2], original[:5])


@pytest.mark.parametrize(
    "x",
    [
        np.linspace(0, 1, 20)[::3],
        np.asfortranarray(np.linspace(0, 1, 12).reshape(3, 4)),
        np.array(0.5),
        np.empty((0, 3)),
    ],
    ids=["strided", "fortran-order", "0-d", "empty"],
)
def test_any_shape_and_layout_gives_numpy_shaped_results(x):
    result = vml.exp(x)
    assert result.shape == x.shape
    np.testing.assert_allclose(result, np.exp(x))


@pytest.mark.parametrize(
    ("name", "args"),
    [
        ("exp", [np.linspace(0, 1, 12)]),
        ("add", [np.linspace(0, 1, 12), np.linspace(1, 2, 12)]),
        ("sincos", [np.linspace(0, 1, 12)]),
        ("powx", [np.linspace(0, 1, 12), 1.5]),
        ("linearfrac", [np.linspace(0, 1, 12), np.linspace(1, 2, 12), 1, 2, 3, 4]),
        ("abs", [np.linspace(0, 1, 12) * (1 + 1j)]),
        ("cis", [np.linspace(0, 1, 12)]),
    ],
)
def test_arrays_longer_than_a_count_are_processed_in_chunks(monkeypatch, name, args):
    expected = getattr(vml, name)(*[a.reshape(3, 4) if hasattr(a, "shape") else a for a in args])
    monkeypatch.setattr(_vml_ops, "MAX_COUNT", 5)
    chunked = getattr(vml, name)(*[a.reshape(3, 4) if hasattr(a, "shape") else a for a in args])
    np.testing.assert_array_equal(chunked, expected)


@pytest.mark.parametrize("dtype", DTYPES.values(), ids=lambda d: np.dtype(d).name)
def test_pack_and_unpack_match_numpy_indexing(dtype):
    a = sample(dtype, -5, 5, (10,))
    index, mask = np.array([9, 0, 4, 4]), np.array([1, 0, 0, 1, 1, 0, 0, 0, 1, 0], bool)
    np.testing.assert_array_equal(vml.packi(a, 3), a[::3])
    np.testing.assert_array_equal(vml.packv(a, index), a[index])
    np.testing.assert_array_equal(vml.packm(a, mask), a[mask])
    b = a[:4]
    expected = np.zeros(10, dtype)
    expected[::3] = b
    np.testing.assert_array_equal(vml.unpacki(b, 3), expected)
    expected = np.zeros(7, dtype)
    expected[[6, 0, 2, 3]] = b
    np.testing.assert_array_equal(vml.unpackv(b, [6, 0, 2, 3]), expected)
    out = np.full(10, 7, dtype)
    assert vml.unpackm(b, mask, out=out) is out
    expected = np.full(10, 7, dtype)
    expected[mask] = b
    np.testing.assert_array_equal(out, expected)


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda a: vml.packv(a, [0, 10]), IndexError, r"\[0, 10\)"),
        (lambda a: vml.packv(a, [-1]), IndexError, r"\[0, 10\)"),
        (lambda a: vml.packv(a, [0.0, 1.0]), TypeError, "integers"),
        (lambda a: vml.packi(a, 0), ValueError, "positive"),
        (lambda a: vml.unpacki(a, -2), ValueError, "positive"),
        (lambda a: vml.packm(a, [1, 0]), ValueError, r"must have shape \(10,\)"),
        (lambda a: vml.packi(a.reshape(2, 5), 1), ValueError, "1-D"),
        (lambda a: vml.unpackm(a[:3], [1, 1, 0, 0]), ValueError, "selects 2 places for 3"),
        (lambda a: vml.unpacki(a, 2, out=np.zeros(18)), ValueError, r"shape \(19,\)"),
        (lambda a: vml.unpackv(a[:2], [0, 5], out=np.zeros(5)), IndexError, r"\[0, 5\)"),
        (lambda a: vml.unpackv(a[:2], [0]), ValueError, "2 elements but 1 indices"),
    ],
)
def test_pack_selectors_are_checked_against_the_arrays(call, error, message):
    with pytest.raises(error, match=message):
        call(np.arange(10.0))


# ---------------------------------------------------------------------------
# Error status and mode.

ERROR_CASES = {
    "domain": (vml.ln, -1.0),
    "sing": (vml.ln, 0.0),
    "overflow": (vml.exp, 1000.0),
    "underflow": (vml.exp, -1000.0),
}
ERROR_STATUS = {
    "domain": vml.STATUS_ERRDOM,
    "sing": vml.STATUS_SING,
    "overflow": vml.STATUS_OVERFLOW,
    "underflow": vml.STATUS_UNDERFLOW,
}


@pytest.mark.parametrize("action", ["raise", "warn", "ignore"])
@pytest.mark.parametrize("kind", ERROR_CASES)
def test_errstate_turns_each_status_into_its_action(kind, action):
    function, value = ERROR_CASES[kind]
    with (
        warnings.catch_warnings(record=True) as caught,
        vml.errstate(all="ignore", **{kind: action}),
    ):
        warnings.simplefilter("always")
        if action == "raise":
            with pytest.raises(vml.VMLError, match=function.__name__) as raised:
                function(np.array([1.0, value]))
            assert raised.value.kind == kind
        else:
            function(np.array([1.0, value]))
    assert [w.category for w in caught] == ([vml.VMLWarning] if action == "warn" else [])
    # Acting on the status consumes it; with every kind ignored, vml leaves it to MKL.
    assert lib.vmlClearErrStatus() == (ERROR_STATUS[kind] if action == "ignore" else 0)


def test_errstate_defaults_follow_numpy_and_nest():
    assert vml.geterr() == {
        "domain": "warn", "sing": "warn", "overflow": "warn", "underflow": "ignore",
        "accuracy": "ignore",
    }  # fmt: skip
    with pytest.warns(vml.VMLWarning, match="domain"):
        vml.ln(np.array([-1.0]))
    with vml.errstate(all="raise"), vml.errstate(domain="ignore"):
        vml.ln(np.array([-1.0]))
        with pytest.raises(vml.VMLError):
            vml.ln(np.array([0.0]))
    assert vml.geterr()["sing"] == "warn"
    with pytest.raises(ValueError, match="must be one of"):
        vml.errstate(domain="explode")
    with pytest.raises(TypeError, match="nonsense"):
        vml.seterr(nonsense="raise")  # type: ignore[call-arg]


def test_a_status_left_by_a_raw_call_is_not_blamed_on_the_next_operation():
    lib.vdLn(1, [-1.0], ffi.new("double[1]"))
    assert lib.vmlGetErrStatus() == vml.STATUS_ERRDOM
    with vml.errstate(all="raise"):
        vml.exp(np.ones(3))


def run_in_thread(function):
    results = []
    thread = threading.Thread(target=lambda: results.append(function()))
    thread.start()
    thread.join()
    return results[0]


def test_errstate_and_mode_belong_to_the_calling_thread():
    before = vml.get_mode()
    fresh_thread_mode = run_in_thread(vml.get_mode)
    with vml.errstate(all="raise"), vml.mode(vml.EP):
        assert vml.get_mode() & vml.ACCURACY_MASK == vml.EP
        assert run_in_thread(vml.get_mode) == fresh_thread_mode
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            run_in_thread(lambda: vml.ln(np.array([-1.0])))  # warns there, no raise
        assert [w.category for w in caught] == [vml.VMLWarning]
    assert vml.get_mode() == before


def test_mode_restores_the_previous_mode_even_after_an_error():
    def body():
        before = vml.get_mode()
        with pytest.raises(ZeroDivisionError), vml.mode(vml.LA | vml.ERRMODE_IGNORE):
            assert vml.get_mode() & (vml.ACCURACY_MASK | vml.ERRMODE_MASK) == (
                vml.LA | vml.ERRMODE_IGNORE
            )
            1 / 0  # noqa: B018
        restored = vml.get_mode()
        vml.exp(np.ones(3), mode=vml.EP)  # a per-call mode leaves the thread's alone
        # MKL cannot go back to FTZDAZ_CURRENT: the denormal field ends up OFF.
        with vml.mode(vml.FTZDAZ_ON):
            inside = vml.get_mode()
        return before, restored, vml.get_mode(), inside

    before, restored, after, inside = run_in_thread(body)
    assert restored == before
    assert inside & vml.FTZDAZ_MASK == vml.FTZDAZ_ON
    assert after == before | vml.FTZDAZ_OFF
