// The type context handed to the backend: type table, struct/union, field and typename tables.
#include <cstddef>
#include <cstdint>
#include <iterator>

#include <mkl_types.h>
#include <mkl_vml_types.h>

#include "../backend/cffi_abi.hpp"

namespace quorvex {

// The generated files hold rows only; each table below gives them their record layout.

_cffi_opcode_t type_table[] = {
#define QV_TYPE_WORD(OPCODE, ARGUMENT) QV_CFFI_OP(OPCODE, ARGUMENT)
// Read only as the length of the array word before it, never as an opcode.
#define QV_LENGTH_WORD(LENGTH) reinterpret_cast<_cffi_opcode_t>(std::uintptr_t{LENGTH})
#include "type_table.inc"
#undef QV_TYPE_WORD
#undef QV_LENGTH_WORD
};

namespace {

// The backend builds the structs from these sizes and offsets, and checks its own layout
// against them: the compiler supplies them from MKL's header.
const _cffi_struct_union_s struct_union_table[] = {
#define QV_STRUCT(NAME, TYPEDEF, TYPE_INDEX, FIRST_FIELD, NUM_FIELDS) \
  {NAME,                                                              \
   TYPE_INDEX,                                                        \
   _CFFI_F_CHECK_FIELDS,                                              \
   sizeof(TYPEDEF),                                                   \
   static_cast<int>(alignof(TYPEDEF)),                                \
   FIRST_FIELD,                                                       \
   NUM_FIELDS},
#include "struct_tables.inc"
#undef QV_STRUCT
};

const _cffi_field_s field_table[] = {
#define QV_FIELD(TYPEDEF, MEMBER, TYPE_INDEX)                   \
  {#MEMBER, offsetof(TYPEDEF, MEMBER), sizeof(TYPEDEF::MEMBER), \
   QV_CFFI_OP(_CFFI_OP_NOOP, TYPE_INDEX)},
#include "struct_tables.inc"
#undef QV_FIELD
};

const _cffi_typename_s typename_table[] = {
#define QV_TYPENAME(NAME, TYPE_INDEX) {NAME, TYPE_INDEX},
#include "struct_tables.inc"
#undef QV_TYPENAME
};

constexpr int global_count = 0
#define QV_GLOBAL(NAME, SYMBOL, FUNCTION_TYPE) +1
#include "global_table.inc"
#undef QV_GLOBAL
    ;

}  // namespace

extern const _cffi_global_s global_table[];

const _cffi_type_context_s type_context = {
    type_table,
    global_table,
    field_table,
    struct_union_table,
    nullptr,  // no enums
    typename_table,
    global_count,
    static_cast<int>(std::size(struct_union_table)),
    0,
    static_cast<int>(std::size(typename_table)),
    nullptr,  // no included modules
    static_cast<int>(std::size(type_table)),
    0,
};

}  // namespace quorvex
