#include "imaging/pel_min.h"

#include "imaging/detail/row_walk.h"

namespace {

void minRow(unsigned char* d, const unsigned char* a, const unsigned char* b, long n) {
  for (long i = 0; i < n; ++i) d[i] = a[i] < b[i] ? a[i] : b[i];
}

}  // namespace

kcPelBuffer<unsigned char> kfPelMin(const kcPelBuffer_const<unsigned char>& a,
                                    const kcPelBuffer_const<unsigned char>& b) {
  kcPelBuffer<unsigned char> dst;
  kfPelMin(a, b, dst);
  return dst;
}

void kfPelMin(const kcPelBuffer_const<unsigned char>& a, const kcPelBuffer_const<unsigned char>& b,
              kcPelBuffer<unsigned char>& dst) {
  a.requireBound();
  b.requireBound();
  kfAllocateIfUnbound(dst, a.window() & b.window(), a);
  const kcPelBuffer_const<unsigned char> first = kfUnaliasedSource(a, dst);
  const kcPelBuffer_const<unsigned char> second = kfUnaliasedSource(b, dst);
  const kcPelRect r = a.window() & b.window() & dst.window();
  for (long y = r.y(); y < r.bottom(); ++y)
    minRow(dst.pointToPel(r.x(), y), first.pointToPel(r.x(), y), second.pointToPel(r.x(), y),
           r.width());
}
