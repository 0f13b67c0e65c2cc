"""The catalogue of quorvex.mkl.full: every VML function MKL's header declares and mkl_rt exports.

Run by the build from the repository root:
``python -m catalogue.mkl_header OUT.json MKL_INCLUDE_DIR COMPILER LIBMKL_RT``
writes the catalogue for the later stages and lists what it leaves out.

MKL declares each function through one of three macros, ``_Mkl_Vml_Api`` for the C
interface and ``_mkl_vml_api`` / ``_MKL_VML_API`` for the lower- and upper-case Fortran
names. The build defines the three to mark each declaration with its interface, runs the
C preprocessor over ``mkl_vml_functions.h`` and reads the result with pycparser. Every
C type then maps onto the catalogue's closed vocabulary; a declaration that does not map
stops the build with its name and line.

A declared name that the given mkl_rt does not export (the half-precision ``vh``
functions, say) is left out and reported, never stubbed.
"""

from __future__ import annotations

import ctypes
import re
import subprocess
import sys
import textwrap
from dataclasses import dataclass
from pathlib import Path

from pycparser import c_ast, c_parser

from .declarations import PRIMITIVES, Callback, Catalogue, Field, Function, Struct, pointee, to_json

MODULE = "quorvex.mkl.full"

# Each macro leaves a pragma naming its interface in front of its declaration.
INTERFACE_MACROS = {"_Mkl_Vml_Api": "c", "_mkl_vml_api": "lower", "_MKL_VML_API": "upper"}
PRELUDE = (
    "".join(
        f"#define {macro}(rtype, name, arg) "
        f'_Pragma("quorvex interface {interface}") rtype name arg;\n'
        for macro, interface in INTERFACE_MACROS.items()
    )
    + "#include <mkl_vml_functions.h>\n"
)

# MKL's type names as the preprocessor leaves them, in the catalogue's vocabulary.
SPELLINGS = {
    "void": "void",
    "char": "char",
    "unsigned short": "unsigned short",  # MKL_F16
    "int": "int",  # MKL_INT in the 32-bit (LP64) interface
    "unsigned int": "unsigned int",  # MKL_UINT
    "long long int": "long long",  # MKL_INT64
    "unsigned long long int": "unsigned long long",  # MKL_UINT64
    "float": "float",
    "double": "double",
}
assert set(SPELLINGS.values()) <= set(PRIMITIVES)
CALLBACK_TYPEDEF = "VMLErrorCallBack"

# v, then m for a mode variant, then the precision and the operation; the strided forms
# end in "I" and the forms with 64-bit counts in "_64".
C_NAME = re.compile(r"v(?P<mode>m?)(?P<precision>[sdczh])(?P<base>[A-Z0-9]\w*?)(?:_64)?")


class CatalogueError(Exception):
    """A declaration the catalogue cannot describe; the build stops on it."""


@dataclass(frozen=True)
class Declaration:
    function: Function
    interface: str  # "c", "lower" or "upper"
    line: int


def preprocess(header_dir: Path, compiler: str) -> str:
    """mkl_vml_functions.h after the C preprocessor, with its line markers."""
    result = subprocess.run(
        [compiler, "-E", "-x", "c", "-I", str(header_dir), "-"],
        input=PRELUDE,
        capture_output=True,
        text=True,
        check=False,
    )
    if result.returncode:
        raise CatalogueError(f"the preprocessor failed on mkl_vml_functions.h:\n{result.stderr}")
    return result.stdout


def where(node: c_ast.Node) -> str:
    return f"{Path(node.coord.file).name}:{node.coord.line}"


class Header:
    """The preprocessed header, read into the catalogue's records."""

    def __init__(self, text: str) -> None:
        self.tree = c_parser.CParser().parse(text, "mkl_vml_functions.h")
        self.typedefs = {n.name: n for n in self.tree.ext if isinstance(n, c_ast.Typedef)}

    def is_struct(self, name: str) -> bool:
        typedef = self.typedefs.get(name)
        return typedef is not None and isinstance(typedef.type.type, c_ast.Struct)

    def spelling(self, node: c_ast.Node, context: str) -> str:
        """A C type in the catalogue's vocabulary: a primitive, a struct's typedef, the
        error callback, or a pointer to one of them (arrays as parameters are pointers)."""
        if isinstance(node, (c_ast.PtrDecl, c_ast.ArrayDecl)) and isinstance(
            node.type, c_ast.TypeDecl
        ):
            const = " const" if "const" in node.type.quals else ""
            return f"{self.spelling(node.type, context)}{const} *"
        if isinstance(node, c_ast.TypeDecl) and isinstance(node.type, c_ast.IdentifierType):
            name = " ".join(node.type.names)
            if name in SPELLINGS:
                return SPELLINGS[name]
            if name == CALLBACK_TYPEDEF or self.is_struct(name):
                return name
            raise CatalogueError(f"{where(node)}: {context} has the unknown C type {name!r}")
        raise CatalogueError(f"{where(node)}: {context} has a type the catalogue cannot map")

    def declarations(self) -> list[Declaration]:
        """Every function declaration, in header order."""
        found, interface = [], None
        for node in self.tree.ext:
            if isinstance(node, c_ast.Pragma) and node.string.startswith("quorvex interface "):
                interface = node.string.split()[-1]
            elif isinstance(node, c_ast.Decl) and isinstance(node.type, c_ast.FuncDecl):
                if interface is None:
                    raise CatalogueError(
                        f"{where(node)}: {node.name} is not declared by MKL's macros"
                    )
                found.append(
                    Declaration(self.function(node, interface), interface, node.coord.line)
                )
                interface = None
        return found

    def function(self, node: c_ast.Decl, interface: str) -> Function:
        params = list(node.type.args.params) if node.type.args else []
        if len(params) == 1 and self.spelling(params[0].type, node.name) == "void":
            params = []
        types = tuple(
            self.spelling(p.type, f"{node.name}, parameter {i + 1}") for i, p in enumerate(params)
        )
        names = tuple(p.name or f"arg{i + 1}" for i, p in enumerate(params))
        result = self.spelling(node.type.type, f"the result of {node.name}")
        match = C_NAME.fullmatch(node.name) if interface == "c" else None
        service = node.name.lower().startswith("vml")
        return Function(
            name=node.name,
            result=result,
            params=types,
            param_names=names,
            fortran=interface != "c",
            base=match["base"] if match else node.name[3:] if service else "",
            precision=match["precision"] if match else "",
            family="service" if service else "",
            mode_variant=bool(match and match["mode"]),
        )

    def struct(self, name: str) -> Struct:
        declared = self.typedefs[name].type.type
        fields = []
        for member in declared.decls:
            context = f"{name}.{member.name}"
            if isinstance(member.type, c_ast.ArrayDecl):
                element = self.spelling(member.type.type, context)
                ctype = f"{element}[{int(member.type.dim.value, 0)}]"
            else:
                ctype = self.spelling(member.type, context)
            fields.append(Field(member.name, ctype))
        return Struct(name, declared.name, tuple(fields))

    def callback(self) -> Callback:
        function_type = self.typedefs[CALLBACK_TYPEDEF].type.type
        return Callback(
            CALLBACK_TYPEDEF,
            self.spelling(function_type.type, CALLBACK_TYPEDEF),
            tuple(self.spelling(p.type, CALLBACK_TYPEDEF) for p in function_type.args.params),
        )


def exported(declarations: list[Declaration], library: Path) -> tuple[list, list]:
    """(the declarations mkl_rt exports, those it does not)."""
    mkl_rt = ctypes.CDLL(str(library))
    kept, left_out = [], []
    for declaration in declarations:
        try:
            getattr(mkl_rt, declaration.function.symbol)
        except AttributeError:
            left_out.append(declaration)
        else:
            kept.append(declaration)
    return kept, left_out


def catalogue(header_dir: Path, compiler: str, library: Path) -> tuple[Catalogue, list]:
    """The full module's catalogue, and the declarations left out because mkl_rt lacks them."""
    header = Header(preprocess(header_dir, compiler))
    declarations = header.declarations()
    names = [d.function.name for d in declarations]
    duplicates = sorted({n for n in names if names.count(n) > 1})
    if duplicates:
        raise CatalogueError(f"mkl_vml_functions.h declares {', '.join(duplicates)} twice")
    kept, left_out = exported(declarations, library)
    functions = tuple(d.function for d in kept)
    error_callback = header.callback()
    used = {pointee(t) for f in functions for t in (f.result, *f.params)}
    if error_callback.typedef in used:
        used |= {pointee(t) for t in error_callback.params}
    return (
        Catalogue(
            module=MODULE,
            functions=functions,
            structs=tuple(header.struct(name) for name in sorted(used) if header.is_struct(name)),
            callback=error_callback,
            result_order=(
                "int", "long long", CALLBACK_TYPEDEF, "unsigned int", "unsigned long long", "void",
            ),
            trailing_types=(),
        ),
        left_out,
    )  # fmt: skip


def main(argv: list[str]) -> int:
    out, header_dir, compiler, library = Path(argv[1]), Path(argv[2]), argv[3], Path(argv[4])
    try:
        full, left_out = catalogue(header_dir, compiler, library)
    except CatalogueError as error:
        print(f"catalogue/mkl_header.py: {error}", file=sys.stderr)
        return 1
    if left_out:
        names = ", ".join(d.function.name for d in left_out)
        print(
            f"{len(left_out)} declarations of mkl_vml_functions.h are not exported by "
            f"{library.name} and are left out of {full.module}:\n"
            + textwrap.fill(names, 100, initial_indent="  ", subsequent_indent="  ")
        )
    text = to_json(full)
    if not out.exists() or out.read_text() != text:
        out.parent.mkdir(parents=True, exist_ok=True)
        out.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
