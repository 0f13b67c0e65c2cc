"""A program as the compiler builds it: registers and instructions as small records, and the
engine's own tables they follow, read from the engine: its instructions, with the operands
each reads, and the roles of its registers. The records become the engine's rows only where
a program crosses into it (``wire``)."""

from __future__ import annotations

import enum
from dataclasses import dataclass
from typing import Any, NamedTuple

import numpy as np

from .. import _expressions


class Op(NamedTuple):
    """One of the engine's own instructions, as its table declares it."""

    index: int  # what the engine's rows name it by
    name: str
    reads: int  # operands read; it writes one result, its last operand
    rule: str  # how its operands' types relate (the engine's Rule)
    windowable: bool


OPS = {name: Op(i, name, *rest) for i, (name, *rest) in enumerate(_expressions.instructions)}
Role = enum.IntEnum("Role", [(name, i) for i, name in enumerate(_expressions.register_roles)])


@dataclass(slots=True)
class Register:
    dtype: np.dtype
    role: Role
    index: int = 0  # of the argument, or of the output
    value: bytes = b""  # of a constant
    once: bool = False  # the same in every element: the prologue computes it once


@dataclass(frozen=True, slots=True)
class Call:
    """A ufunc's own loop: NumPy's or vml's, the loop chosen by its types."""

    ufunc: np.ufunc
    loop: int
    operands: tuple[int, ...]  # registers, the results last
    step0: tuple[bool, ...]  # operands the loop takes as one value, with a step of 0

    @property
    def writes(self) -> int:
        return self.ufunc.nout


@dataclass(frozen=True, slots=True)
class Native:
    """One of the engine's own instructions."""

    op: Op
    operands: tuple[int, ...]  # registers, the result last

    def __post_init__(self) -> None:
        assert len(self.operands) == self.op.reads + 1, (self.op.name, self.operands)

    @property
    def writes(self) -> int:
        return 1


Instruction = Call | Native


def reads(instruction: Instruction) -> tuple[int, ...]:
    return instruction.operands[: len(instruction.operands) - instruction.writes]


def written(instruction: Instruction) -> tuple[int, ...]:
    return instruction.operands[len(instruction.operands) - instruction.writes :]


def windowable(instruction: Instruction) -> bool:
    """Whether the engine runs the instruction window by window among its neighbours: the
    engine's rule, asked of the engine."""
    callable_ = instruction.ufunc if isinstance(instruction, Call) else instruction.op.index
    return _expressions.runs_windowed(callable_, len(instruction.operands))


def wire(registers: list[Register], prologue: list[Instruction], code: list[Instruction]) -> Any:
    """The engine's program of these records."""

    def row(instruction: Instruction) -> tuple:
        if isinstance(instruction, Call):
            return (instruction.ufunc, instruction.loop, instruction.operands, instruction.step0)
        return (instruction.op.index, instruction.operands)

    rows = tuple((r.dtype.num, int(r.role), r.index, r.value) for r in registers)
    return _expressions.program(rows, tuple(map(row, prologue)), tuple(map(row, code)))
