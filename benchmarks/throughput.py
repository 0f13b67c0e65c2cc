"""Time per element against array size: `lib` against NumPy's and SciPy's equivalents."""

from __future__ import annotations

import os

import numpy
import scipy.special

from . import harness, report

NAME = "throughput"
TITLE = "Throughput against size"
ABOUT = (
    "Speed relative to NumPy (NumPy's time ÷ `lib`'s; above 1 `lib` is faster) of `lib` calls "
    "on NumPy arrays through `ffi.from_buffer` made once, MKL on one thread and on {threads} "
    "(marked where more than the CPUs allow), NumPy single-threaded; medians of calibrated loops."
)
# lib function: the reference, its dtype, the inputs' range (a second range: the exponent).
OPERATIONS = {
    "vdExp": (numpy.exp, "float64", (-10, 10)),
    "vdLn": (numpy.log, "float64", (0.01, 100)),
    "vdSin": (numpy.sin, "float64", (-10, 10)),
    "vdErf": (scipy.special.erf, "float64", (-4, 4)),
    "vdPow": (numpy.power, "float64", (0.1, 10), (-4, 4)),
    "vdAdd": (numpy.add, "float64", (-1, 1), (-1, 1)),
    "vsExp": (numpy.exp, "float32", (-10, 10)),
    "vzMul": (numpy.multiply, "complex128", (-1, 1), (-1, 1)),
}
CTYPES = {"float64": "double[]", "float32": "float[]", "complex128": "MKL_Complex16[]"}
SIZES = {True: (1, 100, 10**4, 10**6), False: (1, 10, 100, 10**3, 10**4, 10**5, 10**6, 10**7)}
CONFIGS = ("numpy", "one_thread", "all_threads")


def _inputs(dtype: str, ranges: tuple, n: int, seed: int) -> list[numpy.ndarray]:
    rng = numpy.random.default_rng(seed)
    arrays = []
    for low, high in ranges:
        values = rng.uniform(low, high, n)
        if dtype.startswith("complex"):
            values = values + 1j * rng.uniform(low, high, n)
        arrays.append(values.astype(dtype))
    return arrays


def measure(quick: bool) -> dict:
    budget, sizes = harness.Budget.lean(quick), SIZES[quick]
    ffi, lib = harness.lorimath().ffi, harness.lorimath().lib
    seconds = {name: {config: {} for config in CONFIGS} for name in OPERATIONS}
    # NumPy and one MKL thread first; all threads last, so no spinning OpenMP worker shares
    # a core with a single-threaded run.
    for threads, configs in ((1, ("numpy", "one_thread")), (os.cpu_count(), ("all_threads",))):
        harness.set_mkl_threads(threads)
        for seed, (name, (reference, dtype, *ranges)) in enumerate(OPERATIONS.items()):
            inputs = _inputs(dtype, ranges, max(sizes), seed)
            output = numpy.empty(max(sizes), dtype)
            cdata = [ffi.from_buffer(CTYPES[dtype], x) for x in (*inputs, output)]
            arguments = ", ".join("ab"[: len(inputs)])
            for n in sizes:
                names = dict(zip("ab", cdata, strict=False), r=cdata[-1], f=getattr(lib, name), n=n)
                numpy_names = dict(zip("ab", (x[:n] for x in inputs), strict=False), f=reference)
                cases = {"numpy": (f"f({arguments}, out=r)", dict(numpy_names, r=output[:n]))}
                for config in configs:
                    case = cases.get(config, (f"f(n, {arguments}, r)", names))
                    seconds[name][config][n] = harness.seconds(*case, budget)
    harness.set_mkl_threads(1)
    return {"sizes": list(sizes), "threads": os.cpu_count(), "seconds": seconds}


def _speedup(data: dict, name: str, config: str, n: int) -> float | None:
    timed = data["seconds"][name]
    return report.ratio(timed["numpy"].get(str(n)), timed[config].get(str(n)))


def tables(data: dict, results: dict) -> list:
    sizes, large = data["sizes"], data["sizes"][-2:]
    header = ["function", "against", *(f"n={report.size(n)}" for n in sizes)]
    header += [f"{data['threads']} threads n={report.size(n)}" for n in large]
    rows, threads = [], data["threads"]
    for name, (reference, dtype, *_) in OPERATIONS.items():
        numpy_s, one, many = (data["seconds"][name][config] for config in CONFIGS)
        cells = [_speedup(data, name, "one_thread", n) for n in sizes]
        for n in map(str, large):
            cells.append(report.speedup(numpy_s[n], one[n], many[n], threads, results))
        rows.append([f"`{name}` ({dtype})", f"`{reference.__name__}`", *cells])
    return [(header, rows)]


def targets(data: dict, results: dict) -> list[dict]:
    rows = []
    for name, n in (("vdExp", 10**6), ("vdSin", 10**6), ("vdErf", 10**6), ("vdAdd", 10**7)):
        ours, theirs = (data["seconds"][name][c].get(str(n)) for c in ("one_thread", "numpy"))
        context = f"{ours * 1e3:.3f} ms against {theirs * 1e3:.3f} ms" if ours else ""
        if name == "vdAdd":
            target = "`vdAdd` time at n = 10^7, one MKL thread, relative to NumPy's"
            rows.append(report.at_most(target, 1.1, report.ratio(ours, theirs), context))
        else:
            target = f"`{name}` throughput at n = 10^6, one MKL thread, relative to NumPy"
            rows.append(report.at_least(target, 1.5, report.ratio(theirs, ours), context))
    return rows


PLOTS = {  # kind: title, y axis
    "time": ("Time per element against size (lower is better)", "ns per element"),
    "ratio": ("Speed relative to NumPy (NumPy's time ÷ lib's; above 1 is faster)", "speed-up"),
}


def plots(data: dict, results: dict, plt, directory) -> list[str]:
    names = []
    styles = (("numpy", "NumPy / SciPy", "tab:gray"), ("one_thread", "MKL, 1 thread", "tab:blue"),
              ("all_threads", f"MKL, {data['threads']} threads", "tab:orange"))  # fmt: skip
    for kind, (title, label) in PLOTS.items():
        figure, grid = plt.subplots(2, 4, figsize=(16, 7.2), squeeze=False)
        for axes, name in zip(grid.ravel(), OPERATIONS, strict=True):
            for config, legend, colour in styles[kind == "ratio" :]:
                timed, sizes = data["seconds"][name][config], data["sizes"]
                ns = [timed[str(n)] * 1e9 / n for n in sizes]
                values = ns if kind == "time" else [_speedup(data, name, config, n) for n in sizes]
                axes.loglog(sizes, values, "o-", ms=3, color=colour, label=legend)
            axes.set(title=f"{name} ({OPERATIONS[name][1]})", xlabel="n", ylabel=label)
            axes.grid(True, alpha=0.3)
            axes.legend(fontsize=7)
        names.append(report.save(plt, figure, directory / f"throughput_{kind}.png", title))
    return names
