"""quorvex.mkl.numexpr against numexpr itself: the same dtypes, values and errors."""

import sys

import numpy as np
import pytest

from quorvex.mkl import evaluate
from quorvex.mkl import numexpr as facade

numexpr = pytest.importorskip("numexpr")

VALUES = {
    "f": np.linspace(0.5, 2, 5, dtype=np.float32), "d": np.linspace(-2, 2, 5),
    "i": np.arange(1, 6, dtype=np.int32), "l": np.arange(-2, 3), "h": np.arange(5, dtype=np.int16),
    "u": np.arange(5, dtype=np.uint32), "e": np.ones(5, np.float16),
    "c": np.ones(5, np.complex64) * (1 + 2j), "b": np.arange(5) % 2 == 0,
    "s": 2.5, "k": 3, "big": 2**40, "o": np.array(["a", 1], dtype=object),
}  # fmt: skip
EXPRESSIONS = [
    # kinds: numexpr casts to the largest, where NumPy promotes by dtype
    "f * 2.5", "f * s", "f * k", "f * 2", "i * 2.5", "i * 2", "i * big", "i + 2**40", "l * f",
    "i * f", "h + 1", "u + 1", "e + 1", "c + 1", "f * (1+2j)", "b + b", "b * 2", "k * s", "2 + 3",
    "i + (2 > 1)", "where(b, i, f)", "where(b, 1, 2.5)", "i < 2.5", "~b", "-i", "i % 3",
    # functions of integers in double, of booleans in float; sign and round keep integers
    "sin(i)", "sin(f)", "sin(h)", "sin(b)", "abs(i)", "sqrt(l)", "sign(l)", "round(i)", "i / i",
    "f ** 2", "i ** 2", "arctan2(i, f)",
    # reductions keep the kind; numexpr has none of booleans, nor min/max of complex
    "sum(i)", "prod(i)", "sum(h)", "sum(f)", "sum(i * 2.5)", "max(f)", "sum(c)", "sum(b)",
    "min(b)", "min(c)", "sum(i, axis=0)",
    # refusals
    "i ** -1", "(i > 1) and (i < 9)", "sum(i, axis=-1)", "1 / 0", "a[0]", "__import__",
    "~d", "-b", "o + 1", "~True", "~1.0",
]  # fmt: skip


def outcome(function, ex):
    try:
        with np.errstate(all="ignore"):
            result = function(ex, dict(VALUES))
    except Exception as error:  # the error is the outcome compared
        return type(error)
    return result.dtype, result


@pytest.mark.parametrize("ex", EXPRESSIONS)
def test_typed_computed_and_refused_as_numexpr(ex):
    want, got = outcome(numexpr.evaluate, ex), outcome(facade.evaluate, ex)
    if isinstance(want, type):
        assert isinstance(got, type) and issubclass(got, want), (ex, got)
        return
    assert got[0] == want[0], ex
    np.testing.assert_allclose(got[1], want[1], rtol=1e-6)


@pytest.mark.parametrize("ex", ["~d", "-b"])
def test_what_it_cannot_compute_is_said_in_numexprs_words(ex):
    """pandas matches numexpr's message to fall back to Python."""
    with pytest.raises(NotImplementedError) as theirs:
        numexpr.evaluate(ex, dict(VALUES))
    with pytest.raises(NotImplementedError, match=str(theirs.value)):
        facade.evaluate(ex, dict(VALUES))


def test_silent_on_floating_point_errors_where_evaluate_reports_them():
    values = {"x": np.array([0.0, -1.0])}
    with np.errstate(all="raise"):
        assert np.isnan(facade.evaluate("log(x)", values)[1])
        with pytest.raises(FloatingPointError):
            evaluate("log(x)", values)


def test_re_evaluate_numexpr_objects_and_settings():
    a, out = np.arange(3.0), np.zeros(3)
    assert facade.validate("a + 1", out=out) is None
    a = np.arange(3.0) * 10
    assert facade.re_evaluate() is out
    np.testing.assert_array_equal(out, a + 1)
    assert isinstance(facade.validate("a + nothing"), KeyError)
    function = facade.NumExpr("2*a + b", [("b", np.double), ("a", np.double)])
    np.testing.assert_array_equal(function(np.ones(2), np.arange(2.0)), [1.0, 3.0])
    previous = facade.set_num_threads(1)
    try:
        assert facade.get_num_threads() == 1
        with pytest.raises(ValueError):
            facade.set_num_threads(facade.MAX_THREADS + 1)
    finally:
        facade.set_num_threads(previous)
    assert facade.set_vml_accuracy_mode("fast") == "high"
    assert facade.set_vml_accuracy_mode(None) == "fast"
    facade.set_vml_accuracy_mode("high")
    assert "Math Kernel Library" in facade.get_vml_version()


def test_install_registers_it_as_numexpr(monkeypatch):
    monkeypatch.delitem(sys.modules, "numexpr")
    facade.install()
    import numexpr as imported

    assert imported is facade
