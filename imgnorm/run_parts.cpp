#include "imgnorm/run_parts.h"

#include "imaging/histo_stats.h"
#include "imaging/pel_map.h"
#include "imgnorm/detail/linear_fit.h"
#include "imgnorm/detail/local_correction.h"
#include "imgnorm/detail/map_builders.h"
#include "imgnorm/detail/method_checks.h"
#include "imgnorm/detail/trained_data.h"
#include "pelfuncs/masked_copy_divide.h"
#include "pelfuncs/masked_histogram.h"

namespace imgnorm {

namespace {

using namespace kcImageNormalizerDefs;

constexpr std::size_t kLevels = 256;

// The checks of run, with its messages, for the methods these functions take.
void checkMethod(const kcImageNormalizer& tool, Method method, bool local) {
  checkOneMethod(method);
  if (method == eIdentity || isLocal(method) != local)
    throw BadParams(L"This method cannot be run in parts this way.");
  checkTrained(tool.trainedMethods(), method);
  checkDepth(tool, false);
}

// part's window cut to what the tool covers.
kcPelBuffer_const<unsigned char> coveredPart(const kcImageNormalizer& tool,
                                             const kcPelBuffer_const<unsigned char>& part) {
  kcPelBuffer_const<unsigned char> view = part;
  view.window(coveredWindow(tool, part.window()), false);
  return view;
}

Counts countLevels(const kcImageNormalizer& tool, const kcPelBuffer_const<unsigned char>& view) {
  Counts counts;
  countMaskedLevels(view, tool.binaryMask(), tool.maskRuns(), counts);
  counts.resize(kLevels, 0);  // an empty region counts nothing
  return counts;
}

Counts countToolPairs(const kcImageNormalizer& tool, const kcPelBuffer_const<unsigned char>& view) {
  return countPairs(view, tool.referenceImage(), tool.binaryMask(), tool.maskRuns());
}

}  // namespace

kcPelRect coveredWindow(const kcImageNormalizer& tool, const kcPelRect& window) {
  kcPelRect region = window & tool.referenceWindow();
  if (tool.maskImage().isBound()) region &= tool.maskImage().window();
  return region.isNull() ? kcPelRect() : region;
}

Counts countPart(const kcImageNormalizer& tool, const kcPelBuffer_const<unsigned char>& part,
                 Method method) {
  checkMethod(tool, method, false);
  const kcPelBuffer_const<unsigned char> view = coveredPart(tool, part);
  if (view.window().isNull())
    return Counts(method == eLinearlyFitGrayValues ? kLevels * kLevels : kLevels, 0);
  return method == eLinearlyFitGrayValues ? countToolPairs(tool, view) : countLevels(tool, view);
}

std::vector<unsigned char> mapOfCounts(const kcImageNormalizer& tool, Method method,
                                       const Counts& counts, std::wstring& message,
                                       const IndexLoop& loop) {
  checkMethod(tool, method, false);
  const std::size_t expected = method == eLinearlyFitGrayValues ? kLevels * kLevels : kLevels;
  if (counts.size() != expected)
    throw BadParams(L"The counts must have " + std::to_wstring(expected) + L" entries.");
  kcNormalizationExplanation e = explanationOfCounts(tool, method, counts, kcPelRect(), loop);
  message = e.message;
  return std::move(e.map);
}

std::vector<unsigned char> mapOfWholeImage(const kcImageNormalizer& tool, Method method,
                                           const Counts& histogram, std::wstring& message) {
  checkMethod(tool, method, false);
  if (tool.maskImage().isBound())
    throw BadParams(L"Only a tool without a mask maps whole images of any size.");
  if (histogram.size() != kLevels) throw BadParams(L"A histogram has 256 entries.");
  const std::vector<unsigned long> levels(histogram.begin(), histogram.end());
  kcNormalizationExplanation e;
  e.method = method;
  buildWholeImageMap(tool, levels, e);
  message = e.success ? std::wstring() : e.message;
  return e.map;
}

kcPelBuffer<unsigned char> mapPart(const kcImageNormalizer& tool,
                                   const kcPelBuffer_const<unsigned char>& part,
                                   const std::vector<unsigned char>& map) {
  kcPelBuffer<unsigned char> result;
  mapPartInto(tool, part, map, result);
  return result;
}

void mapPartInto(const kcImageNormalizer& tool, const kcPelBuffer_const<unsigned char>& part,
                 const std::vector<unsigned char>& map, kcPelBuffer<unsigned char>& destination) {
  if (map.size() != kLevels) throw BadParams(L"A gray-level map has 256 entries.");
  const kcPelBuffer_const<unsigned char> view = coveredPart(tool, part);
  if (view.window().isNull()) return;
  kfPelMap(view, map, destination);
  if (tool.keepMaskedPixels() && tool.binaryMask().isBound())
    kf_MaskedPelCopy(view, tool.binaryMask(), destination, true);
}

std::optional<kcPair<long>> localMargin(const kcImageNormalizer& tool, Method method) {
  checkMethod(tool, method, true);
  if (usesSubsampling(tool.neighborhoodSize(), tool.granularity())) return std::nullopt;
  const kcPair<long> reduced = reducedNeighborhood(tool.neighborhoodSize(), tool.granularity());
  if (method == eLocalCorrectionEnhanced) {
    if (reduced.x() <= 1 && reduced.y() <= 1) return kcPair<long>(0, 0);
    // The median reaches k / 2 pels on one side, (k - 1) / 2 on the other.
    const kcPair<long> kernel = medianKernel(reduced);
    return kcPair<long>(kernel.x() / 2, kernel.y() / 2);
  }
  // A smoothing kernel of size k has 3 k + 1 taps (k is even here): it
  // reaches 3 k / 2 pels on each side, and so do the mask weights.
  const kcPair<long> kernel = smoothingKernelSize(reduced);
  return kcPair<long>(3 * kernel.x() / 2, 3 * kernel.y() / 2);
}

}  // namespace imgnorm
