// The calling thread's VML mode word put back bit for bit, and the FPU's flush-to-zero and
// denormals-are-zero bits with it, for vml.mode's blocks.
#pragma once

#include <elf.h>
#include <link.h>
#include <mkl_vml_functions.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include <immintrin.h>

namespace quorvex::ufuncs {

/// MXCSR's flush-to-zero (bit 15) and denormals-are-zero (bit 6) bits.
inline constexpr unsigned ftz_daz_bits = 0x8040;

inline unsigned ftz_daz() { return _mm_getcsr() & ftz_daz_bits; }

inline void set_ftz_daz(unsigned bits) {
  _mm_setcsr((_mm_getcsr() & ~ftz_daz_bits) | (bits & ftz_daz_bits));
}

/// The calling thread's block of the VML kernel library's thread-local storage; null where
/// the library has none or the thread has not touched it yet.
struct TlsBlock {
  char* data = nullptr;
  std::size_t size = 0;
};

inline TlsBlock kernel_tls_block() {
  TlsBlock block;
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* found) {
        if (std::string_view(info->dlpi_name).find("libmkl_vml_") == std::string_view::npos)
          return 0;
        auto* b = static_cast<TlsBlock*>(found);
        for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i)
          if (info->dlpi_phdr[i].p_type == PT_TLS) b->size = info->dlpi_phdr[i].p_memsz;
        b->data = static_cast<char*>(info->dlpi_tls_data);
        return 1;
      },
      &block);
  if (block.data == nullptr) block.size = 0;
  return block;
}

/// Makes the calling thread's mode word `word` exactly; says whether it is. vmlSetMode
/// changes only the fields a word sets, so a field that is zero in `word` but set in the
/// thread's word (the denormal field after FTZDAZ_ON or FTZDAZ_OFF: zero is FTZDAZ_CURRENT)
/// stays as it is, and no call of MKL's clears it. MKL keeps the word in a 64-bit
/// thread-local variable of its kernel library: the word vmlGetMode_64 returns is looked for
/// in the thread's block of it, and `word` written where that changes what vmlGetMode_64
/// returns (anywhere else the value is put back at once).
inline bool restore_mode(std::uint64_t word) {
  vmlSetMode_64(word);
  const std::uint64_t now = vmlGetMode_64();
  if (now == word) return true;
  const TlsBlock block = kernel_tls_block();
  for (std::size_t at = 0; at + sizeof now <= block.size; at += sizeof now) {
    std::uint64_t value;
    std::memcpy(&value, block.data + at, sizeof value);
    if (value != now) continue;
    std::memcpy(block.data + at, &word, sizeof word);
    if (vmlGetMode_64() == word) return true;
    std::memcpy(block.data + at, &value, sizeof value);
  }
  return false;
}

}  // namespace quorvex::ufuncs
