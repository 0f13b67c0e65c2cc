"""Benchmark suite: this module against what a user would pick instead, measured side by side."""

from __future__ import annotations

from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def output_directory(requested: Path | None, quick: bool) -> Path:
    """Where a run writes: the committed results, or a scratch folder for a --quick run."""
    output = requested or ROOT / ("build/benchmarks-quick" if quick else "benchmarks/results")
    output.mkdir(parents=True, exist_ok=True)
    return output
