"""`python -m benchmarks.dask_scaling`: exp on Dask arrays, one against two threads and processes.

Computes exp over 10^8 float64 elements in chunks of 10^6 with quorvex.mkl.dask.exp and,
for comparison, dask.array.exp (NumPy's exp per chunk): on Dask's threaded scheduler
with one and two threads, and on a dask.distributed LocalCluster with one and two worker
processes of one thread each. MKL runs on one thread per process throughout, except in
the row that shows what MKL's default thread count does under the threaded scheduler.
A sweep over chunk sizes backs the chunk-size advice.

Two pipelines: "keep" computes every chunk's result and keeps it in memory (``persist``),
so each chunk writes to fresh memory; "sum" reduces the results to one number
(``exp(x).sum()``), so each chunk's memory is freed and reused at once. The input is
computed and kept in memory (on the workers) before the clock starts, and no array is
sent back to the caller.

Writes benchmarks/results/dask_scaling.md and .json (with --quick, 10^7 elements and
fewer repeats, into build/benchmarks-quick/ unless --output says otherwise).
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import statistics
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

from . import ROOT, output_directory

FIELDS = ("scheduler", "workers", "mkl_threads", "function", "pipeline", "chunk")
PIPELINES = ("keep", "sum")


def _timed(runs: dict[tuple, Callable[[], Any]], repeats: int) -> list[dict]:
    """Median and best seconds of each run, as rows; the keys of ``runs`` are FIELDS values.

    The runs take turns, so a slow phase of the machine (other processes, say) hits all
    of them alike rather than whichever happened to run then.
    """
    for run in runs.values():
        run()  # warm-up: workers import the module and MKL loads its kernels
    samples: dict[tuple, list[float]] = {config: [] for config in runs}
    for _ in range(repeats):
        for config, run in runs.items():
            start = time.perf_counter()
            run()
            samples[config].append(time.perf_counter() - start)
    return [
        dict(zip(FIELDS, config, strict=True), seconds=statistics.median(t), min_seconds=min(t))
        for config, t in samples.items()
    ]


def _sweep_repeats(repeats: int) -> int:
    """Chunk sizes differ by far more than the noise: fewer repeats do."""
    return max(3, repeats // 3)


def _functions() -> dict[str, Callable[[Any], Any]]:
    import dask.array as da

    from quorvex.mkl import dask as vd

    return {"quorvex": vd.exp, "numpy": da.exp}


def _pipeline(name: str, expression: Any) -> Any:
    return expression.sum() if name == "sum" else expression


def threaded(n: int, chunk: int, sweep: tuple[int, ...], repeats: int) -> list[dict]:
    """The threaded scheduler with one and two threads, MKL on one thread and on its default;
    then quorvex.mkl.dask.exp with two threads per chunk size in ``sweep``."""
    import dask.array as da

    from quorvex.mkl import dask as vd

    default_threads = vd.get_num_threads()
    inputs = {c: da.linspace(-5.0, 5.0, n, chunks=c).persist(scheduler="threads") for c in sweep}

    def run(workers: int, mkl_threads: int, function: str, pipeline: str, size: int):
        op = _functions()[function]

        def compute() -> None:
            vd.set_num_threads(mkl_threads)  # MKL's count is per process: set it per run
            expression = _pipeline(pipeline, op(inputs[size]))
            expression.persist(scheduler="threads", num_workers=workers)

        return compute

    configs = [
        ("threads", workers, 1, function, pipeline, chunk)
        for workers in (1, 2)
        for function in ("quorvex", "numpy")
        for pipeline in PIPELINES
    ]
    # Only MKL's threads change here: NumPy's row would repeat itself.
    configs += [("threads", 2, default_threads, "quorvex", p, chunk) for p in PIPELINES]
    rows = _timed({c: run(*c[1:]) for c in configs}, repeats)
    sizes = [size for size in sweep if size != chunk]
    configs = [("threads", 2, 1, "quorvex", p, size) for size in sizes for p in PIPELINES]
    rows += _timed({c: run(*c[1:]) for c in configs}, _sweep_repeats(repeats))
    vd.set_num_threads(default_threads)
    return rows


def distributed(n: int, chunk: int, sweep: tuple[int, ...], repeats: int) -> list[dict]:
    """LocalClusters of one and of two worker processes of one thread each, MKL on one
    thread; then quorvex.mkl.dask.exp on two workers per chunk size in ``sweep``.

    Both clusters run at once, so that their runs can take turns.
    """
    import dask.array as da
    from dask.graph_manipulation import clone
    from distributed import Client, LocalCluster, wait

    from quorvex.mkl import dask as vd

    def cluster(workers: int) -> LocalCluster:
        return LocalCluster(
            n_workers=workers,
            threads_per_worker=1,
            processes=True,
            dashboard_address=":0",
            silence_logs=40,
        )

    def persisted(client: Client, collection: Any) -> Any:
        """``collection`` computed and held in the workers' memory."""
        result = client.persist(collection)
        with client.as_current():
            wait(result)
        return result

    seeds = itertools.count()
    with (
        cluster(1) as one,
        cluster(2) as two,
        Client(one, set_as_default=False) as client_one,
        Client(two, set_as_default=False) as client_two,
    ):
        clients = {1: client_one, 2: client_two}
        inputs = {}
        for workers, client in clients.items():
            vd.set_num_threads(1, client)
            for size in sweep if workers == 2 else (chunk,):
                inputs[workers, size] = persisted(client, da.linspace(-5.0, 5.0, n, chunks=size))

        def run(workers: int, _: int, function: str, pipeline: str, size: int):
            op, x, client = _functions()[function], inputs[workers, size], clients[workers]

            def compute() -> None:
                # New keys each run: the scheduler may still hold the last run's results.
                persisted(client, clone(_pipeline(pipeline, op(x)), omit=x, seed=next(seeds)))

            return compute

        configs = [
            ("distributed", workers, 1, function, pipeline, chunk)
            for workers in (1, 2)
            for function in ("quorvex", "numpy")
            for pipeline in PIPELINES
        ]
        rows = _timed({c: run(*c[1:]) for c in configs}, repeats)
        sizes = [size for size in sweep if size != chunk]
        configs = [("distributed", 2, 1, "quorvex", p, size) for size in sizes for p in PIPELINES]
        rows += _timed({c: run(*c[1:]) for c in configs}, _sweep_repeats(repeats))
    return rows


def single_call(n: int, repeats: int) -> list[dict]:
    """exp on the whole NumPy array in one call, no Dask: the floor a chunked run pays on."""
    import numpy as np

    from quorvex.mkl import dask as vd
    from quorvex.mkl import vml

    previous = vd.set_num_threads(1)
    x = np.linspace(-5.0, 5.0, n)
    runs = {
        ("none", 1, 1, "quorvex", "keep", n): lambda: vml.exp(x),
        ("none", 1, 1, "numpy", "keep", n): lambda: np.exp(x),
    }
    rows = _timed(runs, repeats)
    vd.set_num_threads(previous)
    return rows


# ---------------------------------------------------------------------------
# The write-up.


def _find(rows: list[dict], **match: Any) -> dict | None:
    for row in rows:
        if all(row[key] == value for key, value in match.items()):
            return row
    return None


def _size(n: int) -> str:
    return f"10^{len(str(n)) - 1}" if str(n).strip("0") == "1" else f"{n:,}"


def _time(row: dict) -> str:
    return f"{row['seconds']:.3f} s (best {row['min_seconds']:.3f})"


def markdown(results: dict) -> str:
    n, chunk, rows, machine = results["n"], results["chunk"], results["rows"], results["machine"]
    lines = [
        "# Dask scaling: exp over float64 arrays",
        "",
        f"exp over {_size(n)} float64 elements: median (and best) of {results['repeats']} runs "
        f"({_sweep_repeats(results['repeats'])} for the other chunk sizes) after a warm-up, "
        "the configurations of a table taking turns. The input is in memory "
        "beforehand; *keep* holds every chunk's result in memory (`persist`), *sum* reduces "
        "them to one number (`exp(x).sum()`), so each chunk's memory is reused at once. "
        f"Machine: {machine.get('cpu', '?')}, {machine.get('logical_cpus', '?')} logical CPUs, "
        f"MKL {machine.get('mkl', '?')}, NumPy {machine.get('numpy', '?')}, "
        f"Dask {results['dask']}, measured {machine.get('date', '?')}; load average "
        f"{machine.get('load_average_at_start', ['?'])[0]} at the start, "
        f"{results.get('load_average_at_end', ['?'])[0]} at the end.",
        "",
        f"Chunks of {_size(chunk)} elements; speed-up against one worker of the same scheduler:",
        "",
        "| scheduler | workers | MKL threads | pipeline | `quorvex.mkl.dask.exp` | speed-up | "
        "`dask.array.exp` (NumPy) | speed-up | quorvex / NumPy |",
        "|---|---:|---:|---|---:|---:|---:|---:|---:|",
    ]
    for row in rows:
        if row["function"] != "quorvex" or row["chunk"] != chunk:
            continue
        same = dict(scheduler=row["scheduler"], pipeline=row["pipeline"], chunk=chunk)
        one = _find(rows, **same, workers=1, mkl_threads=1, function="quorvex")
        numpy = _find(rows, **same, workers=row["workers"], mkl_threads=1, function="numpy")
        numpy_one = _find(rows, **same, workers=1, mkl_threads=1, function="numpy")
        numpy_cells = ["—"] * 3
        if numpy and numpy_one and row["mkl_threads"] == 1:
            numpy_cells = [
                _time(numpy),
                f"{numpy_one['seconds'] / numpy['seconds']:.2f}x",
                f"{row['seconds'] / numpy['seconds']:.2f}",
            ]
        cells = [row["scheduler"], row["workers"], row["mkl_threads"], row["pipeline"]]
        cells += [_time(row), f"{one['seconds'] / row['seconds']:.2f}x", *numpy_cells]
        lines.append("| " + " | ".join(str(cell) for cell in cells) + " |")
    single = {row["function"]: row for row in results["single_call"]}
    lines += [
        "",
        f"For scale, one call on the whole array without Dask, one thread: `vml.exp` "
        f"{_time(single['quorvex'])}, `numpy.exp` {_time(single['numpy'])}.",
        "",
        "`quorvex.mkl.dask.exp` by chunk size, with two threads of the threaded scheduler "
        "and with two worker processes, in ns per element:",
        "",
        "| chunk (elements) | chunks | threads, keep | threads, sum | distributed, keep | "
        "distributed, sum |",
        "|---:|---:|---:|---:|---:|---:|",
    ]
    for size in sorted({row["chunk"] for row in rows}):
        cells = [f"{_size(size)} ({size * 8 / 2**20:.2g} MiB)", f"{-(-n // size):,}"]
        for scheduler in ("threads", "distributed"):
            for pipeline in PIPELINES:
                row = _find(
                    rows,
                    scheduler=scheduler,
                    workers=2,
                    mkl_threads=1,
                    function="quorvex",
                    pipeline=pipeline,
                    chunk=size,
                )
                cells.append(f"{row['seconds'] / n * 1e9:.2f}" if row else "—")
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def _arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="python -m benchmarks.dask_scaling", description=__doc__)
    parser.add_argument("--quick", action="store_true", help="10^7 elements, fewer repeats")
    parser.add_argument("--output", type=Path, help="directory for the results")
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    options = _arguments(argv)
    quick = options.quick
    output = output_directory(options.output, quick)
    import dask

    from . import machine

    n, chunk, repeats = (10**7, 10**6, 3) if quick else (10**8, 10**6, 9)
    sweep = (10**4, 10**5, 10**6) if quick else (10**4, 10**5, 10**6, 10**7)
    started = time.perf_counter()
    results: dict = {
        "mode": "quick" if quick else "full",
        "machine": machine.describe(ROOT),
        "dask": dask.__version__,
        "n": n,
        "chunk": chunk,
        "repeats": repeats,
    }
    rows = threaded(n, chunk, sweep, repeats)
    # 10^4-element chunks cost the distributed scheduler seconds of overhead per run.
    rows += distributed(n, chunk, tuple(size for size in sweep if size >= 10**5), repeats)
    results["rows"] = rows
    results["single_call"] = single_call(n, repeats)
    results["seconds"] = round(time.perf_counter() - started, 1)
    results["load_average_at_end"] = [round(x, 2) for x in os.getloadavg()]
    (output / "dask_scaling.json").write_text(json.dumps(results, indent=2) + "\n")
    (output / "dask_scaling.md").write_text(markdown(results))
    print(markdown(results))
    print(f"written to {output} in {results['seconds']} s")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
