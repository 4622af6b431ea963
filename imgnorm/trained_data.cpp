#include "imgnorm/detail/trained_data.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "host/assert.h"
#include "host/attention.h"
#include "host/str.h"
#include "imaging/gauss_sample.h"
#include "imaging/pel_copy.h"
#include "imaging/pel_map.h"
#include "pelfuncs/masked_histogram.h"
#include "pelfuncs/smooth_morph.h"

using namespace kcImageNormalizerDefs;

namespace imgnorm {

namespace {

// Whether every pel of a row is 0 or 255, the levels whose successor in
// eight bits is below 2. A maximum without an early exit vectorizes.
bool rowIsBinary(const unsigned char* row, long n) {
  unsigned char most = 0;
  for (long x = 0; x < n; ++x) most = std::max(most, static_cast<unsigned char>(row[x] + 1));
  return most <= 1;
}

bool isBinary(const kcPelBuffer_const<unsigned char>& mask) {
  const kcPelRect& w = mask.window();
  if (w.isNull()) return true;  // however many empty rows it declares
  for (long y = w.y(); y < w.bottom(); ++y)
    if (!rowIsBinary(mask.pointToPel(w.x(), y), w.width())) return false;
  return true;
}

// The mask as 0 and 255. A mask that holds only those levels already, as
// most do, is shared rather than copied: it is as large as the images. Its
// runs, when bound, have told that already (they are those of its binary
// form too).
kcPelBuffer_const<unsigned char> binaryMaskOf(const kcPelBuffer_const<unsigned char>& maskImage,
                                              const kcMaskRuns& runs) {
  if (runs.isBound() ? runs.setPelsAreFull() : isBinary(maskImage)) return maskImage;
  std::vector<unsigned char> map(256, 255);
  map[0] = 0;
  return kfPelMap(maskImage, map);
}

}  // namespace

kcPelBuffer<unsigned char> reduceBinaryMask(const kcPelBuffer_const<unsigned char>& binaryMask,
                                            const kcPair<long>& granularity) {
  kcPelBuffer<unsigned char> sampledMask = kfGaussSample<unsigned char>(
      binaryMask, kcGaussSampleParams(granularity, granularity - kcPair<long>(1, 1), 1.0));
  std::vector<unsigned char> map(256, 255);
  for (int g = 0; g < 128; ++g) map[g] = 0;
  kfPelMap(sampledMask, map, sampledMask);
  kcAttention::check();
  kfBinaryMorph3x3Diamond(kfPelCopy(sampledMask), true, sampledMask);
  kcAttention::check();
  return sampledMask;
}

bool isSubsampling(const kcPair<long>& g) { return g.x() > 1 || g.y() > 1; }

bool usesSubsampling(const kcPair<long>& n, const kcPair<long>& g) {
  return isSubsampling(g) && (n.x() > 1 || n.y() > 1);
}

kcPair<long> reducedNeighborhood(const kcPair<long>& n, const kcPair<long>& g) {
  KC_ASSERT(g.x() >= 1 && g.y() >= 1);
  return {(n.x() / g.x()) | 1, (n.y() / g.y()) | 1};
}

void makeFitAngles(std::vector<kcDegree>& table) {
  table.resize(63);
  std::size_t k = 0;
  for (int i = 1; i <= 32; ++i) table[k++] = kcDegree(kcRadian(std::atan2(i, 33.0)));
  for (int i = 31; i >= 1; --i) table[k++] = kcDegree(kcRadian(std::atan2(33.0, i)));
}

void countMaskedLevels(const kcPelBuffer_const<unsigned char>& image,
                       const kcPelBuffer_const<unsigned char>& binaryMask,
                       const kcMaskRuns& maskRuns, std::vector<unsigned long>& histogram) {
  if (maskRuns.isBound())
    kf_MaskedPelHistogram(image, maskRuns, histogram);
  else
    kf_MaskedPelHistogram(image, binaryMask, histogram);
}

void countMaskedLevels(const kcPelBuffer_const<unsigned short>& image, int bits,
                       const kcPelBuffer_const<unsigned char>& binaryMask,
                       const kcMaskRuns& maskRuns, std::vector<unsigned long>& histogram) {
  const unsigned long above = maskRuns.isBound()
                                  ? kf_MaskedPelHistogram(image, bits, maskRuns, histogram)
                                  : kf_MaskedPelHistogram(image, bits, binaryMask, histogram);
  if (above != 0)
    throw BadImage(L"The image has " + kfStr(static_cast<long>(above)) + L" pels above its " +
                   kfStr(static_cast<long>(bits)) + L" bits.");
}

std::vector<unsigned char> eightBitScale(int bits) {
  const std::uint32_t top = (std::uint32_t{1} << bits) - 1;
  std::vector<unsigned char> table(65536, 255);
  // Integer rounding of v * 255 / top, with no halves to break: top is odd
  // and 2 v 255 even, so 2 v 255 / top never ends in one half.
  for (std::uint32_t v = 0; v <= top; ++v)
    table[v] = static_cast<unsigned char>((v * 255 + top / 2) / top);
  return table;
}

void addWideReference(Method methods, const kcPelBuffer_const<unsigned short>& referenceImage,
                      int bits, kcTrainedData& data) {
  countMaskedLevels(referenceImage, bits, data.binaryMask, data.maskRuns, data.referenceHistogram);
  data.referenceStats = kcHistoStats(data.referenceHistogram);
  kcAttention::check();
  if (methods & eLinearlyFitGrayValues)
    data.fitReference = kfPelMap(referenceImage, eightBitScale(bits));
}

kcTrainedData trainedData(Method methods, const kcPelBuffer_const<unsigned char>& referenceImage,
                          const kcPelBuffer_const<unsigned char>& maskImage,
                          const kcPair<long>& neighborhoodSize, const kcPair<long>& granularity) {
  kcTrainedData out;
  kcAttention::check();
  out.maskRuns = kcMaskRuns(maskImage);
  if (maskImage.isBound()) out.binaryMask = binaryMaskOf(maskImage, out.maskRuns);
  kcAttention::check();

  if (out.binaryMask.isBound() && isSubsampling(granularity))
    out.sampledMask = reduceBinaryMask(out.binaryMask, granularity);

  if (out.binaryMask.isBound() && (methods & eLocalCorrection)) {
    // The weights must have the resolution of the data they divide, which is
    // reduced only when local correction subsamples.
    const kcPelBuffer_const<unsigned char> weightSource =
        usesSubsampling(neighborhoodSize, granularity) ? out.sampledMask : out.binaryMask;
    smoothToFixedPoint(weightSource, reducedNeighborhood(neighborhoodSize, granularity),
                       out.maskWeights);
    kcAttention::check();
  }

  if (referenceImage.isBound())
    countMaskedLevels(referenceImage, out.binaryMask, out.maskRuns, out.referenceHistogram);
  out.referenceStats = kcHistoStats(out.referenceHistogram);
  kcAttention::check();

  if (methods & eLinearlyFitGrayValues) makeFitAngles(out.fitAngles);
  return out;
}

}  // namespace imgnorm
