// One converter per C parameter type: the parameter's C type alone selects the conversion.
#pragma once

#include <Python.h>

#include <mkl_types.h>
#include <mkl_vml_types.h>

#include <type_traits>

#include "../backend/cffi_abi.hpp"
#include "../backend/exports.hpp"
#include "scratch_arena.hpp"

namespace quorvex {

/// A position converted into a scratch buffer (the backend asked for `size` > 0
/// bytes, or refused with `size` < 0). Out of line: the cdata path never gets here.
bool convert_into_scratch(Py_ssize_t size, _cffi_ctypedescr* type, PyObject* item, char** out,
                          ScratchArena& scratch);

[[gnu::cold]] PyObject* raise_arity_error(const char* name, Py_ssize_t expected, Py_ssize_t given);

/// Converter of one parameter. `TypeIndex` is the canonical type-table entry the
/// converter reads; primitives read none. Each converter returns false, with a
/// Python exception set, when the object cannot be converted.
template <class CType, int TypeIndex = -1>
struct Arg;

template <>
struct Arg<int> {
  using c_type = int;
  static bool convert(PyObject* item, int& out, ScratchArena&) {
    out = backend::to_c_i32(item);
    return out != -1 || PyErr_Occurred() == nullptr;
  }
};

template <>
struct Arg<unsigned int> {
  using c_type = unsigned int;
  static bool convert(PyObject* item, unsigned int& out, ScratchArena&) {
    out = backend::to_c_u32(item);
    return out != 0xFFFFFFFFu || PyErr_Occurred() == nullptr;
  }
};

template <>
struct Arg<long long> {
  using c_type = long long;
  static bool convert(PyObject* item, long long& out, ScratchArena&) {
    out = backend::to_c_i64(item);
    return out != -1 || PyErr_Occurred() == nullptr;
  }
};

template <>
struct Arg<unsigned long long> {
  using c_type = unsigned long long;
  static bool convert(PyObject* item, unsigned long long& out, ScratchArena&) {
    out = backend::to_c_u64(item);
    return out != ~0ull || PyErr_Occurred() == nullptr;
  }
};

template <>
struct Arg<double> {
  using c_type = double;
  static bool convert(PyObject* item, double& out, ScratchArena&) {
    out = PyFloat_AsDouble(item);
    return out != -1.0 || PyErr_Occurred() == nullptr;  // ordered: NaN never asks
  }
};

template <>
struct Arg<float> {
  using c_type = float;
  static bool convert(PyObject* item, float& out, ScratchArena&) {
    // IEEE narrowing: out-of-range values become infinities, NaN stays NaN.
    out = static_cast<float>(PyFloat_AsDouble(item));
    return out != -1.0f || PyErr_Occurred() == nullptr;
  }
};

/// Arrays, and scalars passed by reference: the backend hands the pointer over
/// directly, or asks for a scratch buffer and fills it from the object.
template <class Element, int TypeIndex>
  requires std::is_object_v<Element>
struct Arg<Element*, TypeIndex> {
  using c_type = Element*;
  static bool convert(PyObject* item, Element*& out, ScratchArena& scratch) {
    _cffi_ctypedescr* type = type_descriptor(TypeIndex);
    char* pointer;
    Py_ssize_t size = backend::prepare_pointer_call_argument(type, item, &pointer);
    if (size != 0 && !convert_into_scratch(size, type, item, &pointer, scratch)) [[unlikely]]
      return false;
    out = reinterpret_cast<Element*>(pointer);
    return true;
  }
};

/// A complex exponent by value; a successful conversion writes the whole value.
template <class Complex, int TypeIndex>
  requires std::is_same_v<Complex, MKL_Complex8> || std::is_same_v<Complex, MKL_Complex16>
struct Arg<Complex, TypeIndex> {
  using c_type = Complex;
  static bool convert(PyObject* item, Complex& out, ScratchArena&) {
    return backend::to_c(reinterpret_cast<char*>(&out), type_descriptor(TypeIndex), item) >= 0;
  }
};

template <int TypeIndex>
struct Arg<VMLErrorCallBack, TypeIndex> {
  using c_type = VMLErrorCallBack;
  static bool convert(PyObject* item, VMLErrorCallBack& out, ScratchArena&) {
    char* pointer = backend::to_c_pointer(item, type_descriptor(TypeIndex));
    out = reinterpret_cast<VMLErrorCallBack>(pointer);
    return pointer != nullptr || PyErr_Occurred() == nullptr;  // null is a valid callback
  }
};

/// Converter of a result back to Python, run with the lock held.
template <class CType, int TypeIndex = -1>
struct Result;

template <>
struct Result<void> {
  using c_type = void;
};

template <>
struct Result<int> {
  using c_type = int;
  static PyObject* to_python(int value) { return PyLong_FromLong(value); }
};

template <>
struct Result<unsigned int> {
  using c_type = unsigned int;
  static PyObject* to_python(unsigned int value) { return PyLong_FromUnsignedLong(value); }
};

template <>
struct Result<long long> {
  using c_type = long long;
  static PyObject* to_python(long long value) { return PyLong_FromLongLong(value); }
};

template <>
struct Result<unsigned long long> {
  using c_type = unsigned long long;
  static PyObject* to_python(unsigned long long value) {
    return PyLong_FromUnsignedLongLong(value);
  }
};

template <int TypeIndex>
struct Result<VMLErrorCallBack, TypeIndex> {
  using c_type = VMLErrorCallBack;
  static PyObject* to_python(VMLErrorCallBack value) {
    return backend::from_c_pointer(reinterpret_cast<char*>(value), type_descriptor(TypeIndex));
  }
};

}  // namespace quorvex
