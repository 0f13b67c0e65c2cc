"""The interpreter lock is released during MKL calls: two Python threads against one."""

from __future__ import annotations

import statistics
import sys
import threading
import time

import numpy

from . import machine, runtime


def cache_bytes(size: str) -> int | None:
    """Bytes from a sysfs cache size such as "1024K" or "2M"."""
    units = {"K": 2**10, "M": 2**20, "G": 2**30}
    try:
        return int(size[:-1]) * units[size[-1]] if size[-1:] in units else int(size)
    except ValueError:
        return None


def call_size() -> int:
    """Elements per call: the largest power of two whose input and output fill at most half
    of a core's L2 cache, so each thread works from its own cache and its calls are bound by
    arithmetic, not by the memory bandwidth the threads share. Longer calls are better (each
    call hands the interpreter lock over twice), so within that bound the size is the largest.
    """
    l2 = cache_bytes(machine.cpu_caches().get("L2", ""))
    if not l2:
        return 2**14
    n = 2**12
    while n < 2**16 and 2 * n * 2 * 8 <= l2 // 2:
        n *= 2
    return n


def measure(n: int, calls_per_thread: int, repeats: int) -> dict:
    """Two threads each call vdExp `calls_per_thread` times on their own n-element arrays;
    one thread makes all those calls alone. MKL runs on one thread in both cases.

    Every output is written before timing starts (a page first touched inside a timed run
    would charge the kernel's page fault to the call), each configuration runs once untimed
    right before each timed run, and the two configurations take turns going first.

    The same experiment in C (reference.c) runs between the Python repeats, so both
    see the same machine: on a shared or virtual machine the second core is not
    always a whole core, and the C figure says what the hardware gave.
    """
    lorimath = runtime.module()
    ffi, lib = lorimath.ffi, lorimath.lib
    runtime.set_mkl_threads(1)
    rng = numpy.random.default_rng(5)
    inputs = [rng.uniform(-10.0, 10.0, n) for _ in range(2)]
    outputs = [numpy.full(n, numpy.nan) for _ in range(2)]
    work = [
        (ffi.from_buffer("double[]", x), ffi.from_buffer("double[]", y, require_writable=True))
        for x, y in zip(inputs, outputs, strict=True)
    ]
    exp = lib.vdExp
    warm_up_calls = max(1, calls_per_thread // 4)

    # Every timed call's duration: a call that waited for the lock would stand out.
    alone: list[float] = []
    together: list[float] = []

    def calls(index: int, count: int, durations: list[float] | None) -> None:
        x, y = work[index]
        clock = time.perf_counter
        if durations is None:
            for _ in range(count):
                exp(n, x, y)
            return
        for _ in range(count):
            began = clock()
            exp(n, x, y)
            durations.append(clock() - began)

    def one_thread(count: int, durations: list[float] | None) -> float:
        start = time.perf_counter()
        calls(0, count, durations)
        calls(1, count, durations)
        return time.perf_counter() - start

    # The second thread lives through every run, as in a thread pool; the main thread is
    # the first, so two threads share the CPUs and no third one wakes in between. Each
    # thread takes its own times.
    start_line, finish_line = threading.Barrier(2), threading.Barrier(2)
    spans = [(0.0, 0.0), (0.0, 0.0)]
    order: list[tuple[int, list[float] | None]] = [(0, None)]  # the worker's next run

    def timed_calls(index: int, count: int, durations: list[float] | None) -> None:
        began = time.perf_counter()
        calls(index, count, durations)
        spans[index] = (began, time.perf_counter())

    def worker() -> None:
        try:
            while True:
                start_line.wait()
                timed_calls(1, *order[0])
                finish_line.wait()
        except threading.BrokenBarrierError:  # the measurement is over
            pass

    def two_threads(count: int, durations: list[float] | None) -> float:
        # Both threads append to `durations`: list.append holds the lock, so none is lost.
        order[0] = (count, durations)
        start_line.wait()
        timed_calls(0, count, durations)
        finish_line.wait()
        return max(end for _, end in spans) - min(begin for begin, _ in spans)

    second = threading.Thread(target=worker)
    second.start()
    one, two, c_one, c_two = [], [], [], []
    try:
        one_thread(calls_per_thread, None), two_threads(calls_per_thread, None)
        for repeat in range(repeats):
            # Alternate which configuration goes first, so that drift of the machine and
            # any after-effect of one configuration on the next hit both alike.
            configurations = [(one_thread, one, alone), (two_threads, two, together)]
            for run, samples, durations in configurations[:: 1 if repeat % 2 else -1]:
                run(warm_up_calls, None)
                samples.append(run(calls_per_thread, durations))
            reference = runtime.c_thread_reference(n, calls_per_thread)
            if reference:
                c_one.append(reference["one_thread"])
                c_two.append(reference["two_threads"])
    finally:
        start_line.abort()
        finish_line.abort()
        second.join()
    one_median, two_median = statistics.median(one), statistics.median(two)
    result = {
        "n": n,
        "calls_per_thread": calls_per_thread,
        "repeats": repeats,
        "threads": 2,
        "usable_cpus": machine.usable_cpus(),
        "switch_interval_ms": 1e3 * sys.getswitchinterval(),
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
    return result
