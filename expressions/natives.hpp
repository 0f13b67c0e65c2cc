// The instructions the engine computes itself: the moves between registers that no ufunc makes
// (casts, where, real and imaginary parts, complex from two parts, copies), integer powers, and
// float32 and float64 arithmetic in place of NumPy's loops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <type_traits>

#include "cpu.hpp"
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

/// The casts type resolution inserts: the safe ones (NumPy's rules decide, in the compiler)
/// and any type to bool, which is `!= 0` as NumPy's truth of an element.
template <class From, class To>
inline constexpr bool castable =
    std::is_same_v<To, npy_bool> || (is_complex<To> || !is_complex<From>) &&
                                        (is_floating<To> || is_complex<To> || !is_floating<From>);

template <class From, class To>
To convert(From x) {
  if constexpr (std::is_same_v<To, npy_bool>) {
    if constexpr (is_complex<From>)
      return x.re != 0 || x.im != 0;
    else
      return x != From{0};
  } else if constexpr (is_complex<To>) {
    using Part = decltype(To{}.re);
    if constexpr (is_complex<From>)
      return To{static_cast<Part>(x.re), static_cast<Part>(x.im)};
    else
      return To{static_cast<Part>(x), Part{0}};
  } else {
    return static_cast<To>(x);
  }
}

template <class From, class To>
bool cast(char* const* r, npy_intp n) {
  const From* a = in<From>(r, 0);
  To* y = out<To>(r, 1);
  for (npy_intp i = 0; i < n; ++i) y[i] = convert<From, To>(a[i]);
  return true;
}

/// Elements moved as bits: where and copy need only the size.
template <std::size_t Size>
struct Bits {
  using type = std::conditional_t<
      Size == 1, std::uint8_t,
      std::conditional_t<Size == 2, std::uint16_t,
                         std::conditional_t<Size == 4, std::uint32_t, std::uint64_t>>>;
};
template <>
struct Bits<16> {
  struct type {
    std::uint64_t low, high;
  };
};

template <std::size_t Size>
bool where(char* const* r, npy_intp n) {
  using T = typename Bits<Size>::type;
  const npy_bool* c = in<npy_bool>(r, 0);
  const T* a = in<T>(r, 1);
  const T* b = in<T>(r, 2);
  T* y = out<T>(r, 3);
  for (npy_intp i = 0; i < n; ++i) y[i] = c[i] ? a[i] : b[i];
  return true;
}

template <std::size_t Size>
bool copy(char* const* r, npy_intp n) {
  if (r[0] != r[1]) std::memmove(r[1], r[0], static_cast<std::size_t>(n) * Size);
  return true;
}

template <class T, bool Imaginary>
bool part(char* const* r, npy_intp n) {
  const Complex<T>* z = in<Complex<T>>(r, 0);
  T* y = out<T>(r, 1);
  for (npy_intp i = 0; i < n; ++i) y[i] = Imaginary ? z[i].im : z[i].re;
  return true;
}

template <class T>
bool make_complex(char* const* r, npy_intp n) {
  const T* a = in<T>(r, 0);
  const T* b = in<T>(r, 1);
  Complex<T>* y = out<Complex<T>>(r, 2);
  for (npy_intp i = 0; i < n; ++i) y[i] = Complex<T>{a[i], b[i]};
  return true;
}

/// IEEE arithmetic on float32 and float64 registers, NumPy's operators to the bit and to the
/// flag (one rounding per operation, nothing contracted), in loops that cost a few cycles to
/// call: a run of them goes window by window at the speed of one loop over its arrays.
/// A uniform operand is read once.
enum class Operands { arrays, scalar_first, scalar_second };

struct Add {
  template <class T>
  T operator()(T a, T b) const {
    return a + b;
  }
};
struct Subtract {
  template <class T>
  T operator()(T a, T b) const {
    return a - b;
  }
};
struct Multiply {
  template <class T>
  T operator()(T a, T b) const {
    return a * b;
  }
};
struct Divide {
  template <class T>
  T operator()(T a, T b) const {
    return a / b;
  }
};

template <class T, class Op, Operands Kind>
[[gnu::always_inline]] inline void arithmetic_loop(char* const* r, npy_intp n) {
  const T* a = in<T>(r, 0);
  const T* b = in<T>(r, 1);
  T* y = out<T>(r, 2);
  if constexpr (Kind == Operands::scalar_first) {
    const T x = a[0];
#pragma GCC ivdep
    for (npy_intp i = 0; i < n; ++i) y[i] = Op{}(x, b[i]);
  } else if constexpr (Kind == Operands::scalar_second) {
    const T x = b[0];
#pragma GCC ivdep
    for (npy_intp i = 0; i < n; ++i) y[i] = Op{}(a[i], x);
  } else {
#pragma GCC ivdep
    for (npy_intp i = 0; i < n; ++i) y[i] = Op{}(a[i], b[i]);
  }
}

template <class T>
[[gnu::always_inline]] inline void negative_loop(char* const* r, npy_intp n) {
  const T* a = in<T>(r, 0);
  T* y = out<T>(r, 1);
#pragma GCC ivdep
  for (npy_intp i = 0; i < n; ++i) y[i] = -a[i];
}

template <class T, class Op, Operands Kind>
bool arithmetic(char* const* r, npy_intp n) {
  if constexpr (std::is_same_v<Op, void>)
    negative_loop<T>(r, n);
  else
    arithmetic_loop<T, Op, Kind>(r, n);
  return true;
}
template <class T, class Op, Operands Kind>
[[gnu::target("avx2"), gnu::flatten]] bool arithmetic_avx2(char* const* r, npy_intp n) {
  return arithmetic<T, Op, Kind>(r, n);
}

template <class T, class Op, Operands Kind>
Native arithmetic_for_cpu() {
  static const Native chosen =
      for_cpu<Native>(&arithmetic<T, Op, Kind>, &arithmetic_avx2<T, Op, Kind>);
  return chosen;
}

template <class T, class Op>
Native arithmetic_for(Operands kind) {
  switch (kind) {
    case Operands::scalar_first:
      return arithmetic_for_cpu<T, Op, Operands::scalar_first>();
    case Operands::scalar_second:
      return arithmetic_for_cpu<T, Op, Operands::scalar_second>();
    default:
      return arithmetic_for_cpu<T, Op, Operands::arrays>();
  }
}

/// The engine's own loop for NumPy's ufunc `name` on `T`, or nullptr; `void` is negative.
template <class T>
Native find_arithmetic(const char* name, Operands kind) {
  if (std::strcmp(name, "add") == 0) return arithmetic_for<T, Add>(kind);
  if (std::strcmp(name, "subtract") == 0) return arithmetic_for<T, Subtract>(kind);
  if (std::strcmp(name, "multiply") == 0) return arithmetic_for<T, Multiply>(kind);
  if (std::strcmp(name, "divide") == 0) return arithmetic_for<T, Divide>(kind);
  if (std::strcmp(name, "negative") == 0) return arithmetic_for_cpu<T, void, Operands::arrays>();
  return nullptr;
}

/// y = a * b, then that product and c added or subtracted: the two roundings of NumPy's two
/// calls, in one pass. `Then` says which: p + c, c + p, p - c or c - p, operands in order,
/// so that a NaN propagates as it would.
enum class Then { add, add_to, subtract, subtract_from };

template <class T, Operands Product, bool ScalarAddend, Then How>
[[gnu::always_inline]] inline void multiply_add_loop(char* const* r, npy_intp n) {
  const T* a = in<T>(r, 0);
  const T* b = in<T>(r, 1);
  const T* c = in<T>(r, 2);
  T* y = out<T>(r, 3);
  const T first = a[0], second = b[0], addend = c[0];
#pragma GCC ivdep
  for (npy_intp i = 0; i < n; ++i) {
    const T p = (Product == Operands::scalar_first ? first : a[i]) *
                (Product == Operands::scalar_second ? second : b[i]);
    const T z = ScalarAddend ? addend : c[i];
    if constexpr (How == Then::add)
      y[i] = p + z;
    else if constexpr (How == Then::add_to)
      y[i] = z + p;
    else if constexpr (How == Then::subtract)
      y[i] = p - z;
    else
      y[i] = z - p;
  }
}

/// The variants by index: product operands (3) x scalar addend (2) x what follows (4).
inline constexpr std::size_t multiply_add_variants = 24;
template <class T, std::size_t I>
bool multiply_add(char* const* r, npy_intp n) {
  multiply_add_loop<T, static_cast<Operands>(I / 8), (I / 4) % 2 == 1, static_cast<Then>(I % 4)>(r,
                                                                                                 n);
  return true;
}
template <class T, std::size_t I>
[[gnu::target("avx2"), gnu::flatten]] bool multiply_add_avx2(char* const* r, npy_intp n) {
  return multiply_add<T, I>(r, n);
}

template <class T, std::size_t... I>
Native find_multiply_add(std::size_t index, std::index_sequence<I...>) {
  static constexpr Native plain[] = {&multiply_add<T, I>...};
  static constexpr Native wide[] = {&multiply_add_avx2<T, I>...};
  return for_cpu(plain[index], wide[index]);
}

/// The engine's multiply-add on T for these operands.
template <class T>
Native find_multiply_add(Operands product, bool scalar_addend, Then how) {
  const std::size_t index = static_cast<std::size_t>(product) * 8 + (scalar_addend ? 4 : 0) +
                            static_cast<std::size_t>(how);
  return find_multiply_add<T>(index, std::make_index_sequence<multiply_add_variants>{});
}

/// NumPy's integer power: wrapping products by squaring; a negative exponent is an error.
/// Products wrap the same in any order, so the unsigned arithmetic here equals NumPy's.
template <class T>
bool integer_power(char* const* r, npy_intp n) {
  using U = std::make_unsigned_t<std::conditional_t<std::is_same_v<T, npy_bool>, npy_ubyte, T>>;
  const T* a = in<T>(r, 0);
  const T* b = in<T>(r, 1);
  T* y = out<T>(r, 2);
  bool ok = true;
  for (npy_intp i = 0; i < n; ++i) {
    T e = b[i];
    if constexpr (std::is_signed_v<T>) {
      if (e < 0) {
        ok = false;
        y[i] = 0;
        continue;
      }
    }
    U base = static_cast<U>(a[i]), result = 1;
    for (auto k = static_cast<U>(e); k != 0; k >>= 1) {
      if (k & 1U) result = static_cast<U>(result * base);
      base = static_cast<U>(base * base);
    }
    y[i] = static_cast<T>(result);
  }
  return ok;
}

}  // namespace quorvex::expressions
