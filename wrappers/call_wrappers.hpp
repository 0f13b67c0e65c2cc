// One call-wrapper template per calling convention and one direct-call template; every
// function of the catalogue is an instance of them.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "../backend/exports.hpp"
#include "arguments.hpp"
#include "scratch_arena.hpp"

namespace quorvex {

/// A function's name as a template argument, so each wrapper carries its own.
template <std::size_t N>
struct FixedString {
  char text[N];
  constexpr FixedString(const char (&literal)[N]) { std::copy_n(literal, N, text); }
};

/// A function type of the catalogue: its result converter and one converter per parameter.
template <class ResultConverter, class... ArgConverters>
struct Signature {
  using result = ResultConverter;
  using c_function = typename ResultConverter::c_type(typename ArgConverters::c_type...);
  static constexpr Py_ssize_t arity = sizeof...(ArgConverters);
};

// --- The build fails unless MKL's own declaration takes exactly our arguments. -----------

/// An argument passes unchanged: the same type, or a pointer to the same type. An
/// array pointer must agree with MKL on `const`, since that is what tells the arrays
/// MKL writes from those it only reads; MKL's header adds `const` to the integers it
/// takes by reference, which the catalogue passes as plain `int *`.
template <class Ours, class Mkls>
inline constexpr bool passes_unchanged = std::is_same_v<Ours, Mkls>;
template <class Ours, class Mkls>
inline constexpr bool passes_unchanged<Ours*, Mkls*> =
    std::is_same_v<std::remove_const_t<Ours>, std::remove_const_t<Mkls>> &&
    (std::is_const_v<Ours> == std::is_const_v<Mkls> ||
     (std::is_integral_v<Ours> && !std::is_const_v<Ours>));

template <class Ours, class Mkls>
inline constexpr bool same_signature = false;
template <class R, class... Ours, class... Mkls>
  requires(sizeof...(Ours) == sizeof...(Mkls))
inline constexpr bool same_signature<R(Ours...), R (*)(Mkls...) noexcept> =
    (passes_unchanged<Ours, Mkls> && ...);
template <class R, class... Ours, class... Mkls>
  requires(sizeof...(Ours) == sizeof...(Mkls))
inline constexpr bool same_signature<R(Ours...), R (*)(Mkls...)> =
    (passes_unchanged<Ours, Mkls> && ...);

// --- The interpreter lock is released only around errno restore, MKL, errno save. -------

class GilReleased {
 public:
  GilReleased() : state_(PyEval_SaveThread()) { backend::restore_errno(); }
  ~GilReleased() {
    backend::save_errno();
    PyEval_RestoreThread(state_);
  }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
};

// --- Call wrappers. -----------------------------------------------------------------------

/// One converted argument. Left uninitialized: its converter writes it before MKL reads it.
template <std::size_t Position, class CType>
struct ConvertedArgument {
  CType value;
};

template <class Positions, class... CTypes>
struct ConvertedArguments;

template <std::size_t... Positions, class... CTypes>
struct ConvertedArguments<std::index_sequence<Positions...>, CTypes...>
    : ConvertedArgument<Positions, CTypes>... {};

/// Tuple kind: exact arity, every argument converted in order, MKL called without
/// the lock, `None` returned. One body per signature shape; the function's own
/// wrapper below only supplies its name and its MKL function.
template <class MklFunction, class... Args, std::size_t... Positions>
[[gnu::noinline]] PyObject* call_with_tuple(std::index_sequence<Positions...>, PyObject* args,
                                            const char* name, MklFunction* mkl) {
  constexpr Py_ssize_t arity = sizeof...(Args);
  if (PyTuple_GET_SIZE(args) != arity) [[unlikely]]
    return raise_arity_error(name, arity, PyTuple_GET_SIZE(args));

  ScratchArena scratch;
  ConvertedArguments<std::index_sequence<Positions...>, typename Args::c_type...> values;
  // && folds left to right and stops at the first failure.
  bool converted =
      (Args::convert(
           PyTuple_GET_ITEM(args, Positions),
           static_cast<ConvertedArgument<Positions, typename Args::c_type>&>(values).value,
           scratch) &&
       ...);
  if (!converted) [[unlikely]]
    return nullptr;
  {
    GilReleased unlocked;
    mkl(static_cast<ConvertedArgument<Positions, typename Args::c_type>&>(values).value...);
  }
  Py_RETURN_NONE;
}

template <FixedString Name, auto Mkl, class... Args>
PyObject* tuple_call_wrapper(PyObject*, PyObject* args) {
  return call_with_tuple<std::remove_pointer_t<decltype(Mkl)>, Args...>(
      std::index_sequence_for<Args...>{}, args, Name.text, Mkl);
}

/// No-argument kind: the backend passes no argument object.
template <auto Mkl, class Result>
PyObject* no_argument_call_wrapper(PyObject*, PyObject*) {
  typename Result::c_type value;
  {
    GilReleased unlocked;
    value = Mkl();
  }
  return Result::to_python(value);
}

/// One-argument kind: the backend passes the single argument object itself.
template <auto Mkl, class Result, class Arg>
PyObject* one_argument_call_wrapper(PyObject*, PyObject* item) {
  ScratchArena scratch;
  typename Arg::c_type argument;
  if (!Arg::convert(item, argument, scratch)) [[unlikely]]
    return nullptr;
  typename Result::c_type value;
  {
    GilReleased unlocked;
    value = Mkl(argument);
  }
  return Result::to_python(value);
}

/// The C-level twin of the call wrapper: the declared signature, forwarded to MKL.
template <auto Mkl, class Result, class... Args>
typename Result::c_type direct_call_entry(typename Args::c_type... args) {
  return Mkl(args...);
}

using CallWrapper = PyObject* (*)(PyObject*, PyObject*);

/// Everything the global table needs of one function: its call wrapper, chosen by
/// the calling convention its parameter count selects, and its direct-call entry.
template <FixedString Name, auto Mkl, class Type>
struct Instance;

template <FixedString Name, auto Mkl, class Result, class... Args>
struct Instance<Name, Mkl, Signature<Result, Args...>> {
  static_assert(same_signature<typename Signature<Result, Args...>::c_function, decltype(Mkl)>,
                "The catalogue's signature must pass its arguments unchanged to MKL's "
                "declaration of the same function.");
  static_assert(sizeof...(Args) < 2 || std::is_void_v<typename Result::c_type>,
                "Functions called with an argument tuple return nothing.");

  static consteval CallWrapper pick_call_wrapper() {
    if constexpr (sizeof...(Args) == 0)
      return &no_argument_call_wrapper<Mkl, Result>;
    else if constexpr (sizeof...(Args) == 1)
      return &one_argument_call_wrapper<Mkl, Result, Args...>;
    else
      return &tuple_call_wrapper<Name, Mkl, Args...>;
  }
  static constexpr CallWrapper call_wrapper = pick_call_wrapper();
  /// The one copy of the name, shared by the global table and the arity message.
  static constexpr const char* name = Name.text;
  static constexpr auto direct_call = &direct_call_entry<Mkl, Result, Args...>;
};

}  // namespace quorvex
