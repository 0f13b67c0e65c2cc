"""``python -m quorvex.mkl``: versions, VML's mode, and a self-check of a dozen functions."""

from __future__ import annotations

import argparse
import ctypes
import json
import os
import sys
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import asdict, dataclass
from functools import partial
from typing import IO, Any

DESCRIPTION = """\
Prints the versions of quorvex.mkl and MKL, the calling thread's VML mode, the VML
kernel library MKL loaded and what chose it (where MKL's vendor check chose its generic
kernels, also exp's speed with the kernels QUORVEX_MKL_KERNELS=cpu gives), then checks
a dozen representative VML functions against NumPy on a large array: the largest
difference from NumPy's result, in units in the last place (ulp) of NumPy's result; how
many times faster than NumPy MKL computes it on one thread (NumPy computes on one); and
vml's time on all the threads MKL may use.
Exits with status 1 if a function differs from NumPy by more than its tolerance."""

FULL_SIZE, QUICK_SIZE = 1_000_000, 100_000


class Progress:
    """A one-line progress bar on a terminal, shown only once the work has taken a second."""

    def __init__(
        self,
        total: int,
        stream: IO[str] | None = None,
        delay: float = 1.0,
        clock: Callable[[], float] = time.monotonic,
        width: int = 30,
    ) -> None:
        self.total, self.done, self.width = total, 0, width
        self.stream = sys.stderr if stream is None else stream
        self.enabled = self.stream.isatty()
        self.clock, self.start, self.delay = clock, clock(), delay
        self.shown = False

    def advance(self, label: str) -> None:
        self.done += 1
        if not self.enabled or self.clock() - self.start < self.delay:
            return
        filled = self.width * self.done // self.total
        bar = "#" * filled + "-" * (self.width - filled)
        self.stream.write(f"\r[{bar}] {self.done}/{self.total} {label:<24}")
        self.stream.flush()
        self.shown = True

    def close(self) -> None:
        if self.shown:  # wipe the bar so that the report starts on a clean line
            self.stream.write("\r" + " " * (self.width + 36) + "\r")
            self.stream.flush()


@dataclass
class Check:
    function: str
    dtype: str
    max_error_ulp: float  # against NumPy's result
    tolerance_ulp: float
    vml_one_thread_seconds: float
    numpy_seconds: float
    ok: bool
    vml_threaded_seconds: float | None = None  # on all of MKL's threads; None with only one

    @property
    def speedup(self) -> float:
        """NumPy's time over vml's on one MKL thread: both sides compute on one core."""
        return _ratio(self.numpy_seconds, self.vml_one_thread_seconds)

    @property
    def threaded_speedup(self) -> float | None:
        if self.vml_threaded_seconds is None:
            return None
        return _ratio(self.numpy_seconds, self.vml_threaded_seconds)


def _ratio(numerator: float, denominator: float) -> float:
    return numerator / denominator if denominator else float("inf")


def cases(np: Any, vml: Any) -> list[tuple[str, str, Callable[..., Any], Callable[..., Any], Any]]:
    """(name, dtype, vml function, NumPy function, (low, high) of the inputs)."""
    return [
        ("exp", "float64", vml.exp, np.exp, (-50.0, 50.0)),
        ("exp", "float32", vml.exp, np.exp, (-20.0, 20.0)),
        ("ln", "float64", vml.ln, np.log, (1e-3, 1e3)),
        ("sin", "float64", vml.sin, np.sin, (-100.0, 100.0)),
        ("cos", "float32", vml.cos, np.cos, (-10.0, 10.0)),
        ("tanh", "float64", vml.tanh, np.tanh, (-5.0, 5.0)),
        ("sqrt", "float64", vml.sqrt, np.sqrt, (0.0, 1e6)),
        ("expm1", "float64", vml.expm1, np.expm1, (-1.0, 1.0)),
        ("pow", "float64", vml.pow, np.power, (0.1, 10.0)),
        ("atan2", "float32", vml.atan2, np.arctan2, (-1.0, 1.0)),
        ("exp", "complex128", vml.exp, np.exp, (-5.0, 5.0)),
        ("abs", "complex128", vml.abs, np.abs, (-1e3, 1e3)),
    ]


def operands(
    np: Any, rng: Any, dtype: str, span: tuple[float, float], *, count: int, n: int
) -> list[Any]:
    def one() -> Any:
        values = rng.uniform(*span, n)
        if dtype.startswith("complex"):
            values = values + 1j * rng.uniform(*span, n)
        return values.astype(dtype)

    return [one() for _ in range(count)]


def best_time(function: Callable[[], Any], repeats: int) -> float:
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        best = min(best, time.perf_counter() - start)
    return best


def ulp_error(np: Any, result: Any, reference: Any) -> float:
    """The largest difference in units in the last place of the reference's magnitude."""
    magnitude = np.abs(reference)
    spacing = np.spacing(magnitude.astype(magnitude.dtype))
    tiny = np.finfo(magnitude.dtype).tiny
    return float(np.max(np.abs(result - reference) / np.maximum(spacing, tiny)))


@contextmanager
def one_mkl_thread() -> Iterator[None]:
    """MKL on one thread in the calling thread only, restoring the thread's setting after.

    The thread-local setting leaves the process-wide one (MKL_NUM_THREADS,
    MKL_Set_Num_Threads) alone; 0 means "no local setting".
    """
    from ._mkl_rt import mkl_function

    set_local = mkl_function("MKL_Set_Num_Threads_Local", ctypes.c_int, ctypes.c_int)
    previous = set_local(1)
    try:
        yield
    finally:
        set_local(previous)


def vml_kernel_libraries() -> list[str]:
    """The CPU-specific VML kernel libraries MKL has loaded, as the process's memory map shows.

    MKL loads them at the first VML call, which kernels() makes if none was made yet."""
    from quorvex.mkl import kernels

    from ._kernels import mapped_vml_libraries

    kernels()
    return mapped_vml_libraries()


SWITCH_TO_CPU_KERNELS = {"QUORVEX_MKL_KERNELS": "cpu"}
EXP_SIZE = 1_000_000
MEASURE_EXP = """
import json
from quorvex.mkl import kernels
from quorvex.mkl.__main__ import exp_seconds
seconds = exp_seconds()
chosen = kernels()
print(json.dumps({"library": chosen.library, "switched": chosen.switched, "seconds": seconds}))
"""


def exp_seconds(repeats: int = 7) -> float:
    """vml.exp on 10^6 float64 elements with MKL on one thread: the best of `repeats` runs."""
    import numpy as np

    from quorvex.mkl import vml

    x = np.random.default_rng(2026).uniform(-50.0, 50.0, EXP_SIZE)
    y = np.empty_like(x)
    with one_mkl_thread():
        vml.exp(x, out=y)
        return best_time(partial(vml.exp, x, out=y), repeats)


def cpu_kernels_exp() -> dict[str, Any] | None:
    """Where a non-Intel CPU runs MKL's generic kernels: exp's time with the kernels its
    instruction sets choose, measured in a new process under QUORVEX_MKL_KERNELS=cpu,
    against this process's. None where the CPU's instruction sets choose already."""
    from quorvex.mkl import kernels

    if kernels().chosen_by != "vendor check":
        return None
    import subprocess

    setting = " ".join(f"{k}={v}" for k, v in SWITCH_TO_CPU_KERNELS.items())
    measured = subprocess.run(
        [sys.executable, "-c", MEASURE_EXP],
        env={**os.environ, **SWITCH_TO_CPU_KERNELS},
        capture_output=True,
        text=True,
        timeout=300,
        check=False,
    )
    if measured.returncode:
        lines = measured.stderr.strip().splitlines() or [f"status {measured.returncode}"]
        return {"setting": setting, "error": lines[-1]}
    switched = json.loads(measured.stdout)
    current = exp_seconds()
    return {
        "setting": setting,
        "library": switched["library"],
        "switched": switched["switched"],
        "exp_seconds": switched["seconds"],
        "current_exp_seconds": current,
        "speedup": _ratio(current, switched["seconds"]),
    }


def self_check(size: int, repeats: int, threads: int) -> list[Check]:
    """Accuracy and one-thread times for every case first, then the times on `threads`
    threads: MKL's threads may stay busy-waiting for a while after a threaded call, and
    would then share the cores with the NumPy and one-thread runs."""
    import numpy as np

    from quorvex.mkl import vml

    table = cases(np, vml)

    def arguments(index: int) -> list[Any]:
        name, dtype, *_, span = table[index]
        rng = np.random.default_rng([2026, index])  # the same inputs in both passes
        return operands(np, rng, dtype, span, count=2 if name in ("pow", "atan2") else 1, n=size)

    progress = Progress(len(table) * (2 if threads > 1 else 1))
    checks = []
    try:
        with one_mkl_thread():
            for index, (name, dtype, vml_function, numpy_function, _) in enumerate(table):
                args = arguments(index)
                result, reference = vml_function(*args), numpy_function(*args)
                error = ulp_error(np, result, reference)
                # MKL's HA functions are within 1 ulp of the exact result; NumPy's loops may
                # be a few ulp off (its float32 loops a little more).
                tolerance = 8.0 if dtype == "float32" else 4.0
                checks.append(
                    Check(
                        function=name,
                        dtype=dtype,
                        max_error_ulp=error,
                        tolerance_ulp=tolerance,
                        vml_one_thread_seconds=best_time(
                            partial(vml_function, *args, out=result), repeats
                        ),
                        numpy_seconds=best_time(
                            partial(numpy_function, *args, out=reference), repeats
                        ),
                        ok=error <= tolerance,
                    )
                )
                progress.advance(f"{name} {dtype}")
        for index, check in enumerate(checks if threads > 1 else []):
            vml_function, args = table[index][2], arguments(index)
            out = vml_function(*args)  # also the warm-up, which starts MKL's threads
            check.vml_threaded_seconds = best_time(partial(vml_function, *args, out=out), repeats)
            progress.advance(f"{check.function} {check.dtype}, {threads} threads")
    finally:
        progress.close()
    return checks


def gil() -> dict[str, Any]:
    """Whether the interpreter is free-threaded, and whether the GIL is on once vml, evaluate
    and fuse are loaded, and once the cffi modules are (their backend decides for them)."""
    import importlib
    import sysconfig
    import warnings

    import cffi

    enabled = getattr(sys, "_is_gil_enabled", lambda: True)
    state = {
        "free_threaded": bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
        "cffi": cffi.__version__,
    }
    for name in ("vml", "expressions"):  # evaluate's and fuse's
        importlib.import_module(f"quorvex.mkl.{name}")
    state["after_vml"] = enabled()
    with warnings.catch_warnings():  # (a backend that turns the GIL on says so: so does the report)
        warnings.simplefilter("ignore", RuntimeWarning)
        for name in ("lorimath", "full"):
            importlib.import_module(f"quorvex.mkl.{name}")
    state["after_cffi"] = enabled()
    return state


def describe_gil(state: dict[str, Any]) -> str:
    if not state["free_threaded"]:
        return "on: this CPython has one"
    vml = "on" if state["after_vml"] else "off"
    text = f"{vml} with vml, evaluate and fuse loaded (free-threaded CPython)"
    if state["after_cffi"] and not state["after_vml"]:
        text += f"; on once lib and full load: cffi {state['cffi']}'s backend needs it"
    return text


def header() -> dict[str, Any]:
    state = gil()  # before anything else loads
    from quorvex.mkl import __version__, full, kernels, lib, mkl_version, vml

    from ._runtime import mkl_max_threads

    mode = vml.get_mode()
    return {
        "gil": {**state, "description": describe_gil(state)},
        "quorvex.mkl": __version__,
        "mkl": mkl_version(),
        "vml_mode": mode,
        "vml_mode_names": vml.describe_mode(mode),
        "vml_kernels": vml_kernel_libraries(),
        "kernels": {**asdict(kernels()), "description": str(kernels())},
        "mkl_max_threads": mkl_max_threads(),
        "lib_functions": len(dir(lib)),
        "full_functions": len(dir(full.lib)),
        "vml_ufuncs": len(vml.UFUNCS),
    }


def print_report(info: dict[str, Any], checks: list[Check], size: int) -> None:
    threads = info["mkl_max_threads"]
    print(f"quorvex.mkl  {info['quorvex.mkl']}")
    print(f"MKL          {info['mkl']}")
    print(f"VML mode     {info['vml_mode']:#010x} = {info['vml_mode_names']}")
    print(f"VML kernels  {info['kernels']['description']}")
    switch = info.get("cpu_kernels")
    if switch and "error" in switch:
        print(f"             {switch['setting']} could not be measured: {switch['error']}")
    elif switch and not switch["switched"]:
        print(f"             {switch['setting']} left the kernels as they are: {switch['library']}")
    elif switch:
        print(
            f"             {switch['setting']} runs {switch['library']}: exp float64 at "
            f"10^6 on one thread {switch['exp_seconds'] * 1e3:.2f} ms against "
            f"{switch['current_exp_seconds'] * 1e3:.2f} ms, {switch['speedup']:.2f}x"
        )
    print(f"MKL threads  {threads}")
    print(f"GIL          {info['gil']['description']}")
    print(f"lib          {info['lib_functions']} functions (quorvex.mkl.lorimath)")
    print(f"full         {info['full_functions']} functions (quorvex.mkl.full)")
    print(f"vml          {info['vml_ufuncs']} ufuncs")
    print()
    print(f"Self-check against NumPy on {size:,} elements.")
    print("  max error vs NumPy: the largest difference from NumPy's result, in units in")
    print("    the last place (ulp) of NumPy's result.")
    print("  speed-up: NumPy's time / vml's time with MKL on one thread, as NumPy computes")
    print("    on one; above 1 where MKL is faster.")
    threaded = f"vml, {threads} threads"
    if threads > 1:
        print(f"  {threaded}: vml's time with MKL on all the threads it may use.")
    else:
        print("  MKL may use only one thread here, so there are no threaded times.")
    print()
    line = (
        f"  {'vml':<8}{'dtype':<12}{'max error vs NumPy':>20}{'vml, 1 thread':>15}"
        f"{'NumPy':>11}{'speed-up':>10}"
    )
    print(line + (f"{threaded:>18}" if threads > 1 else ""))
    for c in checks:
        line = (
            f"  {c.function:<8}{c.dtype:<12}{c.max_error_ulp:>16.2f} ulp"
            f"{c.vml_one_thread_seconds * 1e3:>12.2f} ms{c.numpy_seconds * 1e3:>8.2f} ms"
            f"{c.speedup:>9.2f}x"
        )
        if c.vml_threaded_seconds is not None:
            line += f"{c.vml_threaded_seconds * 1e3:>15.2f} ms"
        if not c.ok:
            line += f"   FAILED (tolerance {c.tolerance_ulp:g} ulp)"
        print(line)
    failed = [c for c in checks if not c.ok]
    print()
    print(f"{len(failed)} of {len(checks)} checks FAILED." if failed else
          f"All {len(checks)} checks passed.")  # fmt: skip


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quorvex.mkl", description=DESCRIPTION)
    parser.add_argument(
        "--quick",
        action="store_true",
        help=f"check on {QUICK_SIZE:,} elements with fewer timing runs "
        f"instead of {FULL_SIZE:,} (well under a second)",
    )
    parser.add_argument(
        "--json", action="store_true", help="print one JSON object instead of the report"
    )
    args = parser.parse_args(argv)
    try:
        import numpy  # noqa: F401
    except ImportError:
        print(
            "python -m quorvex.mkl needs NumPy: pip install 'quorvex-mkl[numpy]'", file=sys.stderr
        )
        return 2
    size, repeats = (QUICK_SIZE, 3) if args.quick else (FULL_SIZE, 7)
    info = header()
    info["cpu_kernels"] = cpu_kernels_exp()  # before MKL's threads start
    checks = self_check(size, repeats, info["mkl_max_threads"])
    if args.json:
        report = {
            **info,
            "size": size,
            "checks": [
                {**asdict(c), "speedup": c.speedup, "threaded_speedup": c.threaded_speedup}
                for c in checks
            ],
            "ok": all(c.ok for c in checks),
        }
        print(json.dumps(report, indent=2))
    else:
        print_report(info, checks, size)
    return 0 if all(c.ok for c in checks) else 1


if __name__ == "__main__":
    sys.exit(main())
