// Searches and comparisons of NumPy's fixed-width strings, where the engine's programs read
// booleans.
#pragma once

#include "numpy_api.hpp"

namespace quorvex::expressions {

/// contains(haystack, needle) -> booleans, broadcast: whether each string of `haystack` holds
/// the string of `needle` beside it. Both are aligned arrays of native byte order, both of
/// bytes (S) or both of UCS-4 (U); trailing NULs pad, as in NumPy's strings.
PyObject* contains(PyObject* self, PyObject* args);

/// compare(a, b, comparison) -> booleans, broadcast: NumPy's comparison of each pair of
/// strings, by its index in the comparisons' names; the arrays as contains() takes them.
PyObject* compare(PyObject* self, PyObject* args);

}  // namespace quorvex::expressions
