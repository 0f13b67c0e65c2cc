// The name-sorted global table: one entry per function, with its call wrapper and direct-call
// entry.
#include <Python.h>

#include <mkl_vml_functions.h>

#include "../wrappers/call_wrappers.hpp"
#include "cffi_abi.hpp"

static_assert(sizeof(MKL_INT) == 4, "The catalogue declares 32-bit counts: build against LP64.");

namespace quorvex {
namespace {

// One alias per function type, named by its position in the type table.
#define QV_FUNCTION_TYPE(INDEX, ...) using FunctionType##INDEX = Signature<__VA_ARGS__>;
#include "function_types.inc"
#undef QV_FUNCTION_TYPE

enum Kind : unsigned {
  QV_TUPLE_KIND = _CFFI_OP_CPYTHON_BLTN_V,
  QV_NO_ARGUMENT_KIND = _CFFI_OP_CPYTHON_BLTN_N,
  QV_ONE_ARGUMENT_KIND = _CFFI_OP_CPYTHON_BLTN_O,
};

// The kind the generator chose must be the convention the wrapper was built for.
#define QV_GLOBAL(NAME, SYMBOL, KIND, FUNCTION_TYPE)                                               \
  static_assert((FunctionType##FUNCTION_TYPE::arity == 0) == ((KIND) == QV_NO_ARGUMENT_KIND) &&    \
                    (FunctionType##FUNCTION_TYPE::arity == 1) == ((KIND) == QV_ONE_ARGUMENT_KIND), \
                "The entry kind of " NAME " must match its parameter count.");
#include "global_table.inc"
#undef QV_GLOBAL

}  // namespace

extern const _cffi_global_s global_table[];
const _cffi_global_s global_table[] = {
#define QV_GLOBAL(NAME, SYMBOL, KIND, FUNCTION_TYPE)                                              \
  {NAME,                                                                                          \
   reinterpret_cast<void*>(Instance<NAME, &::SYMBOL, FunctionType##FUNCTION_TYPE>::call_wrapper), \
   QV_CFFI_OP(KIND, FUNCTION_TYPE),                                                               \
   reinterpret_cast<void*>(Instance<NAME, &::SYMBOL, FunctionType##FUNCTION_TYPE>::direct_call)},
#include "global_table.inc"
#undef QV_GLOBAL
};

}  // namespace quorvex
