"""The program before types: a graph of inputs, constants and calls, and its text.

The parser of expression strings and the tracer of fused functions both build a ``Graph``;
the compiler types it for one input signature. Equal subexpressions are one node. The text
form is what Dask sends to its workers: one node per line, read back without ``eval``.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

# Python's scalars are weak (NEP 50): they take the dtype of what they meet.
WEAK = (int, float, complex)
WEAK_BY_NAME = {t.__name__: t for t in WEAK}
STRONG_KINDS = frozenset("biufc")


@dataclass(frozen=True)
class Graph:
    # ("input", name) | ("const", value) | (function, *argument indices), in order of use
    nodes: tuple[tuple, ...]
    outputs: tuple[int, ...]

    def inputs(self) -> tuple[str, ...]:
        return tuple(node[1] for node in self.nodes if node[0] == "input")

    def text(self) -> str:
        lines = []
        for i, node in enumerate(self.nodes):
            if node[0] == "input":
                lines.append(f"%{i} = input {node[1]}")
            elif node[0] == "const":
                lines.append(f"%{i} = const {_constant_text(node[1])}")
            else:
                lines.append(f"%{i} = {node[0]} " + " ".join(f"%{a}" for a in node[1:]))
        lines.append("return " + " ".join(f"%{o}" for o in self.outputs))
        return "\n".join(lines)


class Builder:
    """Builds a graph, giving equal nodes one index."""

    def __init__(self) -> None:
        self.nodes: list[tuple] = []
        self._index: dict[tuple, int] = {}

    def _add(self, key: tuple, node: tuple) -> int:
        found = self._index.get(key)
        if found is None:
            found = self._index[key] = len(self.nodes)
            self.nodes.append(node)
        return found

    def input(self, name: str) -> int:
        return self._add(("input", name), ("input", name))

    def const(self, value: object) -> int:
        # 1, 1.0, True and -0.0 / 0.0 compare equal; their types and signs do not.
        return self._add(("const", type(value), repr(value)), ("const", value))

    def call(self, function: str, *arguments: int) -> int:
        return self._add((function, *arguments), (function, *arguments))

    def graph(self, outputs: tuple[int, ...]) -> Graph:
        return Graph(tuple(self.nodes), outputs)


def _hex(value: float) -> str:
    return float(value).hex()


def _constant_text(value: object) -> str:
    if isinstance(value, np.generic):
        type_name = value.dtype.name
        value = value.item()
    else:
        type_name = "bool" if isinstance(value, bool) else type(value).__name__
    if isinstance(value, bool) or isinstance(value, int):
        return f"{type_name} {int(value)}"
    if isinstance(value, float):
        return f"{type_name} {_hex(value)}"
    return f"{type_name} {_hex(value.real)}:{_hex(value.imag)}"  # complex


def _constant(type_name: str, literal: str) -> object:
    python = {**WEAK_BY_NAME, "bool": bool}.get(type_name)
    try:
        dtype = None if python else np.dtype(type_name)
    except TypeError:
        dtype = None
    if python is None and (
        dtype is None or dtype.kind not in STRONG_KINDS or dtype.name != type_name
    ):
        raise ValueError(f"no constants of type {type_name!r}")
    category = (
        dtype.kind if dtype is not None else {bool: "b", int: "i", float: "f"}.get(python, "c")
    )
    if category in "biu":
        number: object = int(literal)
    elif category == "c":
        re, im = literal.split(":")
        number = complex(float.fromhex(re), float.fromhex(im))
    else:
        number = float.fromhex(literal)
    return python(number) if python else dtype.type(number)


def from_text(text: str, functions: frozenset[str]) -> Graph:
    """The graph ``Graph.text`` wrote; anything else is a ValueError."""
    builder = Builder()
    lines = text.strip().split("\n")
    for i, line in enumerate(lines[:-1]):
        target, _, rest = line.partition(" = ")
        words = rest.split()
        if target != f"%{i}" or not words:
            raise ValueError(f"line {i + 1} of the program is not a node: {line!r}")
        if words[0] == "input" and len(words) == 2 and words[1].isidentifier():
            index = builder.input(words[1])
        elif words[0] == "const" and len(words) == 3:
            index = builder.const(_constant(words[1], words[2]))
        elif words[0] in functions:
            index = builder.call(words[0], *(_reference(w, i) for w in words[1:]))
        else:
            raise ValueError(f"line {i + 1} of the program is not a node: {line!r}")
        if index != i:
            raise ValueError(f"line {i + 1} of the program repeats a node")
    words = lines[-1].split()
    if not words or words[0] != "return" or len(words) < 2:
        raise ValueError("the program ends without its results")
    return builder.graph(tuple(_reference(w, len(lines) - 1) for w in words[1:]))


def _reference(word: str, before: int) -> int:
    if not (word.startswith("%") and word[1:].isdigit() and int(word[1:]) < before):
        raise ValueError(f"{word!r} names no earlier node")
    return int(word[1:])
