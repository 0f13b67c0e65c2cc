"""`python -m benchmarks.dask_scaling`: vml's exp on Dask arrays, by scheduler, workers and chunk.

Runs this section alone and writes dask_scaling.md and .json beside the other results.
"""

from __future__ import annotations

import statistics
import sys
import time

from . import report

NAME = "dask"
TITLE = "Dask: threads, worker processes and chunk sizes"
ABOUT = (
    "Seconds (median of {repeats} runs after a warm-up, one run beyond a second) of "
    "`vml.exp(x).sum()` over {n:,} float64 elements in memory beforehand, on Dask's threaded "
    "scheduler and on a `LocalCluster` of one-thread worker processes, MKL on one thread per "
    "process; the cost per task is the time all workers spent beyond a plain loop over the "
    "same chunks, over the chunks."
)
LOOP = "none (a loop)"


def _median(repeats: int, function, *arguments) -> float:
    start = time.perf_counter()
    function(*arguments)  # warm-up: workers import the package and MKL loads its kernels
    samples = []
    for _ in range(repeats if time.perf_counter() - start < 1 else 1):  # long runs: one
        start = time.perf_counter()
        function(*arguments)
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


def measure(quick: bool) -> dict:
    import dask.array as da
    import numpy
    from distributed import Client, LocalCluster

    from quorvex.mkl import dask as vd
    from quorvex.mkl import vml

    def loop(x, chunk: int) -> float:
        return sum(vml.exp(x[i : i + chunk]).sum() for i in range(0, x.size, chunk))

    def threaded(x, workers: int) -> float:
        return vml.exp(x).sum().compute(scheduler="threads", num_workers=workers)

    def distributed(client, x) -> float:
        return client.compute(vml.exp(x).sum(), sync=True)

    n, repeats = (10**7, 3) if quick else (10**8, 5)
    chunks = (10**4, 10**5, 10**6) if quick else (10**4, 10**5, 10**6, 10**7)
    vd.set_num_threads(1)
    whole = numpy.linspace(-5, 5, n)  # the same work without Dask: a loop over the chunks
    rows = [[LOOP, 1, chunk, _median(repeats, loop, whole, chunk)] for chunk in chunks]
    del whole
    for chunk in chunks:
        x = da.linspace(-5, 5, n, chunks=chunk).persist(scheduler="threads")
        for workers in (1, 2) if chunk == 10**6 else (2,):
            rows.append(["threads", workers, chunk, _median(repeats, threaded, x, workers)])
        del x
    for workers in (1, 2):
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                               dashboard_address=":0", silence_logs=40)  # fmt: skip
        with cluster, Client(cluster, set_as_default=False) as client:
            vd.set_num_threads(1, client)
            # 10^4-element chunks cost the distributed scheduler seconds per run.
            for chunk in [c for c in chunks if c >= 10**5 and (workers == 2 or c == 10**6)]:
                x = client.persist(da.linspace(-5, 5, n, chunks=chunk))
                seconds = _median(repeats, distributed, client, x)
                rows.append(["distributed", workers, chunk, seconds])
                del x
    return {"n": n, "repeats": repeats, "rows": rows}


def tables(data: dict, results: dict) -> list:
    n, rows, table = data["n"], data["rows"], []
    loop = {chunk: seconds for scheduler, _, chunk, seconds in rows if scheduler == LOOP}
    one = {row[0]: row[3] for row in rows if row[1] == 1 and row[2] == 10**6}
    for scheduler, workers, chunk, seconds in rows:
        tasks = -(-n // chunk)
        speedup = report.ratio(one[scheduler], seconds) if chunk == 10**6 else None
        speedup = "impossible" if report.impossible(speedup, workers, results) else speedup
        overhead = None if scheduler == LOOP else (seconds * workers - loop[chunk]) / tasks * 1e3
        cells = [report.size(chunk), tasks, seconds, seconds / n * 1e9, speedup, overhead]
        table.append([scheduler, workers, *cells])
    header = ["scheduler", "workers", "chunk (elements)", "tasks", "seconds", "ns per element"]
    return [([*header, "speed-up over one worker", "cost per task, ms"], table)]


def targets(data: dict, results: dict) -> list[dict]:
    return []  # the Dask figures guide the choice of chunks; no limit holds them


if __name__ == "__main__":
    from .__main__ import main

    sys.exit(main(["--only", NAME, *sys.argv[1:]], stem="dask_scaling"))
