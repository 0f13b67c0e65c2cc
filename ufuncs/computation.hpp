// The MKL calls of one variant in one accuracy: the loop's elements in blocks, chunks or one at
// a time, each call's errors settled while its inputs are there.
#pragma once

#include <mkl_vml_defines.h>
#include <mkl_vml_functions.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cfenv>
#include <climits>
#include <cstring>
#include <type_traits>
#include <utility>

#include "accuracy.hpp"
#include "element_values.hpp"
#include "fp_status.hpp"
#include "lanes.hpp"
#include "layout.hpp"
#include "mkl_forms.hpp"
#include "numpy_api.hpp"
#include "reductions.hpp"
#include "scans.hpp"
#include "scratch.hpp"
#include "selections.hpp"
#include "underflow.hpp"
#include "unreported.hpp"

namespace quorvex::ufuncs {

/// The largest count of one MKL call; longer runs go in chunks. Only the tests lower it.
inline std::atomic<npy_intp> max_count{INT_MAX};

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
    if constexpr (reduces_itself<V>) {
      if (is_reduction<Form>(args, n, steps)) {
        using Stored = AsStored<typename Form::template operand<0>::element>;
        Stored::store(reduce<Stored>(args, n, steps), args[2]);
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
      with_equal_scalars(args, n, steps);
      return;
    }
    // MKL takes one value per scalar and call: one call per run of equal scalars.
    for (npy_intp begin = 0, end; begin < n; begin = end) {
      for (end = begin + 1; end < n && same_scalars(args, steps, begin, end);) ++end;
      char* at[N];
      for (std::size_t i = 0; i < N; ++i) at[i] = args[i] + begin * steps[i];
      with_equal_scalars(at, end - begin, steps);
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

  /// The value of the loop's reduction (reduces_itself, and is_reduction of the loop), its
  /// elements read as E says.
  template <class E>
  typename E::type reduce(char* const* args, npy_intp n, const npy_intp* steps) const;

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
  void with_equal_scalars(char* const* args, npy_intp n, const npy_intp* steps) const {
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
    const npy_intp limit = max_count.load(std::memory_order_relaxed);
    const npy_intp most = looks ? std::min(limit, scan_block) : limit;
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

  long long mode_;
  ErrorReport<V>& report_;
};

}  // namespace quorvex::ufuncs
