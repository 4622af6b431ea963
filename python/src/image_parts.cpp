#include "image_parts.h"

#include <array>

#include "imaging/histo_stats.h"
#include "imaging/pel_map.h"
#include "imgnorm/global_maps.h"
#include "imgnorm/linear_fit.h"
#include "imgnorm/local_correction.h"
#include "imgnorm/trained_data.h"
#include "pelfuncs/masked_copy_divide.h"
#include "pelfuncs/masked_histogram.h"

namespace imgnorm_py {

namespace {

using namespace kcImageNormalizerDefs;

constexpr std::size_t kLevels = 256;

// The checks of run, with its messages, for the methods these functions take.
void checkMethod(const kcImageNormalizer& tool, Method method, std::uint32_t allowed) {
  if (method & ~kKnownMethods) throw BadParams(L"Cannot specify an unknown normalization method.");
  if ((method & (method - 1)) != 0)
    throw BadParams(L"Cannot run with more than one normalization method.");
  if ((method & ~allowed) != 0 || method == 0)
    throw BadParams(L"This method cannot be run in parts this way.");
  if ((tool.trainedMethods() & method) != method)
    throw NotTrained(L"This tool was not trained for the specified  method.");
}

// part's window cut to what the tool covers.
Image coveredPart(const kcImageNormalizer& tool, const Image& part) {
  Image view = part;
  view.window(coveredWindow(tool, part.window()), false);
  return view;
}

Counts countLevels(const kcImageNormalizer& tool, const Image& view) {
  std::vector<unsigned long> histogram;
  kf_MaskedPelHistogram(view, tool.binaryMask(), histogram);
  Counts counts(kLevels, 0);
  for (std::size_t i = 0; i < histogram.size(); ++i) counts[i] = histogram[i];
  return counts;
}

Counts countPairs(const kcImageNormalizer& tool, const Image& view) {
  Counts counts(kLevels * kLevels, 0);
  const kcPelRect& r = view.window();
  const auto& reference = tool.referenceImage();
  const auto& mask = tool.binaryMask();
  for (long y = r.y(); y < r.bottom(); ++y) {
    const unsigned char* s = view.pointToPel(r.x(), y);
    const unsigned char* t = reference.pointToPel(r.x(), y);
    const unsigned char* m = mask.isBound() ? mask.pointToPel(r.x(), y) : nullptr;
    for (long x = 0; x < r.width(); ++x)
      if (!m || m[x]) ++counts[s[x] * kLevels + t[x]];
  }
  return counts;
}

std::vector<unsigned char> globalMap(const kcImageNormalizer& tool, Method method,
                                     const Counts& counts, std::wstring& message) {
  const std::vector<unsigned long> histogram(counts.begin(), counts.end());
  const kcHistoStats stats(histogram);
  std::vector<unsigned char> map;
  if (stats.nSamp() == 0)
    message = L"Cannot normalize since histogram is empty.";
  else if (method == eMatchHistogram)
    imgnorm::matchHistogram(tool.referenceHistogram(), histogram, map, message);
  else if (method == eMatchMeanAndStddev)
    imgnorm::matchMeanAndStddev(tool.referenceStats(), stats, map, message);
  else
    imgnorm::matchHistogramTails(tool.referenceStats(), stats,
                                 imgnorm::tailPercentages(tool.tailFractions()), map, message);
  return map;
}

// The run counts in 32 bits: the sums wrap as its do.
std::vector<unsigned char> linearFitMap(const kcImageNormalizer& tool, const Counts& counts) {
  // Without a mask each pel adds 1 to its joint cell; with one, its binary
  // mask value, 255.
  const std::uint32_t weight = tool.binaryMask().isBound() ? 255 : 1;
  imgnorm::JointCells cells{};
  std::vector<std::uint32_t> pairs(counts.size());
  for (std::size_t s = 0; s < kLevels; ++s) {
    for (std::size_t t = 0; t < kLevels; ++t) {
      const auto n = static_cast<std::uint32_t>(counts[s * kLevels + t]);
      pairs[s * kLevels + t] = n;
      cells[((t + 4) >> 3) * imgnorm::kJointBins + ((s + 4) >> 3)] += n * weight;
    }
  }
  const kcPelBuffer<unsigned char> band =
      imgnorm::dominantBand(imgnorm::logScaledJointHistogram(cells), tool.fitAngles());
  kcPair<double> gainOffset(0.0, 0.0);
  imgnorm::fitPairsInBand(pairs, band, gainOffset);
  return imgnorm::gainOffsetMap(gainOffset);
}

}  // namespace

kcPelRect coveredWindow(const kcImageNormalizer& tool, const kcPelRect& window) {
  if (!tool.referenceImage().isBound()) return {};
  kcPelRect region = window & tool.referenceImage().window();
  if (tool.maskImage().isBound()) region &= tool.maskImage().window();
  return region.isNull() ? kcPelRect() : region;
}

Counts countPart(const kcImageNormalizer& tool, const Image& part, Method method) {
  checkMethod(tool, method, kGlobalMethods | eLinearlyFitGrayValues);
  const Image view = coveredPart(tool, part);
  if (view.window().isNull())
    return Counts(method == eLinearlyFitGrayValues ? kLevels * kLevels : kLevels, 0);
  return method == eLinearlyFitGrayValues ? countPairs(tool, view) : countLevels(tool, view);
}

std::vector<unsigned char> mapOfCounts(const kcImageNormalizer& tool, Method method,
                                       const Counts& counts, std::wstring& message) {
  checkMethod(tool, method, kGlobalMethods | eLinearlyFitGrayValues);
  const std::size_t expected = method == eLinearlyFitGrayValues ? kLevels * kLevels : kLevels;
  if (counts.size() != expected)
    throw BadParams(L"The counts must have " + std::to_wstring(expected) + L" entries.");
  message.clear();
  return method == eLinearlyFitGrayValues ? linearFitMap(tool, counts)
                                          : globalMap(tool, method, counts, message);
}

WritableImage mapPart(const kcImageNormalizer& tool, const Image& part,
                      const std::vector<unsigned char>& map) {
  if (map.size() != kLevels) throw BadParams(L"A gray-level map has 256 entries.");
  const Image view = coveredPart(tool, part);
  if (view.window().isNull()) return {};
  WritableImage result = kfPelMap(view, map);
  if (tool.keepMaskedPixels() && tool.binaryMask().isBound())
    kf_MaskedPelCopy(view, tool.binaryMask(), result, true);
  return result;
}

std::optional<kcPair<long>> localMargin(const kcImageNormalizer& tool, Method method) {
  checkMethod(tool, method, eLocalCorrection | eLocalCorrectionEnhanced);
  if (imgnorm::usesSubsampling(tool.neighborhoodSize(), tool.granularity())) return std::nullopt;
  const kcPair<long> reduced =
      imgnorm::reducedNeighborhood(tool.neighborhoodSize(), tool.granularity());
  if (method == eLocalCorrectionEnhanced) {
    if (reduced.x() <= 1 && reduced.y() <= 1) return kcPair<long>(0, 0);
    // The median reaches k / 2 pels on one side, (k - 1) / 2 on the other.
    const kcPair<long> kernel = imgnorm::medianKernel(reduced);
    return kcPair<long>(kernel.x() / 2, kernel.y() / 2);
  }
  // A smoothing kernel of size k has 3 k + 1 taps (k is even here): it
  // reaches 3 k / 2 pels on each side, and so do the mask weights.
  const kcPair<long> kernel = imgnorm::smoothingKernelSize(reduced);
  return kcPair<long>(3 * kernel.x() / 2, 3 * kernel.y() / 2);
}

}  // namespace imgnorm_py
