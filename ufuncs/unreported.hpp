// Which results a variant's loops look through themselves, where the kernel MKL loaded leaves
// them without an error status.
#pragma once

#include <cfenv>

#include "mkl_forms.hpp"
#include "numpy_api.hpp"

namespace quorvex::ufuncs {

/// Whether the loops of a variant look through their results for what the kernel left
/// unreported: set at import, from the kernel library MKL loaded.
template <class V>
inline bool scans_results = false;

/// Whether a variant's loops decide underflows themselves, from NumPy's computation of the
/// tiny results: where the kernel leaves them unreported.
template <class V>
bool decides_underflow() {
  return (V::contract.unreported & Unreported::underflow) != 0 && scans_results<V>;
}

/// The flags a variant's loops take from the values alone, where they look for what the kernel
/// leaves unreported: the kernel's own flags of those kinds count no more (the AVX-512
/// kernels' complex Sub raises invalid for NaN inputs, whose NaN result is exact).
template <class V>
int decided_flags() {
  if (!scans_results<V>) return 0;
  constexpr unsigned unreported = V::contract.unreported;
  return ((unreported & Unreported::nan) != 0 ? FE_INVALID : 0) |
         ((unreported & Unreported::underflow) != 0 ? FE_UNDERFLOW : 0);
}

/// Bytes of results computed between two such looks: the look then reads them from the
/// core's second-level cache, and MKL's cost of a call (a few hundred nanoseconds for the
/// AVX-512 kernels) stays small against their computation.
inline constexpr npy_intp scan_bytes = 64 * 1024;

}  // namespace quorvex::ufuncs
