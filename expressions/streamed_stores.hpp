// Stores past the caches, for results larger than the last cache.
#pragma once

#include <cstddef>

namespace quorvex::expressions {

/// Copies to memory past the caches: a result larger than the last cache would only evict
/// what the program reads, and a plain store first reads each line it writes. Callers fence
/// (_mm_sfence) before others read what they stored.
void stream_store(char* to, const char* from, std::size_t bytes);

}  // namespace quorvex::expressions
