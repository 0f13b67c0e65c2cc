// Reductions in pairwise blocks: rows combined as a binary counter carries, then halved.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "computation.hpp"
#include "numpy_api.hpp"
#include "reductions.hpp"

namespace quorvex::ufuncs {

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

/// The rows of a reduction's inputs x, `step` bytes apart, as they are stored: pairs combined
/// where they lie, the first halving straight from the array.
template <class T, class Compute>
struct StoredRows {
  const Pairwise<T, Compute>& pairwise;
  const Compute& compute;
  const char* x;
  npy_intp step;
  void pair(npy_intp first, T* out) const {
    constexpr npy_intp row = Pairwise<T, Compute>::row;
    compute.combine_strided(row, x + first * step, x + (first + row) * step, step, out);
  }
  npy_intp load(npy_intp first, npy_intp m, T* work) const {
    return pairwise.halve_into(x + first * step, m, step, work);
  }
};

/// The rows of float16 inputs, widened to float32 before they are combined.
template <class Compute>
struct WidenedRows {
  const Pairwise<float, Compute>& pairwise;
  const Compute& compute;
  const char* x;
  npy_intp step;
  void pair(npy_intp first, float* out) const {
    constexpr npy_intp row = Pairwise<float, Compute>::row;
    float second[static_cast<std::size_t>(row)];
    load(first, row, out);
    load(first + row, row, second);
    compute.combine(row, out, second, out);
  }
  npy_intp load(npy_intp first, npy_intp m, float* work) const {
    for (npy_intp k = 0; k < m; ++k) work[k] = from_half(x + (first + k) * step);
    return m;
  }
};

/// Whether a reduction's value is a result the kernel left unreported: a NaN or an infinity
/// from inputs (the initial value among them) none of which was one.
template <class V, class E, class T>
bool unreported_in_reduction(T value, T initial, const char* x, npy_intp n, npy_intp step) {
  constexpr unsigned unreported = V::contract.unreported;
  if (unreported == Unreported::none || !scans_results<V>) return false;
  const bool nan = is_nan(value);
  if (!((unreported & Unreported::nan) && nan) && !(!nan && !is_finite(value))) return false;
  auto special = [&](T v) { return nan ? is_nan(v) : !is_finite(v); };
  if (special(initial)) return false;
  for (npy_intp k = 0; k < n; ++k)
    if (special(E::load(x + k * step))) return false;
  return true;
}

template <class V, Accuracy A>
template <class E>
typename E::type Computation<V, A>::reduce(char* const* args, npy_intp n,
                                           const npy_intp* steps) const {
  using T = typename E::type;
  const T initial = E::load(args[0]);
  if constexpr (!reduces_in_blocks<V>) {
    return in_order<V, E>(initial, args[1], n, steps[1]);
  } else {
    const Pairwise<T, Computation> pairwise(*this);
    // Any order will do: a reversed view is read forwards, in the order of memory.
    const npy_intp step = steps[1] < 0 ? -steps[1] : steps[1];
    const char* x = steps[1] < 0 ? args[1] + (n - 1) * steps[1] : args[1];
    using Rows =
        std::conditional_t<E::widened, WidenedRows<Computation>, StoredRows<T, Computation>>;
    const T total = pairwise.over(n, Rows{pairwise, *this, x, step});
    T value = initial;
    combine(1, &value, &total, &value);
    settle_by_status();
    if (unreported_in_reduction<V, E>(value, initial, x, n, step))
      found(is_nan(value)                   ? FE_INVALID
            : unreported & Unreported::pole ? FE_DIVBYZERO
                                            : FE_OVERFLOW);
    return value;
  }
}

}  // namespace quorvex::ufuncs
