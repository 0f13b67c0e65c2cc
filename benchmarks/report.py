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


def _target(name, required, measured, *, met, unit="", note="", digits=2):
    return dict(
        target=name,
        required=required,
        measured=measured,
        unit=unit,
        met=met,
        note=note,
        digits=digits,
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
    targets.append(
        _target(
            "two Python threads calling `vdExp` (10^6), throughput relative to one",
            "≥ 1.8",
            threads and threads["speedup"],
            met=threads and threads["speedup"] >= 1.8,
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


def _verdict(met) -> str:
    return "not measured" if met is None else ("met" if met else "**missed**")


def _table(header: list[str], rows: list[list]) -> list[str]:
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return lines


def _explanations(results: dict, targets: list[dict]) -> list[str]:
    """Why each missed target cannot close, from the numbers of this run."""
    machine = results["machine"]
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
    slow = [t for t in missed if "throughput at n = 10^6" in t]
    if slow:
        mkl_exp = _reference(results, "vdExp", 10**6)
        module_exp = _throughput(results, "vdExp", "mkl_1_thread", 10**6)
        notes.append(
            "**Throughput at n = 10^6.** At this size the call costs ~0.1 µs of "
            f"{_number(module_exp and module_exp * 1e6, 0)} µs; the rest is MKL's kernel. MKL "
            f"dispatched to `{', '.join(machine['mkl_vml_kernels']) or '?'}` on this "
            f"{machine['cpu_vendor']} CPU ({machine['cpu']}, {machine['cpu_family_model']}): "
            "its generic kernels, not the AVX2/AVX-512 ones it picks on Intel CPUs, while "
            f"NumPy {machine['numpy']} runs its own {machine['numpy_simd']} loops for `exp`, "
            "`log` and `power`. From C, MKL's `vdExp(10^6)` takes "
            f"{_number(mkl_exp and mkl_exp * 1e3, 3)} ms against "
            f"{_number(module_exp and module_exp * 1e3, 3)} ms through the module, so no "
            "change to the module can close this gap; all three accuracy modes run the same "
            "generic kernel here (section 4). `vdSin` and `vdErf` are far ahead of NumPy and "
            "SciPy, whose `sin` and `erf` are scalar loops."
        )
    if any(t.startswith("two Python threads") for t in missed):
        threads = results["threads"]
        load = results.get("background_cpus", {}).get("threads")
        c_speedup = threads.get("c_speedup")
        notes.append(
            "**Two threads.** The same experiment in C, two POSIX threads calling MKL with no "
            f"interpreter at all, run between the Python repeats, reached {_number(c_speedup)}x "
            f"(other processes kept {_number(load)} CPUs busy meanwhile). Two Python threads "
            f"reached {_number(threads['speedup'])}x, "
            f"{_number(c_speedup and 100 * threads['speedup'] / c_speedup, 0)} % of what C got "
            f"from this {machine['logical_cpus']}-CPU machine in the same minutes. The module "
            "holds the lock only while converting the arguments, ~0.1 µs of each 1.3 ms call: "
            "with two threads the median call took "
            f"{_number(threads.get('call_ms_together'))} ms against "
            f"{_number(threads.get('call_ms_alone'))} ms alone, so the typical call did not "
            "wait; the shortfall from 2x sits in a tail of slower calls (95 % took at most "
            f"{_number(threads.get('p95_call_ms_together'))} ms), and the C figure shows how "
            "much of it the machine itself accounts for."
        )
    return notes


def markdown(results: dict, plots: list[str]) -> str:
    machine = results["machine"]
    targets = results["targets"]
    lines = [
        "# Benchmark results",
        "",
        f"Measured {machine['date']} by `python -m benchmarks`"
        f"{' --quick' if results['mode'] == 'quick' else ''} in "
        f"{results['duration_seconds']:.0f} s. Every comparison ran in the same process "
        "(or, for start-up, the same run), timings are medians of repeated runs after warm-up.",
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
        ["logical CPUs, memory", f"{machine['logical_cpus']}, {machine['memory_gib']} GiB"],
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
                _number(t["measured"], t["digits"]) + t["unit"],
                _verdict(t["met"]),
                t["note"] or "",
            ]
            for t in targets
        ],
    )
    notes = _explanations(results, targets)
    if notes:
        lines += ["", "### Why the missed targets cannot close", ""]
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
        "divided by the number of calls. MKL runs its AVX2 kernels under valgrind (valgrind "
        "presents an Intel CPU), so MKL's share differs from the native runs. Heap "
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
    lines = [
        "",
        "## 3. Throughput versus size",
        "",
        "Speed relative to NumPy (NumPy's time ÷ the module's time; above 1 the module is "
        f"faster), MKL on one thread and on all {data['all_cores']} cores; NumPy is "
        "single-threaded. Arrays are NumPy arrays passed through `ffi.from_buffer` made once.",
        "",
    ]
    header = ["function", "NumPy equivalent", "dtype"]
    header += [f"n={_size(n)}" for n in shown]
    header += [f"all cores n={_size(n)}" for n in shown[-2:]]
    header += ["overtakes NumPy from n=", "(all cores)"]
    rows = []
    for name, per_config in data["seconds"].items():
        numpy_s, one, every = (
            per_config["numpy"],
            per_config["mkl_1_thread"],
            per_config["mkl_all_cores"],
        )
        crossover = data["crossover"][name]
        row = [f"`{name}`", f"`{data['numpy_equivalent'][name]}`", data["dtype"][name]]
        row += [_number(numpy_s[n] / one[n]) for n in shown]
        row += [_number(numpy_s[n] / every[n]) for n in shown[-2:]]
        row += [
            _size(crossover[c]) if crossover[c] else "never"
            for c in ("mkl_1_thread", "mkl_all_cores")
        ]
        rows.append(row)
    lines += _table(header, rows)
    complex_mul = _reference(results, "vzMul", 10**4)
    if complex_mul:
        lines += [
            "",
            f"MKL's own `vzMul` on 10^4 elements, called from C, takes {complex_mul * 1e6:.0f} µs "
            f"({complex_mul * 1e9 / 10**4:.0f} ns per element) on this CPU: the gap to NumPy is "
            "MKL's kernel, not the call.",
        ]
    lines += [""] + [f"![{plot}]({plot})" for plot in plots if plot.startswith("throughput")]
    return lines


def _modes_section(results: dict) -> list[str]:
    data = results.get("modes")
    if not data:
        return []
    lines = ["", f"## 4. Accuracy modes (n = {_size(data['n'])}, one MKL thread)", ""]
    lines += _table(
        ["function", "mode", "ms", "NumPy ms", "speed vs NumPy", "max relative deviation from HA"],
        [
            [
                f"`{row['function']}`",
                row["mode"],
                _number(row["ms"], 3),
                _number(row["numpy_ms"], 3),
                _number(row["speedup_over_numpy"]),
                f"{row['max_relative_deviation_from_ha']:.1e}",
            ]
            for row in data["rows"]
        ],
    )
    if all(row["max_relative_deviation_from_ha"] == 0 for row in data["rows"]):
        lines += [
            "",
            "Every mode gave bit-identical results at the same speed: MKL's generic kernels "
            f"({', '.join(results['machine']['mkl_vml_kernels'])}), which it runs on this CPU, "
            "implement one accuracy for all three modes.",
        ]
    return lines


def _threads_section(results: dict) -> list[str]:
    data = results.get("threads")
    if not data:
        return []
    lines = [
        "",
        "## 5. Lock release: two Python threads against one",
        "",
        f"Each thread calls `vdExp` {data['calls_per_thread']} times on its own "
        f"{_size(data['n'])}-element arrays; one thread alone makes all the calls. MKL on one "
        f"thread; medians of {data['repeats']} runs, the C reference interleaved with them.",
        "",
    ]
    rows = [
        [
            "Python threads, quorvex `lib.vdExp`",
            _number(data["one_thread_ms"], 1),
            _number(data["two_threads_ms"], 1),
            _number(data["speedup"]),
        ]
    ]
    if "c_speedup" in data:
        rows.append(
            [
                "C, POSIX threads (reference)",
                _number(data["c_one_thread_ms"], 1),
                _number(data["c_two_threads_ms"], 1),
                _number(data["c_speedup"]),
            ]
        )
    lines += _table(["", "one thread, ms", "two threads, ms", "speed-up"], rows)
    if "call_ms_alone" in data:
        lines += [
            "",
            f"One `vdExp` call took {data['call_ms_alone']:.2f} ms (median) in one thread and "
            f"{data['call_ms_together']:.2f} ms with two threads running; with two threads 95 % "
            f"of the calls took at most {data['p95_call_ms_together']:.2f} ms and the slowest "
            f"{data['slowest_call_ms_together']:.2f} ms. A call that had to wait for the "
            "interpreter lock would stand out by milliseconds.",
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
