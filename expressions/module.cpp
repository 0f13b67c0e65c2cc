// The module quorvex.mkl._expressions: programs over registers, run block by block on the
// engine's threads with the GIL released. The compiler in quorvex.mkl.expressions makes them,
// reading the engine's instruction table and register roles from here.
#include <iterator>
#include "block_size.hpp"
#include "instructions.hpp"
#include "program.hpp"
#include "register_blocks.hpp"
#include "run.hpp"
#include "selection.hpp"
#include "strings.hpp"
#include "threads.hpp"

namespace quorvex::expressions {
namespace {

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
  set_current_block_size(value);
  return PyLong_FromSsize_t(previous);
}

/// runs_windowed(ufunc or instruction index, operands) -> whether the engine runs such an
/// instruction window by window among its neighbours (the compiler groups code by it).
PyObject* windowed(PyObject*, PyObject* args) {
  PyObject* callable;
  int operands;
  if (!PyArg_ParseTuple(args, "Oi", &callable, &operands)) return nullptr;
  bool few_operations;
  if (PyObject_TypeCheck(callable, &PyUFunc_Type)) {
    few_operations = is_numpy_ufunc(callable);
  } else {
    const long index = PyLong_AsLong(callable);
    if (index == -1 && PyErr_Occurred()) return nullptr;
    if (index < 0 || index >= op_count) {
      PyErr_Format(PyExc_ValueError, "no instruction %ld", index);
      return nullptr;
    }
    few_operations = op_table[index].windowable;
  }
  return PyBool_FromLong(runs_windowed(few_operations, operands));
}

/// Names in the order of their numbers, as a tuple.
template <std::size_t N>
PyObject* names(const char* const (&table)[N]) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(N));
  for (std::size_t i = 0; tuple != nullptr && i < N; ++i)
    PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), PyUnicode_FromString(table[i]));
  return tuple;
}

/// reduces(reduction index, type number) -> whether the engine fuses that reduction.
PyObject* fuses_reduction(PyObject*, PyObject* args) {
  int kind, type;
  if (!PyArg_ParseTuple(args, "ii", &kind, &type)) return nullptr;
  return PyBool_FromLong(kind >= 0 && kind < reduce_count &&
                         reduces(static_cast<Reduce>(kind), type));
}

/// The instruction table, (name, operands read, type rule, windowable) in the order of the
/// indices programs name them by; the register roles, the reductions and the comparisons of
/// strings in the order of their numbers.
bool add_tables(PyObject* module) {
  PyObject* instructions = PyTuple_New(op_count);
  for (int i = 0; instructions != nullptr && i < op_count; ++i) {
    const OpInfo& op = op_table[i];
    PyObject* row =
        Py_BuildValue("(sisO)", op.name, op.reads, rule_names[static_cast<int>(op.rule)],
                      op.windowable ? Py_True : Py_False);
    if (row == nullptr) Py_CLEAR(instructions);
    if (row != nullptr) PyTuple_SET_ITEM(instructions, i, row);
  }
  PyObject* roles = names(role_names);
  PyObject* reductions = names(reduce_names);
  PyObject* comparisons = names(comparison_names);
  const bool added = instructions != nullptr && roles != nullptr && reductions != nullptr &&
                     comparisons != nullptr &&
                     PyModule_AddObjectRef(module, "instructions", instructions) == 0 &&
                     PyModule_AddObjectRef(module, "register_roles", roles) == 0 &&
                     PyModule_AddObjectRef(module, "reductions", reductions) == 0 &&
                     PyModule_AddObjectRef(module, "comparisons", comparisons) == 0;
  Py_XDECREF(instructions);
  Py_XDECREF(roles);
  Py_XDECREF(reductions);
  Py_XDECREF(comparisons);
  return added;
}

PyMethodDef methods[] = {
    {"program", make_program, METH_VARARGS,
     "program(registers, prologue, code): a compiled program over registers; see "
     "quorvex.mkl.expressions."},
    {"run", run, METH_VARARGS,
     "run(program, inputs, outputs, order, casting, threads, name[, groups]) -> the outputs."},
    {"compare_strings", compare, METH_VARARGS,
     "compare_strings(a, b, comparison index) -> NumPy's comparison of each pair of strings."},
    {"contains", contains, METH_VARARGS,
     "contains(haystack, needle) -> whether each string holds the needle beside it."},
    {"runs_windowed", windowed, METH_VARARGS,
     "runs_windowed(ufunc or instruction index, operands) -> whether it runs window by window."},
    {"reduces", fuses_reduction, METH_VARARGS,
     "reduces(reduction index, type number) -> whether a program may reduce that register type."},
    {"block_size", get_block_size, METH_NOARGS, "block_size() -> the elements per block."},
    {"set_block_size", set_block_size, METH_O,
     "set_block_size(n): the elements per block; None restores the size derived from the L2 "
     "cache. Returns the previous size."},
    {nullptr, nullptr, 0, nullptr},
};

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
  namespace engine = quorvex::expressions;
  if (PyArray_ImportNumPyAPI() < 0 || PyUFunc_ImportUFuncAPI() < 0 || !engine::find_main_thread() ||
      !engine::find_numpy())
    return nullptr;
  engine::Pool::idle = &engine::BlocksLease::release_idle;
  PyObject* module = PyModule_Create(&engine::module_definition);
  if (module != nullptr && !engine::add_tables(module)) Py_CLEAR(module);
#ifdef Py_GIL_DISABLED
  // Shared state is the pool (locked), the block size (atomic), NumPy's module (read at
  // import) and per-thread registers; programs are read-only once made.
  if (module != nullptr && PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0)
    Py_CLEAR(module);
#endif
  return module;
}
