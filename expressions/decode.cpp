// The program and its decoding: the rows the compiler hands over, checked and made into the
// engine's registers and instructions, then the passes over them.
#include <iterator>
#include <algorithm>
#include <cstring>
#include <memory>

#include "arithmetic.hpp"
#include "selection.hpp"
#include "instructions.hpp"
#include "passes.hpp"
#include "program.hpp"

namespace quorvex::expressions {
namespace {

/// A register row: (type number, role, index of the input or output, value of a constant).
bool read_register(PyObject* row, Py_ssize_t i, Program& p) {
  int type, role, index;
  Py_buffer value{};
  if (!PyArg_ParseTuple(row, "iiiy*", &type, &role, &index, &value)) return false;
  Register r{type, type_size(type), static_cast<Role>(role), index};
  const bool fits = value.len <= 16 && (value.len == 0 || value.len == r.size);
  if (fits) std::memcpy(r.value, value.buf, static_cast<std::size_t>(value.len));
  PyBuffer_Release(&value);
  if (r.size == 0 || !fits || role < 0 || role >= static_cast<int>(std::size(role_names))) {
    PyErr_Format(PyExc_ValueError, "register %zd: type %d is not one the engine holds", i, type);
    return false;
  }
  const auto slot = static_cast<std::size_t>(index);
  if (index < 0 || slot > 4096) {
    PyErr_Format(PyExc_ValueError, "register %zd: no operand %d", i, index);
    return false;
  }
  const bool argument = r.role == Role::input || r.role == Role::scalar_input;
  if (argument) p.arguments.resize(std::max(p.arguments.size(), slot + 1), -1);
  if (argument) p.arguments[slot] = static_cast<int>(i);
  if (r.role == Role::output) p.outputs.resize(std::max(p.outputs.size(), slot + 1));
  if (r.role == Role::output) p.outputs[slot] = static_cast<int>(i);
  if (r.role == Role::reduced) {
    if (p.reduced >= 0 || index >= reduce_count || !reduces(static_cast<Reduce>(index), type)) {
      PyErr_Format(PyExc_ValueError, "register %zd: no reduction %d of type %d", i, index, type);
      return false;
    }
    p.reduced = static_cast<int>(i);
    p.reduction = static_cast<Reduce>(index);
  }
  p.bytes_per_element += r.size;
  p.registers.push_back(r);
  return true;
}

bool read_operands(PyObject* sequence, const Program& p, Instruction& ins) {
  const Py_ssize_t count = PyTuple_Size(sequence);
  if (count < 1 || count > NPY_MAXARGS) {
    PyErr_SetString(PyExc_ValueError, "an instruction takes 1 to 64 operands");
    return false;
  }
  ins.count = static_cast<int>(count);
  for (Py_ssize_t k = 0; k < count; ++k) {
    long r = PyLong_AsLong(PyTuple_GET_ITEM(sequence, k));
    if (r < 0 || static_cast<std::size_t>(r) >= p.registers.size()) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "no such register");
      return false;
    }
    ins.operands[k] = static_cast<int>(r);
  }
  return true;
}

/// The engine's loop for one of NumPy's arithmetic ufuncs on float32 or float64 registers.
Native own_arithmetic(const Program& p, Instruction& ins, const char* name) {
  const int type = p.registers[static_cast<std::size_t>(ins.operands[0])].type;
  for (int i = 1; i < ins.count; ++i)
    if (p.registers[static_cast<std::size_t>(ins.operands[i])].type != type) return nullptr;
  const Operands kind = ins.count != 3 || ins.step0[0] == ins.step0[1] ? Operands::arrays
                        : ins.step0[0]                                 ? Operands::scalar_first
                                                                       : Operands::scalar_second;
  if (type != NPY_DOUBLE && type != NPY_FLOAT) return nullptr;
  if (ins.count == 3) {
    constexpr const char* names[] = {"add", "subtract", "multiply", "divide"};
    for (int i = 0; i < 4; ++i)
      if (std::strcmp(name, names[i]) == 0) ins.arithmetic = "+-*/"[i];
  }
  return type == NPY_DOUBLE ? find_arithmetic<double>(name, kind)
                            : find_arithmetic<float>(name, kind);
}

/// A ufunc instruction: (ufunc, loop index, operands, step-0 flags). The loop's types must be
/// the registers' types, which the compiler chose from the ufunc's own type list.
bool read_ufunc_instruction(PyObject* row, Program& p, Instruction& ins) {
  PyObject *ufunc, *operands, *step0;
  int k;
  if (!PyArg_ParseTuple(row, "O!iO!O!", &PyUFunc_Type, &ufunc, &k, &PyTuple_Type, &operands,
                        &PyTuple_Type, &step0) ||
      !read_operands(operands, p, ins))
    return false;
  auto* u = reinterpret_cast<PyUFuncObject*>(ufunc);
  if (k < 0 || k >= u->ntypes || u->nargs != ins.count || u->functions[k] == nullptr ||
      PyTuple_GET_SIZE(step0) != ins.count) {
    PyErr_Format(PyExc_TypeError, "%s has no inner loop %d for these operands", u->name, k);
    return false;
  }
  for (int i = 0; i < ins.count; ++i) {
    const Register& r = p.registers[static_cast<std::size_t>(ins.operands[i])];
    // Equal types of two numbers (long and long long) hold the same bits.
    if (!PyArray_EquivTypenums(u->types[k * u->nargs + i], r.type)) {
      PyErr_Format(PyExc_TypeError, "%s's loop %d does not take operand %d's type", u->name, k, i);
      return false;
    }
    ins.step0[i] = PyObject_IsTrue(PyTuple_GET_ITEM(step0, i)) == 1;
  }
  ins.loop = u->functions[k];
  ins.results = u->nout;
  const bool numpy = is_numpy_ufunc(ufunc);
  ins.windowable = runs_windowed(numpy, ins.count);
  if (ins.windowable) ins.native = own_arithmetic(p, ins, u->name);
  for (std::size_t c = 0; numpy && ins.count == 3 && c < comparison_count; ++c)
    if (std::strcmp(u->name, comparison_names[c]) == 0) ins.comparison = static_cast<int>(c) + 1;
  if (ins.native != nullptr) ins.loop = nullptr;
  ins.numpy_loop = numpy && ins.loop != nullptr;
  p.calls_numpy_loops = p.calls_numpy_loops || ins.numpy_loop;
  ins.data = u->data == nullptr ? nullptr : u->data[k];
  Py_INCREF(ufunc);
  p.owned.push_back(ufunc);
  return true;
}

/// One of the engine's own instructions: (its index in the table, operands).
bool read_native_instruction(PyObject* row, Program& p, Instruction& ins) {
  int index;
  PyObject* operands;
  if (!PyArg_ParseTuple(row, "iO!", &index, &PyTuple_Type, &operands) ||
      !read_operands(operands, p, ins))
    return false;
  if (index < 0 || index >= op_count || ins.count != op_table[index].reads + 1) {
    PyErr_Format(PyExc_ValueError, "no instruction %d of %d operands", index, ins.count);
    return false;
  }
  const auto type = [&](int i) {
    return p.registers[static_cast<std::size_t>(ins.operands[i])].type;
  };
  const OpInfo& op = op_table[index];
  ins.selects = static_cast<Op>(index) == Op::where;
  ins.native = find_native(static_cast<Op>(index), type(0), type(ins.count - 1));
  ins.windowable = runs_windowed(op.windowable, ins.count);
  if (ins.native == nullptr) {
    PyErr_Format(PyExc_TypeError, "the engine has no %s from type %d to type %d", op.name, type(0),
                 type(ins.count - 1));
    return false;
  }
  return true;
}

/// Code rows: a ufunc instruction starts with its ufunc, the engine's own with a number.
bool read_code(PyObject* code, Program& p, std::vector<Instruction>& into) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(code); ++i) {
    PyObject* row = PyTuple_GET_ITEM(code, i);
    Instruction ins;
    if (!PyTuple_Check(row) || PyTuple_GET_SIZE(row) < 1) {
      PyErr_SetString(PyExc_TypeError, "an instruction is a tuple");
      return false;
    }
    const bool native = PyLong_Check(PyTuple_GET_ITEM(row, 0));
    if (!(native ? read_native_instruction(row, p, ins) : read_ufunc_instruction(row, p, ins)))
      return false;
    into.push_back(ins);
  }
  return true;
}

/// The arguments of run() in order, each an array input or a scalar; what the prologue fills.
bool sort_arguments(Program& p) {
  for (int r : p.arguments) {
    if (r < 0) {
      PyErr_SetString(PyExc_ValueError, "every argument needs its register");
      return false;
    }
    (p.registers[static_cast<std::size_t>(r)].role == Role::input ? p.inputs : p.scalars)
        .push_back(r);
  }
  p.filled = p.scalars;
  for (const Instruction& ins : p.prologue)
    for (int i = ins.count - results_of(ins); i < ins.count; ++i)
      p.filled.push_back(ins.operands[i]);
  if (p.outputs.empty() == (p.reduced < 0) || (p.reduced >= 0 && p.inputs.empty())) {
    PyErr_SetString(PyExc_ValueError,
                    "a program has outputs, or one reduced register and array inputs");
    return false;
  }
  return true;
}

void free_program(PyObject* capsule) {
  delete static_cast<Program*>(PyCapsule_GetPointer(capsule, program_capsule));
}

}  // namespace

/// program(registers, prologue, code) -> a program. Registers are (type number, role, index,
/// value); code rows are ufunc instructions (ufunc, loop, operands, step-0 flags) or the
/// engine's own (index in its table, operands).
PyObject* make_program(PyObject*, PyObject* args) {
  PyObject *registers, *prologue, *code;
  if (!PyArg_ParseTuple(args, "O!O!O!", &PyTuple_Type, &registers, &PyTuple_Type, &prologue,
                        &PyTuple_Type, &code))
    return nullptr;
  auto p = std::make_unique<Program>();
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(registers); ++i)
    if (!read_register(PyTuple_GET_ITEM(registers, i), i, *p)) return nullptr;
  if (!read_code(prologue, *p, p->prologue) || !read_code(code, *p, p->code) || !sort_arguments(*p))
    return nullptr;
  merge_pairs(*p);
  merge_product_into_reduction(*p);
  plan_runs(*p);
  mark_read_as_array(*p);
  PyObject* capsule = PyCapsule_New(p.get(), program_capsule, free_program);
  if (capsule != nullptr) p.release();
  return capsule;
}

}  // namespace quorvex::expressions
