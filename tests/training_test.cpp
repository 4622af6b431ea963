#include <gtest/gtest.h>

#include "imgnorm/image_normalizer.h"
#include "imgnorm/trained_data.h"
#include "test_support.h"

using namespace kcImageNormalizerDefs;
using testing_support::makeImage;
using testing_support::messageOf;
using testing_support::randomImage;

namespace {


kcImageNormalizer toolWithReference(long w = 40, long h = 30) {
  kcImageNormalizer tool;
  tool.referenceImage(randomImage(kcPelRect(0, 0, w, h)), true);
  return tool;
}

}  // namespace

TEST(Training, RefusesUnknownMethodsAndMissingReferenceInThatOrder) {
  kcImageNormalizer untrained;
  untrained.train(eIdentity);
  EXPECT_EQ(untrained.trainedMethods(), eIdentity);
  EXPECT_THROW(untrained.train(static_cast<Method>(64)), CanNotTrain);
  EXPECT_EQ(messageOf<kcException>([&] { untrained.train(static_cast<Method>(64 | 1)); }),
            L"<methods> contains an unknown normalization method.");
  EXPECT_EQ(messageOf<kcException>([&] { untrained.train(static_cast<Method>(3)); }),
            L"referenceImage() must be bound for the specified methods.");

  kcImageNormalizer tool = toolWithReference();
  tool.train(eMatchHistogram);
  EXPECT_EQ(messageOf<kcException>([&] { tool.train(static_cast<Method>(64)); }),
            L"<methods> contains an unknown normalization method.");
  EXPECT_EQ(tool.trainedMethods(), eMatchHistogram);  // unchanged by the refusal
}

TEST(Training, EmptyReferenceHistogramKeepsTheNonGlobalMethods) {
  kcImageNormalizer tool = toolWithReference();
  tool.maskImage(kcPelBuffer<unsigned char>(40, 30), true);  // all zero
  EXPECT_EQ(messageOf<kcException>([&] { tool.train(eMatchHistogram | eLocalCorrection); }),
            L"Histogram must be non-empty for the specified methods.");
  EXPECT_EQ(tool.trainedMethods(), eLocalCorrection);
  EXPECT_TRUE(tool.maskWeights().isBound());

  kcImageNormalizer disjoint = toolWithReference();
  disjoint.maskImage(makeImage(kcPelRect(100, 100, 5, 5), [](long, long) { return 255; }), true);
  EXPECT_THROW(disjoint.train(eMatchMeanAndStddev), CanNotTrain);
  EXPECT_TRUE(disjoint.referenceHistogram().empty());
  EXPECT_EQ(disjoint.trainedMethods(), eIdentity);
}

TEST(Training, TrainedMembersFollowMaskGranularityAndMethods) {
  kcImageNormalizer tool = toolWithReference(40, 30);
  tool.train(eLocalCorrection);
  EXPECT_FALSE(tool.binaryMask().isBound());
  EXPECT_FALSE(tool.sampledMask().isBound());
  EXPECT_FALSE(tool.maskWeights().isBound());
  EXPECT_EQ(tool.referenceStats().nSamp(), 40u * 30u);

  tool.maskImage(makeImage(kcPelRect(0, 0, 40, 30), [](long x, long) { return x % 2; }), true);
  tool.train(eLocalCorrectionEnhanced);
  ASSERT_TRUE(tool.binaryMask().isBound());
  for (long x = 0; x < 40; ++x) ASSERT_EQ(tool.binaryMask().get(x, 7), x % 2 ? 255 : 0);
  EXPECT_FALSE(tool.sampledMask().isBound());
  EXPECT_FALSE(tool.maskWeights().isBound());
  EXPECT_EQ(tool.referenceStats().nSamp(), 20u * 30u);

  tool.train(eLocalCorrection);
  ASSERT_TRUE(tool.maskWeights().isBound());
  EXPECT_EQ(tool.maskWeights().window(), tool.binaryMask().window());

  tool.granularity(kcPair<long>(1, 3));
  tool.train(eLocalCorrection);
  ASSERT_TRUE(tool.sampledMask().isBound());
  EXPECT_EQ(tool.sampledMask().width(), 40);
  EXPECT_EQ(tool.sampledMask().height(), 10);
  EXPECT_EQ(tool.maskWeights().width(), 40);
  EXPECT_EQ(tool.maskWeights().height(), 10);
}

TEST(Training, SubsampledMaskIsBinaryAndDilated) {
  kcImageNormalizer tool = toolWithReference(40, 40);
  // An 8x8 block of mask at (16, 16) reduces to the 2x2 block at (4, 4),
  // which the dilation grows by a diamond's reach.
  tool.maskImage(
      makeImage(kcPelRect(0, 0, 40, 40),
                [](long x, long y) { return x >= 16 && x < 24 && y >= 16 && y < 24 ? 9 : 0; }),
      true);
  tool.granularity(kcPair<long>(4, 4));
  tool.train(eLocalCorrectionEnhanced);
  const auto& s = tool.sampledMask();
  ASSERT_EQ(s.width(), 10);
  long on = 0;
  for (long y = 0; y < 10; ++y)
    for (long x = 0; x < 10; ++x) {
      const unsigned char v = s.get(s.window().x() + x, s.window().y() + y);
      ASSERT_TRUE(v == 0 || v == 255);
      on += v == 255;
    }
  EXPECT_EQ(on, 12);
  EXPECT_EQ(s.get(s.window().x() + 4, s.window().y() + 4), 255);
  EXPECT_EQ(s.get(s.window().x() + 3, s.window().y() + 4), 255);
  EXPECT_EQ(s.get(s.window().x() + 3, s.window().y() + 3), 0);
}

TEST(Training, NeighbourhoodOfOnePelKeepsWeightsAtFullResolution) {
  kcImageNormalizer tool = toolWithReference(40, 30);
  tool.maskImage(makeImage(kcPelRect(0, 0, 40, 30), [](long x, long) { return x > 5; }), true);
  tool.granularity(kcPair<long>(2, 2));
  tool.neighborhoodSize(kcPair<long>(1, 1));
  tool.train(eLocalCorrection);
  EXPECT_TRUE(tool.sampledMask().isBound());
  EXPECT_EQ(tool.maskWeights().window(), tool.binaryMask().window());
}

TEST(Training, RetrainingReplacesTheSet) {
  kcImageNormalizer tool = toolWithReference();
  tool.train(eMatchHistogram);
  tool.train(eLocalCorrection);
  EXPECT_EQ(tool.trainedMethods(), eLocalCorrection);
  EXPECT_TRUE(tool.fitAngles().empty());
  tool.train(eLinearlyFitGrayValues);
  EXPECT_EQ(tool.fitAngles().size(), 63u);
}

TEST(Training, SettersUntrainAndSetKeepsTheTrainedSet) {
  kcImageNormalizer tool = toolWithReference();
  tool.train(eMatchHistogram | eMatchHistogramTails);
  tool.set(kcPair<double>(0.1, 0.9), kcPair<long>(-5, 5), true);
  EXPECT_EQ(tool.trainedMethods(), eMatchHistogram | eMatchHistogramTails);
  tool.granularity(kcPair<long>(1, 1));
  EXPECT_EQ(tool.trainedMethods(), eIdentity);
}

TEST(Training, RecordsItsInputs) {
  kcImageNormalizer tool = toolWithReference();
  kcDiagObject diag;
  tool.train(eMatchMeanAndStddev, &diag, 0x10000);
  ASSERT_EQ(diag.records().size(), 2u);
  EXPECT_EQ(diag.records()[0].name, L"referenceImage");
  EXPECT_EQ(diag.records()[0].kind, kcDiagRecord::eImage);
  EXPECT_EQ(diag.records()[1].name, L"Parameters");
  EXPECT_EQ(
      diag.records()[1].text,
      L"trainedMethods=(2 | )\nkeepMaskedPixels=false\ntailFractions=( 0 , 1 )\n"
      L"neighborhoodSize=( 101 , 101 )\ngranularity=( 1 , 1 )\nintensityRange=( -127 , 127 )\n");

  kcDiagObject other;
  tool.train(eIdentity, &other, 0x20000);
  EXPECT_TRUE(other.records().empty());
  kcImageNormalizer masked = toolWithReference();
  masked.maskImage(makeImage(kcPelRect(0, 0, 40, 30), [](long, long) { return 1; }), true);
  masked.train(eLocalCorrection | eMatchHistogram, &other, ~0UL);
  ASSERT_EQ(other.records().size(), 3u);
  EXPECT_EQ(other.records()[1].text.substr(0, 23), L"trainedMethods=(1 | 16 ");
  EXPECT_EQ(other.records()[2].name, L"maskImage");
}

TEST(TrainedDataHelpers, NeighbourhoodsKernelsAndAngles) {
  using imgnorm::reducedNeighborhood;
  using imgnorm::smoothingKernelSize;
  EXPECT_EQ(reducedNeighborhood({101, 101}, {2, 2}), kcPair<long>(51, 51));
  EXPECT_EQ(reducedNeighborhood({101, 101}, {1, 1}), kcPair<long>(101, 101));
  EXPECT_EQ(reducedNeighborhood({100, 4}, {1, 1}), kcPair<long>(101, 5));
  EXPECT_EQ(reducedNeighborhood({1, 1}, {4, 4}), kcPair<long>(1, 1));
  const long p[] = {1, 3, 5, 51, 101}, k[] = {0, 2, 4, 26, 52};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(smoothingKernelSize({p[i], p[i]}).x(), k[i]) << p[i];
  EXPECT_TRUE(imgnorm::isSubsampling({1, 3}));
  EXPECT_FALSE(imgnorm::isSubsampling({1, 1}));
  EXPECT_FALSE(imgnorm::usesSubsampling({1, 1}, {2, 2}));

  std::vector<kcDegree> angles;
  imgnorm::makeFitAngles(angles);
  ASSERT_EQ(angles.size(), 63u);
  EXPECT_NEAR(angles[0].toDouble(), 1.736, 1e-3);
  EXPECT_NEAR(angles[31].toDouble(), 44.119, 1e-3);
  EXPECT_NEAR(angles[32].toDouble(), 46.790, 1e-3);
  EXPECT_NEAR(angles[62].toDouble(), 88.264, 1e-3);
  EXPECT_NEAR(angles[3].toDouble(), 6.911, 1e-3);
  for (std::size_t i = 1; i < angles.size(); ++i)
    EXPECT_LT(angles[i - 1].toDouble(), angles[i].toDouble());
}

TEST(TrainedDataHelpers, SmoothToFixedPointRestoresTheSourceTransform) {
  kcPelBuffer<unsigned char> src = makeImage(kcPelRect(0, 0, 20, 10), [](long, long) { return 3; });
  const kc2XformHandle shifted = kc2XformLinear::handle(kcXform<2>::scaleAndTranslate(1, 1, 5, 5));
  src.imageFromClientXformBase(shifted);
  kcPelBuffer<unsigned short> out;
  imgnorm::smoothToFixedPoint(src, {5, 5}, out);
  EXPECT_EQ(src.imageFromClientXformBase(), shifted);
  EXPECT_EQ(out.clientFromImageXformBase(), src.clientFromImageXformBase());
  for (long y = 0; y < 10; ++y)
    for (long x = 0; x < 20; ++x) ASSERT_EQ(out.get(x, y), 3 * 128);
}
