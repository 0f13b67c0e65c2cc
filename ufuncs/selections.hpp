// Selections (fmax, fmin, maxmag, minmag) of many values at once, in AVX-512's or AVX2's lanes
// where the CPU has them.
#pragma once

#include <cmath>
#include <cstring>
#include <limits>

#include <immintrin.h>

#include "cpu.hpp"
#include "lanes.hpp"
#include "mkl_forms.hpp"
#include "numpy_api.hpp"

namespace quorvex::ufuncs {

/// Which of a and b a selection keeps; without branches, so that lanes of it vectorize.
template <Select S, class T>
T select(T a, T b) {
  const T ma = std::fabs(a), mb = std::fabs(b);
  bool second;
  if constexpr (S == Select::larger)
    second = b > a;
  else if constexpr (S == Select::smaller)
    second = b < a;
  else if constexpr (S == Select::larger_magnitude)
    second = mb > ma || (mb == ma && b > a);
  else
    second = mb < ma || (mb == ma && b < a);
  return second || a != a ? b : a;
}

/// select() lane by lane. Floating-point comparisons of vectors signal on NaN and the compiler
/// makes them one element at a time, so values are compared as integers that order as the
/// values do (NaNs aside, which a quiet comparison finds): a selection raises no flag.
template <Select S, class R, int Bytes>
[[gnu::always_inline]] inline auto select_lanes(typename Vectors<R, Bytes>::V a,
                                                typename Vectors<R, Bytes>::V b) {
  using W = Vectors<R, Bytes>;
  using B = typename W::B;
  constexpr auto max = std::numeric_limits<typename W::Bits>::max();
  constexpr int sign = 8 * sizeof(R) - 1;
  const B ia = reinterpret_cast<B>(a), ib = reinterpret_cast<B>(b);
  B second;
  if constexpr (S == Select::larger || S == Select::smaller) {
    const B ka = ia ^ ((ia >> sign) & max), kb = ib ^ ((ib >> sign) & max);  // -0 < +0
    second = S == Select::larger ? kb > ka : kb < ka;
  } else {
    const B ma = ia & max, mb = ib & max;
    const B ka = ia ^ ((ia >> sign) & max), kb = ib ^ ((ib >> sign) & max);
    second = S == Select::larger_magnitude ? (mb > ma) | ((mb == ma) & (kb > ka))
                                           : (mb < ma) | ((mb == ma) & (kb < ka));
  }
  // A NaN b orders as an integer above every number: it never wins over a number a.
  const B take_b = (second & (b == b)) | (a != a);
  return reinterpret_cast<typename W::V>((ib & take_b) | (ia & ~take_b));
}

/// value, then each of n contiguous inputs, selected among in vector lanes, eight vectors at
/// a time to hide the latency of each.
template <Select S, class R, int Bytes>
[[gnu::always_inline]] inline R selection_in(R value, const char* x, npy_intp n) {
  using W = Vectors<R, Bytes>;
  constexpr npy_intp vectors = 8, per_round = vectors * W::width;
  constexpr npy_intp bytes = W::width * npy_intp{sizeof(R)};
  npy_intp k = 0;
  if (n >= per_round) {
    typename W::V lane[vectors];
    for (npy_intp j = 0; j < vectors; ++j) lane[j] = W::load(x + j * bytes);
    for (k = per_round; k + per_round <= n; k += per_round)
      for (npy_intp j = 0; j < vectors; ++j)
        lane[j] =
            select_lanes<S, R, Bytes>(lane[j], W::load(x + k * npy_intp{sizeof(R)} + j * bytes));
    for (const auto& v : lane)
      for (npy_intp j = 0; j < W::width; ++j) value = select<S>(value, v[j]);
  }
  for (; k < n; ++k) {
    R v;
    std::memcpy(&v, x + k * npy_intp{sizeof(R)}, sizeof v);
    value = select<S>(value, v);
  }
  return value;
}

template <Select S, class R>
[[gnu::target("avx2"), gnu::flatten]] R selection_avx2(R value, const char* x, npy_intp n) {
  return selection_in<S, R, 32>(value, x, n);
}
template <Select S, class R>
R selection_sse2(R value, const char* x, npy_intp n) {
  return selection_in<S, R, 16>(value, x, n);
}

/// AVX-512's registers of float64 or float32 and the operations the selections use.
template <class T>
struct Avx512;
template <>
struct Avx512<double> {
  using Vector = __m512d;
  [[gnu::target("avx512f"), gnu::always_inline]] static Vector load(const char* p) {
    return _mm512_loadu_pd(p);
  }
  [[gnu::target("avx512f"), gnu::always_inline]] static void store(double* p, Vector v) {
    _mm512_storeu_pd(p, v);
  }
  [[gnu::target("avx512f"), gnu::always_inline]] static Vector max(Vector a, Vector b) {
    return _mm512_maskz_max_pd(0xFF, a, b);
  }
  [[gnu::target("avx512f"), gnu::always_inline]] static Vector min(Vector a, Vector b) {
    return _mm512_maskz_min_pd(0xFF, a, b);
  }
  /// b where a is NaN, else kept.
  [[gnu::target("avx512f"), gnu::always_inline]] static Vector unless_nan(Vector a, Vector kept,
                                                                          Vector b) {
    return _mm512_mask_blend_pd(_mm512_cmp_pd_mask(a, a, _CMP_UNORD_Q), kept, b);
  }
};
template <>
struct Avx512<float> {
  using Vector = __m512;
  [[gnu::target("avx512f"), gnu::always_inline]] static Vector load(const char* p) {
    return _mm512_loadu_ps(p);
  }
  [[gnu::target("avx512f"), gnu::always_inline]] static void store(float* p, Vector v) {
    _mm512_storeu_ps(p, v);
  }
  [[gnu::target("avx512f"), gnu::always_inline]] static Vector max(Vector a, Vector b) {
    return _mm512_maskz_max_ps(0xFFFF, a, b);
  }
  [[gnu::target("avx512f"), gnu::always_inline]] static Vector min(Vector a, Vector b) {
    return _mm512_maskz_min_ps(0xFFFF, a, b);
  }
  [[gnu::target("avx512f"), gnu::always_inline]] static Vector unless_nan(Vector a, Vector kept,
                                                                          Vector b) {
    return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(a, a, _CMP_UNORD_Q), kept, b);
  }
};

/// The larger or smaller of values, in AVX-512's registers with its own max and min, which
/// keep their second operand where either is NaN: b over a, unless a is NaN. (Their invalid
/// flag for a NaN is dropped with the kernel's other flags.) Four registers at a time.
template <Select S, class T>
[[gnu::target("avx512f")]] T extreme_avx512(T value, const char* x, npy_intp n) {
  static_assert(S == Select::larger || S == Select::smaller, "Only fmax and fmin use max, min.");
  using V = Avx512<T>;
  constexpr npy_intp width = 64 / npy_intp{sizeof(T)}, registers = 4;
  npy_intp k = 0;
  if (n >= width * registers) {
    T last[static_cast<std::size_t>(width * registers)];
    typename V::Vector lane[registers];
    for (npy_intp j = 0; j < registers; ++j) lane[j] = V::load(x + j * 64);
    for (k = width * registers; k + width * registers <= n; k += width * registers)
      for (npy_intp j = 0; j < registers; ++j) {
        const auto b = V::load(x + k * npy_intp{sizeof(T)} + j * 64);
        const auto kept = S == Select::larger ? V::max(b, lane[j]) : V::min(b, lane[j]);
        lane[j] = V::unless_nan(lane[j], kept, b);
      }
    for (npy_intp j = 0; j < registers; ++j) V::store(last + j * width, lane[j]);
    for (const T v : last) value = select<S>(value, v);
  }
  for (; k < n; ++k) {
    T v;
    std::memcpy(&v, x + k * npy_intp{sizeof(T)}, sizeof v);
    value = select<S>(value, v);
  }
  return value;
}

/// value, then each of n inputs, selected among: in vectors where the inputs are contiguous,
/// the widest the CPU has.
template <Select S, class T>
T selection(T value, const char* x, npy_intp n, npy_intp step) {
  if (step == npy_intp{sizeof(T)}) {
    using InLanes = T (*)(T, const char*, npy_intp);
    static const InLanes in_lanes = [] {
      InLanes avx512 = nullptr;  // AVX-512's own max and min serve fmax and fmin
      if constexpr (S == Select::larger || S == Select::smaller) avx512 = &extreme_avx512<S, T>;
      return for_cpu<InLanes>(&selection_sse2<S, T>, &selection_avx2<S, T>, avx512);
    }();
    return in_lanes(value, x, n);
  }
  for (npy_intp k = 0; k < n; ++k) {
    T v;
    std::memcpy(&v, x + k * step, sizeof v);
    value = select<S>(value, v);
  }
  return value;
}

}  // namespace quorvex::ufuncs
