#include "host/pel_ops.h"

#include <algorithm>
#include <cstring>

#include "host/assert.h"
#include "host/exceptions.h"

namespace {

void requireBound(const kc_PelBuffer& b) {
  if (!b.isBound()) throw kcPel::UnboundWindow();
}

template <class T>
const T* rowOf(const kcPelBuffer_const<T>& b, long y) {
  return b.pointToPel(b.window().x(), y);
}

template <class T>
T* rowOf(const kcPelBuffer<T>& b, long y) {
  return b.pointToPel(b.window().x(), y);
}

// Calls kernel(dstRow, srcRow, width) for each row of the common window of
// dst and src, from the bottom up when dst lies below src in shared storage,
// so that overlapping views of one buffer copy correctly.
template <class D, class S, class Kernel>
void forEachRowPair(const kcPelBuffer<D>& dst, const kcPelBuffer_const<S>& src, const kcPelRect& r,
                    Kernel&& kernel) {
  if (r.isNull()) return;
  const bool upwards = dst.root() == src.root() && r.y() < r.bottom() &&
                       static_cast<const void*>(dst.pointToPel(r.x(), r.y())) >
                           static_cast<const void*>(src.pointToPel(r.x(), r.y()));
  for (long i = 0; i < r.height(); ++i) {
    const long y = upwards ? r.bottom() - 1 - i : r.y() + i;
    kernel(dst.pointToPel(r.x(), y), src.pointToPel(r.x(), y), r.width());
  }
}

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

void minRow(unsigned char* d, const unsigned char* a, const unsigned char* b, long n) {
  for (long i = 0; i < n; ++i) d[i] = a[i] < b[i] ? a[i] : b[i];
}

// Counts into four interleaved tables so that runs of equal pels do not
// serialize on one counter.
void histogramRow(const unsigned char* s, long n, unsigned long (*h)[256]) {
  long i = 0;
  for (; i + 4 <= n; i += 4) {
    ++h[0][s[i]];
    ++h[1][s[i + 1]];
    ++h[2][s[i + 2]];
    ++h[3][s[i + 3]];
  }
  for (; i < n; ++i) ++h[0][s[i]];
}

}  // namespace

template <class T>
kcPelBuffer<T> kfPelCopy(const kcPelBuffer_const<T>& src) {
  requireBound(src);
  kcPelBuffer<T> dst;
  kfPelCopy(src, dst);
  return dst;
}

template <class T>
void kfPelCopy(const kcPelBuffer_const<T>& src, kcPelBuffer<T>& dst) {
  requireBound(src);
  if (!dst.isBound()) {
    dst = kcPelBuffer<T>(src.window(), 32);
    dst.copyXforms(src);
  }
  forEachRowPair(dst, src, src.window() & dst.window(), [](T* d, const T* s, long n) {
    std::memmove(d, s, static_cast<std::size_t>(n) * sizeof(T));
  });
}

kcPelBuffer<unsigned char> kfPelMap(const kcPelBuffer_const<unsigned char>& src,
                                    const std::vector<unsigned char>& map) {
  kcPelBuffer<unsigned char> dst;
  kfPelMap(src, map, dst);
  return dst;
}

void kfPelMap(const kcPelBuffer_const<unsigned char>& src, const std::vector<unsigned char>& map,
              kcPelBuffer<unsigned char>& dst) {
  requireBound(src);
  KC_ASSERT(map.size() == 256);
  if (!dst.isBound()) {
    dst = kcPelBuffer<unsigned char>(src.window(), 32);
    dst.copyXforms(src);
  }
  const unsigned char* table = map.data();
  forEachRowPair(
      dst, src, src.window() & dst.window(),
      [table](unsigned char* d, const unsigned char* s, long n) { mapRow(d, s, n, table); });
}

kcPelBuffer<unsigned char> kfPelMin(const kcPelBuffer_const<unsigned char>& a,
                                    const kcPelBuffer_const<unsigned char>& b) {
  kcPelBuffer<unsigned char> dst;
  kfPelMin(a, b, dst);
  return dst;
}

void kfPelMin(const kcPelBuffer_const<unsigned char>& a, const kcPelBuffer_const<unsigned char>& b,
              kcPelBuffer<unsigned char>& dst) {
  requireBound(a);
  requireBound(b);
  kcPelRect r = a.window() & b.window();
  if (!dst.isBound()) {
    dst = kcPelBuffer<unsigned char>(r, 32);
    dst.copyXforms(a);
  }
  r &= dst.window();
  for (long y = r.y(); y < r.bottom(); ++y)
    minRow(dst.pointToPel(r.x(), y), a.pointToPel(r.x(), y), b.pointToPel(r.x(), y), r.width());
}

unsigned long kfPelMax(const kcPelBuffer_const<unsigned long>& src) {
  requireBound(src);
  unsigned long m = 0;
  for (long y = src.window().y(); y < src.window().bottom(); ++y) {
    const unsigned long* row = rowOf(src, y);
    for (long x = 0; x < src.width(); ++x) m = std::max(m, row[x]);
  }
  return m;
}

template <class T>
void kfPelSet(const kcPelBuffer<T>& buffer, T value) {
  requireBound(buffer);
  for (long y = buffer.window().y(); y < buffer.window().bottom(); ++y)
    std::fill_n(rowOf(buffer, y), buffer.width(), value);
}

void kfPelHistogram(const kcPelBuffer_const<unsigned char>& src,
                    std::vector<unsigned long>& histogram) {
  requireBound(src);
  unsigned long tables[4][256] = {};
  // A window without pels has no rows worth visiting, however tall it is.
  const long bottom = src.width() > 0 ? src.window().bottom() : src.window().y();
  for (long y = src.window().y(); y < bottom; ++y)
    histogramRow(rowOf(src, y), src.width(), tables);
  histogram.assign(256, 0);
  for (int g = 0; g < 256; ++g)
    histogram[g] = tables[0][g] + tables[1][g] + tables[2][g] + tables[3][g];
}

template <class A, class B>
bool kfPelEqual(const kcPelBuffer_const<A>& a, const kcPelBuffer_const<B>& b) {
  requireBound(a);
  requireBound(b);
  if (a.width() != b.width() || a.height() != b.height()) return false;
  for (long i = 0; i < a.height(); ++i) {
    const A* ra = rowOf(a, a.window().y() + i);
    const B* rb = rowOf(b, b.window().y() + i);
    if (!std::equal(ra, ra + a.width(), rb)) return false;
  }
  return true;
}

#define KC_INSTANTIATE_FOR(T)                                                           \
  template IMGNORM_API kcPelBuffer<T> kfPelCopy<T>(const kcPelBuffer_const<T>&);        \
  template IMGNORM_API void kfPelCopy<T>(const kcPelBuffer_const<T>&, kcPelBuffer<T>&); \
  template IMGNORM_API void kfPelSet<T>(const kcPelBuffer<T>&, T);                      \
  template IMGNORM_API bool kfPelEqual<T, T>(const kcPelBuffer_const<T>&,               \
                                             const kcPelBuffer_const<T>&);

KC_INSTANTIATE_FOR(unsigned char)
KC_INSTANTIATE_FOR(unsigned short)
KC_INSTANTIATE_FOR(unsigned long)
