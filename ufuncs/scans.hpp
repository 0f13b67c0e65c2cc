// Looks through contiguous results for NaN, infinities or tiny values, in AVX2's lanes where
// the CPU has them.
#pragma once

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "cpu.hpp"
#include "lanes.hpp"
#include "numpy_api.hpp"
#include "underflow.hpp"

namespace quorvex::ufuncs {

/// What a look through results is for: NaN; NaN or an infinity; a tiny value (zero or below
/// the smallest normal number in magnitude).
enum class Look { nan, nonfinite, tiny };

/// Whether n contiguous reals hold a value of that kind: a quiet comparison of each with
/// itself, or an integer test of its magnitude's bits, a vector at a time, eight vectors
/// apart so that loads need not wait. Looking raises no flag.
template <class R, int Bytes, Look L>
[[gnu::always_inline]] inline bool any_special_in(const char* x, npy_intp n) {
  using W = Vectors<R, Bytes>;
  using Bits = typename W::Bits;
  constexpr npy_intp unrolled = 8;
  constexpr Bits largest = std::bit_cast<Bits>(std::numeric_limits<R>::max());
  constexpr Bits smallest = std::bit_cast<Bits>(std::numeric_limits<R>::min());
  typename W::B found = {};
  npy_intp k = 0;
  for (; k + unrolled * W::width <= n; k += unrolled * W::width)
    for (npy_intp j = 0; j < unrolled; ++j) {
      const auto v = W::load(x + (k + j * W::width) * npy_intp{sizeof(R)});
      const auto magnitude = reinterpret_cast<typename W::B>(v) & std::numeric_limits<Bits>::max();
      if constexpr (L == Look::nonfinite)
        found |= magnitude > largest;
      else if constexpr (L == Look::tiny)
        found |= magnitude < smallest;
      else
        found |= v != v;
    }
  bool any = false;
  for (npy_intp j = 0; j < W::width; ++j) any = any || found[j] != 0;
  for (; k < n; ++k) {
    R r;
    std::memcpy(&r, x + k * npy_intp{sizeof(R)}, sizeof r);
    any = any || (L == Look::nonfinite ? !std::isfinite(r)
                  : L == Look::tiny    ? is_tiny(r)
                                       : std::isnan(r));
  }
  return any;
}

template <class R, Look L>
[[gnu::target("avx2"), gnu::flatten]] bool any_special_avx2(const char* x, npy_intp n) {
  return any_special_in<R, 32, L>(x, n);
}

/// AVX2's vectors where the CPU has them, chosen once. (GCC lowers comparisons of AVX-512's
/// vectors to one element at a time; AVX2's stay vectors.)
template <class R, Look L>
bool any_special(const char* x, npy_intp n) {
  using Scan = bool (*)(const char*, npy_intp);
  static const Scan scan = for_cpu<Scan>(&any_special_in<R, 16, L>, &any_special_avx2<R, L>);
  return scan(x, n);
}

}  // namespace quorvex::ufuncs
