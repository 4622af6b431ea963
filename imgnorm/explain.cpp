#include "imgnorm/explain.h"

#include "imgnorm/detail/global_maps.h"
#include "imgnorm/detail/linear_fit.h"
#include "imgnorm/detail/map_builders.h"
#include "imgnorm/detail/method_checks.h"
#include "imgnorm/detail/trained_data.h"
#include "pelfuncs/masked_histogram.h"

using namespace kcImageNormalizerDefs;

namespace {

void checkExplainable(const kcImageNormalizer& tool, const kcPelBuffer_const<unsigned char>& image,
                      Method method) {
  if (!hasMap(method))
    throw BadParams(L"Only a global method or the linear fit has a gray-level map.");
  imgnorm::checkTrained(tool.trainedMethods(), method);
  if (!image.isBound()) throw BadImage(L"Image must be bound.");
}

kcGrayLevelStatistics statisticsOf(const kcHistoStats& stats, const kcPair<long>& percentages) {
  return {stats.nSamp(), stats.mean(), stats.sDev(),
          stats.inverseCum(static_cast<int>(percentages.x())),
          stats.inverseCum(static_cast<int>(percentages.y()))};
}

void describeStatistics(const kcImageNormalizer& tool, const kcHistoStats& runStats,
                        kcNormalizationExplanation& e) {
  const kcPair<long> percentages = imgnorm::tailPercentages(tool.tailFractions());
  e.runTime = statisticsOf(runStats, percentages);
  e.reference = statisticsOf(tool.referenceStats(), percentages);
}

// The run-time histogram of (run-time, reference) pair counts.
std::vector<unsigned long> runTimeLevels(const imgnorm::PairCounts& pairs) {
  std::vector<unsigned long> levels(256, 0);
  for (std::size_t s = 0; s < 256; ++s)
    for (std::size_t t = 0; t < 256; ++t) levels[s] += pairs[s * 256 + t];
  return levels;
}

}  // namespace

namespace imgnorm {

// wholeImage: the image's pel count may differ from the reference's.
void buildGlobalMap(const kcImageNormalizer& tool, const std::vector<unsigned long>& histogram,
                    const kcHistoStats& stats, bool wholeImage, kcNormalizationExplanation& e) {
  if (stats.nSamp() == 0) {
    e.message = L"Cannot normalize since histogram is empty.";
    return;
  }
  if (e.method == eMatchHistogram && wholeImage)
    imgnorm::matchHistogramFractions(tool.referenceHistogram(), histogram, e.map, e.message);
  else if (e.method == eMatchHistogram)
    imgnorm::matchHistogram(tool.referenceHistogram(), histogram, e.map, e.message);
  else if (e.method == eMatchMeanAndStddev)
    imgnorm::matchMeanAndStddev(tool.referenceStats(), stats, e.map, e.message);
  else
    imgnorm::matchHistogramTails(tool.referenceStats(), stats,
                                 imgnorm::tailPercentages(tool.tailFractions()), e.map, e.message);
  e.success = !e.map.empty();
}

void buildFitMap(const kcImageNormalizer& tool, const imgnorm::PairCounts& pairs,
                 std::uint64_t weight, kcNormalizationExplanation& e, const IndexLoop& loop) {
  const std::optional<kcPair<double>> line =
      imgnorm::fitLine(pairs, weight, tool.fitAngles(), loop);
  // No line leaves gain and offset 0: every level maps to 0, as defined.
  const kcPair<double> gainOffset = line.value_or(kcPair<double>(0.0, 0.0));
  e.fit.lineFound = line.has_value();
  e.fit.gain = gainOffset.x();
  e.fit.offset = gainOffset.y();
  e.fit.nearLineShare =
      imgnorm::shareNearLine(pairs, gainOffset, kcLinearFitExplanation::kNearLineDistance);
  e.map = imgnorm::gainOffsetMap(gainOffset);
  e.success = true;
}

kcNormalizationExplanation explanationOfCounts(const kcImageNormalizer& tool, Method method,
                                               const std::vector<std::uint64_t>& counts,
                                               const kcPelRect& region, const IndexLoop& loop) {
  kcNormalizationExplanation e;
  e.method = method;
  e.region = region;
  if (isFit(method)) {
    // The pairs hold the run-time histogram too. Without a mask each pel
    // adds 1 to its joint cell; with one, its binary mask value, 255.
    describeStatistics(tool, kcHistoStats(runTimeLevels(counts)), e);
    buildFitMap(tool, counts, tool.binaryMask().isBound() ? 255 : 1, e, loop);
    return e;
  }
  const kcHistoStats stats(counts);
  describeStatistics(tool, stats, e);
  buildGlobalMap(tool, counts, stats, false, e);
  return e;
}

void buildWholeImageMap(const kcImageNormalizer& tool, const std::vector<unsigned long>& histogram,
                        kcNormalizationExplanation& e) {
  if (e.method == eLinearlyFitGrayValues)
    buildFitMap(tool, rankPairs(histogram, tool.referenceHistogram()), 1, e);
  else
    buildGlobalMap(tool, histogram, kcHistoStats(histogram), true, e);
}

}  // namespace imgnorm

kcNormalizationExplanation kfExplainNormalization(const kcImageNormalizer& tool,
                                                  const kcPelBuffer_const<unsigned char>& image,
                                                  Method method) {
  checkExplainable(tool, image, method);
  const kcPelBuffer_const<unsigned char>& mask = tool.binaryMask();
  kcNormalizationExplanation e;
  e.method = method;
  e.region = image.window() & tool.referenceImage().window();
  if (mask.isBound()) e.region &= mask.window();
  if (e.region.isNull()) {
    e.message = L"The image does not overlap the reference.";
    return e;
  }
  kcPelBuffer_const<unsigned char> view = image;
  view.window(e.region, false);
  // The pairs of the linear fit hold the run-time histogram too: one pass
  // over the pels.
  std::vector<std::uint64_t> counts;
  if (isFit(method))
    counts = imgnorm::countPairs(view, tool.referenceImage(), mask, tool.maskRuns());
  else
    imgnorm::countMaskedLevels(view, mask, tool.maskRuns(), counts);
  return imgnorm::explanationOfCounts(tool, method, counts, e.region);
}

kcNormalizationExplanation kfExplainWholeImage(const kcImageNormalizer& tool,
                                               const kcPelBuffer_const<unsigned char>& image,
                                               Method method) {
  checkExplainable(tool, image, method);
  if (tool.maskImage().isBound())
    throw BadParams(L"Only a tool without a mask maps whole images of any size.");
  kcNormalizationExplanation e;
  e.method = method;
  e.region = image.window();
  std::vector<unsigned long> histogram;
  kf_MaskedPelHistogram(image, kcPelBuffer_const<unsigned char>(), histogram);
  describeStatistics(tool, kcHistoStats(histogram), e);
  imgnorm::buildWholeImageMap(tool, histogram, e);
  return e;
}

bool kfMapsWholeImage(const kcImageNormalizer& tool, const kcPair<long>& size, Method method) {
  const kcPelBuffer_const<unsigned char>& reference = tool.referenceImage();
  return hasMap(method) && reference.isBound() && !tool.maskImage().isBound() &&
         (size.x() != reference.width() || size.y() != reference.height());
}
