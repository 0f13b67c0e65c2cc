// Which way a loop goes: element by element, a reduction, or blocks; and the operands in MKL's
// order.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>

#include "mkl_forms.hpp"
#include "numpy_api.hpp"
#include "overlap.hpp"

namespace quorvex::ufuncs {

/// Whether no output overlaps an input: the inputs are then still there after the call.
template <class Form>
bool inputs_survive(char* const* at, const npy_intp* steps, npy_intp n) {
  auto span = [&](std::size_t i) { return span_of(at[i], n, steps[i], Form::sizes[i]); };
  for (std::size_t out = static_cast<std::size_t>(Form::nin); out < Form::count; ++out)
    for (std::size_t in = 0; in < static_cast<std::size_t>(Form::nin); ++in)
      if (overlap(span(in), span(out))) return false;
  return true;
}

// --- Which way a loop goes. -----------------------------------------------------------------

/// Whether the operands must be taken one element at a time: an output written to one
/// place over and over (a reduction), or an input that overlaps an output other than
/// exactly (an accumulation), whose elements MKL would read before it writes them.
template <std::size_t N>
bool must_go_element_by_element(char* const* args, npy_intp n, const npy_intp* steps,
                                const std::array<npy_intp, N>& sizes, int nin) {
  if (n < 2) return false;
  auto span = [&](std::size_t i) { return span_of(args[i], n, steps[i], sizes[i]); };
  for (std::size_t out = static_cast<std::size_t>(nin); out < N; ++out) {
    if (steps[out] == 0) return true;
    for (std::size_t in = 0; in < static_cast<std::size_t>(nin); ++in) {
      const bool same = args[in] == args[out] && steps[in] == steps[out] && sizes[in] == sizes[out];
      if (!same && overlap(span(in), span(out))) return true;
    }
  }
  return false;
}

/// Whether NumPy hands the loop a reduction: the output, of stride 0, is also the first input.
template <class Form>
bool is_reduction(char* const* args, npy_intp n, const npy_intp* steps) {
  if constexpr (Form::nin == 2 && Form::nout == 1)
    return n > 1 && steps[0] == 0 && steps[2] == 0 && args[0] == args[2];
  else
    return false;
}

/// NumPy's operands in MKL's order: the results reversed where NumPy's function has them so.
template <class V>
struct MklOrder {
  static constexpr std::size_t N = V::form::count;
  char* args[N];
  npy_intp steps[N];
  MklOrder(char** numpy_args, const npy_intp* numpy_steps) {
    std::copy_n(numpy_args, N, args);
    std::copy_n(numpy_steps, N, steps);
    if constexpr (V::order == Results::reversed) {
      std::reverse(args + V::form::nin, args + N);
      std::reverse(steps + V::form::nin, steps + N);
    }
  }
};

}  // namespace quorvex::ufuncs
