"""Black-Scholes call prices every way there is, against the compute floor of MKL's calls."""

from __future__ import annotations

import ast
import math
from types import SimpleNamespace

import numpy

from . import harness, report

NAME = "blackscholes"
TITLE = "Black-Scholes: whole expressions"
ABOUT = (
    "Black-Scholes call prices for n float64 options every way, on the fastest kernels the CPU "
    "has (on AMD in a process with `QUORVEX_MKL_KERNELS=cpu`), calibrated medians, against the "
    "compute floor: the same MKL calls and loops in C on one cache-resident block of the "
    "engine's size, repeated n/block times, and the same C over the n options in memory; the "
    "engine's threads and block size swept at n = "
    "{n:,}, and its peak memory (resident set and tracemalloc) beyond inputs and result."
)
RATE, VOLATILITY = 0.02, 0.3
D1 = "(log(s / k) + (r + 0.5 * v**2) * t) / (v * sqrt(t))"
EXPRESSION = f"s * cdfnorm({D1}) - k * exp(-r * t) * cdfnorm({D1} - v * sqrt(t))"
SIZES = {True: (10**3, 10**4, 10**5, 10**6), False: (10**3, 10**4, 10**5, 10**6, 10**7)}
BLOCKS = tuple(2**e for e in range(9, 17))
DEFAULT_BLOCK = 4096
WAYS = {  # key: how, and whether MKL computes it
    "numpy": ("NumPy + `scipy.special.ndtr`", False),
    "numexpr": ("numexpr, SciPy's `ndtr` between three `evaluate` calls", False),
    "numba": ("numba, `parallel=True` with `prange`", False),
    "chain": ("the formula in vml ufuncs", True),
    "blocks": (f"the same vml calls on {DEFAULT_BLOCK:,}-element blocks, a Python loop", True),
    "evaluate": ("`quorvex.mkl.evaluate`", True),
    "fuse": ("`quorvex.mkl.fuse`", True),
    "floor": ("compute floor: the MKL calls on one block, in C", True),
    "memory": ("the floor's calls and loops in C over the options in memory", True),
}
IN_C = ("floor", "memory")  # the ways reference.c runs


def formula(s, k, t, m):
    """The prices, with `m`'s functions (`ln`, `sqrt`, `cdfnorm`, `exp`): vml, or NumPy's."""
    sigma = VOLATILITY * m.sqrt(t)
    d1 = (m.ln(s / k) + (RATE + 0.5 * VOLATILITY**2) * t) / sigma
    return s * m.cdfnorm(d1) - k * m.exp(-RATE * t) * m.cdfnorm(d1 - sigma)


def engine():
    """quorvex.mkl's expression engine, or None where this build has none."""
    try:
        from quorvex.mkl import evaluate, expressions, fuse
    except ImportError:
        return None
    return evaluate, fuse, expressions


def registers(expression: str) -> int:
    """At most one block-sized register per operation and input of the expression."""
    nodes = list(ast.walk(ast.parse(expression, mode="eval")))
    operations = sum(isinstance(n, (ast.BinOp, ast.UnaryOp, ast.Call, ast.Compare)) for n in nodes)
    return operations + len({n.id for n in nodes if isinstance(n, ast.Name)})


def _ways(threads: int) -> dict:
    """Each way as a function of (s, k, t, out) computing the prices."""
    import numba
    import numexpr
    from scipy.special import ndtr

    from quorvex.mkl import vml

    numexpr.set_num_threads(threads)
    numba.set_num_threads(threads)
    scalars = dict(r=RATE, v=VOLATILITY)

    plain = SimpleNamespace(ln=numpy.log, sqrt=numpy.sqrt, cdfnorm=ndtr, exp=numpy.exp)

    def numpy_way(s, k, t, out):
        return formula(s, k, t, plain)

    def numexpr_way(s, k, t, out):
        names = dict(scalars, s=s, k=k, t=t)
        names["d1"] = numexpr.evaluate(D1, names)
        names["d2"] = numexpr.evaluate("d1 - v * sqrt(t)", names)
        names["n1"], names["n2"] = ndtr(names["d1"]), ndtr(names["d2"])
        return numexpr.evaluate("s * n1 - k * exp(-r * t) * n2", names, out=out)

    @numba.njit(parallel=True)
    def numba_way(s, k, t, out):
        for i in numba.prange(s.size):
            sigma = VOLATILITY * math.sqrt(t[i])
            d1 = (math.log(s[i] / k[i]) + (RATE + 0.5 * VOLATILITY**2) * t[i]) / sigma
            n1 = 0.5 * math.erfc(-d1 / math.sqrt(2))
            n2 = 0.5 * math.erfc((sigma - d1) / math.sqrt(2))
            out[i] = s[i] * n1 - k[i] * math.exp(-RATE * t[i]) * n2
        return out

    def chain(s, k, t, out=None):
        return formula(s, k, t, vml)

    def blocks(s, k, t, out):
        for i in range(0, s.size, DEFAULT_BLOCK):
            out[i : i + DEFAULT_BLOCK] = chain(*(a[i : i + DEFAULT_BLOCK] for a in (s, k, t)))
        return out

    ways = dict(numpy=numpy_way, numexpr=numexpr_way, numba=numba_way, chain=chain, blocks=blocks)
    if found := engine():
        evaluate, fuse, _ = found
        ways["evaluate"] = lambda s, k, t, out: evaluate(
            EXPRESSION, dict(scalars, s=s, k=k, t=t), out=out, threads=threads
        )
        fused = fuse(chain)
        ways["fuse"] = lambda s, k, t, out: fused(s, k, t)
    return ways


def _options(n: int) -> tuple[numpy.ndarray, ...]:
    rng = numpy.random.default_rng(7)
    s, k, t = rng.uniform(50, 150, n), rng.uniform(40, 160, n), rng.uniform(0.25, 2.25, n)
    return s, k, t, numpy.full(n, 0.0)  # written: first-touch faults are no way's cost


def _peak_beyond(call) -> int:
    """The most memory `call()` took beyond what the process held: the larger of what the
    resident set grew by (which sees C++'s allocations, but not reused resident pages) and
    of tracemalloc's peak (which sees NumPy's arrays, reused or not)."""

    def high_water() -> int:
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM"))

    call()
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # the high-water mark starts again from the current resident set
    before = high_water()
    traced = harness.traced_peak(call, warm=False)
    return max(high_water() - before, traced)


def _floor_ms(n: int, block: int, threads: int, *memory) -> tuple[float | None, str | None]:
    c = harness.c_reference("blackscholes", n, block, threads, *memory)
    return (c["seconds"] * 1e3, c["kernels"]) if c else (None, None)


def run(quick: bool) -> dict:
    """Everything this section measures, in the process with the fastest kernels."""
    budget, sizes, cpus = harness.Budget.of(quick), SIZES[quick], harness.usable_cpus()
    found, ways = engine(), _ways(1)
    block = found[2].block_size() if found else DEFAULT_BLOCK
    harness.set_mkl_threads(1)
    small = _options(1000)
    reference, difference, ms = ways["numpy"](*small), {}, {key: {} for key in WAYS}
    for key, way in list(ways.items()):  # compiles numba's kernel, caches the engine's program
        try:
            difference[key] = float(numpy.max(abs(way(*small) - reference) / reference.clip(1e-3)))
        except Exception as error:  # a way that fails is a row saying so, not the end of the run
            ms[key] = {n: f"failed: {type(error).__name__}: {error}"[:80] for n in sizes}
            del ways[key]
    for n in sizes:
        options = _options(n)
        for key, way in ways.items():
            ms[key][n] = harness.call_ms(way, options, budget)
        ms["floor"][n], c_kernels = _floor_ms(n, block, 1)
        ms["memory"][n] = _floor_ms(n, block, 1, "memory")[0]
    threads = {t: {"C floor": _floor_ms(n, block, t)[0]} for t in (1, 2)}
    data = dict(n=n, block=block, ms=ms, difference=difference, threads=threads)
    data.update(kernels=harness.kernel_library(), c_kernels=c_kernels)
    if "evaluate" in ways:
        # one and two threads take turns, so that the machine's drift leaves their ratio alone
        cases = {t: ("f(*a)", {"f": _ways(t)["evaluate"], "a": options}) for t in (1, 2)}
        for t, timed in harness.interleaved(cases, budget, unit=1e3).items():
            data["threads"][t]["evaluate"] = timed
        data["sweep"] = {}
        for size in BLOCKS:
            found[2].set_block_size(size)
            data["sweep"][size] = harness.call_ms(ways["evaluate"], options, budget)
        found[2].set_block_size(None)
        evaluate, chain = _ways(cpus)["evaluate"], ways["chain"]
        data["memory"] = {
            f"`evaluate`, {cpus} threads": _peak_beyond(lambda: evaluate(*options)),
            "the vml ufunc chain": _peak_beyond(lambda: chain(*options)) - options[3].nbytes,
            "bound": cpus * registers(EXPRESSION) * block * 8,
        }
    return data


def measure(quick: bool) -> dict:
    return harness.on_fastest_kernels(NAME, "run", quick=quick)


def tables(data: dict, results: dict) -> list:
    n, ms = str(data["n"]), data["ms"]
    rows = []
    for key, (how, mkl) in WAYS.items():
        kernels = (data["c_kernels"] if key in IN_C else data["kernels"]) if mkl else "-"
        speed = report.ratio(ms[key].get(n), ms["evaluate"].get(n))
        time = ms[key].get(n, "not available")
        rows.append([how, kernels, time, speed, data["difference"].get(key)])
    header = [f"way, n = {int(n):,}, one thread", "MKL kernels", "ms", "÷ `evaluate`"]
    tables = [([*header, "max relative difference from NumPy"], rows)]
    one, rows = data["threads"]["1"], []
    for t, timed in data["threads"].items():
        e, c = timed.get("evaluate"), timed["C floor"]
        speedups = report.ratio(one.get("evaluate"), e), report.ratio(one["C floor"], c)
        rows.append([t, e, speedups[0], c, speedups[1]])
    header = ["threads", "`evaluate` ms", "speed-up", "C floor ms", "C floor speed-up"]
    tables.append((header, rows))
    if "sweep" in data:
        sweep = data["sweep"].items()
        rows = [[b, ms, "in use" if int(b) == data["block"] else ""] for b, ms in sweep]
        tables.append((["block (elements)", "`evaluate` ms, one thread", ""], rows))
        memory = data["memory"]
        rows = [[call, peak, memory["bound"]] for call, peak in memory.items() if call != "bound"]
        header = ["call", "peak bytes beyond inputs and result", "threads x registers x block x 8"]
        tables.append((header, rows))
    return tables


def targets(data: dict, results: dict) -> list[dict]:
    n, ms, size = str(data["n"]), data["ms"], report.size(data["n"])
    evaluate, floor = ms["evaluate"].get(n), ms["floor"][n]
    what = f"Black-Scholes, n = {size}, one thread, `evaluate`"
    context, memory = data["c_kernels"], report.ratio(ms["memory"].get(n), floor)
    if memory:
        context += f"; the floor's C over the options in memory: {memory:.2f}x"
    floor = report.ratio(evaluate, floor)
    rows = [report.at_most(f"{what}, relative to the compute floor", 1.1, floor, context)]
    for key, limit in (("numexpr", 4), ("chain", 2)):
        name, speedup = f"{what}, speed-up over {WAYS[key][0]}", report.ratio(ms[key][n], evaluate)
        rows.append(report.at_least(name, limit, speedup, data["kernels"]))
    one, two = data["threads"]["1"], data["threads"]["2"]
    speedup = report.ratio(one.get("evaluate"), two.get("evaluate"))
    c = report.ratio(one["C floor"], two["C floor"])
    c_fault = report.impossible(c, 2, results)  # the reference's fault, not the engine's
    name = f"Black-Scholes, n = {size}, `evaluate` on two threads, speed-up over one"
    row = report.scaling(name, 1.8, [(speedup, None if c_fault else c)], "C floor", results=results)
    rows.append(row if not c_fault else dict(row, context=f"C floor: {c:.2f}x ({c_fault}, unused)"))
    memory = data.get("memory")
    peak = memory and next(iter(memory.values()))
    name = "`evaluate`'s peak memory beyond inputs and result, relative to threads x registers x "
    name += "block"
    context = f"{peak:,} bytes against {memory['bound']:,}" if memory else ""
    rows.append(report.at_most(name, 1, memory and peak / memory["bound"], context))
    return rows


def plots(data: dict, results: dict, plt, directory) -> list[str]:
    figure, axes = plt.subplots(figsize=(12, 5.5))
    for key, (how, _) in WAYS.items():
        timed = data["ms"][key].items()  # (a way that failed says so instead of a time)
        points = [(int(n), ms * 1e6 / int(n)) for n, ms in timed if isinstance(ms, float)]
        if points:
            style, label = "o:" if key in IN_C else "o-", how.replace("`", "")
            axes.loglog(*zip(*points, strict=True), style, ms=3, label=label)
    axes.set(xlabel="options (n)", ylabel="ns per option, one thread")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(fontsize=7, loc="upper left", bbox_to_anchor=(1.01, 1))  # beside the lines
    title = f"Black-Scholes, float64 (MKL kernels: {data['kernels']})"
    return [report.save(plt, figure, directory / "blackscholes.png", title)]
