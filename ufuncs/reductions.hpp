// How a variant reduces: in pairwise blocks, a product in order, or a selection; and how a
// reduction reads its elements, as stored or float16 widened to float32.
#pragma once

#include <cstring>
#include <type_traits>

#include "mkl_forms.hpp"
#include "numpy_api.hpp"
#include "selections.hpp"

namespace quorvex::ufuncs {

template <class V>
inline constexpr bool reduces_in_blocks =
    V::contract.reduce == Reduce::in_blocks || V::contract.reduce == Reduce::pairwise_sum;

/// A real product in order: NumPy's order and MKL's multiplication, element by element.
template <class V>
inline constexpr bool multiplies_in_order =
    V::contract.reduce == Reduce::product_in_order &&
    std::is_floating_point_v<typename V::form::template operand<0>::element>;

/// Whether the loop computes the variant's reductions itself rather than one MKL call per
/// element.
template <class V>
inline constexpr bool reduces_itself =
    reduces_in_blocks<V> || multiplies_in_order<V> || V::contract.reduce == Reduce::selection;

inline float from_half(const char* at) {
  _Float16 half;
  std::memcpy(&half, at, sizeof half);
  return static_cast<float>(half);
}

inline void to_half(float value, char* at) {
  const auto half = static_cast<_Float16>(value);
  std::memcpy(at, &half, sizeof half);
}

/// A reduction's elements as they are stored, computed in their own type.
template <class T>
struct AsStored {
  using type = T;
  static constexpr bool widened = false;
  static T load(const char* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
  }
  static void store(T value, char* at) { std::memcpy(at, &value, sizeof value); }
};

/// float16 elements computed in float32 and rounded once at the end, as NumPy's own float16
/// reductions are.
struct HalfAsSingle {
  using type = float;
  static constexpr bool widened = true;
  static float load(const char* at) { return from_half(at); }
  static void store(float value, char* at) { to_half(value, at); }
};

/// value, then each of n inputs `step` bytes apart, in order: multiplied, or selected among.
template <class V, class E>
typename E::type in_order(typename E::type value, const char* x, npy_intp n, npy_intp step) {
  constexpr bool selects = V::contract.reduce == Reduce::selection;
  if constexpr (selects && !E::widened) {
    return selection<V::contract.select>(value, x, n, step);
  } else {
    for (npy_intp k = 0; k < n; ++k) {
      const typename E::type v = E::load(x + k * step);
      if constexpr (selects)
        value = select<V::contract.select>(value, v);
      else
        value *= v;
    }
    return value;
  }
}

}  // namespace quorvex::ufuncs
