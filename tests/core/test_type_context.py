"""The init record and the type context, read as the backend receives them, checked word by word."""

from __future__ import annotations

import json
import re
import subprocess
import sys
from collections import Counter
from pathlib import Path

import cffi
import pytest
from conftest import FUNCTIONS, FUNCTIONS_BY_NAME

from catalogue import vml

HEADER = Path(cffi.__file__).with_name("parse_c_type.h")
CONSTANTS = {
    name: int(value, 0)
    for name, value in re.findall(
        r"#define (_CFFI_\w+)\s+(0x[0-9a-fA-F]+|\d+)\b", HEADER.read_text()
    )
}
OP = {name[len("_CFFI_OP_") :]: v for name, v in CONSTANTS.items() if name.startswith("_CFFI_OP_")}
PRIM = {
    name[len("_CFFI_PRIM_") :]: v for name, v in CONSTANTS.items() if name.startswith("_CFFI_PRIM_")
}
# The header's name of each primitive C type the interface uses.
PRIMITIVE_NAMES = {"void": "VOID", "char": "CHAR", "int": "INT", "unsigned int": "UINT",
                   "long long": "LONGLONG", "float": "FLOAT", "double": "DOUBLE"}  # fmt: skip
C_TYPE_OF_CODE = {PRIM[header_name]: c for c, header_name in PRIMITIVE_NAMES.items()}
LENGTH_WORD = 641


def word(opcode: str, argument: int) -> int:
    return OP[opcode] | argument << 8


def opcode_of(w: int) -> int:
    return w & 0xFF


def argument_of(w: int) -> int:
    return w >> 8


@pytest.fixture(scope="module")
def recorded():
    script = Path(__file__).with_name("record_tables.py")
    out = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


@pytest.fixture(scope="module")
def context(recorded):
    return recorded["context"]


@pytest.fixture(scope="module")
def types(context):
    return context["types"]


def test_init_record_exports_and_context_record(recorded, context):
    name_address, version, exports_address, context_address = recorded["record"]
    assert recorded["name"] == "quorvex.mkl.lorimath" and name_address and exports_address
    assert version == 0x2601  # in all 64 bits: the upper half is zero
    assert recorded["exports_before"] == [0] * 26
    assert all(recorded["exports_after"][slot] for slot in (5, 6, 7, 10, 11, 13, 14, 17, 23, 24))
    pointers = context["pointers"]
    assert context_address and pointers["enums"] == pointers["includes"] == 0
    assert all(pointers[k] for k in ("types", "globals", "fields", "struct_unions", "typenames"))
    assert context["counts"] == dict(globals=1044, struct_unions=4, enums=0, typenames=5, types=643)
    assert context["flags"] == 0


def test_type_table_census(types):
    words = [w for i, w in enumerate(types) if i != LENGTH_WORD]
    assert Counter(opcode_of(w) for w in words) == {
        OP["FUNCTION"]: 105, OP["FUNCTION_END"]: 105, OP["NOOP"]: 305, OP["PRIMITIVE"]: 108,
        OP["POINTER"]: 14, OP["STRUCT_UNION"]: 4, OP["ARRAY"]: 1,
    }  # fmt: skip
    primitives = Counter(
        C_TYPE_OF_CODE[argument_of(w)] for w in words if opcode_of(w) == OP["PRIMITIVE"]
    )
    assert primitives == {"int": 65, "long long": 20, "double": 10, "float": 10,
                          "unsigned int": 1, "char": 1, "void": 1}  # fmt: skip
    assert all(w == OP["FUNCTION_END"] for w in words if opcode_of(w) == OP["FUNCTION_END"])
    assert all(w & 1 for w in words), "unrealized words are odd"
    noop_targets = {opcode_of(types[argument_of(w)]) for w in words if opcode_of(w) == OP["NOOP"]}
    assert noop_targets == {OP["POINTER"], OP["STRUCT_UNION"]}
    assert all(argument_of(w) != 637 for i, w in enumerate(types) if i not in (LENGTH_WORD, 637))


KNOWN_WORDS = {
    0: ("FUNCTION", 7), 1: ("POINTER", 636), 2: ("FUNCTION_END", 0), 4: ("POINTER", 7),
    7: ("PRIMITIVE", 7), 12: ("POINTER", 0), 16: ("FUNCTION", 20), 17: ("POINTER", 20),
    19: ("FUNCTION", 20), 20: ("PRIMITIVE", 8), 22: ("FUNCTION", 20), 23: ("FUNCTION_END", 0),
    26: ("POINTER", 319), 27: ("POINTER", 319), 39: ("POINTER", 301), 57: ("POINTER", 488),
    73: ("POINTER", 391), 74: ("POINTER", 391), 104: ("POINTER", 594), 120: ("POINTER", 488),
    201: ("POINTER", 594), 301: ("PRIMITIVE", 11), 488: ("PRIMITIVE", 14), 594: ("PRIMITIVE", 13),
    # vzPowx: count, input array, the struct by value (its first occurrence), result array
    316: ("FUNCTION", 642), 317: ("PRIMITIVE", 7), 318: ("NOOP", 26), 319: ("STRUCT_UNION", 2),
    320: ("NOOP", 27), 391: ("STRUCT_UNION", 3),
    # vdAdd
    471: ("FUNCTION", 642), 472: ("PRIMITIVE", 7), 473: ("NOOP", 120), 474: ("NOOP", 120),
    475: ("NOOP", 57), 476: ("FUNCTION_END", 0),
    # entries of the types no parameter list has
    636: ("STRUCT_UNION", 1), 637: ("STRUCT_UNION", 0), 638: ("POINTER", 639),
    639: ("PRIMITIVE", 2), 640: ("ARRAY", 639), 642: ("PRIMITIVE", 0),
}  # fmt: skip


def test_known_type_table_words(types):
    assert {i: types[i] for i in KNOWN_WORDS} == {i: word(*w) for i, w in KNOWN_WORDS.items()}
    assert types[LENGTH_WORD] == 64


def function_types(types: list[int]) -> dict[int, list[int]]:
    """Each function type's position with the positions of its parameter words."""
    out, position = {}, 0
    while opcode_of(types[position]) == OP["FUNCTION"]:
        end = types.index(OP["FUNCTION_END"], position)
        out[position] = list(range(position + 1, end))
        position = end + 1
    assert position == 636, "function types must fill positions 0 to 635"
    return out


def spell_params(params: tuple[str, ...]) -> str:
    return "(" + (", ".join(params) if params else "void") + ")"


@pytest.fixture(scope="module")
def signature_at(context, types):
    """The catalogue signature at each function type, as its global entries say."""
    found = {0: (vml.CALLBACK.result, vml.CALLBACK.params)}
    for name, _wrapper, type_op, _direct in context["globals"]:
        f = FUNCTIONS_BY_NAME[name]
        index = argument_of(type_op)
        assert found.setdefault(index, (f.result, f.params)) == (f.result, f.params), name
    assert sorted(found) == sorted(function_types(types))
    return found


def test_function_types_decode_to_the_catalogue_signatures(context, types, signature_at):
    typename_of = {index: name for name, index, _ in context["typenames"]}

    def canonical(position: int) -> int:
        w = types[position]
        return argument_of(w) if opcode_of(w) == OP["NOOP"] else position

    def spell(index: int) -> str:
        w = types[index]
        if index in typename_of:
            return typename_of[index]
        if opcode_of(w) == OP["PRIMITIVE"]:
            return C_TYPE_OF_CODE[argument_of(w)]
        assert opcode_of(w) == OP["POINTER"], index
        return spell(argument_of(w)) + " *"

    type_of_entry: dict[int, str] = {}
    for position, params in function_types(types).items():
        result, expected = signature_at[position]
        assert spell(argument_of(types[position])) == result
        assert len(params) == len(expected)
        for param_position, c_type in zip(params, expected, strict=True):
            entry = canonical(param_position)
            assert spell(entry) == c_type.replace(" const", "")
            if opcode_of(types[entry]) == OP["POINTER"]:  # read-only and writable differ by entry
                assert type_of_entry.setdefault(entry, c_type) == c_type
    assert len(set(type_of_entry.values())) == len(type_of_entry) == 13
    assert type_of_entry[120] == "double const *" and type_of_entry[57] == "double *"
    assert type_of_entry[201] == "float const *" and type_of_entry[104] == "float *"
    assert type_of_entry[26] == "MKL_Complex16 const *" and type_of_entry[27] == "MKL_Complex16 *"
    assert type_of_entry[73] == "MKL_Complex8 const *" and type_of_entry[74] == "MKL_Complex8 *"


def test_parameter_words_follow_the_first_occurrence_rule(context, types, signature_at):
    struct_position = {row[1]: i for i, row in enumerate(context["struct_unions"])}
    first: dict[str, int] = {}
    for position, params in sorted(function_types(types).items()):
        for param_position, c_type in zip(params, signature_at[position][1], strict=True):
            w = types[param_position]
            if c_type not in first:
                first[c_type] = param_position
                assert opcode_of(w) in (OP["PRIMITIVE"], OP["POINTER"], OP["STRUCT_UNION"])
                if opcode_of(w) == OP["STRUCT_UNION"]:
                    assert struct_position[param_position] == argument_of(w)
            elif c_type in vml.PRIMITIVES:
                assert w == types[first[c_type]], (param_position, c_type)
            else:
                assert w == word("NOOP", first[c_type]), (param_position, c_type)
    assert sum(len(p) for p in function_types(types).values()) == 426


def test_function_types_are_ordered_by_result_then_spelled_parameters(signature_at):
    result_order = ("int", vml.CALLBACK.typedef, "unsigned int", "void")
    ordered = [signature_at[i] for i in sorted(signature_at)]
    assert ordered == sorted(
        ordered, key=lambda s: (result_order.index(s[0]), spell_params(s[1]).encode())
    )
    assert len(ordered) == 105 and len({(f.result, f.params) for f in FUNCTIONS}) == 104


def test_global_table(context):
    names = [row[0] for row in context["globals"]]
    assert names == sorted(names, key=str.encode) and len(set(names)) == 1044
    assert sorted(names) == sorted(FUNCTIONS_BY_NAME)
    assert all(4 <= len(n) <= 21 and n.isascii() and n.isalnum() for n in names)
    kinds = Counter(opcode_of(type_op) for _, _, type_op, _ in context["globals"])
    assert kinds == {OP["CPYTHON_BLTN_V"]: 1020, OP["CPYTHON_BLTN_N"]: 15, OP["CPYTHON_BLTN_O"]: 9}
    for name, _wrapper, type_op, _direct in context["globals"]:
        arity = len(FUNCTIONS_BY_NAME[name].params)
        expected = {0: "CPYTHON_BLTN_N", 1: "CPYTHON_BLTN_O"}.get(arity, "CPYTHON_BLTN_V")
        assert opcode_of(type_op) == OP[expected], name
        assert argument_of(type_op) != 0, name  # the callback's function type has no entry
    wrappers = {row[1] for row in context["globals"]}
    directs = {row[3] for row in context["globals"]}
    assert 0 not in wrappers | directs
    assert len(wrappers) == len(directs) == 1044 and not wrappers & directs


def test_known_global_entries(context):
    at = {
        name: (position, type_op)
        for position, (name, _, type_op, _) in enumerate(context["globals"])
    }
    assert at["VCABS"][0] == 0 and at["vzunpackv"][0] == 1043 and at["vdadd"][0] == 475
    assert at["vdAdd"] == (417, 0x1D717)
    assert at["vmlGetMode"] == (692, 0x1619) and at["vmlSetMode"] == (695, 0x131B)
    assert at["VMLSETMODE"] == (177, 0x101B)
    assert at["vmlClearErrStatus"] == (688, 0x919) and at["vmlClearErrorCallBack"] == (689, 0xE19)
    assert argument_of(at["vzPowx"][1]) == 316


def test_struct_union_table(context):
    check_fields = CONSTANTS["_CFFI_F_CHECK_FIELDS"]  # and no other flag
    assert context["struct_unions"] == [
        ["$MKLVersion", 637, check_fields, 48, 8, 0, 7, 0],
        ["_DefVmlErrorContext", 636, check_fields, 144, 8, 7, 12, 0],
        ["_MKL_Complex16", 319, check_fields, 16, 8, 19, 2, 0],
        ["_MKL_Complex8", 391, check_fields, 8, 4, 21, 2, 0],
    ]


def test_field_table(context):
    i, c, d, s = 7, 638, 488, 594  # int, char *, double, float
    expected = [
        ("MajorVersion", 0, 4, i), ("MinorVersion", 4, 4, i), ("UpdateVersion", 8, 4, i),
        ("ProductStatus", 16, 8, c), ("Build", 24, 8, c), ("Processor", 32, 8, c),
        ("Platform", 40, 8, c),
        ("iCode", 0, 4, i), ("iIndex", 4, 4, i), ("dbA1", 8, 8, d), ("dbA2", 16, 8, d),
        ("dbR1", 24, 8, d), ("dbR2", 32, 8, d), ("cFuncName", 40, 64, 640),
        ("iFuncNameLen", 104, 4, i), ("dbA1Im", 112, 8, d), ("dbA2Im", 120, 8, d),
        ("dbR1Im", 128, 8, d), ("dbR2Im", 136, 8, d),
        ("real", 0, 8, d), ("imag", 8, 8, d),
        ("real", 0, 4, s), ("imag", 4, 4, s),
    ]  # fmt: skip
    assert context["fields"] == [[n, off, size, word("NOOP", t)] for n, off, size, t in expected]


def test_typename_table(context):
    assert context["typenames"] == [
        ["DefVmlErrorContext", 636, 0], ["MKLVersion", 637, 0], ["MKL_Complex16", 319, 0],
        ["MKL_Complex8", 391, 0], ["VMLErrorCallBack", 12, 0],
    ]  # fmt: skip


def test_backend_only_realizes_words(recorded, types):
    after = recorded["types_after_use"]
    assert after[LENGTH_WORD] == 64
    changed = [i for i, (old, new) in enumerate(zip(types, after, strict=True)) if old != new]
    assert {57, 120, 636, 640} <= set(changed)
    assert all(after[i] % 2 == 0 for i in changed), "a realized word is a descriptor address"


def test_declared_types_as_the_backend_builds_them(ffi):
    assert (ffi.sizeof("MKLVersion"), ffi.alignof("MKLVersion")) == (48, 8)
    assert ffi.sizeof("DefVmlErrorContext") == 144
    assert ffi.offsetof("DefVmlErrorContext", "dbA1Im") == 112
    assert ffi.typeof("DefVmlErrorContext").fields[6][1].type == ffi.typeof("char[64]")
    assert (ffi.sizeof("MKL_Complex8"), ffi.alignof("MKL_Complex8")) == (8, 4)
    assert ffi.sizeof("MKL_Complex8[5]") == 40
    assert ffi.typeof("VMLErrorCallBack") == ffi.typeof("int(*)(DefVmlErrorContext *)")
