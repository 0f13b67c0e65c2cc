"""Python threads sharing the package's caches: each test runs on several threads at once
(pytest-run-parallel), on the free-threaded interpreter without the GIL."""

from __future__ import annotations

import os
import subprocess
import sys
import sysconfig
import threading

import numpy as np
import pytest

from quorvex.mkl import evaluate, fuse, vml

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
EXPRESSIONS = ["2*a + 3*b", "sum(a*b)", "where(a > b, a, b)", "exp(-a**2/2) * cos(b)",
               "max(a - b, axis=0)", "contains(s, b'an')"]  # fmt: skip


def numpy_of(expression: str, names: dict) -> object:
    functions = {"sum": np.sum, "max": np.max, "where": np.where, "exp": np.exp, "cos": np.cos,
                 "contains": lambda s, n: np.strings.find(s, n) >= 0}  # fmt: skip
    return eval(expression, functions, names)


@fuse
def _shared(a, b):
    return vml.exp(-(a**2) / 2) * vml.cos(b) + a


@pytest.mark.force_parallel_threads(4)
@pytest.mark.parametrize("dtype", ["float32", "float64"])
def test_evaluate_and_fuse_share_their_caches_across_threads(dtype):
    rng = np.random.default_rng(threading.get_ident())  # each thread its own values
    a, b = (rng.uniform(-2, 2, (40, 2500)).astype(dtype) for _ in "ab")
    close = {"rtol": 1e-4, "atol": 1e-4} if dtype == "float32" else {"rtol": 1e-10, "atol": 1e-12}
    names = {"a": a, "b": b, "s": np.array([b"banana", b"fig", b"an"] * 20)}
    for expression in EXPRESSIONS:
        for threads in (1, 2):  # the pool busy with another thread's work, or free
            got = evaluate(expression, names, threads=threads)
            np.testing.assert_allclose(got, numpy_of(expression, names), **close)
    want = np.exp(-(a.astype(float) ** 2) / 2) * np.cos(b.astype(float)) + a
    np.testing.assert_allclose(_shared(a, b), want, **close)


@pytest.mark.force_parallel_threads(4)
def test_each_thread_keeps_its_own_vml_mode():
    x = np.linspace(0.1, 10, 10_000)
    x32 = x.astype(np.float32)
    accuracy = [vml.HA, vml.LA, vml.EP][threading.get_ident() % 3]
    with vml.mode(accuracy):
        for _ in range(20):
            assert vml.get_mode() & vml.ACCURACY_MASK == accuracy
            np.testing.assert_allclose(vml.exp(x), np.exp(x), rtol=1e-6)
            rtol = 1e-3 if accuracy == vml.EP else 1e-5  # EP: about half the bits
            np.testing.assert_allclose(vml.ln(x32), np.log(x32), rtol=rtol, atol=1e-6)


@pytest.mark.skipif(not FREE_THREADED, reason="the GIL is always on here")
def test_the_gil_stays_off_with_vml_evaluate_and_fuse():
    code = (
        "import sys, numpy as np, quorvex.mkl as q, quorvex.mkl.vml as vml\n"
        "q.evaluate('a + 1', {'a': np.ones(3)}); q.fuse(lambda x: vml.exp(x))(np.ones(3))\n"
        "print(sys._is_gil_enabled())"
    )
    environment = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}  # no override
    found = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True, env=environment
    )
    assert found.stdout.split() == ["False"], found.stderr
