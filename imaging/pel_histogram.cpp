#include "imaging/pel_histogram.h"

namespace {

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

void kfPelHistogram(const kcPelBuffer_const<unsigned char>& src,
                    std::vector<unsigned long>& histogram) {
  src.requireBound();
  unsigned long tables[4][256] = {};
  // A window without pels has no rows worth visiting, however tall it is.
  const long bottom = src.width() > 0 ? src.window().bottom() : src.window().y();
  for (long y = src.window().y(); y < bottom; ++y)
    histogramRow(src.pointToPel(src.window().x(), y), src.width(), tables);
  histogram.assign(256, 0);
  for (int g = 0; g < 256; ++g)
    histogram[static_cast<std::size_t>(g)] = tables[0][g] + tables[1][g] + tables[2][g] + tables[3][g];
}
