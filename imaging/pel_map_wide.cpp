#include "host/assert.h"
#include "imaging/detail/row_walk.h"
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

template <class Level>
void mapWide(const kcPelBuffer_const<unsigned short>& src, const std::vector<Level>& map,
             kcPelBuffer<Level>& dst) {
  src.requireBound();
  KC_ASSERT(map.size() == 65536);
  kfAllocateIfUnbound(dst, src.window(), src);
  const kcPelBuffer_const<unsigned short> source = kfUnaliasedSource(src, dst);
  const Level* table = map.data();
  kfForEachRowPair(
      dst, source, source.window() & dst.window(),
      [table](Level* d, const unsigned short* s, long n) { mapRowWide(d, s, n, table); });
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
