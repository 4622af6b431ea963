#include "host/exceptions.h"
#include "imaging/pel_histogram.h"
#include "pelfuncs/mask_runs.h"
#include "pelfuncs/masked_histogram.h"

namespace {

using Image = kcPelBuffer_const<unsigned short>;

// The region the pels are counted over, or null (histogram emptied) when
// the windows do not overlap.
kcPelRect overlapOrEmpty(const Image& image, const kcPelRect& other,
                         std::vector<unsigned long>& histogram) {
  const kcPelRect region = image.window() & other;
  if (region.isNull()) histogram.clear();
  return region;
}

unsigned long finish(kcWideLevelCounter& counter, int bits, std::vector<unsigned long>& histogram) {
  histogram.assign(std::size_t{1} << bits, 0);
  return counter.addTo(histogram);
}

}  // namespace

unsigned long kf_MaskedPelHistogram(const Image& image, int bits,
                                    const kcPelBuffer_const<unsigned char>& mask,
                                    std::vector<unsigned long>& histogram) {
  if (!image.isBound()) throw kcPel::UnboundWindow();
  if (!mask.isBound()) return kfPelHistogram(image, bits, histogram);
  const kcPelRect region = overlapOrEmpty(image, mask.window(), histogram);
  if (region.isNull()) return 0;
  kcWideLevelCounter counter(bits);
  for (long y = region.y(); y < region.bottom(); ++y)
    counter.addMaskedRow(image.pointToPel(region.x(), y), mask.pointToPel(region.x(), y),
                         region.width());
  return finish(counter, bits, histogram);
}

unsigned long kf_MaskedPelHistogram(const Image& image, int bits, const kcMaskRuns& runs,
                                    std::vector<unsigned long>& histogram) {
  if (!image.isBound() || !runs.isBound()) throw kcPel::UnboundWindow();
  const kcPelRect region = overlapOrEmpty(image, runs.window(), histogram);
  if (region.isNull()) return 0;
  kcWideLevelCounter counter(bits);
  for (long y = region.y(); y < region.bottom(); ++y)
    runs.forEachRun(y, region.x(), region.right(),
                    [&](long x, long n) { counter.addRow(image.pointToPel(x, y), n); });
  return finish(counter, bits, histogram);
}
