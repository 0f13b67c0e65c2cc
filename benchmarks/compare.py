"""Every vml ufunc that NumPy or SciPy also computes, against it, at three sizes (float64)."""

from __future__ import annotations

import os
import statistics
import timeit
from dataclasses import dataclass

import numpy
import scipy.special

from . import runtime
from .throughput import settle
from .timing import Budget, seconds_per_run

FULL_SIZES = (10**3, 10**5, 10**7)
QUICK_SIZES = (10**3, 10**5)
# From this size on a call takes milliseconds to seconds: no calibration or warm-up (the
# smaller sizes ran first), the median of a few runs, one run for a call that, judged by
# the previous size, takes longer than SLOW_CALL_SECONDS.
LARGE_FROM = 10**6
LARGE_REPEATS = 3
SLOW_CALL_SECONDS = 1.0

# Inputs where the functions are finite and away from poles and zeros; (-10, 10) otherwise.
# Bessel functions stop short of their first zeros.
DOMAINS: dict[str, tuple[tuple[float, float], ...]] = {
    "acos": ((-0.99, 0.99),),
    "asin": ((-0.99, 0.99),),
    "atanh": ((-0.99, 0.99),),
    "acosh": ((1.0, 100.0),),
    "ln": ((0.01, 100.0),),
    "log10": ((0.01, 100.0),),
    "log2": ((0.01, 100.0),),
    "log1p": ((-0.99, 100.0),),
    "sqrt": ((0.0, 100.0),),
    "cbrt": ((-100.0, 100.0),),
    "inv": ((0.1, 10.0),),
    "div": ((-10.0, 10.0), (0.1, 10.0)),
    "fmod": ((-10.0, 10.0), (0.1, 10.0)),
    "pow": ((0.1, 10.0), (-4.0, 4.0)),
    "tan": ((-1.5, 1.5),),
    "exp10": ((-5.0, 5.0),),
    "add": ((-1.0, 1.0), (-1.0, 1.0)),
    "sub": ((-1.0, 1.0), (-1.0, 1.0)),
    "mul": ((-1.0, 1.0), (-1.0, 1.0)),
    "ceil": ((-100.0, 100.0),),
    "floor": ((-100.0, 100.0),),
    "rint": ((-100.0, 100.0),),
    "trunc": ((-100.0, 100.0),),
    "modf": ((-100.0, 100.0),),
    "erf": ((-4.0, 4.0),),
    "erfc": ((-4.0, 4.0),),
    "erfinv": ((-0.99, 0.99),),
    "erfcinv": ((0.01, 1.99),),
    "erfcx": ((-2.0, 10.0),),
    "cdfnorm": ((-8.0, 8.0),),
    "cdfnorminv": ((0.01, 0.99),),
    "tgamma": ((0.1, 10.0),),
    "lgamma": ((0.1, 100.0),),
    "expint1": ((0.1, 10.0),),
    "i0": ((0.1, 2.0),),
    "i1": ((0.1, 2.0),),
    "j0": ((0.1, 2.0),),
    "j1": ((0.1, 2.0),),
    "y0": ((0.1, 0.85),),  # its first zero lies at 0.894
    "y1": ((0.1, 2.0),),
    "jn": ((0.1, 2.0),),
    "yn": ((0.1, 2.0),),
    "sind": ((-360.0, 360.0),),
    "cosd": ((-360.0, 360.0),),
    "tand": ((-80.0, 80.0),),
}
DEFAULT_DOMAIN = (-10.0, 10.0)
# The order of jn and yn: one for the whole array, as MKL's vdJn and vdYn take it.
BESSEL_ORDER = 2.0

# vml name -> SciPy's function computing the same; jv and yv take the order first.
SCIPY_EQUIVALENTS = {
    "erf": "erf",
    "erfc": "erfc",
    "erfinv": "erfinv",
    "erfcinv": "erfcinv",
    "cdfnorm": "ndtr",
    "cdfnorminv": "ndtri",
    "tgamma": "gamma",
    "lgamma": "gammaln",
    "erfcx": "erfcx",
    "exp10": "exp10",
    "expint1": "exp1",
    "i0": "i0",
    "i1": "i1",
    "j0": "j0",
    "j1": "j1",
    "y0": "y0",
    "y1": "y1",
    "sind": "sindg",
    "cosd": "cosdg",
    "tand": "tandg",
    "cbrt": "cbrt",
    "jn": "jv",
    "yn": "yv",
}
ORDER_FIRST = frozenset({"jv", "yv"})


@dataclass(frozen=True)
class Comparison:
    operation: str  # the vml ufunc
    reference: str  # e.g. "numpy.exp", "scipy.special.jv"
    inputs: int  # array inputs; jn and yn take their order as a scalar besides
    outputs: int

    @property
    def library(self) -> str:
        return "SciPy" if self.reference.startswith("scipy") else "NumPy"

    def reference_function(self):
        module, _, name = self.reference.rpartition(".")
        return getattr(scipy.special if module == "scipy.special" else numpy, name)

    def statements(self) -> tuple[str, str]:
        """The vml call and the reference's, on inputs `a`, `b`, order `k`, outputs `r`, `s`."""
        arguments = ["a", "b"][: self.inputs]
        outputs = "r" if self.outputs == 1 else "(r, s)"
        if self.operation in ("jn", "yn"):
            return f"f(a, k, out={outputs})", f"g(k, a, out={outputs})"
        call = f"({', '.join(arguments)}, out={outputs})"
        return "f" + call, "g" + call


def comparisons() -> tuple[list[Comparison], list[str]]:
    """The comparisons, and the NumPy ufuncs left out because vml has no float64 loop for them."""
    from quorvex.mkl import vml

    found, skipped, seen = [], [], set()
    for numpy_name, operation in vml.NUMPY_EQUIVALENTS.items():
        ufunc, theirs = vml.UFUNCS[operation], getattr(numpy, numpy_name)
        loop = "d" * ufunc.nin + "->" + "d" * ufunc.nout
        if loop not in ufunc.types or loop not in theirs.types:
            skipped.append(f"{numpy_name} ({operation})")
        elif operation not in seen:  # absolute and fabs are both vml's abs
            seen.add(operation)
            found.append(Comparison(operation, f"numpy.{numpy_name}", ufunc.nin, ufunc.nout))
    for operation, scipy_name in SCIPY_EQUIVALENTS.items():
        ufunc = vml.UFUNCS[operation]
        inputs = 1 if scipy_name in ORDER_FIRST else ufunc.nin
        found.append(Comparison(operation, f"scipy.special.{scipy_name}", inputs, ufunc.nout))
    return found, skipped


class Arrays:
    """Input and output buffers of the largest size, filled afresh for each comparison."""

    def __init__(self, size: int):
        self.buffers = {name: numpy.empty(size) for name in ("a", "b", "r", "s")}
        for buffer in self.buffers.values():
            buffer.fill(0.0)  # the pages' first-touch faults are no function's cost

    def fill(self, comparison: Comparison, n: int, seed: int) -> dict:
        rng = numpy.random.default_rng(seed)
        domains = DOMAINS.get(comparison.operation, (DEFAULT_DOMAIN,) * 2)
        names = {}
        for name, (low, high) in zip(("a", "b")[: comparison.inputs], domains, strict=False):
            values = self.buffers[name][:n]
            rng.random(out=values)
            values *= high - low
            values += low
            names[name] = values
        names.update(r=self.buffers["r"][:n], s=self.buffers["s"][:n], k=BESSEL_ORDER)
        return names


def _agreement(comparison: Comparison, names: dict) -> dict:
    """How far vml's result lies from the reference's, and the floating-point errors either
    raised, on the inputs the timings use: a check that both compute the same function."""
    from quorvex.mkl import vml

    vml_call, reference_call = comparison.statements()
    outputs, errors = {}, []
    for label, statement, function in (
        ("vml", vml_call, vml.UFUNCS[comparison.operation]),
        ("reference", reference_call, comparison.reference_function()),
    ):
        local = dict(names, f=function, g=function)
        with numpy.errstate(all="raise", under="ignore"):
            try:
                eval(statement, {}, local)
            except FloatingPointError as error:
                errors.append(f"{label}: {error}")
        outputs[label] = local["r"].copy()
    ours, theirs = outputs["vml"], outputs["reference"]
    scale = numpy.maximum(numpy.abs(theirs), numpy.finfo(numpy.float64).tiny)
    with numpy.errstate(all="ignore"):
        relative = numpy.abs(ours - theirs) / scale
    return {
        "max_relative_difference": float(numpy.nanmax(relative)) if relative.size else 0.0,
        "nonfinite_reference_results": int(numpy.count_nonzero(~numpy.isfinite(theirs))),
        "floating_point_errors": errors,
    }


def _seconds(statement: str, names: dict, n: int, budget: Budget, earlier: dict) -> float:
    """Seconds per call at size `n`; `earlier` holds this configuration's smaller sizes."""
    if n < LARGE_FROM:
        return seconds_per_run(statement, names, budget)
    previous = max((size for size in earlier if size < n), default=None)
    expected = previous and earlier[previous] * n / previous
    repeats = 1 if expected and expected > SLOW_CALL_SECONDS else LARGE_REPEATS
    return statistics.median(timeit.Timer(statement, globals=names).repeat(repeats, 1))


def measure(sizes: tuple[int, ...], budget: Budget) -> dict:
    """Seconds per call of the reference, vml on one MKL thread and vml on all of them.

    At each size NumPy, SciPy and the one-thread runs go first and the all-thread runs
    last, so MKL's OpenMP workers, spinning after a parallel call, never share a core
    with a single-threaded measurement.
    """
    from quorvex.mkl import vml

    found, skipped = comparisons()
    all_threads = os.cpu_count() or 1
    arrays = Arrays(max(sizes))
    keys = [f"{c.operation} {c.reference}" for c in found]
    seconds: dict[str, dict[str, dict[int, float]]] = {
        key: {"reference": {}, "mkl_1_thread": {}, "mkl_all_threads": {}} for key in keys
    }
    agreement = {}
    runtime.set_mkl_threads(1)
    settle()
    for n in sizes:
        for seed, (key, comparison) in enumerate(zip(keys, found, strict=True)):
            names = arrays.fill(comparison, n, seed)
            if n == min(sizes):
                agreement[key] = _agreement(comparison, names)
            ours, theirs = comparison.statements()
            functions = dict(f=vml.UFUNCS[comparison.operation], g=comparison.reference_function())
            timed = seconds[key]
            for config, statement in (("reference", theirs), ("mkl_1_thread", ours)):
                timed[config][n] = _seconds(
                    statement, dict(names, **functions), n, budget, timed[config]
                )
        runtime.set_mkl_threads(all_threads)
        for seed, (key, comparison) in enumerate(zip(keys, found, strict=True)):
            names = dict(arrays.fill(comparison, n, seed), f=vml.UFUNCS[comparison.operation])
            ours, _ = comparison.statements()
            timed = seconds[key]["mkl_all_threads"]
            timed[n] = _seconds(ours, names, n, budget, timed)
        runtime.set_mkl_threads(1)
        settle()
    return {
        "sizes": list(sizes),
        "all_threads": all_threads,
        "budget": {"seconds_per_repeat": budget.seconds_per_repeat, "repeats": budget.repeats},
        "large": {
            "from": LARGE_FROM,
            "runs": LARGE_REPEATS,
            "slow_call_seconds": SLOW_CALL_SECONDS,
        },
        "rows": [
            {
                "operation": comparison.operation,
                "reference": comparison.reference,
                "library": comparison.library,
                "domains": [
                    list(domain)
                    for domain in DOMAINS.get(comparison.operation, (DEFAULT_DOMAIN,) * 2)[
                        : comparison.inputs
                    ]
                ],
                "order": BESSEL_ORDER if comparison.operation in ("jn", "yn") else None,
                "seconds": seconds[key],
                **agreement[key],
            }
            for key, comparison in zip(keys, found, strict=True)
        ],
        "skipped_numpy": skipped,
    }
