#include "imgnorm/explain.h"

#include <gtest/gtest.h>

#include "imaging/pel_map.h"
#include "test_support.h"

using namespace kcImageNormalizerDefs;
using namespace testing_support;

namespace {

constexpr Method kMapped[] = {eMatchHistogram, eMatchMeanAndStddev, eMatchHistogramTails,
                              eLinearlyFitGrayValues};

// A run-time image related to the reference by a random gain and offset,
// with some pels replaced by noise, on a window shifted against it.
Image relatedImage(const Image& reference, const kcPelRect& window) {
  std::uniform_real_distribution<double> gain(0.4, 1.6), offset(-60.0, 60.0);
  std::uniform_int_distribution<int> noise(0, 255), pick(0, 9);
  const double g = gain(rng()), o = offset(rng());
  return makeImage(window, [&](long x, long y) {
    const bool inside = reference.window().contains(kcPair<long>(x, y));
    const double v = inside && pick(rng()) ? reference.get(x, y) * g + o : noise(rng());
    return v < 0 ? 0 : (v > 255 ? 255 : v);
  });
}

}  // namespace

// run is the explanation's map applied to the explanation's region.
TEST(Explain, TheMapIsWhatRunApplies) {
  for (int round = 0; round < 6; ++round) {
    const Image reference = randomImage(kcPelRect(0, 0, 70, 50), 0, 220);
    const Image mask = randomImage(kcPelRect(5, 3, 60, 45), 0, 1);
    const Image image = relatedImage(reference, kcPelRect(round, 2 * round, 72, 50));
    for (bool masked : {false, true}) {
      kcImageNormalizer tool;
      tool.referenceImage(reference, true);
      if (masked) tool.maskImage(mask, true);
      tool.tailFractions(kcPair<double>(0.05, 0.93));
      tool.train(static_cast<Method>(kGlobalMethods) | eLinearlyFitGrayValues);
      for (Method method : kMapped) {
        const kcNormalizationExplanation e = kfExplainNormalization(tool, image, method);
        const RunOutcome run = runTool(tool, image, method);
        ASSERT_TRUE(run.success && e.success) << method;
        ASSERT_EQ(e.map.size(), 256u);
        ASSERT_EQ(run.result.window(), e.region);
        ASSERT_TRUE(pelsAre(run.result, e.region, [&](long x, long y) {
          return e.map[image.get(x, y)];
        })) << method;
        EXPECT_EQ(e.reference.count, tool.referenceStats().nSamp());
        // Every method describes the same run-time pels the same way.
        const kcNormalizationExplanation h = kfExplainNormalization(tool, image, eMatchHistogram);
        EXPECT_EQ(e.runTime.count, h.runTime.count) << method;
        EXPECT_EQ(e.runTime.mean, h.runTime.mean) << method;
        EXPECT_EQ(e.runTime.upperTail, h.runTime.upperTail) << method;
      }
    }
  }
}

TEST(Explain, WholeImagesUseTheirWholeHistogramAndFitsReportTheShareNearTheLine) {
  const Image reference = randomImage(kcPelRect(0, 0, 64, 64), 0, 255);
  kcImageNormalizer tool;
  tool.referenceImage(reference, true);
  tool.train(static_cast<Method>(kGlobalMethods) | eLinearlyFitGrayValues);
  const Image small = makeImage(kcPelRect(0, 0, 30, 20), [&](long x, long y) {
    return reference.get(x * 2, y * 3) / 2 + 40;
  });
  for (Method method : kMapped) {
    const kcNormalizationExplanation e = kfExplainWholeImage(tool, small, method);
    ASSERT_TRUE(e.success) << method;
    EXPECT_EQ(e.region, small.window());
    EXPECT_EQ(e.runTime.count, 600u);
  }
  // Histogram matching compares cumulative fractions, not counts.
  const kcNormalizationExplanation matched = kfExplainWholeImage(tool, small, eMatchHistogram);
  const kcPelBuffer<unsigned char> mapped = kfPelMap(small, matched.map);
  double sum = 0;
  for (long y = 0; y < 20; ++y)
    for (long x = 0; x < 30; ++x) sum += mapped.get(x, y);
  EXPECT_NEAR(sum / 600, matched.reference.mean, 4.0);
  // The rank pairing recovers the gray-level relation without pel pairs.
  const kcNormalizationExplanation fit = kfExplainWholeImage(tool, small, eLinearlyFitGrayValues);
  EXPECT_NEAR(fit.fit.gain, 2.0, 0.15);
  EXPECT_GT(fit.fit.nearLineShare, 0.9);
  // Pel pairs of a region where only the left half follows the relation.
  const Image half = makeImage(reference.window(), [&](long x, long y) {
    return (x < 32 ? reference.get(x, y) / 2 + 20 : 255 - reference.get(x, y));
  });
  const kcNormalizationExplanation e = kfExplainNormalization(tool, half, eLinearlyFitGrayValues);
  EXPECT_NEAR(e.fit.gain, 2.0, 0.05);
  EXPECT_NEAR(e.fit.offset, -40.0, 3.0);
  EXPECT_NEAR(e.fit.nearLineShare, 0.5, 0.05);

  tool.maskImage(reference, true);
  tool.train(eMatchHistogram);
  EXPECT_THROW(kfExplainWholeImage(tool, small, eMatchHistogram), BadParams);
  EXPECT_THROW(kfExplainNormalization(tool, small, eLocalCorrection), BadParams);
  EXPECT_THROW(kfExplainNormalization(tool, small, eMatchMeanAndStddev), NotTrained);
}

// Images of another size are mapped whole only with a map and no mask.
TEST(Explain, WholeImagesAreThoseOfAnotherSizeWithAMapAndNoMask) {
  const Image reference = randomImage(kcPelRect(3, 4, 20, 10));
  const kcImageNormalizer plain = trainedTool(reference, static_cast<Method>(kKnownMethods));
  const kcImageNormalizer masked =
      trainedTool(reference, eMatchHistogram, constant(reference.window(), 255));
  EXPECT_TRUE(kfMapsWholeImage(plain, {21, 10}, eMatchHistogram));
  EXPECT_TRUE(kfMapsWholeImage(plain, {20, 9}, eLinearlyFitGrayValues));
  EXPECT_FALSE(kfMapsWholeImage(plain, {20, 10}, eMatchHistogram));  // the reference's size
  EXPECT_FALSE(kfMapsWholeImage(plain, {21, 10}, eLocalCorrection));
  EXPECT_FALSE(kfMapsWholeImage(plain, {21, 10}, eMatchHistogram | eMatchMeanAndStddev));
  EXPECT_FALSE(kfMapsWholeImage(masked, {21, 10}, eMatchHistogram));
  EXPECT_FALSE(kfMapsWholeImage(kcImageNormalizer(), {21, 10}, eMatchHistogram));
}
