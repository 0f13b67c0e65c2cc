// The inner loops NumPy calls: MKL's contiguous form where every array is contiguous, blocks
// gathered into a contiguous scratch where one is strided, pairwise blocks for the reductions
// that allow any grouping, and one element at a time where the operands overlap as an
// accumulation or an in-order reduction makes them. MKL computes every element in its
// contiguous form, so that an element's result does not depend on the way to the loop.
#pragma once

#include <mkl_vml_defines.h>
#include <mkl_vml_functions.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cfenv>
#include <climits>
#include <limits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

#include <immintrin.h>

#include "cpu.hpp"
#include "mkl_forms.hpp"
#include "numpy_api.hpp"
#include "overlap.hpp"
#include "scratch.hpp"
#include "underflow.hpp"

#if !defined(__x86_64__)
#error "MKL's kernels, and the floating-point flags read here, are those of x86-64."
#endif

namespace quorvex::ufuncs {

/// The largest count of one MKL call; longer runs go in chunks. Only the tests lower it.
inline npy_intp max_count = INT_MAX;

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

// --- Floating-point status. -----------------------------------------------------------------

inline constexpr int reported_flags = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW;

/// The flags raised in both floating-point units: MKL's vector kernels raise theirs in MXCSR,
/// but some of their scalar paths compute in the x87 unit, whose status word NumPy reads too.
inline int raised_flags() {
  unsigned short x87;
  __asm__ volatile("fnstsw %0" : "=m"(x87));
  return static_cast<int>((x87 | _mm_getcsr()) & unsigned{reported_flags});
}

inline bool is_nan(float x) { return std::isnan(x); }
inline bool is_nan(double x) { return std::isnan(x); }
inline bool is_nan(MKL_Complex8 z) { return std::isnan(z.real) || std::isnan(z.imag); }
inline bool is_nan(MKL_Complex16 z) { return std::isnan(z.real) || std::isnan(z.imag); }
inline bool is_finite(float x) { return std::isfinite(x); }
inline bool is_finite(double x) { return std::isfinite(x); }
inline bool is_finite(MKL_Complex8 z) { return std::isfinite(z.real) && std::isfinite(z.imag); }
inline bool is_finite(MKL_Complex16 z) { return std::isfinite(z.real) && std::isfinite(z.imag); }
inline bool is_zero(float x) { return x == 0; }
inline bool is_zero(double x) { return x == 0; }
inline bool is_zero(MKL_Complex8 z) { return z.real == 0 && z.imag == 0; }
inline bool is_zero(MKL_Complex16 z) { return z.real == 0 && z.imag == 0; }
inline bool has_tiny_part(float x) { return is_tiny(x); }
inline bool has_tiny_part(double x) { return is_tiny(x); }
inline bool has_tiny_part(MKL_Complex8 z) { return is_tiny(z.real) || is_tiny(z.imag); }
inline bool has_tiny_part(MKL_Complex16 z) { return is_tiny(z.real) || is_tiny(z.imag); }
template <class Form, std::size_t I>
[[gnu::always_inline]] inline auto operand_at(char* const* at, const npy_intp* steps, npy_intp k) {
  typename Form::template operand<I>::element x;
  std::memcpy(&x, at[I] + k * steps[I], sizeof x);
  return x;
}

/// What one element's values say happened, as IEEE 754 and NumPy see it: a NaN from inputs
/// none of which is NaN is an invalid operation; an infinity from finite inputs a pole or an
/// overflow; an infinite or NaN input gives its exact result quietly.
struct ElementValues {
  bool nan_in = false, nonfinite_in = false, zero_in = false, zero_last_in = false;
  bool nan_out = false, infinite_out = false, tiny_out = false;
};

template <class Form, std::size_t I>
[[gnu::always_inline]] inline void look_at(ElementValues& e, char* const* at, const npy_intp* steps,
                                           npy_intp k) {
  constexpr auto nin = static_cast<std::size_t>(Form::nin);
  const auto x = operand_at<Form, I>(at, steps, k);
  if constexpr (I < nin) {
    e.nan_in = e.nan_in || is_nan(x);
    e.nonfinite_in = e.nonfinite_in || !is_finite(x);
    e.zero_in = e.zero_in || is_zero(x);
    e.zero_last_in = I == nin - 1 && is_zero(x);
  } else {
    e.nan_out = e.nan_out || is_nan(x);
    e.infinite_out = e.infinite_out || (!is_finite(x) && !is_nan(x));
    e.tiny_out = e.tiny_out || has_tiny_part(x);
  }
}

template <class Form, std::size_t... I>
[[gnu::always_inline]] inline ElementValues values_at(char* const* at, const npy_intp* steps,
                                                      npy_intp k, std::index_sequence<I...>) {
  ElementValues e;
  (look_at<Form, I>(e, at, steps, k), ...);
  return e;
}

/// Whether no output overlaps an input: the inputs are then still there after the call.
template <class Form>
bool inputs_survive(char* const* at, const npy_intp* steps, npy_intp n) {
  auto span = [&](std::size_t i) { return span_of(at[i], n, steps[i], Form::sizes[i]); };
  for (std::size_t out = static_cast<std::size_t>(Form::nin); out < Form::count; ++out)
    for (std::size_t in = 0; in < static_cast<std::size_t>(Form::nin); ++in)
      if (overlap(span(in), span(out))) return false;
  return true;
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

// --- Which way a loop goes. -----------------------------------------------------------------

/// Whether the operands must be taken one element at a time: an output written to one
/// place over and over (a reduction), or an input that overlaps an output other than
/// exactly (an accumulation), whose elements MKL would read before it writes them.
template <std::size_t N>
bool must_go_element_by_element(char* const* args, npy_intp n, const npy_intp* steps,
                                const std::array<npy_intp, N>& sizes, int nin) {
  if (n < 2) return false;
  auto span = [&](std::size_t i) { return span_of(args[i], n, steps[i], sizes[i]); };
  for (std::size_t out = static_cast<std::size_t>(nin); out < N; ++out) {
    if (steps[out] == 0) return true;
    for (std::size_t in = 0; in < static_cast<std::size_t>(nin); ++in) {
      const bool same = args[in] == args[out] && steps[in] == steps[out] && sizes[in] == sizes[out];
      if (!same && overlap(span(in), span(out))) return true;
    }
  }
  return false;
}

/// Whether NumPy hands the loop a reduction: the output, of stride 0, is also the first input.
template <class Form>
bool is_reduction(char* const* args, npy_intp n, const npy_intp* steps) {
  if constexpr (Form::nin == 2 && Form::nout == 1)
    return n > 1 && steps[0] == 0 && steps[2] == 0 && args[0] == args[2];
  else
    return false;
}

template <class V>
inline constexpr bool reduces_in_blocks = V::contract.reduce == Reduce::in_blocks ||
                                          V::contract.reduce == Reduce::in_blocks_for_numpy_too ||
                                          V::contract.reduce == Reduce::pairwise_sum;

/// A real product in order: NumPy's order and MKL's multiplication, element by element.
template <class V>
inline constexpr bool multiplies_in_order =
    V::contract.reduce == Reduce::product_in_order &&
    std::is_floating_point_v<typename V::form::template operand<0>::element>;

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

/// What a look through results is for: NaN; NaN or an infinity; a tiny value (zero or below
/// the smallest normal number in magnitude).
enum class Look { nan, nonfinite, tiny };

/// Whether n contiguous reals hold a value of that kind: a quiet comparison of each with
/// itself, or an integer test of its magnitude's bits, a vector at a time, eight vectors
/// apart so that loads need not wait. Looking raises no flag.
template <class R, int Bytes, Look L>
[[gnu::always_inline]] inline bool any_special_in(const char* x, npy_intp n) {
  using W = Vectors<R, Bytes>;
  using Bits = typename W::Bits;
  constexpr npy_intp unrolled = 8;
  constexpr Bits largest = std::bit_cast<Bits>(std::numeric_limits<R>::max());
  constexpr Bits smallest = std::bit_cast<Bits>(std::numeric_limits<R>::min());
  typename W::B found = {};
  npy_intp k = 0;
  for (; k + unrolled * W::width <= n; k += unrolled * W::width)
    for (npy_intp j = 0; j < unrolled; ++j) {
      const auto v = W::load(x + (k + j * W::width) * npy_intp{sizeof(R)});
      const auto magnitude = reinterpret_cast<typename W::B>(v) & std::numeric_limits<Bits>::max();
      if constexpr (L == Look::nonfinite)
        found |= magnitude > largest;
      else if constexpr (L == Look::tiny)
        found |= magnitude < smallest;
      else
        found |= v != v;
    }
  bool any = false;
  for (npy_intp j = 0; j < W::width; ++j) any = any || found[j] != 0;
  for (; k < n; ++k) {
    R r;
    std::memcpy(&r, x + k * npy_intp{sizeof(R)}, sizeof r);
    any = any || (L == Look::nonfinite ? !std::isfinite(r)
                  : L == Look::tiny    ? is_tiny(r)
                                       : std::isnan(r));
  }
  return any;
}

template <class R, Look L>
[[gnu::target("avx2"), gnu::flatten]] bool any_special_avx2(const char* x, npy_intp n) {
  return any_special_in<R, 32, L>(x, n);
}

/// AVX2's vectors where the CPU has them, chosen once. (GCC lowers comparisons of AVX-512's
/// vectors to one element at a time; AVX2's stay vectors.)
template <class R, Look L>
bool any_special(const char* x, npy_intp n) {
  using Scan = bool (*)(const char*, npy_intp);
  static const Scan scan = for_cpu<Scan>(&any_special_in<R, 16, L>, &any_special_avx2<R, L>);
  return scan(x, n);
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

template <class T>
T product_in_order(T value, const char* x, npy_intp n, npy_intp step) {
  for (npy_intp k = 0; k < n; ++k) {
    T v;
    std::memcpy(&v, x + k * step, sizeof v);
    value *= v;
  }
  return value;
}

// --- The MKL calls of one variant in one accuracy. ------------------------------------------

template <class V, Accuracy A>
class Computation {
  using Form = typename V::form;
  static constexpr std::size_t N = Form::count;
  static constexpr std::size_t nin = static_cast<std::size_t>(Form::nin);
  using Indices = std::make_index_sequence<N>;
  static constexpr unsigned unreported = V::contract.unreported;
  /// Elements of a block through the scratch: as many as the widest operand's scratch holds.
  static constexpr npy_intp block = scratch_bytes / *std::ranges::max_element(Form::sizes);
  /// The steps of operands in the scratch, or of one element: scalars stay where they are.
  static constexpr std::array<npy_intp, N> packed = [] {
    std::array<npy_intp, N> steps{};
    for (std::size_t i = 0; i < N; ++i) steps[i] = Form::scalars[i] ? 0 : Form::sizes[i];
    return steps;
  }();

 public:
  Computation(long long mode, ErrorReport<V>& report) : mode_(mode), report_(report) {}

  /// The loop's n elements, in MKL's order of operands.
  void run(char* const* args, npy_intp n, const npy_intp* steps) const {
    if constexpr (multiplies_in_order<V> || V::contract.reduce == Reduce::selection) {
      if (is_reduction<Form>(args, n, steps)) {
        using T = typename Form::template operand<0>::element;
        T value;
        std::memcpy(&value, args[0], sizeof value);
        if constexpr (V::contract.reduce == Reduce::selection)
          value = selection<V::contract.select>(value, args[1], n, steps[1]);
        else
          value = product_in_order(value, args[1], n, steps[1]);
        std::memcpy(args[2], &value, sizeof value);
        return;
      }
    }
    if constexpr (reduces_in_blocks<V>) {
      if (is_reduction<Form>(args, n, steps)) {
        reduce(args, n, steps);
        settle_by_status();
        return;
      }
    }
    if (must_go_element_by_element(args, n, steps, Form::sizes, Form::nin)) {
      element_by_element(args, n, steps);
      return;
    }
    bool scalars_vary = false;
    for (std::size_t i = 0; i < N; ++i)
      scalars_vary = scalars_vary || (Form::scalars[i] && steps[i]);
    if (!scalars_vary) {
      uniform(args, n, steps);
      return;
    }
    // MKL takes one value per scalar and call: one call per run of equal scalars.
    for (npy_intp begin = 0, end; begin < n; begin = end) {
      for (end = begin + 1; end < n && same_scalars(args, steps, begin, end);) ++end;
      char* at[N];
      for (std::size_t i = 0; i < N; ++i) at[i] = args[i] + begin * steps[i];
      uniform(at, end - begin, steps);
    }
  }

  /// r = f(a, b) elementwise on n contiguous elements of a reduction's type.
  template <class T>
  void combine(npy_intp n, T* a, const T* b, T* r) const {
    if constexpr (V::contract.reduce == Reduce::pairwise_sum) {
      add_elements(n, reinterpret_cast<const char*>(a), reinterpret_cast<const char*>(b),
                   npy_intp{sizeof(T)}, r);
    } else {
      char* at[3] = {reinterpret_cast<char*>(a), reinterpret_cast<char*>(const_cast<T*>(b)),
                     reinterpret_cast<char*>(r)};
      contiguous(static_cast<int>(n), at);
    }
  }

  /// The same, with a and b read `step` bytes apart: gathered block by block into the
  /// scratch where they are not contiguous, as every strided operand is.
  template <class T>
  void combine_strided(npy_intp n, const char* a, const char* b, npy_intp step, T* r) const {
    if constexpr (V::contract.reduce == Reduce::pairwise_sum) {
      add_elements(n, a, b, step, r);
      return;
    }
    if (step == npy_intp{sizeof(T)}) {
      char* at[3] = {const_cast<char*>(a), const_cast<char*>(b), reinterpret_cast<char*>(r)};
      contiguous(static_cast<int>(n), at);
      return;
    }
    alignas(64) char x[scratch_bytes], y[scratch_bytes];
    for (npy_intp first = 0; first < n; first += block) {
      const npy_intp m = std::min(block, n - first);
      gather(x, a + first * step, step, npy_intp{sizeof(T)}, m);
      gather(y, b + first * step, step, npy_intp{sizeof(T)}, m);
      char* at[3] = {x, y, reinterpret_cast<char*>(r + first)};
      contiguous(static_cast<int>(m), at);
    }
  }

  void found(int flag) const { report_.found(flag); }

 private:
  void contiguous(int n, char* const* at) const {
    if constexpr (A == Accuracy::thread)
      V::contiguous(n, at, Indices{});
    else
      V::contiguous(n, at, mode_, Indices{});
  }

  /// Whether the loop reads a call's inputs after MKL's call: to tell its errors apart by
  /// their values, or to look for what the kernel left unreported.
  static bool reads_inputs_after() {
    return V::errors != Errors::ieee_flags || (unreported != Unreported::none && scans_results<V>);
  }

  /// Right after MKL's call on m elements at `at`, whose inputs are still there: what MKL
  /// reported for them, told apart by the values, and what the kernel left unreported. MKL's
  /// status (or the division's flags) is then cleared, so that each call's errors are told
  /// apart on their own: MKL's status is that of a call's last error only.
  void settle(char* const* at, const npy_intp* steps, npy_intp m) const {
    if constexpr (V::errors == Errors::status) {
      const int status = vmlGetErrStatus();
      if (flag_of_status(status) != 0) {
        report_.found(flags_from_values(at, steps, m));
        if (!decides_underflow<V>()) report_.found(underflow_by_status(at, steps, m, status));
        vmlClearErrStatus();
      }
    } else if constexpr (V::errors == Errors::ieee_division) {
      if (report_.mixed_division_flags() != 0) {
        report_.found(flags_from_values(at, steps, m) & (FE_INVALID | FE_DIVBYZERO));
        report_.forget_mixed_division_flags();
      }
    }
    look_for_unreported(at, steps, m);
  }

  /// After a reduction in blocks, whose partial results are gone: MKL's status alone.
  void settle_by_status() const {
    if constexpr (V::errors == Errors::status) report_.found(flag_of_status(vmlGetErrStatus()));
  }

  /// NumPy's flags for n elements whose inputs are still there. A NaN from numbers is an
  /// invalid operation whatever MKL said. An infinity from finite inputs is a division by
  /// zero where a division's divisor is zero, an overflow otherwise; for a function it is
  /// computed again alone, whose status says a pole from an overflow (MKL's status is that of
  /// the call's last error), and where MKL says nothing, the kernel's unreported kind does.
  int flags_from_values(char* const* at, const npy_intp* steps, npy_intp n) const {
    int flags = 0;
    for (npy_intp k = 0; k < n; ++k) {
      const ElementValues e = values_at<Form>(at, steps, k, Indices{});
      if (e.nan_in) continue;
      if (e.nan_out) flags |= FE_INVALID;
      if (e.nonfinite_in || !e.infinite_out) continue;
      if constexpr (V::errors == Errors::ieee_division) {
        flags |= e.zero_last_in ? FE_DIVBYZERO : FE_OVERFLOW;
        continue;
      }
      switch (status_alone(at, steps, k)) {
        case VML_STATUS_SING:
        case VML_STATUS_ERRDOM:  // MKL calls some poles domain errors: pow(0, -1)
          flags |= FE_DIVBYZERO;
          break;
        case VML_STATUS_OVERFLOW:
          flags |= FE_OVERFLOW;
          break;
        default: {
          constexpr bool poles = unreported & Unreported::pole;
          constexpr bool overflows = unreported & Unreported::overflow;
          const bool pole = poles && (!overflows || e.zero_in);  // 0j ** -1, not tiny ** -1
          flags |= pole ? FE_DIVBYZERO : FE_OVERFLOW;
        }
      }
    }
    return flags;
  }

  /// MKL's status for element k computed alone, into a scratch result; the loop's own
  /// status is kept as it was.
  int status_alone(char* const* at, const npy_intp* steps, npy_intp k) const {
    alignas(16) char scratch[N][16];
    char* element[N];
    for (std::size_t i = 0; i < N; ++i) element[i] = i < nin ? at[i] + k * steps[i] : scratch[i];
    const int loop_status = vmlClearErrStatus();
    contiguous(1, element);
    return vmlSetErrStatus(loop_status);
  }

  /// FE_UNDERFLOW if an element underflowed in MKL's call, whose `status` is that of its last
  /// error: where that is another error, the elements with tiny results from finite inputs
  /// are computed again together, and their status says.
  int underflow_by_status(char* const* at, const npy_intp* steps, npy_intp m, int status) const {
    if (status == VML_STATUS_UNDERFLOW) return FE_UNDERFLOW;
    bool tiny = false;
    for (std::size_t o = nin; o < N; ++o) tiny = tiny || any_result<Look::tiny>(at[o], steps[o], m);
    if (!tiny) return 0;
    alignas(64) char scratch[N][scratch_bytes];
    char* again[N];
    for (std::size_t i = 0; i < N; ++i) again[i] = Form::scalars[i] ? at[i] : scratch[i];
    npy_intp taken = 0;
    auto underflows = [&] {
      if (taken == 0) return false;
      vmlClearErrStatus();
      contiguous(static_cast<int>(taken), again);
      taken = 0;
      return vmlGetErrStatus() == VML_STATUS_UNDERFLOW;
    };
    for (npy_intp k = 0; k < m; ++k) {
      const ElementValues e = values_at<Form>(at, steps, k, Indices{});
      if (e.nonfinite_in || e.nan_out || e.infinite_out || !e.tiny_out) continue;
      for (std::size_t i = 0; i < nin; ++i)
        if (!Form::scalars[i])
          std::memcpy(scratch[i] + taken * Form::sizes[i], at[i] + k * steps[i],
                      static_cast<std::size_t>(Form::sizes[i]));
      if (++taken == block && underflows()) return FE_UNDERFLOW;
    }
    return underflows() ? FE_UNDERFLOW : 0;
  }

  /// FE_UNDERFLOW if NumPy's computation of an element with a tiny result underflows: for
  /// the loops that decide underflows themselves (real division and power).
  int numpy_underflow(char* const* at, const npy_intp* steps, npy_intp m) const {
    using T = typename Form::template operand<N - 1>::element;
    constexpr Underflow U = V::contract.underflow;
    if constexpr (U != Underflow::kernel && std::is_floating_point_v<T> && N == 3) {
      if (!any_result<Look::tiny>(at[2], steps[2], m)) return 0;
      for (npy_intp k = 0; k < m; ++k) {
        const T a = operand_at<Form, 0>(at, steps, k), r = operand_at<Form, 2>(at, steps, k);
        // 0 / y and 0 ** y are exact.
        if (is_tiny(r) && a != 0 &&
            numpy_underflows<U>(numpy_reference<V>, a, operand_at<Form, 1>(at, steps, k)))
          return FE_UNDERFLOW;
      }
    }
    return 0;
  }

  /// Right after MKL computed n elements at `at`, while they are in cache: the results this
  /// kernel leaves unreported. The results are looked through first, the inputs only where
  /// one is suspect.
  void look_for_unreported(char* const* at, const npy_intp* steps, npy_intp n) const {
    if constexpr (unreported != Unreported::none) {
      if (!scans_results<V>) return;
      if constexpr ((unreported & ~unsigned{Unreported::underflow}) != 0) {
        constexpr Look look =
            unreported & (Unreported::pole | Unreported::overflow) ? Look::nonfinite : Look::nan;
        bool suspect = false;
        for (std::size_t o = nin; o < N; ++o)
          suspect = suspect || any_result<look>(at[o], steps[o], n);
        if (suspect) report_.found(flags_from_values(at, steps, n));
      }
      if constexpr ((unreported & Unreported::underflow) != 0)
        report_.found(numpy_underflow(at, steps, n));
    }
  }

  /// Whether any result is of the kind looked for: a quick look, which the values then refine.
  template <Look L>
  static bool any_result(const char* out, npy_intp step, npy_intp n) {
    using R = typename Form::template operand<N - 1>::element;
    using Real = typename RealOf<R>::type;
    if (step == npy_intp{sizeof(R)})
      return any_special<Real, L>(out, n * npy_intp{sizeof(R) / sizeof(Real)});
    bool found = false;
    for (npy_intp k = 0; k < n; ++k) {
      R r;
      std::memcpy(&r, out + k * step, sizeof r);
      found |= L == Look::nonfinite ? !is_finite(r)
               : L == Look::tiny    ? has_tiny_part(r)
                                    : is_nan(r);
    }
    return found;
  }

  /// One element at a time, each result written before the next element is read (an
  /// accumulation reads it): computed into a scratch and settled while its inputs are there.
  void element_by_element(char* const* args, npy_intp n, const npy_intp* steps) const {
    alignas(16) char results[N][16];
    char* at[N];
    for (npy_intp k = 0; k < n; ++k) {
      for (std::size_t i = 0; i < N; ++i) at[i] = i < nin ? args[i] + k * steps[i] : results[i];
      contiguous(1, at);
      settle(at, packed.data(), 1);
      for (std::size_t o = nin; o < N; ++o)
        std::memcpy(args[o] + k * steps[o], results[o], static_cast<std::size_t>(Form::sizes[o]));
    }
  }

  /// `n` elements whose scalar operands are the same throughout: contiguous arrays as they
  /// are, unless results would overwrite inputs the loop reads after the call; any other
  /// layout through the scratch.
  void uniform(char* const* args, npy_intp n, const npy_intp* steps) const {
    bool contiguous_arrays = true;
    for (std::size_t i = 0; i < N; ++i)
      contiguous_arrays = contiguous_arrays && (Form::scalars[i] || steps[i] == Form::sizes[i]);
    const bool overwrites = !inputs_survive<Form>(args, steps, n);
    if (contiguous_arrays && !(overwrites && reads_inputs_after()))
      directly(args, n, steps);
    else
      through_scratch(args, n, steps, overwrites);
  }

  /// Contiguous arrays handed to MKL as they are: in one call, or in calls of a scan's block
  /// where the loop looks through the results while they are in cache.
  void directly(char* const* args, npy_intp n, const npy_intp* steps) const {
    const bool looks = unreported != Unreported::none && scans_results<V>;
    constexpr npy_intp scan_block = scan_bytes / Form::sizes[N - 1];
    const npy_intp most = looks ? std::min(max_count, scan_block) : max_count;
    char* at[N];
    std::copy_n(args, N, at);
    while (n > 0) {
      const npy_intp chunk = std::min(n, most);
      contiguous(static_cast<int>(chunk), at);
      settle(at, steps, chunk);
      for (std::size_t i = 0; i < N; ++i)
        if (!Form::scalars[i]) at[i] += chunk * steps[i];
      n -= chunk;
    }
  }

  /// Blocks through the scratch: strided inputs gathered; results put apart where they are
  /// strided or would overwrite the inputs, and scattered once the block is settled.
  void through_scratch(char* const* args, npy_intp n, const npy_intp* steps,
                       bool overwrites) const {
    alignas(64) char scratch[N][scratch_bytes];
    bool direct[N];
    for (std::size_t i = 0; i < N; ++i)
      direct[i] = Form::scalars[i] || (steps[i] == Form::sizes[i] && !(i >= nin && overwrites));
    char* at[N];
    for (npy_intp first = 0; first < n; first += block) {
      const npy_intp m = std::min(block, n - first);
      for (std::size_t i = 0; i < N; ++i) {
        char* const from = Form::scalars[i] ? args[i] : args[i] + first * steps[i];
        at[i] = direct[i] ? from : scratch[i];
        if (!direct[i] && i < nin) gather(scratch[i], from, steps[i], Form::sizes[i], m);
      }
      contiguous(static_cast<int>(m), at);
      settle(at, packed.data(), m);
      for (std::size_t o = nin; o < N; ++o)
        if (!direct[o])
          scatter(args[o] + first * steps[o], steps[o], scratch[o], Form::sizes[o], m);
    }
  }

  bool same_scalars(char* const* args, const npy_intp* steps, npy_intp a, npy_intp b) const {
    for (std::size_t i = 0; i < N; ++i)
      if (Form::scalars[i] && std::memcmp(args[i] + a * steps[i], args[i] + b * steps[i],
                                          static_cast<std::size_t>(Form::sizes[i])) != 0)
        return false;
    return true;
  }

  void reduce(char* const* args, npy_intp n, const npy_intp* steps) const;

  long long mode_;
  ErrorReport<V>& report_;
};

// --- Reductions in pairwise blocks. ---------------------------------------------------------

/// out = f(out, x[0], ..., x[n-1]) grouped pairwise, in vector calls of `row` elements: rows
/// of inputs are combined pairwise, as a binary counter carries, into one row whose
/// elements are then halved to one value. Summed so, the error grows with log n, as in
/// NumPy's pairwise sum; for the other operations any grouping is as accurate as NumPy's
/// order. Each input is read once, and the rows being combined stay in the second-level
/// cache.
///
/// A source of inputs gives `pair(first, out)`: out = f(row from first, the row after it),
/// and `load(first, m, work)`: the values of m < 2 rows of inputs, or of their first
/// halving, put into work; it says how many it put.
template <class T, class Compute>
class Pairwise {
 public:
  static constexpr npy_intp row = 1024;

  explicit Pairwise(const Compute& compute) : compute_(compute) {}

  template <class Source>
  T over(npy_intp n, const Source& source) const {
    const npy_intp pairs = n / (2 * row), rest = n % (2 * row);
    if (pairs == 0) return tail(0, rest, source);
    const auto depth = static_cast<std::size_t>(std::bit_width(static_cast<std::size_t>(pairs)));
    T* levels = static_cast<T*>(std::malloc(depth * row * sizeof(T)));
    if (levels == nullptr) return in_turn(n, source);  // no memory: still exact, less tidy
    T carry[row];
    // Level l holds the sum of 2^l pairs where bit l of the pairs taken so far is set; a new
    // pair carries up through the levels whose bits are set, into the first that is not.
    for (npy_intp p = 0; p < pairs; ++p) {
      const auto carries = static_cast<std::size_t>(std::countr_one(static_cast<std::size_t>(p)));
      if (carries == 0) {
        source.pair(2 * row * p, levels);
        continue;
      }
      source.pair(2 * row * p, carry);
      for (std::size_t level = 0; level < carries; ++level)
        compute_.combine(row, levels + level * row, carry,
                         level + 1 == carries ? levels + carries * row : carry);
    }
    bool first = true;
    for (std::size_t level = 0; level < depth; ++level) {
      if (!((static_cast<std::size_t>(pairs) >> level) & 1u)) continue;
      if (first)
        std::memcpy(carry, levels + level * row, sizeof carry);
      else
        compute_.combine(row, levels + level * row, carry, carry);
      first = false;
    }
    std::free(levels);
    T value = halve(carry, row);
    if (rest > 0) {
      const T last = tail(2 * row * pairs, rest, source);
      compute_.combine(1, &value, &last, &value);
    }
    return value;
  }

  /// The first halving of m inputs `step` bytes apart, straight from the array into work.
  npy_intp halve_into(const char* x, npy_intp m, npy_intp step, T* work) const {
    if (m == 1) {
      std::memcpy(work, x, sizeof(T));
      return 1;
    }
    const npy_intp h = m / 2;
    compute_.combine_strided(h, x, x + h * step, step, work);
    if (m % 2) std::memcpy(work + h, x + (m - 1) * step, sizeof(T));
    return h + m % 2;
  }

  /// In place: work[0] = f over work[0, m).
  T halve(T* work, npy_intp m) const {
    while (m > 1) {
      const npy_intp h = m / 2;
      compute_.combine(h, work, work + h, work);
      if (m % 2) work[h] = work[m - 1];
      m = h + m % 2;
    }
    return work[0];
  }

 private:
  // Apart from over(), whose frame then holds one row only.
  template <class Source>
  [[gnu::noinline]] T tail(npy_intp first, npy_intp m, const Source& source) const {
    T work[2 * row];
    return halve(work, source.load(first, m, work));
  }

  template <class Source>
  [[gnu::noinline]] T in_turn(npy_intp n, const Source& source) const {
    T value = tail(0, std::min(n, 2 * row - 1), source);
    for (npy_intp first = 2 * row - 1; first < n; first += 2 * row - 1) {
      const T next = tail(first, std::min(n - first, 2 * row - 1), source);
      compute_.combine(1, &value, &next, &value);
    }
    return value;
  }

  const Compute& compute_;
};

/// Whether a reduction's value is a result the kernel left unreported: a NaN or an infinity
/// from inputs (the initial value among them) none of which was one.
template <class V, class T>
bool unreported_in_reduction(T value, T initial, const char* x, npy_intp n, npy_intp step) {
  constexpr unsigned unreported = V::contract.unreported;
  if (unreported == Unreported::none || !scans_results<V>) return false;
  const bool nan = is_nan(value);
  if (!((unreported & Unreported::nan) && nan) && !(!nan && !is_finite(value))) return false;
  auto special = [&](T v) { return nan ? is_nan(v) : !is_finite(v); };
  if (special(initial)) return false;
  for (npy_intp k = 0; k < n; ++k) {
    T v;
    std::memcpy(&v, x + k * step, sizeof v);
    if (special(v)) return false;
  }
  return true;
}

template <class V, Accuracy A>
void Computation<V, A>::reduce(char* const* args, npy_intp n, const npy_intp* steps) const {
  using T = typename Form::template operand<0>::element;
  const Pairwise<T, Computation> pairwise(*this);
  // Any order will do: a reversed view is read forwards, in the order of memory.
  const npy_intp step = steps[1] < 0 ? -steps[1] : steps[1];
  const char* x = steps[1] < 0 ? args[1] + (n - 1) * steps[1] : args[1];
  struct Source {
    const Pairwise<T, Computation>& pairwise;
    const Computation& compute;
    const char* x;
    npy_intp step;
    void pair(npy_intp first, T* out) const {
      constexpr npy_intp row = Pairwise<T, Computation>::row;
      compute.combine_strided(row, x + first * step, x + (first + row) * step, step, out);
    }
    npy_intp load(npy_intp first, npy_intp m, T* work) const {
      return pairwise.halve_into(x + first * step, m, step, work);
    }
  };
  const T total = pairwise.over(n, Source{pairwise, *this, x, step});
  T value;
  std::memcpy(&value, args[0], sizeof value);
  const T initial = value;
  combine(1, &value, &total, &value);
  std::memcpy(args[2], &value, sizeof value);
  if (unreported_in_reduction<V>(value, initial, x, n, step))
    found(is_nan(value) ? FE_INVALID : unreported & Unreported::pole ? FE_DIVBYZERO : FE_OVERFLOW);
}

// --- The loops NumPy calls. -----------------------------------------------------------------

/// NumPy's operands in MKL's order: the results reversed where NumPy's function has them so.
template <class V>
struct MklOrder {
  static constexpr std::size_t N = V::form::count;
  char* args[N];
  npy_intp steps[N];
  MklOrder(char** numpy_args, const npy_intp* numpy_steps) {
    std::copy_n(numpy_args, N, args);
    std::copy_n(numpy_steps, N, steps);
    if constexpr (V::order == Results::reversed) {
      std::reverse(args + V::form::nin, args + N);
      std::reverse(steps + V::form::nin, steps + N);
    }
  }
};

/// The loop NumPy calls for one variant.
template <class V, Accuracy A>
void loop(char** numpy_args, const npy_intp* dimensions, const npy_intp* numpy_steps, void* data) {
  const npy_intp n = dimensions[0];
  if (n <= 0) return;
  const MklOrder<V> operands(numpy_args, numpy_steps);
  ErrorReport<V> report;
  const Computation<V, A> compute(mode_word<A>(data), report);
  compute.run(operands.args, n, operands.steps);
}

inline float from_half(const char* at) {
  _Float16 half;
  std::memcpy(&half, at, sizeof half);
  return static_cast<float>(half);
}

inline void to_half(float value, char* at) {
  const auto half = static_cast<_Float16>(value);
  std::memcpy(at, &half, sizeof half);
}

/// float16 keeps its dtype: blocks of it are computed through the float32 variant, as
/// NumPy computes its own float16 loops, in buffers that stay in the first-level cache.
/// Reductions accumulate in float32 and round once, as NumPy's float16 add and multiply do.
template <class V, Accuracy A>
void half_loop(char** numpy_args, const npy_intp* dimensions, const npy_intp* numpy_steps,
               void* data) {
  using Form = typename V::form;
  static_assert(Form::single_precision, "float16 is computed through the float32 variant.");
  constexpr std::size_t N = Form::count;
  constexpr npy_intp block = 512;
  const npy_intp n = dimensions[0];
  if (n <= 0) return;
  const long long mode = mode_word<A>(data);
  const MklOrder<V> operands(numpy_args, numpy_steps);
  char* const* args = operands.args;
  const npy_intp* steps = operands.steps;

  if constexpr (multiplies_in_order<V> || V::contract.reduce == Reduce::selection) {
    if (is_reduction<Form>(args, n, steps)) {
      float value = from_half(args[0]);
      {
        const ErrorReport<V> report;  // a selection's comparisons with NaN are no errors
        for (npy_intp k = 0; k < n; ++k) {
          const float v = from_half(args[1] + k * steps[1]);
          if constexpr (V::contract.reduce == Reduce::selection)
            value = select<V::contract.select>(value, v);
          else
            value *= v;
        }
      }
      to_half(value, args[2]);
      return;
    }
  }
  if constexpr (reduces_in_blocks<V>) {
    if (is_reduction<Form>(args, n, steps)) {
      float value;
      {
        // Around MKL alone: rounding to float16 overflows as NumPy's own float16 loops do.
        ErrorReport<V> report;
        const Computation<V, A> compute(mode, report);
        const Pairwise<float, Computation<V, A>> pairwise(compute);
        struct Source {
          const Computation<V, A>& compute;
          const char* x;
          npy_intp step;
          void load_row(npy_intp first, npy_intp m, float* work) const {
            for (npy_intp k = 0; k < m; ++k) work[k] = from_half(x + (first + k) * step);
          }
          void pair(npy_intp first, float* out) const {
            constexpr npy_intp row = Pairwise<float, Computation<V, A>>::row;
            float second[static_cast<std::size_t>(row)];
            load_row(first, row, out);
            load_row(first + row, row, second);
            compute.combine(row, out, second, out);
          }
          npy_intp load(npy_intp first, npy_intp m, float* work) const {
            load_row(first, m, work);
            return m;
          }
        };
        const float total = pairwise.over(n, Source{compute, args[1], steps[1]});
        value = from_half(args[0]);
        compute.combine(1, &value, &total, &value);
      }
      to_half(value, args[2]);
      return;
    }
  }

  std::array<npy_intp, N> half_sizes;
  half_sizes.fill(2);
  const npy_intp per_block =
      must_go_element_by_element(args, n, steps, half_sizes, Form::nin) ? 1 : block;
  float buffers[N][block];
  char* at[N];
  npy_intp buffer_steps[N];
  for (npy_intp start = 0; start < n; start += per_block) {
    const npy_intp m = std::min(per_block, n - start);
    for (std::size_t i = 0; i < N; ++i) {
      at[i] = reinterpret_cast<char*>(buffers[i]);
      buffer_steps[i] = steps[i] == 0 ? 0 : npy_intp{sizeof(float)};
      if (i >= static_cast<std::size_t>(Form::nin)) continue;
      const npy_intp converted = steps[i] == 0 ? 1 : m;
      for (npy_intp k = 0; k < converted; ++k)
        buffers[i][k] = from_half(args[i] + (start + k) * steps[i]);
    }
    {
      ErrorReport<V> report;
      const Computation<V, A> compute(mode, report);
      compute.run(at, m, buffer_steps);
    }
    for (std::size_t o = static_cast<std::size_t>(Form::nin); o < N; ++o)
      for (npy_intp k = 0; k < m; ++k) to_half(buffers[o][k], args[o] + (start + k) * steps[o]);
  }
}

/// nextafter in float16 itself: the neighbour of x towards y, with NumPy's special values
/// (NaN for a NaN, x where x == y, overflow where a finite x steps to an infinity).
inline void nextafter_half_loop(char** args, const npy_intp* dimensions, const npy_intp* steps,
                                void*) {
  bool overflow = false;
  for (npy_intp k = 0; k < dimensions[0]; ++k) {
    std::uint16_t x, y, r;
    std::memcpy(&x, args[0] + k * steps[0], sizeof x);
    std::memcpy(&y, args[1] + k * steps[1], sizeof y);
    const bool x_nan = (x & 0x7fffu) > 0x7c00u, y_nan = (y & 0x7fffu) > 0x7c00u;
    if (x_nan || y_nan) {
      r = 0x7e00u;
    } else if (x == y || ((x | y) & 0x7fffu) == 0) {
      r = x;
    } else if ((x & 0x7fffu) == 0) {
      r = static_cast<std::uint16_t>((y & 0x8000u) | 1u);  // the smallest subnormal
    } else {
      // Away from zero where y lies beyond x on x's side of it, towards zero otherwise.
      const bool x_negative = x & 0x8000u, y_negative = y & 0x8000u;
      const bool away = x_negative == y_negative && (y & 0x7fffu) > (x & 0x7fffu);
      r = static_cast<std::uint16_t>(away ? x + 1 : x - 1);
      overflow = overflow || (r & 0x7fffu) == 0x7c00u;
    }
    std::memcpy(args[2] + k * steps[2], &r, sizeof r);
  }
  if (overflow) std::feraiseexcept(FE_OVERFLOW);
}

// --- NumPy's own ufuncs on these loops (numpy_uses_mkl). ------------------------------------

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
  const bool ours_reduces = V::contract.reduce == Reduce::in_blocks_for_numpy_too &&
                            is_reduction<Form>(args, dimensions[0], steps);
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
