"""The schedule of a typed program: the order its instructions run in, and the registers they
share. Registers are reused once their value is dead, so that a program's registers, one
block each, stay in the core's cache; the engine's windowable instructions gather into runs.
"""

from __future__ import annotations

from dataclasses import replace
from typing import Any

from ._instructions import Instruction, Register, Role, reads, windowable, wire, written


def group_windowable(code: list[Instruction]) -> list[Instruction]:
    """The code reordered so that its windowable instructions gather into as few runs between
    MKL's calls as their values allow, as one would write the loops by hand: a run's
    instructions follow one another over a block while it is in cache, and the run that
    makes the results goes by windows in L1. A windowable value that only windowable
    instructions read waits for its first reader's run; within a run, a value read once comes
    just before its reader, so that a product stays next to the sum that takes it."""
    producer: dict[int, int] = {}
    for i, instruction in enumerate(code):
        for r in written(instruction):
            producer[r] = i
    sources: list[list[int]] = []
    readers: list[list[int]] = [[] for _ in code]
    for i, instruction in enumerate(code):
        found = list(dict.fromkeys(producer[r] for r in reads(instruction) if r in producer))
        sources.append(found)
        for j in found:
            readers[j].append(i)
    in_windows = [windowable(instruction) for instruction in code]
    # Run k holds the windowable instructions of stage k; MKL's calls of stage k come after it.
    stage = [0] * len(code)
    ready = [0] * len(code)  # the first run that may read the instruction's results
    for i in range(len(code)):
        stage[i] = max((ready[j] for j in sources[i]), default=0)
        ready[i] = stage[i] + (0 if in_windows[i] else 1)
    for i in reversed(range(len(code))):
        if in_windows[i] and readers[i] and all(in_windows[j] for j in readers[i]):
            stage[i] = min(stage[j] for j in readers[i])
    order: list[int] = []
    placed = [False] * len(code)

    def place(i: int) -> None:  # what i reads of its run first, depth first, without recursion
        placed[i] = True
        pending = [(i, iter(sources[i]))]
        while pending:
            node, rest = pending[-1]
            j = next((j for j in rest if not placed[j] and in_windows[j] and stage[j] == stage[i]),
                     None)  # fmt: skip
            if j is None:
                order.append(node)
                pending.pop()
            else:
                placed[j] = True
                pending.append((j, iter(sources[j])))

    by_stage: list[list[int]] = [[] for _ in range(max(stage, default=0) + 1)]
    for i, k in enumerate(stage):
        by_stage[k].append(i)
    for k, members in enumerate(by_stage):
        here = [i for i in members if in_windows[i]]
        for i in here:
            if not placed[i] and not any(in_windows[j] and stage[j] == k for j in readers[i]):
                place(i)  # a run's results: each pulls in what it reads of the run
        for i in here:
            if not placed[i]:
                place(i)
        order += [i for i in members if not in_windows[i]]
    return [code[i] for i in order]


def allocate(registers: list[Register], code: list[Instruction]) -> tuple[list, list]:
    """The registers as the engine takes them, temporaries sharing one block where their
    values do not live at once; a result may take the block of an operand that dies there.
    What the prologue computes stays for the whole evaluation."""
    last_read = {}
    for i, instruction in enumerate(code):
        for r in reads(instruction):
            last_read[r] = i
    physical: dict[int, int] = {}
    laid: list[Register] = []
    free: dict[str, list[int]] = {}

    def place(r: int) -> int:
        register = registers[r]
        if register.role == Role.temporary and free.get(register.dtype.char):
            return free[register.dtype.char].pop()
        laid.append(register)
        return len(laid) - 1

    def reusable(r: int) -> bool:
        return registers[r].role == Role.temporary and not registers[r].once

    for r, register in enumerate(registers):
        if register.role != Role.temporary:
            physical[r] = place(r)
    laid_code = []
    for i, instruction in enumerate(code):
        for r in dict.fromkeys(reads(instruction)):
            if reusable(r) and last_read.get(r) == i:
                free.setdefault(registers[r].dtype.char, []).append(physical[r])
        for r in written(instruction):
            if r not in physical:
                physical[r] = place(r)
        operands = tuple(physical[r] for r in instruction.operands)
        laid_code.append(replace(instruction, operands=operands))
        for r in written(instruction):
            if reusable(r) and r not in last_read:
                free.setdefault(registers[r].dtype.char, []).append(physical[r])
    return laid, laid_code


def lay_out(registers: list[Register], code: list[Instruction], in_prologue: list[bool]) -> Any:
    """The engine's program: the prologue's instructions first, then the body's, grouped into
    runs of windowable ones unless that needs more of the cache than the order they were
    written in, over registers allocated for them."""
    prologue = [c for c, once in zip(code, in_prologue, strict=True) if once]
    body = [c for c, once in zip(code, in_prologue, strict=True) if not once]
    laid, laid_code = allocate(registers, prologue + body)
    grouped = group_windowable(body)
    if grouped != body:
        regrouped = allocate(registers, prologue + grouped)
        if len(regrouped[0]) <= len(laid) + 2:
            laid, laid_code = regrouped
    return wire(laid, laid_code[: len(prologue)], laid_code[len(prologue) :])
