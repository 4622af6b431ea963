#include "imgnorm/detail/local_correction.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>

#include "imgnorm/image_normalizer.h"
#include "test_support.h"

using namespace kcImageNormalizerDefs;
using namespace testing_support;

namespace {

constexpr long W = 120, H = 100;

const Image& reference() {
  static const Image ref = randomImage(kcPelRect(0, 0, W, H), 60, 190);
  return ref;
}

// The reference changed pel by pel.
template <class F>
Image fromReference(F&& f) {
  return makeImage(reference().window(),
                   [&](long x, long y) { return f(reference().get(x, y), x, y); });
}
// The reference plus a ramp of -40 .. +40 across the image.
const Image& withRamp() {
  static const Image ramp =
      fromReference([](int v, long x, long) { return v - 40 + (80 * x) / (W - 1); });
  return ramp;
}

bool inBand(long x) { return x >= 50 && x < 60; }  // masked out by the band mask

struct Config {
  Method method = eLocalCorrection;
  kcPair<long> neighborhood{21, 21}, granularity{1, 1}, range{-127, 127};
  bool mask = false, keep = false;
};

Image correct(const Config& s, const Image& run) {
  kcImageNormalizer tool;
  tool.referenceImage(reference(), true);
  if (s.mask)
    tool.maskImage(
        makeImage(kcPelRect(0, 0, W, H), [](long x, long) { return inBand(x) ? 0 : 255; }), true);
  tool.neighborhoodSize(s.neighborhood);
  tool.granularity(s.granularity);
  tool.train(s.method);
  tool.set(kcPair<double>(0, 1), s.range, s.keep);
  const RunOutcome r = runTool(tool, run, s.method);
  EXPECT_TRUE(r.success && r.message.empty());
  return r.result;
}

// Largest deviation from the reference over pels at least `margin` from the border and, with
// the mask, from the band.
int worstDeviation(const Image& result, long margin, bool mask) {
  int worst = 0;
  for (long y = margin; y < H - margin; ++y)
    for (long x = margin; x < W - margin; ++x)
      if (!mask || x < 50 - margin || x >= 60 + margin)
        worst = std::max(worst, std::abs(result.get(x, y) - reference().get(x, y)));
  return worst;
}

class LocalCorrection : public ::testing::TestWithParam<Method> {};

}  // namespace

TEST_P(LocalCorrection, ReturnsTheReferenceAndRemovesASmoothRamp) {
  Config s;
  s.method = GetParam();
  for (bool mask : {false, true}) {
    s.mask = mask;
    s.granularity = kcPair<long>(1, 1);
    EXPECT_EQ(worstDeviation(correct(s, reference()), 0, mask), 0) << "mask " << mask;
    for (long g : {1L, 4L}) {
      s.granularity = kcPair<long>(g, g);
      EXPECT_LE(worstDeviation(correct(s, withRamp()), 11, mask), 2)
          << "mask " << mask << " g " << g;
    }
  }
  // Outside the mask: kept as they were, or without subsampling over a background of 0.
  s.granularity = kcPair<long>(1, 1);
  for (bool keep : {true, false}) {
    s.keep = keep;
    const Image result = correct(s, withRamp());
    for (long y = 0; y < H; ++y)
      for (long x = 50; x < 60; ++x)
        if (keep || GetParam() == eLocalCorrection) {
          ASSERT_EQ(result.get(x, y),
                    keep ? withRamp().get(x, y) : std::min(255, withRamp().get(x, y) + 128));
        }
  }
}

// The range limits the correction; darker than the range moves to its edge (no difference in the
// median's range 118..168: the background is the difference clamped to 118, which lifts by 10).
TEST_P(LocalCorrection, RangeLimitsTheCorrection) {
  Config s;
  s.method = GetParam();
  s.range = kcPair<long>(-10, 40);
  const Image brighter = fromReference([](int v, long, long) { return v + 60; });
  EXPECT_TRUE(
      samePels(correct(s, brighter), fromReference([](int v, long, long) { return v + 20; })));
  if (GetParam() == eLocalCorrectionEnhanced) {
    const Image darker = fromReference([](int v, long, long) { return v - 30; });
    EXPECT_TRUE(
        samePels(correct(s, darker), fromReference([](int v, long, long) { return v - 20; })));
  }
  // Ranges beyond the gray scale, to the ends of a long, act as the widest meaningful one.
  const Image run = fromReference([](int v, long x, long) { return v / 2 + x; });
  Config huge = s;
  s.range = kcPair<long>(-255, 255);
  huge.range = kcPair<long>(std::numeric_limits<long>::min(), std::numeric_limits<long>::max());
  EXPECT_TRUE(samePels(correct(huge, run), correct(s, run)));
}

INSTANTIATE_TEST_SUITE_P(BothMethods, LocalCorrection,
                         ::testing::Values(eLocalCorrection, eLocalCorrectionEnhanced));

// A one-pel neighbourhood makes the background the difference itself.
TEST(LocalCorrectionDetails, OnePelNeighbourhoodReturnsTheReferenceWithinTheLimit) {
  Config s;
  s.method = eLocalCorrectionEnhanced;
  s.neighborhood = kcPair<long>(1, 1);
  s.granularity = kcPair<long>(2, 2);
  s.range = kcPair<long>(-20, 20);
  const Image run = randomImage(reference().window(), 0, 255);
  Image result = correct(s, run);
  for (long y = 0; y < H; ++y)
    for (long x = 0; x < W; ++x)
      ASSERT_TRUE(std::abs(run.get(x, y) - reference().get(x, y)) > 20 ||
                  result.get(x, y) == reference().get(x, y));
  s = Config();  // masked, with granularity: divides at full resolution
  s.neighborhood = kcPair<long>(1, 1);
  s.granularity = kcPair<long>(4, 4);
  s.mask = true;
  result = correct(s, withRamp());
  for (long y = 0; y < H; ++y)
    for (long x = 0; x < W; ++x)
      ASSERT_TRUE(inBand(x) || result.get(x, y) == reference().get(x, y)) << x << "," << y;
}

// A neighbourhood one pel wide is still a median along its other side: the
// differences of pel noise are not the background.
TEST(LocalCorrectionDetails, OnePelWideNeighbourhoodTakesTheMedianAlongTheOther) {
  Config s;
  s.method = eLocalCorrectionEnhanced;
  s.neighborhood = kcPair<long>(1, 21);
  const Image noisy = makeImage(reference().window(), [](long x, long y) {
    return std::clamp(reference().get(x, y) + (x * 7 + y * 13) % 21 - 10, 0L, 255L);
  });
  const Image result = correct(s, noisy);
  long differing = 0;
  for (long y = 0; y < H; ++y)
    for (long x = 0; x < W; ++x) differing += result.get(x, y) != reference().get(x, y);
  EXPECT_GT(differing, W * H / 2);
}

TEST(LocalCorrectionDetails, MedianKernelAreaIsCapped) {
  EXPECT_EQ(imgnorm::medianKernel({301, 301}), kcPair<long>(181, 181));
  EXPECT_EQ(imgnorm::medianKernel({51, 51}), kcPair<long>(51, 51));
  EXPECT_EQ(imgnorm::medianKernel({4, 6}), kcPair<long>(5, 7));
  EXPECT_EQ(imgnorm::medianKernel({100001, 3}), kcPair<long>(10921, 3));
  EXPECT_EQ(imgnorm::medianKernel({1L << 60, 1L << 60}), kcPair<long>(181, 181));
}
