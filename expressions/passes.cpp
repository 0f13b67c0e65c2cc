// The passes over a decoded program: products merged into the additions and the reduction that
// read them, comparisons into the wheres that read them, the code grouped into runs that go
// window by window, the registers read as arrays marked.
#include "passes.hpp"

#include <algorithm>
#include <vector>

#include "arithmetic.hpp"
#include "instructions.hpp"
#include "selection.hpp"

namespace quorvex::expressions {
namespace {

/// Per instruction i, whether the last operand of the instruction before it (a product's
/// register) is dead after i: the next instruction that touches it writes it, or none does.
/// One pass from the end, so that long programs compile in linear time.
std::vector<bool> dead_after_next(const std::vector<Instruction>& code, std::size_t registers) {
  enum : char { untouched, read, written };
  std::vector<char> next(registers, untouched);  // each register's first touch past i
  std::vector<bool> dead(code.size(), true);
  for (std::size_t i = code.size(); i-- > 0;) {
    if (i > 0) {
      const Instruction& before = code[i - 1];
      dead[i] = next[static_cast<std::size_t>(before.operands[before.count - 1])] != read;
    }
    const Instruction& ins = code[i];
    for (int k = ins.count; k-- > 0;)  // the first operand naming a register decides
      next[static_cast<std::size_t>(ins.operands[k])] =
          k < ins.count - results_of(ins) ? read : written;
  }
  return dead;
}

/// a and b as one multiply-add of two roundings, if a's product is read by b's addition or
/// subtraction alone (which may overwrite it): the product no longer goes through a register.
bool multiply_add(const Program& p, const Instruction& a, const Instruction& b, bool product_dead,
                  const std::vector<bool>& filled, Instruction& fused) {
  if (a.arithmetic != '*' || (b.arithmetic != '+' && b.arithmetic != '-')) return false;
  const int product = a.operands[2];
  const auto& r = p.registers[static_cast<std::size_t>(product)];
  const bool first = b.operands[0] == product, second = b.operands[1] == product;
  if (r.role != Role::temporary || first == second || (a.step0[0] && a.step0[1]) ||
      r.type != p.registers[static_cast<std::size_t>(b.operands[2])].type ||
      filled[static_cast<std::size_t>(product)] || (b.operands[2] != product && !product_dead))
    return false;
  const int addend = first ? 1 : 0;
  const Then how = b.arithmetic == '+' ? (first ? Then::add : Then::add_to)
                                       : (first ? Then::subtract : Then::subtract_from);
  const Operands kind = a.step0[0]   ? Operands::scalar_first
                        : a.step0[1] ? Operands::scalar_second
                                     : Operands::arrays;
  fused = a;
  fused.native = r.type == NPY_DOUBLE ? find_multiply_add<double>(kind, b.step0[addend], how)
                                      : find_multiply_add<float>(kind, b.step0[addend], how);
  fused.arithmetic = 0;
  fused.count = 4;
  fused.operands[2] = b.operands[addend];
  fused.step0[2] = b.step0[addend];
  fused.operands[3] = b.operands[2];
  fused.step0[3] = false;
  return true;
}

/// a and b as one selection, if a's booleans are read by b's where alone, as its condition:
/// they are never written.
bool merged_selection(const Program& p, const Instruction& a, const Instruction& b,
                      bool condition_dead, const std::vector<bool>& filled, Instruction& fused) {
  if (a.comparison == 0 || !b.selects || !condition_dead) return false;
  const int condition = a.operands[2];
  const auto type = [&](int r) { return p.registers[static_cast<std::size_t>(r)].type; };
  const Register& c = p.registers[static_cast<std::size_t>(condition)];
  if (b.operands[0] != condition || b.operands[1] == condition || b.operands[2] == condition ||
      c.role != Role::temporary || filled[static_cast<std::size_t>(condition)] ||
      type(a.operands[0]) != type(b.operands[3]) || type(a.operands[1]) != type(b.operands[3]))
    return false;
  const Native native =
      find_select(static_cast<std::size_t>(a.comparison - 1), type(b.operands[3]));
  if (native == nullptr) return false;
  fused = b;
  fused.native = native;
  fused.selects = false;
  fused.count = 5;
  const int operands[] = {a.operands[0], a.operands[1], b.operands[1], b.operands[2],
                          b.operands[3]};
  for (int k = 0; k < fused.count; ++k) {
    fused.operands[k] = operands[k];
    fused.step0[k] = false;  // (the engine's kernels read arrays: scalars are filled blocks)
  }
  fused.windowable = runs_windowed(true, fused.count);
  return true;
}

/// An instruction that touches a register, and whether it reads it (before it writes it).
struct Touch {
  std::size_t at;
  bool reads;
};

/// Per register, the instructions that touch it, in order.
std::vector<std::vector<Touch>> touches_of(const std::vector<Instruction>& code,
                                           std::size_t registers) {
  std::vector<std::vector<Touch>> touches(registers);
  for (std::size_t i = 0; i < code.size(); ++i)
    for (int k = 0; k < code[i].count; ++k) {
      auto& list = touches[static_cast<std::size_t>(code[i].operands[k])];
      const bool reads = k < code[i].count - results_of(code[i]);
      if (!list.empty() && list.back().at == i)
        list.back().reads = list.back().reads || reads;
      else
        list.push_back({i, reads});
    }
  return touches;
}

/// Whether the first instruction from `from` on that touches the register reads it.
bool read_first_from(const std::vector<Touch>& touches, std::size_t from) {
  const auto next = std::lower_bound(touches.begin(), touches.end(), from,
                                     [](const Touch& t, std::size_t at) { return t.at < at; });
  return next != touches.end() && next->reads;
}

}  // namespace

void merge_pairs(Program& p) {
  const std::vector<bool> dead = dead_after_next(p.code, p.registers.size());
  std::vector<bool> filled(p.registers.size());
  for (int r : p.filled) filled[static_cast<std::size_t>(r)] = true;
  std::vector<Instruction> code;
  code.reserve(p.code.size());
  for (std::size_t i = 0; i < p.code.size(); ++i) {
    Instruction fused;
    const bool pair = i + 1 < p.code.size();
    if (pair && (multiply_add(p, p.code[i], p.code[i + 1], dead[i + 1], filled, fused) ||
                 merged_selection(p, p.code[i], p.code[i + 1], dead[i + 1], filled, fused))) {
      code.push_back(fused);
      ++i;
    } else {
      code.push_back(p.code[i]);
    }
  }
  p.code = std::move(code);
}

void merge_product_into_reduction(Program& p) {
  if (p.reduced < 0 || p.code.empty()) return;
  const Instruction& last = p.code.back();
  const int product = p.reduced;
  const auto type = [&](int r) { return p.registers[static_cast<std::size_t>(r)].type; };
  if (last.arithmetic != '*' || last.operands[2] != product || last.step0[0] || last.step0[1] ||
      last.operands[0] == product || last.operands[1] == product ||
      type(last.operands[0]) != type(product) || type(last.operands[1]) != type(product))
    return;
  for (std::size_t i = 0; i + 1 < p.code.size(); ++i)
    for (int k = 0; k < p.code[i].count; ++k)
      if (p.code[i].operands[k] == product) return;
  p.factors[0] = last.operands[0];
  p.factors[1] = last.operands[1];
  p.code.pop_back();
}

/// Groups the code into runs of windowable instructions and finds, per run, the temporaries it
/// writes before it reads them and that nothing after the run reads: those live in windows.
void plan_runs(Program& p) {
  std::vector<Instruction>& code = p.code;
  const auto touches = touches_of(code, p.registers.size());
  // Per register of a run: 0 untouched, 1 written first, 2 read first or read after the run.
  std::vector<char> state(p.registers.size(), 0);
  std::vector<bool> filled(p.registers.size());
  for (int r : p.filled) filled[static_cast<std::size_t>(r)] = true;
  for (std::size_t begin = 0; begin < code.size();) {
    std::size_t end = begin + 1;
    while (code[begin].windowable && end < code.size() && code[end].windowable) ++end;
    // Windows pay in a run that writes the program's results: it reads its arrays and writes
    // the results in one pass. A run that MKL's calls read next works on their whole blocks.
    bool writes_result = false;
    for (std::size_t i = begin; i < end; ++i)
      for (int k = 0; k < code[i].count; ++k) {
        const Role role = p.registers[static_cast<std::size_t>(code[i].operands[k])].role;
        writes_result = writes_result || role == Role::output || role == Role::reduced;
      }
    const bool by_windows = code[begin].windowable && writes_result;
    for (std::size_t i = begin; i < end; ++i) code[i].run_end = end;
    for (std::size_t i = begin; i < end; ++i) code[i].by_windows = by_windows;
    if (by_windows) {
      for (std::size_t i = begin; i < end; ++i) {
        const Instruction& ins = code[i];
        for (int k = 0; k < ins.count; ++k) {
          const auto r = static_cast<std::size_t>(ins.operands[k]);
          if (state[r] == 0) state[r] = k < ins.count - results_of(ins) ? 2 : 1;
          if (state[r] == 1 && read_first_from(touches[r], end)) state[r] = 2;
        }
      }
      for (std::size_t i = begin; i < end; ++i)
        for (int k = 0; k < code[i].count; ++k) {
          const auto r = static_cast<std::size_t>(code[i].operands[k]);
          code[i].in_window[k] =
              state[r] == 1 && p.registers[r].role == Role::temporary && !filled[r];
          code[i].output[k] = state[r] == 1 && p.registers[r].role == Role::output;
          // (a reduced register is read whole after the code: it is not a window's)
        }
      for (std::size_t i = begin; i < end; ++i)
        for (int k = 0; k < code[i].count; ++k)
          state[static_cast<std::size_t>(code[i].operands[k])] = 0;
    }
    begin = end;
  }
}

void mark_read_as_array(Program& p) {
  for (const Instruction& ins : p.code)
    for (int k = 0; k < ins.count; ++k)
      if (!ins.step0[k])
        p.registers[static_cast<std::size_t>(ins.operands[k])].read_as_array = true;
  for (int r : p.factors)
    if (r >= 0) p.registers[static_cast<std::size_t>(r)].read_as_array = true;
}

}  // namespace quorvex::expressions
