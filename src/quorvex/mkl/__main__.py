"""``python -m quorvex.mkl``: versions, VML's mode, and a self-check of a dozen functions."""

from __future__ import annotations

import argparse
import json
import sys
import time
from collections.abc import Callable
from dataclasses import asdict, dataclass
from functools import partial
from typing import IO, Any

DESCRIPTION = """\
Prints the versions of quorvex.mkl and MKL and the calling thread's VML mode, then
checks a dozen representative VML functions against NumPy on a large array: the
largest difference from NumPy's result, in units in the last place (ulp) of the
result, and how many times faster than NumPy MKL computes it. Exits with status 1
if a function differs from NumPy by more than its tolerance."""

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
    max_error_ulp: float
    tolerance_ulp: float
    vml_seconds: float
    numpy_seconds: float
    ok: bool

    @property
    def speedup(self) -> float:
        return self.numpy_seconds / self.vml_seconds if self.vml_seconds else float("inf")


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


def self_check(size: int, repeats: int) -> list[Check]:
    import numpy as np

    from quorvex.mkl import vml

    rng = np.random.default_rng(2026)
    table = cases(np, vml)
    progress = Progress(len(table))
    checks = []
    try:
        for name, dtype, vml_function, numpy_function, span in table:
            arity = 2 if name in ("pow", "atan2") else 1
            args = operands(np, rng, dtype, span, count=arity, n=size)
            result, reference = vml_function(*args), numpy_function(*args)
            error = ulp_error(np, result, reference)
            out_vml, out_numpy = np.empty_like(result), np.empty_like(reference)
            vml_seconds = best_time(partial(vml_function, *args, out=out_vml), repeats)
            numpy_seconds = best_time(partial(numpy_function, *args, out=out_numpy), repeats)
            # MKL's HA functions are within 1 ulp of the exact result, NumPy's within a few
            # (its float32 SIMD loops a little more).
            tolerance = 8.0 if dtype == "float32" else 4.0
            checks.append(
                Check(name, dtype, error, tolerance, vml_seconds, numpy_seconds, error <= tolerance)
            )
            progress.advance(f"{name} {dtype}")
    finally:
        progress.close()
    return checks


def header() -> dict[str, Any]:
    from quorvex.mkl import __version__, lib, mkl_version, vml

    from ._runtime import mkl_max_threads

    mode = vml.get_mode()
    return {
        "quorvex.mkl": __version__,
        "mkl": mkl_version(),
        "vml_mode": mode,
        "vml_mode_names": vml.describe_mode(mode),
        "mkl_max_threads": mkl_max_threads(),
        "lib_functions": len(dir(lib)),
    }


def print_report(info: dict[str, Any], checks: list[Check], size: int) -> None:
    print(f"quorvex.mkl  {info['quorvex.mkl']}")
    print(f"MKL          {info['mkl']}")
    print(f"VML mode     {info['vml_mode']:#010x} = {info['vml_mode_names']}")
    print(f"MKL threads  {info['mkl_max_threads']}")
    print(f"lib          {info['lib_functions']} functions")
    print()
    print(f"Self-check against NumPy on {size:,} elements (error in units in the last place;")
    print("speed-up = NumPy's time / vml's time, above 1 where MKL is faster):")
    print()
    print(f"  {'vml':<8}{'dtype':<12}{'max error':>12}{'vml time':>12}{'NumPy time':>13}"
          f"{'speed-up':>11}")  # fmt: skip
    for c in checks:
        flag = "" if c.ok else f"   FAILED (tolerance {c.tolerance_ulp:g} ulp)"
        print(
            f"  {c.function:<8}{c.dtype:<12}{c.max_error_ulp:>8.2f} ulp"
            f"{c.vml_seconds * 1e3:>9.2f} ms{c.numpy_seconds * 1e3:>10.2f} ms"
            f"{c.speedup:>10.2f}x{flag}"
        )
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
    checks = self_check(size, repeats)
    if args.json:
        report = {
            **info,
            "size": size,
            "checks": [{**asdict(c), "speedup": c.speedup} for c in checks],
            "ok": all(c.ok for c in checks),
        }
        print(json.dumps(report, indent=2))
    else:
        print_report(info, checks, size)
    return 0 if all(c.ok for c in checks) else 1


if __name__ == "__main__":
    sys.exit(main())
