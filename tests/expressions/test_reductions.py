"""Reductions around an expression, fused into the engine, against NumPy's."""

import warnings

import numpy as np
import pytest

from quorvex.mkl import evaluate, expressions

NUMPY = {"sum": np.sum, "prod": np.prod, "min": np.min, "max": np.max, "any": np.any,
         "all": np.all}  # fmt: skip
DTYPES = ["bool", "int8", "uint16", "int32", "int64", "uint64", "float32", "float64"]


def values(dtype, n=5000):
    x = np.random.default_rng(7).standard_normal(n) * 3
    return (x > 0) if dtype == "bool" else (1 + x / 8 if dtype[0] == "f" else x).astype(dtype)


@pytest.mark.parametrize("name", NUMPY)
@pytest.mark.parametrize("dtype", DTYPES)
def test_every_reduction_of_every_dtype_as_numpy(name, dtype):
    x = values(dtype)
    for layout in (x, x[::3]):  # in blocks directly, and through NumPy's iterator
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # no stray floating-point warning
            got = evaluate(f"{name}(x)", {"x": layout})
        want = NUMPY[name](layout)
        assert type(got) is type(want)
        np.testing.assert_allclose(got, want, rtol=2e-6 if dtype == "float32" else 1e-13)


@pytest.mark.parametrize("name", NUMPY)
def test_the_same_bits_on_any_number_of_threads(name):
    ab = {"a": values("float64", 100_003), "b": values("float64", 100_003)[::-1]}
    previous = expressions.set_block_size(1000)
    try:
        results = {evaluate(f"{name}(a * b - 1)", ab, threads=t).tobytes() for t in (1, 2, 8)}
    finally:
        expressions.set_block_size(previous)
    assert len(results) == 1


@pytest.mark.parametrize("name", NUMPY)
@pytest.mark.parametrize("axis", [0, 1, 2, -1])
def test_reductions_along_an_axis_as_numpy(name, axis):
    rng = np.random.default_rng(3)
    x, v = 1 + rng.random((9, 130, 121)) / 8, rng.random(121)  # on two threads
    names = {"x": x, "f": np.asfortranarray(x), "v": v}
    want = NUMPY[name](x * v - 1, axis=axis)
    previous = expressions.set_block_size(1000)  # groups across blocks, blocks across groups
    try:
        for ex in (f"{name}(x * v - 1, axis={axis})", f"{name}(f * v - 1, {axis})"):
            results = [evaluate(ex, names, threads=t) for t in (1, 2)]
            assert results[0].tobytes() == results[1].tobytes()
            np.testing.assert_allclose(results[0], want, rtol=1e-13)
    finally:
        expressions.set_block_size(previous)


@pytest.mark.parametrize("name", ["sum", "prod", "min", "max"])
@pytest.mark.parametrize("dtype", ["float32", "float64"])
@pytest.mark.parametrize("axis", [None, 0, -1])
def test_products_reduced_as_made_give_the_stored_products_bits(name, dtype, axis):
    rng = np.random.default_rng(11)
    a, b = (rng.uniform(0.5, 1.5, (130, 121)).astype(dtype) for _ in "ab")
    a[3, 7] = np.nan
    previous = expressions.set_block_size(1000)  # products across blocks and groups
    try:
        for x, y in ((a, b), (a[:, ::2], b[::-1, ::2])):  # in place, and through the iterator
            for ex, p in (("x * y", x * y), ("(x + 1) * (y - 1)", (x + 1) * (y - 1))):
                made = evaluate(f"{name}({ex}, axis={axis})", {"x": x, "y": y}, threads=2)
                like_x = np.empty_like(a)[:, :: x.strides[1] // x.itemsize]  # chunked as x is
                like_x[...] = p
                stored = evaluate(f"{name}(p, axis={axis})", {"p": like_x}, threads=1)
                assert made.tobytes() == stored.tobytes()
    finally:
        expressions.set_block_size(previous)


def test_empty_nan_and_out_as_numpy():
    e, n = {"x": np.empty(0)}, {"x": np.array([1.0, np.nan, 3.0])}
    identities = [evaluate(f"{r}(x)", e) for r in ("sum", "prod", "any", "all")]
    assert identities == [0.0, 1.0, False, True]
    for name in ("min", "max"):
        with pytest.raises(ValueError, match="zero-size array to reduction operation"):
            evaluate(f"{name}(x)", e)
        assert np.isnan(evaluate(f"{name}(x * 2)", n))
    out = np.zeros((), np.float32)
    assert evaluate("sum(x + 1)", {"x": np.ones(4)}, out=out, casting="same_kind") is out
    assert out == 8
    m = {"m": np.empty((0, 3))}
    assert evaluate("sum(m * 2, axis=0)", m).tolist() == [0.0] * 3
    assert evaluate("max(m * 2, axis=1)", m).shape == (0,)
    with pytest.raises(ValueError, match="zero-size array to reduction operation maximum"):
        evaluate("max(m * 2, axis=0)", m)
    with pytest.raises(np.exceptions.AxisError):
        evaluate("sum(m * 2, axis=-3)", m)
    out = np.full(3, 7.0)
    assert evaluate("sum(y * 2, axis=1)", {"y": np.ones((3, 2))}, out=out) is out
    assert out.tolist() == [4.0] * 3
