// Out-of-line part of the scratch arena: only calls that convert a sequence get here.
#include "scratch_arena.hpp"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace quorvex {

struct ScratchArena::HeapBlock {
  HeapBlock* next;
  std::size_t padding;  // keeps the payload 16-byte aligned after the header
};

void* ScratchArena::allocate(std::size_t size) {
  static_assert(sizeof(HeapBlock) % alignment == 0,
                "The heap block header must keep the payload aligned.");
  // Every buffer is zeroed up to a whole multiple of the alignment: the backend may ask
  // for less than one element (1 byte for an empty list), and MKL still reads a whole
  // count from it, which must then be 0, not what an earlier call left in the frame.
  if (size > std::numeric_limits<std::size_t>::max() - sizeof(HeapBlock) - alignment)
    return nullptr;
  const std::size_t rounded = (size + alignment - 1) & ~(alignment - 1);
  if (rounded <= inline_capacity - inline_used_) {
    void* buffer = inline_storage_ + inline_used_;
    inline_used_ += rounded;
    std::memset(buffer, 0, rounded);
    return buffer;
  }
  // calloc hands out 16-byte-aligned, zeroed memory, and fresh pages for large sizes.
  auto* block = static_cast<HeapBlock*>(std::calloc(1, sizeof(HeapBlock) + rounded));
  if (block == nullptr) return nullptr;
  block->next = heap_blocks_;
  heap_blocks_ = block;
  return block + 1;
}

void ScratchArena::release_heap_blocks() noexcept {
  while (heap_blocks_ != nullptr) {
    HeapBlock* next = heap_blocks_->next;
    std::free(heap_blocks_);
    heap_blocks_ = next;
  }
}

}  // namespace quorvex
