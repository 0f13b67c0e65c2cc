// The module's run(): one evaluation of a compiled program on a call's arrays.
#pragma once

#include "numpy_api.hpp"

namespace quorvex::expressions {

/// run(program, inputs, outputs, order, casting, threads, name[, groups]) -> the outputs.
/// `inputs` are arrays in the program's argument order (scalars 0-d), `outputs` an array or
/// None each; `threads` 0 for MKL's maximum; floating-point errors reach np.errstate named
/// `name`. A reduced program gives its value 0-d, or with `groups` one value for each group
/// of the last axis, the iteration in C order.
PyObject* run(PyObject* self, PyObject* args);

/// Reads threading's main thread once, at import: the thread that runs signal handlers.
bool find_main_thread();

}  // namespace quorvex::expressions
