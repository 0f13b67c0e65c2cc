"""Runs the tests that depend on MKL's kernel library under each kernel this CPU can run.

    python tools/every_kernel.py [pytest arguments]

MKL picks one VML kernel library per process by CPU and environment. On CPUs not made by
Intel it runs its generic kernels unless ``QUORVEX_MKL_KERNELS=cpu`` lets the CPU's
instruction sets choose; under that switch, on any x86-64 CPU, ``MKL_ENABLE_INSTRUCTIONS``
reaches the older kernels (AVX2, SSE4.2) too.

Without arguments it runs ``-m numerics``; each run prints the kernel library it got, and
a configuration that gives a library already tested is skipped.
The exit status is 0 only if every run passed.
"""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

REPORT_KERNEL = "import quorvex.mkl; print(quorvex.mkl.kernels().library)"

CPU = {"QUORVEX_MKL_KERNELS": "cpu"}
CONFIGURATIONS = [
    {},
    {"MKL_CBWR": "COMPATIBLE"},
    CPU,
    {**CPU, "MKL_ENABLE_INSTRUCTIONS": "AVX2"},
    {**CPU, "MKL_ENABLE_INSTRUCTIONS": "SSE4_2"},
]
# Set outside, they would decide for every configuration.
CHOOSERS = ("QUORVEX_MKL_KERNELS", "MKL_CBWR", "MKL_ENABLE_INSTRUCTIONS")


def main(argv: list[str]) -> int:
    pytest_args = argv or ["-m", "numerics", "-q", "-p", "no:cacheprovider"]
    base = {k: v for k, v in os.environ.items() if k not in CHOOSERS}
    failed, seen = [], set()
    for extra in CONFIGURATIONS:
        env = {**base, **extra}
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
        label = " ".join(f"{k}={v}" for k, v in extra.items()) or "default"
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
