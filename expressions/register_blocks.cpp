// The memory of one worker's registers, laid out per program, kept per thread.
#include "register_blocks.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "block_size.hpp"

namespace quorvex::expressions {
namespace {

/// Bytes between one register's block or window and the next beyond their own: five cache
/// lines, so that they do not start at the same address modulo 4 KiB, where loads from one
/// wait for stores to another.
constexpr npy_intp stagger = 5 * 64;

struct Slot {
  RegisterBlocks blocks;
  bool busy = false;
};

Slot& thread_slot() {
  static thread_local Slot slot;
  return slot;
}

}  // namespace

/// Doubling the copies: a block in log2(block) memcpy calls. Only registers read as arrays pay
/// it: the rest are read by step 0, and filling them all cost a Black-Scholes evaluation half
/// a MiB of copies.
void fill_block(char* at, const Register& r, npy_intp block) {
  const auto size = static_cast<std::size_t>(r.size);
  const auto total = size * static_cast<std::size_t>(block);
  for (std::size_t done = size; done < total; done *= 2)
    std::memcpy(at + done, at, std::min(done, total - done));
}

char* const* RegisterBlocks::prepare(const Program& p, npy_intp block) {
  const std::size_t bytes =
      static_cast<std::size_t>(p.bytes_per_element * (block + window_elements)) +
      static_cast<std::size_t>(2 * 64 + 2 * stagger) * p.registers.size();
  if (bytes > capacity_) {
    std::free(memory_);
    memory_ = static_cast<char*>(std::aligned_alloc(64, (bytes + 63) / 64 * 64));
    capacity_ = memory_ == nullptr ? 0 : bytes;
    if (memory_ == nullptr) return nullptr;
  }
  own_.resize(p.registers.size());
  base_.resize(p.registers.size());
  window_.resize(p.registers.size());
  char* at = memory_;
  for (std::size_t i = 0; i < p.registers.size(); ++i) {
    const Register& r = p.registers[i];
    own_[i] = base_[i] = at;
    if (r.role == Role::constant) {
      std::memcpy(at, r.value, static_cast<std::size_t>(r.size));
      if (r.read_as_array) fill_block(at, r, block);
    }
    at += (r.size * block + 63) / 64 * 64 + stagger;
  }
  for (std::size_t i = 0; i < p.registers.size(); ++i) {
    window_[i] = at;
    at += (p.registers[i].size * window_elements + 63) / 64 * 64 + stagger;
  }
  return base_.data();
}

void RegisterBlocks::release() {
  std::free(memory_);
  memory_ = nullptr;
  capacity_ = 0;
}

RegisterBlocks::~RegisterBlocks() { std::free(memory_); }

BlocksLease::BlocksLease() {
  Slot& slot = thread_slot();
  if (slot.busy)
    own_ = std::make_unique<RegisterBlocks>();
  else
    slot.busy = true;
}

BlocksLease::~BlocksLease() {
  if (own_ == nullptr) thread_slot().busy = false;
}

RegisterBlocks& BlocksLease::get() { return own_ != nullptr ? *own_ : thread_slot().blocks; }

void BlocksLease::release_idle() {
  Slot& slot = thread_slot();
  if (!slot.busy) slot.blocks.release();
}

}  // namespace quorvex::expressions
