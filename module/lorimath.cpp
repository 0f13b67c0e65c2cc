// The module entry: hands the type context to _cffi_backend, which builds `ffi` and `lib`.
#include <Python.h>

#include <cstdint>

#include "../typecontext/cffi_abi.hpp"
#include "../wrappers/backend_exports.hpp"

namespace quorvex {

AnyFunction cffi_exports[26];

namespace {

constexpr char module_name[] = "quorvex.mkl.lorimath";
constexpr std::uintptr_t protocol_version = 0x2601;

PyObject* initialize() {
  // The backend reads the record only during the call below, so it can live here.
  const void* init_record[4] = {
      module_name,
      reinterpret_cast<const void*>(protocol_version),
      cffi_exports,
      &type_context,
  };
  PyObject* backend = PyImport_ImportModule("_cffi_backend");
  if (backend == nullptr) return nullptr;
  PyObject* record_address = PyLong_FromVoidPtr(static_cast<void*>(init_record));
  if (record_address == nullptr) {
    Py_DECREF(backend);
    return nullptr;
  }
  PyObject* module =
      PyObject_CallMethod(backend, "_init_cffi_1_0_external_module", "O", record_address);
  Py_DECREF(record_address);
  Py_DECREF(backend);
  return module;
}

}  // namespace
}  // namespace quorvex

PyMODINIT_FUNC PyInit_lorimath(void) { return quorvex::initialize(); }
