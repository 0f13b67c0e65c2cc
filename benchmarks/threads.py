"""The interpreter lock is released during MKL calls: two Python threads against one."""

from __future__ import annotations

import os
import statistics
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy

from . import harness, machine, report

NAME = "threads"
TITLE = "Lock release: two Python threads against one"
ABOUT = (
    "Each of two threads calls `lib.vdExp` {calls:,} times on its own {n:,}-element arrays "
    "(in and out fill at most half a core's L2 cache), against one thread making all the calls, "
    "MKL on one thread; medians of {repeats} runs taking turns, the same experiment in C "
    "(POSIX threads, no interpreter) run between them. Then `vml.exp` on 1,000 float64 "
    "elements and `evaluate` on 10^4, the same way, on this interpreter and on the "
    "free-threaded one `QUORVEX_FREE_THREADED_PYTHON` names (with the package installed)."
)
FREE_THREADED = "QUORVEX_FREE_THREADED_PYTHON"
EXPRESSION = "exp(-a**2/2) + a"
WORK = ("`vml.exp`, n = 1,000", f'`evaluate("{EXPRESSION}")`, n = 10^4')


def call_size() -> int:
    """The largest power of two up to 2^16 whose input and output fill at most half of L2."""
    l2, n = machine.cache_bytes("L2") or 2**20, 2**12
    while n < 2**16 and 2 * (2 * n) * 8 <= l2 // 2:
        n *= 2
    return n


def one_and_two(run, calls: int, repeats: int, between=None) -> dict:
    """Median ms of `run(0, calls)` and `run(1, calls)` one after the other on one thread, and
    at once on two, the orders taking turns; `between()` after each round."""

    def one_thread(count: int) -> float:
        start = time.perf_counter()
        run(0, count), run(1, count)
        return time.perf_counter() - start

    def two_threads(count: int) -> float:
        start = time.perf_counter()
        second = pool.submit(run, 1, count)
        run(0, count)
        second.result()
        return time.perf_counter() - start

    samples: dict[str, list[float]] = {"one": [], "two": []}
    # The second thread lives through every run, as in a pool; the main thread is the first.
    with ThreadPoolExecutor(1) as pool:
        for repeat in range(repeats):
            configurations = [("one", one_thread), ("two", two_threads)]
            for key, configuration in configurations[:: 1 if repeat % 2 else -1]:
                configuration(max(1, calls // 4))  # warm-up right before each timed run
                samples[key].append(configuration(calls))
            if between:
                between()
    return {key: statistics.median(timed) * 1e3 for key, timed in samples.items()}


def with_c(run, n: int, calls: int, repeats: int) -> dict:
    """one_and_two(run, ...), and after each round two POSIX threads calling `vdExp` on n
    elements `calls` times in C: under the same load as the round (`c_one`, `c_two`)."""
    c_samples: dict[str, list[float]] = {"one_thread": [], "two_threads": []}

    def c_reference() -> None:
        for key, seconds in (harness.c_reference("threads", n, calls) or {}).items():
            c_samples[key].append(seconds)

    ms = one_and_two(run, calls, repeats, c_reference)
    for key, timed in c_samples.items():
        ms[f"c_{key.split('_')[0]}"] = statistics.median(timed) * 1e3 if timed else None
    return ms


def python_threads(quick: bool) -> dict:
    """`vml.exp` (1,000 elements) and `evaluate` (10^4) on one and on two Python threads, each
    thread its own arrays, MKL and the engine on one thread each; and the GIL's state."""
    from quorvex.mkl import evaluate, vml

    harness.set_mkl_threads(1)
    rng = numpy.random.default_rng(5)
    arrays = {n: [(rng.uniform(-3, 3, n), numpy.zeros(n)) for _ in range(2)] for n in (1000, 10**4)}

    def exp(index: int, count: int) -> None:
        x, y = arrays[1000][index]
        for _ in range(count):
            vml.exp(x, out=y)

    def expression(index: int, count: int) -> None:
        a, y = arrays[10**4][index]
        for _ in range(count):
            evaluate(EXPRESSION, {"a": a}, {}, out=y, threads=1)

    repeats, calls = (3, 2000) if quick else (9, 50000)
    timed = [with_c(exp, 1000, calls, repeats), with_c(expression, 10**4, calls // 10, repeats)]
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()  # after: as it was throughout
    return {"gil": gil, **dict(zip(WORK, timed, strict=True))}


def measure(quick: bool) -> dict:
    n = call_size()
    calls, repeats = (2**24 if quick else 2**26) // n, 5 if quick else 11
    module = harness.lorimath()
    buffer, exp = module.ffi.from_buffer, module.lib.vdExp
    rng = numpy.random.default_rng(5)
    arrays = [(rng.uniform(-10, 10, n), numpy.zeros(n)) for _ in range(2)]
    work = [(buffer("double[]", x), buffer("double[]", y, True)) for x, y in arrays]

    def run(index: int, count: int) -> None:
        x, y = work[index]
        for _ in range(count):
            exp(n, x, y)

    ms = with_c(run, n, calls, repeats)
    pythons = {"this interpreter": python_threads(quick)}
    if os.environ.get(FREE_THREADED):
        python = os.environ[FREE_THREADED]
        pythons["free-threaded"] = harness.elsewhere(
            {}, NAME, "python_threads", python, quick=quick
        )
    return {"n": n, "calls": calls, "repeats": repeats, "ms": ms, "pythons": pythons}


WAYS = (  # label, and the keys of one thread's and two threads' times
    ("Python threads, `lib.vdExp`", "one", "two"),
    ("C, POSIX threads calling `vdExp`", "c_one", "c_two"),
)


def tables(data: dict, results: dict) -> list:
    rows, ms = [], data["ms"]
    for label, one, two in WAYS:
        speedup = report.ratio(ms[one], ms[two])
        rows.append([label, ms[one], ms[two], speedup, "", report.impossible(speedup, 2, results)])
    for python, found in data.get("pythons", {}).items():
        gil = "GIL on" if found["gil"] else "GIL off"
        for work, t in list(found.items())[1:]:
            speedup, c = report.ratio(t["one"], t["two"]), report.ratio(t["c_one"], t["c_two"])
            fault = report.impossible(speedup, 2, results)
            rows.append([f"{work}, {python} ({gil})", t["one"], t["two"], speedup, c, fault])
    header = ["", "one thread, ms", "two threads, ms", "speed-up", "C's speed-up between", "fault"]
    return [(header, rows)]


def targets(data: dict, results: dict) -> list[dict]:
    ms, n = data["ms"], data["n"]
    speedup, c = report.ratio(ms["one"], ms["two"]), report.ratio(ms["c_one"], ms["c_two"])
    name = f"two Python threads calling `vdExp` (n = {n:,} per call), throughput relative to one"
    context, fault = c and f"C, two POSIX threads: {c:.2f}x", report.impossible(speedup, 2, results)
    rows = [report.at_least(name, 1.8, speedup, context, fault=fault)]
    free = data.get("pythons", {}).get("free-threaded", {})
    for work in WORK:
        timed = free.get(work, {})
        pair = [report.ratio(timed.get(f"{c}one"), timed.get(f"{c}two")) for c in ("", "c_")]
        name = f"free-threaded CPython, two Python threads calling {work}, throughput ÷ one's"
        how = "C, two POSIX threads, n as the calls', between the rounds"
        rows.append(report.scaling(name, 1.8, [pair], how, results=results))
    return rows
