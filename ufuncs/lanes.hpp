// Vector lanes: vectors of reals, the reals of an element type, and IEEE additions in lanes.
#pragma once

#include <mkl_types.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "cpu.hpp"
#include "numpy_api.hpp"

namespace quorvex::ufuncs {

/// Vectors of `Bytes` bytes of R, and the like-sized integers of their bits.
template <class R, int Bytes>
struct Vectors {
  using Bits = std::conditional_t<sizeof(R) == 4, std::int32_t, std::int64_t>;
  using V [[gnu::vector_size(Bytes)]] = R;
  using B [[gnu::vector_size(Bytes)]] = Bits;
  static constexpr npy_intp width = Bytes / npy_intp{sizeof(R)};

  [[gnu::always_inline]] static V load(const char* at) {
    V v;
    std::memcpy(&v, at, sizeof v);
    return v;
  }
  [[gnu::always_inline]] static V magnitude(V v) {
    return reinterpret_cast<V>(reinterpret_cast<B>(v) & (B{} + std::numeric_limits<Bits>::max()));
  }
};

/// The real type of an element type: complex parts are looked at as two reals.
template <class T>
struct RealOf {
  using type = T;
};
template <>
struct RealOf<MKL_Complex8> {
  using type = float;
};
template <>
struct RealOf<MKL_Complex16> {
  using type = double;
};

/// out = x + y for n reals; out may be x or y exactly, never shifted, so each element depends
/// on its own alone.
template <class R>
[[gnu::always_inline]] inline void add_reals(npy_intp n, const R* x, const R* y, R* out) {
#pragma GCC ivdep
  for (npy_intp k = 0; k < n; ++k) out[k] = x[k] + y[k];
}
template <class R>
[[gnu::target("avx2"), gnu::flatten]] void add_reals_avx2(npy_intp n, const R* x, const R* y,
                                                          R* out) {
  add_reals(n, x, y, out);
}

/// r = a + b for n elements of a and b `step` bytes apart: the IEEE additions MKL's Add makes,
/// bit for bit, without the cost of its generic kernels' calls on rows in cache. Complex
/// elements add their parts.
template <class T>
void add_elements(npy_intp n, const char* a, const char* b, npy_intp step, T* r) {
  using Real = typename RealOf<T>::type;
  constexpr npy_intp parts = npy_intp{sizeof(T) / sizeof(Real)};
  Real* out = reinterpret_cast<Real*>(r);
  if (step == npy_intp{sizeof(T)}) {
    using Add = void (*)(npy_intp, const Real*, const Real*, Real*);
    static const Add add = for_cpu<Add>(&add_reals<Real>, &add_reals_avx2<Real>);
    add(n * parts, reinterpret_cast<const Real*>(a), reinterpret_cast<const Real*>(b), out);
    return;
  }
  for (npy_intp k = 0; k < n; ++k)
    for (npy_intp j = 0; j < parts; ++j) {
      Real x, y;
      std::memcpy(&x, a + k * step + j * npy_intp{sizeof(Real)}, sizeof x);
      std::memcpy(&y, b + k * step + j * npy_intp{sizeof(Real)}, sizeof y);
      out[k * parts + j] = x + y;
    }
}

}  // namespace quorvex::ufuncs
