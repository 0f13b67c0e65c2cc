"""Types a graph for one input signature: the engine's registers and instructions, in the
dtypes a chain of the same NumPy and vml calls would compute in.

Each call's dtypes are NumPy's: ``ufunc.resolve_dtypes`` on the ufunc in question, with
Python's scalars weak (NEP 50), rounding float16 after every one. Operands are cast where the
chosen loop wants another dtype. The schedule (``_schedule``) then lays the program out.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from .. import _expressions
from . import _folds, _functions, _numexpr_rules, _schedule
from ._graph import Graph
from ._instructions import OPS, Call, Instruction, Native, Register, Role

# The types registers hold; the ufunc loops' own characters.
ENGINE_TYPES = frozenset("?bBhHiIlLqQefdFD")
# Nodes that pick one result of a call with several: ("result1", call).
RESULTS = ("result0", "result1", "result2", "result3")
REDUCTIONS = _expressions.reductions  # the engine's, by index
DEFAULT_DTYPES = {int: np.dtype(np.int64), float: np.dtype(np.float64), complex: np.dtype(complex)}


def engine_dtype(dtype: np.dtype) -> np.dtype:
    """The dtype registers hold for ``dtype``, or a TypeError naming what is not supported."""
    if dtype.kind in "SU":
        raise TypeError("strings are compared (==, <, ...) and searched (contains) only")
    if dtype.char not in ENGINE_TYPES:
        raise TypeError(
            f"expressions compute with booleans, integers, floating and complex numbers; "
            f"dtype {dtype} are not supported"
        )
    return dtype.newbyteorder("=") if dtype.byteorder not in "=|" else dtype


@dataclass(frozen=True)
class Compiled:
    program: object  # the engine's
    # per program input: (argument, dtype to make of a scalar, how: "exact", "wraps" as NumPy's
    # where, or "valued" where only comparisons and results read it)
    plan: tuple[tuple[int, np.dtype | None, str], ...]
    direct: bool  # the arguments are the program's inputs, as they are
    dtypes: tuple[np.dtype, ...]  # of the results
    signature: tuple
    folds: tuple = ()  # what Python computes of the call's scalars: arguments after its own
    reduced: bool = False  # the program's one result is the reduction around it, as a 0-d array

    @classmethod
    def folding(cls, folds: tuple) -> Compiled:
        """No program yet: the call's values, with these folds', make its signature."""
        return cls(None, (), False, (), (), folds)


class _Value:
    """A node's value while compiling: a register, a constant, or a scalar argument (one of
    Python's, weak, or of NumPy's). Values computed once are the same in every element: the
    program's prologue computes them."""

    __slots__ = ("constant", "dtype", "once", "register", "scalar_argument")

    def __init__(self, dtype, register=None, constant=None, scalar_argument=None, once=None):
        self.dtype = dtype  # np.dtype, or int/float/complex for weak scalars
        self.register = register
        self.constant = constant
        self.scalar_argument = scalar_argument
        self.once = register is None if once is None else once

    @property
    def weak(self) -> bool:
        return not isinstance(self.dtype, np.dtype)

    @property
    def is_constant(self) -> bool:
        return self.register is None and self.scalar_argument is None

    def example(self) -> object:
        """What np.result_type takes for it: the dtype, or a weak scalar of its type."""
        return self.dtype(0) if self.weak else self.dtype


def _is_string(v: _Value) -> bool:
    return v.dtype in (str, bytes) if v.weak else v.dtype.kind in "SU"


def _constant_value(value: object) -> _Value:
    """A literal's value: Python's numbers weak, a bool NumPy's."""
    if isinstance(value, bool):
        return _Value(np.dtype(bool), constant=np.bool_(value))
    if isinstance(value, np.generic):
        return _Value(engine_dtype(value.dtype), constant=value)
    return _Value(type(value), constant=value)


class Compiler:
    def __init__(  # noqa: PLR0917
        self,
        graph: Graph,
        signature: tuple,
        accuracy: str | None,
        folds: tuple = (),
        numpy_by_vml: bool = False,
        numexpr: bool = False,
        reduction: str | None = None,
    ) -> None:
        # signature: per argument, then per fold, np.dtype for arrays, int/float/complex for
        # weak scalars, ("scalar", dtype) for NumPy's, ("value", v) for one value compiled in
        self.graph, self.signature, self.accuracy = graph, signature, accuracy
        # Whether NumPy's ufuncs compute by their vml equivalents (expression strings do).
        self.numpy_by_vml = numpy_by_vml
        self.numexpr = numexpr  # numexpr's rules type the program (quorvex.mkl.numexpr)
        self.reduction = reduction  # around the whole expression: fused where the engine can
        self.folds: tuple[_folds.Fold, ...] = folds
        self.registers: list[Register] = []
        self.code: list[Instruction] = []
        self.in_prologue: list[bool] = []  # per instruction
        self.plan: list[tuple[int, np.dtype | None, bool]] = []  # (argument, dtype, wraps)
        self._made: dict[tuple, int] = {}
        self._exact: set[int] = set()  # scalar registers read by other than <, == and results

    # Registers ------------------------------------------------------------------------------

    def _register(self, dtype, role=Role.temporary, index=0, value=b"", once=False) -> int:
        self.registers.append(Register(engine_dtype(dtype), role, index, value, once))
        return len(self.registers) - 1

    def _emit(self, instruction: Instruction, once: bool) -> None:
        self.code.append(instruction)
        self.in_prologue.append(once)

    def _input(self, argument: int, dtype: np.dtype | None, wraps: bool = False) -> int:
        key = ("input", argument, dtype, wraps)
        if key not in self._made:
            made = dtype if dtype is not None else self.signature[argument]
            role = Role.input if dtype is None else Role.scalar_input
            self._made[key] = self._register(made, role, len(self.plan), once=dtype is not None)
            self.plan.append((argument, dtype, wraps))
        return self._made[key]

    def operand(self, v: _Value, dtype: np.dtype, wrap: bool = False, valued=False) -> int:
        """A register holding ``v`` in ``dtype``; a constant Python int beyond its range is
        an OverflowError (NEP 50), or wraps where NumPy's where wraps it. ``valued``: a
        comparison or the result reads it, which take a Python int beyond the dtype as the
        number it is (compiled in, where a call brings one)."""
        dtype = engine_dtype(dtype)
        if v.scalar_argument is not None:
            register = self._input(v.scalar_argument, dtype, wrap and v.weak)
            if not valued:
                self._exact.add(register)
            return register
        if v.register is None:
            value = (np.asarray(v.constant).astype(dtype) if wrap and v.weak
                     else np.asarray(v.constant, dtype=dtype)).tobytes()  # fmt: skip
            key = ("constant", dtype, value)  # (by value: a value's id may be a later one's)
            if key not in self._made:
                self._made[key] = self._register(dtype, Role.constant, 0, value, once=True)
            return self._made[key]
        if v.dtype == dtype:
            return v.register
        key = ("cast", v.register, dtype)
        if key not in self._made:
            if not (np.can_cast(v.dtype, dtype, "safe") or dtype.kind == "b"):
                raise TypeError(f"cannot cast {v.dtype} to {dtype} safely")
            self._made[key] = self._register(dtype, once=v.once)
            self._emit(Native(OPS["cast"], (v.register, self._made[key])), v.once)
        return self._made[key]

    def convert(self, v: _Value, dtype: np.dtype) -> _Value:
        """v in dtype, cast as C casts: numexpr's rules cast where NumPy's would refuse."""
        if not v.weak and v.dtype == dtype:
            return v
        if v.is_constant:
            return _Value(dtype, constant=np.asarray(v.constant).astype(dtype)[()])
        if v.scalar_argument is not None:
            return _Value(dtype, scalar_argument=v.scalar_argument)
        key = ("cast", v.register, dtype)
        if key not in self._made:
            self._made[key] = self._register(dtype, once=v.once)
            self._emit(Native(OPS["cast"], (v.register, self._made[key])), v.once)
        return _Value(dtype, register=self._made[key], once=v.once)

    # Calls ----------------------------------------------------------------------------------

    def call_ufunc(self, key: str, arguments: list[_Value], by_vml: bool = False) -> list[_Value]:
        """A ufunc's loop on the arguments; NumPy's ufunc by its vml equivalent's where that
        has the same loop, if `by_vml`, or for numexpr's functions if numpy_by_vml."""
        u = _functions.ufunc(key)
        if len(arguments) != u.nin:
            raise TypeError(f"{u.__name__} takes {u.nin} arguments, not {len(arguments)}")
        dtypes = u.resolve_dtypes((*(a.dtype for a in arguments), *(None,) * u.nout))
        dtypes = tuple(engine_dtype(d) for d in dtypes)
        if by_vml or (self.numpy_by_vml and key in _functions.NUMEXPR_KEYS):
            key = _functions.by_vml(key, "".join(d.char for d in dtypes))
        key = _functions.with_accuracy(key, self.accuracy)
        u = _functions.ufunc(key)
        if key in _folds.COMPARISONS:
            beyond = self._beyond_range(key, arguments, dtypes[0])
            if beyond is not None:
                return [beyond]
        loop = _functions.loop_index(u, "".join(d.char for d in dtypes))
        valued = key in _folds.COMPARISONS
        operands = [
            self.operand(a, d, valued=valued) for a, d in zip(arguments, dtypes, strict=False)
        ]
        once = all(self.registers[r].once for r in operands)
        results = [self._register(d, once=once) for d in dtypes[u.nin :]]
        # Values computed once that a loop takes as one value go with a step of 0.
        scalars = _functions.scalar_operands(key)
        step0 = (
            tuple(i in scalars and self.registers[r].once for i, r in enumerate(operands))
            + (False,) * u.nout
        )
        self._emit(Call(u, loop, (*operands, *results), step0), once)
        return [
            _Value(d, register=r, once=once) for d, r in zip(dtypes[u.nin :], results, strict=True)
        ]

    @staticmethod
    def _beyond_range(key: str, arguments: list[_Value], dtype: np.dtype) -> _Value | None:
        """NumPy compares integers with a Python int beyond their range, as its value: the
        answer is the same for every element."""
        a, b = arguments
        if dtype.kind not in "iu":
            return None
        info = np.iinfo(dtype)
        for side, v in ((1, b), (-1, a)):
            if v.weak and v.is_constant and type(v.constant) is int:
                if not info.min <= v.constant <= info.max:
                    above = (v.constant > info.max) == (side == 1)  # the constant is the larger
                    compare = _folds.OPERATORS[key]
                    answer = compare(0, 1) if above else compare(1, 0)
                    return _Value(np.dtype(bool), constant=np.bool_(answer))
        return None

    def native(self, name: str, operands: list[int], dtype: np.dtype, once=None) -> _Value:
        """One of the engine's own instructions, by its name in the engine's table."""
        if once is None:
            once = all(self.registers[r].once for r in operands)
        result = self._register(dtype, once=once)
        self._emit(Native(OPS[name], (*operands, result)), once)
        return _Value(engine_dtype(dtype), register=result, once=once)

    def call(self, key: str, arguments: list[_Value]) -> list[_Value]:
        if not self.numexpr:
            if key in _folds.OPERATORS and all(a.weak and a.is_constant for a in arguments):
                return [_constant_value(_folds.apply(key, [a.constant for a in arguments]))]
            return self.typed_call(key, arguments)
        return _numexpr_rules.call(self, key, arguments)

    @staticmethod
    def constant(value: object) -> _Value:
        return _constant_value(value)

    def typed_call(self, key: str, arguments: list[_Value]) -> list[_Value]:
        """A call on arguments as they are typed: a ufunc's loop, or the language's own."""
        if key != "contains" and any(_is_string(a) for a in arguments):
            raise TypeError("strings are compared (==, <, ...) and searched (contains) only")
        if key == "numpy.power":
            result = np.power.resolve_dtypes((*(a.dtype for a in arguments), None))[2]
            if result.kind in "biu":  # NumPy's loop raises from any thread: the engine's does not
                return [self._integer_power(*arguments, result)]
        if key.startswith(("vml.", "numpy.")):
            return self.call_ufunc(key, arguments)
        expected = 2 if key == "power" else _functions.OWN[key]
        if len(arguments) != expected:
            raise TypeError(f"{key} takes {expected} arguments, not {len(arguments)}")
        return [self._LANGUAGE[key](self, *arguments)]

    def _integer_power(self, base: _Value, exponent: _Value, result: np.dtype) -> _Value:
        if exponent.is_constant and exponent.constant < 0:
            raise ValueError("Integers to negative integer powers are not allowed.")
        operands = [self.operand(base, result), self.operand(exponent, result)]
        return self.native("integer_power", operands, result)

    def _power(self, base: _Value, exponent: _Value) -> _Value:
        result = np.power.resolve_dtypes((base.dtype, exponent.dtype, None))[2]
        if result.kind in "biu":
            return self._integer_power(base, exponent, result)
        # NumPy's own shortcuts for an inexact array to a Python scalar power.
        if exponent.weak and exponent.is_constant and not base.weak and base.dtype.kind in "fc":
            shortcut = {2: "square", 0.5: "sqrt", -1: "reciprocal"}.get(exponent.constant)
            if shortcut:
                return self.call_ufunc(f"numpy.{shortcut}", [base], by_vml=True)[0]
            if exponent.constant == 1:
                return self._copy(base)
        if exponent.is_constant:
            return self.call_ufunc("vml.powx", [base, exponent])[0]
        return self.call_ufunc("vml.pow", [base, exponent])[0]

    def _where(self, condition: _Value, a: _Value, b: _Value) -> _Value:
        dtype = engine_dtype(np.result_type(a.example(), b.example()))
        operands = [self.operand(condition, np.dtype(bool))]
        operands += [self.operand(a, dtype, wrap=True), self.operand(b, dtype, wrap=True)]
        return self.native("where", operands, dtype)

    def _part(self, x: _Value, name: str) -> _Value:
        if x.weak and x.is_constant:
            return _Value(float, constant=getattr(complex(x.constant), name))
        dtype = np.dtype(x.dtype) if not x.weak else DEFAULT_DTYPES[x.dtype]
        if dtype.kind == "c":
            part = np.dtype(dtype.char.lower())
            return self.native(name, [self.operand(x, dtype)], part)
        if name == "real":
            return x
        return _Value(dtype, constant=dtype.type(0))

    def _real(self, x: _Value) -> _Value:
        return self._part(x, "real")

    def _imag(self, x: _Value) -> _Value:
        return self._part(x, "imag")

    def _complex(self, re: _Value, im: _Value) -> _Value:
        dtype = engine_dtype(np.result_type(re.example(), im.example(), 1j))
        if any(not v.weak and v.dtype.kind == "c" for v in (re, im)):
            raise TypeError("complex(re, im) takes real parts")
        part = np.dtype(dtype.char.lower())
        return self.native("complex", [self.operand(re, part), self.operand(im, part)], dtype)

    def _copy(self, x: _Value, once=None) -> _Value:
        """x in an array of its own; a Python number takes NumPy's dtype for it (np.asarray's:
        uint64 for an int beyond int64)."""
        if not x.weak:
            dtype = x.dtype
        elif x.is_constant:
            dtype = engine_dtype(np.asarray(x.constant).dtype)
        else:
            dtype = DEFAULT_DTYPES[x.dtype]
        return self.native("copy", [self.operand(x, dtype, valued=True)], dtype, once)

    def _round(self, x: _Value) -> _Value:
        """NumPy's round to the nearest integer, halves to even: integers as they are."""
        if x.dtype is int if x.weak else x.dtype.kind in "iu":
            return self._copy(x)
        return self.call_ufunc("numpy.rint", [x])[0]

    def _contains(self, haystack: _Value, needle: _Value) -> _Value:
        """Of two literals; the folds search arrays."""
        literals = [v.constant for v in (haystack, needle) if v.is_constant]
        if len(literals) < 2 or not all(isinstance(c, (str, bytes)) for c in literals):
            raise TypeError("contains() searches strings for strings")
        return _constant_value(np.bool_(_folds.contains(*literals)))

    def _ones_like(self, x: _Value) -> _Value:
        dtype = x.dtype if not x.weak else DEFAULT_DTYPES[x.dtype]
        return _Value(dtype, constant=dtype.type(1))

    # The whole program ------------------------------------------------------------------------

    def _argument(self, i: int) -> _Value:
        v = self._typed_argument(i)
        return _numexpr_rules.argument(self, v) if self.numexpr else v

    def _typed_argument(self, i: int) -> _Value:
        item = self.signature[i]
        if isinstance(item, np.dtype) and item.kind in "SU":  # refused where it is used
            return _Value(item, scalar_argument=i)
        if isinstance(item, np.dtype):
            return _Value(engine_dtype(item), register=self._input(i, None))
        if isinstance(item, tuple) and item[0] == "value":  # compiled in
            return _constant_value(item[1])
        if isinstance(item, tuple):  # one of NumPy's scalars
            return _Value(engine_dtype(item[1]), scalar_argument=i)
        return _Value(item, scalar_argument=i)

    # The expression language's own functions, and **, by name.
    _LANGUAGE: dict = {  # noqa: RUF012  (filled in below, once the methods exist)
    }

    def compile(self) -> Compiled:
        names = self.graph.inputs()
        position = {name: i for i, name in enumerate(names)}
        # What Python computes of its own scalars comes as arguments after the names.
        folded = {fold.node: len(names) + j for j, fold in enumerate(self.folds)}
        if len(self.signature) != len(folded) + len(names):
            raise ValueError("the signature does not match the program's arguments and folds")
        values: list[_Value] = []
        for name, item in zip(names, self.signature, strict=False):
            # Every array takes part in broadcasting (strings through their comparisons).
            if isinstance(item, np.dtype) and item.kind not in "SU":
                self._input(position[name], None)
        taken: dict[int, list[_Value]] = {}
        for index, node in enumerate(self.graph.nodes):
            if index in folded:
                values.append(self._argument(folded[index]))
            elif node[0] == "input":
                values.append(self._argument(position[node[1]]))
            elif node[0] == "const":
                literal = _numexpr_rules.literal(node[1]) if self.numexpr else node[1]
                values.append(_constant_value(literal))
            elif node[0] in RESULTS:  # one result of a call with several
                values.append(taken[node[1]][RESULTS.index(node[0])])
            else:
                taken[index] = self.call(node[0], [values[a] for a in node[1:]])
                values.append(taken[index][0])
        results = [values[node] for node in self.graph.outputs]
        reduced = self._reduced(results[0]) if self.reduction and len(results) == 1 else None
        dtypes = [reduced] if reduced else [self._output(j, v) for j, v in enumerate(results)]
        program = _schedule.lay_out(self.registers, self.code, self.in_prologue)
        # (np.dtype(None) is float64, so the dtypes are compared by identity.)
        direct = [i for i, *_ in self.plan] == list(range(len(self.signature)))
        direct = direct and all(dtype is None for _, dtype, _ in self.plan)
        plan = tuple(
            (argument, dtype, "wraps" if wraps else "exact" if r in self._exact else "valued")
            for (argument, dtype, wraps), r in zip(self.plan, self._plan_registers(), strict=True)
        )  # fmt: skip
        compiled = (program, plan, direct, tuple(dtypes), self.signature, self.folds)
        return Compiled(*compiled, reduced=reduced is not None)

    def _output(self, j: int, v: _Value) -> np.dtype:
        """Makes v the program's result j; its dtype."""
        r = v.register
        if r is None or v.once or self.registers[r].role != Role.temporary:
            r = self._copy(v, once=False).register  # an input, a constant, a second time
        self.registers[r].role, self.registers[r].index = Role.output, j
        return self.registers[r].dtype

    def _reduced(self, v: _Value) -> np.dtype | None:
        """Makes the reduction of v the program's result, where the engine reduces its dtype
        (of NumPy's: a sum of int32 is int64, any() is of v != 0); its dtype, or None."""
        if v.weak or not any(r.role == Role.input for r in self.registers):
            return None  # (no array to reduce block by block)
        if self.reduction in ("any", "all"):
            if v.dtype != np.dtype(bool):
                v = self.call("numpy.not_equal", [v, _Value(int, constant=0)])[0]
            dtype = np.dtype(bool)
        elif self.reduction in ("sum", "prod"):  # numexpr's keep the kind, of numbers only
            if self.numexpr and v.dtype.kind == "b":
                return None
            dtype = v.dtype if self.numexpr else np.add.reduce(np.empty(0, v.dtype)).dtype
        else:
            dtype = v.dtype
        if not _expressions.reduces(REDUCTIONS.index(self.reduction), dtype.num):
            return None
        r = self.operand(v, dtype)
        if v.once or self.registers[r].role != Role.temporary:
            r = self.native("copy", [r], dtype, once=False).register
        self.registers[r].role, self.registers[r].index = (
            Role.reduced,
            REDUCTIONS.index(self.reduction),
        )
        return self.registers[r].dtype

    def _plan_registers(self) -> list[int]:
        found = [0] * len(self.plan)
        for r, register in enumerate(self.registers):
            if register.role in (Role.input, Role.scalar_input):
                found[register.index] = r
        return found


Compiler._LANGUAGE.update(
    power=Compiler._power, where=Compiler._where, real=Compiler._real, imag=Compiler._imag,
    complex=Compiler._complex, copy=Compiler._copy, ones_like=Compiler._ones_like,
    round=Compiler._round, contains=Compiler._contains,
)  # fmt: skip
