// What MKL's declarations of one operation in one precision say about the ufunc loop on them.
#pragma once

#include <mkl_types.h>

#include <array>
#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "numpy_api.hpp"

namespace quorvex::ufuncs {

/// NumPy's type number for each element type VML computes in.
template <class T>
inline constexpr char numpy_type = 0;
template <>
inline constexpr char numpy_type<float> = NPY_FLOAT;
template <>
inline constexpr char numpy_type<double> = NPY_DOUBLE;
template <>
inline constexpr char numpy_type<MKL_Complex8> = NPY_CFLOAT;
template <>
inline constexpr char numpy_type<MKL_Complex16> = NPY_CDOUBLE;

/// One operand of the ufunc, from the parameter MKL's contiguous form takes for it: an
/// array it reads, a scalar by value, or an array it writes.
template <class Parameter>
struct Operand {
  using element = Parameter;
  static constexpr bool output = false;
  static constexpr bool scalar = true;
};
template <class T>
struct Operand<const T*> {
  using element = T;
  static constexpr bool output = false;
  static constexpr bool scalar = false;
};
template <class T>
struct Operand<T*> {
  using element = T;
  static constexpr bool output = true;
  static constexpr bool scalar = false;
};

template <class Function>
struct ContiguousForm;

/// MKL's contiguous form `void (int n, operands...)`: the ufunc's operands are its
/// parameters after the count, in order, the arrays written last.
template <class... Parameters>
struct ContiguousForm<void (*)(int, Parameters...) noexcept> {
  static constexpr std::size_t count = sizeof...(Parameters);
  using parameters = std::tuple<Parameters...>;
  using with_mode = void (*)(int, Parameters..., long long) noexcept;
  template <std::size_t I>
  using operand = Operand<std::tuple_element_t<I, parameters>>;

  static constexpr int nout = (0 + ... + int{Operand<Parameters>::output});
  static constexpr int nin = static_cast<int>(count) - nout;
  static constexpr std::array<char, count> types = {
      numpy_type<typename Operand<Parameters>::element>...};
  static constexpr std::array<npy_intp, count> sizes = {
      sizeof(typename Operand<Parameters>::element)...};
  static constexpr std::array<bool, count> scalars = {Operand<Parameters>::scalar...};
  static constexpr bool single_precision =
      (true && ... && std::is_same_v<typename Operand<Parameters>::element, float>);

  static_assert((true && ... && (numpy_type<typename Operand<Parameters>::element> != 0)),
                "Every operand must be an element type NumPy has.");
  static_assert(nout >= 1, "An operation writes at least one array.");
};

/// The argument MKL's contiguous form takes for operand I at `address`.
template <class Form, std::size_t I>
auto contiguous_argument(char* address) {
  using Parameter = std::tuple_element_t<I, typename Form::parameters>;
  if constexpr (Form::template operand<I>::scalar)
    return *reinterpret_cast<const Parameter*>(address);
  else
    return reinterpret_cast<Parameter>(address);
}

/// The order of the ufunc's results: MKL's, or the reverse where NumPy's function has them so.
enum class Results { as_mkl, reversed };

/// How MKL's call reports errors to NumPy: by its error status, the flags its kernel raises
/// on the way being no errors; or, for IEEE arithmetic, by the flags the operation raises
/// itself, a division's invalid operations and divisions by zero told apart by the values.
enum class Errors { status, ieee_flags, ieee_division };

/// How a reduction is computed: one element after the other, as NumPy's own loops do, or
/// pairwise in cache-sized blocks where any grouping is as accurate (under numpy_uses_mkl()
/// too, as they are faster than NumPy's reduction). A sum's blocks add their rows with the
/// IEEE additions MKL's Add makes, in the loop itself; under numpy_uses_mkl() NumPy's own
/// loop sums. A real product keeps its order, computed as MKL's Mul computes each element
/// (one IEEE multiplication), without a call per element.
enum class Reduce { in_order, in_blocks, pairwise_sum, product_in_order, selection };

/// The element a selection keeps of two, as MKL's Fmax, Fmin, MaxMag and MinMag keep it: a
/// number over a NaN, else the larger or smaller value or magnitude. A reduction of them is
/// exact in any grouping, and the loop makes it itself, at the speed of memory.
enum class Select { none, larger, smaller, larger_magnitude, smaller_magnitude };

/// How float16 is computed: through the float32 variant and rounded, or natively where the
/// float32 result rounded is not the float16 one (nextafter steps to float32's neighbour).
enum class Half { through_single, nextafter };

/// Results some kernel gives without an error status, which the loop must find itself: NaN
/// from inputs that are not NaN (an invalid operation), an infinity from finite inputs at a
/// pole (a division by zero) or beyond the largest finite value (an overflow), a tiny result
/// that NumPy's computation of the element underflows in.
struct Unreported {
  enum : unsigned { none = 0, nan = 1, pole = 2, overflow = 4, underflow = 8 };
};

/// Who says whether an element underflows: the kernel (its status or flag), or NumPy's own
/// computation of it, IEEE division or libm's pow, where the loop decides it.
enum class Underflow { kernel, ieee_division, libm_pow };

/// What the loops owe NumPy for one variant, beyond MKL's function itself. The generated rows
/// name its fields with designated initializers, which must keep this order.
struct Contract {
  Results order = Results::as_mkl;
  Errors errors = Errors::status;
  Reduce reduce = Reduce::in_order;
  Half half = Half::through_single;
  unsigned unreported = Unreported::none;
  Select select = Select::none;
  Underflow underflow = Underflow::kernel;
  bool numpy_same_bits = false;  // NumPy's loop gives MKL's bits: exact in every kernel

  friend constexpr bool operator==(const Contract&, const Contract&) = default;
};

/// One precision of one operation: the contiguous form and its mode variant. (MKL's strided
/// forms are not called: some kernels compute an element there otherwise than in the
/// contiguous form, so strided operands go through a contiguous scratch instead.)
template <auto Contiguous, auto ModeContiguous, Contract C = Contract{}>
struct Variant {
  using form = ContiguousForm<decltype(Contiguous)>;
  static constexpr Contract contract = C;
  static constexpr Results order = C.order;
  static constexpr Errors errors = C.errors;

  template <std::size_t... I>
  static void contiguous(int n, char* const* addresses, std::index_sequence<I...>) {
    Contiguous(n, contiguous_argument<form, I>(addresses[I])...);
  }
  template <std::size_t... I>
  static void contiguous(int n, char* const* addresses, long long mode, std::index_sequence<I...>) {
    ModeContiguous(n, contiguous_argument<form, I>(addresses[I])..., mode);
  }
  static_assert(std::is_same_v<decltype(ModeContiguous), typename form::with_mode>,
                "The mode variant must take the contiguous form's arguments and a mode.");
};

}  // namespace quorvex::ufuncs
