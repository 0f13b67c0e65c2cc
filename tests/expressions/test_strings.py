"""Strings in expressions: comparisons and contains() with NumPy's results."""

import operator

import numpy as np
import pytest

from quorvex.mkl import evaluate

WORDS = ["", "a", "a\0", "ab", "abc", "b", "ba", "foo", "foo\0bar", "zz", "é", "\U0001f600"]
OPERATORS = {"==": operator.eq, "!=": operator.ne, "<": operator.lt, "<=": operator.le,
             ">": operator.gt, ">=": operator.ge}  # fmt: skip


@pytest.mark.parametrize("kind", ["S", "U"])
@pytest.mark.parametrize("op", OPERATORS)
def test_comparisons_of_arrays_literals_and_variables_as_numpy(kind, op):
    make = (lambda w: w.encode()) if kind == "S" else str
    x = np.array([make(w) for w in WORDS])
    y = x[::-1].copy()
    values = {"x": x, "y": y, "v": make("b"), "n": np.arange(len(WORDS))}
    literal = repr(make("b"))
    compare = OPERATORS[op]
    np.testing.assert_array_equal(evaluate(f"x {op} y", values), compare(x, y))
    np.testing.assert_array_equal(evaluate(f"x {op} {literal}", values), compare(x, make("b")))
    np.testing.assert_array_equal(evaluate(f"x {op} v", values), compare(x, make("b")))
    both = evaluate(f"(x {op} y) & (n > 2)", values)
    np.testing.assert_array_equal(both, compare(x, y) & (values["n"] > 2))
    column, narrow = x[:, None], y.astype(f"{kind}2")  # broadcast, of other widths
    got = evaluate(f"column {op} narrow", {"column": column, "narrow": narrow})
    np.testing.assert_array_equal(got, compare(column, narrow))


@pytest.mark.parametrize("kind", ["S", "U"])
def test_contains_as_numpys_find(kind):
    make = (lambda w: w.encode()) if kind == "S" else str
    words = np.array([make(w) for w in [*WORDS, "x" * 40 + "ab", "ab" + "y" * 40]])
    many = words[np.random.default_rng(1).integers(0, len(words), 500)]
    # In place, strided, reversed (the haystacks searched 16 bytes at a time, and the last ones
    # one by one), and against an array of needles.
    for haystack in (many, many[::3], many[::-1]):
        for needle in map(make, ["a", "", "ab", "foo\0", "\0", "b\0b", "x" * 41, "z" * 50]):
            want = np.strings.find(haystack, needle) >= 0
            got = evaluate("contains(h, needle)", {"h": haystack, "needle": needle})
            np.testing.assert_array_equal(got, want)
        needles = haystack[::-1]
        got = evaluate("contains(h, n)", {"h": haystack, "n": needles})
        np.testing.assert_array_equal(got, np.strings.find(haystack, needles) >= 0)
    values = {"h": words, "needle": make("a")}
    want = np.strings.find(words, make("a")) >= 0
    np.testing.assert_array_equal(evaluate(f"contains(h, {make('a')!r})", values), want)
    np.testing.assert_array_equal(evaluate("contains(h, needle) | (h == h)", values), want | True)
    assert evaluate(f"contains({make('abc')!r}, {make('bc')!r})")


@pytest.mark.parametrize(
    ("text", "message"),
    [("x + 1", "strings"), ("x + y", "strings"), ("contains(n, n)", "searches strings"),
     ("x < n", "strings")],
)  # fmt: skip
def test_other_uses_of_strings_are_refused(text, message):
    values = {"x": np.array([b"a"]), "y": np.array([b"b"]), "n": np.arange(1)}
    with pytest.raises(TypeError, match=message):
        evaluate(text, values)


def test_a_strings_name_is_a_copy():
    x = np.array([b"foo\0", b"b"])
    copy = evaluate("x")
    assert copy is not x and copy.tobytes() == x.tobytes()
