// The typed kernels of the fused reductions. A sum is NumPy's pairwise sum within a block, and
// pairwise again over the blocks' partials: its error grows with the logarithm of the count.
// Integers wrap as NumPy's do; min and max propagate NaN as np.min and np.max do.
#include "reduction.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <vector>

namespace quorvex::expressions {
namespace {

/// Integer arithmetic in the unsigned type, which wraps where the signed one may not.
template <class T, bool = std::is_integral_v<T>>
struct WrappingOf {
  using type = T;
};
template <class T>
struct WrappingOf<T, true> {
  using type = std::make_unsigned_t<T>;
};
template <class T>
using Wrapping = typename WrappingOf<T>::type;

template <class T>
T add(T a, T b) {
  return static_cast<T>(static_cast<Wrapping<T>>(a) + static_cast<Wrapping<T>>(b));
}

template <class T>
T multiply(T a, T b) {
  if constexpr (std::is_integral_v<T>)  // (unsigned short promotes to int: widen first)
    return static_cast<T>(static_cast<unsigned long long>(a) * static_cast<unsigned long long>(b));
  else
    return a * b;
}

/// The values of a block from its i-th: stored ones, or products made as they are read.
template <class T>
struct Stored {
  const T* x;
  T operator[](npy_intp i) const { return x[i]; }
  Stored from(npy_intp i) const { return {x + i}; }
};
template <class T>
struct Products {
  const T* x;
  const T* y;
  T operator[](npy_intp i) const { return multiply(x[i], y[i]); }
  Products from(npy_intp i) const { return {x + i, y + i}; }
};

/// NumPy's pairwise sum: eight sums side by side up to 128 values, halves beyond; below eight,
/// one from zero, as NumPy's (a sum of a few negative zeros is +0).
template <class T, class V>
T pairwise_sum(V x, npy_intp n) {
  if (n < 8) {
    T sum = 0;
    for (npy_intp i = 0; i < n; ++i) sum = add(sum, x[i]);
    return sum;
  }
  if (n <= 128) {
    T r[8];
    for (int j = 0; j < 8; ++j) r[j] = x[j];
    npy_intp i = 8;
    for (; i + 8 <= n; i += 8)
      for (int j = 0; j < 8; ++j) r[j] = add(r[j], x[i + j]);
    T sum = add(add(add(r[0], r[1]), add(r[2], r[3])), add(add(r[4], r[5]), add(r[6], r[7])));
    for (; i < n; ++i) sum = add(sum, x[i]);
    return sum;
  }
  npy_intp half = n / 2;
  half -= half % 8;
  // The first half first: values read in address order are what the prefetchers follow
  // (a call's arguments may be evaluated last to first).
  const T first = pairwise_sum<T>(x, half);
  return add(first, pairwise_sum<T>(x.from(half), n - half));
}

/// a <= b and a >= b, quiet where a NaN is compared: np.min and np.max raise no flag for one.
template <class T>
bool at_most(T a, T b) {
  if constexpr (std::is_floating_point_v<T>)
    return std::islessequal(a, b) || std::isnan(a);
  else
    return a <= b;
}
template <class T>
bool at_least(T a, T b) {
  if constexpr (std::is_floating_point_v<T>)
    return std::isgreaterequal(a, b) || std::isnan(a);
  else
    return a >= b;
}

template <class T>
T pick(Reduce kind, T a, T b) {
  switch (kind) {
    case Reduce::sum:
      return add(a, b);
    case Reduce::prod:
      return multiply(a, b);
    case Reduce::min:  // a NaN wins, as in np.minimum
      return at_most(a, b) ? a : b;
    case Reduce::max:
      return at_least(a, b) ? a : b;
    case Reduce::any:
      return static_cast<T>(a || b);
    case Reduce::all:
      return static_cast<T>(a && b);
  }
  return a;
}

/// The reduction of n > 0 values; one is itself (a sum from zero would make -0 +0).
template <class T, class V>
T reduce_values(Reduce kind, V x, npy_intp n) {
  if (n == 1) return x[0];
  if (kind == Reduce::sum) return pairwise_sum<T>(x, n);
  T value = x[0];
  for (npy_intp i = 1; i < n; ++i) value = pick(kind, value, x[i]);
  return value;
}

template <class T>
T read(const Partial& p) {
  T value;
  std::memcpy(&value, p.bytes, sizeof value);
  return value;
}

template <class T>
void write(T value, void* at) {
  std::memcpy(at, &value, sizeof value);
}

template <class T, class V>
void accumulate_typed(Reduce kind, V x, npy_intp n, npy_intp at, npy_intp k, const Grouping& groups,
                      Partial* partials) {
  const npy_intp block_begin = k * groups.block, end = at + n;
  for (npy_intp begin = at; begin < end;) {
    const npy_intp g = begin / groups.length, group_begin = g * groups.length;
    const npy_intp stop = std::min(end, group_begin + groups.length);
    const T value = reduce_values<T>(kind, x.from(begin - at), stop - begin);
    Partial& partial = partials[g + k];
    const bool first = begin == std::max(block_begin, group_begin);
    write(first ? value : pick(kind, read<T>(partial), value), partial.bytes);
    begin = stop;
  }
}

template <class T>
bool combine_typed(Reduce kind, const Grouping& groups, const Partial* partials, char* result) {
  const auto at = [result](npy_intp g) { return result + g * npy_intp{sizeof(T)}; };
  if (groups.length == 0) {
    if (groups.count > 0 && (kind == Reduce::min || kind == Reduce::max)) return false;
    for (npy_intp g = 0; g < groups.count; ++g)
      write(static_cast<T>(kind == Reduce::prod || kind == Reduce::all), at(g));
    return true;
  }
  std::vector<T> values;
  for (npy_intp g = 0; g < groups.count; ++g) {
    const npy_intp first = g * groups.length / groups.block;
    const npy_intp last = ((g + 1) * groups.length - 1) / groups.block;
    values.clear();
    for (npy_intp k = first; k <= last; ++k) values.push_back(read<T>(partials[g + k]));
    const auto count = static_cast<npy_intp>(values.size());
    write(reduce_values<T>(kind, Stored<T>{values.data()}, count), at(g));
  }
  return true;
}

/// Calls f with a value of the C type of a register type the reductions take.
template <class F>
bool with_type(int type, F&& f) {
  switch (type) {
    case NPY_BOOL:
      return f(npy_bool{});
    case NPY_BYTE:
      return f(npy_byte{});
    case NPY_UBYTE:
      return f(npy_ubyte{});
    case NPY_SHORT:
      return f(npy_short{});
    case NPY_USHORT:
      return f(npy_ushort{});
    case NPY_INT:
      return f(npy_int{});
    case NPY_UINT:
      return f(npy_uint{});
    case NPY_LONG:
      return f(npy_long{});
    case NPY_ULONG:
      return f(npy_ulong{});
    case NPY_LONGLONG:
      return f(npy_longlong{});
    case NPY_ULONGLONG:
      return f(npy_ulonglong{});
    case NPY_FLOAT:
      return f(npy_float{});
    case NPY_DOUBLE:
      return f(npy_double{});
    default:
      return false;
  }
}

}  // namespace

bool reduces(Reduce kind, int type) {
  const bool logical = kind == Reduce::any || kind == Reduce::all;
  return (type == NPY_BOOL) == logical && with_type(type, [](auto) { return true; });
}

void accumulate(Reduce kind, int type, Values values, npy_intp n, npy_intp at, npy_intp k,
                const Grouping& groups, Partial* partials) {
  with_type(type, [&](auto zero) {
    using T = decltype(zero);
    const auto* x = reinterpret_cast<const T*>(values.x);
    const auto* y = reinterpret_cast<const T*>(values.y);
    if constexpr (std::is_floating_point_v<T>)  // (the engine multiplies floats alone)
      if (y != nullptr) {
        accumulate_typed<T>(kind, Products<T>{x, y}, n, at, k, groups, partials);
        return true;
      }
    accumulate_typed<T>(kind, Stored<T>{x}, n, at, k, groups, partials);
    return true;
  });
}

bool combine(Reduce kind, int type, const Grouping& groups, const Partial* partials, char* result) {
  return with_type(type, [&](auto zero) {
    return combine_typed<decltype(zero)>(kind, groups, partials, result);
  });
}

}  // namespace quorvex::expressions
