"""Per-call cost of `lib` on tiny arrays against NumPy, cffi's ABI mode, ctypes and C."""

from __future__ import annotations

import ctypes

import numpy

from . import harness, report

NAME = "calls"
TITLE = "Per-call cost on tiny arrays"
ABOUT = (
    "ns per call (median of calibrated loops, functions bound to local names as in a hot loop, "
    "MKL on one thread) of `vdAdd` and `vdExp` at n = 1 and 8 for each caller, and of the "
    "cheapest calls there are; C calls MKL directly in a process of its own."
)
CALLERS = {
    "lib": "quorvex `lib`, cdata arrays",
    "lib_buffer": "quorvex `lib`, NumPy arrays, `ffi.from_buffer` once",
    "numpy": "NumPy ufunc with `out=`",
    "abi": "cffi ABI mode (`ffi.dlopen`), cdata arrays",
    "ctypes": "ctypes with `argtypes`, ctypes arrays",
    "c": "C calling MKL directly (no Python)",
}
DECLARATIONS = """
void vdAdd(const int n, const double a[], const double b[], double r[]);
void vdExp(const int n, const double a[], double r[]);
unsigned int vmlGetMode(void);
unsigned int vmlSetMode(const unsigned int mode);
"""
LIMITS = (
    ("numpy", 0.4, "`numpy.add(a, b, out=r)`"),
    ("abi", 0.5, "cffi ABI mode"),
    ("ctypes", 0.2, "ctypes (with `argtypes`)"),
)


def _declared(name: str, inputs: int):
    """A ctypes function pointer of its own into libmkl_rt, with `argtypes` set."""
    function = ctypes.CDLL(harness.mkl_rt()._name)[name]
    function.argtypes = [ctypes.c_int] + [ctypes.POINTER(ctypes.c_double)] * (inputs + 1)
    return function


def measure(quick: bool) -> dict:
    import cffi

    budget, module, abi = harness.Budget.of(quick), harness.lorimath(), cffi.FFI()
    abi.cdef(DECLARATIONS)
    abi_lib = abi.dlopen(harness.mkl_rt()._name)
    values = [0.5 + i / 16 for i in range(8)]
    ns: dict[str, dict[str, float]] = {key: {} for key in CALLERS}
    for name, ufunc, inputs in (("vdAdd", numpy.add, "a, b"), ("vdExp", numpy.exp, "a")):
        ours, declared = getattr(module.lib, name), _declared(name, inputs.count(",") + 1)
        for n in (1, 8):
            x, r = numpy.array(values[:n]), numpy.empty(n)
            buffers = [module.ffi.from_buffer("double[]", y, y is r) for y in (x, x, r)]
            arrays = {  # caller: its function and its a, b, r
                "lib": (ours, *(module.ffi.new("double[8]", values) for _ in "abr")),
                "lib_buffer": (ours, *buffers),
                "numpy": (ufunc, x, x, r),
                "abi": (getattr(abi_lib, name), *(abi.new("double[8]", values) for _ in "abr")),
                "ctypes": (declared, *((ctypes.c_double * 8)(*values) for _ in "abr")),
            }
            for key, (f, a, b, r) in arrays.items():
                statement = f"f({inputs}, out=r)" if key == "numpy" else f"f(n, {inputs}, r)"
                names = dict(f=f, a=a, b=b, r=r, n=n)
                ns[key][f"{name}/{n}"] = harness.seconds(statement, names, budget) * 1e9
    reference = harness.c_reference("calls", 200_000 if quick else 1_000_000) or {}
    ns["c"] = {k: v for k, v in reference.items() if k.split("/")[-1] in ("1", "8")}
    mode = module.lib.vmlGetMode()
    floor = {"empty statement (the timing loop alone)": ("pass", {})}
    for caller, lib in (("quorvex `lib.", module.lib), ("cffi ABI mode `", abi_lib)):
        floor[f"{caller}vmlGetMode()`"] = ("f()", dict(f=lib.vmlGetMode))
        floor[f"{caller}vmlSetMode(m)`"] = ("f(m)", dict(f=lib.vmlSetMode, m=mode))
    floor_ns = {key: harness.seconds(*case, budget) * 1e9 for key, case in floor.items()}
    floor_ns["C calling `vmlGetMode()`"] = reference.get("vmlGetMode")
    module.lib.vmlSetMode(mode)
    return dict(ns=ns, floor_ns=floor_ns, c_vdExp_1e6_seconds=reference.get("vdExp/1000000"))


def tables(data: dict, results: dict) -> list:
    columns = ("vdAdd/1", "vdAdd/8", "vdExp/1", "vdExp/8")
    ours = data["ns"]["lib"]["vdAdd/8"]
    rows = []
    for key, caller in CALLERS.items():
        timed = [data["ns"][key].get(c) for c in columns]
        rows.append([caller, *timed, report.ratio(ours, timed[1])])
    header = ["caller", *(c.replace("/", " n=") for c in columns), "quorvex ÷ this, vdAdd n=8"]
    return [(header, rows), (["call", "ns"], [[k, v] for k, v in data["floor_ns"].items()])]


def targets(data: dict, results: dict) -> list[dict]:
    ns = {key: timed.get("vdAdd/8") for key, timed in data["ns"].items()}
    name = "per call, `lib.vdAdd(8, …)` with cdata, relative to"
    return [
        report.relative(f"{name} {label}", limit, ns["lib"], ns[key], "ns")
        for key, limit, label in LIMITS
    ]


def plots(data: dict, results: dict, plt, directory) -> list[str]:
    bars = sorted(
        [(CALLERS[k], v["vdAdd/8"]) for k, v in data["ns"].items() if "vdAdd/8" in v]
        + [(k, v) for k, v in list(data["floor_ns"].items())[1:] if v],
        key=lambda bar: bar[1],
    )
    figure, axes = plt.subplots(figsize=(9, 0.38 * len(bars) + 1.2))
    labels = [label.replace("`", "") for label, _ in bars]
    colours = ["tab:blue" if label.startswith("quorvex") else "tab:gray" for label in labels]
    axes.barh(labels, [ns for _, ns in bars], color=colours)
    for index, (_, ns) in enumerate(bars):
        axes.text(ns, index, f" {ns:.0f}", va="center", fontsize=8)
    axes.set_xlabel("ns per call (vdAdd with n = 8, or the call named)")
    return [report.save(plt, figure, directory / "per_call.png", "Per-call cost, medians")]
