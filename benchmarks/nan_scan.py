"""What a scan of every result for NaN would add to a vml call.

Some kernels return NaN for non-NaN inputs without an error status or a floating-point
flag; only a scan of the results would notice. The layer makes that scan only if it
costs less than `THRESHOLD_PERCENT` of the call.
"""

from __future__ import annotations

import numpy

from . import runtime
from .timing import Budget, interleaved_seconds

THRESHOLD_PERCENT = 5.0
N = 10**6

# (vml ufunc, dtype, the inputs' ranges)
CASES = (
    ("exp", "float64", ((-10.0, 10.0),)),
    ("sin", "float64", ((-10.0, 10.0),)),
    ("pow", "float64", ((0.1, 10.0), (-4.0, 4.0))),
    ("add", "float64", ((-1.0, 1.0), (-1.0, 1.0))),
    ("exp", "float32", ((-10.0, 10.0),)),
)


def measure(budget: Budget, rounds: int) -> dict:
    """ms per call with `out=`, alone and followed by `isnan(y, out=mask).any()`, and the
    scan alone; one MKL thread, the three taking turns."""
    from quorvex.mkl import vml

    runtime.set_mkl_threads(1)
    rows = []
    for seed, (name, dtype, domains) in enumerate(CASES):
        rng = numpy.random.default_rng(seed)
        inputs = [rng.uniform(low, high, N).astype(dtype) for low, high in domains]
        arguments = ", ".join(("a", "b")[: len(inputs)])
        names = dict(
            zip(("a", "b"), inputs, strict=False),
            f=getattr(vml, name),
            isnan=numpy.isnan,
            y=numpy.empty(N, dtype),
            m=numpy.empty(N, bool),
        )
        call = f"f({arguments}, out=y)"
        scan = "isnan(y, out=m).any()"
        timed = interleaved_seconds(
            {
                "call": (call, names),
                "call_and_scan": (f"{call}; {scan}", names),
                "scan": (scan, names),
            },
            budget,
            rounds,
        )
        rows.append(
            dict(
                operation=name,
                dtype=dtype,
                call_ms=timed["call"] * 1e3,
                call_and_scan_ms=timed["call_and_scan"] * 1e3,
                scan_ms=timed["scan"] * 1e3,
                cost_percent=100 * (timed["call_and_scan"] / timed["call"] - 1),
            )
        )
    return {"n": N, "threshold_percent": THRESHOLD_PERCENT, "rows": rows}
