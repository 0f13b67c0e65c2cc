// A compiled program as the engine holds it: its registers and its instructions, decoded once
// from the rows the compiler hands over.
#pragma once

#include <cstddef>
#include <iterator>
#include <vector>

#include "natives.hpp"
#include "numpy_api.hpp"
#include "reduction.hpp"

namespace quorvex::expressions {

/// What a register holds. Scalar inputs (0-d arrays, Python's and NumPy's scalars) are one
/// value for the whole evaluation: they, the constants and what the prologue computes from them
/// alone are written into each worker's registers once, and copied through the block where an
/// instruction reads them as arrays. A reduced register is the program's result reduced block by
/// block (its index names the reduction), never written to an array. The compiler reads these
/// names from the module, in order.
enum class Role { input, output, constant, temporary, scalar_input, reduced };
inline constexpr const char* role_names[] = {"input",     "output",       "constant",
                                             "temporary", "scalar_input", "reduced"};

struct Register {
  int type;
  npy_intp size;  // bytes per element
  Role role;
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
  bool step0[NPY_MAXARGS]{};  // a uniform value the loop takes as one, with a step of 0
  // A few operations per element (NumPy's loops and the engine's own): consecutive ones run
  // window by window, and the values that live only among them stay in a window of L1 cache.
  bool windowable = false;
  // NumPy's own loop: it may set an exception through npy_gil_error on whatever thread runs it.
  bool numpy_loop = false;
  char arithmetic = 0;            // '+', '-', '*' or '/' for the engine's own on two operands
  int comparison = 0;             // NumPy's comparison loop: Comparison's index + 1
  bool selects = false;           // the engine's where
  std::size_t run_end = 0;        // past the last instruction of its run
  bool by_windows = false;        // its run goes window by window
  bool in_window[NPY_MAXARGS]{};  // the operand lives only within the run
  bool output[NPY_MAXARGS]{};     // the operand is a result of the program the run writes
};

/// The results an instruction writes: its last operands.
inline int results_of(const Instruction& ins) { return ins.loop != nullptr ? ins.results : 1; }

struct Program {
  std::vector<Register> registers;
  std::vector<Instruction> prologue, code;  // once per worker, and per block
  std::vector<int> inputs, outputs;         // register of each, in order
  int reduced = -1;                         // the register reduced instead of outputs, if any
  Reduce reduction = Reduce::sum;
  // The reduced values are the products of these two registers: the multiply that wrote them
  // was merged into the reduction, which reads its operands and stores nothing.
  int factors[2] = {-1, -1};
  std::vector<int> arguments;        // register of each argument of run()
  std::vector<int> scalars, filled;  // scalar inputs; registers the prologue fills
  std::vector<PyObject*> owned;      // the ufuncs whose loops the code calls
  npy_intp bytes_per_element = 0;    // of all registers
  bool calls_numpy_loops = false;
  Program() = default;
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
  ~Program() {
    for (PyObject* object : owned) Py_DECREF(object);
  }
};

/// The capsule that holds a Program for Python.
inline constexpr char program_capsule[] = "quorvex.mkl._expressions.program";

/// program(registers, prologue, code) -> a program; see decode.cpp.
PyObject* make_program(PyObject* self, PyObject* args);

}  // namespace quorvex::expressions
