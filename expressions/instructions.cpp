// The typed kernel of each of the engine's own instructions, found by the register types.
#include "instructions.hpp"

#include <iterator>
#include <type_traits>
#include <utility>

namespace quorvex::expressions {
namespace {

constexpr auto all_types = std::make_index_sequence<std::size(register_types)>{};

template <std::size_t... I>
npy_intp size_of(int type, std::index_sequence<I...>) {
  npy_intp size = 0;
  ((register_types[I] == type ? (size = sizeof(typename Element<register_types[I]>::type)) : 0),
   ...);
  return size;
}

template <int From, std::size_t... I>
Native find_cast_from(int to, std::index_sequence<I...>) {
  Native found = nullptr;
  using F = typename Element<From>::type;
  auto one = [&]<std::size_t K>(std::integral_constant<std::size_t, K>) {
    using T = typename Element<register_types[K]>::type;
    if constexpr (castable<F, T>)
      if (register_types[K] == to) found = &cast<F, T>;
  };
  (one(std::integral_constant<std::size_t, I>{}), ...);
  return found;
}

template <std::size_t... I>
Native find_cast(int from, int to, std::index_sequence<I...> all) {
  Native found = nullptr;
  ((register_types[I] == from ? (found = find_cast_from<register_types[I]>(to, all)) : nullptr),
   ...);
  return found;
}

/// The kernels chosen by one type: integer powers by their operands', parts and complex
/// numbers from parts by the real type.
template <std::size_t... I>
Native find_typed(Op op, int type, std::index_sequence<I...>) {
  Native found = nullptr;
  auto one = [&]<std::size_t K>(std::integral_constant<std::size_t, K>) {
    using T = typename Element<register_types[K]>::type;
    if (register_types[K] != type) return;
    // npy_bool is npy_ubyte's type: the type number tells them apart.
    if constexpr (std::is_integral_v<T> && register_types[K] != NPY_BOOL)
      if (op == Op::integer_power) found = &integer_power<T>;
    if constexpr (std::is_same_v<T, float> || std::is_same_v<T, double>) {
      if (op == Op::real) found = &part<T, false>;
      if (op == Op::imag) found = &part<T, true>;
      if (op == Op::complex) found = &make_complex<T>;
    }
  };
  (one(std::integral_constant<std::size_t, I>{}), ...);
  return found;
}

/// where and copy move bits: the element size is all they need.
template <std::size_t Size>
Native moves(Op op) {
  return op == Op::where ? &where<Size> : &copy<Size>;
}

Native find_sized(Op op, npy_intp size) {
  switch (size) {
    case 1:
      return moves<1>(op);
    case 2:
      return moves<2>(op);
    case 4:
      return moves<4>(op);
    case 8:
      return moves<8>(op);
    case 16:
      return moves<16>(op);
    default:
      return nullptr;
  }
}

}  // namespace

npy_intp type_size(int type) { return size_of(type, all_types); }

namespace {
PyObject* numpy = nullptr;  // set once, at import
}  // namespace

bool find_numpy() {
  numpy = PyImport_ImportModule("numpy");
  return numpy != nullptr;
}

bool is_numpy_ufunc(PyObject* ufunc) {
  PyObject* found = PyObject_GetAttrString(numpy, reinterpret_cast<PyUFuncObject*>(ufunc)->name);
  if (found == nullptr) PyErr_Clear();
  Py_XDECREF(found);
  return found == ufunc;
}

Native find_native(Op op, int first, int last) {
  switch (op) {
    case Op::cast:
      return find_cast(first, last, all_types);
    case Op::where:
    case Op::copy:
      return find_sized(op, type_size(last));
    case Op::real:
    case Op::imag:  // named by the part they give
      return find_typed(op, last, all_types);
    case Op::complex:
    case Op::integer_power:  // named by their operands
      return find_typed(op, first, all_types);
  }
  return nullptr;
}

}  // namespace quorvex::expressions
