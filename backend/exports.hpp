// The conversion functions the backend hands over in the exports table.
#pragma once

#include <Python.h>

#include <cstddef>

struct _cffi_ctypedescr;

namespace quorvex {

using AnyFunction = void (*)();

/// Zero until the handshake, when the backend fills it; read-only afterwards.
extern AnyFunction cffi_exports[26];

namespace backend {

// Slot numbers of the exports table; the other slots are never read.
enum Slot : int {
  to_c_i32_slot = 5,
  to_c_u32_slot = 6,
  to_c_i64_slot = 7,
  to_c_u64_slot = 8,
  from_c_pointer_slot = 10,
  to_c_pointer_slot = 11,
  restore_errno_slot = 13,
  save_errno_slot = 14,
  to_c_slot = 17,
  prepare_pointer_call_argument_slot = 23,
  convert_array_from_object_slot = 24,
};

template <class Signature>
inline Signature* slot(Slot index) {
  return reinterpret_cast<Signature*>(cffi_exports[index]);
}

inline int to_c_i32(PyObject* o) { return slot<int(PyObject*)>(to_c_i32_slot)(o); }
inline unsigned to_c_u32(PyObject* o) { return slot<unsigned(PyObject*)>(to_c_u32_slot)(o); }
inline long long to_c_i64(PyObject* o) { return slot<long long(PyObject*)>(to_c_i64_slot)(o); }
inline unsigned long long to_c_u64(PyObject* o) {
  return slot<unsigned long long(PyObject*)>(to_c_u64_slot)(o);
}

inline PyObject* from_c_pointer(char* p, _cffi_ctypedescr* type) {
  return slot<PyObject*(char*, _cffi_ctypedescr*)>(from_c_pointer_slot)(p, type);
}
inline char* to_c_pointer(PyObject* o, _cffi_ctypedescr* type) {
  return slot<char*(PyObject*, _cffi_ctypedescr*)>(to_c_pointer_slot)(o, type);
}
inline void restore_errno() { slot<void()>(restore_errno_slot)(); }
inline void save_errno() { slot<void()>(save_errno_slot)(); }
inline int to_c(char* destination, _cffi_ctypedescr* type, PyObject* o) {
  return slot<int(char*, _cffi_ctypedescr*, PyObject*)>(to_c_slot)(destination, type, o);
}
/// 0: the pointer was stored in *out; > 0: a scratch buffer of that many bytes is
/// needed; < 0: refused, with an exception set.
inline Py_ssize_t prepare_pointer_call_argument(_cffi_ctypedescr* type, PyObject* o, char** out) {
  return slot<Py_ssize_t(_cffi_ctypedescr*, PyObject*, char**)>(prepare_pointer_call_argument_slot)(
      type, o, out);
}
inline int convert_array_from_object(char* destination, _cffi_ctypedescr* type, PyObject* o) {
  return slot<int(char*, _cffi_ctypedescr*, PyObject*)>(convert_array_from_object_slot)(destination,
                                                                                        type, o);
}

}  // namespace backend
}  // namespace quorvex
