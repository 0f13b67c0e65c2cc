"""Judges the results against the targets and writes them up as Markdown."""

from __future__ import annotations

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
    startup = results.get("startup")
    targets.append(
        _target(
            "the module's own import work",
            "< 1000 µs",
            startup and startup["module_own_us"],
            unit=" µs",
            met=startup and startup["module_own_us"] < 1000,
            digits=0,
        )
    )
    targets.append(
        _target(
            "stripped shared object",
            "< 400 kB",
            startup and startup["stripped_bytes"] / 1000,
            unit=" kB",
            met=startup and startup["stripped_bytes"] < 400_000,
            digits=1,
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
    return notes


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
            "the module's own import: loading the extension with MKL and the backend already "
            "loaded",
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
    lines += _table(["", "µs"], rows)
    lines += [""]
    lines += _table(
        ["shared object", "bytes"],
        [
            ["installed", f"{data['installed_bytes']:,}"],
            ["stripped (`strip --strip-all`)", f"{data['stripped_bytes']:,}"],
            ["code (`.text` and read-only data)", f"{data['text_bytes']:,}"],
            ["writable data", f"{data['data_bytes']:,}"],
        ],
    )
    return lines
