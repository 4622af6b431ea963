#include "imaging/pel_histogram.h"

#include <cstring>

namespace {

constexpr long kFlushAfterPels = 1L << 31;

}  // namespace

// Eight pels per load, one table each.
void kcLevelCounter::addRow(const unsigned char* s, long n) {
  if (pending_ + n > kFlushAfterPels) flush();
  pending_ += n;
  long i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, s + i, sizeof w);
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) ++tables_[k][(w >> (8 * k)) & 0xFF];
  }
  for (; i < n; ++i) ++tables_[0][s[i]];
}

void kcLevelCounter::flush() {
  for (int g = 0; g < 256; ++g)
    for (int k = 0; k < kTables; ++k) totals_[g] += tables_[k][g];
  std::memset(tables_, 0, sizeof tables_);
  pending_ = 0;
}

void kcLevelCounter::addTo(std::vector<unsigned long>& histogram) {
  flush();
  for (std::size_t g = 0; g < 256; ++g) histogram[g] += totals_[g];
}

void kfPelHistogram(const kcPelBuffer_const<unsigned char>& src,
                    std::vector<unsigned long>& histogram) {
  src.requireBound();
  kcLevelCounter counter;
  // A window without pels has no rows worth visiting, however tall it is.
  const long bottom = src.width() > 0 ? src.window().bottom() : src.window().y();
  for (long y = src.window().y(); y < bottom; ++y)
    counter.addRow(src.pointToPel(src.window().x(), y), src.width());
  histogram.assign(256, 0);
  counter.addTo(histogram);
}
