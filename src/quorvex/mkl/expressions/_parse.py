"""Expression strings into graphs, through Python's ``ast`` and a closed grammar.

``ast.parse`` only reads the string into a tree; nothing of it is ever executed. One
visitor method per kind of node the language has; every other kind is refused with a
ValueError that names it. Operators on Python's own scalars are left to the compiler, which
folds them as Python computes them.
"""

from __future__ import annotations

import ast
from dataclasses import dataclass

from . import _functions
from ._graph import Builder, Graph

OPERATORS = {
    ast.Add: "numpy.add",
    ast.Sub: "numpy.subtract",
    ast.Mult: "numpy.multiply",
    ast.Div: "numpy.true_divide",
    ast.FloorDiv: "numpy.floor_divide",
    ast.Mod: "numpy.remainder",
    ast.Pow: "power",
    ast.BitAnd: "numpy.bitwise_and",
    ast.BitOr: "numpy.bitwise_or",
    ast.BitXor: "numpy.bitwise_xor",
    ast.LShift: "numpy.left_shift",
    ast.RShift: "numpy.right_shift",
}
COMPARISONS = {
    ast.Lt: "numpy.less",
    ast.LtE: "numpy.less_equal",
    ast.Gt: "numpy.greater",
    ast.GtE: "numpy.greater_equal",
    ast.Eq: "numpy.equal",
    ast.NotEq: "numpy.not_equal",
}
# What the refusals call the kinds of node the language lacks.
REFUSED = {
    "Attribute": "attribute access",
    "Subscript": "subscripts",
    "Slice": "slices",
    "Lambda": "lambdas",
    "ListComp": "comprehensions",
    "SetComp": "comprehensions",
    "DictComp": "comprehensions",
    "GeneratorExp": "comprehensions",
    "BoolOp": "'and' and 'or' (use & and |)",
    "IfExp": "conditional expressions (use where)",
    "NamedExpr": "assignments",
    "Starred": "starred arguments",
    "Await": "await",
    "Yield": "yield",
    "YieldFrom": "yield",
    "JoinedStr": "f-strings",
    "FormattedValue": "f-strings",
    "List": "lists",
    "Tuple": "tuples",
    "Set": "sets",
    "Dict": "dicts",
}


@dataclass(frozen=True)
class Parsed:
    graph: Graph
    names: tuple[str, ...]  # the variables, in the order the graph takes them
    reduction: tuple[str, int | None] | None  # (sum/prod/min/max, axis) around it all


def _is_dunder(name: str) -> bool:
    return name.startswith("__") and name.endswith("__")


class _Visitor:
    def __init__(self) -> None:
        self.builder = Builder()

    def refuse(self, node: ast.AST, what: str | None = None) -> ValueError:
        kind = type(node).__name__
        return ValueError(
            f"{what or REFUSED.get(kind, kind)} not allowed in an expression "
            f"(at column {getattr(node, 'col_offset', 0) + 1})"
        )

    def visit(self, node: ast.AST) -> int:
        method = getattr(self, f"visit_{type(node).__name__}", None)
        if method is None:
            raise self.refuse(node)
        return method(node)

    def visit_Constant(self, node: ast.Constant) -> int:
        value = node.value
        if not isinstance(value, (bool, int, float, complex, str, bytes)):
            raise self.refuse(node, repr(value))
        return self.builder.const(value)

    def visit_Name(self, node: ast.Name) -> int:
        if _is_dunder(node.id):
            raise self.refuse(node, f"the dunder name {node.id!r}")
        return self.builder.input(node.id)

    def visit_BinOp(self, node: ast.BinOp) -> int:
        # a + b + c + ... nests to the left: its spine is walked in a loop, not recursion.
        spine = []
        while isinstance(node, ast.BinOp):
            spine.append(node)
            node = node.left
        result = self.visit(node)
        for operation in reversed(spine):
            key = OPERATORS.get(type(operation.op))
            if key is None:
                raise self.refuse(operation, f"the operator {type(operation.op).__name__}")
            result = self.builder.call(key, result, self.visit(operation.right))
        return result

    def visit_UnaryOp(self, node: ast.UnaryOp) -> int:
        operand = self.visit(node.operand)
        if isinstance(node.op, ast.UAdd):
            return operand
        if isinstance(node.op, ast.USub):
            return self.builder.call("numpy.negative", operand)
        if isinstance(node.op, ast.Invert):
            return self.builder.call("numpy.invert", operand)
        raise self.refuse(node, "'not' (use ~)")

    def visit_Compare(self, node: ast.Compare) -> int:
        if len(node.ops) != 1:
            raise self.refuse(node, "chained comparisons (use &)")
        key = COMPARISONS.get(type(node.ops[0]))
        if key is None:
            raise self.refuse(node, f"the comparison {type(node.ops[0]).__name__}")
        return self.builder.call(key, self.visit(node.left), self.visit(node.comparators[0]))

    def visit_Attribute(self, node: ast.Attribute) -> int:
        if node.attr not in ("real", "imag"):
            raise self.refuse(node, f"attribute access (.{node.attr})")
        return self.builder.call(node.attr, self.visit(node.value))

    def visit_Call(self, node: ast.Call) -> int:
        if not isinstance(node.func, ast.Name):
            kind = REFUSED.get(type(node.func).__name__, "calls of anything but the functions")
            raise self.refuse(node.func, kind)
        name = node.func.id
        if name in _functions.REDUCTIONS:
            raise self.refuse(node, f"{name}() inside the expression (only around all of it)")
        key = _functions.string_functions().get(name)
        if key is None or _is_dunder(name):
            raise self.refuse(node, f"calls of {name!r}, which is not one of the functions,")
        if node.keywords:
            raise self.refuse(node.keywords[0], f"the keyword argument {node.keywords[0].arg}=")
        if key.startswith("vml.") and _functions.ufunc(key).nout != 1:
            raise self.refuse(node, f"{name}, which has several results,")
        return self.builder.call(key, *(self.visit(a) for a in node.args))


def _reduction(tree: ast.expr) -> tuple[ast.expr, tuple[str, int | None] | None]:
    if not (isinstance(tree, ast.Call) and isinstance(tree.func, ast.Name)):
        return tree, None
    if tree.func.id not in _functions.REDUCTIONS:
        return tree, None
    name = tree.func.id
    axes = list(tree.args[1:]) + [k.value for k in tree.keywords if k.arg == "axis"]
    if len(tree.args) < 1 or len(axes) > 1 or any(k.arg != "axis" for k in tree.keywords):
        raise ValueError(f"{name}(expression, axis=None) takes one expression and an axis")
    axis = None
    if axes:
        given = axes[0]
        if isinstance(given, ast.UnaryOp) and isinstance(given.op, ast.USub):
            given = (
                ast.Constant(-given.operand.value)
                if isinstance(given.operand, ast.Constant)
                else given
            )
        if not (
            isinstance(given, ast.Constant) and (given.value is None or type(given.value) is int)
        ):
            raise ValueError(f"the axis of {name}() must be an integer or None")
        axis = given.value
    return tree.args[0], (name, axis)


def parse(text: str) -> Parsed:
    """The graph of an expression string; SyntaxError, ValueError or TypeError if it is none."""
    if not isinstance(text, str):
        raise TypeError(f"the expression must be a string, not {type(text).__name__}")
    try:  # Python's parser runs out of its stack (MemoryError) or recursion on deep nesting
        tree = ast.parse(text.strip(), mode="eval").body
        body, reduction = _reduction(tree)
        visitor = _Visitor()
        result = visitor.visit(body)
    except (RecursionError, MemoryError):
        raise ValueError(
            f"the expression is nested too deeply ({len(text)} characters): split it, or "
            "compute its parts with evaluate and pass them in as names"
        ) from None
    graph = visitor.builder.graph((result,))
    return Parsed(graph, graph.inputs(), reduction)
