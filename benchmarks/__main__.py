"""`python -m benchmarks`: measures the module against its alternatives and writes the results.

Writes results.md, results.json and PNG plots into benchmarks/results/ (with
--quick, a shorter run, into build/benchmarks-quick/ unless --output says otherwise).
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path

from . import ROOT, output_directory

SECTIONS = (
    "per-call",
    "instructions",
    "throughput",
    "modes",
    "threads",
    "scratch",
    "ufuncs",
    "compare",
    "nan-scan",
    "startup",
)


def _arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="python -m benchmarks", description=__doc__)
    parser.add_argument("--quick", action="store_true", help="a run of under a minute")
    parser.add_argument("--output", type=Path, help="directory for the results")
    parser.add_argument(
        "--rewrite",
        action="store_true",
        help="measure nothing: rewrite results.md and the plots from results.json",
    )
    parser.add_argument(
        "--only",
        nargs="+",
        choices=SECTIONS,
        default=SECTIONS,
        metavar="SECTION",
        help=f"run only these sections: {', '.join(SECTIONS)}",
    )
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    options = _arguments(argv)
    quick = options.quick
    output = output_directory(options.output, quick)

    from . import (
        calls,
        compare,
        instructions,
        machine,
        modes,
        nan_scan,
        runtime,
        startup,
        threads,
        throughput,
        ufuncs,
    )
    from .timing import BackgroundLoad, Budget

    if options.rewrite:
        results = json.loads((output / "results.json").read_text())
        _write(results, output)
        return 0

    started = time.perf_counter()
    budget = Budget.for_mode(quick)
    results: dict = {"mode": "quick" if quick else "full", "machine": machine.describe(ROOT)}
    runtime.set_mkl_threads(1)
    reference = runtime.c_reference(200_000 if quick else 1_000_000)
    results["reference"] = {
        f"{name}/{size}": value for (name, size), value in (reference or {}).items()
    }
    background: dict[str, float | None] = {}
    results["background_cpus"] = background

    def section(name: str, run) -> None:
        if name not in options.only:
            return
        print(f"{name} …", end=" ", file=sys.stderr, flush=True)
        begun = time.perf_counter()
        with BackgroundLoad() as load:
            run()
        background[name] = load.cpus
        print(f"{time.perf_counter() - begun:.1f} s", file=sys.stderr)

    def per_call() -> None:
        results["per_call"] = calls.per_call(budget, reference)
        results["floor"] = calls.call_floor(budget, reference)

    def measure_throughput() -> None:
        sizes = throughput.QUICK_SIZES if quick else throughput.FULL_SIZES
        results["throughput"] = throughput.measure(sizes, Budget(budget.seconds_per_repeat, 7))

    def measure_threads() -> None:
        n = threads.call_size()
        calls_per_thread = (2**24 if quick else 2**26) // n
        results["threads"] = threads.measure(n, calls_per_thread, 5 if quick else 21)

    section("per-call", per_call)
    section("instructions", lambda: results.update(instructions=instructions.measure(ROOT, quick)))
    section("throughput", measure_throughput)
    section("modes", lambda: results.update(modes=modes.measure(10**6, budget)))
    section("threads", measure_threads)
    section(
        "scratch",
        lambda: results.update(scratch=calls.scratch_path(budget, (10**3, 10**6))),
    )
    rounds = 3 if quick else 5  # of interleaved measurements, for ratios of close timings
    section("ufuncs", lambda: results.update(ufuncs=ufuncs.measure(budget, rounds)))

    def measure_comparison() -> None:
        # dozens of operations, each at every size in three configurations: a leaner budget
        sizes = compare.QUICK_SIZES if quick else compare.FULL_SIZES
        compare_budget = Budget(0.002, 3) if quick else Budget(0.01, 7)
        results["compare"] = compare.measure(sizes, compare_budget)

    section("compare", measure_comparison)
    section("nan-scan", lambda: results.update(nan_scan=nan_scan.measure(budget, rounds)))
    section("startup", lambda: results.update(startup=startup.measure(5 if quick else 21)))

    results["duration_seconds"] = time.perf_counter() - started
    _write(json.loads(json.dumps(results)), output)  # the report reads what the JSON file holds
    return 0


def _write(results: dict, output: Path) -> None:
    """Judges the targets, then writes results.json, the plots and results.md."""
    from . import plots, report

    results["targets"] = report.evaluate_targets(results)
    (output / "results.json").write_text(json.dumps(results, indent=1) + "\n")
    drawn = plots.draw(results, output)
    (output / "results.md").write_text(report.markdown(results, drawn))
    for target in results["targets"]:
        verdict = {None: "not measured", True: "met", False: "MISSED"}[target["met"]]
        if target.get("fault"):
            verdict = "FAULT"
        value = target["measured"]
        measured = "-" if value is None else f"{value:,.0f}" if value >= 1000 else f"{value:.3g}"
        print(
            f"{verdict:>12}  {measured:>8}{target['unit']}  {target['required']:>9}  "
            f"{target['target']}"
        )
    for line in report.console_summary(results):
        print(line)
    print(f"results in {output} ({results['duration_seconds']:.0f} s)")


if __name__ == "__main__":
    sys.exit(main())
