"""The interpreter lock is released during MKL calls: two Python threads against one."""

from __future__ import annotations

import statistics
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
    "(POSIX threads, no interpreter) run between them."
)


def call_size() -> int:
    """The largest power of two up to 2^16 whose input and output fill at most half of L2."""
    l2, n = machine.cache_bytes("L2") or 2**20, 2**12
    while n < 2**16 and 2 * (2 * n) * 8 <= l2 // 2:
        n *= 2
    return n


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

    samples: dict[str, list[float]] = {"one": [], "two": [], "c_one": [], "c_two": []}
    # The second thread lives through every run, as in a pool; the main thread is the first.
    with ThreadPoolExecutor(1) as pool:
        for repeat in range(repeats):
            configurations = [("one", one_thread), ("two", two_threads)]
            for key, configuration in configurations[:: 1 if repeat % 2 else -1]:
                configuration(max(1, calls // 4))  # warm-up right before each timed run
                samples[key].append(configuration(calls))
            c = harness.c_reference("threads", n, calls)
            if c:
                samples["c_one"].append(c["one_thread"])
                samples["c_two"].append(c["two_threads"])
    ms = {key: statistics.median(timed) * 1e3 if timed else None for key, timed in samples.items()}
    return {"n": n, "calls": calls, "repeats": repeats, "ms": ms}


WAYS = (  # label, and the keys of one thread's and two threads' times
    ("Python threads, `lib.vdExp`", "one", "two"),
    ("C, POSIX threads calling `vdExp`", "c_one", "c_two"),
)


def tables(data: dict, results: dict) -> list:
    rows, ms = [], data["ms"]
    for label, one, two in WAYS:
        speedup = report.ratio(ms[one], ms[two])
        rows.append([label, ms[one], ms[two], speedup, report.impossible(speedup, 2, results)])
    return [(["", "one thread, ms", "two threads, ms", "speed-up", "fault"], rows)]


def targets(data: dict, results: dict) -> list[dict]:
    ms, n = data["ms"], data["n"]
    speedup, c = report.ratio(ms["one"], ms["two"]), report.ratio(ms["c_one"], ms["c_two"])
    name = f"two Python threads calling `vdExp` (n = {n:,} per call), throughput relative to one"
    context, fault = c and f"C, two POSIX threads: {c:.2f}x", report.impossible(speedup, 2, results)
    return [report.at_least(name, 1.8, speedup, context, fault=fault)]
