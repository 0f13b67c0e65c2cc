"""Writes the Python-facing files of quorvex.mkl from the catalogues and MKL's header.

Run by the build,
``python -m generators.package_files OUTDIR CATALOGUE.json PATH/TO/mkl_vml_defines.h``,
with the catalogue that catalogue/mkl_header.py read. It writes into OUTDIR, which the
build installs next to the package sources:

- ``lorimath.pyi`` and ``full.pyi``: type stubs of the two cffi modules, one method per function;
- ``_vml_operations.py``: one record per VML operation, with its MKL functions per precision;
- ``_vml_defines.py``: the ``VML_*`` constants of ``mkl_vml_defines.h``, without the prefix;
- ``vml.pyi``: type stubs of ``quorvex.mkl.vml``, its ufuncs typed as NumPy types its own.

Only data is generated; the logic that uses it is hand-written in src/quorvex/mkl/.
A file is rewritten only when its content changes.
"""

from __future__ import annotations

import ast
import re
import sys
from pathlib import Path

from catalogue import declarations, operations, vml
from catalogue.declarations import Catalogue, pointee

from .output import generated_by, write_if_changed

GENERATED = generated_by(__file__) + " from {source}; do not edit."

# ---------------------------------------------------------------------------
# lorimath.pyi and full.pyi

INTEGERS = ("int", "unsigned int", "long long", "unsigned long long", "unsigned short")
SCALAR_ANNOTATIONS = {
    **dict.fromkeys(INTEGERS, "int"),
    "float": "float",
    "double": "float",
    "MKL_Complex8": "_ComplexInit",
    "MKL_Complex16": "_ComplexInit",
    vml.CALLBACK.typedef: "_CData",
    "void": "None",
}


def annotation(ctype: str) -> str:
    """What Python may pass for a parameter of this C type."""
    if ctype in SCALAR_ANNOTATIONS:
        return SCALAR_ANNOTATIONS[ctype]
    element = pointee(ctype)
    if ctype.endswith(" const *") or element in INTEGERS:
        # Read by MKL: cdata, or a sequence the call copies into a scratch buffer.
        item = {"float": "float", "double": "float"}.get(element, SCALAR_ANNOTATIONS[element])
        return f"_CData | Sequence[{item}]"
    return "_CData"  # written by MKL: a list would receive nothing


MODULE_HEADER = '''"""Type stubs of {module}: MKL's types and VML functions.

{generated}
"""

from collections.abc import Callable, Sequence
from typing import Any, TypeAlias

class _CData:
    """A cffi cdata object: a pointer, an array, a struct or a function pointer."""

    def __getitem__(self, index: Any) -> Any: ...
    def __setitem__(self, index: Any, value: Any) -> None: ...
    def __getattr__(self, name: str) -> Any: ...
    def __setattr__(self, name: str, value: Any) -> None: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Any: ...
    def __int__(self) -> int: ...
    def __float__(self) -> float: ...
    def __bool__(self) -> bool: ...

class _CType:
    """A cffi C type."""

    kind: str
    cname: str

_CDecl: TypeAlias = str | _CType
# A complex scalar by value: a struct cdata, (real, imag), or {{"real": ..., "imag": ...}}.
_ComplexInit: TypeAlias = _CData | Sequence[float] | dict[str, float]

class FFI:
    CData: type[_CData]
    CType: type[_CType]
    NULL: _CData
    error: type[Exception]
    errno: int
    RTLD_DEEPBIND: int
    RTLD_GLOBAL: int
    RTLD_LAZY: int
    RTLD_LOCAL: int
    RTLD_NODELETE: int
    RTLD_NOLOAD: int
    RTLD_NOW: int
    def new(self, cdecl: _CDecl, init: Any = ...) -> _CData: ...
    def cast(self, cdecl: _CDecl, value: Any) -> _CData: ...
    def from_buffer(
        self, cdecl: _CDecl, python_buffer: Any = ..., require_writable: bool = False
    ) -> _CData: ...
    def buffer(self, cdata: _CData, size: int = -1) -> Any: ...
    def typeof(self, cdecl: _CDecl | _CData | Callable[..., Any]) -> _CType: ...
    def sizeof(self, cdecl: _CDecl | _CData) -> int: ...
    def alignof(self, cdecl: _CDecl) -> int: ...
    def offsetof(self, cdecl: _CDecl, *fields_or_indexes: str | int) -> int: ...
    def addressof(self, cdata: _CData, *fields_or_indexes: str | int) -> _CData: ...
    def getctype(self, cdecl: _CDecl, replace_with: str = "") -> str: ...
    def string(self, cdata: _CData, maxlen: int = -1) -> bytes | str: ...
    def unpack(self, cdata: _CData, length: int) -> bytes | str | list[Any]: ...
    def memmove(self, dest: Any, src: Any, n: int) -> None: ...
    def callback(
        self,
        cdecl: _CDecl,
        python_callable: Callable[..., Any] | None = None,
        error: Any = None,
        onerror: Callable[..., Any] | None = None,
    ) -> Any: ...
    def def_extern(self, name: str = ..., error: Any = ..., onerror: Any = ...) -> Any: ...
    def gc(self, cdata: _CData, destructor: Callable[[_CData], Any], size: int = 0) -> _CData: ...
    def release(self, cdata: _CData) -> None: ...
    def new_allocator(
        self,
        alloc: Callable[[int], Any] | None = None,
        free: Callable[[Any], Any] | None = None,
        should_clear_after_alloc: bool = True,
    ) -> Callable[..., _CData]: ...
    def new_handle(self, python_object: object) -> _CData: ...
    def from_handle(self, handle: _CData) -> Any: ...
    def integer_const(self, name: str) -> int: ...
    def init_once(self, func: Callable[[], Any], tag: Any) -> Any: ...
    def list_types(self) -> tuple[list[str], list[str], list[str]]: ...
    def dlopen(self, name: str | None, flags: int = ...) -> Any: ...
    def dlclose(self, lib: Any) -> None: ...

class _Lib:
    """The {count} VML functions of mkl_rt, each under its exact MKL name."""

'''


def module_stub(catalogue: Catalogue, source: str) -> str:
    lines = [
        MODULE_HEADER.format(
            module=catalogue.module,
            generated=GENERATED.format(source=source),
            count=len(catalogue.functions),
        )
    ]
    for f in sorted(catalogue.functions, key=lambda f: f.name.encode()):
        names = f.param_names
        assert len(names) == len(f.params), f.name
        params = "".join(f", {n}: {annotation(t)}" for n, t in zip(names, f.params, strict=True))
        slash = ", /" if f.params else ""
        lines.append(f"    def {f.name}(self{params}{slash}) -> {annotation(f.result)}: ...\n")
    lines.append("\nffi: FFI\nlib: _Lib\n")
    return "".join(lines)


# ---------------------------------------------------------------------------
# _vml_operations.py


def operations_module(ops: list[operations.Operation]) -> str:
    lines = [
        '"""One record per VML operation: its parameters, and per precision the dtypes and\n',
        "the MKL functions behind it (contiguous, strided, and their mode variants).\n\n",
        GENERATED.format(source="MKL's mkl_vml_functions.h") + "\n",
        '"""\n\n',
        "OPERATIONS = {\n",
    ]
    for op in ops:
        lines.append(f"    {op.name!r}: {{\n")
        lines.append(f"        'parameters': {tuple((p.name, p.role) for p in op.parameters)!r},\n")
        lines.append("        'variants': {\n")
        for v in op.variants:
            record = {
                "dtypes": v.dtypes,
                "function": v.function,
                "strided": v.strided,
                "mode": v.mode,
                "mode_strided": v.mode_strided,
            }
            lines.append(f"            {v.precision!r}: {record!r},\n")
        lines.append("        },\n    },\n")
    lines.append("}\n\n")
    lines.append("# Loops numpy_uses_mkl() leaves as NumPy's: (operation, precisions) -> why.\n")
    lines.append("NUMPY_KEEPS = {\n")
    for name, policy in operations.POLICIES.items():
        for precisions, why in policy.numpy_keeps.items():
            lines.append(f"    {(name, precisions)!r}: {why!r},\n")
    lines.append("}\n")
    return "".join(lines)


# ---------------------------------------------------------------------------
# _vml_defines.py

DEFINE = re.compile(r"^#define\s+VML_(\w+)\s+(.*)$")


def header_constants(header: str) -> dict[str, int]:
    """The VML_* macros of mkl_vml_defines.h with their values, in header order.

    The 64-bit duplicates (``VML_HA_64``) are left out; composite macros such as
    ``VML_ERRMODE_DEFAULT`` are evaluated from the macros they combine.
    """
    joined = re.sub(r"\\\n", " ", header)
    constants: dict[str, int] = {}
    for line in joined.splitlines():
        match = DEFINE.match(line.strip())
        if not match or match.group(1).endswith("_64"):
            continue
        name, expression = match.group(1), match.group(2).split("//")[0].strip()
        constants[name] = evaluate(expression.replace("VML_", ""), constants)
    return constants


def evaluate(expression: str, known: dict[str, int]) -> int:
    """Integer literals, known names, unary minus, | and parentheses; nothing else."""

    def value(node: ast.expr) -> int:
        if isinstance(node, ast.Constant) and isinstance(node.value, int):
            return node.value
        if isinstance(node, ast.Name) and node.id in known:
            return known[node.id]
        if isinstance(node, ast.UnaryOp) and isinstance(node.op, ast.USub):
            return -value(node.operand)
        if isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr):
            return value(node.left) | value(node.right)
        raise ValueError(f"unexpected macro value {expression!r}")

    return value(ast.parse(expression, mode="eval").body)


def defines_module(constants: dict[str, int]) -> str:
    lines = [
        '"""VML mode and status constants, named as in mkl_vml_defines.h without "VML_".\n\n',
        GENERATED.format(source="MKL's mkl_vml_defines.h") + "\n",
        '"""\n\n',
    ]
    for name, number in constants.items():
        literal = str(number) if name.startswith("STATUS_") else f"0x{number:08X}"
        lines.append(f"{name} = {literal}\n")
    return "".join(lines)


# ---------------------------------------------------------------------------
# vml.pyi

VML_HEADER = '''"""Type stubs of quorvex.mkl.vml.

{generated}
"""

from types import TracebackType
from typing import Any, Literal as L

import numpy as np
from numpy import errstate as errstate
from numpy._typing import _UFunc_Nin1_Nout1, _UFunc_Nin1_Nout2, _UFunc_Nin2_Nout1
from numpy.typing import ArrayLike, DTypeLike, NDArray

from ._mode import (
    describe_mode as describe_mode,
    get_mode as get_mode,
    mode as mode,
    set_mode as set_mode,
)
from ._vml_defines import *

OPERATIONS: tuple[str, ...]
UFUNCS: dict[str, np.ufunc]
NUMPY_EQUIVALENTS: dict[str, str]

class numpy_uses_mkl:
    def __init__(self, *numpy_names: str) -> None: ...
    def __enter__(self) -> numpy_uses_mkl: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...
'''

# NumPy's identity of each ufunc, as its stubs spell it.
IDENTITY_TYPES = {"PyUFunc_Zero": "L[0]", "PyUFunc_One": "L[1]"}


def ufunc_annotation(op: operations.Operation, ntypes: int) -> str:
    """The type NumPy's own stubs give a ufunc of this shape, or np.ufunc where they have none."""
    nin = len(op.names("in") + op.names("scalar"))
    nout = len(op.names("out"))
    generic = {
        (1, 1): "_UFunc_Nin1_Nout1",
        (2, 1): "_UFunc_Nin2_Nout1",
        (1, 2): "_UFunc_Nin1_Nout2",
    }
    if (nin, nout) not in generic:
        return "np.ufunc"
    identity = IDENTITY_TYPES.get(operations.policy(op.name).identity, "None")
    return f"{generic[nin, nout]}[L[{op.name!r}], L[{ntypes}], {identity}]"


def ntypes(op: operations.Operation) -> int:
    return len(op.variants) + op.float16


PACK_SELECTOR = {"i": "stride: int", "v": "index: ArrayLike", "m": "mask: ArrayLike"}


def vml_stub(ops: list[operations.Operation]) -> str:
    lines = [VML_HEADER.format(generated=GENERATED.format(source="MKL's mkl_vml_functions.h"))]
    ufunc_lines = []
    for op in ops:
        if op.elementwise:
            ufunc_lines.append(f"{op.name}: {ufunc_annotation(op, ntypes(op))}")
        else:
            selector = PACK_SELECTOR[op.name[-1]]
            lines.append(
                f"def {op.name}(a: ArrayLike, {selector}, /, out: NDArray[Any] | None = None, "
                "*, dtype: DTypeLike | None = None) -> NDArray[Any]: ..."
            )
    lines += ["", *ufunc_lines, "", "class _OneAccuracy:"]
    lines += [f"    {line}" for line in ufunc_lines]
    lines += ["", "ha: _OneAccuracy", "la: _OneAccuracy", "ep: _OneAccuracy"]
    return "\n".join(lines) + "\n"


# ---------------------------------------------------------------------------


def main(argv: list[str]) -> int:
    out, full_catalogue, header = Path(argv[1]), Path(argv[2]), Path(argv[3])
    out.mkdir(parents=True, exist_ok=True)
    full = declarations.from_json(full_catalogue.read_text())
    ops = operations.operations(full)
    files = {
        "lorimath.pyi": module_stub(vml.CATALOGUE, "catalogue/vml.py"),
        "full.pyi": module_stub(full, "MKL's mkl_vml_functions.h"),
        "_vml_operations.py": operations_module(ops),
        "_vml_defines.py": defines_module(header_constants(header.read_text())),
        "vml.pyi": vml_stub(ops),
    }
    for name, text in files.items():
        write_if_changed(out / name, text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
