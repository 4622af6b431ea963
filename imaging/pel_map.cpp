#include "imaging/pel_map.h"

#include "host/assert.h"
#include "imaging/row_walk.h"

namespace {

void mapRow(unsigned char* d, const unsigned char* s, long n, const unsigned char* map) {
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
  kfForEachRowPair(
      dst, source, source.window() & dst.window(),
      [table](unsigned char* d, const unsigned char* s, long n) { mapRow(d, s, n, table); });
}
