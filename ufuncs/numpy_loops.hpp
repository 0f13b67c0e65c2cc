// The loops of numpy_uses_mkl(): ours in place of NumPy's own, handing back what NumPy does
// better.
#pragma once

#include <array>

#include "float16.hpp"
#include "layout.hpp"
#include "loops.hpp"
#include "mkl_forms.hpp"
#include "numpy_api.hpp"

namespace quorvex::ufuncs {

/// The loop of NumPy's ufunc that one of ours replaces, kept for what NumPy does better.
template <class V, bool IsHalf>
inline PyUFuncGenericFunction numpy_original = nullptr;

/// Our loop in place of NumPy's, handing back to NumPy's own what would go element by
/// element here (accumulations, and reductions but those our blocks do faster) where NumPy's
/// loop gives MKL's bits: it is faster than one MKL call per element. Elsewhere MKL computes
/// those too, so that an element's result is the same in an accumulation as alone.
template <class V, bool IsHalf>
void numpy_loop(char** args, const npy_intp* dimensions, const npy_intp* steps, void* data) {
  using Form = typename V::form;
  std::array<npy_intp, Form::count> sizes = Form::sizes;
  if constexpr (IsHalf) sizes.fill(2);
  const bool ours_reduces =
      V::contract.reduce == Reduce::in_blocks && is_reduction<Form>(args, dimensions[0], steps);
  if (V::contract.numpy_same_bits && !ours_reduces &&
      must_go_element_by_element(args, dimensions[0], steps, sizes, Form::nin)) {
    numpy_original<V, IsHalf>(args, dimensions, steps, data);
  } else if constexpr (IsHalf) {
    if constexpr (V::contract.half == Half::nextafter)
      nextafter_half_loop(args, dimensions, steps, nullptr);
    else
      half_loop<V, Accuracy::thread>(args, dimensions, steps, nullptr);
  } else {
    loop<V, Accuracy::thread>(args, dimensions, steps, nullptr);
  }
}

}  // namespace quorvex::ufuncs
