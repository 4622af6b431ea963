#pragma once

#include <cstdint>
#include <vector>

#include "imaging/histo_stats.h"
#include "imgnorm/detail/linear_fit.h"
#include "imgnorm/explain.h"
#include "imgnorm/image_normalizer.h"

// The gray-level maps of run, built from counts: the one place that turns a
// run-time histogram or the linear fit's pair counts into a map, for one run,
// its explanation and a run split over parts. Each fills e.map, e.success
// and e.message (and e.fit for the linear fit); e.method says which map.
namespace imgnorm {

// wholeImage: the image's pel count may differ from the reference's.
void buildGlobalMap(const kcImageNormalizer& tool, const std::vector<unsigned long>& histogram,
                    const kcHistoStats& stats, bool wholeImage, kcNormalizationExplanation& e);

// weight: what each pel adds to the joint histogram (its mask value, 255,
// or 1 without a mask).
// loop: for the projections of the fit (see dominantBand).
void buildFitMap(const kcImageNormalizer& tool, const PairCounts& pairs, std::uint64_t weight,
                 kcNormalizationExplanation& e, const IndexLoop& loop = serialLoop);

// What a run of method counts in view (a window the tool covers): for a
// global method the histogram of the pels under the mask (2^bits levels);
// for the linear fit the (run-time, reference) pair counts on the 8-bit
// scale (at s * 256 + t), followed at 16 bits by the 16-bit histogram.
// Counts of parts add up to those of their union. Throws BadImage for a
// counted 16-bit pel above the bits.
std::vector<std::uint64_t> countsOf(const kcImageNormalizer& tool,
                                    const kcPelBuffer_const<unsigned char>& view,
                                    kcImageNormalizerDefs::Method method);
std::vector<std::uint64_t> countsOf(const kcImageNormalizer& tool,
                                    const kcPelBuffer_const<unsigned short>& view,
                                    kcImageNormalizerDefs::Method method);

// How many entries countsOf gives for the tool and method.
std::size_t countsSize(const kcImageNormalizer& tool, kcImageNormalizerDefs::Method method);

// The explanation of the map run builds from the counts of region, as
// countsOf gives them. The fit's projections go through loop.
kcNormalizationExplanation explanationOfCounts(const kcImageNormalizer& tool,
                                               kcImageNormalizerDefs::Method method,
                                               const std::vector<std::uint64_t>& counts,
                                               const kcPelRect& region,
                                               const IndexLoop& loop = serialLoop);

// The map of an image of any size whose whole histogram (every pel) is
// histogram: histogram matching by fractions, the linear fit by rank pairs.
void buildWholeImageMap(const kcImageNormalizer& tool, const std::vector<unsigned long>& histogram,
                        kcNormalizationExplanation& e);

// The map an explanation holds at the depth of Level: map for 8-bit tools,
// wideMap for tools of 16-bit images.
template <class Level>
std::vector<Level>& explainedMap(kcNormalizationExplanation& e) {
  if constexpr (sizeof(Level) == 2)
    return e.wideMap;
  else
    return e.map;
}

}  // namespace imgnorm
