"""vml's ufuncs against NumPy's own ufuncs and against the `lib` call they make."""

from __future__ import annotations

import tracemalloc

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


def _peak_bytes(call) -> int:
    """The most memory `call()` held at once, its result included."""
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
            timed = harness.interleaved(cases, budget, min)
            per_call[f"{name}/{n}"] = {key: seconds * 1e9 for key, seconds in timed.items()}
    module = harness.lorimath()
    x = numpy.random.default_rng(1).uniform(-10, 10, STRIDE * N)
    view, contiguous, y = x[::STRIDE], x[::STRIDE].copy(), numpy.empty(N)
    a, r = (
        module.ffi.from_buffer("double[]", contiguous),
        module.ffi.from_buffer("double[]", y, True),
    )
    cdata = dict(a=a, r=r, n=N, f=module.lib.vdExp)
    cases = {"lib": ("f(n, a, r)", cdata)}
    for library, namespace in (("vml", vml), ("numpy", numpy)):
        for layout, operand in (("contiguous", contiguous), ("strided", view)):
            cases[f"{library} {layout}"] = ("f(x, out=y)", dict(f=namespace.exp, x=operand, y=y))
    ms = {key: seconds * 1e3 for key, seconds in harness.interleaved(cases, budget).items()}
    peaks = {
        "`vml.exp(x[::3])`": _peak_bytes(lambda: vml.exp(view)),
        "`vml.exp(x[::3], out=y)`": _peak_bytes(lambda: vml.exp(view, out=y)),
        "`vml.exp(x)`, contiguous": _peak_bytes(lambda: vml.exp(contiguous)),
        "`np.exp(x[::3])`": _peak_bytes(lambda: numpy.exp(view)),
    }
    return {
        "rounds": budget.rounds,
        "per_call_ns": per_call,
        "ms": ms,
        "peak_bytes": peaks,
        "result_bytes": y.nbytes,
    }


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


LARGE = (  # target, limit, the two timings compared
    ("`vml.exp(x, out=y)` at n = 10^6, one MKL thread, relative to `lib.vdExp(n, x, y)` with "
     "cdata made once", 1.03, "vml contiguous", "lib"),
    ("`vml.exp(x[::3], out=y)` (10^6 results, one MKL thread), time per element relative to "
     "a contiguous `x`", 1.5, "vml strided", "vml contiguous"),
)  # fmt: skip


def targets(data: dict, results: dict) -> list[dict]:
    rows, ms = [], data["ms"]
    calls = (
        ("exp", "`vml.exp(x, out=y)`", "`np.exp(x, out=y)`"),
        ("add", "`vml.add(a, b)`", "`np.add(a, b)`"),
    )
    for name, call, theirs in calls:
        ns = data["per_call_ns"][f"{name}/10"]
        target = f"{call} per call on 10 float64 elements, relative to {theirs}"
        context = f"{ns['vml']:.0f} ns against {ns['numpy']:.0f} ns"
        rows.append(report.at_most(target, 1.2, ns["vml"] / ns["numpy"], context))
    for target, limit, ours, theirs in LARGE:
        context = f"{ms[ours]:.3f} ms against {ms[theirs]:.3f} ms"
        rows.append(report.at_most(target, limit, ms[ours] / ms[theirs], context))
    peak, size = data["peak_bytes"]["`vml.exp(x[::3])`"], data["result_bytes"]
    target = "peak memory of `vml.exp(x[::3])` (10^6 results, tracemalloc), relative to the "
    target += "result's size"
    context = f"{peak:,} bytes for a {size:,}-byte result"
    rows.append(report.at_most(target, 1.1, peak / size, context))
    return rows
