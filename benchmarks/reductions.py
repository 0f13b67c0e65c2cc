"""vml's reductions against NumPy's, and what the check for silent NaN costs a call."""

from __future__ import annotations

import dataclasses

import numpy

from . import harness, report

NAME = "reductions"
TITLE = "Reductions, and the check for silent NaN"
ABOUT = (
    "ms per `ufunc.reduce(x)` of vml's ufuncs against NumPy's on one MKL thread (calibrated "
    "medians), and float32 `vml.pow(x, y, out=r)` at 10^6 against MKL's `vsPow` called "
    "directly through `quorvex.mkl.full` on the same arrays, on the AVX-512 kernels where the "
    "check runs (on AMD in a process with `QUORVEX_MKL_KERNELS=cpu`), the fastest of rounds "
    "taking turns."
)
# vml ufunc: NumPy's, and the inputs' range (products of numbers near 1 stay finite).
OPERATIONS = {"add": ("add", (0, 1)), "mul": ("multiply", (0.9999, 1.0001)),
              "hypot": ("hypot", (-1, 1)), "fmax": ("fmax", (-1, 1))}  # fmt: skip
SIZES = {True: (10**3, 10**6), False: (10**3, 10**6, 10**7)}
CALLS = {"vml": "`vml.pow(x, y, out=r)`", "vsPow": "`full.lib.vsPow(n, x, y, r)`"}


def silent_nan(quick: bool) -> dict:
    """ms of float32 `vml.pow` with `out=` and of `full.lib.vsPow` on the same arrays."""
    from quorvex.mkl import full, vml

    rng, n = numpy.random.default_rng(3), 10**6
    x, y = rng.uniform(0.1, 10, n).astype("f4"), rng.uniform(-4, 4, n).astype("f4")
    r = numpy.empty(n, "f4")
    pointers = [full.ffi.from_buffer("float[]", a, a is r) for a in (x, y, r)]
    cases = {
        "vml": ("f(x, y, out=r)", dict(f=vml.pow, x=x, y=y, r=r)),
        "vsPow": ("f(n, a, b, c)", dict(zip("abc", pointers, strict=True), f=full.lib.vsPow, n=n)),
    }
    harness.set_mkl_threads(1)
    budget = dataclasses.replace(harness.Budget.of(quick), rounds=7)
    ms = harness.interleaved(cases, budget, min, unit=1e3)
    return {"kernels": harness.kernel_library(), **ms}


def measure(quick: bool) -> dict:
    from quorvex.mkl import vml

    budget, ms = harness.Budget.of(quick), {}
    for seed, (operation, (theirs, (low, high))) in enumerate(OPERATIONS.items()):
        ufuncs = {"vml": vml.UFUNCS[operation], "numpy": getattr(numpy, theirs)}
        for dtype in ("float32", "float64"):
            x = numpy.random.default_rng(seed).uniform(low, high, max(SIZES[quick])).astype(dtype)
            for n in SIZES[quick]:
                ms[f"{operation} {dtype} {n}"] = {
                    key: harness.seconds("f(x)", dict(f=ufunc.reduce, x=x[:n]), budget) * 1e3
                    for key, ufunc in ufuncs.items()
                }
    return {"ms": ms, "silent_nan": harness.on_fastest_kernels(NAME, "silent_nan", quick=quick)}


def tables(data: dict, results: dict) -> list:
    rows = []
    for key, ms in data["ms"].items():
        operation, dtype, n = key.split()
        row = [f"`{operation}.reduce`", dtype, report.size(int(n)), ms["vml"], ms["numpy"]]
        rows.append([*row, ms["vml"] / ms["numpy"]])
    nan = data["silent_nan"]
    calls = [[call, nan["kernels"], nan[key]] for key, call in CALLS.items()]
    return [
        (["reduction", "dtype", "n", "vml ms", "NumPy ms", "vml ÷ NumPy"], rows),
        (["call, float32, 10^6", "VML kernels", "ms"], calls),
    ]


def targets(data: dict, results: dict) -> list[dict]:
    rows = []
    for operation in OPERATIONS:
        at = {dtype: data["ms"][f"{operation} {dtype} {10**6}"] for dtype in ("float32", "float64")}
        worst = max(at, key=lambda dtype: at[dtype]["vml"] / at[dtype]["numpy"])
        ms = at[worst]
        name = f"`vml.{operation}.reduce` at n = 10^6 (float32 and float64), time relative to"
        rows.append(report.relative(f"{name} NumPy's", 2, ms["vml"], ms["numpy"], "ms", case=worst))
    nan = data["silent_nan"]
    name = "float32 `vml.pow(x, y, out=r)` at n = 10^6 on the AVX-512 kernels, time relative to "
    name += "`vsPow` called directly (the check for silent NaN)"
    rows.append(report.relative(name, 1.05, nan["vml"], nan["vsPow"], "ms", case=nan["kernels"]))
    return rows
