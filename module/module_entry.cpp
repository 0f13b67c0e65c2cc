// The module entry: hands the type context to _cffi_backend, which builds `ffi` and `lib`.
// One source for every module; the generated module_name.inc names the one being built.
#include <Python.h>

#include <cstdint>

#include "../backend/cffi_abi.hpp"
#include "../backend/exports.hpp"

namespace quorvex {

AnyFunction cffi_exports[26];

namespace {

constexpr std::uintptr_t protocol_version = 0x2601;

PyObject* initialize(const char* module_name) {
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
#ifdef Py_GIL_DISABLED
  // The module's functions touch no shared state: it runs without the GIL wherever the
  // backend does (a backend that needs the GIL turned it back on when it was imported).
  if (module != nullptr && PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0)
    Py_CLEAR(module);
#endif
  return module;
}

}  // namespace
}  // namespace quorvex

#define QV_MODULE(NAME, DOTTED_NAME) \
  PyMODINIT_FUNC PyInit_##NAME(void) { return quorvex::initialize(DOTTED_NAME); }
#include "module_name.inc"
#undef QV_MODULE
