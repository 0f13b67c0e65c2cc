"""`python -m benchmarks`: measures the package against what a user would pick instead.

Writes results.md, results.json and PNG plots into benchmarks/results/ (with --quick, a
shorter run, into build/benchmarks-quick/ unless --output says otherwise).
"""

from __future__ import annotations

import argparse
import importlib
import json
import sys
import time
from pathlib import Path

from . import harness, machine, report

# In report order; each is a module with NAME, TITLE, ABOUT, measure(quick), tables(data,
# results), targets(data, results) and, where it draws any, plots(data, results, plt, directory).
ORDER = """calls instructions throughput threads ufuncs compare reductions blackscholes expressions
fused startup dask_scaling"""
SECTIONS = tuple(importlib.import_module(f"benchmarks.{module}") for module in ORDER.split())
NAMES = tuple(section.NAME for section in SECTIONS)


def _arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="python -m benchmarks", description=__doc__)
    parser.add_argument("--quick", action="store_true", help="a run of under two minutes")
    parser.add_argument("--output", type=Path, help="directory for the results")
    parser.add_argument(
        "--only",
        nargs="+",
        choices=NAMES,
        default=NAMES,
        metavar="SECTION",
        help=f"run only these sections: {', '.join(NAMES)}",
    )
    parser.add_argument(
        "--rewrite",
        action="store_true",
        help="measure nothing: rewrite the report and plots from the JSON file",
    )
    return parser.parse_args(argv)


def main(argv: list[str] | None = None, stem: str = "results") -> int:
    options = _arguments(argv)
    where = "build/benchmarks-quick" if options.quick else "benchmarks/results"
    output = options.output or harness.ROOT / where
    output.mkdir(parents=True, exist_ok=True)
    if options.rewrite:
        write(json.loads((output / f"{stem}.json").read_text()), output, stem)
        return 0
    started = time.perf_counter()
    results: dict = {"mode": "quick" if options.quick else "full", "cpus": harness.usable_cpus()}
    results["machine"] = machine.describe()
    harness.set_mkl_threads(1)
    for section in SECTIONS:
        if section.NAME in options.only:
            print(f"{section.NAME} …", end=" ", file=sys.stderr, flush=True)
            begun = time.perf_counter()
            results[section.NAME] = section.measure(options.quick)
            harness.set_mkl_threads(1)
            print(f"{time.perf_counter() - begun:.1f} s", file=sys.stderr)
    results["seconds"] = time.perf_counter() - started
    write(json.loads(json.dumps(results)), output, stem)  # the report reads what the file holds
    return 0


def write(results: dict, output: Path, stem: str) -> None:
    """Judges the targets, then writes the JSON file, the plots and the Markdown report."""
    sections = [section for section in SECTIONS if section.NAME in results]
    targets = [row for s in sections for row in s.targets(results[s.NAME], results)]
    (output / f"{stem}.json").write_text(json.dumps(results, indent=1) + "\n")
    plt = report.pyplot()
    plots = {
        s.NAME: s.plots(results[s.NAME], results, plt, output)
        for s in sections
        if plt and hasattr(s, "plots")
    }
    (output / f"{stem}.md").write_text(report.markdown(results, sections, targets, plots))
    for row in targets:
        print(
            f"{report.verdict(row):>24}  {report.number(row['measured']):>9}  "
            f"{row['required']:>10}  {row['target']}"
        )
    print(f"results in {output / stem}.md ({results['seconds']:.0f} s)")


if __name__ == "__main__":
    sys.exit(main())
