#pragma once

#include <cstdint>
#include <vector>

#include "imaging/histo_stats.h"
#include "imgnorm/explain.h"
#include "imgnorm/image_normalizer.h"
#include "imgnorm/detail/linear_fit.h"

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

// The explanation of the map run builds from the counts of region: for a
// global method the run-time histogram (256 levels), for the linear fit
// the (run-time, reference) pair counts. The fit's projections go through
// loop.
kcNormalizationExplanation explanationOfCounts(const kcImageNormalizer& tool,
                                               kcImageNormalizerDefs::Method method,
                                               const std::vector<std::uint64_t>& counts,
                                               const kcPelRect& region,
                                               const IndexLoop& loop = serialLoop);

// The map of an image of any size whose whole histogram (every pel) is
// histogram: histogram matching by fractions, the linear fit by rank pairs.
void buildWholeImageMap(const kcImageNormalizer& tool, const std::vector<unsigned long>& histogram,
                        kcNormalizationExplanation& e);

}  // namespace imgnorm
