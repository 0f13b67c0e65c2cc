// One worker's registers: a block of each, and a window of each for the runs that go window by
// window, in memory the worker's thread keeps between evaluations.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "instructions.hpp"
#include "program.hpp"

namespace quorvex::expressions {

/// An instruction of a run that goes window by window, its operands placed for one chunk:
/// where each starts, how far it moves from one window to the next, and the step its loop takes.
struct Placed {
  const Instruction* ins;
  char* at[max_windowed_operands];
  npy_intp move[max_windowed_operands], step[max_windowed_operands];
};

class RegisterBlocks {
 public:
  RegisterBlocks() = default;
  RegisterBlocks(const RegisterBlocks&) = delete;
  RegisterBlocks& operator=(const RegisterBlocks&) = delete;
  ~RegisterBlocks();

  /// Lays out a block of `block` elements for each register of `p`, and a window of each, the
  /// constants filled in; nullptr without the memory.
  char* const* prepare(const Program& p, npy_intp block);
  /// Gives the memory back, until the next prepare().
  void release();

  char* own(std::size_t i) const { return own_[i]; }
  /// Where each register's block is now: its own, or an operand's array it reads in place.
  char** base() { return base_.data(); }
  char* const* windows() const { return window_.data(); }
  std::vector<Placed>& placed() { return placed_; }

 private:
  char* memory_ = nullptr;
  std::size_t capacity_ = 0;
  std::vector<char*> own_, base_, window_;
  std::vector<Placed> placed_;
};

/// A thread's register blocks: its own, kept between evaluations, unless an evaluation of this
/// thread is using them (a signal handler evaluates between the blocks of another): then
/// blocks for this evaluation alone.
class BlocksLease {
 public:
  BlocksLease();
  ~BlocksLease();
  BlocksLease(const BlocksLease&) = delete;
  BlocksLease& operator=(const BlocksLease&) = delete;

  RegisterBlocks& get();

  /// A pool thread that waits for work gives back the memory its last evaluation kept.
  static void release_idle();

 private:
  std::unique_ptr<RegisterBlocks> own_;
};

/// Copies a register's first element through its block.
void fill_block(char* at, const Register& r, npy_intp block);

}  // namespace quorvex::expressions
