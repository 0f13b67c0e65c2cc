// The module quorvex.mkl._expressions: programs over registers, run block by block on the
// engine's threads with the GIL released. The compiler in quorvex.mkl.expressions makes them.
#include "numpy_api.hpp"

#include <mkl_service.h>
#include <mkl_vml_functions.h>
#include <immintrin.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "cpu.hpp"
#include "errors.hpp"
#include "natives.hpp"
#include "overlap.hpp"
#include "threads.hpp"

namespace quorvex::expressions {
namespace {

// ---------------------------------------------------------------------------------------------
// Block size.

/// The size in bytes of the first CPU's unified or data cache at `level` (2 or 3), or 0.
/// The kernel's description comes first: glibc's sysconf has been seen to report an AMD
/// EPYC's 32 MiB L3 as 320 MiB.
long cache_size(int level) {
  const auto read = [](int index, const char* field, const char* format, auto* value) {
    char path[80];
    std::snprintf(path, sizeof path, "/sys/devices/system/cpu/cpu0/cache/index%d/%s", index, field);
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) return false;
    const bool found = std::fscanf(file, format, value) == 1;
    std::fclose(file);
    return found;
  };
  for (int index = 0; index < 8; ++index) {
    int found_level = 0;
    char type[16] = "", size[32] = "";
    if (!read(index, "level", "%d", &found_level) || found_level != level ||
        !read(index, "type", "%15s", type) || std::strcmp(type, "Instruction") == 0 ||
        !read(index, "size", "%31s", size))
      continue;
    char* unit = nullptr;
    const long value = std::strtol(size, &unit, 10);
    const long scale = *unit == 'K' ? 1024L : *unit == 'M' ? 1024L * 1024 : 1;
    if (value > 0) return value * scale;
  }
  const long reported = sysconf(level == 2 ? _SC_LEVEL2_CACHE_SIZE : _SC_LEVEL3_CACHE_SIZE);
  return std::max(reported, 0L);
}

/// The elements per block that keep a typical program's registers in one core's L2 cache:
/// a power of two near a sixteenth of its size in float64 elements (measured best; the
/// benchmarks sweep it).
npy_intp derived_block_size() {
  long l2 = cache_size(2);
  if (l2 <= 0) l2 = 512 * 1024;
  npy_intp block = 256;
  while (block * 2 * 8 * 16 <= l2 && block < (npy_intp{1} << 16)) block *= 2;
  return block;
}

std::atomic<npy_intp> block_size{0};

npy_intp current_block_size() {
  npy_intp b = block_size.load(std::memory_order_relaxed);
  if (b == 0) {
    b = derived_block_size();
    block_size.store(b, std::memory_order_relaxed);
  }
  return b;
}

/// The elements per window of a run of streamed instructions: a window of each of its
/// values fits the L1 cache, and a NumPy loop's call costs little beside its elements.
constexpr npy_intp window_elements = 256;
constexpr int max_windowed_operands = 4;

// ---------------------------------------------------------------------------------------------
// Programs.

/// Scalar inputs (0-d arrays, Python's and NumPy's scalars) are one value for the whole
/// evaluation: they, the constants and what the prologue computes from them alone are written
/// into each worker's registers once, and copied through the block where an instruction reads
/// them as arrays.
enum class Kind { input, output, constant, temporary, scalar_input };

struct Register {
  int type;
  npy_intp size;  // bytes per element
  Kind kind;
  int index;                     // of the input or output
  alignas(16) char value[16]{};  // of a constant
  bool read_as_array = false;    // by an instruction that takes no step 0 for it
};

struct Instruction {
  PyUFuncGenericFunction loop = nullptr;  // a ufunc's own inner loop, or
  void* data = nullptr;
  Native native = nullptr;  // one of the engine's
  int count = 0, results = 1;
  int operands[NPY_MAXARGS]{};
  bool uniform[NPY_MAXARGS]{};  // a constant that MKL takes as one scalar: step 0
  // A few instructions per element (NumPy's loops and the engine's own): consecutive ones run
  // window by window, and the values that live only among them stay in a window of L1 cache.
  bool streamed = false;
  // A ufunc's loop may clear the floating-point flags of the instructions before it (NumPy's
  // comparisons drop those of NaN operands by clearing all; some of MKL's kernels clear
  // theirs), and NumPy's may set an exception through npy_gil_error.
  bool numpy = false;
  char arithmetic = 0;            // '+', '-', '*' or '/' for the engine's own on two operands
  std::size_t run_end = 0;        // past the last instruction of its run
  bool windowed = false;          // its run goes window by window
  bool in_window[NPY_MAXARGS]{};  // the operand lives only within the run
  bool output[NPY_MAXARGS]{};     // the operand is a result of the program the run writes
};

/// An instruction of a windowed run, its operands placed for one chunk: where each starts,
/// how far it moves from one window to the next, and the step its loop takes.
struct Placed {
  const Instruction* ins;
  char* at[max_windowed_operands];
  npy_intp move[max_windowed_operands], step[max_windowed_operands];
};

/// The results an instruction writes: its last operands.
int results_of(const Instruction& ins) { return ins.loop != nullptr ? ins.results : 1; }

struct Program {
  std::vector<Register> registers;
  std::vector<Instruction> prologue, code;  // once per worker, and per block
  std::vector<int> inputs, outputs;         // register of each, in order
  std::vector<int> arguments;               // register of each argument of run()
  std::vector<int> scalars, filled;         // scalar inputs; registers the prologue fills
  std::vector<PyObject*> owned;             // the ufuncs whose loops the code calls
  npy_intp scratch_bytes_per_element = 0;
  bool calls_numpy = false;  // some instruction is a NumPy loop
  ~Program() {
    for (PyObject* object : owned) Py_DECREF(object);
  }
};

constexpr char program_capsule[] = "quorvex.mkl._expressions.program";

template <std::size_t... I>
npy_intp type_size(int type, std::index_sequence<I...>) {
  npy_intp size = 0;
  ((register_types[I] == type ? (size = sizeof(typename Element<register_types[I]>::type)) : 0),
   ...);
  return size;
}
npy_intp type_size(int type) {
  return type_size(type, std::make_index_sequence<std::size(register_types)>{});
}

template <int From, std::size_t... I>
Native find_cast_from(int to, std::index_sequence<I...>) {
  Native found = nullptr;
  using F = typename Element<From>::type;
  auto one = [&]<std::size_t K>(std::integral_constant<std::size_t, K>) {
    using T = typename Element<register_types[K]>::type;
    if constexpr (castable<F, T>)
      if (register_types[K] == to) found = &cast<F, T>;
  };
  (one(std::integral_constant<std::size_t, I>{}), ...);
  return found;
}

template <std::size_t... I>
Native find_cast(int from, int to, std::index_sequence<I...> all) {
  Native found = nullptr;
  ((register_types[I] == from ? (found = find_cast_from<register_types[I]>(to, all)) : nullptr),
   ...);
  return found;
}

template <std::size_t... I>
Native find_typed(const char* name, int type, std::index_sequence<I...>) {
  Native found = nullptr;
  auto one = [&]<std::size_t K>(std::integral_constant<std::size_t, K>) {
    using T = typename Element<register_types[K]>::type;
    if (register_types[K] != type) return;
    // npy_bool is npy_ubyte's type: the type number tells them apart.
    if constexpr (std::is_integral_v<T> && register_types[K] != NPY_BOOL)
      if (std::strcmp(name, "integer_power") == 0) found = &integer_power<T>;
    if constexpr (std::is_same_v<T, float> || std::is_same_v<T, double>) {
      if (std::strcmp(name, "real") == 0) found = &part<T, false>;
      if (std::strcmp(name, "imag") == 0) found = &part<T, true>;
      if (std::strcmp(name, "complex") == 0) found = &make_complex<T>;
    }
  };
  (one(std::integral_constant<std::size_t, I>{}), ...);
  return found;
}

Native find_sized(const char* name, npy_intp size) {
  const bool is_where = std::strcmp(name, "where") == 0;
  if (!is_where && std::strcmp(name, "copy") != 0) return nullptr;
  switch (size) {
    case 1:
      return is_where ? &where<1> : &copy<1>;
    case 2:
      return is_where ? &where<2> : &copy<2>;
    case 4:
      return is_where ? &where<4> : &copy<4>;
    case 8:
      return is_where ? &where<8> : &copy<8>;
    case 16:
      return is_where ? &where<16> : &copy<16>;
    default:
      return nullptr;
  }
}

/// The engine's instruction `name` whose first operand has type `first` and last `last`.
Native find_native(const char* name, int first, int last) {
  constexpr auto all = std::make_index_sequence<std::size(register_types)>{};
  if (std::strcmp(name, "cast") == 0) return find_cast(first, last, all);
  if (std::strcmp(name, "where") == 0 || std::strcmp(name, "copy") == 0)
    return type_size(last) == 0 ? nullptr : find_sized(name, type_size(last));
  // real and imag are named by the part they give, complex and powers by their operands.
  const bool part = std::strcmp(name, "real") == 0 || std::strcmp(name, "imag") == 0;
  return find_typed(name, part ? last : first, all);
}

void free_program(PyObject* capsule) {
  delete static_cast<Program*>(PyCapsule_GetPointer(capsule, program_capsule));
}

bool read_registers(PyObject* rows, Program& p) {
  const Py_ssize_t count = PyTuple_Size(rows);
  for (Py_ssize_t i = 0; i < count; ++i) {
    int type, kind, index;
    Py_buffer value{};
    if (!PyArg_ParseTuple(PyTuple_GET_ITEM(rows, i), "iiiy*", &type, &kind, &index, &value))
      return false;
    Register r{type, type_size(type), static_cast<Kind>(kind), index};
    const bool fits = value.len <= 16 && (value.len == 0 || value.len == r.size);
    if (fits) std::memcpy(r.value, value.buf, static_cast<std::size_t>(value.len));
    PyBuffer_Release(&value);
    if (r.size == 0 || !fits || kind < 0 || kind > 4) {
      PyErr_Format(PyExc_ValueError, "register %zd: type %d is not one the engine holds", i, type);
      return false;
    }
    const auto slot = static_cast<std::size_t>(index);
    if (index < 0 || slot > 4096) {
      PyErr_Format(PyExc_ValueError, "register %zd: no operand %d", i, index);
      return false;
    }
    const bool argument = r.kind == Kind::input || r.kind == Kind::scalar_input;
    if (argument) p.arguments.resize(std::max(p.arguments.size(), slot + 1), -1);
    if (argument) p.arguments[slot] = static_cast<int>(i);
    if (r.kind == Kind::output) p.outputs.resize(std::max(p.outputs.size(), slot + 1));
    if (r.kind == Kind::output) p.outputs[slot] = static_cast<int>(i);
    p.scratch_bytes_per_element += r.size;
    p.registers.push_back(r);
  }
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

/// Whether `ufunc` is NumPy's own: its loops are a few instructions per element, where MKL's
/// calls cost a block's worth of elements.
bool is_numpy_ufunc(PyObject* ufunc, const char* name) {
  static PyObject* numpy = PyImport_ImportModule("numpy");
  if (numpy == nullptr) {
    PyErr_Clear();
    return false;
  }
  PyObject* found = PyObject_GetAttrString(numpy, name);
  if (found == nullptr) PyErr_Clear();
  Py_XDECREF(found);
  return found == ufunc;
}

/// The engine's loop for one of NumPy's arithmetic ufuncs on float32 or float64 registers.
Native own_arithmetic(const Program& p, Instruction& ins, const char* name) {
  const int type = p.registers[static_cast<std::size_t>(ins.operands[0])].type;
  for (int i = 1; i < ins.count; ++i)
    if (p.registers[static_cast<std::size_t>(ins.operands[i])].type != type) return nullptr;
  const Operands kind = ins.count != 3 || ins.uniform[0] == ins.uniform[1] ? Operands::arrays
                        : ins.uniform[0] ? Operands::scalar_first
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
  if (r.kind != Kind::temporary || first == second || (a.uniform[0] && a.uniform[1]) ||
      r.type != p.registers[static_cast<std::size_t>(b.operands[2])].type ||
      filled[static_cast<std::size_t>(product)] || (b.operands[2] != product && !product_dead))
    return false;
  const int addend = first ? 1 : 0;
  const Then how = b.arithmetic == '+' ? (first ? Then::add : Then::add_to)
                                       : (first ? Then::subtract : Then::subtract_from);
  const Operands kind = a.uniform[0]   ? Operands::scalar_first
                        : a.uniform[1] ? Operands::scalar_second
                                       : Operands::arrays;
  fused = a;
  fused.native = r.type == NPY_DOUBLE ? find_multiply_add<double>(kind, b.uniform[addend], how)
                                      : find_multiply_add<float>(kind, b.uniform[addend], how);
  fused.arithmetic = 0;
  fused.count = 4;
  fused.operands[2] = b.operands[addend];
  fused.uniform[2] = b.uniform[addend];
  fused.operands[3] = b.operands[2];
  fused.uniform[3] = false;
  return true;
}

/// Merges each product that only the next instruction's addition or subtraction reads into
/// one multiply-add (NumPy's two roundings, in one pass).
void fuse_multiply_adds(Program& p) {
  const std::vector<bool> dead = dead_after_next(p.code, p.registers.size());
  std::vector<bool> filled(p.registers.size());
  for (int r : p.filled) filled[static_cast<std::size_t>(r)] = true;
  std::vector<Instruction> code;
  code.reserve(p.code.size());
  for (std::size_t i = 0; i < p.code.size(); ++i) {
    Instruction fused;
    const bool pair = i + 1 < p.code.size();
    if (pair && multiply_add(p, p.code[i], p.code[i + 1], dead[i + 1], filled, fused)) {
      code.push_back(fused);
      ++i;
    } else {
      code.push_back(p.code[i]);
    }
  }
  p.code = std::move(code);
}

/// A ufunc instruction: (ufunc, loop index, operands, uniform flags). The loop's types must be
/// the registers' types, which the compiler chose from the ufunc's own type list.
bool read_ufunc_instruction(PyObject* row, Program& p, Instruction& ins) {
  PyObject *ufunc, *operands, *uniform;
  int k;
  if (!PyArg_ParseTuple(row, "O!iO!O!", &PyUFunc_Type, &ufunc, &k, &PyTuple_Type, &operands,
                        &PyTuple_Type, &uniform) ||
      !read_operands(operands, p, ins))
    return false;
  auto* u = reinterpret_cast<PyUFuncObject*>(ufunc);
  if (k < 0 || k >= u->ntypes || u->nargs != ins.count || u->functions[k] == nullptr ||
      PyTuple_GET_SIZE(uniform) != ins.count) {
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
    ins.uniform[i] = PyObject_IsTrue(PyTuple_GET_ITEM(uniform, i)) == 1;
  }
  ins.loop = u->functions[k];
  ins.results = u->nout;
  const bool numpy = is_numpy_ufunc(ufunc, u->name);
  ins.streamed = ins.count <= max_windowed_operands && numpy;
  if (ins.streamed) ins.native = own_arithmetic(p, ins, u->name);
  if (ins.native != nullptr) ins.loop = nullptr;
  ins.numpy = numpy && ins.loop != nullptr;
  p.calls_numpy = p.calls_numpy || ins.numpy;
  ins.data = u->data == nullptr ? nullptr : u->data[k];
  Py_INCREF(ufunc);
  p.owned.push_back(ufunc);
  return true;
}

bool read_native_instruction(PyObject* row, Program& p, Instruction& ins) {
  const char* name;
  PyObject* operands;
  if (!PyArg_ParseTuple(row, "sO!", &name, &PyTuple_Type, &operands) ||
      !read_operands(operands, p, ins))
    return false;
  const auto type = [&](int i) {
    return p.registers[static_cast<std::size_t>(ins.operands[i])].type;
  };
  ins.native = find_native(name, type(0), type(ins.count - 1));
  ins.streamed = ins.count <= max_windowed_operands;
  if (ins.native == nullptr) {
    PyErr_Format(PyExc_TypeError, "the engine has no %s from type %d to type %d", name, type(0),
                 type(ins.count - 1));
    return false;
  }
  return true;
}

bool read_code(PyObject* code, Program& p, std::vector<Instruction>& into) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(code); ++i) {
    PyObject* row = PyTuple_GET_ITEM(code, i);
    Instruction ins;
    const bool ufunc = PyTuple_Check(row) && PyTuple_GET_SIZE(row) == 4;
    if (!(ufunc ? read_ufunc_instruction(row, p, ins) : read_native_instruction(row, p, ins)))
      return false;
    into.push_back(ins);
  }
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

/// Groups the code into runs of streamed instructions and finds, per run, the temporaries it
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
    while (code[begin].streamed && end < code.size() && code[end].streamed) ++end;
    // Windows pay in a run that writes the program's results: it reads its arrays and writes
    // the results in one pass. A run that MKL's calls read next works on their whole blocks.
    bool writes_result = false;
    for (std::size_t i = begin; i < end; ++i)
      for (int k = 0; k < code[i].count; ++k) {
        const Kind kind = p.registers[static_cast<std::size_t>(code[i].operands[k])].kind;
        writes_result = writes_result || kind == Kind::output;
      }
    const bool windowed = code[begin].streamed && writes_result;
    for (std::size_t i = begin; i < end; ++i) code[i].run_end = end;
    for (std::size_t i = begin; i < end; ++i) code[i].windowed = windowed;
    if (windowed) {
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
              state[r] == 1 && p.registers[r].kind == Kind::temporary && !filled[r];
          code[i].output[k] = state[r] == 1 && p.registers[r].kind == Kind::output;
        }
      for (std::size_t i = begin; i < end; ++i)
        for (int k = 0; k < code[i].count; ++k)
          state[static_cast<std::size_t>(code[i].operands[k])] = 0;
    }
    begin = end;
  }
}

/// program(registers, prologue, code) -> a program. Registers are (type number, kind, index, value)
/// with kinds input, output, constant and temporary; code rows are ufunc instructions
/// (ufunc, loop, operands, uniform) or the engine's own (name, operands).
PyObject* make_program(PyObject*, PyObject* args) {
  PyObject *registers, *prologue, *code;
  if (!PyArg_ParseTuple(args, "O!O!O!", &PyTuple_Type, &registers, &PyTuple_Type, &prologue,
                        &PyTuple_Type, &code))
    return nullptr;
  auto p = std::make_unique<Program>();
  if (!read_registers(registers, *p) || !read_code(prologue, *p, p->prologue) ||
      !read_code(code, *p, p->code))
    return nullptr;
  for (int r : p->arguments) {
    if (r < 0) {
      PyErr_SetString(PyExc_ValueError, "every argument needs its register");
      return nullptr;
    }
    (p->registers[static_cast<std::size_t>(r)].kind == Kind::input ? p->inputs : p->scalars)
        .push_back(r);
  }
  p->filled = p->scalars;
  for (const Instruction& ins : p->prologue) {
    for (int i = ins.count - results_of(ins); i < ins.count; ++i)
      p->filled.push_back(ins.operands[i]);
  }
  fuse_multiply_adds(*p);
  plan_runs(*p);
  for (const Instruction& ins : p->code)
    for (int k = 0; k < ins.count; ++k)
      if (!ins.uniform[k])
        p->registers[static_cast<std::size_t>(ins.operands[k])].read_as_array = true;
  if (p->outputs.empty()) {
    PyErr_SetString(PyExc_ValueError, "a program has at least one output");
    return nullptr;
  }
  PyObject* capsule = PyCapsule_New(p.get(), program_capsule, free_program);
  if (capsule != nullptr) p.release();
  return capsule;
}

// ---------------------------------------------------------------------------------------------
// Running a program.

/// One worker's registers: a block of each, the constants filled in once.
/// Bytes between one register's block or window and the next beyond their own: five cache
/// lines, so that they do not start at the same address modulo 4 KiB, where loads from one
/// wait for stores to another.
constexpr npy_intp stagger = 5 * 64;

/// Copies a register's first element through its block, doubling the copies: a block in
/// log2(block) memcpy calls. Only registers read as arrays pay it: the rest are read by
/// step 0, and filling them all cost a Black-Scholes evaluation half a MiB of copies.
void fill_block(char* at, const Register& r, npy_intp block) {
  const auto size = static_cast<std::size_t>(r.size);
  const auto total = size * static_cast<std::size_t>(block);
  for (std::size_t done = size; done < total; done *= 2)
    std::memcpy(at + done, at, std::min(done, total - done));
}

class Scratch {
 public:
  char* const* prepare(const Program& p, npy_intp block) {
    const std::size_t bytes =
        static_cast<std::size_t>(p.scratch_bytes_per_element * (block + window_elements)) +
        static_cast<std::size_t>(2 * 64 + 2 * stagger) * p.registers.size();
    if (bytes > capacity_) {
      std::free(memory_);
      memory_ = static_cast<char*>(std::aligned_alloc(64, (bytes + 63) / 64 * 64));
      capacity_ = memory_ == nullptr ? 0 : bytes;
      if (memory_ == nullptr) return nullptr;
    }
    own_.resize(p.registers.size());
    base_.resize(p.registers.size());
    window_.resize(p.registers.size());
    char* at = memory_;
    for (std::size_t i = 0; i < p.registers.size(); ++i) {
      const Register& r = p.registers[i];
      own_[i] = base_[i] = at;
      if (r.kind == Kind::constant) {
        std::memcpy(at, r.value, static_cast<std::size_t>(r.size));
        if (r.read_as_array) fill_block(at, r, block);
      }
      at += (r.size * block + 63) / 64 * 64 + stagger;
    }
    for (std::size_t i = 0; i < p.registers.size(); ++i) {
      window_[i] = at;
      at += (p.registers[i].size * window_elements + 63) / 64 * 64 + stagger;
    }
    return base_.data();
  }
  char* own(std::size_t i) const { return own_[i]; }
  char** base() { return base_.data(); }
  char* const* windows() const { return window_.data(); }
  std::vector<Placed>& placed() { return placed_; }
  /// Gives the memory back, until the next prepare().
  void release() {
    std::free(memory_);
    memory_ = nullptr;
    capacity_ = 0;
  }
  ~Scratch() { std::free(memory_); }

 private:
  char* memory_ = nullptr;
  std::size_t capacity_ = 0;
  std::vector<char*> own_, base_, window_;
  std::vector<Placed> placed_;
};

/// A thread's scratch: its own, kept between evaluations, unless an evaluation of this thread
/// is using it (a signal handler evaluates between the blocks of another): then one for this
/// evaluation alone.
class ScratchLease {
 public:
  ScratchLease() {
    Slot& slot = thread_slot();
    if (slot.busy) {
      own_ = std::make_unique<Scratch>();
    } else {
      slot.busy = true;
    }
  }
  ~ScratchLease() {
    if (own_ == nullptr) thread_slot().busy = false;
  }
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;

  Scratch& get() { return own_ != nullptr ? *own_ : thread_slot().scratch; }

  /// A pool thread that waits for work gives back the memory its last evaluation kept.
  static void release_idle() {
    Slot& slot = thread_slot();
    if (!slot.busy) slot.scratch.release();
  }

 private:
  struct Slot {
    Scratch scratch;
    bool busy = false;
  };
  static Slot& thread_slot() {
    static thread_local Slot slot;
    return slot;
  }
  std::unique_ptr<Scratch> own_;
};

struct Evaluation {
  const Program* program;
  npy_intp size = 0, block = 0, blocks = 0;
  bool direct = false;
  // direct: the operands' data (inputs, then outputs) and their steps between elements
  std::vector<char*> data;
  std::vector<npy_intp> steps;
  // buffered: NumPy's iterator, one copy per worker
  std::vector<NpyIter*> iterators;
  std::vector<char*> scalars;  // the scalar inputs' values
  unsigned vml_mode = 0;
  bool stream_outputs = false;  // results in place in arrays larger than the last cache
  std::atomic<npy_intp> next{0};
  ErrorChannel errors;
  // The state the calling thread released the GIL from, if it is the main thread: it looks
  // for signals between its blocks.
  PyThreadState* caller = nullptr;
};

/// The flags a worker's instructions raised before a loop that may clear them, on this
/// thread; WorkerState hands them to the evaluation.
thread_local int collected_flags = 0;

/// Before a ufunc's loop, which may clear the floating-point flags: keeps those raised so far.
inline void collect_flags() { collected_flags |= raised_flags(); }

int numpy_flags(int fe) {
  return ((fe & FE_DIVBYZERO) ? NPY_FPE_DIVIDEBYZERO : 0) |
         ((fe & FE_OVERFLOW) ? NPY_FPE_OVERFLOW : 0) |
         ((fe & FE_UNDERFLOW) ? NPY_FPE_UNDERFLOW : 0) | ((fe & FE_INVALID) ? NPY_FPE_INVALID : 0);
}

/// What a worker sets for the evaluation and puts back after it: MKL computing on this thread
/// alone, the caller's VML mode (MKL keeps it per thread), and clear floating-point flags,
/// which it hands to the evaluation at the end, with those collected before loops.
class WorkerState {
 public:
  WorkerState(Evaluation& e, bool helper) : e_(e), helper_(helper) {
    threads_ = mkl_set_num_threads_local(1);
    if (helper_) mode_ = vmlSetMode(e.vml_mode);
    outer_flags_ = std::exchange(collected_flags, 0);
    std::feclearexcept(FE_ALL_EXCEPT);
  }
  ~WorkerState() {
    e_.errors.add_flags(collected_flags | raised_flags());
    collected_flags = outer_flags_;
    std::feclearexcept(FE_ALL_EXCEPT);
    if (helper_) vmlSetMode(mode_);
    mkl_set_num_threads_local(threads_);
  }
  WorkerState(const WorkerState&) = delete;
  WorkerState& operator=(const WorkerState&) = delete;

 private:
  Evaluation& e_;
  bool helper_;
  int threads_ = 0, outer_flags_ = 0;
  unsigned mode_ = 0;
};

/// One instruction on n elements of its registers.
void run_instruction(Evaluation& e, const Instruction& ins, char* const* base, npy_intp n) {
  const Program& p = *e.program;
  char* args[NPY_MAXARGS];
  npy_intp strides[NPY_MAXARGS];
  for (int i = 0; i < ins.count; ++i) {
    const auto r = static_cast<std::size_t>(ins.operands[i]);
    strides[i] = ins.uniform[i] ? 0 : p.registers[r].size;
    args[i] = base[r];
  }
  if (ins.loop != nullptr) {
    collect_flags();
    npy_intp count = n;
    ins.loop(args, &count, strides, ins.data);
  } else if (!ins.native(args, n)) {
    e.errors.fail(Failure::negative_power);
  }
}

/// Copies the bytes before `to` reaches a multiple of `width` and those after the last whole
/// unit of it; returns where the units start and how many there are, for streaming.
std::pair<std::size_t, std::size_t> copy_ends(char* to, const char* from, std::size_t bytes,
                                              std::size_t width) {
  const std::size_t head =
      std::min(bytes, (width - reinterpret_cast<std::uintptr_t>(to) % width) % width);
  const std::size_t units = (bytes - head) / width, tail = head + units * width;
  std::memcpy(to, from, head);
  std::memcpy(to + tail, from + tail, bytes - tail);
  return {head, units};
}
void stream_store_sse2(char* to, const char* from, std::size_t bytes) {
  const auto [at, units] = copy_ends(to, from, bytes, 16);
  for (std::size_t k = at; k < at + units * 16; k += 16)
    _mm_stream_si128(reinterpret_cast<__m128i*>(to + k),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + k)));
}
[[gnu::target("avx512f")]] void stream_store_avx512(char* to, const char* from, std::size_t bytes) {
  const auto [at, units] = copy_ends(to, from, bytes, 64);
  for (std::size_t k = at; k < at + units * 64; k += 64)
    _mm512_stream_si512(reinterpret_cast<__m512i*>(to + k),
                        _mm512_loadu_si512(reinterpret_cast<const void*>(from + k)));
}
/// Copies to memory past the caches: a result larger than the last cache would only evict
/// what the program reads, and a plain store first reads each line it writes. The widest
/// stores the CPU has: with AVX-512 each writes a whole cache line, which the memory takes
/// at once (measured: a third less time than 16-byte stores for a Black-Scholes result).
void stream_store(char* to, const char* from, std::size_t bytes) {
  using Store = void (*)(char*, const char*, std::size_t);
  static const Store store = for_cpu<Store>(&stream_store_sse2, nullptr, &stream_store_avx512);
  store(to, from, bytes);
}

void run_windows(Evaluation& e, Scratch& s, std::size_t begin, npy_intp n) {
  const Program& p = *e.program;
  char* const* base = s.base();
  char* const* windows = s.windows();
  std::vector<Placed>& placed = s.placed();
  placed.clear();
  for (std::size_t k = begin; k < p.code[begin].run_end; ++k) {
    const Instruction& ins = p.code[k];
    Placed& q = placed.emplace_back();
    q.ins = &ins;
    for (int i = 0; i < ins.count; ++i) {
      const auto r = static_cast<std::size_t>(ins.operands[i]);
      q.step[i] = ins.uniform[i] ? 0 : p.registers[r].size;
      const bool in_window = ins.in_window[i] || (ins.output[i] && e.stream_outputs);
      q.at[i] = in_window ? windows[r] : base[r];
      q.move[i] = in_window ? 0 : q.step[i];
    }
  }
  // Only NumPy's loops and the engine's run by windows: they raise flags in MXCSR alone, which
  // is cheaper to read than both units. The x87 unit's flags, of MKL's loops before, first.
  collect_flags();
  unsigned mxcsr_flags = 0;
  for (npy_intp w = 0; w < n; w += window_elements) {
    npy_intp m = std::min(window_elements, n - w);
    for (const Placed& q : placed) {
      char* args[max_windowed_operands];
      for (int i = 0; i < q.ins->count; ++i) args[i] = q.at[i] + w * q.move[i];
      if (q.ins->loop != nullptr) {
        mxcsr_flags |= _mm_getcsr();
        q.ins->loop(args, &m, q.step, q.ins->data);
      } else if (!q.ins->native(args, m)) {
        e.errors.fail(Failure::negative_power);
      }
    }
    if (!e.stream_outputs) continue;
    for (const Placed& q : placed)
      for (int i = 0; i < q.ins->count; ++i) {
        if (!q.ins->output[i]) continue;
        const auto r = static_cast<std::size_t>(q.ins->operands[i]);
        const npy_intp size = p.registers[r].size;
        stream_store(base[r] + w * size, windows[r], static_cast<std::size_t>(m * size));
      }
  }
  // MXCSR's status bits are the FE_ flags' (glibc's x86 <fenv.h> uses the same bits for both).
  collected_flags |= static_cast<int>(mxcsr_flags & FE_ALL_EXCEPT);
}

/// Runs the program's code on n elements of the registers at `s.base()`. A run of streamed
/// instructions that writes the results goes window by window: what each writes is still in
/// L1 when the next reads it, and the run reads and writes its arrays in one pass, as one
/// loop would.
void execute(Evaluation& e, Scratch& s, npy_intp n) {
  const std::vector<Instruction>& code = e.program->code;
  for (std::size_t i = 0; i < code.size();) {
    // One instruction goes by windows only to stream its results past the caches.
    if (code[i].windowed && (code[i].run_end - i > 1 || e.stream_outputs)) {
      run_windows(e, s, i, n);
      i = code[i].run_end;
    } else {
      run_instruction(e, code[i], s.base(), n);
      ++i;
    }
  }
}

/// The scalars and what the prologue computes from them, in every element of their registers.
void run_prologue(Evaluation& e, Scratch& s, npy_intp block) {
  const Program& p = *e.program;
  for (std::size_t j = 0; j < p.scalars.size(); ++j) {
    const auto r = static_cast<std::size_t>(p.scalars[j]);
    std::memcpy(s.own(r), e.scalars[j], static_cast<std::size_t>(p.registers[r].size));
  }
  for (const Instruction& ins : p.prologue) run_instruction(e, ins, s.base(), 1);
  for (int index : p.filled) {
    const Register& r = p.registers[static_cast<std::size_t>(index)];
    if (r.read_as_array) fill_block(s.own(static_cast<std::size_t>(index)), r, block);
  }
}

/// One chunk of at most a block: external operands in place where contiguous, else gathered
/// into (and results scattered from) the worker's own registers.
void run_chunk(Evaluation& e, Scratch& s, char* const* data, const npy_intp* steps, npy_intp n) {
  const Program& p = *e.program;
  char** base = s.base();
  const std::size_t nin = p.inputs.size(), nout = p.outputs.size();
  for (std::size_t j = 0; j < nin + nout; ++j) {
    const std::size_t r = static_cast<std::size_t>(j < nin ? p.inputs[j] : p.outputs[j - nin]);
    const npy_intp size = p.registers[r].size;
    if (steps[j] == size || n == 1) {
      base[r] = data[j];
    } else {
      base[r] = s.own(r);
      if (j < nin)
        for (npy_intp k = 0; k < n; ++k)
          std::memcpy(base[r] + k * size, data[j] + k * steps[j], static_cast<std::size_t>(size));
    }
  }
  execute(e, s, n);
  for (std::size_t j = nin; j < nin + nout; ++j) {
    const std::size_t r = static_cast<std::size_t>(p.outputs[j - nin]);
    const npy_intp size = p.registers[r].size;
    if (base[r] != data[j])
      for (npy_intp k = 0; k < n; ++k)
        std::memcpy(data[j] + k * steps[j], base[r] + k * size, static_cast<std::size_t>(size));
  }
}

/// Worker `worker`'s share of the blocks: whichever it claims next, until none is left or the
/// evaluation stops.
void run_blocks(Evaluation& e, Scratch& s, int worker) {
  SignalCheck signals(worker == 0 ? e.caller : nullptr);
  const npy_intp block = std::min(e.block, std::max<npy_intp>(e.size, 1));
  const std::size_t operands = e.data.size();
  std::vector<char*> at(operands);
  const auto claim = [&] {
    signals.between_blocks(e.errors);
    return e.errors.stopped() ? e.blocks : e.next.fetch_add(1);
  };
  if (e.direct) {
    for (npy_intp k; (k = claim()) < e.blocks;) {
      const npy_intp begin = k * e.block, n = std::min(e.block, e.size - begin);
      for (std::size_t j = 0; j < operands; ++j) at[j] = e.data[j] + begin * e.steps[j];
      run_chunk(e, s, at.data(), e.steps.data(), n);
    }
    if (e.stream_outputs) _mm_sfence();  // the streamed stores, before the pool's release
    return;
  }
  char* message = nullptr;  // NumPy's iterator says what failed in a static string
  NpyIter* iterator = e.iterators[static_cast<std::size_t>(worker)];
  NpyIter_IterNextFunc* iternext = NpyIter_GetIterNext(iterator, &message);
  if (iternext == nullptr) return e.errors.fail(Failure::iterator, message);
  char** data = NpyIter_GetDataPtrArray(iterator);
  npy_intp* strides = NpyIter_GetInnerStrideArray(iterator);
  npy_intp* inner = NpyIter_GetInnerLoopSizePtr(iterator);
  // Each block is one range of the iterator, whatever the thread count: the chunks, and so
  // MKL's calls, are the same for any number of threads.
  for (npy_intp k; (k = claim()) < e.blocks;) {
    const npy_intp begin = k * e.block, end = std::min(e.size, begin + e.block);
    if (NpyIter_ResetToIterIndexRange(iterator, begin, end, &message) != NPY_SUCCEED)
      return e.errors.fail(Failure::iterator, message);
    do {
      for (npy_intp done = 0; done < *inner; done += block) {
        for (std::size_t j = 0; j < operands; ++j) at[j] = data[j] + done * strides[j];
        run_chunk(e, s, at.data(), strides, std::min(block, *inner - done));
      }
    } while (iternext(iterator));
  }
}

/// One worker of an evaluation: worker 0 is the calling thread, the others the pool's. A
/// pool thread keeps a Python thread state where NumPy's loops run, so that an exception one
/// of them sets there reaches the caller.
void work(void* context, int worker) {
  Evaluation& e = *static_cast<Evaluation*>(context);
  const bool pool_thread = worker != 0 && e.program->calls_numpy;
  if (pool_thread) pool_thread_state();
  {
    WorkerState state(e, worker != 0);
    ScratchLease lease;
    Scratch& s = lease.get();
    const npy_intp block = std::min(e.block, std::max<npy_intp>(e.size, 1));
    if (s.prepare(*e.program, block) == nullptr) {
      e.errors.fail(Failure::no_memory);
    } else {
      run_prologue(e, s, block);
      run_blocks(e, s, worker);
    }
  }
  if (pool_thread) hand_over_exception(e.errors);
}

// ---------------------------------------------------------------------------------------------
// Operands: the direct way for contiguous arrays of one shape, else NumPy's iterator.

bool contiguous_as(PyArrayObject* a, bool fortran) {
  return PyArray_ISALIGNED(a) && PyArray_ISNOTSWAPPED(a) &&
         (fortran ? PyArray_IS_F_CONTIGUOUS(a) : PyArray_IS_C_CONTIGUOUS(a));
}

bool overlaps(PyArrayObject* a, PyArrayObject* b) {
  const auto bytes = [](PyArrayObject* x) {
    return Span{PyArray_BYTES(x), PyArray_BYTES(x) + PyArray_NBYTES(x)};
  };
  return overlap(bytes(a), bytes(b));
}

/// Whether the arrays can be read and written in place: every input of ndim > 0 of one
/// shape, all C- or all F-contiguous, and outputs likewise in the registers' types; 0-d
/// inputs go as steps of 0. Fills `shape` with the result's.
bool direct_operands(const Program& p, PyArrayObject* const* in, PyArrayObject* const* out,
                     NPY_ORDER order, int& ndim, npy_intp*& shape, bool& fortran) {
  PyArrayObject* first = nullptr;
  for (std::size_t j = 0; j < p.inputs.size(); ++j)
    if (PyArray_NDIM(in[j]) > 0 && first == nullptr) first = in[j];
  ndim = first == nullptr ? 0 : PyArray_NDIM(first);
  shape = first == nullptr ? nullptr : PyArray_DIMS(first);
  fortran = first != nullptr && !PyArray_IS_C_CONTIGUOUS(first) && PyArray_IS_F_CONTIGUOUS(first);
  if (fortran ? order == NPY_CORDER : order == NPY_FORTRANORDER && ndim > 1) return false;
  for (std::size_t j = 0; j < p.inputs.size(); ++j) {
    PyArrayObject* a = in[j];
    if (!PyArray_ISALIGNED(a) || !PyArray_ISNOTSWAPPED(a)) return false;
    if (PyArray_NDIM(a) == 0) continue;
    if (!PyArray_SAMESHAPE(a, first) || !contiguous_as(a, fortran)) return false;
  }
  for (std::size_t j = 0; j < p.outputs.size(); ++j) {
    PyArrayObject* o = out[j];
    if (o == nullptr) continue;
    const Register& r = p.registers[static_cast<std::size_t>(p.outputs[j])];
    if (PyArray_NDIM(o) != ndim ||
        (ndim > 0 && !PyArray_CompareLists(PyArray_DIMS(o), shape, ndim)) ||
        !contiguous_as(o, fortran) || !PyArray_EquivTypenums(PyArray_TYPE(o), r.type) ||
        !PyArray_ISWRITEABLE(o))
      return false;
    for (std::size_t i = 0; i < p.inputs.size(); ++i) {
      const bool same = PyArray_BYTES(o) == PyArray_BYTES(in[i]) &&
                        PyArray_EquivTypes(PyArray_DESCR(o), PyArray_DESCR(in[i])) &&
                        PyArray_NDIM(in[i]) == ndim;
      // A result may replace an input it alone depends on elementwise (a single output).
      if (overlaps(o, in[i]) && !(same && p.outputs.size() == 1)) return false;
    }
  }
  return true;
}

NpyIter* make_iterator(const Program& p, PyArrayObject** operands, NPY_ORDER order,
                       NPY_CASTING casting, npy_intp block) {
  const std::size_t nin = p.inputs.size(), nop = nin + p.outputs.size();
  std::vector<npy_uint32> flags(nop);
  std::vector<PyArray_Descr*> dtypes(nop, nullptr);
  const npy_uint32 elementwise = p.outputs.size() == 1 ? NPY_ITER_OVERLAP_ASSUME_ELEMENTWISE : 0;
  for (std::size_t j = 0; j < nop; ++j) {
    const npy_uint32 common = NPY_ITER_NBO | NPY_ITER_ALIGNED | NPY_ITER_CONTIG | elementwise;
    if (j < nin) {
      flags[j] = NPY_ITER_READONLY | common;
    } else {
      flags[j] = NPY_ITER_WRITEONLY | NPY_ITER_NO_BROADCAST | common |
                 (operands[j] == nullptr ? NPY_ITER_ALLOCATE : 0);
      dtypes[j] =
          PyArray_DescrFromType(p.registers[static_cast<std::size_t>(p.outputs[j - nin])].type);
    }
  }
  NpyIter* iterator = NpyIter_AdvancedNew(
      static_cast<int>(nop), operands,
      NPY_ITER_BUFFERED | NPY_ITER_EXTERNAL_LOOP | NPY_ITER_RANGED | NPY_ITER_ZEROSIZE_OK |
          NPY_ITER_DELAY_BUFALLOC | NPY_ITER_COPY_IF_OVERLAP,
      order, casting, flags.data(), dtypes.data(), -1, nullptr, nullptr, block);
  for (PyArray_Descr* d : dtypes) Py_XDECREF(d);
  return iterator;
}

bool parse_order(PyObject* object, NPY_ORDER& order) {
  return PyArray_OrderConverter(object, &order) == NPY_SUCCEED;
}

/// The CPUs this process may run on.
int usable_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(CPU_COUNT(&set), 1);
  return static_cast<int>(std::max(sysconf(_SC_NPROCESSORS_ONLN), 1L));
}

/// The workers of an evaluation: `threads` (0: MKL's maximum), no more than the CPUs this
/// process may use, and no more than earn their waking: tens of microseconds each.
int worker_count(const Evaluation& e, int threads) {
  constexpr npy_intp elements_per_worker = npy_intp{1} << 16;
  if (e.blocks <= 1) return 1;
  const int wanted = std::min(threads > 0 ? threads : mkl_get_max_threads(), usable_cpus());
  const npy_intp earned = std::max<npy_intp>(std::min(e.blocks, e.size / elements_per_worker), 1);
  return static_cast<int>(std::clamp<npy_intp>(wanted, 1, earned));
}

/// The interpreter's main thread, the one that runs Python's signal handlers.
unsigned long main_thread = 0;

/// run(program, inputs, outputs, order, casting, threads, name) -> the outputs.
/// `inputs` are arrays in the program's input order; `outputs` a tuple of arrays or None
/// per output. The GIL is released while the blocks run.
PyObject* run(PyObject*, PyObject* args) {
  PyObject *capsule, *inputs, *outputs, *order_object, *casting_object;
  int threads;
  const char* name;
  if (!PyArg_ParseTuple(args, "OO!O!OOis", &capsule, &PyTuple_Type, &inputs, &PyTuple_Type,
                        &outputs, &order_object, &casting_object, &threads, &name))
    return nullptr;
  auto* p = static_cast<Program*>(PyCapsule_GetPointer(capsule, program_capsule));
  if (p == nullptr) return nullptr;
  NPY_ORDER order;
  NPY_CASTING casting;
  if (!parse_order(order_object, order) ||
      PyArray_CastingConverter(casting_object, &casting) != NPY_SUCCEED)
    return nullptr;
  const std::size_t nin = p->inputs.size(), nout = p->outputs.size();
  if (static_cast<std::size_t>(PyTuple_GET_SIZE(inputs)) != p->arguments.size() ||
      static_cast<std::size_t>(PyTuple_GET_SIZE(outputs)) != nout) {
    PyErr_SetString(PyExc_ValueError, "the program takes other numbers of inputs and outputs");
    return nullptr;
  }
  std::vector<PyArrayObject*> operands(nin + nout, nullptr);
  struct Release {
    std::vector<PyArrayObject*>& arrays;
    ~Release() {
      for (PyArrayObject* a : arrays) Py_XDECREF(a);
    }
  } release{operands};
  Evaluation e;
  for (std::size_t j = 0, varying = 0; j < p->arguments.size(); ++j) {
    PyObject* a = PyTuple_GET_ITEM(inputs, j);
    const Register& r = p->registers[static_cast<std::size_t>(p->arguments[j])];
    auto* array = reinterpret_cast<PyArrayObject*>(a);
    const bool scalar = r.kind == Kind::scalar_input;
    if (!PyArray_Check(a) || !PyArray_EquivTypenums(PyArray_TYPE(array), r.type) ||
        (scalar &&
         (PyArray_NDIM(array) != 0 || !PyArray_ISALIGNED(array) || !PyArray_ISNOTSWAPPED(array)))) {
      PyErr_Format(PyExc_TypeError, "argument %zu is not an array of the type compiled for", j);
      return nullptr;
    }
    if (scalar) {
      e.scalars.push_back(PyArray_BYTES(array));
      continue;
    }
    Py_INCREF(a);
    operands[varying++] = array;
  }
  for (std::size_t j = 0; j < nout; ++j) {
    PyObject* o = PyTuple_GET_ITEM(outputs, j);
    if (o == Py_None) continue;
    if (!PyArray_Check(o)) {
      PyErr_SetString(PyExc_TypeError, "out must be a NumPy array");
      return nullptr;
    }
    if (PyArray_FailUnlessWriteable(reinterpret_cast<PyArrayObject*>(o), "output array") < 0)
      return nullptr;
    Py_INCREF(o);
    operands[nin + j] = reinterpret_cast<PyArrayObject*>(o);
  }

  e.program = p;
  e.block = current_block_size();
  e.vml_mode = vmlGetMode();
  int ndim;
  npy_intp* shape;
  bool fortran;
  NpyIter* main_iterator = nullptr;
  e.direct =
      direct_operands(*p, operands.data(), operands.data() + nin, order, ndim, shape, fortran);
  if (e.direct) {
    std::vector<npy_intp> dims(shape, shape + ndim);
    for (std::size_t j = 0; j < nout; ++j) {
      if (operands[nin + j] != nullptr) continue;
      const int type = p->registers[static_cast<std::size_t>(p->outputs[j])].type;
      operands[nin + j] =
          reinterpret_cast<PyArrayObject*>(PyArray_EMPTY(ndim, dims.data(), type, fortran ? 1 : 0));
      if (operands[nin + j] == nullptr) return nullptr;
    }
    e.size = PyArray_MultiplyList(dims.data(), ndim);
    for (std::size_t j = 0; j < nin + nout; ++j) {
      e.data.push_back(PyArray_BYTES(operands[j]));
      const bool scalar = PyArray_NDIM(operands[j]) == 0;
      e.steps.push_back(scalar ? 0 : PyArray_ITEMSIZE(operands[j]));
    }
  } else {
    main_iterator = make_iterator(*p, operands.data(), order, casting, e.block);
    if (main_iterator == nullptr) return nullptr;
    e.size = NpyIter_GetIterSize(main_iterator);
    e.data.resize(nin + nout);
  }
  e.blocks = (e.size + e.block - 1) / e.block;
  if (e.direct) {
    npy_intp bytes = 0;
    for (std::size_t j = 0; j < nout; ++j) bytes += PyArray_NBYTES(operands[nin + j]);
    static const long last_cache = cache_size(3);
    e.stream_outputs = bytes > (last_cache > 0 ? last_cache : 32L << 20);
  }

  int workers = worker_count(e, threads);
  if (!e.direct) {
    if (NpyIter_IterationNeedsAPI(main_iterator)) workers = 1;
    e.iterators.push_back(main_iterator);
    for (int t = 1; t < workers; ++t) {
      NpyIter* copy = NpyIter_Copy(main_iterator);
      if (copy == nullptr) {  // fewer workers do
        PyErr_Clear();
        break;
      }
      e.iterators.push_back(copy);
    }
    workers = static_cast<int>(e.iterators.size());
  }

  // The caller's own flags are put back: its NumPy computations around are none of ours.
  std::fexcept_t caller_flags;
  std::fegetexceptflag(&caller_flags, FE_ALL_EXCEPT);
  std::feclearexcept(FE_ALL_EXCEPT);
  if (e.size > e.block / 8) {
    PyThreadState* caller = PyEval_SaveThread();
    e.caller = PyThread_get_thread_ident() == main_thread ? caller : nullptr;
    Pool::get().run(workers, &work, &e);
    PyEval_RestoreThread(caller);
  } else if (e.size > 0) {  // a few elements: releasing the GIL would cost more than they do
    work(&e, 0);
  }
  if (!e.direct) {
    for (std::size_t j = 0; j < nout; ++j)
      if (operands[nin + j] == nullptr) {
        operands[nin + j] = NpyIter_GetOperandArray(main_iterator)[nin + j];
        Py_INCREF(operands[nin + j]);
      }
    for (NpyIter* it : e.iterators) NpyIter_Deallocate(it);
  }
  const int flags = numpy_flags(e.errors.flags() | raised_flags());
  std::fesetexceptflag(&caller_flags, FE_ALL_EXCEPT);
  // One decision: an exception of any worker (or Ctrl-C), a failure, then the flags.
  if (e.errors.raise_error() || (flags != 0 && PyUFunc_GiveFloatingpointErrors(name, flags) < 0))
    return nullptr;
  PyObject* result = PyTuple_New(static_cast<Py_ssize_t>(nout));
  if (result == nullptr) return nullptr;
  for (std::size_t j = 0; j < nout; ++j) {
    Py_INCREF(operands[nin + j]);
    PyTuple_SET_ITEM(result, static_cast<Py_ssize_t>(j),
                     reinterpret_cast<PyObject*>(operands[nin + j]));
  }
  return result;
}

PyObject* get_block_size(PyObject*, PyObject*) { return PyLong_FromSsize_t(current_block_size()); }

/// set_block_size(n or None) -> the previous size; None restores the derived one.
PyObject* set_block_size(PyObject*, PyObject* argument) {
  const npy_intp previous = current_block_size();
  npy_intp value = 0;
  if (argument == Py_None) {
    value = derived_block_size();
  } else {
    value = PyLong_AsSsize_t(argument);
    if (value == -1 && PyErr_Occurred()) return nullptr;
    if (value < 1 || value > (npy_intp{1} << 24)) {
      PyErr_SetString(PyExc_ValueError, "the block size must lie in [1, 2**24] elements");
      return nullptr;
    }
  }
  block_size.store(value);
  return PyLong_FromSsize_t(previous);
}

PyMethodDef methods[] = {
    {"program", make_program, METH_VARARGS,
     "program(registers, code): a compiled program over registers; see quorvex.mkl.expressions."},
    {"run", run, METH_VARARGS,
     "run(program, inputs, outputs, order, casting, threads, name) -> the outputs."},
    {"block_size", get_block_size, METH_NOARGS, "block_size() -> the elements per block."},
    {"set_block_size", set_block_size, METH_O,
     "set_block_size(n): the elements per block; None restores the size derived from the L2 "
     "cache. Returns the previous size."},
    {nullptr, nullptr, 0, nullptr},
};

/// Reads threading's main thread once: its identity is that of PyThread_get_thread_ident().
bool find_main_thread() {
  PyObject* threading = PyImport_ImportModule("threading");
  PyObject* main =
      threading == nullptr ? nullptr : PyObject_CallMethod(threading, "main_thread", nullptr);
  PyObject* ident = main == nullptr ? nullptr : PyObject_GetAttrString(main, "ident");
  if (ident != nullptr) main_thread = PyLong_AsUnsignedLong(ident);
  Py_XDECREF(ident);
  Py_XDECREF(main);
  Py_XDECREF(threading);
  return ident != nullptr && !PyErr_Occurred();
}

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "quorvex.mkl._expressions",
    "The engine of quorvex.mkl.expressions.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quorvex::expressions

PyMODINIT_FUNC PyInit__expressions(void) {
  if (PyArray_ImportNumPyAPI() < 0 || PyUFunc_ImportUFuncAPI() < 0 ||
      !quorvex::expressions::find_main_thread())
    return nullptr;
  quorvex::expressions::Pool::idle = &quorvex::expressions::ScratchLease::release_idle;
  return PyModule_Create(&quorvex::expressions::module_definition);
}
