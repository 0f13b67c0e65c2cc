// The out-of-line halves of the converters: the arity message and the scratch-buffer path.
#include <Python.h>

#include "arguments.hpp"

namespace quorvex {

PyObject* raise_arity_error(const char* name, Py_ssize_t expected, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%.150s() takes exactly %zd arguments (%zd given)", name, expected,
               given);
  return nullptr;
}

bool convert_into_scratch(Py_ssize_t size, _cffi_ctypedescr* type, PyObject* item, char** out,
                          ScratchArena& scratch) {
  if (size < 0) return false;  // the backend refused the object and set the exception
  void* buffer = scratch.allocate(static_cast<std::size_t>(size));
  if (buffer == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  *out = static_cast<char*>(buffer);
  return backend::convert_array_from_object(*out, type, item) >= 0;
}

}  // namespace quorvex
