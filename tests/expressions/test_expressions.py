"""quorvex.mkl.evaluate and fuse against NumPy computing the same expression with vml's ufuncs."""

from __future__ import annotations

import ctypes
import os
import pickle
import tracemalloc
import warnings
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quorvex.mkl import (
    _expressions,
    _vml_operations,
    evaluate,
    expressions,
    fuse,
    lib,
    re_evaluate,
    validate,
    vml,
)
from quorvex.mkl.expressions import _calls, _functions, _instructions, _schedule, _typing

RNG = np.random.default_rng(16)
N = 700  # three of the engine's windows, the last one partial
PYTHON = (int, float, complex)
VALUES = {
    "a": RNG.uniform(0.1, 2.0, N),
    "b": RNG.uniform(-2.0, 2.0, N).astype(np.float32),
    "i": RNG.integers(-50, 50, N).astype(np.int32),
    "u": RNG.integers(0, 200, N).astype(np.uint8),
    "z": RNG.uniform(-1, 1, N) + 1j * RNG.uniform(-1, 1, N),
    # every integer kind meets the others; Python's scalars stay weak among themselves
    "h": RNG.integers(-300, 300, N).astype(np.int16),
    "q": RNG.integers(-9, 9, N).astype(np.longlong),
    "w": RNG.integers(0, 2**63, N, dtype=np.uint64),
    "n": 7,
    "p": 0.75,
}
NUMPY_OPERATORS = {"+": np.add, "-": np.subtract, "*": np.multiply, "/": np.true_divide,
                   "//": np.floor_divide, "%": np.remainder, "<": np.less, "==": np.equal,
                   "&": np.bitwise_and}  # fmt: skip


def by_vml(numpy_ufunc, vml_ufunc, x):
    """NumPy's function of x, computed by vml where it has NumPy's loop."""
    chars = "".join(d.char for d in numpy_ufunc.resolve_dtypes((np.asarray(x).dtype, None)))
    in_vml = chars in (t.replace("->", "") for t in vml_ufunc.types)
    return vml_ufunc(x) if in_vml else numpy_ufunc(x)


def power(x, y):
    """``**`` as the engine dispatches it: NumPy's integer power, NumPy's shortcuts for a
    Python scalar exponent (in vml), else vml.powx / vml.pow."""
    if type(x) in PYTHON and type(y) in PYTHON:  # Python computes it
        return x**y
    if np.result_type(x, y).kind in "biu":
        return np.power(x, y)
    if type(y) in (int, float) and y in (2, 0.5, -1, 1) and np.asarray(x).dtype.kind in "fc":
        if y == 1:
            return np.positive(x)
        return by_vml(*SHORTCUTS[y], x)
    return vml.powx(x, y) if type(y) in (int, float) else vml.pow(x, y)


# NumPy's shortcuts of x ** y, computed by vml where it has NumPy's loop.
SHORTCUTS = {2: (np.square, vml.sqr), 0.5: (np.sqrt, vml.sqrt), -1: (np.reciprocal, vml.inv)}
# What a string's function computes: numexpr's names are NumPy's functions (abs keeps ints).
STRING_UFUNCS = {**vml.UFUNCS, "abs": lambda x: by_vml(np.absolute, vml.abs, x)}

# Random expression trees: (text, what computes NumPy's value), computed in the test.
leaves = st.sampled_from(sorted(VALUES)).map(lambda n: (n, lambda: VALUES[n])) | st.sampled_from(
    [2, -3, 0.5, 1.25, 2.0]
).map(lambda c: (f"({c!r})", lambda: c))
REFUSALS = (TypeError, ValueError, OverflowError, ZeroDivisionError)


def binary(op, x, y):
    if type(x) in PYTHON and type(y) in PYTHON:  # Python computes these
        return eval(f"x {op} y", {"x": x, "y": y})
    return NUMPY_OPERATORS[op](x, y)


def combine(children):
    return (
        st.tuples(st.sampled_from(sorted(NUMPY_OPERATORS)), children, children).map(
            lambda t: (f"({t[1][0]} {t[0]} {t[2][0]})", lambda: binary(t[0], t[1][1](), t[2][1]()))
        )
        | st.tuples(st.sampled_from(["sin", "exp", "sqrt", "abs", "atan", "ln"]), children).map(
            lambda t: (f"{t[0]}({t[1][0]})", lambda: STRING_UFUNCS[t[0]](t[1][1]()))
        )
        | st.tuples(children, st.sampled_from([2, 3, 0.5, 1.5])).map(
            lambda t: (f"({t[0][0]} ** {t[1]})", lambda: power(t[0][1](), t[1]))
        )
        | st.tuples(children, children, children).map(
            lambda t: (
                f"where({t[0][0]} < 1, {t[1][0]}, {t[2][0]})",
                lambda: np.where(binary("<", t[0][1](), 1), t[1][1](), t[2][1]()),
            )
        )
    )


def floating_point_errors() -> tuple[set[str], np.errstate]:
    """The kinds of floating-point error reported, and the state that reports them there."""
    found: set[str] = set()
    return found, np.errstate(all="call", call=lambda kind, flag: found.add(kind))


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.recursive(leaves, combine, max_leaves=8))
def test_random_expressions_equal_numpy_with_vml_ufuncs(tree):
    """Dtypes, values, refusals and the kinds of floating-point error of the chain of NumPy
    and vml calls, over arrays of every integer kind, floats and Python's scalars."""
    text, compute = tree
    want_raised, reporting = floating_point_errors()
    with reporting:
        try:
            want = np.asarray(compute())
        except REFUSALS:  # NumPy (or Python) refuses it: float & int, uint8 * -3, ...
            with pytest.raises(REFUSALS):  # (of two faults, Python's own may come first)
                evaluate(text, VALUES)
            return
    if want.dtype.kind == "O":  # a Python int beyond uint64: no dtype of the engine's
        with pytest.raises(TypeError, match="dtype object"):
            evaluate(text, VALUES)
        return
    raised, reporting = floating_point_errors()
    with reporting:
        got = evaluate(text, VALUES)
    previous = expressions.set_block_size(300)  # blocks that end inside windows
    try:
        with np.errstate(all="ignore"):
            in_blocks = evaluate(text, VALUES, threads=2)
    finally:
        expressions.set_block_size(previous)
    assert got.dtype == want.dtype, text
    np.testing.assert_array_equal(got, np.broadcast_to(want, got.shape), err_msg=text)
    np.testing.assert_array_equal(in_blocks, got, err_msg=text)
    assert raised == want_raised, text


def arguments_for(u: np.ufunc) -> dict[str, np.ndarray]:
    x = np.linspace(0.05, 0.95, 37)
    # Contiguous: MKL's strided forms, which the ufuncs call on views, differ in last bits.
    return {f"x{k}": x[::-1].copy() if k % 2 else x for k in range(u.nin)}


@pytest.mark.parametrize("name", [n for n in _vml_operations.OPERATIONS if n in vml.UFUNCS])
def test_every_vml_function_by_its_name(name):
    u = vml.UFUNCS[name]
    values = arguments_for(u)
    call = f"{name}({', '.join(values)})"
    if u.nout != 1:
        with pytest.raises(ValueError, match="several results"):
            evaluate(call, values)
        results = fuse(u)(*values.values())
        for got, want in zip(results, u(*values.values()), strict=True):
            np.testing.assert_array_equal(got, want)
        return
    with np.errstate(all="ignore"):
        np.testing.assert_array_equal(evaluate(call, values), u(*values.values()))
        np.testing.assert_array_equal(
            evaluate(call, values, accuracy="ep"), getattr(vml.ep, name)(*values.values())
        )


@pytest.mark.parametrize("name", _functions.NUMEXPR_FUNCTIONS)
def test_numexpr_functions_compute_what_numpy_does(name):
    # (round on floats is rint, a ufunc)
    numpy_function = getattr(np, {**_functions.NUMPY_NAMES, "round": "rint"}.get(name, name))
    values = arguments_for(numpy_function)
    with np.errstate(invalid="ignore"):  # arccosh of numbers below 1
        got = evaluate(f"{name}({', '.join(values)})", values)
        want = numpy_function(*values.values())
    assert got.dtype == want.dtype
    if want.dtype.kind == "f":  # vml's and NumPy's differ in the last bit at most
        np.testing.assert_allclose(got, want, rtol=4e-16, atol=0)
    else:
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("name", ["log1p", "log2", "expm1", "round", "sign", "abs", "sqrt"])
@pytest.mark.parametrize("dtype", ["int32", "int64", "float32", "complex128"])
def test_numexpr_functions_type_as_numpy_on_every_kind(name, dtype):
    x = (np.arange(-3, 4) * (1 if dtype[0] == "i" else 0.75)).astype(dtype)
    numpy_function = {"round": np.round, "abs": np.absolute}.get(name) or getattr(np, name)
    with np.errstate(all="ignore"):
        want, got = numpy_function(x), evaluate(f"{name}(x)")
    assert got.dtype == want.dtype
    np.testing.assert_allclose(got, want, rtol=1e-15)


def test_own_functions_and_literals():
    a, z = VALUES["a"], VALUES["z"]
    np.testing.assert_array_equal(evaluate("real(z) + imag(z) + z.real"), z.real * 2 + z.imag)
    np.testing.assert_array_equal(evaluate("complex(a, 2*a)"), a + 1j * (2 * a))
    np.testing.assert_array_equal(evaluate("ones_like(a) + copy(a) + 1e-3j"), 1 + a + 1e-3j)
    assert evaluate("complex(b, b)", VALUES).dtype == np.complex64
    result = evaluate("2 + 3")  # numexpr gives 0-d arrays
    assert isinstance(result, np.ndarray) and result.shape == () and result == 5
    np.testing.assert_allclose(evaluate("sum(a * 2)"), np.sum(a * 2))
    x = np.arange(12.0).reshape(3, 4)
    np.testing.assert_array_equal(evaluate("prod(x + 1, axis=1)"), np.prod(x + 1, axis=1))
    np.testing.assert_array_equal(evaluate("max(x, 0)"), x.max(axis=0))


@pytest.mark.parametrize(
    ("text", "values"),
    [
        ("x + 1", {"x": np.arange(3, dtype=np.int8)}),  # NEP 50: int8
        ("x * 2.5", {"x": np.ones(3, np.float32)}),  # float32
        ("x * s", {"x": np.ones(3, np.float32), "s": 2.5}),  # a Python float variable is weak
        ("x * s", {"x": np.ones(3, np.float32), "s": np.float64(2.5)}),  # NumPy's is not
        ("x / y", {"x": np.arange(3, dtype=np.int16), "y": np.int16(2)}),  # true division
        ("x - 1", {"x": np.arange(3, dtype=np.uint8)}),  # wraps
        ("x * x * x", {"x": np.full(3, 40, np.int8)}),  # wraps
        ("x ** y", {"x": np.arange(5, dtype=np.int64), "y": np.arange(5, dtype=np.uint8)}),
        ("(x * 1.01) * x * x", {"x": np.linspace(1, 60, 5).astype(np.float16)}),  # rounds
        ("x // y + x % y", {"x": np.arange(-4, 4), "y": np.array([3, -3, 2, 0, 5, 0, -1, 7])}),
        ("exp(x)", {"x": np.arange(3, dtype=np.int8)}),  # vml's loops: float16
        ("abs(z) + x", {"z": np.array([3 + 4j], np.complex64), "x": np.ones(2)}),
        ("where(x > 1, x, 0.5)", {"x": np.arange(4, dtype=np.float32)}),
        ("x < y", {"x": np.arange(4.0), "y": np.float32(2)}),
    ],
)
def test_dtypes_and_values_are_numpys(text, values):
    namespace = {"exp": vml.exp, "abs": vml.abs, "where": np.where}
    with np.errstate(all="ignore"):
        got = evaluate(text, values)
        want = np.asarray(eval(text, namespace, dict(values)))  # the reference, not the engine
    if "**" in text:
        want = np.power(values["x"], values["y"])
    assert got.dtype == want.dtype
    np.testing.assert_array_equal(got, want)


SPECIAL = [0.0, -0.0, 1.0, -1.0, np.inf, -np.inf, np.nan, 3.0, 1e-310, 1e300, -1e300, 0.1]


ARITHMETIC = ["x*y + z", "z + x*y", "x*y - z", "z - x*y", "2.5*x - z", "x*2.5 + 1.5", "z - 3*x",
              "-x / y", "1 / x - y", "(x*y + 1) * z - x", "where(x < y, x, z)",
              "where(x >= 0.5, 2, x)", "where(x != y, y, x)", "where(x == z, x, 1.5)",
              "where(x <= y, y, z)", "where(x > y, x, y)"]  # fmt: skip


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("text", ARITHMETIC)
def test_arithmetic_on_special_values_is_numpys_to_the_bit_and_the_warning(text, dtype):
    """The engine's own arithmetic, its multiply-adds and its selections by a comparison
    against NumPy's operators."""
    with np.errstate(all="ignore"):
        x = np.array(SPECIAL * 12, dtype)
        names = {"x": x, "y": np.roll(x, 5), "z": np.roll(x, 7)}

    def warned(compute):
        with warnings.catch_warnings(record=True) as caught, np.errstate(all="warn"):
            warnings.simplefilter("always")
            value = compute()
        return value, {str(w.message).split(" encountered")[0] for w in caught}

    got, got_warnings = warned(lambda: evaluate(text, names))
    want, want_warnings = warned(lambda: eval(text, {"where": np.where}, dict(names)))  # NumPy
    assert got.dtype == want.dtype
    np.testing.assert_array_equal(got.view(f"u{got.itemsize}"), want.view(f"u{want.itemsize}"))
    assert got_warnings == want_warnings


def test_floating_point_errors_reach_errstate_once():
    x = np.array([1.0, 0.0, -1.0] * 5000)  # noqa: F841  (evaluate reads the caller's names)
    with np.errstate(divide="raise"), pytest.raises(FloatingPointError, match="divide by zero"):
        evaluate("1 / x", threads=2)
    with (
        np.errstate(invalid="raise", divide="ignore"),
        pytest.raises(FloatingPointError, match="invalid"),
    ):
        evaluate("log(x) + 1")
    with np.errstate(all="raise"):
        evaluate("where(x > 0, x, 0) < 2")  # comparisons with NaN-free data: quiet
    with pytest.warns(RuntimeWarning, match="divide by zero"):
        evaluate("i // 0", {"i": np.arange(3)})


# NumPy's loops that clear the flags of what came before them (the engine collects first).
FLAG_CLEARING = ["x > 0", "x == x", "isnan(x)", "isinf(x)", "isfinite(x)", "signbit(x)",
                 "sign(x)", "maximum(x, 0)", "minimum(x, 1)", "exp(x*800)", "x**1.5"]  # fmt: skip


@pytest.mark.parametrize("other", FLAG_CLEARING)
def test_no_instruction_drops_the_flags_of_those_before_it(other):
    x = np.array([2.0, 0.0, -1.0, np.nan] * 20_000)
    text = f"where({other}, log(x), 1 / x)"
    namespace = {"log": np.log, "isnan": np.isnan, "isinf": np.isinf, "isfinite": np.isfinite,
                 "signbit": np.signbit, "sign": np.sign, "maximum": np.maximum,
                 "minimum": np.minimum, "exp": np.exp, "where": np.where}  # fmt: skip
    want, reporting = floating_point_errors()
    with reporting:
        eval(text, namespace, {"x": x})
    for threads in (1, 2):
        got, reporting = floating_point_errors()
        with reporting:
            evaluate(text, threads=threads)
        assert got == want


@pytest.mark.parametrize("threads", [1, 2, 3, 4])
def test_an_error_in_any_block_on_any_thread_reaches_the_caller(threads, monkeypatch):
    """Integers to a negative power, in one random block: the engine's own loop, and NumPy's,
    which raises from inside its loop on whichever thread runs it."""
    rng = np.random.default_rng(threads)
    base, exponent = np.full(300_000, 3), np.full(300_000, 2)
    exponent[rng.integers(0, exponent.size)] = -1
    out = np.zeros(base.size, np.int64)
    fused = fuse(lambda a, b: a**b, threads=threads)
    for _ in range(5):
        with pytest.raises(ValueError, match="negative integer powers"):
            evaluate("base ** exponent", out=out, threads=threads)
        with pytest.raises(ValueError, match="negative integer powers"):
            fused(base, exponent)
    monkeypatch.setattr(  # NumPy's loop: it leaves the rest of its block unwritten
        _typing.Compiler,
        "_integer_power",
        lambda self, a, b, r: self.call_ufunc("numpy.power", [a, b])[0],
    )
    _calls.program.cache_clear()
    for _ in range(5):
        with pytest.raises(ValueError, match="negative integer powers"):
            fuse(lambda a, b: a**b, threads=threads)(base, exponent)
    monkeypatch.undo()
    _calls.program.cache_clear()
    np.testing.assert_array_equal(evaluate("base ** 2", threads=threads), base**2)


I8 = np.array([-100, 0, 120], np.int8)
TYPING = [  # NumPy's chain of the same code: Python computes what its scalars meet alone
    ("f + s*2", {"s": 0.1}, np.float32(1) + 0.1 * 2),
    ("f * (s ** -1)", {"s": 4}, np.float32(1) * 4**-1),
    ("I8 + k*2", {"k": 100}, OverflowError),
    ("I8 + (k + k)", {"k": 100}, OverflowError),
    ("I8 < k", {"k": 1000}, I8 < 1000),  # a Python int beyond int8, compared as a number
    ("I8 >= k", {"k": -(2**70)}, I8 >= -(2**70)),
    ("U8 > k", {"k": -1}, np.arange(3, dtype=np.uint8) > -1),
    ("s > t", {"s": 3, "t": 4}, np.False_),
    ("~(s > t) & (I8 > 0)", {"s": 3, "t": 4}, I8 > 0),
    ("I8 + 10**100", {}, OverflowError),
    ("f + 2**4000", {}, OverflowError),
    ("I8 + 2**4000", {}, OverflowError),
    ("(s // t) + I8", {"s": 1, "t": 0}, ZeroDivisionError),
]


@pytest.mark.parametrize(("text", "names", "want"), TYPING)
def test_python_scalars_stay_weak_among_themselves(text, names, want):
    values = {"f": np.ones(3, np.float32), "I8": I8, "U8": np.arange(3, dtype=np.uint8), **names}
    if isinstance(want, type):
        with pytest.raises(want):
            evaluate(text, values)
        with pytest.raises(want):
            fuse(lambda *args: eval(text, {}, dict(zip(values, args, strict=True))))(
                *values.values()
            )
        return
    for got in (
        evaluate(text, values),
        fuse(lambda *args: eval(text, {}, dict(zip(values, args, strict=True))))(*values.values()),
    ):
        assert got.dtype == np.asarray(want).dtype, text
        np.testing.assert_array_equal(got, want)


INTEGERS = "bBhHiIlLqQ"


@pytest.mark.parametrize("left", INTEGERS)
def test_every_pair_of_integer_kinds_computes_as_numpys(left):
    """Including int64 against uint64, and long against long long: equal dtypes of two type
    numbers, which a program's cache tells apart."""
    x = np.array([0, 1, 100, 127], dtype=left)
    for right in INTEGERS:
        y = np.array([1, 0, 100, 3], dtype=right)
        larger = lambda x, y: np.where(x > y, x, y)  # noqa: E731
        for text, numpy in (("x < y", np.less), ("x == y", np.equal), ("x + y", np.add),
                            ("where(x > y, x, y)", larger)):  # fmt: skip
            got, want = evaluate(text), numpy(x, y)
            assert got.dtype == want.dtype and got.dtype.char == want.dtype.char, (text, right)
            np.testing.assert_array_equal(got, want)


def test_threads_fit_the_machine_and_are_checked():
    x = np.linspace(0, 1, 2_000_000)
    tasks = Path("/proc/self/task")
    before = len(list(tasks.iterdir()))
    evaluate("exp(x)", threads=10**6)
    evaluate("exp(x)", threads=2**40)
    assert len(list(tasks.iterdir())) < before + len(os.sched_getaffinity(0))
    np.testing.assert_array_equal(evaluate("x * 2", threads=np.int64(2)), x * 2)
    for bad in (0, -1, 1.5, True, "2", 2.0):
        with pytest.raises(ValueError, match="threads must be a positive integer"):
            evaluate("x * 2", threads=bad)
        with pytest.raises(ValueError, match="threads must be a positive integer"):
            fuse(np.sin, threads=bad)


INTERRUPTED = """
import os, signal, threading, numpy as np
from quorvex.mkl import evaluate, vml
x = np.linspace(0.1, 0.9, 4_000_000)
out = np.full_like(x, -7.0)
mode = vml.get_mode()
long = " + ".join(f"erfinv(x * {k} / 100)" for k in range(1, 200))  # tens of seconds
threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
try:
    evaluate(long, out=out, threads=2)
except KeyboardInterrupt:
    print("interrupted", (out == -7.0).any(), vml.get_mode() == mode)
print(np.array_equal(evaluate("x * 2", threads=2), x * 2))
"""


def test_ctrl_c_stops_a_long_evaluation_between_blocks():
    import subprocess
    import sys

    done = subprocess.run([sys.executable, "-c", INTERRUPTED], capture_output=True, text=True,
                          timeout=600, check=True)  # fmt: skip
    # Stopped part way (blocks left unwritten), MKL as before, the workers ready.
    assert done.stdout.split() == ["interrupted", "True", "True", "True"], done.stderr


def mkl_state():
    from quorvex.mkl._mkl_rt import loaded_mkl_rt

    mkl = loaded_mkl_rt()
    mkl.MKL_Get_Max_Threads.restype = ctypes.c_int
    return mkl.MKL_Get_Max_Threads(), vml.get_mode(), lib.vmlGetErrStatus()


BAD_INPUT = [
    ("a +", {}, SyntaxError, "line 1"),
    ("a + missing", {}, KeyError, "missing"),
    ("a + o", {"o": np.array([object()] * N)}, TypeError, "dtype object"),
    ("a + s", {"s": np.array(["x"] * N)}, TypeError, "strings"),
    ("a + t", {"t": np.arange(N).astype("M8[s]")}, TypeError, "datetime64"),
    ("a + c", {"c": np.ones(3)}, ValueError, "broadcast"),
    ("x + 1000", {"x": np.ones(3, np.int8)}, OverflowError, "out of bounds"),
    ("i ** -1", {}, ValueError, "negative integer powers"),
    ("i ** k", {"k": np.full(N, -2)}, ValueError, "negative integer powers"),
    ("-" * 100_000 + "a", {}, ValueError, "nested too deeply"),
    ("9 ** 9 ** 9 + i", {}, OverflowError, "too large"),  # refused before Python computes it
]


@pytest.mark.parametrize(("text", "extra", "error", "match"), BAD_INPUT)
def test_bad_input_is_refused_and_changes_nothing(text, extra, error, match):
    before = mkl_state()
    out = np.full(N, 7.0)
    with pytest.raises(error, match=match):
        evaluate(text, {**VALUES, **extra}, out=out if error is not OverflowError else None)
    assert mkl_state() == before
    if error is not ValueError or "power" not in match:
        assert (out == 7.0).all()
    if error is not ValueError:  # found before anything runs
        assert isinstance(validate(text, {**VALUES, **extra}), error)


@pytest.mark.parametrize(
    ("out", "casting", "error"),
    [
        (np.empty(N, np.float32), "safe", TypeError),  # NumPy's casting rule
        (np.empty(N + 1), "safe", ValueError),  # shape
        (np.empty((N, 1)), "safe", ValueError),  # NumPy would broadcast the input to it
        (np.broadcast_to(np.empty(1), (N,)), "safe", ValueError),  # read-only
    ],
)
def test_out_that_numpy_refuses(out, casting, error):
    with pytest.raises(error):
        evaluate("a * 2", VALUES, out=out, casting=casting)


def test_out_with_casting_strides_and_order():
    a = VALUES["a"]
    out = np.zeros((2, N), np.float32)[:, ::1]
    evaluate("a * 2", VALUES, out=out[1], casting="same_kind")
    np.testing.assert_array_equal(out[1], (a * 2).astype(np.float32))
    f = np.asfortranarray(np.arange(12.0).reshape(3, 4))  # noqa: F841
    assert evaluate("f * 2").flags.f_contiguous and evaluate("f * 2", order="C").flags.c_contiguous
    b = np.arange(10.0)
    evaluate("sin(b) + 1", out=b)  # in place, as np.add(b, 1, out=b)
    np.testing.assert_array_equal(b, vml.sin(np.arange(10.0)) + 1)


@pytest.mark.parametrize("layout", ["contiguous", "strided", "broadcast", "cast"])
def test_results_are_the_same_for_any_thread_count(layout):
    x = np.linspace(-3, 3, 50_001)
    y = {"contiguous": x[::-1].copy(), "strided": np.linspace(0, 1, 150_003)[::3],
         "broadcast": np.float64(0.25), "cast": x.astype(np.float32)}[layout]  # fmt: skip
    previous = expressions.set_block_size(512)
    try:
        values = {"x": x, "y": y}
        results = [evaluate("cdfnorm(x) * erf(y) + x / 3", values, threads=t) for t in (1, 2, 3, 5)]
    finally:
        expressions.set_block_size(previous)
    for result in results[1:]:
        np.testing.assert_array_equal(result, results[0])
    np.testing.assert_array_equal(results[0], vml.cdfnorm(x) * vml.erf(y) + x / 3)
    assert expressions.set_block_size(None) == previous


def last_cache_size() -> int:
    """The L3's size as the kernel describes it (glibc's sysconf may report ten times it)."""
    for index in Path("/sys/devices/system/cpu/cpu0/cache").glob("index*"):
        if (index / "level").read_text().strip() == "3":
            size = (index / "size").read_text().strip()
            return int(size.rstrip("KM")) << {"K": 10, "M": 20}.get(size[-1], 0)
    name = "SC_LEVEL3_CACHE_SIZE"
    return (os.sysconf(name) if name in os.sysconf_names else 0) or 32 << 20


def test_results_beyond_the_last_cache_bypass_it_with_the_same_values():
    n = last_cache_size() // 4 + 1001
    x = np.linspace(-2, 2, n, dtype=np.float32)
    r, s = fuse(lambda x: (2 * x + 1, vml.exp(x) * x - 3))(x)
    np.testing.assert_array_equal(r, 2 * x + 1)
    np.testing.assert_array_equal(s, vml.exp(x) * x - 3)
    out = np.empty(n + 1, np.float32)[1:]  # not 16-byte aligned
    evaluate("x * 0.5 - x", out=out)
    np.testing.assert_array_equal(out, x * np.float32(0.5) - x)
    evaluate("x * 0.5 - x", out=x)  # in place
    np.testing.assert_array_equal(x, out)


RULES = {  # how each of the engine's type rules relates operand dtypes, the result's last
    "converts": lambda t: t[0] != t[1] and (np.can_cast(t[0], t[1]) or t[1] == np.bool_),
    "keeps": lambda t: t[0] == t[1],
    "selects": lambda t: t[0] == np.bool_ and t[1] == t[2] == t[3],
    "takes_part": lambda t: t[0].kind == "c" and np.dtype(t[0].char.lower()) == t[1],
    "joins_parts": lambda t: t[0] == t[1] and np.dtype(t[0].char.upper()) == t[2],
    "integer": lambda t: t[0].kind in "iu" and t[0] == t[1] == t[2],
}


def test_the_compiler_emits_every_engine_instruction_by_its_table(monkeypatch):
    """The two sides agree: each instruction the compiler emits is one of the engine's, with
    the operands its table says, of types its rule allows; and the compiler emits them all."""
    emitted = []
    lay_out = _schedule.lay_out
    monkeypatch.setattr(
        _schedule,
        "lay_out",
        lambda regs, code, once: emitted.append((regs, code)) or lay_out(regs, code, once),
    )
    _calls.program.cache_clear()
    values = {**VALUES, "f": VALUES["b"].astype(np.float16)}
    evaluate("where(i > 0, real(z) + i, imag(z)) + copy(a) + abs(complex(b, b)) + i ** 3", values)
    evaluate("a ** 1 + f", values)
    seen = set()
    for registers, code in emitted:
        for native in (i for i in code if isinstance(i, _instructions.Native)):
            assert _instructions.OPS[native.op.name] == native.op
            assert len(native.operands) == native.op.reads + 1
            assert RULES[native.op.rule]([registers[r].dtype for r in native.operands]), native
            seen.add(native.op.name)
    assert seen == set(_instructions.OPS)
    assert [role.name for role in _instructions.Role] == list(_expressions.register_roles)
    _calls.program.cache_clear()


def test_windowable_instructions_gather_between_mkl_calls(monkeypatch):
    """Black-Scholes's arithmetic runs in three passes between MKL's calls, as one would write
    it by hand, with the values of the order it was written in, to the bit."""
    s, k, t = RNG.uniform(50, 150, N), RNG.uniform(40, 160, N), RNG.uniform(0.25, 2, N)
    d1 = "(log(s / k) + (r + 0.5 * v**2) * t) / (v * sqrt(t))"
    text = f"s * cdfnorm({d1}) - k * exp(-r * t) * cdfnorm({d1} - v * sqrt(t))"
    names = {"s": s, "k": k, "t": t, "r": 0.02, "v": 0.3}
    laid = []
    wire = _schedule.wire
    monkeypatch.setattr(_schedule, "wire", lambda *rows: laid.append(rows[2]) or wire(*rows))
    _calls.program.cache_clear()
    grouped = evaluate(text, names)
    runs = "".join("c" if _instructions.windowable(i) else "M" for i in laid[-1])
    assert [len(run) for run in runs.split("M") if run] == [2, 5, 4], runs
    monkeypatch.setattr(_schedule, "group_windowable", lambda code: code)
    _calls.program.cache_clear()
    try:
        np.testing.assert_array_equal(grouped, evaluate(text, names))
    finally:
        _calls.program.cache_clear()


def test_no_full_size_temporaries():
    x = np.linspace(0, 1, 2_000_000)  # noqa: F841
    evaluate("exp(-x**2/2) * sin(x)**2 + cos(x)**2")
    tracemalloc.start()
    try:
        result = evaluate("exp(-x**2/2) * sin(x)**2 + cos(x)**2")
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < result.nbytes * 1.05


REFUSED = [
    ("a.__class__", "attribute access"),
    ("a.shape", "attribute access"),
    ("a[0]", "subscripts"),
    ("(lambda: 1)()", "lambdas"),
    ("[x for x in a]", "comprehensions"),
    ("__import__('os')", "dunder|not one of the functions"),
    ("__builtins__", "dunder"),
    ("open('f')", "not one of the functions"),
    ("a.real.__class__", "attribute access"),
    ("sum(a) + 1", "sum"),
    ("a and b", "'and'"),
    ("a if b else 1", "conditional"),
    ("1 < a < 2", "chained"),
    ("sin(a, out=b)", "keyword"),
]


@pytest.mark.parametrize(("text", "what"), REFUSED)
def test_refused_strings_name_what_was_refused(text, what):
    with pytest.raises(ValueError, match=what):
        evaluate(text, VALUES)


def test_numexpr_keywords_validate_and_re_evaluate():
    a = VALUES["a"]
    np.testing.assert_array_equal(
        evaluate("a / 2", optimization="aggressive", truediv=True, sanitize=False), a / 2
    )
    with pytest.raises(TypeError, match="unexpected keyword"):
        evaluate("a", spam=1)
    assert validate("2 * a") is None
    a = np.arange(3.0)  # re_evaluate takes the names' values now
    np.testing.assert_array_equal(re_evaluate(), [0.0, 2.0, 4.0])


def test_fuse_traces_once_per_signature_and_refuses_what_is_not_elementwise():
    calls = []

    @fuse
    def black_scholes(s, k, t, r=0.02, v=0.3):
        calls.append(1)
        sq = vml.sqrt(t)
        d1 = (vml.ln(s / k) + (r + v * v / 2) * t) / (v * sq)
        return s * vml.cdfnorm(d1) - k * np.exp(-r * t) * vml.cdfnorm(d1 - v * sq), d1

    s, k, t = RNG.uniform(5, 30, (3, 1000))
    price, d1 = black_scholes(s, k, t)
    black_scholes(s * 2, k, t)
    assert len(calls) == 1
    black_scholes(s.astype(np.float32), k, t)  # another signature
    assert len(calls) == 2
    want = black_scholes.__wrapped__(s, k, t)
    np.testing.assert_array_equal(price, want[0])
    np.testing.assert_array_equal(d1, want[1])
    scaled = fuse(lambda x, k=1.0: x * k)  # a trace per keyword value, the latest kept
    for k in range(scaled.TRACES_LIMIT + 10):
        scaled(s, k=float(k))
    assert scaled._traced.cache_info().currsize == scaled.TRACES_LIMIT
    for body, what in [
        (lambda x: x.sum(), ".sum"),
        (np.add.reduce, "add.reduce"),
        (lambda x: x[1:], "indexing"),
        (np.sort, "np.sort"),
        (lambda x: x if x > 0 else -x, "branch on values"),
        (lambda x: x + np.ones(3), "passed as an argument"),
    ]:
        with pytest.raises(TypeError, match=what):
            fuse(body)(s)


def test_dask_stays_lazy_one_task_per_chunk_with_the_program_as_text():
    da = pytest.importorskip("dask.array")
    x = da.from_array(VALUES["a"].repeat(10), chunks=100)
    y = np.float64(3.0)
    lazy = evaluate("cdfnorm(x) * y + 1")
    layer = lazy.__dask_graph__().layers[lazy.name]
    assert len(layer) == x.npartitions
    assert b"cdfnorm(x) * y + 1" in pickle.dumps(dict(layer))
    np.testing.assert_array_equal(
        lazy.compute(scheduler="sync"), evaluate("cdfnorm(x) * y + 1", {"x": x.compute(), "y": y})
    )
    np.testing.assert_allclose(evaluate("sum(x * 2)").compute(), (x * 2).sum().compute())
    for refused in ({"order": "Q"}, {"casting": "bogus"}, {"threads": 0}):
        with pytest.raises(ValueError):  # now, not in a task
            evaluate("x * 2", **refused)
    honoured = evaluate("x * 2", order="F", casting="same_kind", threads=2)
    np.testing.assert_array_equal(honoured.compute(), x.compute() * 2)
    both = fuse(lambda p, q: (vml.exp(p) + q, p * q))(x, x.T)
    assert all(isinstance(b, da.Array) for b in both)
    np.testing.assert_array_equal(both[1].compute(), (x * x).compute())
