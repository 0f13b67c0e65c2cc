"""Instructions per `lib.vdAdd(8, a, b, r)` call, counted by callgrind, and where they run.

The script runs twice under callgrind with identical set-up, with a loop of N calls and with
none; the difference over N is one call, free of start-up and import work. Instruction
counts are repeatable on a noisy machine, where timings are not.
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

from . import report

NAME = "instructions"
TITLE = "Instructions per call (callgrind)"
ABOUT = (
    "Instructions of one `lib.vdAdd(8, a, b, r)` call by the shared object they run in: "
    "{calls:,} calls under `valgrind --tool=callgrind` minus the same script with none, over "
    "{calls:,} (valgrind's own CPU model may make MKL pick other kernels than the timed runs)."
)
SCRIPT = """
import sys
from itertools import repeat
from quorvex.mkl import lorimath
ffi, lib = lorimath.ffi, lorimath.lib
a, b, r = ffi.new("double[8]", [0.5] * 8), ffi.new("double[8]", [1.5] * 8), ffi.new("double[8]")


def loop(calls, f, a, b, r):
    for _ in repeat(None, calls):
        f(8, a, b, r)


loop(1, lib.vdAdd, a, b, r)  # first-call work happens in both runs
loop(int(sys.argv[1]), lib.vdAdd, a, b, r)
"""
# Entry points only: an allocation counts once, not again in the allocator's internals.
ALLOCATORS = re.compile(
    r"^(malloc|calloc|realloc|free|operator new.*|operator delete.*|"
    r"Py(Object|Mem)_(Raw)?(Malloc|Calloc|Realloc|Free))$"
)
GROUPS = {"lorimath": "module (lorimath)", "_cffi_backend": "cffi backend", "libmkl": "MKL",
          "libiomp": "MKL", "libpython": "interpreter", "python": "interpreter",
          "libc.": "C library and loader", "ld-linux": "C library and loader"}  # fmt: skip


def _group(path: str) -> str:
    name = Path(path).name
    return next((group for prefix, group in GROUPS.items() if name.startswith(prefix)), "other")


def _profile(path: Path) -> tuple[Counter, Counter]:
    """Self instructions by object group, and calls of allocators by the calling group."""
    own, allocations = Counter(), Counter()
    names: dict[str, str] = {}
    current, callee, calling, calls = {"ob": "", "fn": ""}, {}, False, 0
    for line in open(path, errors="replace"):
        if line[:1].isdigit() or line[:1] in "+-*":
            fields = line.split()
            if calling:
                if ALLOCATORS.match(callee.get("fn", "")):
                    allocations[_group(current["ob"])] += calls
                calling, callee = False, {}
            elif len(fields) > 1:
                own[_group(current["ob"])] += int(fields[1])
            continue
        key, _, value = line.rstrip("\n").partition("=")
        if key in ("ob", "fn", "cob", "cfn"):
            # Callgrind's name compression: "(id) name" defines an id, "(id)" reuses it.
            ident, name = re.match(r"(?:\((\d+)\))?\s*(.*)", value).groups()
            kind = key[-2:]
            if ident:
                names[kind + ident] = name or names.get(kind + ident, "")
                name = names[kind + ident]
            (current if len(key) == 2 else callee)[kind] = name
        elif key == "calls":
            calling, calls = True, int(value.split()[0])
    return own, allocations


def _run(calls: int, output: Path) -> None:
    command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={output}"]
    command += [sys.executable, "-c", SCRIPT, str(calls)]
    environment = dict(os.environ, PYTHONHASHSEED="0", MKL_NUM_THREADS="1")
    subprocess.run(command, check=True, capture_output=True, env=environment)


def measure(quick: bool) -> dict:
    if shutil.which("valgrind") is None:
        return {"calls": 0, "skipped": "valgrind is not installed"}
    calls = 2_000 if quick else 10_000
    with tempfile.TemporaryDirectory() as scratch:
        paths = [Path(scratch, f"callgrind.{n}") for n in (calls, 0)]
        with ThreadPoolExecutor(2) as pool:
            list(pool.map(_run, (calls, 0), paths))
        (own, allocated), (own0, allocated0) = map(_profile, paths)
    per_call = {group: (own[group] - own0[group]) / calls for group in own}
    allocations = {group: (allocated[group] - allocated0[group]) / calls for group in allocated}
    return {"calls": calls, "by_object": per_call, "allocations": allocations}


def tables(data: dict, results: dict) -> list:
    if "skipped" in data:
        return [(["skipped"], [[data["skipped"]]])]
    counts, allocations = data["by_object"], data["allocations"]
    order = sorted(counts, key=counts.get)
    rows = [[group, counts[group], allocations.get(group, 0)] for group in order]
    rows.append(["all", sum(counts.values()), sum(allocations.values())])
    return [(["code", "instructions per call", "heap allocations per call"], rows[::-1])]


def targets(data: dict, results: dict) -> list[dict]:
    counts = data.get("by_object", {})
    own = counts.get("module (lorimath)")
    context = f"of {sum(counts.values()):.0f} instructions per call in total" if own else ""
    allocations = data["allocations"].get("module (lorimath)", 0) if own else None
    call = "per `lib.vdAdd(8, a, b, r)` call"
    return [report.at_most(f"the module's own instructions {call}", 150, own, context),
            report.at_most(f"heap allocations by the module {call}", 0, allocations)]  # fmt: skip
