// The inner loops NumPy calls: MKL's contiguous form where every array is contiguous, its
// strided form where the steps are whole elements, and one element at a time where the
// operands overlap as a reduction or an accumulation makes them.
#pragma once

#include <mkl_vml_defines.h>
#include <mkl_vml_functions.h>

#include <algorithm>
#include <cfenv>
#include <climits>
#include <cstring>
#include <utility>

#include <xmmintrin.h>

#include "mkl_forms.hpp"
#include "numpy_api.hpp"

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

/// MKL's error status of one loop becomes NumPy's floating-point status, which np.errstate
/// acts on; the status the caller had is put back, so MKL's per-thread state is unchanged.
/// When MKL reports no error, floating-point flags its kernels raised on the way (an
/// ordered comparison with a quiet NaN, say) are dropped: NumPy would take them for errors.
/// IEEE arithmetic keeps its flags: they are the operation's own; where MKL sets no status
/// for it, there is no status to keep either. MKL's kernels compute in SSE and AVX
/// registers, whose flags are in MXCSR, cheaper to read than fetestexcept.
template <Errors E>
class StatusToFloatingPoint {
 public:
  StatusToFloatingPoint() {
    if constexpr (E != Errors::ieee_flags) saved_ = vmlClearErrStatus();
    if constexpr (E == Errors::status) flags_before_ = _mm_getcsr() & errors;
  }
  ~StatusToFloatingPoint() {
    if constexpr (E != Errors::ieee_flags) {
      const int status = vmlSetErrStatus(saved_);
      if (status != VML_STATUS_OK) {
        raise(status);
      } else if constexpr (E == Errors::status) {
        const unsigned csr = _mm_getcsr();
        if ((csr & errors) != flags_before_) _mm_setcsr(csr & ~(errors & ~flags_before_));
      }
    }
  }
  StatusToFloatingPoint(const StatusToFloatingPoint&) = delete;
  StatusToFloatingPoint& operator=(const StatusToFloatingPoint&) = delete;

 private:
  static constexpr unsigned errors =
      _MM_EXCEPT_INVALID | _MM_EXCEPT_DIV_ZERO | _MM_EXCEPT_OVERFLOW | _MM_EXCEPT_UNDERFLOW;

  static void raise(int status) {
    switch (status) {
      case VML_STATUS_ERRDOM:
        std::feraiseexcept(FE_INVALID);
        break;
      case VML_STATUS_SING:
        std::feraiseexcept(FE_DIVBYZERO);
        break;
      case VML_STATUS_OVERFLOW:
        std::feraiseexcept(FE_OVERFLOW);
        break;
      case VML_STATUS_UNDERFLOW:
        std::feraiseexcept(FE_UNDERFLOW);
        break;
      default:  // an accuracy warning, which NumPy has no flag for
        break;
    }
  }
  int saved_ = VML_STATUS_OK;
  unsigned flags_before_ = 0;
};

/// Whether the operands must be taken one element at a time: an output written to one
/// place over and over (a reduction), or an input that overlaps an output other than
/// exactly (an accumulation), whose elements MKL would read before it writes them.
template <std::size_t N>
bool must_go_element_by_element(char* const* args, npy_intp n, const npy_intp* steps,
                                const std::array<npy_intp, N>& sizes, int nin) {
  if (n < 2) return false;
  auto low = [&](std::size_t i) { return args[i] + std::min<npy_intp>(0, (n - 1) * steps[i]); };
  auto high = [&](std::size_t i) {
    return args[i] + std::max<npy_intp>(0, (n - 1) * steps[i]) + sizes[i];
  };
  for (std::size_t out = static_cast<std::size_t>(nin); out < N; ++out) {
    if (steps[out] == 0) return true;
    for (std::size_t in = 0; in < static_cast<std::size_t>(nin); ++in) {
      const bool same = args[in] == args[out] && steps[in] == steps[out] && sizes[in] == sizes[out];
      if (!same && low(in) < high(out) && low(out) < high(in)) return true;
    }
  }
  return false;
}

/// The calls of one variant in one accuracy.
template <class V, Accuracy A>
struct Calls {
  using Form = typename V::form;
  static constexpr std::size_t N = Form::count;
  using Indices = std::make_index_sequence<N>;

  static void contiguous(int n, char* const* at, long long mode) {
    if constexpr (A == Accuracy::thread)
      V::contiguous(n, at, Indices{});
    else
      V::contiguous(n, at, mode, Indices{});
  }

  static void strided(int n, char* const* at, const int* increments, long long mode) {
    if constexpr (A == Accuracy::thread)
      V::strided(n, at, increments, Indices{});
    else
      V::strided(n, at, increments, mode, Indices{});
  }

  static void element_by_element(char* const* args, npy_intp n, const npy_intp* steps,
                                 long long mode) {
    char* at[N];
    std::copy_n(args, N, at);
    for (npy_intp k = 0; k < n; ++k) {
      contiguous(1, at, mode);
      for (std::size_t i = 0; i < N; ++i) at[i] += steps[i];
    }
  }

  /// `n` elements whose scalar operands are the same throughout.
  static void uniform(char* const* args, npy_intp n, const npy_intp* steps, long long mode) {
    bool contiguous_arrays = true;
    int increments[N] = {};
    for (std::size_t i = 0; i < N; ++i) {
      if (Form::scalars[i]) continue;
      const npy_intp elements = steps[i] / Form::sizes[i];
      if (steps[i] % Form::sizes[i] != 0 || elements > INT_MAX || elements < -INT_MAX) {
        element_by_element(args, n, steps, mode);  // a step MKL cannot count in elements
        return;
      }
      increments[i] = static_cast<int>(elements);
      contiguous_arrays = contiguous_arrays && elements == 1;
    }
    char* at[N];
    std::copy_n(args, N, at);
    while (n > 0) {
      const int chunk = static_cast<int>(std::min(n, max_count));
      if (contiguous_arrays)
        contiguous(chunk, at, mode);
      else
        strided(chunk, at, increments, mode);
      for (std::size_t i = 0; i < N; ++i)
        if (!Form::scalars[i]) at[i] += chunk * steps[i];
      n -= chunk;
    }
  }

  static bool same_scalars(char* const* args, const npy_intp* steps, npy_intp a, npy_intp b) {
    for (std::size_t i = 0; i < N; ++i)
      if (Form::scalars[i] && std::memcmp(args[i] + a * steps[i], args[i] + b * steps[i],
                                          static_cast<std::size_t>(Form::sizes[i])) != 0)
        return false;
    return true;
  }

  static void run(char* const* args, npy_intp n, const npy_intp* steps, long long mode) {
    if (must_go_element_by_element(args, n, steps, Form::sizes, Form::nin)) {
      element_by_element(args, n, steps, mode);
      return;
    }
    bool scalars_vary = false;
    for (std::size_t i = 0; i < N; ++i)
      scalars_vary = scalars_vary || (Form::scalars[i] && steps[i]);
    if (!scalars_vary) {
      uniform(args, n, steps, mode);
      return;
    }
    // MKL takes one value per scalar and call: one call per run of equal scalars.
    for (npy_intp begin = 0, end; begin < n; begin = end) {
      for (end = begin + 1; end < n && same_scalars(args, steps, begin, end);) ++end;
      char* at[N];
      for (std::size_t i = 0; i < N; ++i) at[i] = args[i] + begin * steps[i];
      uniform(at, end - begin, steps, mode);
    }
  }
};

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
  StatusToFloatingPoint<V::errors> status;
  if constexpr (V::order == Results::as_mkl) {
    Calls<V, A>::run(numpy_args, n, numpy_steps, mode_word<A>(data));
  } else {
    const MklOrder<V> operands(numpy_args, numpy_steps);
    Calls<V, A>::run(operands.args, n, operands.steps, mode_word<A>(data));
  }
}

/// float16 keeps its dtype: blocks of it are computed through the float32 variant, as
/// NumPy computes its own float16 loops, in buffers that stay in the first-level cache.
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
      for (npy_intp k = 0; k < converted; ++k) {
        _Float16 half;
        std::memcpy(&half, args[i] + (start + k) * steps[i], sizeof half);
        buffers[i][k] = static_cast<float>(half);
      }
    }
    {
      // Around MKL alone: rounding to float16 overflows as NumPy's own float16 loops do.
      StatusToFloatingPoint<V::errors> status;
      Calls<V, A>::run(at, m, buffer_steps, mode);
    }
    for (std::size_t o = static_cast<std::size_t>(Form::nin); o < N; ++o)
      for (npy_intp k = 0; k < m; ++k) {
        const auto half = static_cast<_Float16>(buffers[o][k]);
        std::memcpy(args[o] + (start + k) * steps[o], &half, sizeof half);
      }
  }
}

}  // namespace quorvex::ufuncs
