"""Checks the operations' policy records before any row is written from them: the build
stops on a record that names an unknown operation or value, or that the loops cannot honour."""

from __future__ import annotations

from dataclasses import fields
from typing import Literal, get_args, get_origin, get_type_hints

from catalogue.operations import (
    CHARACTERIZED_KERNELS,
    POLICIES,
    UNREPORTED_RESULTS,
    Operation,
    Policy,
)

# Reductions whose loops start from the identity, which NumPy hands them.
REDUCTIONS_WITH_IDENTITY = frozenset({"in_blocks", "pairwise_sum", "product_in_order", "selection"})


def check_policies(elementwise: list[Operation]) -> None:
    by_name = {op.name: op for op in elementwise}
    unknown = POLICIES.keys() - by_name.keys()
    assert not unknown, f"policies name operations with no ufunc: {sorted(unknown)}"
    for name, policy in POLICIES.items():
        check_values(name, policy)
        check_reduction(name, policy)
        check_unreported(name, policy)
        check_precisions(name, policy, by_name[name])


def check_values(name: str, policy: Policy) -> None:
    """Every enum-valued field holds a name its C++ enum has."""
    hints = get_type_hints(Policy)
    for field in fields(Policy):
        if get_origin(hints[field.name]) is Literal:
            value = getattr(policy, field.name)
            assert value in get_args(hints[field.name]), f"{name}.{field.name}: {value!r}"


def check_reduction(name: str, policy: Policy) -> None:
    if policy.reduce in REDUCTIONS_WITH_IDENTITY:
        assert policy.identity != "PyUFunc_None", f"{name}: {policy.reduce} needs an identity"
    selects = policy.select != "none"
    assert selects == (policy.reduce == "selection"), f"{name}: select iff reduce='selection'"


def check_unreported(name: str, policy: Policy) -> None:
    looks_for_underflow = False
    for precisions, entry in policy.unreported.items():
        where = f"{name}, {precisions}"
        assert entry.results and entry.results <= UNREPORTED_RESULTS, f"{where}: {entry.results}"
        assert entry.kernels == {"*"} or entry.kernels <= CHARACTERIZED_KERNELS, (
            f"{where}: kernels {sorted(entry.kernels)} are '*' or characterized ones"
        )
        looks_for_underflow |= "underflow" in entry.results
    # The loop decides an underflow by NumPy's computation of the element, and only there.
    decides = policy.underflow != "kernel"
    assert looks_for_underflow == decides, f"{name}: an unreported underflow iff underflow is set"


def check_precisions(name: str, policy: Policy, op: Operation) -> None:
    """Entries name precisions the operation has; float16 ("e") where it gets a loop."""
    precisions = {v.precision for v in op.variants}
    for entry in policy.unreported:
        assert set(entry) <= precisions, f"{name}: unreported in precisions {entry!r}"
    for entry in policy.numpy_keeps:
        assert set(entry) <= precisions | ({"e"} if op.float16 else set()), (
            f"{name}: NumPy keeps precisions {entry!r}"
        )
    if policy.half == "nextafter":
        assert op.float16, f"{name}: computes float16 natively but has no float16 loop"
