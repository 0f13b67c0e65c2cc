"""Lays out the type context from the catalogue and writes it as table rows.

Run by the build: ``python generate.py OUTDIR``.  Every file it writes holds
rows of data only (macro invocations with a trailing ``// name`` comment); the
C++ that gives the rows meaning is hand-written under typecontext/ and
wrappers/.  A file is rewritten only when its content changes.
"""

from __future__ import annotations

import sys
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from catalogue import vml

OP_PRIMITIVE, OP_POINTER, OP_ARRAY, OP_STRUCT_UNION = 1, 3, 5, 9
OP_FUNCTION, OP_FUNCTION_END, OP_NOOP = 13, 15, 17
KIND_BY_ARITY = {0: 25, 1: 27}  # anything with two or more parameters: 23
KIND_TUPLE = 23
KIND_NAMES = {23: "QV_TUPLE_KIND", 25: "QV_NO_ARGUMENT_KIND", 27: "QV_ONE_ARGUMENT_KIND"}

# Order of the function types: grouped by result, then by the spelled parameter list.
RESULT_ORDER = ("int", vml.CALLBACK_TYPEDEF, "unsigned int", "void")
# Types that no parameter list contains get their canonical entries last, in this order.
TRAILING_ORDER = ("DefVmlErrorContext", "MKLVersion", "char *", "char", "char[64]", "void")
# MKL's header gives the Fortran-interface names a trailing underscore on this platform.
FORTRAN_SYMBOL_SUFFIX = "_"

STRUCT_BY_TYPEDEF = {s.typedef: s for s in vml.STRUCTS}
SIZE_ALIGN = {
    "int": (4, 4),
    "unsigned int": (4, 4),
    "float": (4, 4),
    "double": (8, 8),
    "char": (1, 1),
}
POINTER_SIZE = 8


def is_pointer(ctype: str) -> bool:
    return ctype.endswith("*") or ctype == vml.CALLBACK_TYPEDEF


def pointee(ctype: str) -> str:
    return ctype[: -len(" *")].removesuffix(" const")


def spell_params(params: tuple[str, ...]) -> str:
    return "(" + (", ".join(params) if params else "void") + ")"


@dataclass
class Layout:
    words: list[tuple[int, int | str]]  # (opcode, argument) or (0, length) for the length word
    comments: list[str]
    canonical: dict[str, int]
    function_types: dict[tuple[str, tuple[str, ...]], int]
    struct_order: list[vml.Struct]
    field_rows: list[tuple[vml.Struct, vml.Field, int, int, str]]
    struct_layout: dict[str, tuple[int, int]]
    globals: list[tuple[vml.Function, int, int]]  # function, kind, function type


def c_layout(ctype: str) -> tuple[int, int]:
    if ctype.endswith("*"):
        return POINTER_SIZE, POINTER_SIZE
    if ctype.startswith("char["):
        return int(ctype[5:-1]), 1
    if ctype in STRUCT_BY_TYPEDEF:
        return struct_layout(STRUCT_BY_TYPEDEF[ctype])[-1]
    return SIZE_ALIGN[ctype]


def struct_layout(struct: vml.Struct) -> tuple[list[tuple[int, int]], tuple[int, int]]:
    """Offsets and sizes of the members under the standard C layout, then (size, alignment)."""
    offset, alignment, members = 0, 1, []
    for field in struct.fields:
        size, align = c_layout(field.ctype)
        offset = -(-offset // align) * align
        members.append((offset, size))
        offset += size
        alignment = max(alignment, align)
    return members, (-(-offset // alignment) * alignment, alignment)


def lay_out(functions: list[vml.Function]) -> Layout:
    signatures = {(f.result, f.params) for f in functions}
    callback_type = (vml.CALLBACK_RESULT, vml.CALLBACK_PARAMS)
    signatures.add(callback_type)
    ordered = sorted(
        signatures, key=lambda s: (RESULT_ORDER.index(s[0]), spell_params(s[1]).encode())
    )
    assert ordered[0] == callback_type, "the callback's function type must come first"

    # First pass: positions, with references left symbolic.
    slots: list[tuple[str, object]] = []
    canonical: dict[str, int] = {}
    function_types: dict[tuple[str, tuple[str, ...]], int] = {}
    for result, params in ordered:
        function_types[(result, params)] = len(slots)
        slots.append(("function", (result, params)))
        for ctype in params:
            if ctype not in canonical:
                canonical[ctype] = len(slots)
                slots.append(("canonical", ctype))
            elif ctype in vml.PRIMITIVES:
                slots.append(("primitive", ctype))
            else:
                slots.append(("noop", ctype))
        slots.append(("end", None))
    for ctype in TRAILING_ORDER:
        assert ctype not in canonical, f"{ctype} occurs as a parameter; it cannot trail"
        canonical[ctype] = len(slots)
        slots.append(("canonical", ctype))
        if ctype.startswith("char["):
            slots.append(("length", int(ctype[5:-1])))

    struct_order = sorted(vml.STRUCTS, key=lambda s: (s.tag or "$" + s.typedef).encode())
    struct_position = {s.typedef: i for i, s in enumerate(struct_order)}
    callback_index = function_types[callback_type]

    def canonical_word(ctype: str) -> tuple[int, int]:
        if ctype in vml.PRIMITIVES:
            return OP_PRIMITIVE, vml.PRIMITIVES[ctype]
        if ctype in STRUCT_BY_TYPEDEF:
            return OP_STRUCT_UNION, struct_position[ctype]
        if ctype == vml.CALLBACK_TYPEDEF:
            return OP_POINTER, callback_index
        if ctype.startswith("char["):
            return OP_ARRAY, canonical["char"]
        assert ctype.endswith("*"), f"unknown C type {ctype!r}"
        return OP_POINTER, canonical[pointee(ctype)]

    words: list[tuple[int, int | str]] = []
    comments: list[str] = []
    for kind, value in slots:
        if kind == "function":
            result, params = value  # type: ignore[misc]
            words.append((OP_FUNCTION, canonical[result]))
            comments.append(f"{result} {spell_params(params)}")
        elif kind == "end":
            words.append((OP_FUNCTION_END, 0))
            comments.append("end")
        elif kind == "length":
            words.append((0, value))  # type: ignore[arg-type]
            comments.append("length of the array above")
        elif kind == "noop":
            words.append((OP_NOOP, canonical[value]))  # type: ignore[index]
            comments.append(str(value))
        else:  # canonical entry or a primitive written out again
            words.append(canonical_word(value))  # type: ignore[arg-type]
            comments.append(str(value))

    field_rows, layouts = [], {}
    for struct in struct_order:
        members, layouts[struct.typedef] = struct_layout(struct)
        for field, (offset, size) in zip(struct.fields, members, strict=True):
            field_rows.append((struct, field, offset, size, field.ctype))

    global_rows = []
    for f in sorted(functions, key=lambda f: f.name.encode()):
        kind = KIND_BY_ARITY.get(len(f.params), KIND_TUPLE)
        global_rows.append((f, kind, function_types[(f.result, f.params)]))

    layout = Layout(
        words, comments, canonical, function_types, struct_order, field_rows, layouts, global_rows
    )
    check(layout)
    return layout


def check(layout: Layout) -> None:
    """The invariants the backend and the call wrappers rely on; the build stops if one fails."""
    names = [f.name for f, _, _ in layout.globals]
    assert len(set(names)) == len(names), "duplicate function names"
    assert names == sorted(names, key=str.encode), "globals must be in byte order"
    for name in names:
        assert 4 <= len(name) <= 21 and name.isascii() and name.isalnum(), name
    for opcode, arg in layout.words:
        if opcode == OP_NOOP:
            assert layout.words[arg][0] in (OP_POINTER, OP_STRUCT_UNION), (
                "NOOP must lead to a canonical entry"
            )
    assert len(layout.canonical) == len(set(layout.canonical.values())), (
        "a position is canonical twice"
    )
    table_names = [(s.tag or "$" + s.typedef).encode() for s in layout.struct_order]
    assert table_names == sorted(table_names)


def symbol_of(f: vml.Function) -> str:
    return f.name + FORTRAN_SYMBOL_SUFFIX if f.fortran else f.name


def arg_spelling(ctype: str, canonical: dict[str, int]) -> str:
    if ctype in vml.PRIMITIVES:
        return f"Arg<{ctype}>"
    return f"Arg<{ctype}, {canonical[ctype]}>"


def result_spelling(ctype: str, canonical: dict[str, int]) -> str:
    if ctype in vml.PRIMITIVES:
        return f"Result<{ctype}>"
    return f"Result<{ctype}, {canonical[ctype]}>"


OPCODE_NAMES = {
    OP_PRIMITIVE: "_CFFI_OP_PRIMITIVE",
    OP_POINTER: "_CFFI_OP_POINTER",
    OP_ARRAY: "_CFFI_OP_ARRAY",
    OP_STRUCT_UNION: "_CFFI_OP_STRUCT_UNION",
    OP_FUNCTION: "_CFFI_OP_FUNCTION",
    OP_FUNCTION_END: "_CFFI_OP_FUNCTION_END",
    OP_NOOP: "_CFFI_OP_NOOP",
}


def file_text(what: str, rows: list[str]) -> str:
    header = [
        f"// Generated by typecontext/generate.py from catalogue/vml.py: {what}.",
        "// Do not edit; change the catalogue and rebuild.",
    ]
    return "\n".join(header + rows) + "\n"


def render(layout: Layout) -> dict[str, str]:
    c = layout.canonical
    type_rows = []
    for index, ((opcode, arg), comment) in enumerate(
        zip(layout.words, layout.comments, strict=True)
    ):
        if opcode == 0:
            type_rows.append(f"QV_LENGTH_WORD({arg}),  // {index}: {comment}")
        else:
            type_rows.append(f"QV_TYPE_WORD({OPCODE_NAMES[opcode]}, {arg}),  // {index}: {comment}")

    struct_rows = []
    for struct in layout.struct_order:
        first = next(i for i, row in enumerate(layout.field_rows) if row[0] is struct)
        size, align = layout.struct_layout[struct.typedef]
        table_name = struct.tag or "$" + struct.typedef
        struct_rows.append(
            f'QV_STRUCT("{table_name}", {struct.typedef}, {c[struct.typedef]}, {size}, {align}, '
            f"{first}, {len(struct.fields)})  // {struct.typedef}"
        )
    field_rows = [
        f"QV_FIELD({s.typedef}, {f.name}, {offset}, {size}, {c[ctype]})  // {s.typedef}.{f.name}"
        for s, f, offset, size, ctype in layout.field_rows
    ]
    typedefs = sorted([s.typedef for s in vml.STRUCTS] + [vml.CALLBACK_TYPEDEF], key=str.encode)
    typename_rows = [f'QV_TYPENAME("{t}", {c[t]})  // {t}' for t in typedefs]

    function_type_rows = []
    for (result, params), index in sorted(layout.function_types.items(), key=lambda item: item[1]):
        spelled = [result_spelling(result, c)] + [arg_spelling(p, c) for p in params]
        function_type_rows.append(
            f"QV_FUNCTION_TYPE({index}, {', '.join(spelled)})  // {result} {spell_params(params)}"
        )
    global_rows = [
        f'QV_GLOBAL("{f.name}", {symbol_of(f)}, {KIND_NAMES[kind]}, {ftype})  // {i}: {f.name}'
        for i, (f, kind, ftype) in enumerate(layout.globals)
    ]
    return {
        "type_table.inc": file_text("the type table, one opcode word a row", type_rows),
        "struct_tables.inc": file_text(
            "struct/union, field and typename rows",
            guarded("QV_STRUCT", struct_rows)
            + guarded("QV_FIELD", field_rows)
            + guarded("QV_TYPENAME", typename_rows),
        ),
        "function_types.inc": file_text(
            "one row a function type, naming its wrapper pattern", function_type_rows
        ),
        "global_table.inc": file_text("the name-sorted global table", global_rows),
    }


def guarded(macro: str, rows: list[str]) -> list[str]:
    """Rows that only a file defining `macro` sees, so one file can feed several tables."""
    return [f"#ifdef {macro}", *rows, "#endif"]


def write_if_changed(path: Path, text: str) -> None:
    if not path.exists() or path.read_text() != text:
        path.write_text(text)


def main(argv: list[str]) -> int:
    out = Path(argv[1])
    out.mkdir(parents=True, exist_ok=True)
    for name, text in render(lay_out(vml.functions())).items():
        write_if_changed(out / name, text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
