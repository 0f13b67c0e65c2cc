"""Import time of the compiled modules (their own work apart from loading MKL) and the sizes
of their binaries."""

from __future__ import annotations

import importlib.util
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
from collections import defaultdict
from pathlib import Path

from . import runtime

MODULE = "quorvex.mkl.lorimath"
FULL = "quorvex.mkl.full"
UFUNCS = "quorvex.mkl._ufuncs"  # needs NumPy loaded first: its size only

# The module's own import work: the extension loader maps and relocates the binary,
# binds its MKL symbols and runs the module entry (the handshake with the backend).
# Everything it depends on is loaded first, and the package's import hooks are bypassed.
OWN_IMPORT = """
import ctypes, importlib.machinery, importlib.util, sys, time, _cffi_backend
ctypes.CDLL({library!r}, mode=ctypes.RTLD_GLOBAL)
loader = importlib.machinery.ExtensionFileLoader({name!r}, {path!r})
module_spec = importlib.util.spec_from_file_location({name!r}, {path!r}, loader=loader)
start = time.perf_counter()
module = importlib.util.module_from_spec(module_spec)
module_spec.loader.exec_module(module)
elapsed = time.perf_counter() - start
assert module.lib.vmlGetMode() >= 0
print(elapsed * 1e6)
"""

LIBRARY_LOAD = """
import ctypes, time
start = time.perf_counter()
ctypes.CDLL({library!r}, mode=ctypes.RTLD_GLOBAL)
print((time.perf_counter() - start) * 1e6)
"""


def _run(code: str, *options: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, *options, "-c", code],
        capture_output=True,
        text=True,
        check=True,
        env=dict(os.environ, MKL_NUM_THREADS="1"),
    )


def _cold_import() -> tuple[int, dict[str, int]]:
    """Cumulative µs of `import MODULE` in a fresh interpreter, and of its direct sub-imports."""
    report = _run("import " + MODULE, "-X", "importtime").stderr
    total, children = 0, {}
    for line in report.splitlines():
        if not line.startswith("import time:") or "|" not in line:
            continue
        _, cumulative, name = line[12:].split("|")
        if not cumulative.strip().isdigit():
            continue
        depth = (len(name) - len(name.lstrip())) // 2
        if depth == 0 and name.strip() == MODULE:
            return int(cumulative), children
        if depth == 0:
            children = {}  # -X importtime prints children before their parent
        elif depth == 1:
            children[name.strip()] = int(cumulative)
    return total, children


def _binary_sizes(binary: Path) -> dict:
    """Bytes of the installed binary, of a copy stripped with `strip --strip-all`, and of
    the stripped copy's sections."""
    with tempfile.TemporaryDirectory() as scratch:
        stripped = Path(scratch, binary.name)
        shutil.copy(binary, stripped)
        subprocess.run(["strip", "--strip-all", str(stripped)], check=True)
        stripped_bytes = stripped.stat().st_size
        sections = subprocess.run(
            ["size", str(stripped)], check=True, capture_output=True, text=True
        ).stdout
    text, data, bss = (int(x) for x in sections.splitlines()[1].split()[:3])
    return {
        "binary": str(binary),
        "installed_bytes": binary.stat().st_size,
        "stripped_bytes": stripped_bytes,
        "text_bytes": text,
        "data_bytes": data,
        "bss_bytes": bss,
    }


def _binary(name: str) -> Path:
    found = importlib.util.find_spec(name)
    if found is None or found.origin is None:
        raise RuntimeError(f"{name} is not installed")
    return Path(found.origin)


def measure(processes: int) -> dict:
    """The lorimath module's figures at the top level (as earlier runs recorded them);
    quorvex.mkl.full's import and size, and _ufuncs's size, under "modules"."""
    library = runtime.mkl_rt_path()
    binary = Path(runtime.module().__file__)
    full = _binary(FULL)
    own_import = OWN_IMPORT.format(library=library, name=MODULE, path=str(binary))
    full_import = OWN_IMPORT.format(library=library, name=FULL, path=str(full))
    own, full_own, mkl_load, cold = [], [], [], []
    children: dict[str, list[int]] = defaultdict(list)
    for _ in range(processes):
        own.append(float(_run(own_import).stdout))
        full_own.append(float(_run(full_import).stdout))
        mkl_load.append(float(_run(LIBRARY_LOAD.format(library=library)).stdout))
        total, parts = _cold_import()
        cold.append(total)
        for name, value in parts.items():
            children[name].append(value)
    return {
        "processes": processes,
        "module_own_us": statistics.median(own),
        "mkl_rt_load_us": statistics.median(mkl_load),
        "cold_import_total_us": statistics.median(cold),
        "cold_import_parts_us": {
            name: statistics.median(values) for name, values in children.items()
        },
        **_binary_sizes(binary),
        "modules": {
            FULL: {"own_import_us": statistics.median(full_own), **_binary_sizes(full)},
            UFUNCS: _binary_sizes(_binary(UFUNCS)),
        },
    }
