"""The machine and the software a run measured, as the rows of the report's first table."""

from __future__ import annotations

import datetime
import os
import platform
import subprocess
import sys
from importlib import metadata
from pathlib import Path

from . import harness


def _cpuinfo() -> dict[str, str]:
    fields: dict[str, str] = {}
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if not line.strip():
                break  # the first processor describes them all
            key, _, value = line.partition(":")
            fields.setdefault(key.strip(), value.strip())
    return fields


def cache_bytes(level: str) -> int | None:
    """The first CPU's cache of `level` ("L2", "L1d", ...) in bytes, from sysfs."""
    for index in Path("/sys/devices/system/cpu/cpu0/cache").glob("index*"):
        kind = (index / "type").read_text().strip()
        name = f"L{(index / 'level').read_text().strip()}" + {"Data": "d"}.get(kind, "")
        if name == level and kind != "Instruction":
            size = (index / "size").read_text().strip()
            return int(size[:-1]) * {"K": 2**10, "M": 2**20}[size[-1]]
    return None


def _version(distribution: str) -> str:
    try:
        return metadata.version(distribution)
    except metadata.PackageNotFoundError:
        return "not installed"


EXTRAS = ("numexpr", "numba", "dask", "cffi")  # the packages the suite compares with or uses


def _numpy_simd() -> str:
    import numpy

    features = getattr(numpy._core._multiarray_umath, "__cpu_features__", {})
    best = [f for f in ("AVX512_SKX", "AVX512F", "AVX2", "SSE42") if features.get(f)]
    return best[0] if best else "baseline"


def _git(*arguments: str) -> str:
    command = ["git", "--no-optional-locks", "-C", str(harness.ROOT), *arguments]
    return subprocess.run(command, capture_output=True, text=True, check=False).stdout.strip()


def describe() -> dict[str, str]:
    cpu = _cpuinfo()
    flags = cpu.get("flags", "").split()
    features = " ".join(f for f in ("avx2", "avx512f", "avx512_bf16") if f in flags)
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    dirty = " (with uncommitted changes)" if _git("status", "--porcelain", "-uno") else ""
    caches = ", ".join(f"{level} {cache_bytes(level) // 1024} KiB" for level in ("L1d", "L2", "L3"))
    return {
        "date": datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC"),
        "commit": _git("rev-parse", "--short", "HEAD") + dirty,
        "CPU": f"{cpu.get('model name', '?')} ({cpu.get('vendor_id', '?')}, family "
        f"{cpu.get('cpu family', '?')}, model {cpu.get('model', '?')}; {features})",
        "CPUs (usable by this process), memory": f"{os.cpu_count()} ({harness.usable_cpus()}), "
        f"{memory:.1f} GiB",
        "caches of the first CPU": caches,
        "OS, Python": f"{platform.system()} {platform.release()}, {sys.version.split()[0]}",
        "NumPy (SIMD level), SciPy": f"{_version('numpy')} ({_numpy_simd()}), {_version('scipy')}",
        "numexpr, numba, Dask, cffi": ", ".join(map(_version, EXTRAS)),
        "MKL": f"{_version('mkl')} (wheel)",
        "MKL's VML kernels in this process": harness.kernel_library(),
        "load average at the start": ", ".join(f"{x:.2f}" for x in os.getloadavg()),
    }
