// One evaluation of a program: what its workers share, and the work each of them does.
#pragma once

#include <atomic>
#include <vector>

#include "errors.hpp"
#include "program.hpp"

namespace quorvex::expressions {

struct Evaluation {
  const Program* program;
  npy_intp size = 0, block = 0, blocks = 0;
  bool direct = false;
  // direct: the operands' data (inputs, then outputs) and their steps between elements
  std::vector<char*> data;
  std::vector<npy_intp> steps;
  // buffered: NumPy's iterator, one copy per worker
  std::vector<NpyIter*> iterators;
  std::vector<char*> scalars;  // the scalar inputs' values
  unsigned vml_mode = 0;
  bool stream_outputs = false;    // results in place in arrays larger than the last cache
  Grouping groups;                // of the reduced register's values, in iteration order
  std::vector<Partial> partials;  // of the reduced register, one per block and group
  int workers = 1;                // planned: claims are shares of the blocks left among them
  std::atomic<npy_intp> next{0};  // the first block no worker has claimed
  ErrorChannel errors;
  // The state the calling thread released the GIL from, if it is the main thread: it looks
  // for signals between its blocks.
  PyThreadState* caller = nullptr;
};

/// Worker `worker` of an evaluation (a Pool::Work): worker 0 is the calling thread, the others
/// the pool's. Each claims blocks until none is left or the evaluation stops.
void work(void* evaluation, int worker);

}  // namespace quorvex::expressions
