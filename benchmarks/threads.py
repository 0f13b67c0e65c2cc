"""The interpreter lock is released during MKL calls: two Python threads against one."""

from __future__ import annotations

import statistics
import threading
import time

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
    ffi, exp = module.ffi, module.lib.vdExp
    rng = numpy.random.default_rng(5)
    arrays = [(rng.uniform(-10, 10, n), numpy.zeros(n)) for _ in range(2)]
    work = [
        (ffi.from_buffer("double[]", x), ffi.from_buffer("double[]", y, True)) for x, y in arrays
    ]

    def run(index: int, count: int) -> None:
        x, y = work[index]
        for _ in range(count):
            exp(n, x, y)

    def one_thread(count: int) -> float:
        start = time.perf_counter()
        run(0, count), run(1, count)
        return time.perf_counter() - start

    # The second thread lives through every run, as in a pool; the main thread is the first.
    start_line, finish_line, order = threading.Barrier(2), threading.Barrier(2), [0]

    def worker() -> None:
        try:
            while True:
                start_line.wait()
                run(1, order[0])
                finish_line.wait()
        except threading.BrokenBarrierError:
            pass

    def two_threads(count: int) -> float:
        order[0] = count
        start = time.perf_counter()
        start_line.wait()
        run(0, count)
        finish_line.wait()
        return time.perf_counter() - start

    second = threading.Thread(target=worker)
    second.start()
    samples: dict[str, list[float]] = {"one": [], "two": [], "c_one": [], "c_two": []}
    try:
        for repeat in range(repeats):
            configurations = [("one", one_thread), ("two", two_threads)]
            for key, configuration in configurations[:: 1 if repeat % 2 else -1]:
                configuration(max(1, calls // 4))  # warm-up right before each timed run
                samples[key].append(configuration(calls))
            c = harness.c_reference("threads", n, calls)
            if c:
                samples["c_one"].append(c["one_thread"])
                samples["c_two"].append(c["two_threads"])
    finally:
        start_line.abort()
        finish_line.abort()
        second.join()
    medians = {
        key: statistics.median(values) if values else None for key, values in samples.items()
    }
    return {
        "n": n,
        "calls": calls,
        "repeats": repeats,
        "ms": {k: v and v * 1e3 for k, v in medians.items()},
    }


def tables(data: dict, results: dict) -> list:
    ms = data["ms"]
    rows = [
        [
            label,
            ms[one],
            ms[two],
            report.ratio(ms[one], ms[two]),
            report.impossible(report.ratio(ms[one], ms[two]), 2, results),
        ]
        for label, one, two in (
            ("Python threads, `lib.vdExp`", "one", "two"),
            ("C, POSIX threads calling `vdExp`", "c_one", "c_two"),
        )
    ]
    return [(["", "one thread, ms", "two threads, ms", "speed-up", "fault"], rows)]


def targets(data: dict, results: dict) -> list[dict]:
    ms = data["ms"]
    speedup, c = report.ratio(ms["one"], ms["two"]), report.ratio(ms["c_one"], ms["c_two"])
    row = report.at_least(
        f"two Python threads calling `vdExp` (n = {data['n']:,} per call), throughput "
        "relative to one",
        1.8,
        speedup,
        c and f"C, two POSIX threads: {c:.2f}x",
    )
    row["fault"] = report.impossible(speedup, 2, results)
    return [row]
