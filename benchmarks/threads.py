"""The interpreter lock is released during MKL calls: two Python threads against one."""

from __future__ import annotations

import statistics
import threading
import time

import numpy

from . import runtime


def measure(n: int, calls_per_thread: int, repeats: int) -> dict:
    """Two threads each call vdExp `calls_per_thread` times on their own n-element arrays;
    one thread makes all those calls alone. MKL runs on one thread in both cases.

    The same experiment in C (reference.c) runs between the Python repeats, so both
    see the same machine: on a shared or virtual machine the second core is not
    always a whole core, and the C figure says what the hardware gave.
    """
    lorimath = runtime.module()
    ffi, lib = lorimath.ffi, lorimath.lib
    runtime.set_mkl_threads(1)
    rng = numpy.random.default_rng(5)
    inputs = [rng.uniform(-10.0, 10.0, n) for _ in range(2)]
    outputs = [numpy.empty(n) for _ in range(2)]
    work = [
        (ffi.from_buffer("double[]", x), ffi.from_buffer("double[]", y, require_writable=True))
        for x, y in zip(inputs, outputs, strict=True)
    ]
    exp = lib.vdExp

    # Every call's duration: a call that waited for the lock would stand out by
    # milliseconds (the interpreter's switch interval is 5 ms).
    alone: list[float] = []
    together: list[float] = []

    def calls(index: int, durations: list[float]) -> None:
        x, y = work[index]
        clock = time.perf_counter
        for _ in range(calls_per_thread):
            began = clock()
            exp(n, x, y)
            durations.append(clock() - began)

    def one_thread() -> float:
        start = time.perf_counter()
        calls(0, alone)
        calls(1, alone)
        return time.perf_counter() - start

    # The second thread lives through every repeat, as in a thread pool; the main thread
    # is the first, so two threads share the two CPUs and no third one wakes in between.
    # Each thread takes its own times.
    start_line, finish_line = threading.Barrier(2), threading.Barrier(2)
    spans = [(0.0, 0.0), (0.0, 0.0)]

    def timed_calls(index: int) -> None:
        began = time.perf_counter()
        calls(index, together)
        spans[index] = (began, time.perf_counter())

    def worker() -> None:
        for _ in range(repeats + 1):
            start_line.wait()
            timed_calls(1)
            finish_line.wait()

    def two_threads() -> float:
        start_line.wait()
        timed_calls(0)
        finish_line.wait()
        return max(end for _, end in spans) - min(begin for begin, _ in spans)

    second = threading.Thread(target=worker)
    second.start()
    one_thread(), two_threads()  # warm-up
    alone.clear()
    together.clear()
    one, two, c_one, c_two = [], [], [], []
    for _ in range(repeats):  # interleaved, so slow phases of the machine hit all alike
        # After both CPUs were busy, one CPU alone runs slower for a while (the clock
        # boost recovers): pause so that the one-thread run does not pay for that.
        time.sleep(0.05)
        one.append(one_thread())
        two.append(two_threads())
        reference = runtime.c_reference(1, only_threads=True)
        if reference:
            c_one.append(reference["one_thread", n])
            c_two.append(reference["two_threads", n])
    one_median, two_median = statistics.median(one), statistics.median(two)
    result = {
        "n": n,
        "calls_per_thread": calls_per_thread,
        "repeats": repeats,
        "one_thread_ms": one_median * 1e3,
        "two_threads_ms": two_median * 1e3,
        "speedup": one_median / two_median,
        "call_ms_alone": statistics.median(alone) * 1e3,
        "call_ms_together": statistics.median(together) * 1e3,
        "p95_call_ms_together": statistics.quantiles(together, n=20)[-1] * 1e3,
        "slowest_call_ms_together": max(together) * 1e3,
    }
    if c_one:
        result["c_one_thread_ms"] = statistics.median(c_one) * 1e3
        result["c_two_threads_ms"] = statistics.median(c_two) * 1e3
        result["c_speedup"] = statistics.median(c_one) / statistics.median(c_two)
    second.join()
    return result
