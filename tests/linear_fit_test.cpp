#include "imgnorm/linear_fit.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "host/exceptions.h"
#include "imaging/pel_equal.h"
#include "imgnorm/image_normalizer.h"
#include "imgnorm/trained_data.h"
#include "test_support.h"

using namespace imgnorm;
using testing_support::makeImage;
using testing_support::randomImage;

namespace {

using Image = kcPelBuffer<unsigned char>;

std::vector<kcDegree> angles() {
  std::vector<kcDegree> a;
  makeFitAngles(a);
  return a;
}

// gain and offset found by the whole pipeline up to the line fit.
kcPair<double> fittedGainOffset(const Image& templ, const kcPelBuffer_const<unsigned char>& mask,
                                const Image& run) {
  const PairCounts pairs = countPairs(run, templ, mask);
  const Image logHistogram = jointLogHistogram(pairs, mask.isBound() ? 255 : 1);
  std::vector<kcPelBuffer<unsigned long>> projections;
  const auto table = angles();
  projectAtAngles(logHistogram, table, 3, table.size() - 4, projections);
  double peak = 0;
  long chosen = -1;
  strongestProjection(projections, peak, chosen);
  const Image band = ridgeBand(logHistogram, projections[chosen], peak);
  kcPair<double> gainOffset(0, 0);
  EXPECT_TRUE(fitPairsInBand(pairs, band, gainOffset));
  EXPECT_EQ(gainOffset, fitLine(pairs, mask.isBound() ? 255 : 1, table));
  return gainOffset;
}

Image texture(const kcPelRect& r, unsigned lo, unsigned hi) { return randomImage(r, lo, hi); }

}  // namespace

TEST(LinearFit, RefusesUnboundImages) {
  const Image img = texture(kcPelRect(0, 0, 8, 8), 0, 255);
  for (int which = 0; which < 2; ++which) {
    try {
      countPairs(which ? img : Image(), which ? Image() : img, Image());
      FAIL();
    } catch (const kcImageNormalizerDefs::BadImage& e) {
      EXPECT_EQ(e.message(), L"Both template image and run-time image must be bound.");
    }
  }
}

TEST(LinearFit, IdenticalImagesMapEveryLevelToItself) {
  const Image templ = texture(kcPelRect(0, 0, 64, 48), 0, 255);
  const auto map = gainOffsetMap(fitLine(countPairs(templ, templ, Image()), 1, angles()));
  for (int g = 0; g < 256; ++g) ASSERT_EQ(map[g], g);
}

TEST(LinearFit, RecoversGainAndOffset) {
  const Image templ = texture(kcPelRect(0, 0, 80, 60), 0, 255);
  const Image run =
      makeImage(kcPelRect(0, 0, 80, 60), [&](long x, long y) { return templ.get(x, y) / 2 + 20; });
  const kcPair<double> g = fittedGainOffset(templ, Image(), run);
  EXPECT_NEAR(g.x(), 2.0, 0.02);
  EXPECT_NEAR(g.y(), -40.0, 1.5);
}

TEST(LinearFit, StaysOnTheDominantRelationDespiteOutliers) {
  const Image templ = texture(kcPelRect(0, 0, 100, 80), 0, 255);
  std::uniform_int_distribution<int> noise(0, 255), pick(0, 4);
  const Image randomOutliers = makeImage(kcPelRect(0, 0, 100, 80), [&](long x, long y) {
    return pick(testing_support::rng()) == 0 ? noise(testing_support::rng())
                                             : templ.get(x, y) / 2 + 20;
  });
  kcPair<double> g = fittedGainOffset(templ, Image(), randomOutliers);
  EXPECT_NEAR(g.x(), 2.0, 0.05);
  EXPECT_NEAR(g.y(), -40.0, 3.0);

  const Image secondRelation = makeImage(kcPelRect(0, 0, 100, 80), [&](long x, long y) {
    return (x + y) % 5 == 0 ? 255 - templ.get(x, y) / 3 : templ.get(x, y) / 2 + 20;
  });
  g = fittedGainOffset(templ, Image(), secondRelation);
  EXPECT_NEAR(g.x(), 2.0, 0.05);
  EXPECT_NEAR(g.y(), -40.0, 3.0);
}

TEST(LinearFit, PairsPelsByImageCoordinatesOverTheCommonWindow) {
  const Image templ = texture(kcPelRect(0, 0, 90, 70), 0, 255);
  const Image run = makeImage(kcPelRect(30, 20, 90, 70), [&](long x, long y) {
    return x < 90 && y < 70 ? templ.get(x, y) / 2 + 20 : 0;
  });
  const Image mask = makeImage(kcPelRect(10, 10, 100, 55), [](long, long) { return 1; });
  const kcPair<double> g = fittedGainOffset(templ, mask, run);
  EXPECT_NEAR(g.x(), 2.0, 0.03);
  EXPECT_NEAR(g.y(), -40.0, 2.0);
}

TEST(LinearFit, WeightsScaleTheHistogramButSelectTheSamePels) {
  const Image templ =
      makeImage(kcPelRect(0, 0, 20, 20), [](long x, long y) { return (x * 13 + y * 7) % 256; });
  const Image ones =
      makeImage(kcPelRect(0, 0, 20, 20), [](long x, long) { return x < 10 ? 1 : 0; });
  const Image full =
      makeImage(kcPelRect(0, 0, 20, 20), [](long x, long) { return x < 10 ? 255 : 0; });
  const PairCounts pairs = countPairs(templ, templ, ones);
  EXPECT_EQ(pairs, countPairs(templ, templ, full));
  const Image a = jointLogHistogram(pairs, 1);
  const Image b = jointLogHistogram(pairs, 255);
  EXPECT_FALSE(kfPelEqual(a, b));
  // With weights of 255 a cell with a single pel survives the logarithm.
  bool singleCellSurvives = false;
  for (long r = 0; r < 33; ++r)
    for (long c = 0; c < 33; ++c) singleCellSurvives |= a.get(c, r) == 1 && b.get(c, r) > 0;
  EXPECT_TRUE(singleCellSurvives);
  for (long r = 0; r < 33; ++r)
    for (long c = 0; c < 33; ++c) ASSERT_EQ(a.get(c, r) == 0, b.get(c, r) == 0);
}

TEST(LinearFit, LogScalingBelowAndAbove255) {
  const Image one = makeImage(kcPelRect(0, 0, 1, 1), [](long, long) { return 100; });
  const Image heavy = makeImage(kcPelRect(0, 0, 1, 1), [](long, long) { return 255; });
  Image h = jointLogHistogram(countPairs(one, one, heavy), 255);
  EXPECT_EQ(h.get((100 + 4) >> 3, (100 + 4) >> 3), 255);  // count 255 copied as is

  // 256 equal pels and one other: the full cell becomes 255, the single 0.
  const Image many =
      makeImage(kcPelRect(0, 0, 257, 1), [](long x, long) { return x == 0 ? 200 : 8; });
  h = jointLogHistogram(countPairs(many, many, Image()), 1);
  EXPECT_EQ(h.get(1, 1), 255);
  EXPECT_EQ(h.get(25, 25), 0);
  long nonZero = 0;
  for (long r = 0; r < 33; ++r)
    for (long c = 0; c < 33; ++c) nonZero += h.get(c, r) != 0;
  EXPECT_EQ(nonZero, 1);
}

TEST(LinearFit, MirroredBoxSumsAndPeakTies) {
  std::vector<unsigned long> sums;
  boxSumMirrored({1, 2, 3, 4, 5}, 1, sums);
  EXPECT_EQ(sums, (std::vector<unsigned long>{5, 6, 9, 12, 13}));
  boxSumMirrored({1, 2, 3, 4, 5}, 2, sums);
  EXPECT_EQ(sums, (std::vector<unsigned long>{1 + 2 * 2 + 2 * 3, 2 + 1 + 2 + 3 + 4, 15,
                                              2 + 3 + 4 + 5 + 4, 5 + 2 * 4 + 2 * 3}));
  boxSumMirrored({0xFFFFFFFFUL, 1, 0}, 1, sums);
  EXPECT_EQ(sums[1], 0u);  // 32-bit arithmetic wraps

  kcPair<double> peak;
  smoothedPeak({0, 3, 0, 0, 3, 0}, 1, peak);
  EXPECT_EQ(peak, kcPair<double>(0.0, 6.0));  // v[0] + 2 v[1] ties with later sums; the first wins
  smoothedPeak({0, 0, 0, 0}, 1, peak);
  EXPECT_EQ(peak, kcPair<double>(0.0, 0.0));
}

TEST(LinearFit, EqualPeaksChooseTheSmallerAngle) {
  std::vector<kcPelBuffer<unsigned long>> projections(3);
  const unsigned long values[3][5] = {{0, 1, 5, 1, 0}, {0, 1, 7, 1, 0}, {7, 1, 0, 1, 0}};
  for (int j = 0; j < 3; ++j) {
    projections[j] = kcPelBuffer<unsigned long>(5, 1, 32);
    for (long x = 0; x < 5; ++x) projections[j].set(x, 0, values[j][x]);
  }
  double peak = -1;
  long chosen = -1;
  strongestProjection(projections, peak, chosen);
  EXPECT_EQ(chosen, 1);  // 9 from projection 1 ties 9 from projection 2
  EXPECT_EQ(peak, 2.0);
}

TEST(LinearFit, ABrightCellLiesInsideItsBand) {
  for (std::size_t entry : {3u, 20u, 31u, 32u, 45u, 59u}) {
    for (const auto& cell : {kcPair<long>(5, 9), kcPair<long>(16, 16), kcPair<long>(30, 2)}) {
      Image h(33, 33, 32);
      h.set(cell.x(), cell.y(), 255);
      kcPelBuffer<unsigned long> projection;
      projectAtAngle(h, angles()[entry], projection);
      const unsigned long* row = projection.pointToOffset();
      kcPair<double> peak;
      smoothedPeak(std::vector<unsigned long>(row, row + projection.width()), 1, peak);
      const Image band = ridgeBand(h, projection, peak.x());
      EXPECT_EQ(band.get(cell.x(), cell.y()), 255) << entry;
    }
  }
}

// A constant run-time image gives a vertical line: no gain or offset to report.
TEST(LinearFit, AVerticalFitReportsNoGainOffset) {
  const Image templ = texture(kcPelRect(0, 0, 20, 20), 0, 255);
  const Image run = makeImage(kcPelRect(0, 0, 20, 20), [](long, long) { return 100; });
  const Image band = makeImage(kcPelRect(0, 0, 33, 33), [](long, long) { return 255; });
  kcPair<double> gainOffset(7, 7);
  EXPECT_FALSE(fitPairsInBand(countPairs(run, templ, Image()), band, gainOffset));
  EXPECT_EQ(gainOffset, kcPair<double>(7, 7));
}

TEST(LinearFit, MapRoundsHalvesAwayFromZeroAndClamps) {
  auto r = gainOffsetMap(kcPair<double>(0.0, 2.5));
  EXPECT_EQ(r[0], 3);
  EXPECT_EQ(r[255], 3);
  r = gainOffsetMap(kcPair<double>(0.0, -2.5));
  EXPECT_EQ(r[7], 0);
  r = gainOffsetMap(kcPair<double>(1.0, 0.5));
  EXPECT_EQ(r[0], 1);
  EXPECT_EQ(r[254], 255);
  EXPECT_EQ(r[255], 255);
  r = gainOffsetMap(kcPair<double>(2.0, -100.0));
  EXPECT_EQ(r[49], 0);
  EXPECT_EQ(r[50], 0);
  EXPECT_EQ(r[51], 2);
  EXPECT_EQ(r[178], 255);
}

TEST(LinearFit, RankPairsCoupleHistogramsOfDifferentSizes) {
  // 4 run-time pels against 8 reference pels: each run-time level meets the
  // two reference levels at its cumulative fraction.
  std::vector<unsigned long> run(256, 0), reference(256, 0);
  run[10] = 2, run[20] = 2;
  reference[100] = 4, reference[200] = 4;
  const PairCounts pairs = rankPairs(run, reference);
  EXPECT_EQ(pairs[10 * 256 + 100], 2u);
  EXPECT_EQ(pairs[20 * 256 + 200], 2u);
  unsigned long total = 0;
  for (auto n : pairs) total += n;
  EXPECT_EQ(total, 4u);
  EXPECT_DOUBLE_EQ(shareNearLine(pairs, kcPair<double>(10.0, 0.0), 0.0), 1.0);
  EXPECT_DOUBLE_EQ(shareNearLine(pairs, kcPair<double>(10.0, 1.0), 0.5), 0.0);
}

TEST(LinearFit, RunFailsLoudlyWhenEverythingIsMaskedOut) {
  kcImageNormalizer tool;
  tool.referenceImage(texture(kcPelRect(0, 0, 20, 20), 0, 255), true);
  tool.maskImage(Image(20, 20), true);
  tool.train(kcImageNormalizerDefs::eLinearlyFitGrayValues);
  bool success = true;
  std::wstring message;
  try {
    tool.run(texture(kcPelRect(0, 0, 20, 20), 0, 255),
             kcImageNormalizerDefs::eLinearlyFitGrayValues, success, message);
    FAIL();
  } catch (const kcHostError& e) {
    EXPECT_EQ(e.message(), L"Cannot fit a line to fewer than two distinct points.");
  }
}

TEST(LinearFit, RunMapsTheRegionThroughTheFittedLine) {
  const Image templ = texture(kcPelRect(0, 0, 64, 64), 0, 255);
  const Image run =
      makeImage(kcPelRect(0, 0, 64, 64), [&](long x, long y) { return templ.get(x, y) / 2 + 20; });
  kcImageNormalizer tool;
  tool.referenceImage(templ, true);
  tool.train(kcImageNormalizerDefs::eLinearlyFitGrayValues);
  bool success = false;
  std::wstring message;
  const Image result =
      tool.run(run, kcImageNormalizerDefs::eLinearlyFitGrayValues, success, message);
  ASSERT_TRUE(success);
  for (long y = 0; y < 64; ++y)
    for (long x = 0; x < 64; ++x)
      ASSERT_NEAR(result.get(x, y), templ.get(x, y), 3) << x << "," << y;
}
