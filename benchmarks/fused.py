"""Reductions and selections around an expression: `evaluate` against numexpr, NumPy, C."""

from __future__ import annotations

from functools import partial

import numpy

from . import blackscholes, harness, report

NAME = "fused"
TITLE = "Fused reductions, selections and strings"
ABOUT = (
    "ms per call of `quorvex.mkl.evaluate(ex)`, `numexpr.evaluate(ex)` (the selection with "
    "`out=`) and NumPy's chain on float64 arrays of n = {n} (A 3000 x 3000 for the row sums), "
    "on one and on two threads (NumPy on one), calibrated medians, MKL's own kernel choice "
    "({kernels}); one `-O3` C loop for the selection and for the dot product (eight sums), the "
    "latter's and ours' speed-ups of two threads in rounds; the largest Python-visible allocation "
    "of one fused `sum(a*b)`; and string comparisons and searches of {strings} `S12` words on one "
    "thread, against `np.char`'s functions."
)
SUM_OF_FUNCTIONS = "sum(sin(a)+exp(a)+log(a+3))"
CASES = {  # expression -> NumPy's way
    "sum(a*b)": lambda a, b: numpy.sum(a * b),
    SUM_OF_FUNCTIONS: lambda a, b: numpy.sum(numpy.sin(a) + numpy.exp(a) + numpy.log(a + 3)),
    "sum(where(a**2+b**2 <= 1, 1, 0))": lambda a, b: numpy.sum(numpy.where(a**2 + b**2 <= 1, 1, 0)),
    "where(a > b, a, b)": lambda a, b: numpy.where(a > b, a, b),
}
STRINGS = {  # expression -> np.char's way, on arrays of words s and t
    "s == t": numpy.char.equal,
    "s < b'f'": lambda s, t: numpy.char.less(s, b"f"),
    "contains(s, b'an')": lambda s, t: numpy.char.find(s, b"an") >= 0,
    "contains(s, t)": lambda s, t: numpy.char.find(s, t) >= 0,
}
WORDS = [b"apple", b"banana", b"cherry", b"date", b"elderberry", b"fig", b"grape", b"an", b"rry"]
WHERE = "where(a > b, a, b)"
DOT = "sum(a*b)"
ROWS = "sum(A*v, axis=1)"


def measure(quick: bool) -> dict:
    import numexpr

    found = blackscholes.engine()
    evaluate = found[0] if found else None
    n, side, strings = (10**6, 1000, 10**5) if quick else (10**7, 3000, 10**6)
    budget, rng = harness.Budget.of(quick), numpy.random.default_rng(5)
    a, b = rng.uniform(-1, 1, n), rng.uniform(-1, 1, n)
    A, v = rng.uniform(-1, 1, (side, side)), rng.uniform(-1, 1, side)
    s, t = (numpy.array(WORDS, "S12")[rng.integers(0, len(WORDS), strings)] for _ in "st")
    out, rows = numpy.empty(n), []
    ways = {**CASES, ROWS: lambda a, b: numpy.sum(A * v, axis=1), **STRINGS}
    operands = {ROWS: dict(A=A, v=v), **{ex: dict(s=s, t=t) for ex in STRINGS}}
    for ex, numpy_way in ways.items():
        for threads in (1,) if ex in STRINGS else (1, 2):  # back to back, for their ratio
            numexpr.set_num_threads(threads)
            names = operands.get(ex, dict(a=a, b=b))
            # The selection writes into an array of its own, as the C loop does.
            into = {"out": out} if ex == WHERE else {}
            ours = evaluate and harness.call_ms(
                partial(evaluate, threads=threads, **into), (ex, names), budget
            )
            theirs = harness.call_ms(partial(numexpr.evaluate, **into), (ex, names), budget)
            first_two = tuple(names.values())[:2]
            mine = harness.call_ms(numpy_way, first_two, budget) if threads == 1 else None
            rows.append([ex, threads, ours, theirs, mine])
    c_loop, dot = harness.c_reference("arithmetic", n, 1) or {}, (DOT, dict(a=a, b=b))

    def dot_speedups() -> list:  # ours and C's, two threads over one
        ours = [harness.call_ms(partial(evaluate, threads=t), dot, budget) for t in (1, 2)]
        c = [(harness.c_reference("arithmetic", n, t) or {}).get(DOT) for t in (1, 2)]
        return [report.ratio(*ours), report.ratio(*c)]

    # In turns: the speed of memory, shared with other machines here, moves from second to second.
    turns = [dot_speedups() for _ in range(budget.rounds)] if evaluate else []
    peak = harness.traced_peak(lambda: evaluate(*dot), warm=False) if evaluate else 0
    c_ms = {e: c_loop[e] * 1e3 for e in CASES if e in c_loop}
    return dict(n=report.size(n), kernels=harness.kernel_library(), rows=rows, c_ms=c_ms,
                peak_kb=peak / 1024, cpus=harness.usable_cpus(),
                dot_speedups=turns,
                strings=report.size(strings))  # fmt: skip


def tables(data: dict, results: dict) -> list:
    rows = []
    for ex, threads, ours, theirs, numpy_ms in data["rows"]:
        c = data["c_ms"].get(ex) if threads == 1 else None
        ratios = [report.ratio(ours, theirs), report.ratio(ours, c)]
        rows.append([f"`{ex}`", threads, ours, theirs, numpy_ms, c, *ratios])
    header = ["expression", "threads", "`evaluate` ms", "numexpr ms", "NumPy (`np.char`) ms",
              "C loop ms", "`evaluate` ÷ numexpr", "`evaluate` ÷ C"]  # fmt: skip
    return [(header, rows)]


def targets(data: dict, results: dict) -> list[dict]:
    ms = {(ex, threads): (ours, theirs) for ex, threads, ours, theirs, _ in data["rows"]}

    def relative(ex: str, limit: float, c: bool = False) -> dict:
        """`ex`'s time on one thread relative to numexpr's, or with `c` to the C loop's."""
        ours, theirs = ms[(ex, 1)]
        name = f"`{ex}`, one thread, relative to {'one `-O3` C loop' if c else 'numexpr'}"
        theirs = data["c_ms"].get(ex) if c else theirs
        return report.at_most(name, limit, report.ratio(ours, theirs))

    name = "`sum(a*b)` on two threads, speed-up over one"
    # Where one thread reads as fast as memory gives, a second gains what memory has left.
    how = "C's loop, at memory's speed, in the same rounds"
    two_threads = report.scaling(name, 1.6, data["dot_speedups"], how, results=results)
    if data["cpus"] == 1:  # no second CPU for the second thread
        two_threads.update(measured=None, met="n/a")
    strings = {
        f"`{ex}`": report.ratio(ours, min(theirs, mine))
        for ex, _, ours, theirs, mine in data["rows"]
        if ex in STRINGS
    }
    name = f"strings at n = {data['strings']}, relative to the faster of `np.char` and numexpr "
    name += "(the slowest case)"
    return [
        relative("sum(a*b)", 1.25, c=True),
        relative("sum(a*b)", 0.6),
        two_threads,
        relative(SUM_OF_FUNCTIONS, 0.5),
        relative(ROWS, 0.8),
        relative(WHERE, 1.25, c=True),
        report.at_most("Python-visible allocation of a fused `sum(a*b)`, kB", 64, data["peak_kb"]),
        report.at_most(name, 1, *report.worst(strings)),
    ]
