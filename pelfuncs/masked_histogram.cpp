#include "pelfuncs/masked_histogram.h"
#include "pelfuncs/detail/masked_pel_count.h"

#include <cstdint>
#include <cstring>

#include "host/assert.h"
#include "host/exceptions.h"
#include "imaging/pel_histogram.h"

namespace {

constexpr int kLevels = 256;
// Narrower regions are counted directly: the wide kernel's word tests and
// table merge pay off on long rows only.
constexpr long kWideFromWidth = 64;
// Independent tables, so that runs of equal gray levels do not serialize on
// one counter.
constexpr int kTables = 4;
using Tables = unsigned long[kTables][kLevels];

std::uint64_t load8(const unsigned char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// Adds 1 for a masked-in pel and 0 for a masked-out one: no branch on the
// mask, and masked-out pels do not pile onto one counter.
void countRowWide(const unsigned char* image, const unsigned char* mask, long width, Tables& t) {
  long x = 0;
  for (; x + 8 <= width; x += 8) {
    // Masks come in long runs; eight masked-out pels at once cost one test.
    if (load8(mask + x) == 0) continue;
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) t[k % kTables][image[x + k]] += mask[x + k] != 0;
  }
  for (; x < width; ++x) t[0][image[x]] += mask[x] != 0;
}

// The region's pels, counted under the mask. Both views cover the region.
void countRegion(const kcPelBuffer_const<unsigned char>& image,
                 const kcPelBuffer_const<unsigned char>& mask, unsigned long* histogram) {
  KC_ASSERT(image.isBound() && mask.isBound() && image.window() == mask.window());
  const auto count =
      image.width() < kWideFromWidth ? kfCountMaskedPelsNarrow : kfCountMaskedPelsWide;
  count(image.pointToOffset(), image.rowUpdate(), mask.pointToOffset(), mask.rowUpdate(),
        image.width(), image.height(), histogram);
}

}  // namespace

void kfCountMaskedPelsNarrow(const unsigned char* image, long imageStride,
                             const unsigned char* mask, long maskStride, long width, long height,
                             unsigned long* histogram) {
  for (long y = 0; y < height; ++y, image += imageStride, mask += maskStride) {
    for (long x = 0; x < width; ++x) histogram[image[x]] += mask[x] != 0;
  }
}

void kfCountMaskedPelsWide(const unsigned char* image, long imageStride, const unsigned char* mask,
                           long maskStride, long width, long height, unsigned long* histogram) {
  Tables t = {};
  for (long y = 0; y < height; ++y, image += imageStride, mask += maskStride)
    countRowWide(image, mask, width, t);
  for (int g = 0; g < kLevels; ++g) {
    for (int k = 0; k < kTables; ++k) histogram[g] += t[k][g];
  }
}

void kf_MaskedPelHistogram(const kcPelBuffer_const<unsigned char>& image,
                           const kcPelBuffer_const<unsigned char>& mask,
                           std::vector<unsigned long>& histogram) {
  if (!image.isBound()) throw kcPel::UnboundWindow();
  if (!mask.isBound()) {
    kfPelHistogram(image, histogram);
    return;
  }
  const kcPelRect region = image.window() & mask.window();
  if (region.isNull()) {
    histogram.clear();
    return;
  }
  kcPelBuffer_const<unsigned char> imageView = image;
  kcPelBuffer_const<unsigned char> maskView = mask;
  if (image.window() != mask.window()) {
    imageView.window(region, false);
    maskView.window(region, false);
  }
  histogram.assign(kLevels, 0);
  countRegion(imageView, maskView, histogram.data());
}
