#include "imgnorm/local_correction.h"

#include <gtest/gtest.h>

#include <limits>

#include <cstdlib>

#include "imgnorm/image_normalizer.h"
#include "imaging/pel_equal.h"
#include "test_support.h"

using namespace kcImageNormalizerDefs;
using testing_support::makeImage;
using testing_support::randomImage;

namespace {

using Image = kcPelBuffer<unsigned char>;

constexpr long W = 120, H = 100;

Image reference() {
  static const Image ref = randomImage(kcPelRect(0, 0, W, H), 60, 190);
  return ref;
}

// The reference plus a ramp of -40 .. +40 across the image.
Image withRamp(const Image& ref) {
  return makeImage(ref.window(),
                   [&](long x, long y) { return ref.get(x, y) - 40 + (80 * x) / (W - 1); });
}

// A mask with a vertical band of zeros at x in 50..59.
Image bandMask() {
  return makeImage(kcPelRect(0, 0, W, H), [](long x, long) { return x >= 50 && x < 60 ? 0 : 255; });
}

struct CorrectionSetup {
  Method method = eLocalCorrection;
  kcPair<long> neighborhood{21, 21};
  kcPair<long> granularity{1, 1};
  kcPair<long> range{-127, 127};
  bool mask = false;
  bool keep = false;
};

Image correct(const CorrectionSetup& s, const Image& run) {
  kcImageNormalizer tool;
  tool.referenceImage(reference(), true);
  if (s.mask) tool.maskImage(bandMask(), true);
  tool.neighborhoodSize(s.neighborhood);
  tool.granularity(s.granularity);
  tool.train(s.method);
  tool.set(kcPair<double>(0, 1), s.range, s.keep);
  bool success = false;
  std::wstring message;
  Image result = tool.run(run, s.method, success, message);
  EXPECT_TRUE(success);
  EXPECT_TRUE(message.empty());
  return result;
}

// Largest deviation from the reference over pels at least `margin` from the
// border and, with the mask, from the band.
int worstDeviation(const Image& result, long margin, bool mask) {
  int worst = 0;
  const Image ref = reference();
  for (long y = margin; y < H - margin; ++y)
    for (long x = margin; x < W - margin; ++x) {
      if (mask && x >= 50 - margin && x < 60 + margin) continue;
      worst = std::max(worst, std::abs(result.get(x, y) - ref.get(x, y)));
    }
  return worst;
}

class LocalCorrection : public ::testing::TestWithParam<Method> {};

}  // namespace

TEST_P(LocalCorrection, ReferenceComesBackUnchanged) {
  for (bool mask : {false, true}) {
    CorrectionSetup s;
    s.method = GetParam();
    s.mask = mask;
    const Image result = correct(s, reference());
    EXPECT_EQ(worstDeviation(result, 0, mask), 0) << "mask " << mask;
  }
}

TEST_P(LocalCorrection, RemovesASmoothIlluminationRamp) {
  for (bool mask : {false, true}) {
    for (long g : {1L, 4L}) {
      CorrectionSetup s;
      s.method = GetParam();
      s.mask = mask;
      s.granularity = kcPair<long>(g, g);
      const Image result = correct(s, withRamp(reference()));
      EXPECT_LE(worstDeviation(result, 11, mask), 2) << "mask " << mask << " granularity " << g;
    }
  }
}

TEST_P(LocalCorrection, PelsOutsideTheMaskWithAndWithoutKeep) {
  CorrectionSetup s;
  s.method = GetParam();
  s.mask = true;
  s.keep = true;
  const Image run = withRamp(reference());
  Image result = correct(s, run);
  for (long y = 0; y < H; ++y)
    for (long x = 50; x < 60; ++x) ASSERT_EQ(result.get(x, y), run.get(x, y));
  s.keep = false;
  result = correct(s, run);
  if (GetParam() == eLocalCorrection) {
    // Without subsampling the background there is 0: brightened by 128.
    for (long y = 0; y < H; ++y)
      for (long x = 50; x < 60; ++x)
        ASSERT_EQ(result.get(x, y), std::min(255, run.get(x, y) + 128));
  }
}

TEST_P(LocalCorrection, RangeLimitsTheCorrection) {
  CorrectionSetup s;
  s.method = GetParam();
  s.range = kcPair<long>(-10, 40);
  const Image ref = reference();
  const Image brighter =
      makeImage(ref.window(), [&](long x, long y) { return ref.get(x, y) + 60; });
  Image result = correct(s, brighter);
  for (long y = 0; y < H; ++y)
    for (long x = 0; x < W; ++x) ASSERT_EQ(result.get(x, y), ref.get(x, y) + 20);
}

INSTANTIATE_TEST_SUITE_P(BothMethods, LocalCorrection,
                         ::testing::Values(eLocalCorrection, eLocalCorrectionEnhanced));

TEST(LocalCorrectionEnhanced, DarkerThanTheRangeMovesToItsEdge) {
  CorrectionSetup s;
  s.method = eLocalCorrectionEnhanced;
  s.range = kcPair<long>(-10, 40);
  const Image ref = reference();
  const Image darker = makeImage(ref.window(), [&](long x, long y) { return ref.get(x, y) - 30; });
  const Image result = correct(s, darker);
  // No difference lies in the median's range 118..168: the background is
  // the difference clamped to the range, 118, which lifts every pel by 10.
  for (long y = 0; y < H; ++y)
    for (long x = 0; x < W; ++x) ASSERT_EQ(result.get(x, y), ref.get(x, y) - 20);
}

// Ranges wider than the gray scale, to the ends of a long, act as the widest
// meaningful one.
TEST(LocalCorrection, RangesBeyondTheGrayScaleActAsTheWidest) {
  const Image ref = reference();
  const Image run = makeImage(ref.window(), [&](long x, long y) { return ref.get(x, y) / 2 + x; });
  for (Method method : {eLocalCorrection, eLocalCorrectionEnhanced}) {
    CorrectionSetup widest, huge;
    widest.method = huge.method = method;
    widest.range = kcPair<long>(-255, 255);
    huge.range = kcPair<long>(std::numeric_limits<long>::min(), std::numeric_limits<long>::max());
    EXPECT_TRUE((kfPelEqual<unsigned char, unsigned char>(correct(huge, run), correct(widest, run))));
  }
}

TEST(LocalCorrectionEnhanced, DefectSurvivesAtFullContrast) {
  CorrectionSetup s;
  s.method = eLocalCorrectionEnhanced;
  s.neighborhood = kcPair<long>(41, 41);
  const Image ref = reference();
  const Image run = makeImage(ref.window(), [&](long x, long y) {
    const int lit = ref.get(x, y) - 40 + (80 * x) / (W - 1);
    return x >= 50 && x < 65 && y >= 40 && y < 55 ? std::min(255, lit + 60) : lit;
  });
  const Image result = correct(s, run);
  // The defect's share of the window moves the median by a level or two.
  for (long y = 40; y < 55; ++y)
    for (long x = 50; x < 65; ++x)
      ASSERT_NEAR(result.get(x, y), std::min(255, ref.get(x, y) + 60), 4);
}

TEST(LocalCorrectionEnhanced, OnePelNeighbourhoodReturnsTheReferenceWithinTheLimit) {
  CorrectionSetup s;
  s.method = eLocalCorrectionEnhanced;
  s.neighborhood = kcPair<long>(1, 1);
  s.granularity = kcPair<long>(2, 2);
  s.range = kcPair<long>(-20, 20);
  const Image ref = reference();
  const Image run = randomImage(ref.window(), 0, 255);
  const Image result = correct(s, run);
  for (long y = 0; y < H; ++y)
    for (long x = 0; x < W; ++x) {
      if (std::abs(run.get(x, y) - ref.get(x, y)) <= 20) {
        ASSERT_EQ(result.get(x, y), ref.get(x, y));
      }
    }
}

TEST(LocalCorrectionDetails, MaskedOnePelNeighbourhoodWithGranularityDividesAtFullResolution) {
  CorrectionSetup s;
  s.neighborhood = kcPair<long>(1, 1);
  s.granularity = kcPair<long>(4, 4);
  s.mask = true;
  const Image run = withRamp(reference());
  const Image result = correct(s, run);
  // A one-pel neighbourhood makes the background the difference itself.
  for (long y = 0; y < H; ++y)
    for (long x = 0; x < W; ++x)
      if (x < 50 || x >= 60) {
        ASSERT_EQ(result.get(x, y), reference().get(x, y)) << x << "," << y;
      }
}

TEST(LocalCorrectionDetails, MaskSmallerOrOffsetFromTheImages) {
  kcImageNormalizer tool;
  tool.referenceImage(reference(), true);
  tool.maskImage(makeImage(kcPelRect(-10, 5, 90, 200), [](long, long) { return 1; }), true);
  tool.neighborhoodSize(kcPair<long>(21, 21));
  tool.granularity(kcPair<long>(4, 4));
  tool.train(eLocalCorrection | eLocalCorrectionEnhanced);
  for (Method m : {eLocalCorrection, eLocalCorrectionEnhanced}) {
    bool success = false;
    std::wstring message;
    const Image result = tool.run(withRamp(reference()), m, success, message);
    ASSERT_EQ(result.window(), kcPelRect(0, 5, 80, 95));
    for (long y = 16; y < 100 - 11; ++y)
      for (long x = 11; x < 80 - 11; ++x)
        ASSERT_NEAR(result.get(x, y), reference().get(x, y), 2) << m;
  }
}

TEST(LocalCorrectionDetails, MedianKernelAreaIsCapped) {
  EXPECT_EQ(imgnorm::medianKernel({301, 301}), kcPair<long>(181, 181));
  EXPECT_EQ(imgnorm::medianKernel({51, 51}), kcPair<long>(51, 51));
  EXPECT_EQ(imgnorm::medianKernel({4, 6}), kcPair<long>(5, 7));
  const kcPair<long> wide = imgnorm::medianKernel({100001, 3});
  EXPECT_EQ(wide, kcPair<long>(10921, 3));
  const kcPair<long> huge = imgnorm::medianKernel({1L << 60, 1L << 60});
  EXPECT_LE(huge.x() * huge.y(), 32767);
  EXPECT_EQ(huge, kcPair<long>(181, 181));
}
