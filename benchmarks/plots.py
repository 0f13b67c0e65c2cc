"""PNG plots of the results: per-call cost, time per element and speed ratio versus size, and
vml's speed-up over NumPy and SciPy operation by operation."""

from __future__ import annotations

from pathlib import Path


def _pyplot():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot

    return matplotlib.pyplot


def draw(results: dict, directory: Path) -> list[str]:
    """Writes the plots into `directory` and returns their file names; none without matplotlib."""
    try:
        plt = _pyplot()
    except ImportError:
        return []
    names = []
    if results.get("per_call"):
        names.append(_per_call(plt, results, directory / "per_call.png"))
    if results.get("throughput"):
        names.append(
            _throughput_time(plt, results["throughput"], directory / "throughput_time.png")
        )
        names.append(
            _throughput_ratio(plt, results["throughput"], directory / "throughput_ratio.png")
        )
    if results.get("compare"):
        names.append(_compare(plt, results, directory / "compare.png"))
    return names


def _per_call(plt, results: dict, path: Path) -> str:
    data = results["per_call"]
    bars = [
        (data["labels"][row["competitor"]], row["ns"])
        for row in data["rows"]
        if row["operation"] == "vdAdd" and row["n"] == 8
    ]
    bars += [(row["case"], row["ns"]) for row in results["floor"]["rows"][1:]]
    bars.sort(key=lambda bar: bar[1])
    labels = [label.replace("`", "") for label, _ in bars]
    figure, axes = plt.subplots(figsize=(9, 0.38 * len(bars) + 1.2))
    colours = ["tab:blue" if label.startswith("quorvex") else "tab:gray" for label in labels]
    axes.barh(labels, [ns for _, ns in bars], color=colours)
    for index, (_, ns) in enumerate(bars):
        axes.text(ns, index, f" {ns:.0f}", va="center", fontsize=8)
    axes.set_xlabel("ns per call (vdAdd with n = 8, or the call named)")
    axes.set_title("Per-call cost, one process, medians")
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)
    return path.name


def _grid(plt, count: int):
    columns = 4
    rows = (count + columns - 1) // columns
    figure, axes = plt.subplots(rows, columns, figsize=(16, 3.6 * rows), squeeze=False)
    return figure, axes.ravel()


def _series(data: dict, name: str, config: str) -> tuple[list[int], list[float]]:
    seconds = data["seconds"][name][config]
    sizes = sorted(int(n) for n in seconds)
    return sizes, [seconds[str(n)] for n in sizes]


def _mark_crossover(axes, data: dict, name: str) -> None:
    crossover = data["crossover"][name]["mkl_1_thread"]
    if crossover:
        axes.axvline(crossover, color="tab:green", linestyle=":", linewidth=1)
        axes.annotate(
            f"overtakes NumPy\nfrom n={crossover:,}",
            (crossover, 0.97),
            xycoords=("data", "axes fraction"),
            fontsize=7,
            va="top",
            color="tab:green",
        )


def _finish_panel(axes, data: dict, name: str, title: str, ylabel: str) -> None:
    _mark_crossover(axes, data, name)
    axes.set_title(title)
    axes.set_xlabel("n")
    axes.set_ylabel(ylabel)
    axes.grid(True, which="major", alpha=0.3)
    axes.legend(fontsize=7)


def _save_grid(plt, figure, grid, used: int, path: Path, *, title: str) -> str:
    for axes in grid[used:]:
        axes.set_visible(False)
    figure.suptitle(title)
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)
    return path.name


def _throughput_time(plt, data: dict, path: Path) -> str:
    names = list(data["seconds"])
    figure, grid = _grid(plt, len(names))
    for axes, name in zip(grid, names, strict=False):
        for config, label, style in (
            ("numpy", data["numpy_equivalent"][name], "tab:gray"),
            ("mkl_1_thread", "quorvex, MKL 1 thread", "tab:blue"),
            ("mkl_all_cores", f"quorvex, MKL {data['all_cores']} threads", "tab:orange"),
        ):
            sizes, seconds = _series(data, name, config)
            axes.loglog(
                sizes,
                [s * 1e9 / n for s, n in zip(seconds, sizes, strict=True)],
                "o-",
                ms=3,
                color=style,
                label=label,
            )
        _finish_panel(axes, data, name, f"{name} ({data['dtype'][name]})", "ns per element")
    title = "Time per element versus array size (lower is better)"
    return _save_grid(plt, figure, grid, len(names), path, title=title)


def _throughput_ratio(plt, data: dict, path: Path) -> str:
    names = list(data["seconds"])
    figure, grid = _grid(plt, len(names))
    for axes, name in zip(grid, names, strict=False):
        sizes, numpy_seconds = _series(data, name, "numpy")
        for config, label, style in (
            ("mkl_1_thread", "MKL 1 thread", "tab:blue"),
            ("mkl_all_cores", f"MKL {data['all_cores']} threads", "tab:orange"),
        ):
            _, seconds = _series(data, name, config)
            ratios = [
                reference / own for reference, own in zip(numpy_seconds, seconds, strict=True)
            ]
            axes.loglog(sizes, ratios, "o-", ms=3, color=style, label=label)
        axes.axhline(1.0, color="black", linewidth=0.8)
        title = f"{name} against {data['numpy_equivalent'][name]}"
        _finish_panel(axes, data, name, title, "speed relative to NumPy")
    title = "Speed relative to NumPy (NumPy's time ÷ the module's time; above 1 is faster)"
    return _save_grid(plt, figure, grid, len(names), path, title=title)


# Plain numbers on the log axis: 0.01, 0.02, 0.05, ... 500.
SPEEDUP_TICKS = [m * 10.0**e for e in range(-2, 3) for m in (1, 2, 5)]


def _compare(plt, results: dict, path: Path) -> str:
    """One row per operation, a dot per size, one panel per MKL thread count; log speed-up."""
    from matplotlib import ticker

    from .report import compare_speedups

    data = results["compare"]
    sizes = [str(n) for n in data["sizes"]]
    cells = compare_speedups(results)["rows"]
    # Best at the top: barh-style rows count upwards.
    order = sorted(range(len(cells)), key=lambda i: cells[i]["mkl_1_thread", sizes[-1]])
    labels = [
        f"{data['rows'][i]['operation']}  vs "
        + data["rows"][i]["reference"].replace("scipy.special.", "scipy.")
        for i in order
    ]
    configs = (
        ("mkl_1_thread", "one MKL thread"),
        ("mkl_all_threads", f"{data['all_threads']} MKL threads"),
    )
    styles = list(zip(("tab:cyan", "tab:blue", "tab:purple"), ("o", "s", "D"), strict=True))
    figure, panels = plt.subplots(
        1, len(configs), sharey=True, figsize=(13, 0.22 * len(order) + 1.6), squeeze=False
    )
    for axes, (config, title) in zip(panels[0], configs, strict=True):
        for n, (colour, marker) in zip(sizes, styles[-len(sizes) :], strict=True):
            points = [
                (cells[i][config, n], row)
                for row, i in enumerate(order)
                if cells[i][config, n] is not None
            ]
            axes.scatter(
                [value for value, _ in points],
                [row for _, row in points],
                s=18,
                color=colour,
                marker=marker,
                label=f"n = {int(n):.0e}".replace("e+0", "e"),
                zorder=3,
            )
        axes.axvline(1.0, color="black", linewidth=0.8)
        axes.set_xscale("log")
        axes.xaxis.set_major_locator(ticker.FixedLocator(SPEEDUP_TICKS))
        axes.xaxis.set_major_formatter(ticker.FuncFormatter(lambda value, _: f"{value:g}"))
        axes.xaxis.set_minor_formatter(ticker.NullFormatter())
        axes.set_title(title)
        axes.set_xlabel("speed-up: the reference's time ÷ vml's (log scale; above 1 vml is faster)")
        axes.grid(True, axis="x", which="both", alpha=0.3)
        axes.grid(True, axis="y", alpha=0.15)
        axes.legend(fontsize=8, loc="lower right")
    first = panels[0][0]
    first.set_yticks(range(len(labels)))
    first.set_yticklabels(labels, fontsize=7)
    first.set_ylim(-0.7, len(labels) - 0.3)
    figure.suptitle("vml against NumPy and SciPy, float64, operation by operation")
    figure.tight_layout(rect=(0, 0, 1, 0.985))  # room for the title above the panels' own
    figure.savefig(path, dpi=100)
    plt.close(figure)
    return path.name
