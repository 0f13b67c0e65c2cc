"""The NumPy layer's ufuncs against NumPy's own and against the raw `lib` call they make."""

from __future__ import annotations

import statistics
import tracemalloc

import numpy

from . import runtime
from .timing import Budget, interleaved_samples, interleaved_seconds

PER_CALL_SIZES = (1, 10)
LARGE = 10**6
STRIDE = 3


def _vml():
    from quorvex.mkl import vml

    return vml


def per_call(budget: Budget, rounds: int) -> list[dict]:
    """ns per call of `exp(x, out=y)` and `add(a, b)` on tiny float64 arrays, vml and NumPy."""
    vml = _vml()
    cases = {
        "exp": ("f(x, out=y)", "`exp(x, out=y)`"),
        "add": ("f(x, z)", "`add(a, b)`, a new result"),
    }
    rows = []
    for name, (statement, label) in cases.items():
        for n in PER_CALL_SIZES:
            x = numpy.linspace(0.5, 1.5, n)
            arrays = dict(x=x, z=x[::-1].copy(), y=numpy.empty(n))
            # The fastest round: a call of a few hundred nanoseconds is slowed by anything else
            # the machine does, never sped up, so the minimum is the cost of the call itself.
            samples = interleaved_samples(
                {
                    "vml": (statement, dict(arrays, f=getattr(vml, name))),
                    "numpy": (statement, dict(arrays, f=getattr(numpy, name))),
                },
                budget,
                rounds,
            )
            timed = {key: min(values) for key, values in samples.items()}
            rows.append(
                dict(
                    operation=name,
                    call=label,
                    n=n,
                    vml_ns=timed["vml"] * 1e9,
                    numpy_ns=timed["numpy"] * 1e9,
                )
            )
    return rows


def against_lib(budget: Budget, rounds: int) -> dict:
    """`vml.exp(x, out=y)` against `lib.vdExp(n, x, y)` with cdata made once: the layer's
    cost on top of MKL's at a size where MKL's work dominates."""
    vml = _vml()
    lorimath = runtime.module()
    ffi = lorimath.ffi
    x = numpy.random.default_rng(1).uniform(-10.0, 10.0, LARGE)
    y = numpy.empty(LARGE)
    cdata = dict(
        a=ffi.from_buffer("double[]", x), r=ffi.from_buffer("double[]", y, require_writable=True)
    )
    samples = interleaved_samples(
        {
            "vml": ("f(x, out=y)", dict(f=vml.exp, x=x, y=y)),
            "lib": ("f(n, a, r)", dict(cdata, f=lorimath.lib.vdExp, n=LARGE)),
        },
        budget,
        rounds,
    )
    rounds_ms = {key: [seconds * 1e3 for seconds in values] for key, values in samples.items()}
    return {
        "n": LARGE,
        "vml_ms": statistics.median(rounds_ms["vml"]),
        "lib_ms": statistics.median(rounds_ms["lib"]),
        "rounds_ms": rounds_ms,
    }


def _peak_bytes(call) -> int:
    """The most memory `call()` held at once, as tracemalloc sees it (NumPy reports its
    array data to it); what the call returns counts as held."""
    call()  # one-time allocations (MKL's kernel, NumPy's caches) are not the call's
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        result = call()
        peak = tracemalloc.get_traced_memory()[1] - before
    finally:
        tracemalloc.stop()
    del result
    return peak


def strided(budget: Budget, rounds: int) -> dict:
    """`exp` of `x[::3]` against a contiguous input of the same length (10^6 results):
    time per call with `out=`, and peak memory when the call allocates its result."""
    vml = _vml()
    base = numpy.random.default_rng(2).uniform(-10.0, 10.0, STRIDE * LARGE)
    view = base[::STRIDE]
    contiguous = view.copy()
    y = numpy.empty(LARGE)
    cases = {
        f"{library}_{layout}": ("f(x, out=y)", dict(f=function.exp, x=x, y=y))
        for library, function in (("vml", vml), ("numpy", numpy))
        for layout, x in (("strided", view), ("contiguous", contiguous))
    }
    timed = interleaved_seconds(cases, budget, rounds)
    return {
        "n": LARGE,
        "stride": STRIDE,
        "result_bytes": y.nbytes,
        "ms": {key: seconds * 1e3 for key, seconds in timed.items()},
        "peak_bytes": {
            "vml_strided_new_result": _peak_bytes(lambda: vml.exp(view)),
            "vml_strided_out": _peak_bytes(lambda: vml.exp(view, out=y)),
            "vml_contiguous_new_result": _peak_bytes(lambda: vml.exp(contiguous)),
            "numpy_strided_new_result": _peak_bytes(lambda: numpy.exp(view)),
        },
    }


def measure(budget: Budget, rounds: int) -> dict:
    runtime.set_mkl_threads(1)
    return {
        "per_call": per_call(budget, rounds),
        "against_lib": against_lib(budget, rounds),
        "strided": strided(budget, rounds),
    }
