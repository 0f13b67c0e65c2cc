"""Lays out one module's type context from its catalogue and writes it as table rows.

Run by the build, once per extension module:

    python -m generators.type_context lorimath OUTDIR
    python -m generators.type_context CATALOGUE.json OUTDIR

The first lays out the contract catalogue (catalogue/vml.py); the second a catalogue that
catalogue/mkl_header.py read from MKL's header (quorvex.mkl.full). Every file written holds
rows of data only, macro invocations with a trailing ``// name`` comment that name
cffi's opcodes and primitives and MKL's types; the C++ under typecontext/, wrappers/ and
module/ gives them meaning, and the compiler supplies every number it knows itself
(sizes, offsets, opcode values, call kinds). A file is rewritten only when it changed.
"""

from __future__ import annotations

import sys
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

from catalogue import declarations
from catalogue.declarations import Catalogue, Function, pointee

from .output import DO_NOT_EDIT, generated_by, write_if_changed

# cffi's primitive code for each primitive of the catalogue's vocabulary.
PRIMITIVE_CODES = {
    "void": "_CFFI_PRIM_VOID",
    "char": "_CFFI_PRIM_CHAR",
    "unsigned short": "_CFFI_PRIM_USHORT",
    "int": "_CFFI_PRIM_INT",
    "unsigned int": "_CFFI_PRIM_UINT",
    "long long": "_CFFI_PRIM_LONGLONG",
    "unsigned long long": "_CFFI_PRIM_ULONGLONG",
    "float": "_CFFI_PRIM_FLOAT",
    "double": "_CFFI_PRIM_DOUBLE",
}
assert PRIMITIVE_CODES.keys() == set(declarations.PRIMITIVES)


def spell_params(params: tuple[str, ...]) -> str:
    return "(" + (", ".join(params) if params else "void") + ")"


def array_length(ctype: str) -> int | None:
    """64 for "char[64]"; None for any other type."""
    if ctype.endswith("]"):
        return int(ctype[ctype.index("[") + 1 : -1])
    return None


Signature = tuple[str, tuple[str, ...]]  # (result, parameters)
Slot = tuple[str, object]  # (kind, C type or signature), references left symbolic


@dataclass
class Layout:
    words: list[tuple[str, str | int]]  # (opcode name, argument), or ("length", n)
    comments: list[str]
    canonical: dict[str, int]  # C type -> index of its canonical entry
    function_types: dict[Signature, int]
    struct_order: list[declarations.Struct]
    globals: list[tuple[Function, int]]  # function, index of its function type


def lay_out(catalogue: Catalogue) -> Layout:
    slots, canonical, function_types = place(ordered_signatures(catalogue), catalogue)
    struct_order = sorted(catalogue.structs, key=lambda s: s.table_name.encode())
    word_of = canonical_words(catalogue, canonical, function_types, struct_order)
    words, comments = spell_slots(slots, canonical, word_of)
    global_rows = [
        (f, function_types[(f.result, f.params)])
        for f in sorted(catalogue.functions, key=lambda f: f.name.encode())
    ]
    layout = Layout(words, comments, canonical, function_types, struct_order, global_rows)
    check(layout, catalogue)
    return layout


def ordered_signatures(catalogue: Catalogue) -> list[Signature]:
    """Every function type, by result (the catalogue's order first) and then by spelling;
    the callback's comes first, since the callback typedef points at it."""
    callback_type = (catalogue.callback.result, catalogue.callback.params)
    signatures = {(f.result, f.params) for f in catalogue.functions} | {callback_type}

    def result_rank(result: str) -> tuple[int, bytes]:
        order = catalogue.result_order
        return (order.index(result), b"") if result in order else (len(order), result.encode())

    ordered = sorted(signatures, key=lambda s: (result_rank(s[0]), spell_params(s[1]).encode()))
    ordered.remove(callback_type)
    ordered.insert(0, callback_type)
    return ordered


def place(
    ordered: list[Signature], catalogue: Catalogue
) -> tuple[list[Slot], dict[str, int], dict[Signature, int]]:
    """The positions of every word: the function types with their parameters, each C type's
    canonical entry where it is first met, then the types no parameter list holds."""
    slots: list[Slot] = []
    canonical: dict[str, int] = {}
    function_types: dict[Signature, int] = {}
    for result, params in ordered:
        function_types[(result, params)] = len(slots)
        slots.append(("function", (result, params)))
        for ctype in params:
            if ctype not in canonical:
                canonical[ctype] = len(slots)
                slots.append(("canonical", ctype))
            elif ctype in PRIMITIVE_CODES:
                slots.append(("primitive", ctype))
            else:
                slots.append(("noop", ctype))
        slots.append(("end", None))

    struct_by_typedef = {s.typedef: s for s in catalogue.structs}
    for ctype in trailing_types(catalogue, canonical, struct_by_typedef):
        canonical[ctype] = len(slots)
        slots.append(("canonical", ctype))
        if array_length(ctype) is not None:
            slots.append(("length", array_length(ctype)))
    return slots, canonical, function_types


def canonical_words(
    catalogue: Catalogue,
    canonical: dict[str, int],
    function_types: dict[Signature, int],
    struct_order: list[declarations.Struct],
) -> Callable[[str], tuple[str, str | int]]:
    """The word of a C type's canonical entry (or of a primitive written out again)."""
    callback = catalogue.callback
    struct_position = {s.typedef: i for i, s in enumerate(struct_order)}
    callback_index = function_types[(callback.result, callback.params)]

    def word(ctype: str) -> tuple[str, str | int]:
        if ctype in PRIMITIVE_CODES:
            return "_CFFI_OP_PRIMITIVE", PRIMITIVE_CODES[ctype]
        if ctype in struct_position:
            return "_CFFI_OP_STRUCT_UNION", struct_position[ctype]
        if ctype == callback.typedef:
            return "_CFFI_OP_POINTER", callback_index
        if array_length(ctype) is not None:
            return "_CFFI_OP_ARRAY", canonical[ctype[: ctype.index("[")]]
        if ctype.endswith(" *"):
            return "_CFFI_OP_POINTER", canonical[pointee(ctype)]
        raise ValueError(f"{ctype!r} is not in the catalogue's vocabulary of C types")

    return word


def spell_slots(
    slots: list[Slot],
    canonical: dict[str, int],
    word_of: Callable[[str], tuple[str, str | int]],
) -> tuple[list[tuple[str, str | int]], list[str]]:
    """Each slot's opcode word, its references resolved, with the comment of its row."""
    words: list[tuple[str, str | int]] = []
    comments: list[str] = []
    for kind, value in slots:
        if kind == "function":
            result, params = value  # type: ignore[misc]
            words.append(("_CFFI_OP_FUNCTION", canonical[result]))
            comments.append(f"{result} {spell_params(params)}")
        elif kind == "end":
            words.append(("_CFFI_OP_FUNCTION_END", 0))
            comments.append("end")
        elif kind == "length":
            words.append(("length", value))  # type: ignore[arg-type]
            comments.append("length of the array above")
        elif kind == "noop":
            words.append(("_CFFI_OP_NOOP", canonical[value]))  # type: ignore[index]
            comments.append(str(value))
        else:  # a canonical entry, or a primitive written out again
            words.append(word_of(value))  # type: ignore[arg-type]
            comments.append(str(value))
    return words, comments


def trailing_types(
    catalogue: Catalogue, canonical: dict[str, int], structs: dict[str, declarations.Struct]
) -> list[str]:
    """The types that need a canonical entry but hold none in a parameter list: the
    catalogue's own choice first, then whatever structs, members and results still lack one,
    in the order they are first met."""
    needed = list(catalogue.trailing_types)
    assert not set(needed) & canonical.keys(), "a trailing type already has its entry"

    def need(ctype: str) -> None:
        if ctype in canonical or ctype in needed:
            return
        needed.append(ctype)
        if ctype.endswith(" *"):
            need(pointee(ctype))
        elif array_length(ctype) is not None:
            need(ctype[: ctype.index("[")])

    for struct in catalogue.structs:
        need(struct.typedef)
    for struct in catalogue.structs:
        for field in struct.fields:
            need(field.ctype)
    for result, _ in (
        *((f.result, f.params) for f in catalogue.functions),
        (catalogue.callback.result, ()),
    ):
        need(result)
    for ctype in catalogue.callback.params:
        need(ctype)
    return needed


def check(layout: Layout, catalogue: Catalogue) -> None:
    """The invariants the backend and the call wrappers rely on; the build stops if one fails."""
    names = [f.name for f, _ in layout.globals]
    assert len(set(names)) == len(names), "duplicate function names"
    assert names == sorted(names, key=str.encode), "globals must be in byte order"
    for name in names:
        assert name.isascii() and name.isidentifier(), f"{name!r} is not a C name"
    for opcode, arg in layout.words:
        if opcode == "_CFFI_OP_NOOP":
            assert layout.words[arg][0] in ("_CFFI_OP_POINTER", "_CFFI_OP_STRUCT_UNION"), (  # type: ignore[index]
                "NOOP must lead to a canonical entry"
            )
    assert len(layout.canonical) == len(set(layout.canonical.values())), (
        "a position is canonical twice"
    )
    table_names = [s.table_name.encode() for s in layout.struct_order]
    assert table_names == sorted(table_names)
    for f in catalogue.functions:
        assert len(f.params) < 2 or f.result == "void", f"{f.name}: tuple-kind calls return void"


def arg_spelling(ctype: str, canonical: dict[str, int]) -> str:
    if ctype in PRIMITIVE_CODES:
        return f"Arg<{ctype}>"
    return f"Arg<{ctype}, {canonical[ctype]}>"


def result_spelling(ctype: str, canonical: dict[str, int]) -> str:
    if ctype in PRIMITIVE_CODES:
        return f"Result<{ctype}>"
    return f"Result<{ctype}, {canonical[ctype]}>"


def file_text(catalogue: Catalogue, what: str, rows: list[str]) -> str:
    header = [f"// {generated_by(__file__)} for {catalogue.module}: {what}.", DO_NOT_EDIT]
    return "\n".join(header + rows) + "\n"


def render(layout: Layout, catalogue: Catalogue) -> dict[str, str]:
    c = layout.canonical
    short_name = catalogue.module.rpartition(".")[2]
    type_rows = []
    for index, ((opcode, arg), comment) in enumerate(
        zip(layout.words, layout.comments, strict=True)
    ):
        if opcode == "length":
            type_rows.append(f"QV_LENGTH_WORD({arg}),  // {index}: {comment}")
        else:
            type_rows.append(f"QV_TYPE_WORD({opcode}, {arg}),  // {index}: {comment}")

    struct_rows, field_rows, first_field = [], [], 0
    for struct in layout.struct_order:
        struct_rows.append(
            f'QV_STRUCT("{struct.table_name}", {struct.typedef}, {c[struct.typedef]}, '
            f"{first_field}, {len(struct.fields)})  // {struct.typedef}"
        )
        first_field += len(struct.fields)
        field_rows += [
            f"QV_FIELD({struct.typedef}, {f.name}, {c[f.ctype]})  // {struct.typedef}.{f.name}"
            for f in struct.fields
        ]
    typedefs = sorted(
        [s.typedef for s in catalogue.structs] + [catalogue.callback.typedef], key=str.encode
    )
    typename_rows = [f'QV_TYPENAME("{t}", {c[t]})  // {t}' for t in typedefs]

    function_type_rows = []
    for (result, params), index in sorted(layout.function_types.items(), key=lambda item: item[1]):
        spelled = [result_spelling(result, c)] + [arg_spelling(p, c) for p in params]
        function_type_rows.append(
            f"QV_FUNCTION_TYPE({index}, {', '.join(spelled)})  // {result} {spell_params(params)}"
        )
    global_rows = [
        f'QV_GLOBAL("{f.name}", {f.symbol}, {ftype})  // {i}: {f.name}'
        for i, (f, ftype) in enumerate(layout.globals)
    ]
    return {
        "module_name.inc": file_text(
            catalogue, "the module's name", [f'QV_MODULE({short_name}, "{catalogue.module}")']
        ),
        "type_table.inc": file_text(catalogue, "the type table, one opcode word a row", type_rows),
        "struct_tables.inc": file_text(
            catalogue,
            "struct/union, field and typename rows",
            guarded("QV_STRUCT", struct_rows)
            + guarded("QV_FIELD", field_rows)
            + guarded("QV_TYPENAME", typename_rows),
        ),
        "function_types.inc": file_text(
            catalogue, "one row a function type, naming its wrapper pattern", function_type_rows
        ),
        "global_table.inc": file_text(catalogue, "the name-sorted global table", global_rows),
    }


def guarded(macro: str, rows: list[str]) -> list[str]:
    """Rows that only a file defining `macro` sees, so one file can feed several tables."""
    return [f"#ifdef {macro}", *rows, "#endif"]


def load(source: str) -> Catalogue:
    """lorimath's contract catalogue, or a catalogue that catalogue/mkl_header.py wrote."""
    if source == "lorimath":
        from catalogue import vml

        return vml.CATALOGUE
    return declarations.from_json(Path(source).read_text())


def main(argv: list[str]) -> int:
    catalogue = load(argv[1])
    out = Path(argv[2])
    out.mkdir(parents=True, exist_ok=True)
    for name, text in render(lay_out(catalogue), catalogue).items():
        write_if_changed(out / name, text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
