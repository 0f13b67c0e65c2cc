"""Writes the rows of the ufunc module: one per elementwise operation, one per precision of it.

Run by the build: ``python -m generators.ufunc_rows CATALOGUE.json OUTDIR``, with the catalogue that
catalogue/mkl_header.py read from MKL's header. The rows name MKL's functions only; the
C++ in ufuncs/ derives every operand, type and count from their declarations.
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

from catalogue import declarations, operations

from .output import DO_NOT_EDIT, generated_by, write_if_changed


def has_float16(op: operations.Operation) -> bool:
    return any(v.precision == "s" and set(v.dtypes) == {"float32"} for v in op.variants)


def doc(op: operations.Operation) -> str:
    functions = ", ".join(v.function for v in op.variants)
    dtypes = [v.dtypes[0] for v in op.variants]
    half = ""
    if has_float16(op):
        dtypes.insert(0, "float16")
        native = op.name in operations.NATIVE_FLOAT16
        half = "; float16 is computed in float16" if native else "; float16 is computed in float32"
    ins = ", ".join(op.names("in") + op.names("scalar"))
    outs = op.names("out")
    if operations.NUMPY_ORDER_OF_RESULTS.get(op.name) == "reversed":
        outs = outs[::-1]
    outs = ", ".join(outs)
    return (
        f"MKL's {functions}: ({ins}) -> ({outs}), elementwise, for {', '.join(dtypes)} input{half}."
    )


def unreported(name: str, precision: str) -> tuple[str, str]:
    """What a loop looks for that its kernel may leave unreported, and under which kernels:
    the union of the table's entries (looking where a kernel does report costs time only)."""
    results: set[str] = set()
    kernels: set[str] = set()
    for (op, precisions), entry in operations.UNREPORTED.items():
        if op == name and precision in precisions:
            assert entry.results <= {"nan", "pole", "overflow", "underflow"}, entry
            assert "underflow" not in entry.results or op in operations.UNDERFLOW_AS, entry
            results |= entry.results
            kernels |= entry.kernels
    flags = " | ".join(f"Unreported::{r}" for r in sorted(results)) or "Unreported::none"
    return flags, "*" if "*" in kernels else " ".join(sorted(kernels))


def rows(ops: list[operations.Operation]) -> list[str]:
    ufunc_rows, loop_rows = [], []
    for op in ops:
        if not op.elementwise:
            continue
        identity = operations.IDENTITIES.get(op.name, "PyUFunc_None")
        ufunc_rows.append(
            f'QV_UFUNC("{op.name}", {identity}, {len(op.variants)}, {json.dumps(doc(op))})'
            f"  // {op.name}"
        )
        order = operations.NUMPY_ORDER_OF_RESULTS.get(op.name, "as_mkl")
        errors = (
            "ieee_flags" if op.name in operations.IEEE_ARITHMETIC
            else "ieee_division" if op.name in operations.IEEE_DIVISION
            else "status"
        )  # fmt: skip
        reduce = (
            "pairwise_sum" if op.name in operations.SUMMED_BY_THE_LOOP
            else "in_blocks" if op.name in operations.REDUCED_IN_BLOCKS
            else "product_in_order" if op.name in operations.PRODUCTS_IN_ORDER
            else "selection" if op.name in operations.SELECTIONS
            else "in_order"
        )  # fmt: skip
        select = operations.SELECTIONS.get(op.name, "none")
        half = "nextafter" if op.name in operations.NATIVE_FLOAT16 else "through_single"
        underflow = operations.UNDERFLOW_AS.get(op.name, "kernel")
        numpy_bits = "true" if op.name in operations.SAME_BITS_AS_NUMPY else "false"
        for v in op.variants:
            assert v.mode, f"{v.function} lacks a mode variant"
            result, kernels = unreported(op.name, v.precision)
            loop_rows.append(
                f"QV_LOOP({v.function}, {v.mode}, {order}, {errors}, {reduce}, {select}, {half}, "
                f'{result}, {underflow}, {numpy_bits}, "{kernels}")'
                f"  // {op.name}: {', '.join(v.dtypes)}"
            )
    known = {op.name for op in ops}
    named = (
        set(operations.IDENTITIES) | set(operations.NUMPY_ORDER_OF_RESULTS)
        | operations.IEEE_ARITHMETIC | operations.IEEE_DIVISION
        | operations.REDUCED_IN_BLOCKS | operations.NATIVE_FLOAT16 | set(operations.SELECTIONS)
        | {name for name, _ in operations.UNREPORTED} | {name for name, _ in operations.NUMPY_KEEPS}
        | set(operations.UNDERFLOW_AS) | operations.SAME_BITS_AS_NUMPY
    )  # fmt: skip
    assert named <= known, f"the tables name unknown operations: {sorted(named - known)}"
    assert operations.SUMMED_BY_THE_LOOP <= operations.REDUCED_IN_BLOCKS
    reduced = (
        operations.REDUCED_IN_BLOCKS | operations.PRODUCTS_IN_ORDER | set(operations.SELECTIONS)
    )
    assert reduced <= set(operations.IDENTITIES)
    characterized = [f'QV_CHARACTERIZED("{k}")' for k in sorted(operations.CHARACTERIZED_KERNELS)]
    return [
        "#ifdef QV_UFUNC", *ufunc_rows, "#endif",
        "#ifdef QV_LOOP", *loop_rows, "#endif",
        "#ifdef QV_CHARACTERIZED", *characterized, "#endif",
    ]  # fmt: skip


def main(argv: list[str]) -> int:
    catalogue = declarations.from_json(Path(argv[1]).read_text())
    out = Path(argv[2])
    out.mkdir(parents=True, exist_ok=True)
    header = f"// {generated_by(__file__)} from the catalogue of {catalogue.module}."
    text = "\n".join([header, DO_NOT_EDIT, *rows(operations.operations(catalogue))])
    write_if_changed(out / "ufunc_rows.inc", text + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
