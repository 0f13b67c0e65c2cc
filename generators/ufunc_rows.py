"""Writes the rows of the ufunc module: one per elementwise operation, one per precision of it.

Run by the build: ``python -m generators.ufunc_rows CATALOGUE.json OUTDIR``, with the
catalogue that catalogue/mkl_header.py read from MKL's header. The rows name MKL's functions
and each variant's Contract (ufuncs/mkl_forms.hpp) from the operation's policy record; the
C++ in ufuncs/ derives every operand, type and count from the functions' declarations.
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

from catalogue import declarations, operations
from catalogue.operations import DEFAULT_POLICY, Operation, Policy

from .output import DO_NOT_EDIT, generated_by, write_if_changed
from .policy_check import check_policies

# Contract's fields with the enum of each, in their order in ufuncs/mkl_forms.hpp: designated
# initializers must follow it (the compiler refuses any other).
CONTRACT_FIELDS = (
    ("order", "Results"),
    ("errors", "Errors"),
    ("reduce", "Reduce"),
    ("half", "Half"),
    ("unreported", "Unreported"),
    ("select", "Select"),
    ("underflow", "Underflow"),
    ("numpy_same_bits", None),
)


def doc(op: Operation) -> str:
    policy = operations.policy(op.name)
    functions = ", ".join(v.function for v in op.variants)
    dtypes = [v.dtypes[0] for v in op.variants]
    half = ""
    if op.float16:
        dtypes.insert(0, "float16")
        native = policy.half == "nextafter"
        half = "; float16 is computed in float16" if native else "; float16 is computed in float32"
    ins = ", ".join(op.names("in") + op.names("scalar"))
    outs = op.names("out")
    if policy.order == "reversed":
        outs = outs[::-1]
    outs = ", ".join(outs)
    return (
        f"MKL's {functions}: ({ins}) -> ({outs}), elementwise, for {', '.join(dtypes)} input{half}."
    )


def unreported(policy: Policy, precision: str) -> tuple[frozenset[str], str]:
    """What a loop looks for that its kernel may leave unreported, and under which kernels:
    the union of the record's entries (looking where a kernel does report costs time only)."""
    results: set[str] = set()
    kernels: set[str] = set()
    for precisions, entry in policy.unreported.items():
        if precision in precisions:
            results |= entry.results
            kernels |= entry.kernels
    return frozenset(results), "*" if "*" in kernels else " ".join(sorted(kernels))


def contract(policy: Policy, precision: str) -> dict[str, str]:
    """Every field of the variant's Contract, spelled in C++."""
    results, _ = unreported(policy, precision)
    spelled = {}
    for name, enum in CONTRACT_FIELDS:
        if name == "unreported":
            flags = [f"Unreported::{r}" for r in sorted(results)]
            spelled[name] = " | ".join(flags) or "Unreported::none"
        elif enum is None:
            spelled[name] = "true" if getattr(policy, name) else "false"
        else:
            spelled[name] = f"{enum}::{getattr(policy, name)}"
    return spelled


def designated(fields: dict[str, str]) -> str:
    """A Contract, parenthesized so that its commas stay inside one macro argument."""
    return "(Contract{" + ", ".join(f".{name} = {value}" for name, value in fields.items()) + "})"


def loop_rows(op: Operation, defaults: dict[str, str]) -> list[str]:
    """The operation's variants, each naming only the fields of its Contract that are not
    the default record's."""
    policy = operations.policy(op.name)
    rows = []
    for v in op.variants:
        assert v.mode, f"{v.function} lacks a mode variant"
        fields = contract(policy, v.precision)
        departures = {name: value for name, value in fields.items() if value != defaults[name]}
        _, kernels = unreported(policy, v.precision)
        rows.append(
            f'QV_LOOP({v.function}, {v.mode}, {designated(departures)}, "{kernels}")'
            f"  // {op.name}: {', '.join(v.dtypes)}"
        )
    return rows


def rows(ops: list[Operation]) -> list[str]:
    elementwise = [op for op in ops if op.elementwise]
    check_policies(elementwise)
    defaults = contract(DEFAULT_POLICY, "")
    ufunc_rows = [
        f'QV_UFUNC("{op.name}", {operations.policy(op.name).identity}, {len(op.variants)}, '
        f"{json.dumps(doc(op))})  // {op.name}"
        for op in elementwise
    ]
    characterized = [f'QV_CHARACTERIZED("{k}")' for k in sorted(operations.CHARACTERIZED_KERNELS)]
    return [
        "#ifdef QV_CONTRACT_DEFAULTS", f"QV_CONTRACT_DEFAULTS({designated(defaults)})", "#endif",
        "#ifdef QV_UFUNC", *ufunc_rows, "#endif",
        "#ifdef QV_LOOP", *(row for op in elementwise for row in loop_rows(op, defaults)), "#endif",
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
