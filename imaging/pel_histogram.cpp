#include "imaging/pel_histogram.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr int kTables = 8;
// 32-bit counters keep the tables in half the cache lines; they are added
// into the 64-bit histogram before any could wrap.
using Tables = std::uint32_t[kTables][256];
constexpr long kFlushAfterPels = 1L << 31;

// Eight pels per load, counted into eight tables so that runs of equal pels
// do not serialize on one counter.
void histogramRow(const unsigned char* s, long n, Tables& t) {
  long i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, s + i, sizeof w);
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) ++t[k][(w >> (8 * k)) & 0xFF];
  }
  for (; i < n; ++i) ++t[0][s[i]];
}

void flush(Tables& t, std::vector<unsigned long>& histogram) {
  for (int g = 0; g < 256; ++g)
    for (int k = 0; k < kTables; ++k) histogram[static_cast<std::size_t>(g)] += t[k][g];
  std::memset(t, 0, sizeof t);
}

}  // namespace

void kfPelHistogram(const kcPelBuffer_const<unsigned char>& src,
                    std::vector<unsigned long>& histogram) {
  src.requireBound();
  histogram.assign(256, 0);
  Tables tables = {};
  // A window without pels has no rows worth visiting, however tall it is.
  const long bottom = src.width() > 0 ? src.window().bottom() : src.window().y();
  long pending = 0;
  for (long y = src.window().y(); y < bottom; ++y) {
    if (pending + src.width() > kFlushAfterPels) {
      flush(tables, histogram);
      pending = 0;
    }
    histogramRow(src.pointToPel(src.window().x(), y), src.width(), tables);
    pending += src.width();
  }
  flush(tables, histogram);
}
