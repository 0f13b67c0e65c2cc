// The passes over a decoded program, in the order make_program runs them.
#pragma once

#include "program.hpp"

namespace quorvex::expressions {

/// Merges pairs of instructions into one pass where the first's result only the second reads:
/// a product and the addition or subtraction of it into one multiply-add (NumPy's two
/// roundings: the build contracts nothing), a comparison and the where of its booleans into
/// one selection.
void merge_pairs(Program& p);

/// Merges the last instruction into the reduction when it is a product of two arrays only the
/// reduction reads: the products are reduced as they are made, and never stored.
void merge_product_into_reduction(Program& p);

/// Groups the code into runs of windowable instructions and finds, per run that writes the
/// program's results, the temporaries that live only within it: those go window by window.
void plan_runs(Program& p);

/// Marks the registers some instruction reads as an array, not by a step of 0: only those are
/// copied through a block when a worker fills its registers.
void mark_read_as_array(Program& p);

}  // namespace quorvex::expressions
