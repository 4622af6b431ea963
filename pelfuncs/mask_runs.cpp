#include "pelfuncs/mask_runs.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "host/exceptions.h"
#include "imaging/pel_histogram.h"
#include "pelfuncs/detail/run_prefetch.h"

namespace {

bool hasZeroByte(std::uint64_t w) {
  constexpr std::uint64_t kOnes = 0x0101010101010101, kHighs = 0x8080808080808080;
  return ((w - kOnes) & ~w & kHighs) != 0;
}

// A run's pels are in the cache just after it was found: reading them again
// for their lowest level costs little.
unsigned char lowestPel(const unsigned char* m, long n) {
  unsigned char lowest = 255;
  for (long x = 0; x < n; ++x) lowest = std::min(lowest, m[x]);
  return lowest;
}

}  // namespace

long kfMaskRunEnd(const unsigned char* m, long from, long n, bool set) {
  long x = from;
  for (std::uint64_t w; x + 8 <= n; x += 8) {
    std::memcpy(&w, m + x, 8);
    if (set ? hasZeroByte(w) : w != 0) break;
  }
  while (x < n && (m[x] != 0) == set) ++x;
  return x;
}

kcMaskRuns::kcMaskRuns(const kcPelBuffer_const<unsigned char>& mask) {
  // A window without pels may still declare 2^30 rows: a start per row
  // would cost what no pel of the mask does.
  if (!mask.isBound() || mask.window().isNull()) return;
  const kcPelRect& w = mask.window();
  // A run takes 16 bytes: beyond one per 64 pels, the mask itself is smaller.
  const auto most = static_cast<std::size_t>(w.width() * w.height() / 64);
  std::vector<std::size_t> starts{0};
  unsigned char lowestSet = 255;
  for (long y = w.y(); y < w.bottom(); ++y) {
    const unsigned char* m = mask.pointToPel(w.x(), y);
    for (long x = kfMaskRunEnd(m, 0, w.width(), false); x < w.width();) {
      const long end = kfMaskRunEnd(m, x, w.width(), true);
      if (runs_.size() == most) {
        runs_ = {};
        return;
      }
      runs_.emplace_back(w.x() + x, w.x() + end);
      lowestSet = std::min(lowestSet, lowestPel(m + x, end - x));
      x = kfMaskRunEnd(m, end, w.width(), false);
    }
    starts.push_back(runs_.size());
  }
  window_ = w;
  rowStarts_ = std::move(starts);
  setPelsAreFull_ = lowestSet == 255;
}

void kfPrefetchRunStarts(const kcMaskRuns& runs, const kcPelBuffer_const<unsigned char>& image,
                         long y, long x0, long x1) {
  constexpr long kBytes = 1024, kLine = 64;
  runs.forEachRun(y, x0, x1, [&](long x, long n) {
    const unsigned char* first = image.pointToPel(x, y);
    for (long offset = 0; offset < std::min(n, kBytes); offset += kLine) {
#if defined(__GNUC__)
      __builtin_prefetch(first + offset);
#endif
    }
  });
}

void kf_MaskedPelHistogram(const kcPelBuffer_const<unsigned char>& image, const kcMaskRuns& runs,
                           std::vector<unsigned long>& histogram) {
  if (!image.isBound() || !runs.isBound()) throw kcPel::UnboundWindow();
  const kcPelRect region = image.window() & runs.window();
  if (region.isNull()) {
    histogram.clear();
    return;
  }
  kcLevelCounter counter;
  for (long y = region.y(); y < region.bottom(); ++y) {
    if (y + 1 < region.bottom())
      kfPrefetchRunStarts(runs, image, y + 1, region.x(), region.right());
    runs.forEachRun(y, region.x(), region.right(),
                    [&](long x, long n) { counter.addRow(image.pointToPel(x, y), n); });
  }
  histogram.assign(256, 0);
  counter.addTo(histogram);
}
