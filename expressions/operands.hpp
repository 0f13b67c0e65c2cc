// The arrays of one call and how the workers reach them: in place where they are contiguous
// arrays of one shape, else through NumPy's buffered iterator.
#pragma once

#include <vector>

#include "evaluation.hpp"
#include "program.hpp"

namespace quorvex::expressions {

/// The call's arrays, inputs then outputs (null for an output to allocate), each holding a
/// reference for the call.
class Operands {
 public:
  explicit Operands(const Program& p)
      : nin(p.inputs.size()), nout(p.outputs.size()), arrays_(nin + nout, nullptr) {}
  ~Operands() {
    for (PyArrayObject* a : arrays_) Py_XDECREF(a);
  }
  Operands(const Operands&) = delete;
  Operands& operator=(const Operands&) = delete;

  PyArrayObject** data() { return arrays_.data(); }
  PyArrayObject*& operator[](std::size_t j) { return arrays_[j]; }

  const std::size_t nin, nout;

 private:
  std::vector<PyArrayObject*> arrays_;
};

/// Takes run()'s inputs (arrays in the program's argument order, scalar ones 0-d) and outputs
/// (arrays or None): checked against the program's registers. False with an exception set.
bool take_arrays(const Program& p, PyObject* inputs, PyObject* outputs, Operands& operands,
                 Evaluation& e);

/// Lays the operands out for the workers: sizes, blocks, the direct way or NumPy's iterator,
/// outputs allocated. False with an exception set.
bool lay_out(const Program& p, Operands& operands, NPY_ORDER order, NPY_CASTING casting,
             Evaluation& e);

/// Copies of the iterator for `workers` workers; returns how many there are.
int copy_iterators(Evaluation& e, int workers);

/// After the workers: the iterator's outputs taken, the iterators freed.
void finish_iterators(Evaluation& e, Operands& operands);

}  // namespace quorvex::expressions
