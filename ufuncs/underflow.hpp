// Whether NumPy's own computation of an element underflows: the loops of the operations whose
// kernels leave underflows unreported decide them so, element by element, for the tiny
// results of a block while it is in cache.
#pragma once

#include <cfenv>
#include <cmath>
#include <limits>

#include "mkl_forms.hpp"
#include "numpy_api.hpp"

namespace quorvex::ufuncs {

/// Whether a real result is tiny: zero or below the smallest normal number in magnitude.
template <class T>
bool is_tiny(T r) {
  return std::fabs(r) < std::numeric_limits<T>::min();
}

/// NumPy's own loop for a variant's types, of the ufunc whose computation decides the
/// variant's underflows (np.divide, np.power): found when the module is imported, before any
/// loop of NumPy's can be switched; null where NumPy has none.
template <class V>
inline PyUFuncGenericFunction numpy_reference = nullptr;

/// The name of that ufunc in NumPy.
inline constexpr const char* numpy_name(Underflow u) {
  return u == Underflow::ieee_division ? "divide" : u == Underflow::libm_pow ? "power" : nullptr;
}

/// Whether NumPy's computation of a op b raises the underflow flag: its own loop where it has
/// one (its power flags exact tiny results or not by CPU: SVML's loops do, glibc's powf does
/// not), else IEEE division or C's pow. The thread's flags are left as they were.
template <Underflow U, class T>
bool numpy_underflows(PyUFuncGenericFunction reference, T a, T b) {
  static_assert(U != Underflow::kernel, "Only the loops that decide underflow ask.");
  std::fexcept_t saved;
  std::fegetexceptflag(&saved, FE_ALL_EXCEPT);
  std::feclearexcept(FE_UNDERFLOW);
  if (reference != nullptr) {
    T r;
    char* args[3] = {reinterpret_cast<char*>(&a), reinterpret_cast<char*>(&b),
                     reinterpret_cast<char*>(&r)};
    const npy_intp one = 1, steps[3] = {sizeof(T), sizeof(T), sizeof(T)};
    reference(args, &one, steps, nullptr);
  } else {
    volatile T x = a, y = b;  // computed here, at run time, with the flags read after it
    volatile T r = U == Underflow::ieee_division ? x / y : std::pow(T{x}, T{y});
    (void)r;
  }
  const bool underflows = std::fetestexcept(FE_UNDERFLOW) != 0;
  std::fesetexceptflag(&saved, FE_ALL_EXCEPT);
  return underflows;
}

}  // namespace quorvex::ufuncs
