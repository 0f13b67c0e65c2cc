"""The report: a machine table, a targets table, then each section's tables and plots."""

from __future__ import annotations

import operator
from pathlib import Path
from statistics import median

# A speed-up beyond what the threads and CPUs allow, by more than timing noise, is a fault of
# the measurement, not a result.
TOLERANCE = 1.05
RELATIONS = {"≤": operator.le, "≥": operator.ge, "<": operator.lt, ">": operator.gt}
VERDICTS = {None: "not measured", "n/a": "does not apply", True: "met", False: "**missed**"}


def target(name: str, required: str, measured, met, context: str = "", *, fault="") -> dict:
    """A targets-table row; `met` None means not measured, "n/a" that it does not apply here."""
    return dict(
        target=name, required=required, measured=measured, met=met, context=context, fault=fault
    )


def bound(name: str, relation: str, limit: float, measured, context="", *, unit="", fault=""):
    """A row met where `measured` stands in `relation` ("≤", "≥", "<", ">") to `limit`."""
    met = None if measured is None else RELATIONS[relation](measured, limit)
    return target(name, f"{relation} {limit:g}{unit}", measured, met, context, fault=fault)


def at_most(name: str, limit: float, measured, context: str = "") -> dict:
    return bound(name, "≤", limit, measured, context)


def at_least(name: str, limit: float, measured, context: str = "", *, fault: str = "") -> dict:
    return bound(name, "≥", limit, measured, context, fault=fault)


def relative(name: str, limit: float, ours, theirs, unit: str, *, case: str = "") -> dict:
    """An `at_most` row for `ours` ÷ `theirs`, both in `unit` ("ns", "µs" or "ms"), the context
    naming both, after the `case` they were timed on."""
    measured, digits = ratio(ours, theirs), {"ns": 0, "µs": 1, "ms": 3}[unit]
    both = f"{ours:.{digits}f} {unit} against {theirs:.{digits}f} {unit}" if measured else ""
    return at_most(name, limit, measured, f"{case}: {both}" if case else both)


def worst(ratios: dict, lowest: bool = False) -> tuple:
    """The worst of `ratios` (case -> ratio, None where not measured), the highest unless
    `lowest`, and its case; (None, "") where none was measured."""
    measured = {case: value for case, value in ratios.items() if value is not None}
    case = (min if lowest else max)(measured, key=measured.get, default="")
    return measured.get(case), case


def impossible(speedup: float | None, threads: int, results: dict) -> str:
    """Why `speedup` of `threads` threads over one cannot be, or "" where it can."""
    cpus = results["cpus"]
    if speedup is None or speedup <= min(threads, cpus) * TOLERANCE:
        return ""
    return f"impossible: {speedup:.2f}x is more than {threads} threads on {cpus} CPUs allow"


def speedup(reference, one, many, threads: int, results: dict):
    """`reference` ÷ `many`, a time on `threads` threads, or "impossible" where `one`, the time
    on one thread, ÷ `many` is more than the threads and CPUs allow."""
    fault = impossible(ratio(one, many), threads, results)
    return "impossible" if fault else ratio(reference, many)


def scaling(name: str, limit: float, rounds: list, context: str, *, results: dict) -> dict:
    """A speed-up of two threads over one from rounds of (ours, C's on the same work or None),
    met at `limit` or at 0.9 x C's round by round (medians); `context` says how C did it."""
    rounds = [(ours, c) for ours, c in rounds if ours is not None]
    speedup = median([ours for ours, _ in rounds]) if rounds else None
    versus = median([ours / c for ours, c in rounds if c] or [0])
    met = None if speedup is None else speedup >= limit or versus >= 0.9
    c = versus and median([c for _, c in rounds if c])
    context = f"{context}: {c:.2f}x" + f", ours ÷ C's {versus:.2f}" * (len(rounds) > 1) if c else ""
    fault = impossible(speedup, 2, results)
    return target(name, f"≥ {limit:g}, or ≥ 0.9 x C's", speedup, met, context, fault=fault)


def ratio(numerator, denominator) -> float | None:
    ok = isinstance(numerator, (int, float)) and isinstance(denominator, (int, float))
    return numerator / denominator if ok and denominator else None


def number(value, digits: int = 3) -> str:
    """A figure as a table shows it: `digits` significant digits, thousands separated."""
    if value is None:
        return "-"
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return str(value)
    if value == 0 or isinstance(value, int) or abs(value) >= 10 ** (digits - 1):
        return f"{value:,.0f}"
    return f"{value:#.{digits}g}" if abs(value) >= 1e-3 else f"{value:.1e}"


def size(n: int) -> str:
    return f"10^{len(str(n)) - 1}" if n >= 1000 and str(n).strip("0") == "1" else f"{n:,}"


def verdict(row: dict) -> str:
    return f"**{row['fault']}**" if row["fault"] else VERDICTS[row["met"]]


def _table(header: list, rows: list[list]) -> list[str]:
    lines = ["| " + " | ".join(map(str, header)) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(number(cell) for cell in row) + " |" for row in rows]
    return [*lines, ""]


def pyplot():
    """matplotlib's pyplot on a file backend, or None without matplotlib."""
    try:
        import matplotlib
    except ImportError:
        return None
    matplotlib.use("Agg")
    import matplotlib.pyplot

    return matplotlib.pyplot


def save(plt, figure, path: Path, title: str) -> str:
    figure.suptitle(title)
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)
    return path.name


def markdown(results: dict, sections: list, targets: list[dict], plots: dict) -> str:
    quick = " --quick" if results["mode"] == "quick" else ""
    run = f"`python -m benchmarks{quick}`, {results['seconds']:.0f} s"
    judged = [
        [t["target"], t["required"], t["measured"], verdict(t), t["context"]] for t in targets
    ]
    lines = [
        "# Benchmark results",
        "",
        "## Machine",
        "",
        *_table(["", ""], [["run", run], *results["machine"].items()]),
        "## Targets",
        "",
        *_table(["target", "required", "measured", "verdict", "context"], judged),
    ]
    for index, section in enumerate(sections, 1):
        data = results[section.NAME]
        lines += [f"## {index}. {section.TITLE}", "", section.ABOUT.format(**data), ""]
        for header, rows in section.tables(data, results):
            lines += _table(header, rows)
        lines += [f"![{name}]({name})" for name in plots.get(section.NAME, [])]
        lines += [""] if plots.get(section.NAME) else []
    return "\n".join(lines)
