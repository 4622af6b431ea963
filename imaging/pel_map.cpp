#include "imaging/pel_map.h"

#include <algorithm>
#include <cstdint>

#include "host/assert.h"
#include "host/detail/cpu_dispatch.h"
#include "imaging/detail/row_walk.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

using MapRowFn = void (*)(unsigned char*, const unsigned char*, long, const unsigned char*);

// Results this large would not stay in the cache anyway: written past it,
// they spare the reads that ordinary stores make of every line they fill.
constexpr long kStreamFromPels = 1L << 23;

void mapRowPlain(unsigned char* d, const unsigned char* s, long n, const unsigned char* map) {
  long i = 0;
  for (; i + 4 <= n; i += 4) {
    const unsigned char a = map[s[i]], b = map[s[i + 1]], c = map[s[i + 2]], e = map[s[i + 3]];
    d[i] = a;
    d[i + 1] = b;
    d[i + 2] = c;
    d[i + 3] = e;
  }
  for (; i < n; ++i) d[i] = map[s[i]];
}

#if defined(__x86_64__)

// How many of d's first n bytes lie before its next multiple of alignment.
long bytesToBoundary(const unsigned char* d, long n, long alignment) {
  const auto misalignment = reinterpret_cast<std::uintptr_t>(d) & (alignment - 1);
  return std::min(n, static_cast<long>((alignment - misalignment) & (alignment - 1)));
}

// The table as sixteen 16-entry rows, one in each lane: a byte shuffle looks
// up the low nibble in all sixteen, and the high nibble's four bits then pick
// one of them in a tree of blends (a blend reads bit 7 of each byte, so the
// index is shifted to bring bits 4, 5 and 6 there).
KC_TARGET_AVX2 __m256i lookupAvx2(const __m256i* rows, __m256i index) {
  const __m256i low = _mm256_and_si256(index, _mm256_set1_epi8(0x0F));
  __m256i level[8];
  const __m256i bit4 = _mm256_slli_epi16(index, 3);
  for (int k = 0; k < 8; ++k)
    level[k] = _mm256_blendv_epi8(_mm256_shuffle_epi8(rows[2 * k], low),
                                  _mm256_shuffle_epi8(rows[2 * k + 1], low), bit4);
  const __m256i bit5 = _mm256_slli_epi16(index, 2);
  for (int k = 0; k < 4; ++k) level[k] = _mm256_blendv_epi8(level[2 * k], level[2 * k + 1], bit5);
  const __m256i bit6 = _mm256_slli_epi16(index, 1);
  for (int k = 0; k < 2; ++k) level[k] = _mm256_blendv_epi8(level[2 * k], level[2 * k + 1], bit6);
  return _mm256_blendv_epi8(level[0], level[1], index);
}

// kStream: whole 32-byte blocks of d are written past the cache.
template <bool kStream>
KC_TARGET_AVX2 void mapRowAvx2(unsigned char* d, const unsigned char* s, long n,
                               const unsigned char* map) {
  __m256i rows[16];
  for (int k = 0; k < 16; ++k)
    rows[k] = _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(map + 16 * k)));
  long i = 0;
  if constexpr (kStream) {
    i = bytesToBoundary(d, n, 32);
    mapRowPlain(d, s, i, map);
  }
  for (; i + 32 <= n; i += 32) {
    const __m256i index = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
    if constexpr (kStream)
      _mm256_stream_si256(reinterpret_cast<__m256i*>(d + i), lookupAvx2(rows, index));
    else
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + i), lookupAvx2(rows, index));
  }
  mapRowPlain(d + i, s + i, n - i, map);
}

// Two 128-entry halves, each looked up by a two-register byte permutation of
// the index's low seven bits; bit 7 picks the half.
struct TableAvx512 {
  __m512i q0, q1, q2, q3;
};

KC_TARGET_AVX512VBMI __m512i lookupAvx512(const TableAvx512& t, __m512i index) {
  const __m512i low = _mm512_permutex2var_epi8(t.q0, index, t.q1);
  const __m512i high = _mm512_permutex2var_epi8(t.q2, index, t.q3);
  return _mm512_mask_blend_epi8(_mm512_movepi8_mask(index), low, high);
}

// Fewer than 64 pels; the bytes past them are neither read nor written.
KC_TARGET_AVX512VBMI void mapFewAvx512(unsigned char* d, const unsigned char* s, long n,
                                       const TableAvx512& t) {
  if (n == 0) return;
  const __mmask64 few = ~0ULL >> (64 - n);
  _mm512_mask_storeu_epi8(d, few, lookupAvx512(t, _mm512_maskz_loadu_epi8(few, s)));
}

// kStream: whole 64-byte lines of d are written past the cache.
template <bool kStream>
KC_TARGET_AVX512VBMI void mapRowAvx512Vbmi(unsigned char* d, const unsigned char* s, long n,
                                           const unsigned char* map) {
  const TableAvx512 t{_mm512_loadu_si512(map), _mm512_loadu_si512(map + 64),
                      _mm512_loadu_si512(map + 128), _mm512_loadu_si512(map + 192)};
  long i = 0;
  if constexpr (kStream) {
    i = bytesToBoundary(d, n, 64);
    mapFewAvx512(d, s, i, t);
  }
  for (; i + 64 <= n; i += 64) {
    const __m512i mapped = lookupAvx512(t, _mm512_loadu_si512(s + i));
    if constexpr (kStream)
      _mm512_stream_si512(reinterpret_cast<__m512i*>(d + i), mapped);
    else
      _mm512_storeu_si512(d + i, mapped);
  }
  mapFewAvx512(d + i, s + i, n - i, t);
}

MapRowFn pickMapRow(bool stream) {
  return stream ? kfPickKernel<MapRowFn>(mapRowPlain, mapRowAvx2<true>, mapRowAvx512Vbmi<true>)
                : kfPickKernel<MapRowFn>(mapRowPlain, mapRowAvx2<false>, mapRowAvx512Vbmi<false>);
}

// Streamed stores are ordered with the ones that follow.
void finishStreaming() { _mm_sfence(); }

#else

MapRowFn pickMapRow(bool) { return mapRowPlain; }

void finishStreaming() {}

#endif

}  // namespace

kcPelBuffer<unsigned char> kfPelMap(const kcPelBuffer_const<unsigned char>& src,
                                    const std::vector<unsigned char>& map) {
  kcPelBuffer<unsigned char> dst;
  kfPelMap(src, map, dst);
  return dst;
}

void kfPelMap(const kcPelBuffer_const<unsigned char>& src, const std::vector<unsigned char>& map,
              kcPelBuffer<unsigned char>& dst) {
  src.requireBound();
  KC_ASSERT(map.size() == 256);
  kfAllocateIfUnbound(dst, src.window(), src);
  const kcPelBuffer_const<unsigned char> source = kfUnaliasedSource(src, dst);
  const unsigned char* table = map.data();
  const kcPelRect region = source.window() & dst.window();
  const bool stream = region.width() * region.height() >= kStreamFromPels;
  const MapRowFn mapRow = pickMapRow(stream);
  kfForEachRowPair(dst, source, region,
                   [table, mapRow](unsigned char* d, const unsigned char* s, long n) {
                     mapRow(d, s, n, table);
                   });
  if (stream) finishStreaming();
}
