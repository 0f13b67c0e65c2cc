// A reduction fused into a program: each block's results reduced while they are in cache, into
// one partial per block, and the partials combined in block order, so that any number of
// threads gives the same bits.
#pragma once

#include <iterator>
#include <vector>

#include "numpy_api.hpp"

namespace quorvex::expressions {

/// The reductions, by index: the compiler reads these names from the module, in order.
enum class Reduce { sum, prod, min, max, any, all };
inline constexpr const char* reduce_names[] = {"sum", "prod", "min", "max", "any", "all"};
inline constexpr int reduce_count = static_cast<int>(std::size(reduce_names));

/// One partial result, of any register type the reductions take.
struct Partial {
  alignas(16) unsigned char bytes[16];
};

/// Whether the engine reduces registers of this type so.
bool reduces(Reduce kind, int type);

/// partial = the reduction of n > 0 values at x, combined with partial unless `first`.
void accumulate(Reduce kind, int type, const char* x, npy_intp n, Partial& partial, bool first);

/// The reduction of the partials, in order (pairwise, for a sum), written at `result`; the
/// identity where there are none. False for a reduction without one (min, max).
bool combine(Reduce kind, int type, const std::vector<Partial>& partials, char* result);

}  // namespace quorvex::expressions
