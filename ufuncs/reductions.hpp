// How a variant reduces: in pairwise blocks, a product in order, or a selection.
#pragma once

#include <cstring>
#include <type_traits>

#include "mkl_forms.hpp"
#include "numpy_api.hpp"

namespace quorvex::ufuncs {

template <class V>
inline constexpr bool reduces_in_blocks =
    V::contract.reduce == Reduce::in_blocks || V::contract.reduce == Reduce::pairwise_sum;

/// A real product in order: NumPy's order and MKL's multiplication, element by element.
template <class V>
inline constexpr bool multiplies_in_order =
    V::contract.reduce == Reduce::product_in_order &&
    std::is_floating_point_v<typename V::form::template operand<0>::element>;

template <class T>
T product_in_order(T value, const char* x, npy_intp n, npy_intp step) {
  for (npy_intp k = 0; k < n; ++k) {
    T v;
    std::memcpy(&v, x + k * step, sizeof v);
    value *= v;
  }
  return value;
}

}  // namespace quorvex::ufuncs
