"""Runs the tests that depend on MKL's kernel library under each kernel this CPU can run.

    python tools/every_kernel.py [pytest arguments]

MKL picks one VML kernel library per process by CPU and environment. On Intel CPUs
``MKL_ENABLE_INSTRUCTIONS`` reaches the older kernels; on AMD CPUs MKL always loads its
generic ones. There, this tool preloads a shim that answers MKL's "is this an Intel CPU?"
query with yes, so that MKL dispatches on the CPU's features alone and the Intel kernels
(AVX-512, AVX2, SSE4.2) run too. The shim is for testing only: it changes nothing else.

Without arguments it runs ``-m numerics``; each run prints the kernel library it got.
The exit status is 0 only if every run passed.
"""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# MKL asks mkl_serv_get_cpu_true() for a function that says whether the CPU is Intel's.
SHIM = """
static int intel(void) { return 1; }
void *mkl_serv_get_cpu_true(void) { return (void *)intel; }
"""

REPORT_KERNEL = (
    "import re; from quorvex.mkl import ffi, lib; lib.vdExp(1, [0.0], ffi.new('double[1]'));"
    "print(*sorted(set(re.findall(r'libmkl_vml_\\w+', open('/proc/self/maps').read()))))"
)


def is_amd() -> bool:
    with open("/proc/cpuinfo") as cpuinfo:
        return "AuthenticAMD" in cpuinfo.read()


def build_shim(directory: Path) -> Path:
    source, shim = directory / "intel_cpu.c", directory / "libintel_cpu.so"
    source.write_text(SHIM)
    compiler = os.environ.get("CC", "cc")
    subprocess.run([compiler, "-shared", "-fPIC", "-O2", "-o", shim, source], check=True)
    return shim


def configurations(shim: Path | None) -> list[dict[str, str]]:
    preload = {"LD_PRELOAD": str(shim)} if shim else {}
    return [
        {},
        {"MKL_CBWR": "COMPATIBLE"},
        {**preload},
        {**preload, "MKL_ENABLE_INSTRUCTIONS": "AVX2"},
        {**preload, "MKL_ENABLE_INSTRUCTIONS": "SSE4_2"},
    ]


def main(argv: list[str]) -> int:
    pytest_args = argv or ["-m", "numerics", "-q", "-p", "no:cacheprovider"]
    failed = []
    with tempfile.TemporaryDirectory() as scratch:
        shim = build_shim(Path(scratch)) if is_amd() else None
        seen = set()
        for extra in configurations(shim):
            env = {**os.environ, **extra}
            kernel = subprocess.run(
                [sys.executable, "-c", REPORT_KERNEL],
                env=env,
                capture_output=True,
                text=True,
                check=False,
            ).stdout.strip()
            if kernel in seen:
                continue
            seen.add(kernel)
            label = " ".join(f"{k}={Path(v).name}" for k, v in extra.items()) or "default"
            print(f"== {kernel} ({label})", flush=True)
            result = subprocess.run(
                [sys.executable, "-m", "pytest", *pytest_args], env=env, cwd=ROOT, check=False
            )
            if result.returncode:
                failed.append(kernel)
    print("failed under: " + ", ".join(failed) if failed else f"passed under {len(seen)} kernels")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
