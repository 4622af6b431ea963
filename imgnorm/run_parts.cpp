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

// The checks of run, with its messages, for the methods these functions take.
void checkMethod(const kcImageNormalizer& tool, Method method, bool local, bool wide) {
  checkOneMethod(method);
  if (method == eIdentity || isLocal(method) != local)
    throw BadParams(L"This method cannot be run in parts this way.");
  checkTrained(tool.trainedMethods(), method);
  checkDepth(tool, wide);
}

// part's window cut to what the tool covers.
template <class Pel>
kcPelBuffer_const<Pel> coveredPart(const kcImageNormalizer& tool,
                                   const kcPelBuffer_const<Pel>& part) {
  kcPelBuffer_const<Pel> view = part;
  view.window(coveredWindow(tool, part.window()), false);
  return view;
}

template <class Pel>
Counts countCovered(const kcImageNormalizer& tool, const kcPelBuffer_const<Pel>& part,
                    Method method) {
  checkMethod(tool, method, false, sizeof(Pel) == 2);
  const kcPelBuffer_const<Pel> view = coveredPart(tool, part);
  if (view.window().isNull()) return Counts(countsSize(tool, method), 0);
  return countsOf(tool, view, method);
}

kcNormalizationExplanation explainCountsOf(const kcImageNormalizer& tool, Method method,
                                           const Counts& counts, const kcPelRect& region,
                                           const IndexLoop& loop, bool wide) {
  checkMethod(tool, method, false, wide);
  const std::size_t expected = countsSize(tool, method);
  if (counts.size() != expected)
    throw BadParams(L"The counts must have " + std::to_wstring(expected) + L" entries.");
  return explanationOfCounts(tool, method, counts, region, loop);
}

kcNormalizationExplanation explainWholeImageOf(const kcImageNormalizer& tool, Method method,
                                               const Counts& histogram, bool wide) {
  checkMethod(tool, method, false, wide);
  if (tool.maskImage().isBound())
    throw BadParams(L"Only a tool without a mask maps whole images of any size.");
  const std::size_t levels = std::size_t{1} << tool.bits();
  if (histogram.size() != levels)
    throw BadParams(L"A histogram has " + std::to_wstring(levels) + L" entries.");
  const std::vector<unsigned long> counts(histogram.begin(), histogram.end());
  kcNormalizationExplanation e;
  e.method = method;
  buildWholeImageMap(tool, counts, e);
  return e;
}

// The map of an explanation at the depth of Level.
template <class Level>
std::vector<Level> mapAt(kcNormalizationExplanation e, std::wstring& message) {
  message = e.success ? std::wstring() : e.message;
  return std::move(explainedMap<Level>(e));
}

// The table kfPelMap takes for a map of the tool's levels.
const std::vector<unsigned char>& tableOf(const std::vector<unsigned char>& map) { return map; }
std::vector<unsigned short> tableOf(const std::vector<unsigned short>& map) {
  return kfWideMapTable(map);
}

template <class Pel>
void mapCoveredInto(const kcImageNormalizer& tool, const kcPelBuffer_const<Pel>& part,
                    const std::vector<Pel>& map, kcPelBuffer<Pel>& destination) {
  const std::size_t levels = std::size_t{1} << tool.bits();
  if (map.size() != levels || tool.isWide() != (sizeof(Pel) == 2))
    throw BadParams(L"A gray-level map has " + std::to_wstring(levels) + L" entries.");
  const kcPelBuffer_const<Pel> view = coveredPart(tool, part);
  if (view.window().isNull()) return;
  kfPelMap(view, tableOf(map), destination);
  if (tool.keepMaskedPixels() && tool.binaryMask().isBound())
    kf_MaskedPelCopy(view, tool.binaryMask(), destination, true);
}

}  // namespace

kcPelRect coveredWindow(const kcImageNormalizer& tool, const kcPelRect& window) {
  kcPelRect region = window & tool.referenceWindow();
  if (tool.maskImage().isBound()) region &= tool.maskImage().window();
  return region.isNull() ? kcPelRect() : region;
}

Counts countPart(const kcImageNormalizer& tool, const kcPelBuffer_const<unsigned char>& part,
                 Method method) {
  return countCovered(tool, part, method);
}

Counts countPart(const kcImageNormalizer& tool, const kcPelBuffer_const<unsigned short>& part,
                 Method method) {
  return countCovered(tool, part, method);
}

std::vector<unsigned char> mapOfCounts(const kcImageNormalizer& tool, Method method,
                                       const Counts& counts, std::wstring& message,
                                       const IndexLoop& loop) {
  return mapAt<unsigned char>(explainCountsOf(tool, method, counts, kcPelRect(), loop, false),
                              message);
}

std::vector<unsigned short> wideMapOfCounts(const kcImageNormalizer& tool, Method method,
                                            const Counts& counts, std::wstring& message,
                                            const IndexLoop& loop) {
  return mapAt<unsigned short>(explainCountsOf(tool, method, counts, kcPelRect(), loop, true),
                               message);
}

std::vector<unsigned char> mapOfWholeImage(const kcImageNormalizer& tool, Method method,
                                           const Counts& histogram, std::wstring& message) {
  return mapAt<unsigned char>(explainWholeImageOf(tool, method, histogram, false), message);
}

std::vector<unsigned short> wideMapOfWholeImage(const kcImageNormalizer& tool, Method method,
                                                const Counts& histogram, std::wstring& message) {
  return mapAt<unsigned short>(explainWholeImageOf(tool, method, histogram, true), message);
}

kcNormalizationExplanation explainCounts(const kcImageNormalizer& tool, Method method,
                                         const Counts& counts, const kcPelRect& region,
                                         const IndexLoop& loop) {
  return explainCountsOf(tool, method, counts, region, loop, tool.isWide());
}

kcNormalizationExplanation explainWholeImageCounts(const kcImageNormalizer& tool, Method method,
                                                   const Counts& histogram) {
  return explainWholeImageOf(tool, method, histogram, tool.isWide());
}

kcPelBuffer<unsigned char> mapPart(const kcImageNormalizer& tool,
                                   const kcPelBuffer_const<unsigned char>& part,
                                   const std::vector<unsigned char>& map) {
  kcPelBuffer<unsigned char> result;
  mapCoveredInto(tool, part, map, result);
  return result;
}

kcPelBuffer<unsigned short> mapPart(const kcImageNormalizer& tool,
                                    const kcPelBuffer_const<unsigned short>& part,
                                    const std::vector<unsigned short>& map) {
  kcPelBuffer<unsigned short> result;
  mapCoveredInto(tool, part, map, result);
  return result;
}

void mapPartInto(const kcImageNormalizer& tool, const kcPelBuffer_const<unsigned char>& part,
                 const std::vector<unsigned char>& map, kcPelBuffer<unsigned char>& destination) {
  mapCoveredInto(tool, part, map, destination);
}

void mapPartInto(const kcImageNormalizer& tool, const kcPelBuffer_const<unsigned short>& part,
                 const std::vector<unsigned short>& map, kcPelBuffer<unsigned short>& destination) {
  mapCoveredInto(tool, part, map, destination);
}

std::optional<kcPair<long>> localMargin(const kcImageNormalizer& tool, Method method) {
  checkMethod(tool, method, true, tool.isWide());
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
