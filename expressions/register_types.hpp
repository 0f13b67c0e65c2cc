// The element types registers hold, by NumPy's type number, and the native instruction's form.
#pragma once

#include <cstddef>
#include <type_traits>

#include "numpy_api.hpp"

namespace quorvex::expressions {

/// A native instruction on `n` elements of contiguous registers. It returns false where NumPy
/// would raise (an integer to a negative power), having computed the rest.
using Native = bool (*)(char* const* registers, npy_intp n);

template <class T>
struct Complex {
  T re, im;
};

/// The element type of each NumPy type number a register may hold.
template <int TypeNumber>
struct Element;
template <>
struct Element<NPY_BOOL> {
  using type = npy_bool;
};
template <>
struct Element<NPY_BYTE> {
  using type = npy_byte;
};
template <>
struct Element<NPY_UBYTE> {
  using type = npy_ubyte;
};
template <>
struct Element<NPY_SHORT> {
  using type = npy_short;
};
template <>
struct Element<NPY_USHORT> {
  using type = npy_ushort;
};
template <>
struct Element<NPY_INT> {
  using type = npy_int;
};
template <>
struct Element<NPY_UINT> {
  using type = npy_uint;
};
template <>
struct Element<NPY_LONG> {
  using type = npy_long;
};
template <>
struct Element<NPY_ULONG> {
  using type = npy_ulong;
};
template <>
struct Element<NPY_LONGLONG> {
  using type = npy_longlong;
};
template <>
struct Element<NPY_ULONGLONG> {
  using type = npy_ulonglong;
};
template <>
struct Element<NPY_HALF> {
  using type = _Float16;
};
template <>
struct Element<NPY_FLOAT> {
  using type = float;
};
template <>
struct Element<NPY_DOUBLE> {
  using type = double;
};
template <>
struct Element<NPY_CFLOAT> {
  using type = Complex<float>;
};
template <>
struct Element<NPY_CDOUBLE> {
  using type = Complex<double>;
};

/// The type numbers registers may hold, in one list that every dispatch below walks.
inline constexpr int register_types[] = {NPY_BOOL,   NPY_BYTE,     NPY_UBYTE,     NPY_SHORT,
                                         NPY_USHORT, NPY_INT,      NPY_UINT,      NPY_LONG,
                                         NPY_ULONG,  NPY_LONGLONG, NPY_ULONGLONG, NPY_HALF,
                                         NPY_FLOAT,  NPY_DOUBLE,   NPY_CFLOAT,    NPY_CDOUBLE};

template <class T>
inline constexpr bool is_complex = false;
template <class T>
inline constexpr bool is_complex<Complex<T>> = true;
template <class T>
inline constexpr bool is_floating = std::is_same_v<T, _Float16> || std::is_floating_point_v<T>;

template <class T>
const T* in(char* const* r, int i) {
  return reinterpret_cast<const T*>(r[i]);
}
template <class T>
T* out(char* const* r, int i) {
  return reinterpret_cast<T*>(r[i]);
}

}  // namespace quorvex::expressions
