// Floating-point status: the flags the kernels raise, MKL's error status, and the report of
// one loop's errors to NumPy.
#pragma once

#include <mkl_vml_defines.h>
#include <mkl_vml_functions.h>

#include <cfenv>

#include <immintrin.h>

#include "mkl_forms.hpp"
#include "unreported.hpp"

#if !defined(__x86_64__)
#error "MKL's kernels, and the floating-point flags read here, are those of x86-64."
#endif

namespace quorvex::ufuncs {

// --- Floating-point status. -----------------------------------------------------------------

inline constexpr int reported_flags = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW;

/// The flags raised in both floating-point units: MKL's vector kernels raise theirs in MXCSR,
/// but some of their scalar paths compute in the x87 unit, whose status word NumPy reads too.
inline int raised_flags() {
  unsigned short x87;
  __asm__ volatile("fnstsw %0" : "=m"(x87));
  return static_cast<int>((x87 | _mm_getcsr()) & unsigned{reported_flags});
}

inline int flag_of_status(int status) {
  switch (status) {
    case VML_STATUS_ERRDOM:
      return FE_INVALID;
    case VML_STATUS_SING:
      return FE_DIVBYZERO;
    case VML_STATUS_OVERFLOW:
      return FE_OVERFLOW;
    case VML_STATUS_UNDERFLOW:
      return FE_UNDERFLOW;
    default:  // none, or an accuracy warning, which NumPy has no flag for
      return 0;
  }
}

/// MKL's report of one loop's calls becomes NumPy's floating-point status, which np.errstate
/// acts on; the error status the caller had is put back, so MKL's per-thread state is
/// unchanged. The loop tells it what the values say (Computation::settle).
/// - Errors::status: the flags the kernel raised are dropped, being no errors of the function
///   (an ordered comparison with a quiet NaN, lanes it throws away).
/// - Errors::ieee_flags: the flags of IEEE arithmetic are the operation's own.
/// - Errors::ieee_division: so are they, but for an invalid operation or a division by zero,
///   which the kernels mix up (0 / 0): the loop finds those in the values.
/// Where the loop decides a kind of error from the values (decided_flags), the kernel's flags of
/// that kind are dropped too.
template <class V>
class ErrorReport {
  static constexpr Errors E = V::errors;

 public:
  ErrorReport() {
    if constexpr (E != Errors::ieee_flags) saved_ = vmlClearErrStatus();
    if (dropped() != 0) before_ = raised_flags();
  }
  ~ErrorReport() {
    if constexpr (E != Errors::ieee_flags) vmlSetErrStatus(saved_);
    if (const int mask = dropped(); mask != 0) {
      const int stray = raised_flags() & ~before_ & mask;
      if (stray != 0) std::feclearexcept(stray);
    }
    if (found_ != 0) std::feraiseexcept(found_);
  }
  ErrorReport(const ErrorReport&) = delete;
  ErrorReport& operator=(const ErrorReport&) = delete;

  void found(int flag) { found_ |= flag; }
  /// The invalid operations and divisions by zero the kernel raised in this loop.
  int mixed_division_flags() const {
    return raised_flags() & ~before_ & (FE_INVALID | FE_DIVBYZERO);
  }
  /// Clears them, once the values have told them apart, for the next call.
  void forget_mixed_division_flags() const {
    std::feclearexcept(mixed_division_flags());  // in both units
  }

 private:
  /// The kernel's flags that are not reported as they are.
  static int dropped() {
    constexpr int kind = E == Errors::status          ? reported_flags
                         : E == Errors::ieee_division ? FE_INVALID | FE_DIVBYZERO
                                                      : 0;
    return kind | decided_flags<V>();
  }

  int saved_ = VML_STATUS_OK;
  int before_ = 0;
  int found_ = 0;
};

}  // namespace quorvex::ufuncs
