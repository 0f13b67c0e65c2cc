// The work of one worker: its registers filled, then block after block, instruction after
// instruction, runs of windowable ones window by window.
#include "evaluation.hpp"

#include <mkl_service.h>
#include <mkl_vml_functions.h>
#include <immintrin.h>

#include <algorithm>
#include <cfenv>
#include <cstring>
#include <utility>

#include "block_size.hpp"
#include "register_blocks.hpp"
#include "streamed_stores.hpp"

namespace quorvex::expressions {
namespace {

/// The flags a worker's instructions raised before a loop that may clear them, on this
/// thread; WorkerState hands them to the evaluation.
thread_local int collected_flags = 0;

/// Before a ufunc's loop, which may clear the floating-point flags: keeps those raised so far.
inline void collect_flags() { collected_flags |= raised_flags(); }

/// What a worker sets for the evaluation and puts back after it: MKL computing on this thread
/// alone, the caller's VML mode (MKL keeps it per thread), and clear floating-point flags,
/// which it hands to the evaluation at the end, with those collected before loops.
class WorkerState {
 public:
  WorkerState(Evaluation& e, bool helper) : e_(e), helper_(helper) {
    threads_ = mkl_set_num_threads_local(1);
    if (helper_) mode_ = vmlSetMode(e.vml_mode);
    outer_flags_ = std::exchange(collected_flags, 0);
    std::feclearexcept(FE_ALL_EXCEPT);
  }
  ~WorkerState() {
    e_.errors.add_flags(collected_flags | raised_flags());
    collected_flags = outer_flags_;
    std::feclearexcept(FE_ALL_EXCEPT);
    if (helper_) vmlSetMode(mode_);
    mkl_set_num_threads_local(threads_);
  }
  WorkerState(const WorkerState&) = delete;
  WorkerState& operator=(const WorkerState&) = delete;

 private:
  Evaluation& e_;
  bool helper_;
  int threads_ = 0, outer_flags_ = 0;
  unsigned mode_ = 0;
};

/// One instruction on n elements of its registers.
void run_instruction(Evaluation& e, const Instruction& ins, char* const* base, npy_intp n) {
  const Program& p = *e.program;
  char* args[NPY_MAXARGS];
  npy_intp strides[NPY_MAXARGS];
  for (int i = 0; i < ins.count; ++i) {
    const auto r = static_cast<std::size_t>(ins.operands[i]);
    strides[i] = ins.step0[i] ? 0 : p.registers[r].size;
    args[i] = base[r];
  }
  if (ins.loop != nullptr) {
    collect_flags();
    npy_intp count = n;
    ins.loop(args, &count, strides, ins.data);
  } else if (!ins.native(args, n)) {
    e.errors.fail(Failure::negative_power);
  }
}

void run_windows(Evaluation& e, RegisterBlocks& s, std::size_t begin, npy_intp n) {
  const Program& p = *e.program;
  char* const* base = s.base();
  char* const* windows = s.windows();
  std::vector<Placed>& placed = s.placed();
  placed.clear();
  for (std::size_t k = begin; k < p.code[begin].run_end; ++k) {
    const Instruction& ins = p.code[k];
    Placed& q = placed.emplace_back();
    q.ins = &ins;
    for (int i = 0; i < ins.count; ++i) {
      const auto r = static_cast<std::size_t>(ins.operands[i]);
      q.step[i] = ins.step0[i] ? 0 : p.registers[r].size;
      const bool in_window = ins.in_window[i] || (ins.output[i] && e.stream_outputs);
      q.at[i] = in_window ? windows[r] : base[r];
      q.move[i] = in_window ? 0 : q.step[i];
    }
  }
  // Only NumPy's loops and the engine's run by windows: they raise flags in MXCSR alone, which
  // is cheaper to read than both units. The x87 unit's flags, of MKL's loops before, first.
  collect_flags();
  unsigned mxcsr_flags = 0;
  for (npy_intp w = 0; w < n; w += window_elements) {
    npy_intp m = std::min(window_elements, n - w);
    for (const Placed& q : placed) {
      char* args[max_windowed_operands];
      for (int i = 0; i < q.ins->count; ++i) args[i] = q.at[i] + w * q.move[i];
      if (q.ins->loop != nullptr) {
        mxcsr_flags |= _mm_getcsr();
        q.ins->loop(args, &m, q.step, q.ins->data);
      } else if (!q.ins->native(args, m)) {
        e.errors.fail(Failure::negative_power);
      }
    }
    if (!e.stream_outputs) continue;
    for (const Placed& q : placed)
      for (int i = 0; i < q.ins->count; ++i) {
        if (!q.ins->output[i]) continue;
        const auto r = static_cast<std::size_t>(q.ins->operands[i]);
        const npy_intp size = p.registers[r].size;
        stream_store(base[r] + w * size, windows[r], static_cast<std::size_t>(m * size));
      }
  }
  // MXCSR's status bits are the FE_ flags' (glibc's x86 <fenv.h> uses the same bits for both).
  collected_flags |= static_cast<int>(mxcsr_flags & FE_ALL_EXCEPT);
}

/// Runs the program's code on n elements of the registers at `s.base()`. A run of windowable
/// instructions that writes the results goes window by window: what each writes is still in
/// L1 when the next reads it, and the run reads and writes its arrays in one pass, as one
/// loop would.
void execute(Evaluation& e, RegisterBlocks& s, npy_intp n) {
  const std::vector<Instruction>& code = e.program->code;
  for (std::size_t i = 0; i < code.size();) {
    // One instruction goes by windows only to stream its results past the caches.
    if (code[i].by_windows && (code[i].run_end - i > 1 || e.stream_outputs)) {
      run_windows(e, s, i, n);
      i = code[i].run_end;
    } else {
      run_instruction(e, code[i], s.base(), n);
      ++i;
    }
  }
}

/// The scalars and what the prologue computes from them, in every element of their registers.
void run_prologue(Evaluation& e, RegisterBlocks& s, npy_intp block) {
  const Program& p = *e.program;
  for (std::size_t j = 0; j < p.scalars.size(); ++j) {
    const auto r = static_cast<std::size_t>(p.scalars[j]);
    std::memcpy(s.own(r), e.scalars[j], static_cast<std::size_t>(p.registers[r].size));
  }
  for (const Instruction& ins : p.prologue) run_instruction(e, ins, s.base(), 1);
  for (int index : p.filled) {
    const Register& r = p.registers[static_cast<std::size_t>(index)];
    if (r.read_as_array) fill_block(s.own(static_cast<std::size_t>(index)), r, block);
  }
}

/// One chunk of at most a block: external operands in place where contiguous, else gathered
/// into (and results scattered from) the worker's own registers. A reduced register's results
/// go into the partials of block `block`; `at` is the chunk's first element in the iteration.
void run_chunk(Evaluation& e, RegisterBlocks& s, char* const* data, const npy_intp* steps,
               npy_intp n, npy_intp block, npy_intp at) {
  const Program& p = *e.program;
  char** base = s.base();
  const std::size_t nin = p.inputs.size(), nout = p.outputs.size();
  for (std::size_t j = 0; j < nin + nout; ++j) {
    const std::size_t r = static_cast<std::size_t>(j < nin ? p.inputs[j] : p.outputs[j - nin]);
    const npy_intp size = p.registers[r].size;
    if (steps[j] == size || n == 1) {
      base[r] = data[j];
    } else {
      base[r] = s.own(r);
      if (j < nin)
        for (npy_intp k = 0; k < n; ++k)
          std::memcpy(base[r] + k * size, data[j] + k * steps[j], static_cast<std::size_t>(size));
    }
  }
  execute(e, s, n);
  if (p.reduced >= 0) {
    const Register& r = p.registers[static_cast<std::size_t>(p.reduced)];
    const bool product = p.factors[0] >= 0;
    const char* x = base[product ? p.factors[0] : p.reduced];
    const char* y = product ? base[p.factors[1]] : nullptr;
    accumulate(p.reduction, r.type, {x, y}, n, at, block, e.groups, e.partials.data());
  }
  for (std::size_t j = nin; j < nin + nout; ++j) {
    const std::size_t r = static_cast<std::size_t>(p.outputs[j - nin]);
    const npy_intp size = p.registers[r].size;
    if (base[r] != data[j])
      for (npy_intp k = 0; k < n; ++k)
        std::memcpy(data[j] + k * steps[j], base[r] + k * size, static_cast<std::size_t>(size));
  }
}

/// The blocks a worker claims next, [first, end): a share of those left, so that the first
/// claims are long runs of consecutive blocks, which each worker reads as one stream from
/// memory, and the last are single blocks, which let the workers finish together.
class Claims {
 public:
  explicit Claims(Evaluation& e) : e_(e) {}

  /// The next block of this worker's run, or of a new claim; e.blocks when none is left.
  npy_intp next() {
    if (first_ < end_) return first_++;
    npy_intp first = e_.next.load(std::memory_order_relaxed), count = 0;
    do {
      if (first >= e_.blocks) return e_.blocks;
      count = std::max<npy_intp>((e_.blocks - first) / (2 * e_.workers), 1);
    } while (!e_.next.compare_exchange_weak(first, first + count, std::memory_order_relaxed));
    first_ = first + 1;
    end_ = first + count;
    return first;
  }

 private:
  Evaluation& e_;
  npy_intp first_ = 0, end_ = 0;
};

/// Worker `worker`'s share of the blocks: those it claims, until none is left or the
/// evaluation stops.
void run_blocks(Evaluation& e, RegisterBlocks& s, int worker) {
  SignalCheck signals(worker == 0 ? e.caller : nullptr);
  const npy_intp block = std::min(e.block, std::max<npy_intp>(e.size, 1));
  const std::size_t operands = e.data.size();
  std::vector<char*> at(operands);
  Claims claims(e);
  const auto claim = [&] {
    signals.between_blocks(e.errors);
    return e.errors.stopped() ? e.blocks : claims.next();
  };
  if (e.direct) {
    for (npy_intp k; (k = claim()) < e.blocks;) {
      const npy_intp begin = k * e.block, n = std::min(e.block, e.size - begin);
      for (std::size_t j = 0; j < operands; ++j) at[j] = e.data[j] + begin * e.steps[j];
      run_chunk(e, s, at.data(), e.steps.data(), n, k, begin);
    }
    if (e.stream_outputs) _mm_sfence();  // the streamed stores, before the pool's release
    return;
  }
  char* message = nullptr;  // NumPy's iterator says what failed in a static string
  NpyIter* iterator = e.iterators[static_cast<std::size_t>(worker)];
  NpyIter_IterNextFunc* iternext = NpyIter_GetIterNext(iterator, &message);
  if (iternext == nullptr) return e.errors.fail(Failure::iterator, message);
  char** data = NpyIter_GetDataPtrArray(iterator);
  npy_intp* strides = NpyIter_GetInnerStrideArray(iterator);
  npy_intp* inner = NpyIter_GetInnerLoopSizePtr(iterator);
  // Each block is one range of the iterator, whatever the thread count: the chunks, and so
  // MKL's calls, are the same for any number of threads.
  for (npy_intp k; (k = claim()) < e.blocks;) {
    const npy_intp begin = k * e.block, end = std::min(e.size, begin + e.block);
    if (NpyIter_ResetToIterIndexRange(iterator, begin, end, &message) != NPY_SUCCEED)
      return e.errors.fail(Failure::iterator, message);
    npy_intp position = begin;
    do {
      for (npy_intp done = 0; done < *inner; done += block) {
        for (std::size_t j = 0; j < operands; ++j) at[j] = data[j] + done * strides[j];
        run_chunk(e, s, at.data(), strides, std::min(block, *inner - done), k, position + done);
      }
      position += *inner;
    } while (iternext(iterator));
  }
}

}  // namespace

/// A pool thread keeps a Python thread state where NumPy's loops run, so that an exception one
/// of them sets there reaches the caller.
void work(void* context, int worker) {
  Evaluation& e = *static_cast<Evaluation*>(context);
  const bool pool_thread = worker != 0 && e.program->calls_numpy_loops;
  if (pool_thread) pool_thread_state();
  {
    WorkerState state(e, worker != 0);
    BlocksLease lease;
    RegisterBlocks& s = lease.get();
    const npy_intp block = std::min(e.block, std::max<npy_intp>(e.size, 1));
    if (s.prepare(*e.program, block) == nullptr) {
      e.errors.fail(Failure::no_memory);
    } else {
      run_prologue(e, s, block);
      run_blocks(e, s, worker);
    }
  }
  if (pool_thread) hand_over_exception(e.errors);
}

}  // namespace quorvex::expressions
