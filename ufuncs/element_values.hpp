// What one element's operands and results say happened, as IEEE 754 and NumPy see it.
#pragma once

#include <mkl_types.h>

#include <cmath>
#include <cstring>
#include <utility>

#include "numpy_api.hpp"
#include "underflow.hpp"

namespace quorvex::ufuncs {

inline bool is_nan(float x) { return std::isnan(x); }
inline bool is_nan(double x) { return std::isnan(x); }
inline bool is_nan(MKL_Complex8 z) { return std::isnan(z.real) || std::isnan(z.imag); }
inline bool is_nan(MKL_Complex16 z) { return std::isnan(z.real) || std::isnan(z.imag); }
inline bool is_finite(float x) { return std::isfinite(x); }
inline bool is_finite(double x) { return std::isfinite(x); }
inline bool is_finite(MKL_Complex8 z) { return std::isfinite(z.real) && std::isfinite(z.imag); }
inline bool is_finite(MKL_Complex16 z) { return std::isfinite(z.real) && std::isfinite(z.imag); }
inline bool is_zero(float x) { return x == 0; }
inline bool is_zero(double x) { return x == 0; }
inline bool is_zero(MKL_Complex8 z) { return z.real == 0 && z.imag == 0; }
inline bool is_zero(MKL_Complex16 z) { return z.real == 0 && z.imag == 0; }
inline bool has_tiny_part(float x) { return is_tiny(x); }
inline bool has_tiny_part(double x) { return is_tiny(x); }
inline bool has_tiny_part(MKL_Complex8 z) { return is_tiny(z.real) || is_tiny(z.imag); }
inline bool has_tiny_part(MKL_Complex16 z) { return is_tiny(z.real) || is_tiny(z.imag); }
template <class Form, std::size_t I>
[[gnu::always_inline]] inline auto operand_at(char* const* at, const npy_intp* steps, npy_intp k) {
  typename Form::template operand<I>::element x;
  std::memcpy(&x, at[I] + k * steps[I], sizeof x);
  return x;
}

/// What one element's values say happened, as IEEE 754 and NumPy see it: a NaN from inputs
/// none of which is NaN is an invalid operation; an infinity from finite inputs a pole or an
/// overflow; an infinite or NaN input gives its exact result quietly.
struct ElementValues {
  bool nan_in = false, nonfinite_in = false, zero_in = false, zero_last_in = false;
  bool nan_out = false, infinite_out = false, tiny_out = false;
};

template <class Form, std::size_t I>
[[gnu::always_inline]] inline void look_at(ElementValues& e, char* const* at, const npy_intp* steps,
                                           npy_intp k) {
  constexpr auto nin = static_cast<std::size_t>(Form::nin);
  const auto x = operand_at<Form, I>(at, steps, k);
  if constexpr (I < nin) {
    e.nan_in = e.nan_in || is_nan(x);
    e.nonfinite_in = e.nonfinite_in || !is_finite(x);
    e.zero_in = e.zero_in || is_zero(x);
    e.zero_last_in = I == nin - 1 && is_zero(x);
  } else {
    e.nan_out = e.nan_out || is_nan(x);
    e.infinite_out = e.infinite_out || (!is_finite(x) && !is_nan(x));
    e.tiny_out = e.tiny_out || has_tiny_part(x);
  }
}

template <class Form, std::size_t... I>
[[gnu::always_inline]] inline ElementValues values_at(char* const* at, const npy_intp* steps,
                                                      npy_intp k, std::index_sequence<I...>) {
  ElementValues e;
  (look_at<Form, I>(e, at, steps, k), ...);
  return e;
}

}  // namespace quorvex::ufuncs
