// A comparison merged into the where that reads its booleans: where(a > b, x, z) in one pass
// over its arrays, the booleans never written. NumPy's comparisons to the bit and to the flag:
// a NaN compares false but for !=, quietly.
#pragma once

#include <immintrin.h>

#include <iterator>
#include <type_traits>
#include <utility>

#include "cpu.hpp"
#include "register_types.hpp"

namespace quorvex::expressions {

/// NumPy's comparison ufuncs, by name; an instruction's `comparison` is its index + 1.
enum class Comparison { less, less_equal, greater, greater_equal, equal, not_equal };
inline constexpr const char* comparison_names[] = {"less",          "less_equal", "greater",
                                                   "greater_equal", "equal",      "not_equal"};
inline constexpr std::size_t comparison_count = std::size(comparison_names);

template <Comparison C, class T>
[[gnu::always_inline]] inline bool compare(T a, T b) {
  if constexpr (C == Comparison::less) return a < b;
  if constexpr (C == Comparison::less_equal) return a <= b;
  if constexpr (C == Comparison::greater) return a > b;
  if constexpr (C == Comparison::greater_equal) return a >= b;
  if constexpr (C == Comparison::equal) return a == b;
  if constexpr (C == Comparison::not_equal) return a != b;
}

/// y = compare(a, b) ? x : z, every operand an array of T. Both values are read before the
/// choice, so that the loop vectorizes into a blend. Vector compares of floats signal invalid
/// on a NaN (even std::isless's), where NumPy's are quiet: the flag is put back as it was,
/// as nothing else here can raise it.
template <class T, Comparison C>
bool select_compared(char* const* r, npy_intp n) {
  const T* a = in<T>(r, 0);
  const T* b = in<T>(r, 1);
  const T* x = in<T>(r, 2);
  const T* z = in<T>(r, 3);
  T* y = out<T>(r, 4);
  [[maybe_unused]] unsigned before = 0;
  if constexpr (std::is_floating_point_v<T>) before = _mm_getcsr();
  for (npy_intp i = 0; i < n; ++i) {
    const T chosen = x[i], other = z[i];
    y[i] = compare<C>(a[i], b[i]) ? chosen : other;
  }
  if constexpr (std::is_floating_point_v<T>)
    _mm_setcsr((_mm_getcsr() & ~unsigned{_MM_EXCEPT_INVALID}) | (before & _MM_EXCEPT_INVALID));
  return true;
}

template <class T, Comparison C>
[[gnu::target("avx2"), gnu::flatten]] bool select_compared_avx2(char* const* r, npy_intp n) {
  return select_compared<T, C>(r, n);
}

template <class T, std::size_t... I>
Native find_select(std::size_t comparison, std::index_sequence<I...>) {
  static const Native chosen[] = {
      for_cpu<Native>(&select_compared<T, static_cast<Comparison>(I)>,
                      &select_compared_avx2<T, static_cast<Comparison>(I)>)...};
  return chosen[comparison];
}

/// The merged kernel for comparison `comparison` (index) of registers of `type`, selecting
/// registers of that type, or nullptr where the engine has none.
inline Native find_select(std::size_t comparison, int type) {
  constexpr auto all = std::make_index_sequence<comparison_count>{};
  switch (type) {
    case NPY_FLOAT:
      return find_select<npy_float>(comparison, all);
    case NPY_DOUBLE:
      return find_select<npy_double>(comparison, all);
    case NPY_INT:
      return find_select<npy_int>(comparison, all);
    case NPY_LONG:
      return find_select<npy_long>(comparison, all);
    case NPY_LONGLONG:
      return find_select<npy_longlong>(comparison, all);
    default:
      return nullptr;
  }
}

}  // namespace quorvex::expressions
