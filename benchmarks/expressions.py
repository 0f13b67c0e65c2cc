"""numexpr's own benchmark expressions: `quorvex.mkl.evaluate` against numexpr and a C loop."""

from __future__ import annotations

import numpy

from . import blackscholes, harness, report

NAME = "expressions"
TITLE = "numexpr's benchmark expressions"
ABOUT = (
    "ms per call of `quorvex.mkl.evaluate(ex, out=r)` and `numexpr.evaluate(ex, out=r)` on "
    "float64 arrays, both on {threads} threads, calibrated medians, MKL's own kernel choice "
    "({kernels}); the arithmetic ones also as one `-O3` C loop over the same threads at the "
    "largest size, and per call on 10 elements with the expression cached (fastest of rounds)."
)
EXPRESSIONS = (
    "2*a+3*b",
    "a*b+c",
    "sin(a)**2+cos(a)**2",
    "exp(-a**2/2)",
    "((.25*a + .75)*a - 1.5)*a - 2",
)
SIZES = {True: tuple(10**e for e in range(3, 7)), False: tuple(10**e for e in range(3, 9))}


def measure(quick: bool) -> dict:
    import numexpr

    found, threads = blackscholes.engine(), harness.usable_cpus()
    numexpr.set_num_threads(threads)
    budget, sizes, rng = harness.Budget.of(quick), SIZES[quick], numpy.random.default_rng(11)
    a, b, c = (rng.uniform(low, low + 1, sizes[-1]) for low in (-1, 0, 1))
    out, rows = numpy.full(sizes[-1], 0.0), []
    for expression in EXPRESSIONS:
        for n in sizes:
            arguments = (expression, dict(a=a[:n], b=b[:n], c=c[:n]), out[:n])
            ours = found and harness.call_ms(_calling(found[0], threads=threads), arguments, budget)
            theirs = harness.call_ms(_calling(numexpr.evaluate), arguments, budget)
            rows.append([expression, n, ours, theirs])
    c_loop = harness.c_reference("arithmetic", sizes[-1], threads) or {}
    names = dict(a=a[:10], b=b[:10], f=numexpr.evaluate)
    cases = {"numexpr": ('f("2*a+3*b")', names)}
    if found:
        cases["quorvex"] = ('f("2*a+3*b")', dict(names, f=found[0]))
    per_call = harness.interleaved(cases, budget, min, unit=1e6)
    c_ms = {e: c_loop[e] * 1e3 for e in EXPRESSIONS if e in c_loop}
    data = dict(threads=threads, kernels=harness.kernel_library(), largest=sizes[-1])
    return dict(data, rows=rows, c_ms=c_ms, per_call_us=per_call)


def _calling(evaluate, **options):
    """evaluate(ex, names, out=out): both write into `out` (numexpr's third argument is not)."""
    return lambda expression, names, out: evaluate(expression, names, out=out, **options)


def tables(data: dict, results: dict) -> list:
    rows = []
    for ex, n, ours, theirs in data["rows"]:
        c = data["c_ms"].get(ex) if n == data["largest"] else None
        speed, over_c = report.ratio(theirs, ours), report.ratio(ours, c)
        rows.append([f"`{ex}`", report.size(n), ours or "not available", theirs, speed, c, over_c])
    header = ["expression", "n", "`evaluate` ms", "numexpr ms", "speed-up over numexpr"]
    per_call = [[key, value] for key, value in data["per_call_us"].items()]
    return [([*header, "C loop ms", "`evaluate` ÷ C"], rows),
            (['`evaluate("2*a+3*b")` on 10 elements', "µs per call"], per_call)]  # fmt: skip


def targets(data: dict, results: dict) -> list[dict]:
    rows, largest, per_call = data["rows"], data["largest"], data["per_call_us"]
    speedups = {
        f"`{e}` at n = {report.size(n)}": report.ratio(theirs, ours)
        for e, n, ours, theirs in rows
        if n >= 10**4
    }
    over_c = {
        f"`{e}`": report.ratio(ours, data["c_ms"].get(e)) for e, n, ours, _ in rows if n == largest
    }
    name = "numexpr's benchmark expressions, n = 10^4 and above, `evaluate`'s speed-up over "
    name += "numexpr on the same threads (the worst case)"
    first = report.bound(name, ">", 1, *report.worst(speedups, lowest=True))
    name = f"numexpr's arithmetic expressions at n = {report.size(largest)}, `evaluate`'s time "
    name += "relative to one `-O3` C loop on the same threads (the worst case)"
    second = report.at_most(name, 1.25, *report.worst(over_c))
    name = '`evaluate("2*a+3*b")` per call on 10 elements, cached, relative to numexpr\'s'
    third = report.relative(name, 0.3, per_call.get("quorvex"), per_call["numexpr"], "µs")
    return [first, second, third]
