// Whether two stretches of memory share a byte: the one test behind in-place operands,
// accumulations and aliased outputs.
#pragma once

#include <algorithm>
#include <cstddef>

namespace quorvex {

/// The bytes from `low` up to, not including, `high`.
struct Span {
  const char* low;
  const char* high;
};

/// The bytes n elements of `size` bytes take, `step` bytes apart from `at` (any step, negative
/// or zero too).
inline Span span_of(const char* at, std::ptrdiff_t n, std::ptrdiff_t step, std::ptrdiff_t size) {
  const std::ptrdiff_t last = (n - 1) * step;
  return {at + std::min<std::ptrdiff_t>(0, last), at + std::max<std::ptrdiff_t>(0, last) + size};
}

inline bool overlap(Span a, Span b) { return a.low < b.high && b.low < a.high; }

}  // namespace quorvex
