// A reduction fused into a program: each block's results reduced while they are in cache, into
// one partial per block and group, and each group's partials combined in block order, so that
// any number of threads gives the same bits.
#pragma once

#include <iterator>

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

/// How the values reduced fall into groups: `count` groups of `length` consecutive values in
/// the order of iteration (one group of all for a whole reduction), in blocks of `block`.
/// Invariant: a block begins at most one group the block before has begun, so the partial of
/// group g within block k can sit at g + k.
struct Grouping {
  npy_intp count = 1, length = 0, block = 1;
  /// The partials of an evaluation of `blocks` blocks.
  npy_intp partials(npy_intp blocks) const { return blocks == 0 ? 0 : count + blocks - 1; }
};

/// Whether the engine reduces registers of this type so.
bool reduces(Reduce kind, int type);

/// The values a block reduces: x's, or with y the products x[i] * y[i], rounded as a multiply
/// would store them.
struct Values {
  const char* x;
  const char* y = nullptr;
};

/// Reduces n > 0 values, the `at`-th of the iteration onwards and all in block k, into the
/// partials of their groups, each begun by the first of its values in the block.
void accumulate(Reduce kind, int type, Values values, npy_intp n, npy_intp at, npy_intp k,
                const Grouping& groups, Partial* partials);

/// Each group's partials reduced in block order (pairwise, for a sum), written one value per
/// group from `result`; the identity for an empty group. False for an empty group of a
/// reduction without one (min, max).
bool combine(Reduce kind, int type, const Grouping& groups, const Partial* partials, char* result);

}  // namespace quorvex::expressions
