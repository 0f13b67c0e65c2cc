// Whether NumPy's own computation of an element underflows: the loops of the operations whose
// kernels leave underflows unreported decide them so, element by element, for the tiny
// results of a block while it is in cache.
#pragma once

#include <cfenv>
#include <cmath>
#include <cstring>
#include <limits>

#include "mkl_forms.hpp"

namespace quorvex::ufuncs {

/// Whether a real result is tiny: zero or below the smallest normal number in magnitude.
template <class T>
bool is_tiny(T r) {
  return std::fabs(r) < std::numeric_limits<T>::min();
}

/// Whether NumPy's computation of a op b raises the underflow flag: its real divide is IEEE
/// division, its real power libm's pow (powf for float32). The thread's flags are left as
/// they were.
template <Underflow U, class T>
bool numpy_underflows(T a, T b) {
  static_assert(U != Underflow::kernel, "Only the loops that decide underflow ask.");
  std::fexcept_t saved;
  std::fegetexceptflag(&saved, FE_ALL_EXCEPT);
  std::feclearexcept(FE_UNDERFLOW);
  volatile T x = a, y = b;  // computed here, at run time, with the flags read after it
  volatile T r;
  if constexpr (U == Underflow::ieee_division)
    r = x / y;
  else
    r = std::pow(static_cast<T>(x), static_cast<T>(y));
  (void)r;
  const bool underflows = std::fetestexcept(FE_UNDERFLOW) != 0;
  std::fesetexceptflag(&saved, FE_ALL_EXCEPT);
  return underflows;
}

}  // namespace quorvex::ufuncs
