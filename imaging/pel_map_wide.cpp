#include "host/assert.h"
#include "host/detail/cpu_dispatch.h"
#include "imaging/detail/row_walk.h"
#include "imaging/detail/stream_stores.h"
#include "imaging/pel_map.h"

namespace {

// Table lookups have no vector form worth its cost for 65536 entries:
// four independent loads in flight per step keep the load ports busy.
template <class Level>
void mapRowWide(Level* d, const unsigned short* s, long n, const Level* map) {
  long i = 0;
  for (; i + 4 <= n; i += 4) {
    const Level a = map[s[i]], b = map[s[i + 1]], c = map[s[i + 2]], e = map[s[i + 3]];
    d[i] = a;
    d[i + 1] = b;
    d[i + 2] = c;
    d[i + 3] = e;
  }
  for (; i < n; ++i) d[i] = map[s[i]];
}

using WideRowFn = void (*)(unsigned short*, const unsigned short*, long, const unsigned short*);

#if defined(__x86_64__)

// A block of results mapped into a buffer that stays in the first-level
// cache, then streamed to the image: the table of 128 KB lies in the
// second-level cache, where the lines of the results would otherwise
// displace it (and be read before they are written). 256 pels: 512 bytes,
// sixteen 32-byte blocks, small beside the 48 KB of that cache.
constexpr long kBlockPels = 256;

// One block, four loads in flight as in mapRowWide; no tail (GCC 12 warns
// falsely of the tail loop of mapRowWide inlined with a constant count).
[[gnu::always_inline]] inline void mapBlockWide(unsigned short* __restrict d,
                                                const unsigned short* __restrict s,
                                                const unsigned short* __restrict map) {
  static_assert(kBlockPels % 4 == 0);
  for (long i = 0; i < kBlockPels; i += 4) {
    const unsigned short a = map[s[i]], b = map[s[i + 1]], c = map[s[i + 2]], e = map[s[i + 3]];
    d[i] = a;
    d[i + 1] = b;
    d[i + 2] = c;
    d[i + 3] = e;
  }
}

KC_TARGET_AVX2 void mapRowWideStreamed(unsigned short* d, const unsigned short* s, long n,
                                       const unsigned short* map) {
  constexpr long kPelsPerStore = 32 / sizeof(unsigned short);
  // d's pels are 2-byte aligned, so whole pels reach its 32-byte boundary.
  long i = stream_stores::bytesToBoundary(d, n * 2, 32) / 2;
  mapRowWide(d, s, i, map);
  alignas(32) unsigned short block[kBlockPels];
  for (; i + kBlockPels <= n; i += kBlockPels) {
    mapBlockWide(block, s + i, map);
    stream_stores::streamBlocksAvx2(d + i, block, kBlockPels / kPelsPerStore);
  }
  mapRowWide(d + i, s + i, n - i, map);
}

WideRowFn pickWideRow(bool stream) {
  return stream ? kfPickKernel<WideRowFn>(mapRowWide<unsigned short>, mapRowWideStreamed)
                : mapRowWide<unsigned short>;
}

#else

WideRowFn pickWideRow(bool) { return mapRowWide<unsigned short>; }

#endif

template <class Level>
void mapWide(const kcPelBuffer_const<unsigned short>& src, const std::vector<Level>& map,
             kcPelBuffer<Level>& dst) {
  src.requireBound();
  KC_ASSERT(map.size() == 65536);
  kfAllocateIfUnbound(dst, src.window(), src);
  const kcPelBuffer_const<unsigned short> source = kfUnaliasedSource(src, dst);
  const Level* table = map.data();
  const kcPelRect region = source.window() & dst.window();
  if constexpr (sizeof(Level) == 2) {
    const bool stream = region.width() * region.height() * 2 >= stream_stores::kStreamFromBytes;
    const WideRowFn mapRow = pickWideRow(stream);
    kfForEachRowPair(
        dst, source, region,
        [table, mapRow](Level* d, const unsigned short* s, long n) { mapRow(d, s, n, table); });
    if (stream) stream_stores::finishStreaming();
  } else {
    kfForEachRowPair(dst, source, region, [table](Level* d, const unsigned short* s, long n) {
      mapRowWide(d, s, n, table);
    });
  }
}

template <class Level>
kcPelBuffer<Level> mapWide(const kcPelBuffer_const<unsigned short>& src,
                           const std::vector<Level>& map) {
  kcPelBuffer<Level> dst;
  mapWide(src, map, dst);
  return dst;
}

}  // namespace

kcPelBuffer<unsigned short> kfPelMap(const kcPelBuffer_const<unsigned short>& src,
                                     const std::vector<unsigned short>& map) {
  return mapWide(src, map);
}

kcPelBuffer<unsigned char> kfPelMap(const kcPelBuffer_const<unsigned short>& src,
                                    const std::vector<unsigned char>& map) {
  return mapWide(src, map);
}

void kfPelMap(const kcPelBuffer_const<unsigned short>& src, const std::vector<unsigned short>& map,
              kcPelBuffer<unsigned short>& dst) {
  mapWide(src, map, dst);
}
