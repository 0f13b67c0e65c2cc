"""PNG plots of the results: per-call cost, and time per element and speed ratio versus size."""

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
