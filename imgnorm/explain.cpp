#include "imgnorm/explain.h"

#include "imaging/pel_map.h"
#include "imgnorm/detail/global_maps.h"
#include "imgnorm/detail/linear_fit.h"
#include "imgnorm/detail/map_builders.h"
#include "imgnorm/detail/method_checks.h"
#include "imgnorm/detail/trained_data.h"
#include "imgnorm/run_parts.h"
#include "pelfuncs/masked_histogram.h"

using namespace kcImageNormalizerDefs;

namespace {

template <class Pel>
void checkExplainable(const kcImageNormalizer& tool, const kcPelBuffer_const<Pel>& image,
                      Method method) {
  if (!hasMap(method))
    throw BadParams(L"Only a global method or the linear fit has a gray-level map.");
  imgnorm::checkTrained(tool.trainedMethods(), method);
  if (!image.isBound()) throw BadImage(L"Image must be bound.");
  imgnorm::checkDepth(tool, sizeof(Pel) == 2);
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

template <class Level>
void buildGlobalMapInto(const kcImageNormalizer& tool, const std::vector<unsigned long>& histogram,
                        const kcHistoStats& stats, bool wholeImage, kcNormalizationExplanation& e,
                        std::vector<Level>& map) {
  if (e.method == eMatchHistogram && wholeImage)
    imgnorm::matchHistogramFractions(tool.referenceHistogram(), histogram, map, e.message);
  else if (e.method == eMatchHistogram)
    imgnorm::matchHistogram(tool.referenceHistogram(), histogram, map, e.message);
  else if (e.method == eMatchMeanAndStddev)
    imgnorm::matchMeanAndStddev(tool.referenceStats(), stats, map, e.message);
  else
    imgnorm::matchHistogramTails(tool.referenceStats(), stats,
                                 imgnorm::tailPercentages(tool.tailFractions()), map, e.message);
  e.success = !map.empty();
}

// A 16-bit histogram's counts gathered into the 256 bins of the 8-bit
// scale the fit pairs levels on.
std::vector<unsigned long> eightBitHistogram(const std::vector<unsigned long>& histogram,
                                             int bits) {
  const std::vector<unsigned char> scale = imgnorm::eightBitScale(bits);
  std::vector<unsigned long> bins(256, 0);
  for (std::size_t v = 0; v < histogram.size(); ++v) bins[scale[v]] += histogram[v];
  return bins;
}

// Every pel of a whole image counted, at the tool's depth.
void countWholeImage(const kcImageNormalizer&, const kcPelBuffer_const<unsigned char>& image,
                     std::vector<unsigned long>& histogram) {
  kf_MaskedPelHistogram(image, kcPelBuffer_const<unsigned char>(), histogram);
}

void countWholeImage(const kcImageNormalizer& tool, const kcPelBuffer_const<unsigned short>& image,
                     std::vector<unsigned long>& histogram) {
  imgnorm::countMaskedLevels(image, tool.bits(), kcPelBuffer_const<unsigned char>(), kcMaskRuns(),
                             histogram);
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
  if (tool.isWide())
    buildGlobalMapInto(tool, histogram, stats, wholeImage, e, e.wideMap);
  else
    buildGlobalMapInto(tool, histogram, stats, wholeImage, e, e.map);
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
  if (tool.isWide())
    e.wideMap = imgnorm::wideGainOffsetMap(gainOffset, tool.bits());
  else
    e.map = imgnorm::gainOffsetMap(gainOffset);
  e.success = true;
}

std::vector<std::uint64_t> countsOf(const kcImageNormalizer& tool,
                                    const kcPelBuffer_const<unsigned char>& view, Method method) {
  std::vector<std::uint64_t> counts;
  if (isFit(method))
    counts = countPairs(view, tool.referenceImage(), tool.binaryMask(), tool.maskRuns());
  else
    countMaskedLevels(view, tool.binaryMask(), tool.maskRuns(), counts);
  counts.resize(countsSize(tool, method), 0);  // an empty region counts nothing
  return counts;
}

std::vector<std::uint64_t> countsOf(const kcImageNormalizer& tool,
                                    const kcPelBuffer_const<unsigned short>& view, Method method) {
  std::vector<std::uint64_t> histogram;
  countMaskedLevels(view, tool.bits(), tool.binaryMask(), tool.maskRuns(), histogram);
  histogram.resize(std::size_t{1} << tool.bits(), 0);
  if (!isFit(method)) return histogram;
  // The fit pairs levels on the 8-bit scale, as the trained reference holds
  // them; the 16-bit histogram follows for the statistics.
  const kcPelBuffer<unsigned char> eightBit = kfPelMap(view, eightBitScale(tool.bits()));
  std::vector<std::uint64_t> counts =
      countPairs(eightBit, tool.trainedData().fitReference, tool.binaryMask(), tool.maskRuns());
  counts.resize(kPairCells, 0);
  counts.insert(counts.end(), histogram.begin(), histogram.end());
  return counts;
}

std::size_t countsSize(const kcImageNormalizer& tool, Method method) {
  const std::size_t levels = std::size_t{1} << tool.bits();
  if (!isFit(method)) return levels;
  return tool.isWide() ? kPairCells + levels : kPairCells;
}

kcNormalizationExplanation explanationOfCounts(const kcImageNormalizer& tool, Method method,
                                               const std::vector<std::uint64_t>& counts,
                                               const kcPelRect& region, const IndexLoop& loop) {
  kcNormalizationExplanation e;
  e.method = method;
  e.region = region;
  if (isFit(method)) {
    // The pairs hold the 8-bit run-time histogram; a 16-bit one follows
    // them at 16 bits. Without a mask each pel adds 1 to its joint cell;
    // with one, its binary mask value, 255.
    const PairCounts pairs(counts.begin(), counts.begin() + kPairCells);
    describeStatistics(tool,
                       kcHistoStats(tool.isWide() ? std::vector<unsigned long>(
                                                        counts.begin() + kPairCells, counts.end())
                                                  : runTimeLevels(pairs)),
                       e);
    buildFitMap(tool, pairs, tool.binaryMask().isBound() ? 255 : 1, e, loop);
    return e;
  }
  const kcHistoStats stats(counts);
  describeStatistics(tool, stats, e);
  buildGlobalMap(tool, counts, stats, false, e);
  return e;
}

void buildWholeImageMap(const kcImageNormalizer& tool, const std::vector<unsigned long>& histogram,
                        kcNormalizationExplanation& e) {
  if (e.method == eLinearlyFitGrayValues && tool.isWide())
    buildFitMap(tool,
                rankPairs(eightBitHistogram(histogram, tool.bits()),
                          eightBitHistogram(tool.referenceHistogram(), tool.bits())),
                1, e);
  else if (e.method == eLinearlyFitGrayValues)
    buildFitMap(tool, rankPairs(histogram, tool.referenceHistogram()), 1, e);
  else
    buildGlobalMap(tool, histogram, kcHistoStats(histogram), true, e);
}

}  // namespace imgnorm

namespace {

template <class Pel>
kcNormalizationExplanation explainNormalization(const kcImageNormalizer& tool,
                                                const kcPelBuffer_const<Pel>& image,
                                                Method method) {
  checkExplainable(tool, image, method);
  kcNormalizationExplanation e;
  e.method = method;
  e.region = imgnorm::coveredWindow(tool, image.window());
  if (e.region.isNull()) {
    e.message = L"The image does not overlap the reference.";
    return e;
  }
  kcPelBuffer_const<Pel> view = image;
  view.window(e.region, false);
  return imgnorm::explanationOfCounts(tool, method, imgnorm::countsOf(tool, view, method),
                                      e.region);
}

template <class Pel>
kcNormalizationExplanation explainWholeImage(const kcImageNormalizer& tool,
                                             const kcPelBuffer_const<Pel>& image, Method method) {
  checkExplainable(tool, image, method);
  if (tool.maskImage().isBound())
    throw BadParams(L"Only a tool without a mask maps whole images of any size.");
  kcNormalizationExplanation e;
  e.method = method;
  e.region = image.window();
  std::vector<unsigned long> histogram;
  countWholeImage(tool, image, histogram);
  describeStatistics(tool, kcHistoStats(histogram), e);
  imgnorm::buildWholeImageMap(tool, histogram, e);
  return e;
}

}  // namespace

kcNormalizationExplanation kfExplainNormalization(const kcImageNormalizer& tool,
                                                  const kcPelBuffer_const<unsigned char>& image,
                                                  Method method) {
  return explainNormalization(tool, image, method);
}

kcNormalizationExplanation kfExplainWholeImage(const kcImageNormalizer& tool,
                                               const kcPelBuffer_const<unsigned char>& image,
                                               Method method) {
  return explainWholeImage(tool, image, method);
}

bool kfMapsWholeImage(const kcImageNormalizer& tool, const kcPair<long>& size, Method method) {
  const kcPelRect reference = tool.referenceWindow();
  return hasMap(method) && !reference.isNull() && !tool.maskImage().isBound() &&
         (size.x() != reference.width() || size.y() != reference.height());
}

kcNormalizationExplanation kfExplainNormalization(const kcImageNormalizer& tool,
                                                  const kcPelBuffer_const<unsigned short>& image,
                                                  Method method) {
  return explainNormalization(tool, image, method);
}

kcNormalizationExplanation kfExplainWholeImage(const kcImageNormalizer& tool,
                                               const kcPelBuffer_const<unsigned short>& image,
                                               Method method) {
  return explainWholeImage(tool, image, method);
}

kcPelBuffer<unsigned char> kfApplyMap(const kcPelBuffer_const<unsigned char>& image,
                                      const kcNormalizationExplanation& e) {
  return kfPelMap(image, e.map);
}

kcPelBuffer<unsigned short> kfApplyMap(const kcPelBuffer_const<unsigned short>& image,
                                       const kcNormalizationExplanation& e) {
  return kfPelMap(image, kfWideMapTable(e.wideMap));
}
