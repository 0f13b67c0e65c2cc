// The name-sorted global table: one entry per function, with its call wrapper and direct-call
// entry.
#include <Python.h>

#include <mkl_vml_functions.h>

#include "../backend/cffi_abi.hpp"
#include "../wrappers/call_wrappers.hpp"

static_assert(sizeof(MKL_INT) == 4, "The catalogue declares 32-bit counts: build against LP64.");

namespace quorvex {
namespace {

// One alias per function type, named by its position in the type table.
#define QV_FUNCTION_TYPE(INDEX, ...) using FunctionType##INDEX = Signature<__VA_ARGS__>;
#include "function_types.inc"
#undef QV_FUNCTION_TYPE

/// How the backend calls the wrapper, chosen by the parameter count as the wrapper itself is.
template <class Type>
constexpr unsigned kind_of = Type::arity == 0   ? _CFFI_OP_CPYTHON_BLTN_N
                             : Type::arity == 1 ? _CFFI_OP_CPYTHON_BLTN_O
                                                : _CFFI_OP_CPYTHON_BLTN_V;

}  // namespace

extern const _cffi_global_s global_table[];
const _cffi_global_s global_table[] = {
#define QV_GLOBAL(NAME, SYMBOL, FUNCTION_TYPE)                                                    \
  {Instance<NAME, &::SYMBOL, FunctionType##FUNCTION_TYPE>::name,                                  \
   reinterpret_cast<void*>(Instance<NAME, &::SYMBOL, FunctionType##FUNCTION_TYPE>::call_wrapper), \
   QV_CFFI_OP(kind_of<FunctionType##FUNCTION_TYPE>, FUNCTION_TYPE),                               \
   reinterpret_cast<void*>(Instance<NAME, &::SYMBOL, FunctionType##FUNCTION_TYPE>::direct_call)},
#include "global_table.inc"
#undef QV_GLOBAL
};

}  // namespace quorvex
