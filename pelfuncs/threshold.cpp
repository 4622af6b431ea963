#include "pelfuncs/threshold.h"

#include <algorithm>
#include <vector>

#include "host/exceptions.h"
#include "imaging/pel_histogram.h"
#include "imaging/pel_map.h"
#include "imaging/threshold_wgv.h"
#include "pelfuncs/detail/masked_region.h"

namespace {

constexpr unsigned char kOn = 255;
constexpr long kBlock = 16;

unsigned char thresholdPel(unsigned char src, unsigned char mask, unsigned char threshold) {
  return (mask != 0 && src >= threshold) ? kOn : 0;
}

// Fixed-size blocks let the compiler vectorize the compare and select.
void thresholdRow(unsigned char* dst, const unsigned char* src, const unsigned char* mask,
                  long width, unsigned char threshold) {
  long x = 0;
  for (; x + kBlock <= width; x += kBlock) {
    unsigned char out[kBlock];
    for (long k = 0; k < kBlock; ++k) out[k] = thresholdPel(src[x + k], mask[x + k], threshold);
    for (long k = 0; k < kBlock; ++k) dst[x + k] = out[k];
  }
  for (; x < width; ++x) dst[x] = thresholdPel(src[x], mask[x], threshold);
}

void thresholdRows(unsigned char* dst, long dstStride, const unsigned char* src, long srcStride,
                   const unsigned char* mask, long maskStride, long width, long height,
                   unsigned char threshold) {
  for (long y = 0; y < height; ++y, dst += dstStride, src += srcStride, mask += maskStride)
    thresholdRow(dst, src, mask, width, threshold);
}

}  // namespace

kcPelBuffer<unsigned char> kf_PelThreshold(const kcPelBuffer_const<unsigned char>& source,
                                           unsigned char threshold) {
  std::vector<unsigned char> map(256, kOn);
  std::fill_n(map.begin(), threshold, 0);
  return kfPelMap(source, map);
}

kcPelBuffer<unsigned char> kf_PelThreshold(const kcPelBuffer_const<unsigned char>& source) {
  std::vector<unsigned long> histogram;
  kfPelHistogram(source, histogram);
  kcThresholdResult result;
  kfThresholdWGV(histogram, result, 0, -1);
  return kf_PelThreshold(source, static_cast<unsigned char>(result.threshold()));
}

void kf_MaskedPelThreshold(const kcPelBuffer_const<unsigned char>& source,
                           const kcPelBuffer_const<unsigned char>& mask, unsigned char threshold,
                           kcPelBuffer<unsigned char>& destination) {
  if (!source.isBound()) throw kcPel::UnboundWindow();
  if (!mask.isBound()) {
    destination = kf_PelThreshold(source, threshold);
    return;
  }
  kcMaskedViews<unsigned char> v;
  if (!kfNarrowMaskedViews(source, mask, destination, v)) return;
  thresholdRows(v.destination.pointToOffset(), v.destination.rowUpdate(), v.source.pointToOffset(),
                v.source.rowUpdate(), v.mask.pointToOffset(), v.mask.rowUpdate(), v.source.width(),
                v.source.height(), threshold);
}
