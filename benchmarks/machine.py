"""A description of the machine and software the results were measured on."""

from __future__ import annotations

import datetime
import os
import platform
import subprocess
import sys
from importlib import metadata
from pathlib import Path

from . import runtime


def _cpuinfo() -> dict[str, str]:
    fields: dict[str, str] = {}
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                key, _, value = line.partition(":")
                if not line.strip():
                    break  # the first processor describes them all
                fields.setdefault(key.strip(), value.strip())
    except OSError:
        pass
    return fields


def cpu_caches() -> dict[str, str]:
    """The first CPU's caches by level and type ("L1d", "L2", ...), sizes as sysfs spells them."""
    caches = {}
    for index in sorted(Path("/sys/devices/system/cpu/cpu0/cache").glob("index*")):
        try:
            level, kind, size = (
                (index / name).read_text().strip() for name in ("level", "type", "size")
            )
        except OSError:
            continue
        suffix = {"Data": "d", "Instruction": "i"}.get(kind, "")
        caches[f"L{level}{suffix}"] = size
    return caches


def usable_cpus() -> int | None:
    """The CPUs this process may run on (its affinity mask), which can be fewer than exist."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return None


def _memory_gib() -> float | None:
    try:
        with open("/proc/meminfo") as meminfo:
            for line in meminfo:
                if line.startswith("MemTotal:"):
                    return round(int(line.split()[1]) / 2**20, 1)
    except OSError:
        pass
    return None


def _version(distribution: str) -> str:
    try:
        return metadata.version(distribution)
    except metadata.PackageNotFoundError:
        return "not installed"


def _numpy_simd() -> str:
    import numpy

    try:
        features = numpy._core._multiarray_umath.__cpu_features__
    except AttributeError:
        return "unknown"
    wanted = ("AVX512_SKX", "AVX512F", "AVX2", "FMA3", "SSE42")
    best = [name for name in wanted if features.get(name)]
    return best[0] if best else "baseline"


def _git_commit(root: Path) -> str:
    try:
        result = subprocess.run(
            ["git", "-C", str(root), "rev-parse", "--short", "HEAD"],
            check=False,
            capture_output=True,
            text=True,
            timeout=10,
        )
        dirty = subprocess.run(
            ["git", "--no-optional-locks", "-C", str(root), "status", "--porcelain", "-uno"],
            check=False,
            capture_output=True,
            text=True,
            timeout=10,
        ).stdout.strip()
    except (OSError, subprocess.TimeoutExpired):
        return "unknown"
    return result.stdout.strip() + (" (with uncommitted changes)" if dirty else "")


def describe(root: Path) -> dict:
    cpu = _cpuinfo()
    flags = cpu.get("flags", "").split()
    return {
        "date": datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC"),
        "cpu": cpu.get("model name", platform.processor() or "unknown"),
        "cpu_vendor": cpu.get("vendor_id", "unknown"),
        "cpu_family_model": f"family {cpu.get('cpu family', '?')}, model {cpu.get('model', '?')}",
        "cpu_isa": " ".join(f for f in ("avx2", "avx512f", "avx512_bf16") if f in flags),
        "cpu_caches": cpu_caches(),
        "logical_cpus": os.cpu_count(),
        "usable_cpus": usable_cpus(),
        "memory_gib": _memory_gib(),
        "load_average_at_start": [round(x, 2) for x in os.getloadavg()],
        "os": f"{platform.system()} {platform.release()}",
        "python": sys.version.split()[0],
        "numpy": _version("numpy"),
        "numpy_simd": _numpy_simd(),
        "scipy": _version("scipy"),
        "cffi": _version("cffi"),
        "mkl_wheel": _version("mkl"),
        "mkl": runtime.mkl_version(),
        "mkl_vml_kernels": runtime.vml_kernel_libraries(),
        "mkl_max_threads": runtime.mkl_max_threads(),
        "module": str(Path(runtime.module().__file__)),
        "commit": _git_commit(root),
    }
