#pragma once

#include <algorithm>
#include <cstdint>

#include "host/detail/cpu_dispatch.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

// Streamed stores: results written past the cache. They spare the read
// that an ordinary store makes of every line it fills, and they leave what
// the cache holds (such as a look-up table) in place.
namespace stream_stores {

// Results of this many bytes and more would not stay in the cache anyway.
constexpr long kStreamFromBytes = 1L << 23;

// How many of the first n bytes from d lie before its next multiple of
// alignment (a power of two).
inline long bytesToBoundary(const void* d, long n, long alignment) {
  const auto misalignment = reinterpret_cast<std::uintptr_t>(d) & (alignment - 1);
  return std::min(n, static_cast<long>((alignment - misalignment) & (alignment - 1)));
}

#if defined(__x86_64__)

// Copies count blocks of 32 bytes from from to to past the cache; to must
// lie on a multiple of 32 bytes, from may lie anywhere.
KC_TARGET_AVX2 inline void streamBlocksAvx2(void* to, const void* from, long count) {
  auto* d = static_cast<__m256i*>(to);
  const auto* s = static_cast<const __m256i*>(from);
  for (long k = 0; k < count; ++k) _mm256_stream_si256(d + k, _mm256_loadu_si256(s + k));
}

// Streamed stores are ordered with the stores that follow.
inline void finishStreaming() { _mm_sfence(); }

#else

inline void finishStreaming() {}

#endif

}  // namespace stream_stores
