// float32 and float64 arithmetic in place of NumPy's loops, and the multiply-adds that merge
// two of its operations into one pass.
#pragma once

#include <cstddef>
#include <cstring>
#include <utility>

#include "cpu.hpp"
#include "register_types.hpp"

namespace quorvex::expressions {

/// IEEE arithmetic on float32 and float64 registers, NumPy's operators to the bit and to the
/// flag (one rounding per operation, nothing contracted), in loops that cost a few cycles to
/// call: a run of them goes window by window at the speed of one loop over its arrays.
/// An operand with a step of 0 is read once.
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

}  // namespace quorvex::expressions
