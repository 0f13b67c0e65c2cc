"""VML's accuracy modes (high, low, enhanced performance) at one size, on one MKL thread."""

from __future__ import annotations

import numpy

from . import runtime
from .throughput import OPERATIONS
from .timing import Budget, seconds_per_run

FUNCTIONS = {"vmdExp": "vdExp", "vmdSin": "vdSin", "vmdPow": "vdPow"}


def measure(n: int, budget: Budget) -> dict:
    """ms per call in each mode, NumPy's time, and the largest relative deviation from HA."""
    lorimath = runtime.module()
    ffi, lib = lorimath.ffi, lorimath.lib
    runtime.set_mkl_threads(1)
    rows = []
    for seed, (function, plain) in enumerate(FUNCTIONS.items()):
        operation = OPERATIONS[plain]
        inputs = operation.arrays(n, seed)
        output = numpy.empty(n)
        cdata = [ffi.from_buffer("double[]", array) for array in inputs]
        result = ffi.from_buffer("double[]", output, require_writable=True)
        arguments = ", ".join(("a", "b")[: len(inputs)])
        names = dict(zip(("a", "b"), cdata, strict=False), f=getattr(lib, function), n=n, r=result)
        numpy_names = dict(
            zip(("a", "b"), inputs, strict=False), f=operation.numpy_function, r=output
        )
        numpy_seconds = seconds_per_run(f"f({arguments}, out=r)", numpy_names, budget)
        reference = None
        for label, mode in runtime.ACCURACY_MODES.items():
            seconds = seconds_per_run(f"f(n, {arguments}, r, mode)", dict(names, mode=mode), budget)
            getattr(lib, function)(n, *cdata, result, mode)
            if reference is None:
                reference = output.copy()
            deviation = numpy.abs(output - reference) / numpy.maximum(numpy.abs(reference), 1e-300)
            rows.append(
                dict(
                    function=function,
                    mode=label,
                    ms=seconds * 1e3,
                    numpy_ms=numpy_seconds * 1e3,
                    speedup_over_numpy=numpy_seconds / seconds,
                    max_relative_deviation_from_ha=float(deviation.max()),
                )
            )
    return {"n": n, "rows": rows}
