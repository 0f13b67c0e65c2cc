"""The NumPy layer: vml's ufuncs compute MKL's results and behave as NumPy's own ufuncs do."""

from __future__ import annotations

import itertools
import math
import pickle
import threading
import warnings
import zlib

import kernels
import numpy as np
import pytest
from quorvex.mkl._vml_operations import NUMPY_KEEPS, OPERATIONS
from vml_cases import (
    BEYOND_DOCUMENTED,
    COMPLEX,
    FULL_ONLY,
    LINEAR_FRAC,
    REAL,
    complex_specials,
    reference_ulps,
    relative_error,
    special_pairs,
    specials,
    tolerance,
)

from quorvex.mkl import _ufuncs, ffi, lib, vml

pytestmark = pytest.mark.numerics

ELEMENTWISE = {name: op for name, op in OPERATIONS.items() if name in vml.UFUNCS}
# (operation, precision) for every loop MKL has.
LOOPS = [(name, p) for name, op in ELEMENTWISE.items() for p in op["variants"]]


def reference_of(name: str, precision: str):
    base = _base_name(name)
    return (COMPLEX if precision in "cz" else REAL | FULL_ONLY)[base]


def _base_name(name: str) -> str:
    function = next(iter(OPERATIONS[name]["variants"].values()))["function"]
    return function[2:]


def inputs(name: str, precision: str, n: int = 64) -> list:
    """Arrays drawn from the reference's domains, then its scalars, in the ufunc's order."""
    op = OPERATIONS[name]
    variant = op["variants"][precision]
    reference = reference_of(name, precision)
    rng = np.random.default_rng([zlib.crc32(name.encode()), ord(precision)])
    roles = [role for _, role in op["parameters"] if role != "out"]
    arrays = iter(domain(rng, n) for domain in reference.domains)
    scalars = iter(reference.scalars)
    return [
        (next(arrays) if role == "in" else np.full(n, next(scalars))).astype(dtype)
        for role, dtype in zip(roles, variant["dtypes"], strict=False)
    ]


@pytest.mark.parametrize(("name", "precision"), LOOPS, ids=lambda v: v)
def test_every_loop_is_mkls_function_and_meets_the_reference(full, name, precision):
    """The ufunc gives the bits of MKL's contiguous function, with NumPy's order of results,
    and those are held against NumPy and SciPy."""
    variant = OPERATIONS[name]["variants"][precision]
    args = inputs(name, precision)
    ufunc = vml.UFUNCS[name]
    results = ufunc(*args)
    results = results if isinstance(results, tuple) else (results,)

    out_dtypes = variant["dtypes"][len(args) :]
    direct = [np.zeros(args[0].size, d) for d in out_dtypes]
    ins = [ffi_array(full.ffi, a) for a in args[: len(args) - scalar_count(name)]]
    scalars = [scalar_value(a[0]) for a in args[len(ins) :]]
    getattr(full.lib, variant["function"])(
        args[0].size, *ins, *scalars, *(ffi_array(full.ffi, d, True) for d in direct)
    )
    if name == "modf":
        direct.reverse()  # NumPy's order: the fraction first
    assert [r.tobytes() for r in results] == [d.tobytes() for d in direct]
    assert [r.dtype for r in results] == [np.dtype(d) for d in out_dtypes]

    base = _base_name(name)
    if base == "NextAfter":  # exact, in the precision itself
        np.testing.assert_array_equal(results[0], np.nextafter(*args))
        return
    if not kernels.holds("accuracy", base, precision):
        return
    reference = reference_of(name, precision)
    wide = [a.astype(np.clongdouble if a.dtype.kind == "c" else np.longdouble) for a in args]
    with np.errstate(all="ignore"):
        expected = reference.function(*wide[: len(reference.domains)], *reference.scalars)
    expected = expected if isinstance(expected, tuple) else (expected,)
    if name == "modf":
        expected = expected[::-1]
    limit = BEYOND_DOCUMENTED.get((base, precision)) or tolerance(
        "HA", precision, reference_ulps(base, precision)
    )
    for result, want in zip(results, expected, strict=True):
        error = relative_error(result, np.asarray(want), precision)
        assert error.max() <= limit, (name, precision, error.max())


def scalar_count(name: str) -> int:
    return sum(role == "scalar" for _, role in OPERATIONS[name]["parameters"])


def scalar_value(value):
    return {"real": value.real, "imag": value.imag} if np.iscomplexobj(value) else float(value)


CTYPES = {"f": "float[]", "d": "double[]", "F": "MKL_Complex8[]", "D": "MKL_Complex16[]"}


def ffi_array(ffi_, a, writable=False):
    return ffi_.from_buffer(CTYPES[a.dtype.char], a, require_writable=writable)


@pytest.fixture(scope="module")
def full():
    from quorvex.mkl import full

    return full


def test_the_ufuncs_are_the_catalogues_elementwise_operations():
    assert set(vml.UFUNCS) == {name for name, op in OPERATIONS.items() if all(
        role in ("in", "scalar", "out") for _, role in op["parameters"])}  # fmt: skip
    assert {"exp2", "fmax", "sincospi", "erfcx", "i0", "jn", "yn", "log2"} <= set(vml.UFUNCS)
    assert len(vml.UFUNCS) == 91 and len(vml.OPERATIONS) == 97
    assert vml.exp.types == ["e->e", "f->f", "d->d", "F->F", "D->D"]
    assert vml.abs.types[-2:] == ["F->f", "D->d"] and vml.cis.types == ["f->F", "d->D"]
    for namespace in (vml.ha, vml.la, vml.ep):
        assert {n for n in dir(namespace) if not n.startswith("_")} == set(vml.UFUNCS)


# --- Type resolution, as NumPy's own. -----------------------------------------------------


@pytest.mark.parametrize(
    ("args", "dtype"),
    [
        ((np.arange(3),), np.float64),  # integers become float64, as for np.exp
        ((np.arange(3, dtype=np.int8),), np.float16),  # ... and small ones float16, as np.exp
        ((np.ones(3, np.float16),), np.float16),
        ((np.ones(3, np.float32),), np.float32),
        ((1.5,), np.float64),
        ((np.ones(3, np.complex64),), np.complex64),
    ],
)
def test_promotion_follows_numpy(args, dtype):
    result = vml.exp(*args)
    assert result.dtype == dtype == np.exp(*args).dtype


def test_python_scalars_are_weak_and_operands_broadcast():
    x = np.linspace(0, 1, 4, dtype=np.float32)
    assert vml.add(x, 1.0).dtype == np.float32  # NEP 50, as np.add
    assert vml.powx(x, 2.5).dtype == np.float32
    np.testing.assert_allclose(vml.add(x[:, None], x[None, :]), np.add.outer(x, x))
    assert isinstance(vml.exp(1.0), np.float64)
    assert vml.exp(np.float32(1)).dtype == np.float32
    assert vml.exp(np.ones(3), dtype=np.float32).dtype == np.float32
    assert vml.exp(np.ones(3, np.float32), signature="d->d").dtype == np.float64


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda: vml.exp(np.array(["a"])), TypeError, "ufunc 'exp' not supported"),
        (lambda: vml.exp(np.ones(3, object)), TypeError, "ufunc 'exp' not supported"),
        (lambda: vml.erf(np.ones(3, complex)), TypeError, "ufunc 'erf' not supported"),
        (lambda: vml.exp(np.ones(3), out=np.ones(3, int)), TypeError, "Cannot cast ufunc"),
        (lambda: vml.exp(np.ones(3), out=np.ones(4)), ValueError, "could not be broadcast"),
        (lambda: vml.add(np.ones(3), np.ones(4)), ValueError, "could not be broadcast"),
    ],
)
def test_bad_input_gets_numpys_errors_and_leaves_mkl_as_it_was(call, error, message):
    before = (lib.vmlGetMode(), lib.vmlGetErrStatus())
    with pytest.raises(error, match=message):
        call()
    assert (lib.vmlGetMode(), lib.vmlGetErrStatus()) == before


# --- Strides, overlaps, chunks and the ufunc methods. -------------------------------------


@pytest.mark.parametrize(
    "x",
    [
        np.linspace(0.1, 2, 60)[::3],
        np.linspace(0.1, 2, 60)[::-2],
        np.linspace(0.1, 2, 12).reshape(3, 4).T,
        np.linspace(0.1, 2, 24).astype(np.complex128)[::3],
        np.linspace(0.1, 2, 24).view(np.complex128)[::3].real,  # a step of 1.5 elements
        np.linspace(0.1, 2, 60)[::3].astype(np.float16),
    ],
    ids=["every-third", "reversed", "transposed", "complex-strided", "odd-step", "float16"],
)
def test_any_layout_gives_the_contiguous_bits(x):
    for name in ("exp", "sqrt", "sincos"):
        if x.dtype.kind == "c" and name == "sincos":
            continue
        ufunc = vml.UFUNCS[name]
        strided, contiguous = ufunc(x), ufunc(np.ascontiguousarray(x))
        for a, b in zip(*(r if isinstance(r, tuple) else (r,) for r in (strided, contiguous)),
                        strict=True):  # fmt: skip
            assert a.tobytes() == b.tobytes(), name


def test_scalar_operands_that_vary_are_passed_to_mkl_run_by_run():
    x = np.linspace(0.5, 2, 12)
    exponents = np.repeat([1.5, -0.5, 2.0], 4)
    expected = np.concatenate(
        [vml.powx(x[i : i + 4], e) for i, e in zip((0, 4, 8), (1.5, -0.5, 2.0), strict=True)]
    )
    np.testing.assert_array_equal(vml.powx(x, exponents), expected)
    np.testing.assert_allclose(vml.jn(x, np.array([0.0, 1.0, 2.0])[:, None]).shape, (3, 12))


def test_in_place_and_overlapping_outputs():
    x = np.linspace(0, 1, 9)
    original = x.copy()
    assert vml.exp(x, out=x) is x
    np.testing.assert_array_equal(x, vml.exp(original))
    x = original.copy()
    vml.exp(x[:-1], out=x[1:])  # NumPy copies what overlaps other than exactly
    np.testing.assert_array_equal(x[1:], vml.exp(original[:-1]))


@pytest.mark.parametrize("dtype", [np.float64, np.float16])
def test_reduce_accumulate_outer_and_at_where_numpy_allows_them(dtype):
    x = np.array([3.0, -1.5, 2.0, 4.0, 0.5], dtype)
    assert vml.add.reduce(x) == np.add.reduce(x)
    np.testing.assert_array_equal(vml.mul.accumulate(x), np.multiply.accumulate(x))
    np.testing.assert_array_equal(vml.fmax.reduce(np.array([1.0, np.nan, 3.0])), 3.0)
    np.testing.assert_array_equal(vml.sub.outer(x, x), np.subtract.outer(x, x))
    np.testing.assert_array_equal(vml.add.reduce(x.reshape(1, 5), axis=1), [np.add.reduce(x)])
    assert vml.add.reduce(np.empty(0)) == 0 and vml.mul.reduce(np.empty(0)) == 1
    a = np.zeros(4, dtype)
    vml.add.at(a, [0, 0, 3], 1.5)
    np.testing.assert_array_equal(a, [3.0, 0.0, 0.0, 1.5])
    with pytest.raises(ValueError, match="reduce only supported for binary"):
        vml.exp.reduce(x)


REDUCED = [("add", np.add), ("mul", np.multiply), ("hypot", np.hypot), ("fmax", np.fmax),
           ("fmin", np.fmin), ("maxmag", None), ("minmag", None)]  # fmt: skip


@pytest.mark.parametrize("dtype", [np.float16, np.float32, np.float64, np.complex128])
@pytest.mark.parametrize(("name", "reference"), REDUCED, ids=[n for n, _ in REDUCED])
def test_reductions_in_blocks_are_as_accurate_as_numpys(name, reference, dtype):
    """Long reductions, at and around the blocks' sizes, strided and reversed, against the
    exact value: sums no worse than NumPy's pairwise sum; products and hypot (whose error
    any grouping shares) no worse than NumPy's on average; selections exact."""
    ufunc = vml.UFUNCS[name]
    if np.dtype(dtype).char not in {t[0] for t in ufunc.types}:
        pytest.skip(f"vml.{name} has no {np.dtype(dtype).name} loop")
    rng = np.random.default_rng([zlib.crc32(name.encode()), np.dtype(dtype).num])
    low, high = (0.999, 1.001) if name == "mul" else (0.01, 0.1)
    ours, theirs = [], []
    for n in (2, 2047, 2048, 2049, 4097, 300_007):
        x = rng.uniform(low, high, 2 * n)
        if dtype == np.complex128:
            x = x + 1j * rng.uniform(-0.001, 0.001, 2 * n)
        x = x.astype(dtype)
        for view in (x[:n], x[::2], x[n - 1 :: -1]):
            result, exact = ufunc.reduce(view), _exact_reduction(name, view)
            if reference is None or name in ("fmax", "fmin"):
                assert result == exact, (name, n)
                gaps = view.copy()
                gaps[::7] = np.nan  # NaNs are passed over quietly, but where all are NaN
                with np.errstate(invalid="raise"):
                    assert ufunc.reduce(gaps) == _exact_reduction(name, gaps[~np.isnan(gaps)])
                    assert np.isnan(ufunc.reduce(np.full_like(view, np.nan)))
                continue
            ours.append(float(abs(result - exact) / abs(exact)))
            theirs.append(float(abs(reference.reduce(view) - exact) / abs(exact)))
            if name == "add":  # the last roundings of either aside
                assert ours[-1] <= theirs[-1] + 2 * np.finfo(dtype).eps, (n, ours, theirs)
    if ours:
        assert np.mean(ours) <= 1.5 * np.mean(theirs) + np.finfo(dtype).eps, (ours, theirs)


def _exact_reduction(name, x):
    wide = x.astype(np.clongdouble if x.dtype.kind == "c" else np.longdouble)
    if name == "add":
        return (
            math.fsum(wide.real.tolist()) + 1j * math.fsum(wide.imag.tolist())
            if x.dtype.kind == "c"
            else math.fsum(wide.tolist())
        )
    if name == "mul":
        return np.prod(wide)
    if name == "hypot":
        return np.sqrt(np.sum(wide * wide))
    if name in ("fmax", "maxmag"):
        return x[np.argmax(np.abs(x))] if name == "maxmag" else np.max(x)
    return x[np.argmin(np.abs(x))] if name == "minmag" else np.min(x)


def test_reductions_report_what_the_blocks_find():
    big = np.finfo(np.float64).max
    with np.errstate(over="raise"), pytest.raises(FloatingPointError, match="overflow"):
        vml.hypot.reduce(np.array([big, big, 1.0]))  # MKL's hypot says nothing
    with np.errstate(over="raise"):
        assert vml.hypot.reduce(np.array([np.inf, 1.0])) == np.inf  # exact
    with np.errstate(all="raise"):
        assert np.isnan(vml.add.reduce(np.array([1.0, np.nan] * 3000)))  # quietly


@pytest.mark.parametrize("name", ["pow", "atan2", "hypot", "fmod", "sub", "div"])
@pytest.mark.parametrize("dtype", [np.float16, np.float32, np.float64])
def test_an_elements_result_does_not_depend_on_the_path_to_the_loop(name, dtype):
    """Alone, in a run, in an accumulation, in place or not: the same bits."""
    ufunc = vml.UFUNCS[name]
    rng = np.random.default_rng([zlib.crc32(name.encode()), np.dtype(dtype).num])
    x = rng.uniform(0.5, 1.5, 300).astype(dtype)
    y = rng.uniform(0.5, 1.5, 300).astype(dtype)
    run = ufunc(x, y)
    alone = np.concatenate([ufunc(x[i : i + 1], y[i : i + 1]) for i in range(x.size)])
    in_place = x.copy()
    ufunc(in_place, y, out=in_place)
    assert run.tobytes() == alone.tobytes() == in_place.tobytes()
    with np.errstate(over="ignore"):  # float16 divisions run out of range
        accumulated = ufunc.accumulate(x)
        step_by_step = [x[0]]
        for v in x[1:]:
            step_by_step.append(ufunc(np.array([step_by_step[-1]]), np.array([v]))[0])
    assert accumulated.tobytes() == np.array(step_by_step, dtype).tobytes()


def outputs(results) -> tuple:
    return results if isinstance(results, tuple) else (results,)


def joined(calls) -> list[np.ndarray]:
    """The results of several calls, output by output, one after the other."""
    return [np.concatenate(parts) for parts in zip(*(outputs(c) for c in calls), strict=True)]


@pytest.mark.parametrize(("name", "precision"), LOOPS, ids=lambda v: v)
def test_an_elements_bits_do_not_depend_on_how_numpy_hands_it_over(name, precision):
    """Alone, in short runs, strided, reversed, in place or through NumPy's buffers: the bits
    of one long contiguous call."""
    ufunc, n = vml.UFUNCS[name], 100
    args = inputs(name, precision, n)
    whole = flat_bytes(outputs(ufunc(*args)))
    ways = {
        "alone": joined(ufunc(*(a[i : i + 1] for a in args)) for i in range(n)),
        "short runs": joined(ufunc(*(a[i : i + 7] for a in args)) for i in range(0, n, 7)),
        "strided": outputs(ufunc(*(np.repeat(a, 3)[::3] for a in args))),
        "reversed": [r[::-1] for r in outputs(ufunc(*(a[::-1] for a in args)))],
    }
    if ufunc.nout == 1 and outputs(ufunc(*args))[0].dtype == args[0].dtype:
        in_place = args[0].copy()
        ufunc(in_place, *args[1:], out=in_place)
        shifted = np.concatenate([args[0], args[0][:1]])  # NumPy buffers what overlaps so
        ufunc(shifted[:-1], *args[1:], out=shifted[1:])
        ways |= {"in place": [in_place], "buffered": [shifted[1:]]}
    assert [way for way, results in ways.items() if flat_bytes(results) != whole] == []


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("numpy_name", ["hypot", "power", "arctan2", "divide"])
def test_numpys_accumulations_under_the_switch_agree_with_its_own_calls(numpy_name, dtype):
    ufunc = getattr(np, numpy_name)
    x = np.array([0.5, 1.0, 2.0, 1.5] * 64, dtype)
    with vml.numpy_uses_mkl(numpy_name):
        accumulated = ufunc.accumulate(x)
        step_by_step = np.array(list(itertools.accumulate(x, ufunc)), dtype)
    assert accumulated.tobytes() == step_by_step.tobytes()


def test_float16_results_are_the_float32_results_rounded():
    """Every float16 loop computes through float32 and rounds once (nextafter, whose
    float32 step is no float16 step, in float16 itself), over special values too."""
    for name, ufunc in vml.UFUNCS.items():
        if "e" not in ufunc.types[0]:
            continue
        signature = ufunc.types[0]
        args = special_inputs(ufunc, signature)
        with np.errstate(all="ignore"):
            half = ufunc(*args)
            single = ufunc(*(a.astype(np.float32) for a in args))
            expected = (np.nextafter(*args),) if name == "nextafter" else single
        half = half if isinstance(half, tuple) else (half,)
        expected = expected if isinstance(expected, tuple) else (expected,)
        for h, e in zip(half, expected, strict=True):
            with np.errstate(over="ignore"):
                assert h.tobytes() == e.astype(np.float16).tobytes(), name


def test_counts_beyond_one_mkl_call_go_in_chunks():
    x = np.linspace(0.1, 2, 50)
    expected = [vml.exp(x), vml.exp(x[::3]), vml.sincos(x), vml.powx(x, 1.5)]
    previous = _ufuncs._set_max_count(7)
    try:
        chunked = [vml.exp(x), vml.exp(x[::3]), vml.sincos(x), vml.powx(x, 1.5)]
    finally:
        _ufuncs._set_max_count(previous)
    for a, b in zip(expected, chunked, strict=True):
        np.testing.assert_array_equal(a, b)


# --- Other array types, through __array_ufunc__. -----------------------------------------


def test_masked_arrays_keep_their_masks_and_subclasses_their_class():
    masked = np.ma.masked_array([1.0, 4.0, 9.0], mask=[False, True, False])
    result = vml.sqrt(masked)
    assert isinstance(result, np.ma.MaskedArray) and list(result.mask) == [False, True, False]

    class Labelled(np.ndarray):
        pass

    assert type(vml.exp(np.ones(3).view(Labelled))) is Labelled


def test_dask_arrays_stay_lazy():
    da = pytest.importorskip("dask.array")
    import quorvex.mkl.dask  # noqa: F401  (teaches Dask the two-result ufuncs)

    x = np.linspace(0.1, 3, 20)
    lazy = da.from_array(x, chunks=6)
    for name in ("exp", "sincos", "modf", "atan2"):
        ufunc = vml.UFUNCS[name]
        args = (lazy,) * ufunc.nin
        result = ufunc(*args)
        parts = result if isinstance(result, tuple) else (result,)
        assert all(isinstance(p, da.Array) for p in parts), name
        expected = ufunc(*(x,) * ufunc.nin)
        expected = expected if isinstance(expected, tuple) else (expected,)
        for p, e in zip(parts, expected, strict=True):
            np.testing.assert_array_equal(p.compute(), e)


def test_ufuncs_and_namespaces_survive_pickling():
    for ufunc in (vml.exp, vml.ha.exp, vml.ep.sincos):
        assert pickle.loads(pickle.dumps(ufunc)) is ufunc


# --- Errors, as NumPy reports them. -------------------------------------------------------

ERROR_CASES = {
    "invalid": (vml.ln, -1.0, vml.STATUS_ERRDOM),
    "divide": (vml.ln, 0.0, vml.STATUS_SING),
    "over": (vml.exp, 1000.0, vml.STATUS_OVERFLOW),
    "under": (vml.exp, -1000.0, vml.STATUS_UNDERFLOW),
}


@pytest.mark.parametrize("action", ["raise", "warn", "ignore"])
@pytest.mark.parametrize("kind", ERROR_CASES)
def test_mkls_status_becomes_numpys_floating_point_status(kind, action):
    function, value, _ = ERROR_CASES[kind]
    lib.vmlSetErrStatus(vml.STATUS_ACCURACYWARNING)  # the caller's status, to be kept
    with (
        warnings.catch_warnings(record=True) as caught,
        np.errstate(all="ignore", **{kind: action}),
    ):
        warnings.simplefilter("always")
        if action == "raise":
            with pytest.raises(FloatingPointError, match=function.__name__):
                function(np.array([1.0, value]))
        else:
            function(np.array([1.0, value]))
    assert [w.category for w in caught] == ([RuntimeWarning] if action == "warn" else [])
    assert lib.vmlClearErrStatus() == vml.STATUS_ACCURACYWARNING


def test_float16_results_overflow_as_numpys_own():
    with np.errstate(over="raise"), pytest.raises(FloatingPointError, match="overflow"):
        vml.exp(np.array([20.0], np.float16))  # fine in float32, infinite in float16


def test_flags_a_kernel_raises_without_an_error_are_not_reported():
    # MKL's kernels compare quiet NaNs on the way, which raises the invalid flag.
    with np.errstate(all="raise"):
        np.testing.assert_array_equal(vml.fmax([1.0, np.nan], [np.nan, 2.0]), [1.0, 2.0])
        for name in ("sin", "exp", "sqrt", "ln", "erf", "tanpi"):
            assert np.isnan(vml.UFUNCS[name](np.array([np.nan, 0.25]))[0])
        # A scalar path of the kernel raises invalid in the x87 unit for the exact inf.
        for dtype in (np.float16, np.float32):
            x = np.array([0.5, 0.5, 0.5, np.inf], dtype)
            assert vml.sinh(x)[-1] == vml.cosh(x)[-1] == np.inf


@pytest.mark.parametrize(
    ("name", "a", "b", "kind"),
    [("add", np.inf, -np.inf, "invalid"), ("mul", 1e300, 1e300, "over"),
     ("sub", -1e308, 1e308, "over"), ("div", 1.0, 0.0, "divide")],
)  # fmt: skip
def test_ieee_arithmetic_reports_its_own_flags_as_numpy(name, a, b, kind):
    lib.vmlSetErrStatus(vml.STATUS_ACCURACYWARNING)  # the caller's status, to be kept
    with np.errstate(all="ignore", **{kind: "raise"}), pytest.raises(FloatingPointError):
        vml.UFUNCS[name](np.array([a]), np.array([b]))
    assert lib.vmlClearErrStatus() == vml.STATUS_ACCURACYWARNING


def test_the_callers_mode_status_and_callback_are_unchanged():
    callback = ffi.callback("VMLErrorCallBack", lambda context: 0)
    previous = lib.vmlSetErrorCallBack(callback)
    try:
        before = (lib.vmlGetMode(), lib.vmlGetErrStatus(), lib.vmlGetErrorCallBack())
        with np.errstate(all="ignore"):
            vml.ln(np.array([-1.0, 0.0]))
            vml.ep.exp(np.array([1000.0]))
        assert (lib.vmlGetMode(), lib.vmlGetErrStatus(), lib.vmlGetErrorCallBack()) == before
    finally:
        lib.vmlSetErrorCallBack(previous)


# --- Accuracy. ----------------------------------------------------------------------------


def test_namespaces_fix_the_accuracy_and_the_thread_mode_chooses_for_the_rest(full):
    x = np.linspace(0.1, 50, 1001)
    by_accuracy = {}
    for name in ("HA", "LA", "EP"):
        y = np.empty_like(x)
        full.lib.vmdPow(x.size, ffi_array(full.ffi, x), ffi_array(full.ffi, x),
                        ffi_array(full.ffi, y, True), getattr(vml, name))  # fmt: skip
        by_accuracy[name] = y.tobytes()
    for accuracy in ("HA", "LA", "EP"):
        namespace = getattr(vml, accuracy.lower())
        for thread_accuracy in ("HA", "EP"):
            before = vml.get_mode()
            with vml.mode(getattr(vml, thread_accuracy)):
                assert namespace.pow(x, x).tobytes() == by_accuracy[accuracy]
                assert vml.pow(x, x).tobytes() == by_accuracy[thread_accuracy]
            assert vml.get_mode() == before


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
    [lambda word: vml.mode(word).__enter__(), vml.set_mode],
    ids=["vml.mode", "set_mode"],
)
def test_mode_words_that_would_end_the_process_or_mislead_are_refused(use, word, message):
    before = vml.get_mode()
    with pytest.raises(ValueError, match=message):
        use(word)
    assert vml.get_mode() == before


def run_in_thread(function):
    results = []
    thread = threading.Thread(target=lambda: results.append(function()))
    thread.start()
    thread.join()
    return results[0]


def test_mode_belongs_to_the_calling_thread_and_is_restored_after_an_error():
    def body():
        before = vml.get_mode()
        with pytest.raises(ZeroDivisionError), vml.mode(vml.LA | vml.ERRMODE_IGNORE):
            assert vml.get_mode() & (vml.ACCURACY_MASK | vml.ERRMODE_MASK) == (
                vml.LA | vml.ERRMODE_IGNORE
            )
            assert run_in_thread(vml.get_mode) & vml.ACCURACY_MASK == vml.HA
            1 / 0  # noqa: B018
        return before, vml.get_mode()

    before, restored = run_in_thread(body)
    assert restored == before


@pytest.mark.parametrize("caller_bits", [0, 0x8040], ids=["ftz-daz-off", "ftz-daz-on"])
@pytest.mark.parametrize("denormals", ["FTZDAZ_ON", "FTZDAZ_OFF"])
def test_the_mode_word_and_the_fpus_denormal_bits_are_restored_bit_for_bit(denormals, caller_bits):
    """MKL sets the denormal field back to FTZDAZ_CURRENT by no call of its own."""

    def body():
        word, bits = _ufuncs._thread_state()
        _ufuncs._restore_thread_state((word, caller_bits))  # the caller's MXCSR
        before = _ufuncs._thread_state()
        try:
            with vml.mode(vml.HA | getattr(vml, denormals)):
                inside = vml.get_mode()
                vml.exp(np.array([1e-310, 1.0]))
            return before, inside, _ufuncs._thread_state()
        finally:
            _ufuncs._restore_thread_state((word, bits))

    before, inside, after = run_in_thread(body)
    assert inside & vml.FTZDAZ_MASK == getattr(vml, denormals)
    assert after == before and before[1] == caller_bits


# --- NumPy's own ufuncs on these loops. ---------------------------------------------------


def test_numpy_uses_mkl_switches_numpys_loops_and_restores_them_exactly():
    x = np.linspace(0.1, 3, 1001)
    z = x * (1 - 0.5j)

    def calls():
        return [np.exp(x), np.sqrt(z), np.power(x, 2.5), np.modf(x), np.sin(z), np.power(z, 0j)]

    before = calls()
    with vml.numpy_uses_mkl():
        inside = calls()
        assert flat_bytes(inside[:3]) == flat_bytes([vml.exp(x), vml.sqrt(z), vml.pow(x, 2.5)])
        np.testing.assert_array_equal(inside[3], vml.modf(x))
        # Loops where MKL differs from NumPy on special values stay NumPy's.
        assert flat_bytes(inside[4:]) == flat_bytes(before[4:])
    assert flat_bytes(calls()) == flat_bytes(before)
    assert vml.NUMPY_EQUIVALENTS["power"] == "pow"
    assert "DD->D" in vml.NUMPY_EQUIVALENTS["power"].kept
    assert "dd->d" in vml.NUMPY_EQUIVALENTS["power"].switched


@pytest.mark.parametrize("dtype", [np.float16, np.float32, np.float64, np.complex128])
def test_numpys_sums_and_accumulations_keep_numpys_results_under_the_switch(dtype):
    rng = np.random.default_rng(7)
    x = rng.uniform(0.5, 1.5, 30_011).astype(dtype)
    square = x[:30_000].reshape(100, 300)

    def calls():
        return [np.sum(x), np.prod(x[:40]), np.cumsum(x), np.cumprod(x[:40]), square.sum(axis=0),
                square.sum(axis=1), np.add.accumulate(square, axis=1)]  # fmt: skip

    before = calls()
    with vml.numpy_uses_mkl():
        inside = calls()
        if dtype != np.complex128:
            hypot = np.hypot.reduce(x)  # in blocks on MKL, and no less accurate
    assert flat_bytes(inside) == flat_bytes(before)
    if dtype != np.complex128:
        exact = np.sqrt(np.sum(x.astype(np.longdouble) ** 2))
        slack = 2 * np.finfo(dtype).eps * exact
        assert abs(hypot - exact) <= abs(np.hypot.reduce(x) - exact) + slack


def flat_bytes(results):
    return [a.tobytes() for r in results for a in (r if isinstance(r, tuple) else (r,))]


def test_numpy_uses_mkl_nests_and_is_safe_across_threads():
    x = np.linspace(-3, 3, 101)
    numpy_bits, mkl_bits = np.exp(x).tobytes(), vml.exp(x).tobytes()
    barrier = threading.Barrier(4)
    seen = []

    def worker():
        barrier.wait()
        for _ in range(50):
            with vml.numpy_uses_mkl("exp"):
                seen.append(np.exp(x).tobytes() == mkl_bits)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    with vml.numpy_uses_mkl("exp", "log"), vml.numpy_uses_mkl("exp"):
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert np.exp(x).tobytes() == mkl_bits
    assert all(seen) and np.exp(x).tobytes() == numpy_bits


def test_numpy_uses_mkl_says_what_it_cannot_switch():
    with pytest.raises(ValueError, match=r"no equivalent of np\.remainder"):
        vml.numpy_uses_mkl("remainder")
    with pytest.raises(ValueError, match="no loop for this type signature"):
        _ufuncs.replace_loop(np.conjugate, vml.conj, (12, 12))


# --- Pack and unpack, plain functions. ----------------------------------------------------

PACK_DTYPES = [np.float32, np.float64, np.complex64, np.complex128]


@pytest.mark.parametrize("dtype", PACK_DTYPES, ids=lambda d: np.dtype(d).name)
def test_pack_and_unpack_match_numpy_indexing(dtype):
    a = (np.arange(10) * (1 + 1j if np.dtype(dtype).kind == "c" else 1)).astype(dtype)
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
        (lambda a: vml.packi(a.astype(int), 1), TypeError, "does not accept int64"),
        (lambda a: vml.unpackm(a[:3], [1, 1, 0, 0]), ValueError, "selects 2 places for 3"),
        (lambda a: vml.unpacki(a, 2, out=np.zeros(18)), ValueError, r"shape \(19,\)"),
        (lambda a: vml.unpackv(a[:2], [0, 5], out=np.zeros(5)), IndexError, r"\[0, 5\)"),
        (lambda a: vml.unpackv(a[:2], [0]), ValueError, "2 elements but 1 indices"),
    ],
)
def test_pack_selectors_are_checked_against_the_arrays(call, error, message):
    with pytest.raises(error, match=message):
        call(np.arange(10.0))


# --- NumPy's contract on special values. -------------------------------------------------

FLAG_NAMES = {1: "divide", 2: "over", 8: "invalid"}  # NumPy ignores underflow by default
CHAR_PRECISION = {"e": "e", "f": "s", "d": "d", "F": "c", "D": "z"}
ULPS = {"e": 1, "f": 8, "d": 4, "F": 8, "D": 4}  # MKL's HA error and NumPy's own, together


def numpy_equivalent(name: str, signature: str):
    """NumPy's ufunc computing what vml's computes, with this loop, or None."""
    for numpy_name, vml_name in vml.NUMPY_EQUIVALENTS.items():
        ufunc = getattr(np, numpy_name)
        if vml_name == name and signature in ufunc.types:
            return ufunc
    return None


def kept_by_numpy(name: str, signature: str) -> bool:
    precision = CHAR_PRECISION[signature[0]]
    return any(op == name and precision in ps for op, ps in NUMPY_KEEPS)


def special_inputs(ufunc, signature: str) -> list[np.ndarray]:
    """Every special value, or every pair of a smaller set, in the loop's input dtypes."""
    chars = signature.split("->", maxsplit=1)[0]
    dtype = np.dtype(chars[0])
    if chars[0] in "FD":
        values = complex_specials(dtype)
        if ufunc.nin == 2:  # every pair of a smaller set
            values = values[::3]
            sample = [np.repeat(values, values.size), np.tile(values, values.size)]
        else:
            sample = [values]
    else:
        sample = [specials(dtype)] if ufunc.nin == 1 else special_pairs(dtype)
    if ufunc.nin > 2:  # linearfrac: the four coefficients fixed
        n = sample[0].size
        sample += [np.full(n, c, dtype) for c in LINEAR_FRAC]
    return [a.astype(c) for a, c in zip(sample, chars, strict=False)]


def results_and_flags(function, args):
    seen = set()

    def record(kind, flag):
        seen.update(name for bit, name in FLAG_NAMES.items() if flag & bit)

    with np.errstate(all="call", call=record):
        results = function(*args)
    return (results if isinstance(results, tuple) else (results,)), seen


def alike(a, b, ulps) -> bool:
    """The same special value (NaN, signed infinity or zero), or finite values within ulps."""
    if a.dtype.kind == "c":
        return alike(a.real, b.real, ulps) and alike(a.imag, b.imag, ulps)
    if np.isnan(a) or np.isnan(b):
        return bool(np.isnan(a) and np.isnan(b))
    if not np.isfinite(a) or not np.isfinite(b) or a == 0 or b == 0:
        return bool(a == b and np.signbit(a) == np.signbit(b))
    with np.errstate(over="ignore"):
        return bool(abs(a - b) <= ulps * np.spacing(abs(b)))


ANY = object()  # complex arithmetic on infinities and NaNs may raise invalid or not (C99)


def ieee_flags(inputs, results):
    """The flags IEEE 754 gives: none for a NaN input or an exact result on an infinity,
    invalid for NaN from numbers; None where an infinity from finite inputs is a pole or an
    overflow, which the values alone do not say."""
    finite_in = all(np.isfinite(a) for a in inputs)
    if not finite_in and any(np.iscomplexobj(v) for v in (*inputs, *results)):
        return ANY
    if any(np.isnan(a) for a in inputs):
        return set()
    if any(np.isnan(r) for r in results):
        return {"invalid"}
    if finite_in and not all(np.isfinite(r) for r in results):
        return None
    return set()


SPECIAL_LOOPS = [(name, t) for name, u in vml.UFUNCS.items() for t in u.types]


@pytest.mark.parametrize(("name", "signature"), SPECIAL_LOOPS, ids=lambda v: v)
def test_special_values_give_numpys_results_and_warnings(name, signature):
    """Element by element and as one array: NumPy's results and warnings where NumPy has the
    function (but where the operation records keep NumPy's own loop), and IEEE's warnings
    everywhere."""
    ufunc = vml.UFUNCS[name]
    inputs = special_inputs(ufunc, signature)
    reference = None if kept_by_numpy(name, signature) else numpy_equivalent(name, signature)
    wrong, every_flag = [], set()
    for i in range(inputs[0].size):
        element = [a[i : i + 1] for a in inputs]
        results, flags = results_and_flags(ufunc, element)
        every_flag |= flags
        values, outputs = [a[0] for a in element], [r[0] for r in results]
        expected = ieee_flags(values, outputs)
        if reference is not None:
            numpy_results, numpy_flags = results_and_flags(reference, element)
            if not all(alike(r, n[0], ULPS[signature[0]])
                       for r, n in zip(outputs, numpy_results, strict=True)):  # fmt: skip
                wrong.append((values, outputs, [n[0] for n in numpy_results]))
                continue
            if expected is None or expected is ANY or all(np.isfinite(v) for v in values):
                expected = numpy_flags  # NumPy's kind of error where IEEE's leaves a choice
        if expected is ANY:
            continue
        if flags != expected and not (expected is None and len(flags) == 1):
            wrong.append((values, outputs, sorted(flags), expected))
    assert not wrong, wrong[:8]
    _, together = results_and_flags(ufunc, inputs)
    assert together == every_flag  # no lane of a vector warns what no element does


IN_PLACE_LOOPS = [
    (name, signature)
    for name, signature in SPECIAL_LOOPS
    if vml.UFUNCS[name].nout == 1 and signature[0] == signature[-1]
]


@pytest.mark.parametrize(("name", "signature"), IN_PLACE_LOOPS, ids=lambda v: v)
def test_errors_survive_in_place_strided_and_chunked_calls(name, signature):
    """Every error class of a call is reported, and named, as out of place: however the
    results overwrite the inputs, strided, or in MKL calls of a few elements."""
    ufunc = vml.UFUNCS[name]
    args = special_inputs(ufunc, signature)
    expected = results_and_flags(ufunc, args)

    def in_place(first, *rest):
        first = first.copy()
        return ufunc(first, *rest, out=first)

    def strided(*args):
        return ufunc(*(np.repeat(a, 2)[::2] for a in args))

    def chunked(*args):
        previous = _ufuncs._set_max_count(3)
        try:
            return ufunc(*args)
        finally:
            _ufuncs._set_max_count(previous)

    for way in (in_place, strided, chunked):
        results, flags = results_and_flags(way, args)
        assert (flat_bytes(results), flags) == (flat_bytes(expected[0]), expected[1]), way


def underflows(function, *args) -> bool:
    seen = []
    with np.errstate(all="ignore", under="call", call=lambda kind, flag: seen.append(flag)):
        function(*args)
    return bool(seen)


# (a, b) whose quotient or power is tiny, exact or not, or not tiny at all.
UNDERFLOW_CASES = {
    ("div", "f"): [(1e-30, 1e10), (3e-39, 1), (3e-39, 3), (1.4e-45, 0.5), (1, 1e-5), (0, 1e-30),
                   (1e-30, 1e-5), (1e-30, 1e30)],
    ("div", "d"): [(1e-300, 1e100), (3e-310, 1), (3e-310, 3), (5e-324, 0.5), (1, 1e-5),
                   (0, 1e-300), (1e-300, 1e-10), (1e-300, 1e10)],
    ("pow", "f"): [(0.5, 149), (0.5, 150), (2, -140), (0.1, 100), (0.1, 30), (0.5, 100), (0, 5),
                   (1e-20, 2)],
    ("pow", "d"): [(0.5, 1074), (0.5, 1075), (2, -1070), (0.1, 1000), (0.1, 300), (0.5, 1000),
                   (0, 5), (1e-200, 2)],
}  # fmt: skip


@pytest.mark.parametrize(("name", "char"), UNDERFLOW_CASES, ids=lambda v: v)
def test_underflow_is_reported_where_numpys_computation_reports_it(name, char):
    """As NumPy's own divide and power flag it (IEEE division: tiny and inexact quotients;
    tiny powers as NumPy's power flags them on this CPU), element by element and in a call
    whose last error is another."""
    reference = {"div": np.divide, "pow": np.power}[name]
    a, b = (np.array(column, char) for column in zip(*UNDERFLOW_CASES[name, char], strict=True))
    ours = [underflows(vml.UFUNCS[name], a[i : i + 1], b[i : i + 1]) for i in range(a.size)]
    theirs = [underflows(reference, a[i : i + 1], b[i : i + 1]) for i in range(a.size)]
    assert ours == theirs and any(theirs) and not all(theirs)
    overflowing = b.dtype.type(2 if name == "pow" else 0.5)  # of the largest number
    overflow_last = np.append(a, np.finfo(char).max), np.append(b, overflowing)
    assert underflows(vml.UFUNCS[name], *overflow_last)
