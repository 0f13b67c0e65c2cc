"""Time per element versus array size: VML through the module against NumPy's equivalents."""

from __future__ import annotations

import os
import time
from collections.abc import Callable
from dataclasses import dataclass

import numpy
import scipy.special

from . import runtime
from .timing import Budget, seconds_per_run

FULL_SIZES = (*(m * 10**e for e in range(7) for m in (1, 2, 5)), 10**7)
QUICK_SIZES = (1, 100, 10**4, 10**6)


@dataclass(frozen=True)
class Operation:
    numpy_function: Callable
    numpy_name: str
    dtype: type
    cffi_type: str
    inputs: int
    domain: tuple[float, float]

    def arrays(self, n: int, seed: int) -> list[numpy.ndarray]:
        rng = numpy.random.default_rng(seed)
        low, high = self.domain
        arrays = []
        for index in range(self.inputs):
            # The second input of Pow is the exponent: keep results finite.
            lo, hi = (-4.0, 4.0) if (self.numpy_name == "numpy.power" and index) else (low, high)
            values = rng.uniform(lo, hi, n)
            if numpy.issubdtype(self.dtype, numpy.complexfloating):
                values = values + 1j * rng.uniform(lo, hi, n)
            arrays.append(values.astype(self.dtype))
        return arrays


OPERATIONS = {
    "vdExp": Operation(numpy.exp, "numpy.exp", numpy.float64, "double[]", 1, (-10.0, 10.0)),
    "vdLn": Operation(numpy.log, "numpy.log", numpy.float64, "double[]", 1, (0.01, 100.0)),
    "vdSin": Operation(numpy.sin, "numpy.sin", numpy.float64, "double[]", 1, (-10.0, 10.0)),
    "vdErf": Operation(
        scipy.special.erf, "scipy.special.erf", numpy.float64, "double[]", 1, (-4.0, 4.0)
    ),
    "vdPow": Operation(numpy.power, "numpy.power", numpy.float64, "double[]", 2, (0.1, 10.0)),
    "vdAdd": Operation(numpy.add, "numpy.add", numpy.float64, "double[]", 2, (-1.0, 1.0)),
    "vsExp": Operation(numpy.exp, "numpy.exp", numpy.float32, "float[]", 1, (-10.0, 10.0)),
    "vzMul": Operation(
        numpy.multiply, "numpy.multiply", numpy.complex128, "MKL_Complex16[]", 2, (-1.0, 1.0)
    ),
}


def settle() -> None:
    """Lets MKL's OpenMP workers stop spinning, so they do not steal the next measurement's core."""
    time.sleep(0.3)


def measure(sizes: tuple[int, ...], budget: Budget) -> dict:
    """Seconds per call for NumPy, MKL on one thread and MKL on all cores, at every size.

    NumPy and the single-thread runs go first; the all-core runs come last, so
    OpenMP workers spinning after a parallel call never share a core with NumPy.
    """
    lorimath = runtime.module()
    ffi, lib = lorimath.ffi, lorimath.lib
    all_cores = os.cpu_count() or 1
    largest = max(sizes)
    prepared = {}
    for seed, (name, operation) in enumerate(OPERATIONS.items()):
        inputs = operation.arrays(largest, seed)
        output = numpy.empty(largest, operation.dtype)
        cdata = [ffi.from_buffer(operation.cffi_type, array) for array in inputs]
        cdata.append(ffi.from_buffer(operation.cffi_type, output, require_writable=True))
        prepared[name] = (inputs, output, cdata)

    arguments = ("a", "b")

    def module_seconds(name: str, n: int) -> float:
        *inputs, output = prepared[name][2]
        names = dict(zip(arguments, inputs, strict=False), f=getattr(lib, name), n=n, r=output)
        statement = f"f(n, {', '.join(arguments[: len(inputs)])}, r)"
        return seconds_per_run(statement, names, budget)

    def numpy_seconds(name: str, n: int) -> float:
        inputs, output, _ = prepared[name]
        names = dict(zip(arguments, (x[:n] for x in inputs), strict=False), r=output[:n])
        names["f"] = OPERATIONS[name].numpy_function
        statement = f"f({', '.join(arguments[: len(inputs)])}, out=r)"
        return seconds_per_run(statement, names, budget)

    results: dict[str, dict] = {
        name: {"numpy": {}, "mkl_1_thread": {}, "mkl_all_cores": {}} for name in OPERATIONS
    }
    runtime.set_mkl_threads(1)
    settle()
    for name in OPERATIONS:
        for n in sizes:
            results[name]["numpy"][n] = numpy_seconds(name, n)
            results[name]["mkl_1_thread"][n] = module_seconds(name, n)
    runtime.set_mkl_threads(all_cores)
    for name in OPERATIONS:
        for n in sizes:
            results[name]["mkl_all_cores"][n] = module_seconds(name, n)
    runtime.set_mkl_threads(1)
    settle()
    return {
        "sizes": list(sizes),
        "all_cores": all_cores,
        "numpy_equivalent": {name: op.numpy_name for name, op in OPERATIONS.items()},
        "dtype": {name: numpy.dtype(op.dtype).name for name, op in OPERATIONS.items()},
        "seconds": results,
        "crossover": {
            name: {
                config: overtakes_at(sizes, results[name]["numpy"], results[name][config])
                for config in ("mkl_1_thread", "mkl_all_cores")
            }
            for name in OPERATIONS
        },
    }


def overtakes_at(sizes, numpy_seconds: dict, module_seconds: dict) -> int | None:
    """The smallest size from which on the module is faster than NumPy at every larger size."""
    crossover = None
    for n in sorted(sizes, reverse=True):
        if module_seconds[n] < numpy_seconds[n]:
            crossover = n
        else:
            break
    return crossover
