// The instructions the engine computes itself: the moves between registers that no ufunc makes
// (casts, where, real and imaginary parts, complex from two parts, copies) and integer powers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "register_types.hpp"

namespace quorvex::expressions {

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

/// The bits of a where c is true, else of b: by a mask, not a branch, which a condition that
/// varies from element to element would mispredict half the time; the loop vectorizes.
template <class T>
T select_bits(npy_bool c, T a, T b) {
  if constexpr (std::is_integral_v<T>) {
    const T mask = static_cast<T>(T{0} - static_cast<T>(c != 0));
    return static_cast<T>((a & mask) | (b & static_cast<T>(~mask)));
  } else {
    return {select_bits(c, a.low, b.low), select_bits(c, a.high, b.high)};
  }
}

template <std::size_t Size>
bool where(char* const* r, npy_intp n) {
  using T = typename Bits<Size>::type;
  const npy_bool* c = in<npy_bool>(r, 0);
  const T* a = in<T>(r, 1);
  const T* b = in<T>(r, 2);
  T* y = out<T>(r, 3);
  for (npy_intp i = 0; i < n; ++i) y[i] = select_bits(c[i], a[i], b[i]);
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
