"""Eight threads call functions of every signature shape at once and get the single-threaded
results; MKL's mode and status stay per thread; a long call lets other Python threads run."""

from __future__ import annotations

import contextlib
import ctypes
import importlib
import random
import sys
import threading
import time

import numpy as np
import pytest
from vml_cases import CALLABLE_WITH_ARRAYS, baseline_mode, build_call, mode_word, operation_data

THREADS = 8
ROUNDS = 4
N = 2_000  # elements per call: long enough for the calls of different threads to overlap


def one_function_per_shape():
    """The first function of each distinct parameter list of the catalogue."""
    shapes = {}
    for fn in CALLABLE_WITH_ARRAYS:
        shapes.setdefault(fn.params, fn)
    return list(shapes.values())


SHAPES = one_function_per_shape()


def in_new_thread(work):
    """Runs `work` in a fresh thread, with MKL's per-thread defaults, and returns its result."""
    result = {}

    def run():
        result["value"] = work()

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    return result["value"]


def run_all(ffi, lib):
    """Every shape once under high accuracy; the raw bytes of every output."""
    lib.vmlSetMode(baseline_mode())
    results = {}
    for fn in SHAPES:
        call = build_call(
            ffi, fn, operation_data(fn.base, fn.precision, n=N), mode=mode_word(lib, "HA")
        )
        call(lib)
        results[fn.name] = [out.tobytes() for out in call.outputs]
    return results


def test_concurrent_calls_of_every_shape_match_single_threaded_results(ffi, lib):
    expected = in_new_thread(lambda: run_all(ffi, lib))
    start = threading.Barrier(THREADS)
    problems = []
    accuracies = ["HA", "LA", "EP"]
    callbacks = [ffi.callback("VMLErrorCallBack", lambda context: 0) for _ in range(THREADS)]

    def worker(index):
        try:
            lib.vmlSetMode(baseline_mode())
            rng = random.Random(index)
            start.wait()
            for _ in range(ROUNDS):
                order = SHAPES[:]
                rng.shuffle(order)
                for fn in order:
                    data = operation_data(fn.base, fn.precision, n=N)
                    call = build_call(ffi, fn, data, mode=mode_word(lib, "HA"))
                    call(lib)
                    if [out.tobytes() for out in call.outputs] != expected[fn.name]:
                        problems.append(f"thread {index}: {fn.name} differs")
                # MKL's mode, status and callback belong to each thread; every service
                # signature takes part.
                word = mode_word(lib, accuracies[index % 3])
                lib.VMLSETMODE([word])
                lib.vmlseterrstatus([100 + index])
                lib.vmlSetErrorCallBack(callbacks[index])
                time.sleep(0)
                state = (lib.vmlgetmode(), lib.VMLGETERRSTATUS(), lib.vmlGetErrorCallBack())
                if state != (word, 100 + index, callbacks[index]):
                    problems.append(f"thread {index}: another thread changed its MKL state")
                lib.vmlClearErrorCallBack()
                lib.vmlClearErrStatus()
                lib.vmlSetMode(baseline_mode())
        except Exception as error:  # reported below, with its thread
            problems.append(f"thread {index}: {error!r}")

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not problems, problems[:10]
    assert len(SHAPES) > 90  # every parameter list of the catalogue took part


# --- The interpreter lock is released while MKL computes. -----------------------------------


@contextlib.contextmanager
def mkl_single_threaded():
    """MKL computes on the calling thread only, so the other Python thread has a core."""
    path = next(line.split()[-1] for line in open("/proc/self/maps") if "libmkl_rt" in line)
    mkl = ctypes.CDLL(path)
    previous = mkl.MKL_Set_Num_Threads_Local(1)
    try:
        yield
    finally:
        mkl.MKL_Set_Num_Threads_Local(previous)


@pytest.mark.parametrize("module", ["lorimath", "full"])
def test_other_threads_run_during_a_long_call(module):
    """A Python thread keeps stamping the clock while another thread is inside one MKL call,
    in either module: their wrappers are instances of one template.

    Were the lock held during the call, the stamping thread could run only before the call
    starts (for at most one switch interval) or after it ends, never in the middle half of
    it; the input is made long enough for that half to span many switch intervals."""
    cffi_module = importlib.import_module(f"quorvex.mkl.{module}")
    ffi, lib = cffi_module.ffi, cffi_module.lib
    interval = sys.getswitchinterval()
    size = 1 << 18
    stamps, stop = [], threading.Event()

    def stamper():
        while not stop.is_set():
            stamps.append(time.perf_counter())
            time.sleep(0)

    result = {}

    def long_call():
        nonlocal size
        with mkl_single_threaded():
            while True:
                x = np.linspace(0.1, 100.0, size)
                y = np.empty_like(x)
                xs, ys = (
                    ffi.from_buffer("double[]", x),
                    ffi.from_buffer("double[]", y, require_writable=True),
                )
                begin = time.perf_counter()
                lib.vdTGamma(size, xs, ys)
                end = time.perf_counter()
                if end - begin >= 20 * interval or size >= 1 << 25:
                    break
                size *= 4
        result.update(begin=begin, end=end)

    thread = threading.Thread(target=stamper)
    thread.start()
    try:
        worker = threading.Thread(target=long_call)
        worker.start()
        worker.join()
    finally:
        stop.set()
        thread.join()
    begin, end = result["begin"], result["end"]
    quarter = (end - begin) / 4
    if quarter < 2 * interval:
        pytest.skip("the longest call made was too short to tell")
    inside = [s for s in stamps if begin + quarter < s < end - quarter]
    assert inside, f"no other thread ran during a {end - begin:.3f} s call"
