"""Judges the results against the targets and writes them up as Markdown."""

from __future__ import annotations

from . import ufuncs

SIZE_COLUMNS = ("1", "100", "10000", "1000000", "10000000")
# Per-call targets for lib.vdAdd(8, ...) with cdata: competitor, largest ratio, label.
PER_CALL_LIMITS = (
    ("numpy", 0.4, "`numpy.add(a, b, out=r)`"),
    ("cffi_abi", 0.5, "cffi ABI mode"),
    ("ctypes_declared", 0.2, "ctypes (with `argtypes`)"),
)


def _size(n: str | int) -> str:
    n = int(n)
    return f"10^{len(str(n)) - 1}" if n >= 1000 and str(n).strip("0") == "1" else f"{n:,}"


def _per_call(results: dict, operation: str, n: int, competitor: str) -> float | None:
    for row in results.get("per_call", {}).get("rows", []):
        if (row["operation"], row["n"], row["competitor"]) == (operation, n, competitor):
            return row["ns"]
    return None


def _throughput(results: dict, name: str, config: str, n: int) -> float | None:
    seconds = results.get("throughput", {}).get("seconds", {}).get(name, {}).get(config, {})
    return seconds.get(str(n))


def _reference(results: dict, name: str, size: int) -> float | None:
    return (results.get("reference") or {}).get(f"{name}/{size}")


# A speed-up above what the threads and CPUs allow, by more than timing noise, is a fault
# of the measurement, not a result.
SPEEDUP_TOLERANCE = 1.05


def possible_speedup(results: dict, threads: int, usable_cpus: int | None = None) -> int:
    """The most `threads` threads can gain over one: one CPU each, if the process may use it."""
    machine = results["machine"]
    cpus = usable_cpus or machine.get("usable_cpus") or machine["logical_cpus"] or 1
    return min(threads, cpus)


def impossible(speedup: float | None, possible: int) -> bool:
    return speedup is not None and speedup > possible * SPEEDUP_TOLERANCE


def _thread_limit(results: dict) -> int:
    data = results["threads"]
    return possible_speedup(results, data.get("threads", 2), data.get("usable_cpus"))


def _fault_note(results: dict, speedup: float) -> str:
    data = results["threads"]
    cpus = data.get("usable_cpus") or results["machine"].get("usable_cpus")
    on = f" on {cpus} usable CPU{'s' if cpus != 1 else ''}" if cpus else ""
    return (
        f"{speedup:.2f}x is more than the {_thread_limit(results)}x that "
        f"{data.get('threads', 2)} threads{on} can gain"
    )


def _target(name, required, measured, *, met, unit="", note="", digits=2, fault=False):
    return dict(
        target=name,
        required=required,
        measured=measured,
        unit=unit,
        met=met,
        note=note,
        digits=digits,
        fault=fault,
    )


def evaluate_targets(results: dict) -> list[dict]:
    """Every target with its measured value; `met` is None when it was not measured."""
    targets = []
    module_ns = _per_call(results, "vdAdd", 8, "module_cdata")
    for competitor, limit, label in PER_CALL_LIMITS:
        other = _per_call(results, "vdAdd", 8, competitor)
        ratio = module_ns / other if module_ns and other else None
        targets.append(
            _target(
                f"per call, `lib.vdAdd(8, …)` with cdata, relative to {label}",
                f"≤ {limit}",
                ratio,
                met=None if ratio is None else ratio <= limit,
                note=f"{module_ns:.0f} ns against {other:.0f} ns" if ratio else "",
            )
        )
    counted = results.get("instructions", {}).get("cases", {}).get("lib.vdAdd(8, a, b, r)")
    targets.append(
        _target(
            "the module's own instructions per `lib.vdAdd(8, a, b, r)` call",
            "≤ 150",
            counted and counted["module_own"],
            met=counted and counted["module_own"] <= 150,
            note=counted and f"of {counted['total']:.0f} instructions per call in total",
            digits=0,
        )
    )
    targets.append(
        _target(
            "heap allocations by the module per `lib.vdAdd(8, a, b, r)` call",
            "0",
            counted and counted["allocations_by_module"],
            met=counted and counted["allocations_by_module"] == 0,
            digits=0,
        )
    )
    for name in ("vdExp", "vdSin", "vdErf"):
        numpy_s = _throughput(results, name, "numpy", 10**6)
        module_s = _throughput(results, name, "mkl_1_thread", 10**6)
        ratio = numpy_s / module_s if numpy_s and module_s else None
        targets.append(
            _target(
                f"`{name}` throughput at n = 10^6, one MKL thread, relative to NumPy",
                "≥ 1.5",
                ratio,
                met=None if ratio is None else ratio >= 1.5,
                note=ratio and f"{module_s * 1e3:.3f} ms against {numpy_s * 1e3:.3f} ms",
            )
        )
    numpy_s = _throughput(results, "vdAdd", "numpy", 10**7)
    module_s = _throughput(results, "vdAdd", "mkl_1_thread", 10**7)
    ratio = module_s / numpy_s if numpy_s and module_s else None
    targets.append(
        _target(
            "`vdAdd` time at n = 10^7, one MKL thread, relative to NumPy's",
            "≤ 1.10",
            ratio,
            met=None if ratio is None else ratio <= 1.10,
            note=ratio and f"{module_s * 1e3:.2f} ms against {numpy_s * 1e3:.2f} ms",
        )
    )
    threads = results.get("threads")
    speedup = threads and threads["speedup"]
    fault = bool(threads) and impossible(speedup, _thread_limit(results))
    size = f"n = {_size(threads['n'])} per call" if threads else "n per call"
    targets.append(
        _target(
            f"two Python threads calling `vdExp` ({size}), throughput relative to one",
            "≥ 1.8",
            speedup,
            met=None if fault or not threads else speedup >= 1.8,
            note=_fault_note(results, speedup) if fault else "",
            fault=fault,
        )
    )
    targets += _ufunc_targets(results)
    startup = results.get("startup")
    lorimath = startup and {
        "own_import_us": startup["module_own_us"],
        "stripped_bytes": startup["stripped_bytes"],
    }
    # Each module's own import work (µs) and stripped size (kB), against its limits.
    for name, module, import_limit, size_limit in (
        ("lorimath", lorimath, 1000, 400),
        ("full", _full_module(results), 3000, 1500),
    ):
        targets.append(
            _target(
                f"`quorvex.mkl.{name}`'s own import work",
                f"< {import_limit} µs",
                module and module["own_import_us"],
                unit=" µs",
                met=module and module["own_import_us"] < import_limit,
                digits=0,
            )
        )
        targets.append(
            _target(
                f"`quorvex.mkl.{name}`'s stripped shared object",
                f"< {size_limit} kB",
                module and module["stripped_bytes"] / 1000,
                unit=" kB",
                met=module and module["stripped_bytes"] < size_limit * 1000,
                digits=1,
            )
        )
    return targets


FULL_MODULE = "quorvex.mkl.full"


def _full_module(results: dict) -> dict | None:
    return ((results.get("startup") or {}).get("modules") or {}).get(FULL_MODULE)


# vml's per-call targets on 10 float64 elements: operation, vml's call, NumPy's, largest ratio.
UFUNC_PER_CALL_LIMITS = (
    ("exp", "`vml.exp(x, out=y)`", "`np.exp(x, out=y)`", 1.2),
    ("add", "`vml.add(a, b)`", "`np.add(a, b)`", 1.2),
)
UFUNC_PER_CALL_N = 10
AGAINST_LIB_LIMIT = 1.03
STRIDED_TIME_LIMIT = 1.5
STRIDED_PEAK_LIMIT = 1.1


def _ufunc_per_call(results: dict, operation: str, n: int) -> dict | None:
    for row in (results.get("ufuncs") or {}).get("per_call", []):
        if (row["operation"], row["n"]) == (operation, n):
            return row
    return None


def _strided_ratios(data: dict | None) -> tuple[float | None, float | None]:
    """vml's strided time over its contiguous time, and its peak memory over the result's."""
    if not data:
        return None, None
    ms = data["ms"]
    return (
        ms["vml_strided"] / ms["vml_contiguous"],
        data["peak_bytes"]["vml_strided_new_result"] / data["result_bytes"],
    )


def _ufunc_targets(results: dict) -> list[dict]:
    data = results.get("ufuncs") or {}
    targets = []
    for operation, call, numpy_call, limit in UFUNC_PER_CALL_LIMITS:
        row = _ufunc_per_call(results, operation, UFUNC_PER_CALL_N)
        ratio = row and row["vml_ns"] / row["numpy_ns"]
        targets.append(
            _target(
                f"{call} per call on {UFUNC_PER_CALL_N} float64 elements, relative to {numpy_call}",
                f"≤ {limit}",
                ratio,
                met=None if ratio is None else ratio <= limit,
                note=row and f"{row['vml_ns']:.0f} ns against {row['numpy_ns']:.0f} ns",
            )
        )
    large = data.get("against_lib")
    ratio = large and large["vml_ms"] / large["lib_ms"]
    targets.append(
        _target(
            f"`vml.exp(x, out=y)` at n = {_size(ufuncs.LARGE)}, one MKL thread, "
            "relative to `lib.vdExp(n, x, y)` with cdata made once",
            f"≤ {AGAINST_LIB_LIMIT}",
            ratio,
            met=None if ratio is None else ratio <= AGAINST_LIB_LIMIT,
            note=large and f"{large['vml_ms']:.3f} ms against {large['lib_ms']:.3f} ms",
            digits=3,
        )
    )
    strided = data.get("strided")
    time_ratio, peak_ratio = _strided_ratios(strided)
    results_n = f"{_size(ufuncs.LARGE)} results"
    targets.append(
        _target(
            f"`vml.exp(x[::{ufuncs.STRIDE}], out=y)` ({results_n}, one MKL thread), time per "
            "element "
            "relative to a contiguous `x`",
            f"≤ {STRIDED_TIME_LIMIT}",
            time_ratio,
            met=None if time_ratio is None else time_ratio <= STRIDED_TIME_LIMIT,
            note=strided
            and f"{strided['ms']['vml_strided']:.3f} ms against "
            f"{strided['ms']['vml_contiguous']:.3f} ms",
        )
    )
    targets.append(
        _target(
            f"peak memory of `vml.exp(x[::{ufuncs.STRIDE}])` ({results_n}, tracemalloc), "
            "relative to the "
            "result's size",
            f"≤ {STRIDED_PEAK_LIMIT}",
            peak_ratio,
            met=None if peak_ratio is None else peak_ratio <= STRIDED_PEAK_LIMIT,
            note=strided
            and f"{strided['peak_bytes']['vml_strided_new_result']:,} bytes for a "
            f"{strided['result_bytes']:,}-byte result",
            digits=3,
        )
    )
    return targets


def _number(value, digits: int = 2) -> str:
    if value is None:
        return "-"
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        if abs(value) >= 100 or digits == 0:
            return f"{value:,.0f}"
        return f"{value:.{digits}f}"
    return str(value)


def _duration(ms: float) -> str:
    return f"{ms:.3f} ms" if ms >= 1 else f"{ms * 1e3:.1f} µs"


def _verdict(target: dict) -> str:
    if target.get("fault"):
        return "**measurement fault**"
    met = target["met"]
    return "not measured" if met is None else ("met" if met else "**missed**")


def _table(header: list[str], rows: list[list]) -> list[str]:
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return lines


def _explanations(results: dict, targets: list[dict]) -> list[str]:
    """What this run measured about each missed target."""
    notes = []
    missed = {t["target"] for t in targets if t["met"] is False}
    if any(t.startswith("per call") for t in missed):
        floor = {row["case"]: row["ns"] for row in results["floor"]["rows"]}
        get_mode = floor.get("quorvex `lib.vmlGetMode()`")
        mkl_add = _reference(results, "vdAdd", 8)
        numpy_ns = _per_call(results, "vdAdd", 8, "numpy")
        module_ns = _per_call(results, "vdAdd", 8, "module_cdata")
        counted = results.get("instructions", {}).get("cases", {}).get("lib.vdAdd(8, a, b, r)")
        text = (
            "**Per call.** Every call through the backend's built-in "
            "function pays for the interpreter's call, the lock release and re-acquisition and "
            f"the `errno` hand-over: `lib.vmlGetMode()` costs {_number(get_mode, 0)} ns, of "
            f"which MKL's own `vmlGetMode` is "
            f"{_number(_reference(results, 'vmlGetMode', 0), 1)} ns. MKL's `vdAdd(8)` called "
            f"from C costs {_number(mkl_add, 1)} ns. These two floors alone add up to "
            f"{_number((get_mode or 0) + (mkl_add or 0), 0)} ns, "
            f"{((get_mode or 0) + (mkl_add or 0)) / numpy_ns:.2f} of `numpy.add`'s "
            f"{_number(numpy_ns, 0)} ns, before the argument tuple and the four conversions."
        )
        if counted:
            groups = counted["by_object"]
            text += (
                f" Callgrind counts {counted['total']:.0f} instructions per call: the module's "
                f"own code {counted['module_own']:.0f} "
                f"({100 * counted['module_own'] / counted['total']:.1f} %), the interpreter "
                f"{groups.get('interpreter', 0):.0f}, the backend's conversions "
                f"{groups.get('cffi backend', 0):.0f}, the C library (the lock's mutex and "
                f"condition variable, `errno`'s thread-local storage) "
                f"{groups.get('C library and loader', 0):.0f}, MKL "
                f"{groups.get('MKL (mkl_rt, its kernels, OpenMP)', 0):.0f}."
            )
            if module_ns:
                # Time scaled by instruction share: a rough estimate of the module's part.
                without = module_ns * (1 - counted["module_own"] / counted["total"])
                ratios = [
                    f"{without / other:.3f} of {label} (limit {limit})"
                    for competitor, limit, label in PER_CALL_LIMITS
                    if (other := _per_call(results, "vdAdd", 8, competitor))
                    and module_ns / other > limit
                ]
                text += (
                    f" Scaled by that share, the module's code accounts for about "
                    f"{module_ns - without:.0f} of the call's {module_ns:.0f} ns; with none of "
                    f"it at all the call would be {' and '.join(ratios)}."
                )
        text += (
            " The rest belongs to the calling convention the backend builds for the module (an "
            "argument tuple per call), the backend's conversions, the lock release that every "
            "call makes, and MKL, none of which the module can skip."
        )
        notes.append(text)
    slow = [t for t in targets if t["met"] is False and "throughput at n = 10^6" in t["target"]]
    if slow:
        notes.append(_throughput_note(results, [t["target"].split("`")[1] for t in slow]))
    if any(t.startswith("two Python threads") for t in missed):
        notes.append(_threads_note(results))
    notes += _ufunc_notes(results, missed)
    notes += _full_module_notes(results, missed)
    return notes


def _spread(values: list[float]) -> str:
    low, high = min(values), max(values)
    middle = sorted(values)[len(values) // 2]
    return f"from {low:.3f} to {high:.3f} ms ({100 * (high - low) / middle:.1f} % of the median)"


def _ufunc_notes(results: dict, missed: set[str]) -> list[str]:
    """What this run measured about vml's missed targets."""
    data = results.get("ufuncs") or {}
    notes = []
    parts = []
    for operation, call, numpy_call, _ in UFUNC_PER_CALL_LIMITS:
        if not any(t.startswith(f"{call} per call") for t in missed):
            continue
        rows = {
            row["n"]: row["vml_ns"] - row["numpy_ns"]
            for row in data["per_call"]
            if row["operation"] == operation
        }
        gaps = " and ".join(f"{gap:.0f} ns at n = {n}" for n, gap in sorted(rows.items()))
        text = f"{call} cost more than {numpy_call} by {gaps}"
        low, high = rows[min(rows)], rows[max(rows)]
        if low > 0 and abs(high - low) <= 0.25 * low:
            text += ": the difference is a cost per call, not per element"
        parts.append(text + ".")
        mkl = {n: _reference(results, "vd" + operation.capitalize(), n) for n in (1, 8)}
        if all(mkl.values()):
            parts.append(
                f"vml's loop calls MKL's `vd{operation.capitalize()}`, which by itself, called "
                f"from C, takes {mkl[1]:.0f} ns at n = 1 and {mkl[8]:.0f} ns at n = 8; "
                "NumPy's own loop makes no such call."
            )
    if parts:
        notes.append(" ".join(["**vml per call.**", *parts]))
    large = data.get("against_lib")
    if large and any(t.startswith("`vml.exp(x, out=y)` at n") for t in missed):
        difference_us = (large["vml_ms"] - large["lib_ms"]) * 1e3
        text = (
            f"**`vml.exp` against `lib.vdExp`.** At n = {_size(large['n'])} `vml.exp` took "
            f"{large['vml_ms']:.3f} ms and `lib.vdExp` {large['lib_ms']:.3f} ms, "
            f"{difference_us:.1f} µs more per call."
        )
        rounds = large.get("rounds_ms")
        if rounds:
            text += (
                f" Over {len(rounds['lib'])} rounds taking turns, `lib.vdExp`'s times ranged "
                f"{_spread(rounds['lib'])}, `vml.exp`'s {_spread(rounds['vml'])}."
            )
        row = _ufunc_per_call(results, "exp", UFUNC_PER_CALL_N)
        if row and difference_us > 0:
            text += (
                f" The ufunc's whole call on {UFUNC_PER_CALL_N} elements took "
                f"{row['vml_ns']:.0f} ns, {100 * row['vml_ns'] / (difference_us * 1e3):.0f} % "
                "of that difference."
            )
        notes.append(text)
    strided = data.get("strided")
    if strided and any(t.startswith(f"`vml.exp(x[::{ufuncs.STRIDE}], out=y)`") for t in missed):
        ms = strided["ms"]
        notes.append(
            f"**Strided input.** `vml.exp` took {ms['vml_strided']:.3f} ms on `x[::3]` and "
            f"{ms['vml_contiguous']:.3f} ms on a contiguous `x` of the same length; NumPy's "
            f"`exp` took {ms['numpy_strided']:.3f} ms and {ms['numpy_contiguous']:.3f} ms, "
            f"{ms['numpy_strided'] / ms['numpy_contiguous']:.2f} times as long strided."
        )
    if strided and any(t.startswith("peak memory of `vml.exp") for t in missed):
        peaks = strided["peak_bytes"]
        notes.append(
            "**Strided input's memory.** `vml.exp(x[::3])` held "
            f"{peaks['vml_strided_new_result']:,} bytes at its peak, `vml.exp(x[::3], out=y)` "
            f"{peaks['vml_strided_out']:,}, NumPy's "
            f"`exp(x[::3])` {peaks['numpy_strided_new_result']:,}, for a "
            f"{strided['result_bytes']:,}-byte result."
        )
    return notes


def _full_module_notes(results: dict, missed: set[str]) -> list[str]:
    full = _full_module(results)
    if not full or not any(t.startswith(f"`{FULL_MODULE}`") for t in missed):
        return []
    startup = results["startup"]
    return [
        f"**`{FULL_MODULE}`.** Its own import took {full['own_import_us']:.0f} µs against "
        f"{startup['module_own_us']:.0f} µs for `quorvex.mkl.lorimath`; stripped, it holds "
        f"{full['text_bytes']:,} bytes of code and read-only data and {full['data_bytes']:,} "
        f"of writable data, against {startup['text_bytes']:,} and {startup['data_bytes']:,}."
    ]


def _throughput_note(results: dict, names: list[str]) -> str:
    """The missed throughput targets, set against MKL from C and VML's other accuracy modes."""
    machine = results["machine"]
    parts = ["**Throughput at n = 10^6.**"]
    for name in names:
        module_s = _throughput(results, name, "mkl_1_thread", 10**6)
        numpy_s = _throughput(results, name, "numpy", 10**6)
        parts.append(
            f"`{name}` took {_number(module_s * 1e3, 3)} ms per call through the module "
            f"against {_number(numpy_s * 1e3, 3)} ms for NumPy's equivalent."
        )
        module_n1 = _per_call(results, name, 1, "module_cdata")
        c_n1 = _reference(results, name, 1)
        if module_n1 and c_n1 and module_n1 > c_n1:
            parts.append(
                f"The module's fixed cost per call, {module_n1 - c_n1:.0f} ns over MKL's own "
                f"from C at n = 1 (section 1), is {(module_n1 - c_n1) / (module_s * 1e7):.3f} % "
                "of that."
            )
        c_s = _reference(results, name, 10**6)
        if c_s:
            verdict = (
                "so even a binding that cost nothing would miss the target"
                if numpy_s / c_s < 1.5
                else "so MKL itself would meet the target"
            )
            parts.append(
                f"Called from C, MKL's `{name}(10^6)` takes {_number(c_s * 1e3, 3)} ms, "
                f"{numpy_s / c_s:.2f} times NumPy's speed, {verdict}."
            )
        rows = [
            row
            for row in results.get("modes", {}).get("rows", [])
            if row["function"] == "vm" + name[1:]
        ]
        if rows:
            fastest = max(rows, key=lambda row: row["speedup_over_numpy"])
            reaches = fastest["speedup_over_numpy"] >= 1.5
            parts.append(
                f"Of VML's accuracy modes (section 4), the fastest, {fastest['mode']}, ran at "
                f"{fastest['speedup_over_numpy']:.2f} times NumPy's speed"
                + (", enough for the target at that accuracy." if reaches else "; none reaches it.")
            )
    kernels = ", ".join(f"`{k}`" for k in machine["mkl_vml_kernels"]) or "no VML kernel library"
    parts.append(
        f"MKL loaded {kernels} on this {machine['cpu_vendor']} CPU ({machine['cpu']}, "
        f"{machine['cpu_family_model']}); NumPy {machine['numpy']} found {machine['numpy_simd']} "
        "as the highest SIMD level it supports here."
    )
    return " ".join(parts)


def _threads_note(results: dict) -> str:
    """The missed two-thread target: the C reference, the calls' times, the machine's load."""
    threads = results["threads"]
    possible = _thread_limit(results)
    load = results.get("background_cpus", {}).get("threads")
    c_speedup = threads.get("c_speedup")
    text = f"**Two threads.** Two Python threads reached {_number(threads['speedup'])}x"
    if c_speedup is None:
        text += f" of the {possible}x possible."
    elif impossible(c_speedup, possible):
        text += (
            f". The same experiment in C, interleaved with the Python runs, gave {c_speedup:.2f}x, "
            f"more than {possible} threads can gain: a measurement fault, which says nothing "
            "about this machine."
        )
    else:
        text += (
            f", {100 * threads['speedup'] / c_speedup:.0f} % of the {c_speedup:.2f}x that the "
            "same experiment in C, two POSIX threads calling MKL with no interpreter at all, "
            "reached between the Python runs."
        )
    if load is not None:
        text += f" Other processes kept {load:.2f} CPUs busy meanwhile."
    alone, together = threads.get("call_ms_alone"), threads.get("call_ms_together")
    if alone and together:
        text += (
            " The module holds the interpreter lock only while converting a call's arguments "
            "and releases it for MKL's work. The median call took "
            f"{_duration(together)} with two threads running against {_duration(alone)} alone"
        )
        if together <= alone * SPEEDUP_TOLERANCE:
            text += (
                ", so the typical call did not slow down; the shortfall lies in the slower "
                f"calls: 95 % took at most {_duration(threads['p95_call_ms_together'])}, the "
                f"slowest {_duration(threads['slowest_call_ms_together'])}."
            )
        else:
            text += f", {100 * (together / alone - 1):.0f} % longer."
        interval = threads.get("switch_interval_ms")
        if interval and interval / 2 <= threads["slowest_call_ms_together"] <= 2 * interval:
            text += (
                f" The slowest call is of the order of the interpreter's switch interval "
                f"({interval:g} ms), after which a thread waiting for the interpreter lock asks "
                "its holder to hand it over."
            )
    if c_speedup is not None and not impossible(c_speedup, possible) and c_speedup < 1.8:
        text += (
            " C, which has no interpreter lock to wait for, also stayed below the target: the "
            f"machine itself accounts for the drop from {possible}x to {c_speedup:.2f}x."
        )
    return text


def markdown(results: dict, plots: list[str]) -> str:
    machine = results["machine"]
    targets = results["targets"]
    lines = [
        "# Benchmark results",
        "",
        f"Measured {machine['date']} by `python -m benchmarks`"
        f"{' --quick' if results['mode'] == 'quick' else ''} in "
        f"{results['duration_seconds']:.0f} s. Every comparison ran in the same process, "
        "except MKL called from C and the start-up measurements, which ran in processes of "
        "their own during the same run; timings are medians of repeated runs after warm-up.",
        "",
        "## Machine",
        "",
    ]
    background = results.get("background_cpus", {})
    machine_rows = [
        [
            "CPU",
            f"{machine['cpu']} ({machine['cpu_vendor']}, {machine['cpu_family_model']}, "
            f"{machine['cpu_isa']})",
        ],
        [
            "logical CPUs (usable by this process), memory",
            f"{machine['logical_cpus']} ({machine.get('usable_cpus') or '?'}), "
            f"{machine['memory_gib']} GiB",
        ],
        [
            "caches of the first CPU",
            ", ".join(f"{k} {v}" for k, v in (machine.get("cpu_caches") or {}).items()) or "?",
        ],
        ["OS", machine["os"]],
        ["Python", machine["python"]],
        ["NumPy (SIMD level)", f"{machine['numpy']} ({machine['numpy_simd']})"],
        ["SciPy, cffi", f"{machine['scipy']}, {machine['cffi']}"],
        ["MKL", f"{machine['mkl']} (wheel {machine['mkl_wheel']})"],
        ["MKL VML kernels loaded", ", ".join(machine["mkl_vml_kernels"])],
        ["commit", machine["commit"]],
        ["load average at start", ", ".join(str(x) for x in machine["load_average_at_start"])],
        [
            "other processes' CPU use, per section",
            ", ".join(f"{k} {v:.2f}" for k, v in background.items() if v is not None),
        ],
    ]
    lines += _table(["", ""], machine_rows)
    lines += ["", "## Targets", ""]
    lines += _table(
        ["target", "required", "measured", "verdict", ""],
        [
            [
                t["target"],
                t["required"],
                "-" if t.get("fault") else _number(t["measured"], t["digits"]) + t["unit"],
                _verdict(t),
                t["note"] or "",
            ]
            for t in targets
        ],
    )
    notes = _explanations(results, targets)
    if notes:
        lines += ["", "### What this run measured about the missed targets", ""]
        for note in notes:
            lines += [note, ""]
    lines += _per_call_section(results)
    lines += _instructions_section(results)
    lines += _throughput_section(results, plots)
    lines += _modes_section(results)
    lines += _threads_section(results)
    lines += _scratch_section(results)
    lines += _startup_section(results)
    lines += _ufuncs_section(results)
    lines += _compare_section(results, plots)
    lines += _nan_scan_section(results)
    return "\n".join(lines).rstrip() + "\n"


def _per_call_section(results: dict) -> list[str]:
    data = results.get("per_call")
    if not data:
        return []
    lines = [
        "",
        "## 1. Per-call cost on tiny arrays",
        "",
        "ns per call, MKL on one thread; functions bound to local names as in a hot loop.",
        "",
    ]
    columns = [("vdAdd", 1), ("vdAdd", 8), ("vdExp", 1), ("vdExp", 8)]
    header = ["caller"] + [f"{op} n={n}" for op, n in columns] + ["quorvex ÷ this, vdAdd n=8"]
    module_ns = _per_call(results, "vdAdd", 8, "module_cdata")
    rows = []
    for key, label in data["labels"].items():
        cells = [_per_call(results, op, n, key) for op, n in columns]
        if all(cell is None for cell in cells):
            continue
        ratio = module_ns / cells[1] if module_ns and cells[1] else None
        rows.append([label] + [_number(cell, 1) for cell in cells] + [_number(ratio)])
    lines += _table(header, rows)
    lines += ["", "The floor of a call:", ""]
    lines += _table(
        ["call", "ns"], [[row["case"], _number(row["ns"], 1)] for row in results["floor"]["rows"]]
    )
    lines += ["", "![per-call cost](per_call.png)"]
    return lines


def _instructions_section(results: dict) -> list[str]:
    data = results.get("instructions")
    if not data:
        return []
    lines = ["", "## 2. Instructions per call (callgrind)", ""]
    if "skipped" in data:
        return [*lines, f"Skipped: {data['skipped']}."]
    lines += [
        f"Each case: a loop of {data['calls_per_run']:,} calls under "
        "`valgrind --tool=callgrind --dump-instr=yes`, minus the same script with no calls, "
        "divided by the number of calls. Valgrind shows the program a CPU model of its own, "
        "so MKL may pick other kernels under it than in the timed runs, and MKL's share need "
        "not match theirs. Heap "
        "allocations count calls of `malloc`, `calloc`, `realloc`, `free` and the "
        "interpreter's allocators; the service functions' results are new Python ints.",
        "",
    ]
    rows = []
    for label, case in data["cases"].items():
        rows.append(
            [
                f"`{label}`",
                _number(case["total"], 0),
                _number(case["wrapper_inclusive"], 0),
                _number(case["module_own"], 0),
                _number(case["allocations_by_module"], 0),
                _number(case["allocations_in_process"]),
            ]
        )
    lines += _table(
        [
            "call",
            "total",
            "inside the call wrapper",
            "module's own code",
            "heap allocations by the module",
            "heap allocations, whole process",
        ],
        rows,
    )
    main = data["cases"].get("lib.vdAdd(8, a, b, r)")
    if main:
        lines += ["", "`lib.vdAdd(8, a, b, r)`, instructions per call by where they run:", ""]
        lines += _table(
            ["code", "instructions"],
            [[group, _number(value, 0)] for group, value in main["by_object"].items()],
        )
        lines += ["", "What the call wrapper calls (inclusive instructions per call):", ""]
        lines += _table(
            ["callee", "in", "calls", "instructions"],
            [
                [f"`{c['callee']}`", c["object"], _number(c["calls"], 0), _number(c["ir"], 0)]
                for c in main["module_callees"]
            ],
        )
        lines += ["", "The module's own functions (self instructions per call):", ""]
        lines += _table(
            ["function", "instructions"],
            [[f"`{name}`", _number(value, 0)] for name, value in main["module_functions"].items()],
        )
    return lines


def _throughput_section(results: dict, plots: list[str]) -> list[str]:
    data = results.get("throughput")
    if not data:
        return []
    sizes = [str(n) for n in data["sizes"]]
    shown = [n for n in SIZE_COLUMNS if n in sizes]
    threads = data["all_cores"]
    possible = possible_speedup(results, threads)
    lines = [
        "",
        "## 3. Throughput versus size",
        "",
        "Speed relative to NumPy (NumPy's time ÷ the module's time; above 1 the module is "
        f"faster), MKL on one thread and on {threads} threads (one per logical CPU); NumPy is "
        "single-threaded. Arrays are NumPy arrays passed through `ffi.from_buffer` made once.",
        "",
    ]
    header = ["function", "NumPy equivalent", "dtype"]
    header += [f"n={_size(n)}" for n in shown]
    header += [f"{threads} threads n={_size(n)}" for n in shown[-2:]]
    header += ["overtakes NumPy from n=", f"({threads} threads)"]
    rows = []
    faults = []
    for name, per_config in data["seconds"].items():
        numpy_s, one, every = (
            per_config["numpy"],
            per_config["mkl_1_thread"],
            per_config["mkl_all_cores"],
        )
        crossover = data["crossover"][name]
        row = [f"`{name}`", f"`{data['numpy_equivalent'][name]}`", data["dtype"][name]]
        row += [_number(numpy_s[n] / one[n]) for n in shown]
        for n in shown[-2:]:
            if impossible(one[n] / every[n], possible):
                faults.append(f"`{name}` at n = {_size(n)} ({one[n] / every[n]:.2f}x)")
                row.append("fault")
            else:
                row.append(_number(numpy_s[n] / every[n]))
        row += [
            _size(crossover[c]) if crossover[c] else "never"
            for c in ("mkl_1_thread", "mkl_all_cores")
        ]
        rows.append(row)
    lines += _table(header, rows)
    if faults:
        lines += [
            "",
            f"Measurement faults: {', '.join(faults)} ran faster on {threads} threads than on "
            f"one by more than the {possible}x the usable CPUs allow; those cells show no result.",
        ]
    complex_mul = _reference(results, "vzMul", 10**4)
    numpy_mul = _throughput(results, "vzMul", "numpy", 10**4)
    if complex_mul:
        text = (
            f"MKL's own `vzMul` on 10^4 elements, called from C, takes {complex_mul * 1e6:.1f} µs "
            f"({complex_mul * 1e9 / 10**4:.1f} ns per element)"
        )
        if numpy_mul:
            text += f"; NumPy's `multiply` took {numpy_mul * 1e6:.1f} µs"
            if complex_mul >= numpy_mul:
                text += ", so the gap to NumPy is MKL's kernel, not the call"
        lines += ["", text + "."]
    lines += [""] + [f"![{plot}]({plot})" for plot in plots if plot.startswith("throughput")]
    return lines


def _modes_section(results: dict) -> list[str]:
    data = results.get("modes")
    if not data:
        return []
    lines = ["", f"## 4. Accuracy modes (n = {_size(data['n'])}, one MKL thread)", ""]
    high = {row["function"]: row["ms"] for row in data["rows"] if row["mode"].startswith("HA")}
    speed_vs_high = [high[row["function"]] / row["ms"] for row in data["rows"]]
    lines += _table(
        [
            "function",
            "mode",
            "ms",
            "NumPy ms",
            "speed vs NumPy",
            "speed vs HA",
            "max relative deviation from HA",
        ],
        [
            [
                f"`{row['function']}`",
                row["mode"],
                _number(row["ms"], 3),
                _number(row["numpy_ms"], 3),
                _number(row["speedup_over_numpy"]),
                _number(ratio),
                f"{row['max_relative_deviation_from_ha']:.1e}",
            ]
            for row, ratio in zip(data["rows"], speed_vs_high, strict=True)
        ],
    )
    kernels = ", ".join(f"`{k}`" for k in results["machine"]["mkl_vml_kernels"]) or "?"
    same_bits = all(row["max_relative_deviation_from_ha"] == 0 for row in data["rows"])
    same_speed = all(abs(ratio - 1) <= SPEEDUP_TOLERANCE - 1 for ratio in speed_vs_high)
    summary = f"MKL loaded {kernels}. "
    if same_bits and same_speed:
        summary += (
            "Every mode gave bit-identical results at the same speed (within "
            f"{100 * (SPEEDUP_TOLERANCE - 1):.0f} %) in this run."
        )
    elif same_bits:
        summary += "Every mode gave bit-identical results in this run, at the speeds shown."
    else:
        summary += "The modes' results differ from HA's as the last column shows."
    lines += ["", summary]
    return lines


def _threads_section(results: dict) -> list[str]:
    data = results.get("threads")
    if not data:
        return []
    possible = _thread_limit(results)
    kib = 2 * data["n"] * 8 / 1024  # a thread's input and output, doubles
    caches = results["machine"].get("cpu_caches") or {}
    lines = [
        "",
        "## 5. Lock release: two Python threads against one",
        "",
        f"Each thread calls `vdExp` {data['calls_per_thread']:,} times on its own "
        f"{data['n']:,}-element arrays ({kib:.0f} KiB in and out"
        + (f", against a {caches['L2']} L2 cache per core" if "L2" in caches else "")
        + "); one thread alone makes all the calls. MKL on one thread. "
        + (
            "Outputs are written before any timing, each configuration runs once untimed right "
            "before each timed run, and the two take turns going first; "
            if "usable_cpus" in data  # how runs from this version of the suite measure
            else ""
        )
        + f"medians of {data['repeats']} runs, the C reference interleaved with them.",
        "",
    ]

    def speedup_cell(speedup: float) -> str:
        return (
            f"{speedup:.2f}: measurement fault"
            if impossible(speedup, possible)
            else (_number(speedup))
        )

    rows = [
        [
            "Python threads, quorvex `lib.vdExp`",
            _number(data["one_thread_ms"], 1),
            _number(data["two_threads_ms"], 1),
            speedup_cell(data["speedup"]),
        ]
    ]
    if "c_speedup" in data:
        rows.append(
            [
                "C, POSIX threads (reference)",
                _number(data["c_one_thread_ms"], 1),
                _number(data["c_two_threads_ms"], 1),
                speedup_cell(data["c_speedup"]),
            ]
        )
    lines += _table(["", "one thread, ms", "two threads, ms", "speed-up"], rows)
    faults = [data[key] for key in ("speedup", "c_speedup") if impossible(data.get(key), possible)]
    if faults:
        lines += [
            "",
            f"Measurement fault: {_fault_note(results, max(faults))}, so that figure is no result.",
        ]
    if "call_ms_alone" in data:
        lines += [
            "",
            f"One `vdExp` call took {_duration(data['call_ms_alone'])} (median) in one thread "
            f"and {_duration(data['call_ms_together'])} with two threads running; with two "
            f"threads 95 % of the calls took at most {_duration(data['p95_call_ms_together'])} "
            f"and the slowest {_duration(data['slowest_call_ms_together'])}. A call's time "
            "includes taking the interpreter lock back after MKL's work, so a call that waited "
            "for it shows here.",
        ]
    return lines


def _scratch_section(results: dict) -> list[str]:
    data = results.get("scratch")
    if not data:
        return []
    lines = ["", "## 6. Scratch-buffer path: a Python list as input to `vdExp`", ""]
    lines += _table(
        ["n", "input", "µs per call", "ns per element"],
        [
            [_size(row["n"]), row["input"], _number(row["us"], 1), _number(row["ns_per_element"])]
            for row in data["rows"]
        ],
    )
    return lines


def _startup_section(results: dict) -> list[str]:
    data = results.get("startup")
    if not data:
        return []
    lines = [
        "",
        "## 7. Start-up and size",
        "",
        f"Medians over {data['processes']} fresh processes; the breakdown of the full import "
        "comes from `python -X importtime`.",
        "",
    ]
    rows = [
        [
            "`quorvex.mkl.lorimath`'s own import: loading the extension with MKL and the "
            "backend already loaded",
            _number(data["module_own_us"], 0),
        ],
        ["loading `libmkl_rt` alone, in a fresh interpreter", _number(data["mkl_rt_load_us"], 0)],
        [
            "`import quorvex.mkl.lorimath` in a fresh interpreter, everything included",
            _number(float(data["cold_import_total_us"]), 0),
        ],
    ]
    rows += [
        [f"  of which importing `{name}` (cumulative)", _number(float(value), 0)]
        for name, value in data["cold_import_parts_us"].items()
    ]
    full = _full_module(results)
    if full:
        rows.append(
            [
                f"`{FULL_MODULE}`'s own import, measured the same way",
                _number(full["own_import_us"], 0),
            ]
        )
    lines += _table(["", "µs"], rows)
    binaries = {"quorvex.mkl.lorimath": data, **(data.get("modules") or {})}
    measures = (
        ("installed", "installed_bytes"),
        ("stripped (`strip --strip-all`)", "stripped_bytes"),
        ("code (`.text` and read-only data)", "text_bytes"),
        ("writable data", "data_bytes"),
    )
    lines += ["", "Shared objects, in bytes:", ""]
    lines += _table(
        ["", *(f"`{name}`" for name in binaries)],
        [[label] + [f"{sizes[key]:,}" for sizes in binaries.values()] for label, key in measures],
    )
    return lines


def _ufuncs_section(results: dict) -> list[str]:
    data = results.get("ufuncs")
    if not data:
        return []
    lines = [
        "",
        "## 8. The NumPy layer's ufuncs",
        "",
        "`vml`'s ufuncs against NumPy's own ufuncs and against the `lib` call they make, "
        "float64, MKL on one thread. The cases take turns over "
        f"{len(data['against_lib'].get('rounds_ms', {}).get('vml', [])) or 'several'} rounds "
        "of calibrated timings.",
        "",
        "Per call on tiny arrays (ns; the fastest round, since a call this short is only ever "
        "slowed by what else the machine does):",
        "",
    ]
    lines += _table(
        ["call", "n", "vml", "NumPy", "vml ÷ NumPy"],
        [
            [
                row["call"],
                row["n"],
                _number(row["vml_ns"], 0),
                _number(row["numpy_ns"], 0),
                _number(row["vml_ns"] / row["numpy_ns"]),
            ]
            for row in data["per_call"]
        ],
    )
    large = data["against_lib"]
    lines += [
        "",
        f"At n = {_size(large['n'])} (ms per call), the ufunc against the call it makes, "
        "`lib.vdExp(n, a, r)` with `a`, `r` from `ffi.from_buffer` made once:",
        "",
    ]
    rows = [
        ["`vml.exp(x, out=y)`", _number(large["vml_ms"], 3)],
        ["`lib.vdExp(n, a, r)`", _number(large["lib_ms"], 3)],
    ]
    c_time = _reference(results, "vdExp", large["n"])
    if c_time:
        rows.append([f"MKL's `vdExp({_size(large['n'])})` called from C", _number(c_time * 1e3, 3)])
    lines += _table(["call", "ms"], rows)
    lines += [
        "",
        f"vml ÷ lib: {large['vml_ms'] / large['lib_ms']:.3f}.",
    ]
    strided = data["strided"]
    ms = strided["ms"]
    lines += [
        "",
        f"A strided input, `x[::{strided['stride']}]`, against a contiguous copy of it, "
        f"{_size(strided['n'])} results written to `out=y` (ms per call):",
        "",
    ]
    lines += _table(
        ["", "strided", "contiguous", "strided ÷ contiguous"],
        [
            [
                label,
                _number(ms[f"{key}_strided"], 3),
                _number(ms[f"{key}_contiguous"], 3),
                _number(ms[f"{key}_strided"] / ms[f"{key}_contiguous"]),
            ]
            for key, label in (("vml", "`vml.exp`"), ("numpy", "`np.exp`"))
        ],
    )
    peaks = strided["peak_bytes"]
    result = strided["result_bytes"]
    stride = strided["stride"]
    lines += [
        "",
        "Peak memory during one call, as `tracemalloc` sees it (NumPy reports its array data "
        "to it; allocations inside MKL are not seen), the returned result included:",
        "",
    ]
    lines += _table(
        ["call", "peak bytes", "÷ result size"],
        [
            [label, f"{peaks[key]:,}", _number(peaks[key] / result, 3)]
            for key, label in (
                ("vml_strided_new_result", f"`vml.exp(x[::{stride}])`"),
                ("vml_strided_out", f"`vml.exp(x[::{stride}], out=y)`"),
                ("vml_contiguous_new_result", "`vml.exp(x)`, contiguous"),
                ("numpy_strided_new_result", f"`np.exp(x[::{stride}])`"),
            )
        ],
    )
    copies = (peaks["vml_strided_new_result"] - result) / (result / stride)
    lines += [
        "",
        f"The strided call held {peaks['vml_strided_new_result'] - result:,} bytes beyond its "
        f"{result:,}-byte result, "
        + (
            "less than a contiguous copy of its input would take."
            if copies < 1
            else f"{copies:.1f} times a contiguous copy of its input."
        ),
    ]
    return lines


def compare_speedups(results: dict) -> dict:
    """Speed-ups (reference time ÷ vml's) by configuration and size, None for a thread
    speed-up the usable CPUs cannot produce (a measurement fault)."""
    data = results["compare"]
    possible = possible_speedup(results, data["all_threads"])
    speedups = []
    for row in data["rows"]:
        seconds = row["seconds"]
        cells = {}
        for n in (str(n) for n in data["sizes"]):
            one, every = seconds["mkl_1_thread"][n], seconds["mkl_all_threads"][n]
            cells["mkl_1_thread", n] = seconds["reference"][n] / one
            fault = impossible(one / every, possible)
            cells["mkl_all_threads", n] = None if fault else seconds["reference"][n] / every
        speedups.append(cells)
    return {"rows": speedups, "possible": possible}


def _median(values: list[float]) -> float:
    ordered = sorted(values)
    middle = len(ordered) // 2
    return ordered[middle] if len(ordered) % 2 else (ordered[middle - 1] + ordered[middle]) / 2


def _compare_section(results: dict, plots: list[str]) -> list[str]:
    data = results.get("compare")
    if not data:
        return []
    sizes = [str(n) for n in data["sizes"]]
    threads = data["all_threads"]
    speedups = compare_speedups(results)
    configs = (("mkl_1_thread", "one MKL thread"), ("mkl_all_threads", f"{threads} MKL threads"))
    lines = [
        "",
        "## 9. Against NumPy and SciPy, operation by operation",
        "",
        "Every vml ufunc that NumPy or SciPy also computes (NumPy's through "
        "`vml.NUMPY_EQUIVALENTS`, SciPy's `scipy.special` functions of the same argument), "
        "float64 arrays, results written to preallocated `out=` arrays on both sides. Inputs "
        "are uniform in the range shown, inside each function's domain. Speed-up = the "
        "reference's time ÷ vml's time: above 1 vml is faster. MKL runs on one thread, then "
        f"on {threads} threads (one per logical CPU); NumPy and SciPy are single-threaded. The "
        "last column is the largest relative difference between vml's and the reference's "
        f"results on the n = {_size(sizes[0])} inputs.{_compare_timing(data)}",
        "",
    ]
    header = ["operation", "against", "inputs"]
    header += [f"{label} n={_size(n)}" for _, label in configs for n in sizes]
    header += ["max relative difference"]
    rows = []
    for row, cells in zip(data["rows"], speedups["rows"], strict=True):
        inputs = ", ".join(f"({low:g}, {high:g})" for low, high in row["domains"])
        if row["order"] is not None:
            inputs += f", order {row['order']:g}"
        line = [f"`{row['operation']}`", f"`{row['reference']}`", inputs]
        line += [
            "fault" if cells[config, n] is None else _number(cells[config, n])
            for config, _ in configs
            for n in sizes
        ]
        line.append(f"{row['max_relative_difference']:.1e}")
        rows.append(line)
    lines += _table(header, rows)
    lines += [""]
    lines += _compare_summary(data, speedups, configs, sizes)
    lines += [""] + [f"![{plot}]({plot})" for plot in plots if plot.startswith("compare")]
    return lines


def _compare_timing(data: dict) -> str:
    """How the section timed its calls, as the run recorded it."""
    budget, large = data.get("budget"), data.get("large")
    if not budget or not large:
        return ""
    text = f" Timings: medians of {budget['repeats']} calibrated repeats after warm-up"
    if any(n >= large["from"] for n in data["sizes"]):
        text += (
            f"; from n = {_size(large['from'])} on, the median of {large['runs']} runs, or a "
            f"single run where the previous size predicted a call over "
            f"{large['slow_call_seconds']:g} s"
        )
    return text + "."


def _compare_summary(data: dict, speedups: dict, configs, sizes: list[str]) -> list[str]:
    """Sentences on how many comparisons vml won, its median speed-up, and any doubts."""
    total = len(data["rows"])
    lines = []
    for config, label in configs:
        parts = []
        for n in sizes:
            values = [c[config, n] for c in speedups["rows"] if c[config, n] is not None]
            if values:
                faster = sum(value > 1 for value in values)
                parts.append(
                    f"n = {_size(n)}: faster in {faster} of {len(values)}, median speed-up "
                    f"{_median(values):.2f}"
                )
        lines.append(f"On {label}, vml against the reference: {'; '.join(parts)}.")
    names = [f"`{row['operation']}` ({row['reference']})" for row in data["rows"]]
    always = [
        name
        for name, cells in zip(names, speedups["rows"], strict=True)
        if all(cells["mkl_1_thread", n] > 1 for n in sizes)
    ]
    never = [
        name
        for name, cells in zip(names, speedups["rows"], strict=True)
        if all(value is not None and value < 1 for value in cells.values())
    ]
    lines.append(
        f"Faster on one MKL thread at every size ({len(always)} of {total}): "
        f"{', '.join(always) or 'none'}."
    )
    lines.append(
        f"Slower at every size on any number of threads ({len(never)} of {total}): "
        f"{', '.join(never) or 'none'}."
    )
    faults = [
        f"{name} at n = {_size(n)}"
        for name, cells in zip(names, speedups["rows"], strict=True)
        for n in sizes
        if cells["mkl_all_threads", n] is None
    ]
    if faults:
        lines.append(
            f"Measurement faults (more than the {speedups['possible']}x over one thread that "
            f"the usable CPUs allow; no result shown): {', '.join(faults)}."
        )
    worst = max(data["rows"], key=lambda row: row["max_relative_difference"])
    lines.append(
        f"The largest relative difference between vml's results and the reference's is "
        f"{worst['max_relative_difference']:.1e}, for `{worst['operation']}` against "
        f"`{worst['reference']}`."
    )
    doubtful = [
        f"`{row['operation']}` against `{row['reference']}` "
        f"({row['nonfinite_reference_results']} non-finite results"
        + (f"; {'; '.join(row['floating_point_errors'])}" if row["floating_point_errors"] else "")
        + ")"
        for row in data["rows"]
        if row["nonfinite_reference_results"] or row["floating_point_errors"]
    ]
    if doubtful:
        lines.append(
            "Inputs that left the function's domain or raised floating-point errors: "
            f"{', '.join(doubtful)}."
        )
    if data["skipped_numpy"]:
        lines.append(
            f"Left out, as vml has no float64 loop for them: NumPy's "
            f"{', '.join(data['skipped_numpy'])}."
        )
    return [line for sentence in lines for line in (sentence, "")][:-1]


def _nan_scan_section(results: dict) -> list[str]:
    data = results.get("nan_scan")
    if not data:
        return []
    threshold = data["threshold_percent"]
    lines = [
        "",
        f"## 10. The cost of scanning results for NaN (n = {_size(data['n'])}, one MKL thread)",
        "",
        "Some MKL kernels return NaN from non-NaN inputs with no error status and no "
        "floating-point flag; only a scan of every result would report it. Each call writes "
        "to a preallocated `out=y`; the scan is `np.isnan(y, out=mask).any()` with a "
        "preallocated `mask`. The three statements take turns; medians of rounds of "
        f"calibrated timings. The layer would make the scan only below {threshold:g} % of "
        "the call's time.",
        "",
    ]
    lines += _table(
        [
            "call",
            "dtype",
            "call, ms",
            "call and scan, ms",
            "scan alone, ms",
            "cost of the scan",
            f"under {threshold:g} %",
        ],
        [
            [
                f"`vml.{row['operation']}`",
                row["dtype"],
                _number(row["call_ms"], 3),
                _number(row["call_and_scan_ms"], 3),
                _number(row["scan_ms"], 3),
                f"{row['cost_percent']:.1f} %",
                "yes" if row["cost_percent"] < threshold else "no",
            ]
            for row in data["rows"]
        ],
    )
    rows = data["rows"]
    cheapest = min(rows, key=lambda row: row["cost_percent"])
    dearest = max(rows, key=lambda row: row["cost_percent"])

    def named(row: dict) -> str:
        return f"{row['dtype']} `{row['operation']}`"

    under = [named(row) for row in rows if row["cost_percent"] < threshold]

    text = (
        f"The scan added from {cheapest['cost_percent']:.1f} % ({named(cheapest)}) to "
        f"{dearest['cost_percent']:.1f} % ({named(dearest)}) to the call's time. "
    )
    if not under:
        text += (
            f"It stayed under {threshold:g} % for none of the {len(rows)} calls: by this "
            "measurement the scan costs more than the layer allows."
        )
    elif len(under) == len(rows):
        text += (
            f"It stayed under {threshold:g} % for all {len(rows)} calls: by this measurement "
            "the scan costs less than the layer allows."
        )
    else:
        text += (
            f"It stayed under {threshold:g} % for {len(under)} of the {len(rows)} calls "
            f"({', '.join(under)}) and exceeded it for the others."
        )
    return [*lines, "", text]


def console_summary(results: dict) -> list[str]:
    """One line for each measured section that has no targets of its own."""
    lines = []
    if results.get("compare"):
        data = results["compare"]
        speedups = compare_speedups(results)["rows"]
        for config, label in (
            ("mkl_1_thread", "1 MKL thread"),
            ("mkl_all_threads", f"{data['all_threads']} MKL threads"),
        ):
            parts = []
            for n in (str(n) for n in data["sizes"]):
                values = [c[config, n] for c in speedups if c[config, n] is not None]
                faster = sum(value > 1 for value in values)
                parts.append(f"n={_size(n)} {faster}/{len(values)} (median {_median(values):.2f}x)")
            lines.append(f"vml faster than NumPy/SciPy, {label}: {', '.join(parts)}")
    if results.get("nan_scan"):
        data = results["nan_scan"]
        costs = ", ".join(
            f"{row['operation']} {row['dtype']} {row['cost_percent']:.1f} %" for row in data["rows"]
        )
        lines.append(f"NaN scan's cost (threshold {data['threshold_percent']:g} %): {costs}")
    return lines
