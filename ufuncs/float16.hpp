// float16 loops: computed through the float32 variant and rounded once, or natively (nextafter).
#pragma once

#include <algorithm>
#include <array>
#include <cfenv>
#include <cstdint>
#include <cstring>

#include "accuracy.hpp"
#include "computation.hpp"
#include "fp_status.hpp"
#include "layout.hpp"
#include "pairwise.hpp"
#include "reductions.hpp"
#include "selections.hpp"

namespace quorvex::ufuncs {

/// float16 keeps its dtype: blocks of it are computed through the float32 variant, as
/// NumPy computes its own float16 loops, in buffers that stay in the first-level cache.
/// Reductions accumulate in float32 and round once, as NumPy's float16 add and multiply do.
template <class V, Accuracy A>
void half_loop(char** numpy_args, const npy_intp* dimensions, const npy_intp* numpy_steps,
               void* data) {
  using Form = typename V::form;
  static_assert(Form::single_precision, "float16 is computed through the float32 variant.");
  constexpr std::size_t N = Form::count;
  constexpr npy_intp block = 512;
  const npy_intp n = dimensions[0];
  if (n <= 0) return;
  const long long mode = mode_word<A>(data);
  const MklOrder<V> operands(numpy_args, numpy_steps);
  char* const* args = operands.args;
  const npy_intp* steps = operands.steps;

  if constexpr (reduces_itself<V>) {
    if (is_reduction<Form>(args, n, steps)) {
      float value;
      {
        // Around the computation alone: rounding to float16 overflows as NumPy's own float16
        // loops do.
        ErrorReport<V> report;
        value = Computation<V, A>(mode, report).template reduce<HalfAsSingle>(args, n, steps);
      }
      to_half(value, args[2]);
      return;
    }
  }

  std::array<npy_intp, N> half_sizes;
  half_sizes.fill(2);
  const npy_intp per_block =
      must_go_element_by_element(args, n, steps, half_sizes, Form::nin) ? 1 : block;
  float buffers[N][block];
  char* at[N];
  npy_intp buffer_steps[N];
  for (npy_intp start = 0; start < n; start += per_block) {
    const npy_intp m = std::min(per_block, n - start);
    for (std::size_t i = 0; i < N; ++i) {
      at[i] = reinterpret_cast<char*>(buffers[i]);
      buffer_steps[i] = steps[i] == 0 ? 0 : npy_intp{sizeof(float)};
      if (i >= static_cast<std::size_t>(Form::nin)) continue;
      const npy_intp converted = steps[i] == 0 ? 1 : m;
      for (npy_intp k = 0; k < converted; ++k)
        buffers[i][k] = from_half(args[i] + (start + k) * steps[i]);
    }
    {
      ErrorReport<V> report;
      const Computation<V, A> compute(mode, report);
      compute.run(at, m, buffer_steps);
    }
    for (std::size_t o = static_cast<std::size_t>(Form::nin); o < N; ++o)
      for (npy_intp k = 0; k < m; ++k) to_half(buffers[o][k], args[o] + (start + k) * steps[o]);
  }
}

/// nextafter in float16 itself: the neighbour of x towards y, with NumPy's special values
/// (NaN for a NaN, x where x == y, overflow where a finite x steps to an infinity).
inline void nextafter_half_loop(char** args, const npy_intp* dimensions, const npy_intp* steps,
                                void*) {
  bool overflow = false;
  for (npy_intp k = 0; k < dimensions[0]; ++k) {
    std::uint16_t x, y, r;
    std::memcpy(&x, args[0] + k * steps[0], sizeof x);
    std::memcpy(&y, args[1] + k * steps[1], sizeof y);
    const bool x_nan = (x & 0x7fffu) > 0x7c00u, y_nan = (y & 0x7fffu) > 0x7c00u;
    if (x_nan || y_nan) {
      r = 0x7e00u;
    } else if (x == y || ((x | y) & 0x7fffu) == 0) {
      r = x;
    } else if ((x & 0x7fffu) == 0) {
      r = static_cast<std::uint16_t>((y & 0x8000u) | 1u);  // the smallest subnormal
    } else {
      // Away from zero where y lies beyond x on x's side of it, towards zero otherwise.
      const bool x_negative = x & 0x8000u, y_negative = y & 0x8000u;
      const bool away = x_negative == y_negative && (y & 0x7fffu) > (x & 0x7fffu);
      r = static_cast<std::uint16_t>(away ? x + 1 : x - 1);
      overflow = overflow || (r & 0x7fffu) == 0x7c00u;
    }
    std::memcpy(args[2] + k * steps[2], &r, sizeof r);
  }
  if (overflow) std::feraiseexcept(FE_OVERFLOW);
}

}  // namespace quorvex::ufuncs
