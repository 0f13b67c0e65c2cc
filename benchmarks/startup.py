"""The compiled modules' own import work, apart from loading MKL, and their binaries' sizes."""

from __future__ import annotations

import importlib.util
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

from . import harness, report

NAME = "startup"
TITLE = "Start-up and size"
ABOUT = (
    "µs of each module's own import (the extension loaded with MKL and the cffi backend already "
    "in the process, the package's import hooks bypassed) and of loading `libmkl_rt` alone, "
    "medians over {processes} fresh processes; bytes of each shared object stripped with "
    "`strip --strip-all`."
)
MODULES = ("quorvex.mkl.lorimath", "quorvex.mkl.full", "quorvex.mkl._ufuncs")
LIMITS = {"quorvex.mkl.lorimath": (1000, 400), "quorvex.mkl.full": (3000, 1500)}  # µs, kB
OWN_IMPORT = """
import ctypes, importlib.machinery, importlib.util, time, _cffi_backend
ctypes.CDLL({library!r}, mode=ctypes.RTLD_GLOBAL)
loader = importlib.machinery.ExtensionFileLoader({name!r}, {path!r})
found = importlib.util.spec_from_file_location({name!r}, {path!r}, loader=loader)
start = time.perf_counter()
found.loader.exec_module(importlib.util.module_from_spec(found))
print((time.perf_counter() - start) * 1e6)
"""
LOAD = """
import ctypes, time
start = time.perf_counter()
ctypes.CDLL({library!r})
print((time.perf_counter() - start) * 1e6)
"""


def _microseconds(code: str, processes: int) -> float:
    """The median of the µs that `code` prints, over `processes` fresh interpreters."""
    command, environment = [sys.executable, "-c", code], dict(os.environ, MKL_NUM_THREADS="1")
    runs = [
        subprocess.run(command, capture_output=True, text=True, check=True, env=environment)
        for _ in range(processes)
    ]
    return statistics.median(float(run.stdout) for run in runs)


def _stripped_bytes(binary: Path) -> int:
    with tempfile.TemporaryDirectory() as scratch:
        copy = Path(shutil.copy(binary, scratch))
        subprocess.run(["strip", "--strip-all", str(copy)], check=True)
        return copy.stat().st_size


def measure(quick: bool) -> dict:
    processes, library = 5 if quick else 15, harness.mkl_rt()._name
    binaries = {name: Path(importlib.util.find_spec(name).origin) for name in MODULES}
    modules = {
        name: {"stripped_bytes": _stripped_bytes(path), "installed_bytes": path.stat().st_size}
        for name, path in binaries.items()
    }
    for name in LIMITS:  # _ufuncs needs NumPy loaded first: its size only
        code = OWN_IMPORT.format(library=library, name=name, path=str(binaries[name]))
        modules[name]["import_us"] = _microseconds(code, processes)
    load = _microseconds(LOAD.format(library=library), processes)
    return {"processes": processes, "modules": modules, "mkl_rt_load_us": load}


def tables(data: dict, results: dict) -> list:
    rows = [
        [f"`{name}`", m.get("import_us", "-"), m["installed_bytes"], m["stripped_bytes"]]
        for name, m in data["modules"].items()
    ]
    rows.append(["`libmkl_rt` alone", data["mkl_rt_load_us"], "-", "-"])
    return [(["", "own import µs", "installed bytes", "stripped bytes"], rows)]


def targets(data: dict, results: dict) -> list[dict]:
    rows = []
    for name, (us, kb) in LIMITS.items():
        module = data["modules"][name]
        own, stripped = module["import_us"], module["stripped_bytes"] / 1000
        rows.append(report.bound(f"`{name}`'s own import work", "<", us, own, unit=" µs"))
        rows.append(
            report.bound(f"`{name}`'s stripped shared object", "<", kb, stripped, unit=" kB")
        )
    return rows
