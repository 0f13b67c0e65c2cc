"""Per-call cost on tiny arrays, the floor of a call, and the scratch-buffer path for lists."""

from __future__ import annotations

import numpy

from . import runtime
from .timing import Budget, seconds_per_run

TINY_SIZES = (1, 8)

# Competitors, in table order: key, label. Every function is bound to a local
# name first, as in a hot loop, so attribute lookups are not part of the cost.
COMPETITORS = {
    "module_cdata": "quorvex `lib`, cdata arrays",
    "module_buffer_once": "quorvex `lib`, NumPy arrays, `ffi.from_buffer` once",
    "module_buffer_per_call": "quorvex `lib`, NumPy arrays, `ffi.from_buffer` per call",
    "numpy": "NumPy ufunc with `out=`",
    "cffi_abi": "cffi ABI mode (`ffi.dlopen`), cdata arrays",
    "ctypes_declared": "ctypes with `argtypes`, ctypes arrays",
    "ctypes_undeclared": "ctypes without `argtypes`, ctypes arrays",
    "c_reference": "C calling MKL directly (no Python)",
}


def _statements(operation: str) -> dict[str, str]:
    """The call of each competitor; `x`, `y` are inputs and `r` the output."""
    if operation == "vdAdd":
        return {
            "cdata": "f(n, a, b, r)",
            "per_call": "f(n, fb(T, x), fb(T, y), fb(T, r, require_writable=True))",
            "numpy": "f(x, y, out=r)",
        }
    return {
        "cdata": "f(n, a, r)",
        "per_call": "f(n, fb(T, x), fb(T, r, require_writable=True))",
        "numpy": "f(x, out=r)",
    }


def per_call(budget: Budget, reference: dict | None) -> dict:
    """ns per call of vdAdd and vdExp at n = 1 and 8, every competitor in one process."""
    lorimath = runtime.module()
    ffi, lib = lorimath.ffi, lorimath.lib
    abi_ffi, abi_lib = runtime.abi_mode()
    values = [0.5 + i / 16 for i in range(8)]
    numpy_ufunc = {"vdAdd": numpy.add, "vdExp": numpy.exp}
    rows = []
    for operation in ("vdAdd", "vdExp"):
        statements = _statements(operation)
        for n in TINY_SIZES:
            x, y, r = numpy.array(values[:n]), numpy.array(values[:n]), numpy.empty(n)
            cdata = dict(a=ffi.new("double[8]", values), b=ffi.new("double[8]", values))
            cdata["r"] = ffi.new("double[8]")
            buffers = dict(
                a=ffi.from_buffer("double[]", x),
                b=ffi.from_buffer("double[]", y),
                r=ffi.from_buffer("double[]", r, require_writable=True),
            )
            abi = dict(a=abi_ffi.new("double[8]", values), b=abi_ffi.new("double[8]", values))
            abi["r"] = abi_ffi.new("double[8]")
            ctype_array = runtime.ctypes.c_double * 8
            carrays = dict(a=ctype_array(*values), b=ctype_array(*values), r=ctype_array())
            cases = {
                "module_cdata": (statements["cdata"], dict(f=getattr(lib, operation), **cdata)),
                "module_buffer_once": (
                    statements["cdata"],
                    dict(f=getattr(lib, operation), **buffers),
                ),
                "module_buffer_per_call": (
                    statements["per_call"],
                    dict(
                        f=getattr(lib, operation), fb=ffi.from_buffer, T="double[]", x=x, y=y, r=r
                    ),
                ),
                "numpy": (statements["numpy"], dict(f=numpy_ufunc[operation], x=x, y=y, r=r)),
                "cffi_abi": (statements["cdata"], dict(f=getattr(abi_lib, operation), **abi)),
                "ctypes_declared": (
                    statements["cdata"],
                    dict(f=runtime.ctypes_functions(True)[operation], **carrays),
                ),
                "ctypes_undeclared": (
                    statements["cdata"],
                    dict(f=runtime.ctypes_functions(False)[operation], **carrays),
                ),
            }
            for key, (statement, names) in cases.items():
                seconds = seconds_per_run(statement, dict(names, n=n), budget)
                rows.append(dict(operation=operation, n=n, competitor=key, ns=seconds * 1e9))
            if reference and (operation, n) in reference:
                rows.append(
                    dict(
                        operation=operation,
                        n=n,
                        competitor="c_reference",
                        ns=reference[operation, n],
                    )
                )
    return {"rows": rows, "labels": COMPETITORS}


def call_floor(budget: Budget, reference: dict | None) -> dict:
    """The cheapest calls there are: no argument, one argument, and the timing loop itself."""
    lib = runtime.module().lib
    _, abi_lib = runtime.abi_mode()
    mode = lib.vmlGetMode()
    cases = {
        "empty statement (the timing loop alone)": ("pass", {}),
        "quorvex `lib.vmlGetMode()`": ("f()", dict(f=lib.vmlGetMode)),
        "quorvex `lib.vmlSetMode(m)`": ("f(m)", dict(f=lib.vmlSetMode, m=mode)),
        "cffi ABI mode `vmlGetMode()`": ("f()", dict(f=abi_lib.vmlGetMode)),
        "cffi ABI mode `vmlSetMode(m)`": ("f(m)", dict(f=abi_lib.vmlSetMode, m=mode)),
    }
    rows = [
        dict(case=label, ns=seconds_per_run(statement, names, budget) * 1e9)
        for label, (statement, names) in cases.items()
    ]
    if reference and ("vmlGetMode", 0) in reference:
        rows.append(dict(case="C calling `vmlGetMode()`", ns=reference["vmlGetMode", 0]))
    lib.vmlSetMode(mode)
    return {"rows": rows}


def scratch_path(budget: Budget, sizes: tuple[int, ...]) -> dict:
    """vdExp with its input as a Python list (a scratch buffer per call) versus cdata."""
    lorimath = runtime.module()
    ffi, lib = lorimath.ffi, lorimath.lib
    rows = []
    for n in sizes:
        values = numpy.random.default_rng(n).uniform(-5.0, 5.0, n)
        as_list = values.tolist()
        output = ffi.new("double[]", n)
        output_array = numpy.empty(n)
        cases = {
            "cdata array": ("f(n, a, r)", dict(f=lib.vdExp, a=ffi.new("double[]", as_list))),
            "Python list (scratch buffer)": ("f(n, a, r)", dict(f=lib.vdExp, a=as_list)),
            "NumPy `exp(list, out=)`": ("f(a, out=o)", dict(f=numpy.exp, a=as_list)),
        }
        for label, (statement, names) in cases.items():
            arguments = dict(names, n=n, r=output, o=output_array)
            seconds = seconds_per_run(statement, arguments, budget)
            rows.append(dict(n=n, input=label, us=seconds * 1e6, ns_per_element=seconds * 1e9 / n))
    return {"rows": rows}
