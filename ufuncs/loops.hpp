// The inner loops NumPy calls: MKL's contiguous form where every array is contiguous, blocks
// gathered into a contiguous scratch where one is strided, pairwise blocks for the reductions
// that allow any grouping, and one element at a time where the operands overlap as an
// accumulation or an in-order reduction makes them. MKL computes every element in its
// contiguous form, so that an element's result does not depend on the way to the loop.
#pragma once

#include "computation.hpp"
#include "fp_status.hpp"
#include "layout.hpp"
#include "numpy_api.hpp"

namespace quorvex::ufuncs {

/// The loop NumPy calls for one variant.
template <class V, Accuracy A>
void loop(char** numpy_args, const npy_intp* dimensions, const npy_intp* numpy_steps, void* data) {
  const npy_intp n = dimensions[0];
  if (n <= 0) return;
  const MklOrder<V> operands(numpy_args, numpy_steps);
  ErrorReport<V> report;
  const Computation<V, A> compute(mode_word<A>(data), report);
  compute.run(operands.args, n, operands.steps);
}

}  // namespace quorvex::ufuncs
