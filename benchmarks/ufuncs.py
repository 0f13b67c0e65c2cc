"""vml's ufuncs against NumPy's own ufuncs and against the `lib` call they make."""

from __future__ import annotations

import numpy

from . import harness, report

NAME = "ufuncs"
TITLE = "The NumPy layer's ufuncs"
ABOUT = (
    "vml's ufuncs against NumPy's on tiny float64 arrays (ns per call, the fastest of {rounds} "
    "rounds taking turns), against `lib.vdExp` with cdata made once at n = 10^6 (ms, median of "
    "the rounds), on a strided view `x[::3]` (ms) and in peak memory (tracemalloc, which sees "
    "NumPy's array data but not MKL's own allocations); MKL on one thread."
)
N, STRIDE = 10**6, 3


def measure(quick: bool) -> dict:
    from quorvex.mkl import vml

    budget = harness.Budget.of(quick)
    per_call = {}
    for name, statement in (("exp", "f(x, out=y)"), ("add", "f(x, z)")):
        for n in (1, 10):
            x = numpy.linspace(0.5, 1.5, n)
            arrays = dict(x=x, z=x[::-1].copy(), y=numpy.empty(n))
            cases = {
                lib: (statement, dict(arrays, f=getattr(module, name)))
                for lib, module in (("vml", vml), ("numpy", numpy))
            }
            # A call of a few hundred ns is only ever slowed by what else the machine does.
            per_call[f"{name}/{n}"] = harness.interleaved(cases, budget, min, unit=1e9)
    module = harness.lorimath()
    x = numpy.random.default_rng(1).uniform(-10, 10, STRIDE * N)
    view, contiguous, y = x[::STRIDE], x[::STRIDE].copy(), numpy.empty(N)
    a, r = (module.ffi.from_buffer("double[]", z, z is y) for z in (contiguous, y))
    cases = {"lib": ("f(n, a, r)", dict(a=a, r=r, n=N, f=module.lib.vdExp))}
    for library, namespace in (("vml", vml), ("numpy", numpy)):
        for layout, operand in (("contiguous", contiguous), ("strided", view)):
            cases[f"{library} {layout}"] = ("f(x, out=y)", dict(f=namespace.exp, x=operand, y=y))
    ms = harness.interleaved(cases, budget, unit=1e3)
    peaks = {
        "`vml.exp(x[::3])`": harness.traced_peak(lambda: vml.exp(view)),
        "`vml.exp(x[::3], out=y)`": harness.traced_peak(lambda: vml.exp(view, out=y)),
        "`vml.exp(x)`, contiguous": harness.traced_peak(lambda: vml.exp(contiguous)),
        "`np.exp(x[::3])`": harness.traced_peak(lambda: numpy.exp(view)),
    }
    return dict(
        rounds=budget.rounds, per_call_ns=per_call, ms=ms, peak_bytes=peaks, result_bytes=y.nbytes
    )


def tables(data: dict, results: dict) -> list:
    ms, c = data["ms"], results.get("calls", {}).get("c_vdExp_1e6_seconds")
    calls = []
    for key, ns in data["per_call_ns"].items():
        name, n = key.split("/")
        calls.append([f"`{name}`", n, ns["vml"], ns["numpy"], ns["vml"] / ns["numpy"]])
    large = [["`vml.exp(x, out=y)`", ms["vml contiguous"]], ["`lib.vdExp(n, a, r)`", ms["lib"]]]
    large.append(["MKL's `vdExp(10^6)` called from C", c and c * 1e3])
    strided = []
    for library in ("vml", "numpy"):
        timed = [ms[f"{library} strided"], ms[f"{library} contiguous"]]
        strided.append([f"`{library}.exp`", *timed, timed[0] / timed[1]])
    peaks = [[call, peak, peak / data["result_bytes"]] for call, peak in data["peak_bytes"].items()]
    return [
        (["call", "n", "vml ns", "NumPy ns", "vml ÷ NumPy"], calls),
        (["call at n = 10^6", "ms"], large),
        (["call, 10^6 results", "strided ms", "contiguous ms", "strided ÷ contiguous"], strided),
        (["call, 10^6 results", "peak bytes", "÷ result size"], peaks),
    ]


PER_CALL = (  # ufunc, the calls compared on 10 float64 elements
    ("exp", "`vml.exp(x, out=y)`", "`np.exp(x, out=y)`"),
    ("add", "`vml.add(a, b)`", "`np.add(a, b)`"),
)
LARGE = (  # target, limit, the two timings compared
    ("`vml.exp(x, out=y)` at n = 10^6, one MKL thread, relative to `lib.vdExp(n, x, y)` with "
     "cdata made once", 1.03, "vml contiguous", "lib"),
    ("`vml.exp(x[::3], out=y)` (10^6 results, one MKL thread), time per element relative to "
     "a contiguous `x`", 1.5, "vml strided", "vml contiguous"),
)  # fmt: skip


def targets(data: dict, results: dict) -> list[dict]:
    rows, ms = [], data["ms"]
    for name, call, theirs in PER_CALL:
        ns = data["per_call_ns"][f"{name}/10"]
        target = f"{call} per call on 10 float64 elements, relative to {theirs}"
        rows.append(report.relative(target, 1.2, ns["vml"], ns["numpy"], "ns"))
    for target, limit, ours, theirs in LARGE:
        rows.append(report.relative(target, limit, ms[ours], ms[theirs], "ms"))
    peak, size = data["peak_bytes"]["`vml.exp(x[::3])`"], data["result_bytes"]
    target = "peak memory of `vml.exp(x[::3])` (10^6 results, tracemalloc), relative to the "
    target += "result's size"
    context = f"{peak:,} bytes for a {size:,}-byte result"
    rows.append(report.at_most(target, 1.1, peak / size, context))
    return rows
