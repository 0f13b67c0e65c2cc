// The accuracy a loop computes in, and the mode word MKL's mode variants take for it.
#pragma once

#include <mkl_vml_defines.h>
#include <mkl_vml_functions.h>

namespace quorvex::ufuncs {

/// The accuracy a loop computes in: the calling thread's mode (MKL's plain forms), or one
/// that the ufunc's namespace fixes (vml.ha, vml.la, vml.ep), handed over as the loop's data.
enum class Accuracy { thread, fixed };

template <Accuracy A>
long long mode_word(const void* data) {
  if constexpr (A == Accuracy::thread) {
    return 0;
  } else {
    // The thread's error handling and denormal settings, with the namespace's accuracy.
    const unsigned accuracy = *static_cast<const unsigned*>(data);
    return static_cast<long long>((vmlGetMode() & ~unsigned{VML_ACCURACY_MASK}) | accuracy);
  }
}

}  // namespace quorvex::ufuncs
