// The backend's public record types and opcodes, plus the module's view of the tables.
#pragma once

#include <cstddef>
#include <cstdint>

#include <parse_c_type.h>

static_assert(sizeof(void*) == 8, "The tables are laid out for a 64-bit target.");
static_assert(sizeof(_cffi_global_s) == 32, "A global entry must be four pointer-sized words.");
static_assert(sizeof(_cffi_struct_union_s) == 40, "A struct/union entry must be 40 bytes.");
static_assert(sizeof(_cffi_field_s) == 32, "A field entry must be 32 bytes.");
static_assert(sizeof(_cffi_typename_s) == 16, "A typename entry must be 16 bytes.");
static_assert(sizeof(_cffi_type_context_s) == 80, "The type context record must be 80 bytes.");

struct _cffi_ctypedescr;  // the backend's type descriptor; opaque to the module

namespace quorvex {

/// The opcode word `opcode + argument * 256`, as the backend reads it. A macro, not
/// a function, so that tables built from it are static data, not run-time initialized.
#define QV_CFFI_OP(OPCODE, ARGUMENT) \
  reinterpret_cast<_cffi_opcode_t>(std::uintptr_t{OPCODE} | (std::uintptr_t{ARGUMENT} << 8))

/// The type table. The backend overwrites each word it realizes with the address
/// of its type descriptor; the module itself never writes it.
extern _cffi_opcode_t type_table[];

/// The descriptor in a realized word. The backend realizes every word a function's
/// wrapper reads before the function can be called, so no test is needed here.
inline _cffi_ctypedescr* type_descriptor(int index) {
  return static_cast<_cffi_ctypedescr*>(type_table[index]);
}

extern const _cffi_type_context_s type_context;

}  // namespace quorvex
