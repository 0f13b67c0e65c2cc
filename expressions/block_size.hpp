// The sizes the engine computes in: blocks that keep a program's registers in the second-level
// cache, windows that keep a run's values in the first, and the caches they are derived from.
#pragma once

#include "numpy_api.hpp"

namespace quorvex::expressions {

/// The size in bytes of the first CPU's unified or data cache at `level` (2 or 3), or 0.
long cache_size(int level);

/// The elements per block derived from the L2 cache's size.
npy_intp derived_block_size();

/// The elements per block evaluations use now: derived, or what set_block_size set.
npy_intp current_block_size();
void set_current_block_size(npy_intp elements);

/// The elements per window of a run that goes window by window: a window of each of its
/// values fits the L1 cache, and a NumPy loop's call costs little beside its elements.
inline constexpr npy_intp window_elements = 256;

}  // namespace quorvex::expressions
