"""Records the init record and the type context as the backend receives them; prints JSON.

Run in a fresh interpreter (``python record_tables.py``). A stand-in ``_cffi_backend``
reads everything through ctypes before forwarding to the real backend, because the
backend overwrites type-table words as it realizes them.
"""

from __future__ import annotations

import ctypes
import importlib
import json
import struct
import sys
import types

EXPORT_SLOTS = 26


def read(address: int, layout: str, count: int = 1) -> list[tuple]:
    size = struct.calcsize(layout)
    data = ctypes.string_at(address, size * count)
    return [struct.unpack_from(layout, data, i * size) for i in range(count)]


def words(address: int, count: int) -> list[int]:
    return list(struct.unpack(f"<{count}Q", ctypes.string_at(address, 8 * count)))


def c_string(address: int) -> str:
    return ctypes.string_at(address).decode("ascii")


def read_type_context(address: int) -> dict:
    (types_, globals_, fields, structs, enums, typenames, num_globals, num_structs, num_enums,
     num_typenames, includes, num_types, flags) = read(address, "<6Q4iQ2i")[0]  # fmt: skip
    struct_rows = read(structs, "<QiiQiiii", num_structs)
    num_fields = max((first + n for *_, first, n, _ in struct_rows), default=0)
    return {
        "pointers": {
            "types": types_,
            "globals": globals_,
            "fields": fields,
            "struct_unions": structs,
            "enums": enums,
            "typenames": typenames,
            "includes": includes,
        },
        "counts": {
            "globals": num_globals,
            "struct_unions": num_structs,
            "enums": num_enums,
            "typenames": num_typenames,
            "types": num_types,
        },
        "flags": flags,
        "types": words(types_, num_types),
        "globals": [
            [c_string(name), address, type_op, direct]
            for name, address, type_op, direct in read(globals_, "<4Q", num_globals)
        ],
        "struct_unions": [[c_string(row[0]), *row[1:]] for row in struct_rows],
        "fields": [[c_string(row[0]), *row[1:]] for row in read(fields, "<4Q", num_fields)],
        "typenames": [
            [c_string(row[0]), *row[1:]] for row in read(typenames, "<Qii", num_typenames)
        ],
    }


def main() -> None:
    real_backend = importlib.import_module("_cffi_backend")
    recorded: dict = {}

    def init_external_module(address: int):
        record = words(address, 4)
        recorded["record"] = record
        recorded["name"] = c_string(record[0])
        recorded["exports_before"] = words(record[2], EXPORT_SLOTS)
        recorded["context"] = read_type_context(record[3])
        module = real_backend._init_cffi_1_0_external_module(address)
        recorded["exports_after"] = words(record[2], EXPORT_SLOTS)
        return module

    stand_in = types.ModuleType("_cffi_backend")
    stand_in._init_cffi_1_0_external_module = init_external_module
    sys.modules["_cffi_backend"] = stand_in
    try:
        from quorvex.mkl import lorimath
    finally:
        sys.modules["_cffi_backend"] = real_backend

    # Make the backend realize a function type, a struct with an array member, and a callback.
    ffi, lib = lorimath.ffi, lorimath.lib
    lib.vdAdd(1, [1.0], [2.0], ffi.new("double[1]"))
    ffi.new("DefVmlErrorContext *")
    lib.vmlGetErrorCallBack()
    context = recorded["context"]
    recorded["types_after_use"] = words(context["pointers"]["types"], context["counts"]["types"])
    json.dump(recorded, sys.stdout)


if __name__ == "__main__":
    main()
