// The one place the package asks the CPU which instruction sets it has.
#pragma once

namespace quorvex {

inline bool has_avx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

inline bool has_avx512f() {
  static const bool has = __builtin_cpu_supports("avx512f");
  return has;
}

/// The variant of a function for this CPU: the AVX-512 one where the CPU has AVX-512F (and
/// one is given), else the AVX2 one where it has AVX2 (and one is given), else the baseline.
/// Callers keep the answer in a static: each asks once.
template <class F>
F for_cpu(F baseline, F avx2, F avx512 = nullptr) {
  if (avx512 != nullptr && has_avx512f()) return avx512;
  if (avx2 != nullptr && has_avx2()) return avx2;
  return baseline;
}

}  // namespace quorvex
