// The engine's own instructions: their table, which the compiler reads through the module,
// the rule of which instructions run window by window, and the typed kernel of each.
#pragma once

#include <cstddef>
#include <iterator>

#include "natives.hpp"

namespace quorvex::expressions {

/// How an instruction's operand types relate.
enum class Rule {
  converts,     // any register type to another the engine casts to (NumPy's safe casts, bool)
  keeps,        // the result's type is the operand's
  selects,      // a bool, then two operands and the result of one type
  takes_part,   // a complex operand, a result of its parts' type
  joins_parts,  // two parts of one real type, a complex result of that type
  integer,      // operands and result of one integer type, not bool
};
inline constexpr const char* rule_names[] = {"converts",   "keeps",       "selects",
                                             "takes_part", "joins_parts", "integer"};

enum class Op : int {
#define QV_INSTRUCTION(name, reads, rule, windowable) name,
#include "instructions.def"
#undef QV_INSTRUCTION
};

struct OpInfo {
  const char* name;
  int reads;
  Rule rule;
  bool windowable;
};

inline constexpr OpInfo op_table[] = {
#define QV_INSTRUCTION(name, reads, rule, windowable) {#name, reads, Rule::rule, windowable},
#include "instructions.def"
#undef QV_INSTRUCTION
};
inline constexpr int op_count = static_cast<int>(std::size(op_table));

/// The most operands an instruction may have and still run window by window: a window of each
/// stays in the first-level cache (five: a comparison merged into its where).
inline constexpr int max_windowed_operands = 5;

/// Whether an instruction runs window by window among its neighbours: `few_operations` per
/// element (the engine's own instructions, NumPy's loops), where MKL's calls cost a block's
/// worth of elements each. The compiler asks the module the same question.
inline bool runs_windowed(bool few_operations, int operands) {
  return few_operations && operands <= max_windowed_operands;
}

/// Whether `ufunc` is NumPy's own: its loops are a few operations per element, where MKL's
/// calls cost a block's worth of elements.
bool is_numpy_ufunc(PyObject* ufunc);

/// Imports NumPy's module for is_numpy_ufunc, once, when the module is imported (a lazy import
/// would run under a C++ initialization guard that other threads wait at while attached).
bool find_numpy();

/// The bytes of one element of a register type, or 0 for a type registers do not hold.
npy_intp type_size(int type);

/// The kernel of `op` whose first operand has type `first` and whose result has type `last`,
/// or nullptr where the engine has none.
Native find_native(Op op, int first, int last);

}  // namespace quorvex::expressions
