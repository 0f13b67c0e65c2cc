"""The one harness every section uses: timing, the C reference, MKL's runtime, other processes."""

from __future__ import annotations

import atexit
import ctypes
import functools
import importlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
import tracemalloc
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
KERNEL_SWITCH = "QUORVEX_MKL_KERNELS"


@dataclass(frozen=True)
class Budget:
    """How long one repeat of a calibrated loop lasts, and how many repeats give the median."""

    seconds: float
    repeats: int
    rounds: int  # of interleaved measurements, for ratios of close timings

    @staticmethod
    def of(quick: bool) -> Budget:
        return Budget(0.004, 5, 3) if quick else Budget(0.025, 11, 5)

    @staticmethod
    def lean(quick: bool) -> Budget:
        """For sections of hundreds of timings, each far apart from what it is compared with."""
        return Budget(0.002, 3, 1) if quick else Budget(0.01, 7, 1)


def seconds(statement: str, names: dict, budget: Budget) -> float:
    """Median seconds of one execution of `statement`, with `names` as the loop's locals.

    The first execution pays one-time costs (MKL loads a kernel at a function's first call).
    A statement that took over a second runs once more, as its measurement; one that took
    longer than a few repeats' budget runs three more times without calibration; anything
    shorter runs in a loop calibrated to `budget.seconds` per repeat, warmed up at its final
    count.
    """
    setup = "\n".join(f"{name} = _names[{name!r}]" for name in names) or "pass"
    timer = timeit.Timer(statement, setup, globals={"_names": names})
    first = timer.timeit(1)
    if first > 1.0:  # one more run, past the one-time costs, is enough for a call this long
        return timer.timeit(1)
    if first > 4 * budget.seconds:
        return statistics.median(timer.repeat(3, 1))
    number = 1
    while (elapsed := timer.timeit(number)) < budget.seconds / 4 and number < 1 << 24:
        number *= 2 if elapsed <= 0 else max(2, min(64, int(budget.seconds / elapsed)))
    number = max(1, round(budget.seconds * number / elapsed))
    timer.timeit(number)
    return statistics.median(timer.repeat(budget.repeats, number)) / number


def call_ms(function, arguments: tuple, budget: Budget) -> float:
    """`seconds` of `function(*arguments)`, in ms."""
    return seconds("f(*a)", {"f": function, "a": arguments}, budget) * 1e3


def interleaved(cases: dict, budget: Budget, pick=statistics.median, unit=1.0) -> dict:
    """`seconds` of each (statement, names) case in each round, the cases taking turns, so a
    drift of the machine's speed hits all of them alike; `pick` reduces a case's rounds to
    one figure, in seconds times `unit` (1e3 gives ms)."""
    samples: dict[str, list[float]] = {key: [] for key in cases}
    for _ in range(budget.rounds):
        for key, (statement, names) in cases.items():
            samples[key].append(seconds(statement, names, budget))
    return {key: pick(values) * unit for key, values in samples.items()}


def traced_peak(call, warm: bool = True) -> int:
    """The most bytes tracemalloc saw held at once while `call()` ran, its result included;
    with `warm`, after a first call that pays one-time allocations (MKL's kernel, caches)."""
    if warm:
        call()
    tracemalloc.start()
    try:
        call()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


# MKL's runtime as the module loaded it.


def lorimath():
    from quorvex.mkl import lorimath

    return lorimath


def mapped_libraries() -> list[str]:
    """Paths of the shared objects mapped into this process, in load order."""
    with open("/proc/self/maps") as maps:
        paths = [fields[5] for line in maps if len(fields := line.split()) >= 6]
    return list(dict.fromkeys(p for p in paths if p.startswith("/") and ".so" in p))


@functools.cache
def mkl_rt() -> ctypes.CDLL:
    """mkl_rt, loaded as the package loads it: through its ufunc module (cffi's would turn a
    free-threaded interpreter's GIL on)."""
    from quorvex.mkl._mkl_rt import loaded_mkl_rt

    loaded_mkl_rt()
    return ctypes.CDLL(next(p for p in mapped_libraries() if "libmkl_rt.so" in p))


def set_mkl_threads(count: int) -> None:
    """MKL's thread count; after a parallel run, a pause lets MKL's OpenMP workers stop
    spinning, so that they do not steal the next single-threaded measurement's core."""
    if mkl_rt().MKL_Get_Max_Threads() > 1:
        time.sleep(0.3)
    mkl_rt().MKL_Set_Num_Threads(count)


def kernel_library() -> str:
    """The VML kernel library MKL dispatches to in this process (chosen at its first VML call,
    which the package makes without cffi, whose backend may turn the GIL on)."""
    from quorvex.mkl._kernels import loaded_kernel

    loaded_kernel()
    names = [Path(p).name for p in mapped_libraries() if Path(p).name.startswith("libmkl_vml_")]
    return ", ".join(names) or "none"


def cpu_vendor() -> str:
    with open("/proc/cpuinfo") as cpuinfo:
        return next((line.split(":")[1].strip() for line in cpuinfo if "vendor_id" in line), "?")


def usable_cpus() -> int:
    return len(os.sched_getaffinity(0))


def fastest_kernels() -> dict[str, str]:
    """The environment that gives MKL's fastest kernels: on AMD, the kernel switch."""
    return {KERNEL_SWITCH: "cpu"} if cpu_vendor() == "AuthenticAMD" else {}


def elsewhere(
    environment: dict[str, str], module: str, function: str, python=sys.executable, **arguments
):
    """`benchmarks.<module>.<function>(**arguments)` in a fresh interpreter (`python`) with
    `environment` added; returns what it returned, through JSON."""
    code = (
        "import json, sys\n"
        f"from benchmarks.{module} import {function} as run\n"
        "json.dump(run(**json.loads(sys.argv[1])), sys.stdout)\n"
    )
    command, env = [python, "-c", code, json.dumps(arguments)], os.environ | environment
    done = subprocess.run(command, cwd=ROOT, env=env, capture_output=True, text=True, check=False)
    if done.returncode:
        raise RuntimeError(f"{module}.{function} failed in its own process:\n{done.stderr}")
    return json.loads(done.stdout)


def on_fastest_kernels(module: str, function: str, **arguments):
    """Runs the function here, or where the kernel switch is needed, in a process that sets it."""
    if environment := fastest_kernels():
        return elsewhere(environment, module, function, **arguments)
    return getattr(importlib.import_module(f"benchmarks.{module}"), function)(**arguments)


# The C reference: reference.c, built once per process against the same libmkl_rt.


@functools.cache
def _c_program() -> Path | None:
    compiler = shutil.which(os.environ.get("CC", "cc")) or shutil.which("gcc")
    if compiler is None:
        return None
    library = Path(mkl_rt()._name)
    directory = Path(tempfile.mkdtemp(prefix="quorvex-bench-"))
    atexit.register(shutil.rmtree, directory, ignore_errors=True)
    program = directory / "reference"
    # The C side runs the kernels this process runs: where the CPU's features chose them on
    # AMD, it answers MKL's vendor query itself, as the package's own object does.
    amd_on_features = cpu_vendor() == "AuthenticAMD" and "vml_def" not in kernel_library()
    choice = ["-DCPU_KERNELS", "-rdynamic"] if amd_on_features else []
    build = [compiler, "-O3", "-pthread", *choice, str(Path(__file__).with_name("reference.c"))]
    build += ["-o", str(program), str(library), f"-Wl,-rpath,{library.parent}", "-lm"]
    return program if subprocess.run(build, check=False).returncode == 0 else None


def c_reference(*arguments: object) -> dict[str, float | str] | None:
    """reference.c's "key value" lines for one of its experiments; None without a C compiler.
    MKL runs on one thread per calling thread."""
    program = _c_program()
    if program is None:
        return None
    command, env = [str(program), *map(str, arguments)], dict(os.environ, MKL_NUM_THREADS="1")
    output = subprocess.run(command, capture_output=True, text=True, env=env, check=True).stdout
    pairs = (line.rsplit(" ", 1) for line in output.splitlines())
    return {key: value if key == "kernels" else float(value) for key, value in pairs}
