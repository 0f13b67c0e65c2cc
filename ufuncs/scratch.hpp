// Operands taken through a small scratch in the first-level cache: strided arrays gathered
// into contiguous blocks and results scattered back, so that MKL computes every element in
// its contiguous form; and results kept apart from the inputs they would overwrite until the
// loop has read those inputs.
#pragma once

#include <cstring>

#include "numpy_api.hpp"

namespace quorvex::ufuncs {

/// Bytes of scratch for each operand of a block: a block's operands stay in the first-level
/// cache, and MKL's cost of a call stays small against its computation.
inline constexpr npy_intp scratch_bytes = 4096;

template <npy_intp Size>
void gather_elements(char* to, const char* from, npy_intp step, npy_intp m) {
  for (npy_intp k = 0; k < m; ++k) std::memcpy(to + k * Size, from + k * step, Size);
}

template <npy_intp Size>
void scatter_elements(char* to, npy_intp step, const char* from, npy_intp m) {
  for (npy_intp k = 0; k < m; ++k) std::memcpy(to + k * step, from + k * Size, Size);
}

/// m elements of `size` bytes, `step` bytes apart (any step, negative too), made contiguous.
inline void gather(char* to, const char* from, npy_intp step, npy_intp size, npy_intp m) {
  if (step == size) {
    std::memcpy(to, from, static_cast<std::size_t>(m * size));
    return;
  }
  switch (size) {
    case 4:
      return gather_elements<4>(to, from, step, m);
    case 8:
      return gather_elements<8>(to, from, step, m);
    case 16:
      return gather_elements<16>(to, from, step, m);
    default:
      for (npy_intp k = 0; k < m; ++k)
        std::memcpy(to + k * size, from + k * step, static_cast<std::size_t>(size));
  }
}

/// The reverse of gather: m contiguous elements put `step` bytes apart.
inline void scatter(char* to, npy_intp step, const char* from, npy_intp size, npy_intp m) {
  if (step == size) {
    std::memcpy(to, from, static_cast<std::size_t>(m * size));
    return;
  }
  switch (size) {
    case 4:
      return scatter_elements<4>(to, step, from, m);
    case 8:
      return scatter_elements<8>(to, step, from, m);
    case 16:
      return scatter_elements<16>(to, step, from, m);
    default:
      for (npy_intp k = 0; k < m; ++k)
        std::memcpy(to + k * step, from + k * size, static_cast<std::size_t>(size));
  }
}

}  // namespace quorvex::ufuncs
