"""Every vml ufunc that NumPy or SciPy also computes, against it, under each kernel choice."""

from __future__ import annotations

import os

import numpy
import scipy.special

from . import harness, report

NAME = "compare"
TITLE = "Against NumPy and SciPy, operation by operation, under each kernel choice"
ABOUT = (
    "Speed-up (the reference's time ÷ vml's; above 1 vml is faster) of every vml ufunc NumPy "
    "(through `vml.NUMPY_EQUIVALENTS`) or SciPy also computes, float64 arrays uniform in the "
    "range shown, `out=` arrays on both sides, calibrated medians; NumPy and SciPy on one "
    "thread, vml on one and on {threads} MKL threads, under MKL's own kernel choice and, on "
    "AMD, under `QUORVEX_MKL_KERNELS=cpu` in a process of its own; the last column is the "
    "largest relative difference between vml's results and the reference's at the smallest size."
)
CPU = "`QUORVEX_MKL_KERNELS=cpu`"
SIZES = {True: (10**3, 10**5), False: (10**3, 10**5, 10**6)}
# Inputs where the functions are finite and away from poles and zeros; (-10, 10) otherwise.
DOMAINS = {
    **dict.fromkeys(("acos", "asin", "atanh", "erfinv"), ((-0.99, 0.99),)),
    **dict.fromkeys(("ln", "log10", "log2"), ((0.01, 100),)),
    **dict.fromkeys(("ceil", "floor", "rint", "trunc", "modf", "cbrt"), ((-100, 100),)),
    **dict.fromkeys(("add", "sub", "mul"), ((-1, 1), (-1, 1))),
    **dict.fromkeys(("div", "fmod"), ((-10, 10), (0.1, 10))),
    **dict.fromkeys(("i0", "i1", "j0", "j1", "y1", "jn", "yn"), ((0.1, 2),)),
    **dict.fromkeys(("sind", "cosd"), ((-360, 360),)),
    "acosh": ((1, 100),), "log1p": ((-0.99, 100),), "sqrt": ((0, 100),), "inv": ((0.1, 10),),
    "pow": ((0.1, 10), (-4, 4)), "tan": ((-1.5, 1.5),), "exp10": ((-5, 5),), "erf": ((-4, 4),),
    "erfc": ((-4, 4),), "erfcinv": ((0.01, 1.99),), "erfcx": ((-2, 10),),
    "cdfnorm": ((-8, 8),), "cdfnorminv": ((0.01, 0.99),), "tgamma": ((0.1, 10),),
    "lgamma": ((0.1, 100),), "expint1": ((0.1, 10),), "tand": ((-80, 80),),
    "y0": ((0.1, 0.85),),  # its first zero lies at 0.894
}  # fmt: skip
ORDER = 2.0  # of jn and yn, one for the whole array as MKL's vdJn takes it
# vml name -> SciPy's function computing the same; jv and yv take the order first.
SCIPY = dict(erf="erf", erfc="erfc", erfinv="erfinv", erfcinv="erfcinv", cdfnorm="ndtr",
             cdfnorminv="ndtri", tgamma="gamma", lgamma="gammaln", erfcx="erfcx", exp10="exp10",
             expint1="exp1", i0="i0", i1="i1", j0="j0", j1="j1", y0="y0", y1="y1", sind="sindg",
             cosd="cosdg", tand="tandg", cbrt="cbrt", jn="jv", yn="yv")  # fmt: skip


def comparisons() -> list[tuple[str, str]]:
    """(vml ufunc, reference) pairs, the reference as "numpy.exp" or "scipy.special.jv"."""
    from quorvex.mkl import vml

    found = {}
    for numpy_name, operation in vml.NUMPY_EQUIVALENTS.items():
        ufunc, theirs = vml.UFUNCS[operation], getattr(numpy, numpy_name)
        loop = "d" * ufunc.nin + "->" + "d" * ufunc.nout
        if loop in ufunc.types and loop in theirs.types:
            found.setdefault(operation, f"numpy.{numpy_name}")  # absolute and fabs: one abs
    return [*found.items(), *((op, f"scipy.special.{name}") for op, name in SCIPY.items())]


def _cases(operation: str, reference: str, n: int, buffers: dict, seed: int) -> dict:
    """The vml call and the reference's, on inputs filled afresh, as (statement, names)."""
    from quorvex.mkl import vml

    ufunc, rng = vml.UFUNCS[operation], numpy.random.default_rng(seed)
    bessel = operation in ("jn", "yn")
    inputs = "a" if bessel else "ab"[: ufunc.nin]
    module, _, name = reference.rpartition(".")
    theirs = getattr(scipy.special if module == "scipy.special" else numpy, name)
    names = dict(r=buffers["r"][:n], s=buffers["s"][:n], k=ORDER, f=ufunc, g=theirs)
    for name, (low, high) in zip(inputs, DOMAINS.get(operation, ((-10, 10),) * 2), strict=False):
        names[name] = buffers[name][:n]
        rng.random(out=names[name])
        names[name] *= high - low
        names[name] += low
    out = "r" if ufunc.nout == 1 else "(r, s)"
    if bessel:
        return {"vml": (f"f(a, k, out={out})", names), "reference": (f"g(k, a, out={out})", names)}
    call = f"({', '.join(inputs)}, out={out})"
    return {"vml": ("f" + call, names), "reference": ("g" + call, names)}


def _buffers(n: int) -> dict:
    return {name: numpy.full(n, 0.0) for name in "absr"}  # first-touch faults are no one's cost


def measure_vml(quick: bool) -> dict:
    """vml's seconds per call on one and on all MKL threads, and its kernel library; run in
    this process and in one with the kernel switch."""
    sizes, budget, buffers = SIZES[quick], harness.Budget.lean(quick), _buffers(max(SIZES[quick]))
    seconds: dict = {}
    for threads in (1, os.cpu_count()):
        harness.set_mkl_threads(threads)
        for seed, (operation, reference) in enumerate(comparisons()):
            timed = seconds.setdefault(f"{operation} {reference}", {}).setdefault(str(threads), {})
            for n in sizes:
                case = _cases(operation, reference, n, buffers, seed)["vml"]
                timed[n] = harness.seconds(*case, budget)
    harness.set_mkl_threads(1)
    return {"kernels": harness.kernel_library(), "seconds": seconds}


def _difference(cases: dict) -> float:
    results = {}
    for key, (statement, names) in cases.items():
        with numpy.errstate(all="ignore"):
            eval(statement, {}, names)  # the benchmark's own statements, nothing else
        results[key] = names["r"].copy()
    scale = numpy.maximum(numpy.abs(results["reference"]), numpy.finfo(numpy.float64).tiny)
    return float(numpy.nanmax(numpy.abs(results["vml"] - results["reference"]) / scale))


def measure(quick: bool) -> dict:
    sizes, budget, buffers = SIZES[quick], harness.Budget.lean(quick), _buffers(max(SIZES[quick]))
    references, differences = {}, {}
    for seed, (operation, reference) in enumerate(comparisons()):
        key = f"{operation} {reference}"
        differences[key] = _difference(_cases(operation, reference, sizes[0], buffers, seed))
        cases = [_cases(operation, reference, n, buffers, seed)["reference"] for n in sizes]
        references[key] = {
            n: harness.seconds(*case, budget) for n, case in zip(sizes, cases, strict=True)
        }
    choices, switch = {"MKL's own": measure_vml(quick)}, harness.fastest_kernels()
    if switch:
        choices[CPU] = harness.elsewhere(switch, NAME, "measure_vml", quick=quick)
    data = dict(sizes=list(sizes), threads=os.cpu_count(), vendor=harness.cpu_vendor())
    return dict(data, reference=references, difference=differences, choices=choices)


def speedups(data: dict, results: dict, choice: str, threads: str) -> dict[str, list]:
    """Per comparison, the speed-up at each size ("impossible" beyond what threads allow)."""
    timed, sizes, cells = data["choices"][choice]["seconds"], list(map(str, data["sizes"])), {}
    for key, reference in data["reference"].items():
        one, many = timed[key]["1"], timed[key][threads]
        cells[key] = [
            report.speedup(reference[n], one[n], many[n], int(threads), results) for n in sizes
        ]
    return cells


def tables(data: dict, results: dict) -> list:
    sizes = [report.size(n) for n in data["sizes"]]
    header = ["operation", "against", "inputs", "kernel choice",
              *(f"{t} thread{'s' * (t > 1)} n={n}" for t in (1, data["threads"]) for n in sizes),
              "max relative difference"]  # fmt: skip
    rows, threads = [], ("1", str(data["threads"]))
    cells_of = {(c, t): speedups(data, results, c, t) for c in data["choices"] for t in threads}
    for key in data["reference"]:
        operation, reference = key.split()
        domains = DOMAINS.get(operation, ((-10, 10),))
        ranges = ", ".join(f"({low:g}, {high:g})" for low, high in domains)
        for choice in data["choices"]:
            cells = [x for t in threads for x in cells_of[choice, t][key]]
            kernels = f"{choice} ({data['choices'][choice]['kernels']})"
            row = [f"`{operation}`", f"`{reference}`", ranges, kernels, *cells]
            rows.append([*row, data["difference"][key]])
    choices = [[choice, measured["kernels"]] for choice, measured in data["choices"].items()]
    if len(choices) == 1:
        choices.append([CPU, f"does not apply: {data['vendor']} CPU"])
    return [(["kernel choice", "VML kernels"], choices), (header, rows)]


def targets(data: dict, results: dict) -> list[dict]:
    n = data["sizes"][-1]
    name = f"`vml.exp` float64 at n = {report.size(n)}, one thread, with {CPU}, speed-up over "
    name += "MKL's own kernel choice"
    key, choices = "exp numpy.exp", list(data["choices"].values())
    if len(choices) == 1:
        return [report.target(name, "≥ 2", None, "n/a", f"{data['vendor']} CPU")]
    own, cpu = (c["seconds"][key]["1"][str(n)] for c in choices)
    context = f"{choices[1]['kernels']} against {choices[0]['kernels']}"
    return [report.at_least(name, 2, report.ratio(own, cpu), context)]


def plots(data: dict, results: dict, plt, directory) -> list[str]:
    from matplotlib import ticker

    keys = list(data["reference"])
    last = speedups(data, results, "MKL's own", "1")
    order = sorted(keys, key=lambda key: last[key][-1] or 0)
    figure, panels = plt.subplots(1, 2, sharey=True, figsize=(13, 0.22 * len(keys) + 1.6))
    for axes, threads in zip(panels, ("1", str(data["threads"])), strict=True):
        for colour, choice in zip(("tab:gray", "tab:blue"), data["choices"], strict=False):
            cells = speedups(data, results, choice, threads)
            for column, (n, marker) in enumerate(zip(data["sizes"], "osD", strict=False)):
                points = [(cells[key][column], row) for row, key in enumerate(order)]
                x, y = zip(*[(v, row) for v, row in points if not isinstance(v, str)], strict=True)
                label = f"{choice.strip('`')}, n = {report.size(n)}"
                axes.scatter(x, y, s=16, color=colour, marker=marker, label=label, zorder=3)
        axes.axvline(1.0, color="black", linewidth=0.8)
        axes.set_xscale("log")
        axes.xaxis.set_major_formatter(ticker.FuncFormatter(lambda value, _: f"{value:g}"))
        axes.set_title(f"{threads} MKL thread{'s' * (threads != '1')}")
        axes.set_xlabel("speed-up: the reference's time ÷ vml's (log scale; above 1 vml is faster)")
        axes.grid(True, axis="x", which="both", alpha=0.3)
        axes.legend(fontsize=7, loc="lower right")
    panels[0].set(yticks=range(len(keys)), ylim=(-0.7, len(keys) - 0.3))
    labels = [key.replace("scipy.special.", "scipy.") for key in order]
    panels[0].set_yticklabels(labels, fontsize=7)
    title = "vml against NumPy and SciPy, float64, operation by operation"
    return [report.save(plt, figure, directory / "compare.png", title)]
