// run(): one evaluation of a program, in named steps: the call's arrays taken and laid out, the
// workers chosen, the blocks evaluated with the GIL released, one decision on errors, results.
#include <mkl_service.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cfenv>

#include "evaluation.hpp"
#include "operands.hpp"
#include "run.hpp"
#include "threads.hpp"

namespace quorvex::expressions {
namespace {

unsigned long main_thread = 0;

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

/// The blocks, on `workers` threads with the GIL released; a few elements on this thread with
/// it held, as releasing it would cost more than they do. The caller's own floating-point flags
/// are put back: its NumPy computations around are none of the evaluation's.
int evaluate_blocks(Evaluation& e, int workers) {
  std::fexcept_t caller_flags;
  std::fegetexceptflag(&caller_flags, FE_ALL_EXCEPT);
  std::feclearexcept(FE_ALL_EXCEPT);
  if (e.size > e.block / 8) {
    PyThreadState* caller = PyEval_SaveThread();
    e.caller = PyThread_get_thread_ident() == main_thread ? caller : nullptr;
    Pool::get().run(workers, &work, &e);
    PyEval_RestoreThread(caller);
  } else if (e.size > 0) {
    work(&e, 0);
  }
  const int flags = e.errors.flags() | raised_flags();
  std::fesetexceptflag(&caller_flags, FE_ALL_EXCEPT);
  return flags;
}

int numpy_flags(int fe) {
  return ((fe & FE_DIVBYZERO) ? NPY_FPE_DIVIDEBYZERO : 0) |
         ((fe & FE_OVERFLOW) ? NPY_FPE_OVERFLOW : 0) |
         ((fe & FE_UNDERFLOW) ? NPY_FPE_UNDERFLOW : 0) | ((fe & FE_INVALID) ? NPY_FPE_INVALID : 0);
}

/// The reduced register's value: each group's partials combined in order, in a 0-d array for a
/// whole reduction (`by_groups` false), else one value per group; the flags the combination
/// raises join the evaluation's.
PyObject* reduced_value(const Evaluation& e, bool by_groups, int& flags) {
  const Program& p = *e.program;
  const Register& r = p.registers[static_cast<std::size_t>(p.reduced)];
  npy_intp count = e.groups.count;
  PyObject* value = PyArray_ZEROS(by_groups ? 1 : 0, &count, r.type, 0);
  if (value == nullptr) return nullptr;
  std::fexcept_t caller_flags;
  std::fegetexceptflag(&caller_flags, FE_ALL_EXCEPT);
  std::feclearexcept(FE_ALL_EXCEPT);
  const bool found = combine(p.reduction, r.type, e.groups, e.partials.data(),
                             PyArray_BYTES(reinterpret_cast<PyArrayObject*>(value)));
  flags |= raised_flags();
  std::fesetexceptflag(&caller_flags, FE_ALL_EXCEPT);
  if (!found) {
    Py_DECREF(value);
    PyErr_Format(PyExc_ValueError,
                 "zero-size array to reduction operation %s which has no identity",
                 p.reduction == Reduce::min ? "minimum" : "maximum");
  }
  return found ? value : nullptr;
}

/// The groups of a reduction: `groups` of the values in iteration order, or all of them
/// (`groups` < 0). A grouped reduction is iterated in C order, its groups the last axis.
bool group(Evaluation& e, npy_intp groups) {
  const npy_intp length = groups > 0 ? e.size / groups : groups < 0 ? e.size : 0;
  if (groups >= 0 && (groups == 0 ? e.size != 0 : length * groups != e.size)) {
    PyErr_SetString(PyExc_ValueError, "the groups do not divide the values reduced");
    return false;
  }
  e.groups = {groups < 0 ? 1 : groups, length, e.block};
  e.partials.resize(static_cast<std::size_t>(e.groups.partials(e.blocks)));
  return true;
}

/// One decision: an exception of any worker (or Ctrl-C), a failure, then the flags, which
/// reach np.errstate once, named `name`; else the outputs, or the reduced value.
PyObject* decide(Evaluation& e, Operands& operands, int flags, const char* name, bool by_groups) {
  PyObject* reduced = nullptr;
  if (e.program->reduced >= 0 && !e.errors.stopped() &&
      (reduced = reduced_value(e, by_groups, flags)) == nullptr)
    return nullptr;
  const int numpy = numpy_flags(flags);
  if (e.errors.raise_error() || (numpy != 0 && PyUFunc_GiveFloatingpointErrors(name, numpy) < 0)) {
    Py_XDECREF(reduced);
    return nullptr;
  }
  if (reduced != nullptr) {
    PyObject* result = PyTuple_Pack(1, reduced);
    Py_DECREF(reduced);
    return result;
  }
  PyObject* result = PyTuple_New(static_cast<Py_ssize_t>(operands.nout));
  if (result == nullptr) return nullptr;
  for (std::size_t j = 0; j < operands.nout; ++j) {
    PyArrayObject* o = operands[operands.nin + j];
    Py_INCREF(o);
    PyTuple_SET_ITEM(result, static_cast<Py_ssize_t>(j), reinterpret_cast<PyObject*>(o));
  }
  return result;
}

}  // namespace

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

PyObject* run(PyObject*, PyObject* args) {
  PyObject *capsule, *inputs, *outputs, *order_object, *casting_object;
  int threads;
  const char* name;
  Py_ssize_t groups = -1;
  NPY_ORDER order;
  NPY_CASTING casting;
  if (!PyArg_ParseTuple(args, "OO!O!OOis|n", &capsule, &PyTuple_Type, &inputs, &PyTuple_Type,
                        &outputs, &order_object, &casting_object, &threads, &name, &groups) ||
      PyArray_OrderConverter(order_object, &order) != NPY_SUCCEED ||
      PyArray_CastingConverter(casting_object, &casting) != NPY_SUCCEED)
    return nullptr;
  const auto* p = static_cast<const Program*>(PyCapsule_GetPointer(capsule, program_capsule));
  if (p == nullptr) return nullptr;
  if (static_cast<std::size_t>(PyTuple_GET_SIZE(inputs)) != p->arguments.size() ||
      static_cast<std::size_t>(PyTuple_GET_SIZE(outputs)) != p->outputs.size()) {
    PyErr_SetString(PyExc_ValueError, "the program takes other numbers of inputs and outputs");
    return nullptr;
  }
  Operands operands(*p);
  Evaluation e;
  if (groups >= 0) order = NPY_CORDER;
  if (!take_arrays(*p, inputs, outputs, operands, e) || !lay_out(*p, operands, order, casting, e))
    return nullptr;
  if (p->reduced >= 0 && !group(e, groups)) {
    finish_iterators(e, operands);
    return nullptr;
  }
  e.workers = copy_iterators(e, worker_count(e, threads));
  const int flags = evaluate_blocks(e, e.workers);
  finish_iterators(e, operands);
  return decide(e, operands, flags, name, groups >= 0);
}

}  // namespace quorvex::expressions
