"""Instructions per call, counted by callgrind: in total, in the module's own code, and by callee.

Each case runs twice under callgrind with identical set-up, once with a loop of
N calls and once with none; the difference divided by N is the cost of one
loop iteration, free of start-up and import work. Instruction counts are
repeatable on a noisy machine, where timings are not.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import tempfile
from collections import Counter
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from . import runtime

# Case label: (lib function, the call inside the loop). `count` is a one-element list.
CASES = {
    "lib.vdAdd(8, a, b, r)": ("vdAdd", "f(8, a, b, r)"),
    "lib.vdExp(8, a, r)": ("vdExp", "f(8, a, r)"),
    "lib.VDADD([8], a, b, r)": ("VDADD", "f(count, a, b, r)"),
    "lib.vmlGetMode()": ("vmlGetMode", "f()"),
    "lib.vmlSetMode(m)": ("vmlSetMode", "f(m)"),
}
QUICK_CASES = ("lib.vdAdd(8, a, b, r)",)

LOOP_SCRIPT = """
import sys
from itertools import repeat
from quorvex.mkl import lorimath

ffi, lib = lorimath.ffi, lorimath.lib
a = ffi.new("double[8]", [0.5 + i / 16 for i in range(8)])
b = ffi.new("double[8]", [1.5 - i / 16 for i in range(8)])
r = ffi.new("double[8]")
count = [8]
m = lib.vmlGetMode()
f = getattr(lib, sys.argv[1])
exec("def loop(calls, f, a, b, r, m, count):\\n"
     "    for _ in repeat(None, calls):\\n"
     "        " + sys.argv[2])
loop(1, f, a, b, r, m, count)  # first-call work happens in both runs
loop(int(sys.argv[3]), f, a, b, r, m, count)
"""

# Entry points only: an allocation counts once, not again in the allocator's internals.
ALLOCATORS = re.compile(
    r"^(malloc|calloc|realloc|free|operator new.*|operator delete.*|"
    r"Py(Object|Mem)_(Raw)?(Malloc|Calloc|Realloc|Free))$"
)


class Profile:
    """Self cost per (object, function) and call edges from one callgrind output file."""

    def __init__(self, path: Path):
        self.self_cost: Counter = Counter()
        self.call_count: Counter = Counter()
        self.call_cost: Counter = Counter()
        names: dict[str, dict[str, str]] = {"ob": {}, "fn": {}}
        current = {"ob": "", "fn": ""}
        callee = {"ob": None, "fn": None}
        pending_calls = None
        with open(path, errors="replace") as lines:
            for raw_line in lines:
                line = raw_line.rstrip("\n")
                if not line:
                    continue
                head = line[0]
                if head.isdigit() or head in "+-*":
                    fields = line.split()
                    cost = int(fields[2]) if len(fields) > 2 else 0
                    caller = (current["ob"], current["fn"])
                    if pending_calls is not None:
                        target = (callee["ob"] or current["ob"], callee["fn"])
                        self.call_count[caller, target] += pending_calls
                        self.call_cost[caller, target] += cost
                        pending_calls = None
                        callee = {"ob": None, "fn": None}
                    else:
                        self.self_cost[caller] += cost
                    continue
                key, _, value = line.partition("=")
                if key in ("ob", "fn", "cob", "cfn"):
                    kind = key[-2:]
                    name = self._resolve(names[kind], value)
                    (current if len(key) == 2 else callee)[kind] = name
                elif key == "calls":
                    pending_calls = int(value.split()[0])

    @staticmethod
    def _resolve(table: dict[str, str], value: str) -> str:
        """Callgrind's name compression: "(id) name" defines an id, "(id)" reuses it."""
        match = re.match(r"\((\d+)\)\s?(.*)", value)
        if not match:
            return value
        ident, name = match.groups()
        if name:
            table[ident] = name
        return table.get(ident, value)


def _per_call(loop: Profile, empty: Profile, calls: int, counters: str) -> Counter:
    difference: Counter = Counter()
    for key, value in getattr(loop, counters).items():
        difference[key] += value
    for key, value in getattr(empty, counters).items():
        difference[key] -= value
    return Counter({key: value / calls for key, value in difference.items() if value})


def _object_group(path: str) -> str:
    name = Path(path).name
    if name.startswith("lorimath"):
        return "module (lorimath)"
    if name.startswith("_cffi_backend"):
        return "cffi backend"
    if name.startswith(("libmkl", "libiomp")):
        return "MKL (mkl_rt, its kernels, OpenMP)"
    if name.startswith(("libpython", "python")):
        return "interpreter"
    if name.startswith(("libc.", "ld-linux", "libm.", "libpthread")):
        return "C library and loader"
    return "other"


def _is_module(path: str) -> bool:
    return Path(path).name.startswith("lorimath")


def _symbolizer(module_path: Path, root: Path):
    """Names for the stripped module's functions, from an unstripped build with its build ID."""

    def build_id(path: Path) -> str | None:
        try:
            notes = subprocess.run(
                ["readelf", "-n", str(path)], check=False, capture_output=True, text=True
            )
        except OSError:
            return None
        match = re.search(r"Build ID:\s*([0-9a-f]+)", notes.stdout)
        return match.group(1) if match else None

    wanted = build_id(module_path)
    symbols: list[tuple[int, str]] = []
    for candidate in sorted(root.glob("build/*/" + module_path.name)):
        if wanted and build_id(candidate) == wanted:
            listing = subprocess.run(
                ["nm", "-C", "--defined-only", str(candidate)],
                check=False,
                capture_output=True,
                text=True,
            ).stdout
            for line in listing.splitlines():
                address, kind, *name = line.split(" ", 2)
                if kind.lower() == "t" and name:
                    symbols.append((int(address, 16), name[0]))
            break
    symbols.sort()

    def name(function: str) -> str:
        if symbols and re.fullmatch(r"0x[0-9a-f]+", function):
            address = int(function, 16)
            below = [entry for entry in symbols if entry[0] <= address]
            if below:
                function = below[-1][1]
        # Template arguments spell the function's name character by character; drop them.
        short = re.sub(r"^(?:_object\* |void |int )?", "", function)
        return short.split("<", 1)[0] + ("<…>" if "<" in short else "")

    return name


def _run_callgrind(function: str, statement: str, calls: int, output: Path) -> None:
    environment = dict(os.environ, PYTHONHASHSEED="0", MKL_NUM_THREADS="1")
    command = [
        "valgrind",
        "--tool=callgrind",
        "--dump-instr=yes",
        f"--callgrind-out-file={output}",
        sys.executable,
        "-c",
        LOOP_SCRIPT,
        function,
        statement,
        str(calls),
    ]
    subprocess.run(command, check=True, capture_output=True, env=environment)


def _analyse(loop: Profile, empty: Profile, calls: int, symbolize) -> dict:
    self_cost = _per_call(loop, empty, calls, "self_cost")
    call_count = _per_call(loop, empty, calls, "call_count")
    call_cost = _per_call(loop, empty, calls, "call_cost")
    by_group: Counter = Counter()
    for (obj, _), cost in self_cost.items():
        by_group[_object_group(obj)] += cost
    own_functions: Counter = Counter()
    for (obj, function), cost in self_cost.items():
        if _is_module(obj):
            own_functions[symbolize(function)] += cost
    wrapper_inclusive = sum(
        cost
        for ((caller_obj, _), (callee_obj, _)), cost in call_cost.items()
        if _is_module(callee_obj) and not _is_module(caller_obj)
    )
    callees: dict[str, dict] = {}
    module_allocations = 0.0
    all_allocations = 0.0
    for ((caller_obj, _), (callee_obj, callee)), count in call_count.items():
        if ALLOCATORS.match(callee):
            all_allocations += count
            module_allocations += count if _is_module(caller_obj) else 0
        if _is_module(caller_obj) and not _is_module(callee_obj):
            entry = callees.setdefault(
                callee, dict(callee=callee, object=_object_group(callee_obj), calls=0.0, ir=0.0)
            )
            entry["calls"] += count
            entry["ir"] += call_cost[(caller_obj, _), (callee_obj, callee)]
    return {
        "total": sum(self_cost.values()),
        "module_own": by_group["module (lorimath)"],
        "wrapper_inclusive": wrapper_inclusive,
        "by_object": dict(by_group.most_common()),
        "module_functions": dict(own_functions.most_common()),
        "module_callees": sorted(callees.values(), key=lambda entry: -entry["ir"]),
        "allocations_by_module": module_allocations,
        "allocations_in_process": all_allocations,
    }


def measure(root: Path, quick: bool) -> dict:
    """Runs every case under callgrind (two at a time) and returns per-call counts."""
    if shutil.which("valgrind") is None:
        return {"skipped": "valgrind is not installed"}
    calls = 2_000 if quick else 10_000
    labels = QUICK_CASES if quick else tuple(CASES)
    symbolize = _symbolizer(Path(runtime.module().__file__), root)
    with tempfile.TemporaryDirectory() as scratch:
        runs = []
        for index, label in enumerate(labels):
            function, statement = CASES[label]
            for loop_calls in (calls, 0):
                output = Path(scratch, f"callgrind.{index}.{loop_calls}")
                runs.append((function, statement, loop_calls, output))
        with ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
            list(pool.map(lambda run: _run_callgrind(*run), runs))
        cases = {}
        for index, label in enumerate(labels):
            loop = Profile(Path(scratch, f"callgrind.{index}.{calls}"))
            empty = Profile(Path(scratch, f"callgrind.{index}.0"))
            cases[label] = _analyse(loop, empty, calls, symbolize)
    return {"calls_per_run": calls, "cases": cases}
