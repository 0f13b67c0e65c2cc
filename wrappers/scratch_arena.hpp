// Zero-filled scratch buffers that live for one call: in the frame when small, on the heap beyond.
#pragma once

#include <cstddef>

namespace quorvex {

/// Hands out 16-byte-aligned, zero-filled buffers and frees them all when the
/// call that owns it returns, whichever path it returns by. Small requests come
/// from storage in the caller's frame; larger ones from the heap, never from
/// unbounded stack space, so a list of millions of elements is fine.
class ScratchArena {
 public:
  static constexpr std::size_t alignment = 16;
  static constexpr std::size_t inline_capacity = 512;

  ScratchArena() = default;
  ScratchArena(const ScratchArena&) = delete;
  ScratchArena& operator=(const ScratchArena&) = delete;
  ~ScratchArena() {
    if (heap_blocks_ != nullptr) release_heap_blocks();
  }

  /// A buffer of at least `size` bytes, zero-filled up to the next multiple of the
  /// alignment, or null if memory cannot be had.
  void* allocate(std::size_t size);

 private:
  struct HeapBlock;
  void release_heap_blocks() noexcept;

  HeapBlock* heap_blocks_ = nullptr;
  std::size_t inline_used_ = 0;
  alignas(alignment) unsigned char inline_storage_[inline_capacity];
};

}  // namespace quorvex
