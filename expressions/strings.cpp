// contains(): one pass over NumPy's iterator with the GIL released, each pair of strings
// searched where it lies, with no string made of it.
#include "strings.hpp"

#include "selection.hpp"

#include <emmintrin.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace quorvex::expressions {
namespace {

/// One inner loop over (a, b, booleans), given the element widths of a and b in bytes.
using StringLoop = void (*)(char** data, const npy_intp* strides, npy_intp count, npy_intp width_a,
                            npy_intp width_b);

/// A needle of a fixed-width element: its characters up to the last that is not NUL.
template <class Char>
std::size_t trimmed_length(const Char* s, npy_intp width) {
  auto n = static_cast<std::size_t>(width) / sizeof(Char);
  while (n > 0 && s[n - 1] == Char{0}) --n;
  return n;
}

/// Whether the w characters at h hold the m at n. The haystack is not trimmed: a trimmed
/// needle ends in a character that is not NUL, so it can only match before the padding.
template <class Char>
bool holds(const Char* h, std::size_t w, const Char* n, std::size_t m) {
  if (m == 0) return true;
  const Char first = n[0];
  for (std::size_t i = 0; i + m <= w; ++i)
    if (h[i] == first && std::equal(n + 1, n + m, h + i + 1)) return true;
  return false;
}

/// holds() for bytes, 16 positions at a time: candidates by their first and last bytes, with
/// no branch per position, which random text would mispredict; only they are compared
/// further. Reads up to 15 bytes past the haystack's w.
bool holds_16(const char* h, std::size_t w, const char* n, std::size_t m) {
  if (m == 0) return true;
  if (m > w) return false;
  const __m128i first = _mm_set1_epi8(n[0]), last = _mm_set1_epi8(n[m - 1]);
  const std::size_t starts = w - m + 1;
  for (std::size_t c = 0; c < starts; c += 16) {
    const auto at = [&](std::size_t k) {
      return _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + k));
    };
    const __m128i both =
        _mm_and_si128(_mm_cmpeq_epi8(at(c), first), _mm_cmpeq_epi8(at(c + m - 1), last));
    auto candidates = static_cast<unsigned>(_mm_movemask_epi8(both));
    if (starts - c < 16) candidates &= (1U << (starts - c)) - 1;
    for (; candidates != 0; candidates &= candidates - 1) {
      const std::size_t i = c + static_cast<std::size_t>(std::countr_zero(candidates));
      if (m <= 2 || std::equal(n + 1, n + m - 1, h + i + 1)) return true;
    }
  }
  return false;
}

template <class Char>
void search(char** data, const npy_intp* strides, npy_intp count, npy_intp hay_width,
            npy_intp needle_width) {
  const auto w = static_cast<std::size_t>(hay_width) / sizeof(Char);
  const auto needle = [&](npy_intp i) {
    return reinterpret_cast<const Char*>(data[1] + i * strides[1]);
  };
  const std::size_t fixed = trimmed_length(needle(0), needle_width);  // a needle that stays
  // Bytes are searched 16 at a time where 15 more of this loop's haystacks follow.
  const npy_intp ahead = strides[0] > 0 ? (15 + strides[0] - 1) / strides[0] : count;
  for (npy_intp i = 0; i < count; ++i) {
    const Char* n = needle(i);
    const std::size_t m = strides[1] == 0 ? fixed : trimmed_length(n, needle_width);
    const auto* h = reinterpret_cast<const Char*>(data[0] + i * strides[0]);
    if constexpr (sizeof(Char) == 1)
      data[2][i * strides[2]] = i + ahead < count ? holds_16(h, w, n, m) : holds(h, w, n, m);
    else
      data[2][i * strides[2]] = holds(h, w, n, m);
  }
}

/// The order of two strings as NumPy's: characters compared unsigned, the shorter string
/// padded with NULs.
template <class Char>
int order(const Char* a, std::size_t wa, const Char* b, std::size_t wb) {
  const std::size_t m = std::min(wa, wb);
  for (std::size_t i = 0; i < m; ++i)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  for (std::size_t i = m; i < wa; ++i)
    if (a[i] != 0) return 1;
  for (std::size_t i = m; i < wb; ++i)
    if (b[i] != 0) return -1;
  return 0;
}

template <Comparison C, class Char>
void compare_strings(char** data, const npy_intp* strides, npy_intp count, npy_intp width_a,
                     npy_intp width_b) {
  const auto wa = static_cast<std::size_t>(width_a) / sizeof(Char);
  const auto wb = static_cast<std::size_t>(width_b) / sizeof(Char);
  for (npy_intp i = 0; i < count; ++i) {
    const int o = order(reinterpret_cast<const Char*>(data[0] + i * strides[0]), wa,
                        reinterpret_cast<const Char*>(data[1] + i * strides[1]), wb);
    data[2][i * strides[2]] = compare<C>(o, 0);
  }
}

/// The loop of comparison `c` of strings of `Char`.
template <class Char, std::size_t... I>
StringLoop comparison_loop(std::size_t c, std::index_sequence<I...>) {
  static constexpr StringLoop loops[] = {&compare_strings<static_cast<Comparison>(I), Char>...};
  return loops[c];
}

NpyIter* iterate(PyArrayObject* haystack, PyArrayObject* needle) {
  PyArrayObject* operands[] = {haystack, needle, nullptr};
  npy_uint32 flags[] = {NPY_ITER_READONLY, NPY_ITER_READONLY,
                        NPY_ITER_WRITEONLY | NPY_ITER_ALLOCATE};
  PyArray_Descr* booleans = PyArray_DescrFromType(NPY_BOOL);
  PyArray_Descr* dtypes[] = {nullptr, nullptr, booleans};
  NpyIter* it = NpyIter_MultiNew(3, operands, NPY_ITER_EXTERNAL_LOOP | NPY_ITER_ZEROSIZE_OK,
                                 NPY_KEEPORDER, NPY_NO_CASTING, flags, dtypes);
  Py_DECREF(booleans);
  return it;
}

bool searchable(PyArrayObject* a, int type) {
  return PyArray_TYPE(a) == type && PyArray_ISALIGNED(a) && PyArray_ISNOTSWAPPED(a);
}

/// The booleans of `loop` over a and b broadcast, with the GIL released.
PyObject* run_on_strings(PyArrayObject* a, PyArrayObject* b, StringLoop loop) {
  NpyIter* it = iterate(a, b);
  if (it == nullptr) return nullptr;
  PyObject* result = reinterpret_cast<PyObject*>(NpyIter_GetOperandArray(it)[2]);
  Py_INCREF(result);
  if (NpyIter_GetIterSize(it) > 0) {
    NpyIter_IterNextFunc* next = NpyIter_GetIterNext(it, nullptr);
    if (next == nullptr) {
      NpyIter_Deallocate(it);
      Py_DECREF(result);
      return nullptr;
    }
    char** data = NpyIter_GetDataPtrArray(it);
    const npy_intp* strides = NpyIter_GetInnerStrideArray(it);
    const npy_intp* count = NpyIter_GetInnerLoopSizePtr(it);
    const npy_intp width_a = PyArray_ITEMSIZE(a), width_b = PyArray_ITEMSIZE(b);
    Py_BEGIN_ALLOW_THREADS;
    do {
      loop(data, strides, *count, width_a, width_b);
    } while (next(it));
    Py_END_ALLOW_THREADS;
  }
  if (NpyIter_Deallocate(it) != NPY_SUCCEED) {
    Py_DECREF(result);
    return nullptr;
  }
  return result;
}

/// The two arrays of strings of args (and an optional integer); false with a TypeError
/// where they are not strings of one kind the loops read.
bool string_arrays(PyObject* args, PyArrayObject*& a, PyArrayObject*& b, int& type) {
  if (!PyArg_ParseTuple(args, "O!O!|i", &PyArray_Type, &a, &PyArray_Type, &b, &type)) return false;
  const int kind = PyArray_TYPE(a);
  if ((kind != NPY_STRING && kind != NPY_UNICODE) || !searchable(a, kind) || !searchable(b, kind)) {
    PyErr_SetString(PyExc_TypeError,
                    "strings are read aligned, of one kind (bytes or str), in native byte order");
    return false;
  }
  return true;
}

}  // namespace

PyObject* contains(PyObject*, PyObject* args) {
  PyArrayObject *haystack, *needle;
  int unused = 0;
  if (!string_arrays(args, haystack, needle, unused)) return nullptr;
  const bool bytes = PyArray_TYPE(haystack) == NPY_STRING;
  return run_on_strings(haystack, needle, bytes ? &search<char> : &search<char32_t>);
}

PyObject* compare(PyObject*, PyObject* args) {
  PyArrayObject *a, *b;
  int c = -1;
  if (!string_arrays(args, a, b, c)) return nullptr;
  if (c < 0 || c >= static_cast<int>(comparison_count)) {
    PyErr_Format(PyExc_ValueError, "no comparison %d", c);
    return nullptr;
  }
  const auto all = std::make_index_sequence<comparison_count>{};
  const auto index = static_cast<std::size_t>(c);
  return run_on_strings(a, b,
                        PyArray_TYPE(a) == NPY_STRING ? comparison_loop<unsigned char>(index, all)
                                                      : comparison_loop<char32_t>(index, all));
}

}  // namespace quorvex::expressions
