#include "imgnorm/detail/linear_fit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "imgnorm/detail/trained_data.h"
#include "imgnorm/image_normalizer.h"
#include "test_support.h"

using namespace imgnorm;
using namespace testing_support;

namespace {

std::vector<kcDegree> angles() {
  std::vector<kcDegree> a;
  makeFitAngles(a);
  return a;
}

// Gain and offset found by the whole pipeline up to the line fit, step by step.
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
  EXPECT_EQ(gainOffset, fitLine(pairs, mask.isBound() ? 255 : 1, table).value());
  return gainOffset;
}

}  // namespace

// Pairs over the common window of offset views (mask storage going on past it), masked pels in
// runs of lengths either side of a word of eight, at any level.
TEST(LinearFit, CountsThePairsOfTheCommonWindowWhereTheMaskIsSet) {
  for (int trial = 0; trial < 40; ++trial) {
    const auto window = [] {
      return kcPelRect(uniform(-4, 4), uniform(-2, 2), uniform(24, 60), 6);
    };
    const Image run = randomView(window()), templ = randomView(window());
    const long lengths[] = {1, 2, 7, 8, 9, 16};
    long runLeft = 0;
    bool set = false;
    Image mask = makeImage(kcPelRect(-9, -3, 78, 12), [&](long, long) {
      if (runLeft-- <= 0) set = !set, runLeft = lengths[uniform(0, 5)] - 1;
      return set ? uniform(1, 255) : 0;
    });
    mask.window(window(), false);  // its storage goes on past the window
    const kcPelBuffer_const<unsigned char> masks[] = {mask, Image()};
    for (const auto& m : masks) {
      PairCounts expected(256 * 256, 0);
      for (long y = -20; y < 30; ++y)
        for (long x = -20; x < 80; ++x)
          if (inside(run.window(), x, y) && inside(templ.window(), x, y) &&
              (!m.isBound() || (inside(m.window(), x, y) && m.get(x, y))))
            ++expected[run.get(x, y) * 256 + templ.get(x, y)];
      ASSERT_EQ(countPairs(run, templ, m), expected) << trial;
    }
  }
}

// run = templ / 2 + 20 over the common window of offset images (partly masked), despite a
// fifth of random outliers or a second relation: gain 2, offset -40.
TEST(LinearFit, RecoversGainAndOffsetOverTheCommonWindow) {
  const Image templ = randomImage(kcPelRect(0, 0, 100, 80));
  const auto line = [&](long x, long y) { return templ.get(x, y) / 2 + 20; };
  const Image runs[] = {
      makeImage(templ.window(), line),
      makeImage(templ.window(),
                [&](long x, long y) { return uniform(0, 4) ? line(x, y) : uniform(0, 255); }),
      makeImage(
          templ.window(),
          [&](long x, long y) { return (x + y) % 5 ? line(x, y) : 255 - templ.get(x, y) / 3; }),
      makeImage(kcPelRect(30, 20, 90, 70),
                [&](long x, long y) { return x < 100 && y < 80 ? line(x, y) : 0; })};
  for (int i = 0; i < 4; ++i) {
    const Image mask = i == 3 ? constant(kcPelRect(10, 10, 100, 55), 1) : Image();
    const kcPair<double> g = fittedGainOffset(templ, mask, runs[i]);
    EXPECT_NEAR(g.x(), 2.0, i ? 0.05 : 0.02) << i;
    EXPECT_NEAR(g.y(), -40.0, i ? 3.0 : 1.5) << i;
  }
  const auto map = gainOffsetMap(fitLine(countPairs(templ, templ, Image()), 1, angles()).value());
  for (int g = 0; g < 256; ++g) ASSERT_EQ(map[g], g);
  EXPECT_EQ(
      messageOf<kcImageNormalizerDefs::BadImage>([&] { countPairs(templ, Image(), Image()); }),
      L"Both template image and run-time image must be bound.");
  EXPECT_THROW(countPairs(Image(), templ, Image()), kcImageNormalizerDefs::BadImage);
  // A constant run-time image gives a vertical line: no gain or offset to report.
  kcPair<double> gainOffset(7, 7);
  EXPECT_FALSE(fitPairsInBand(countPairs(constant(kcPelRect(0, 0, 20, 20), 100), templ, Image()),
                              constant(kcPelRect(0, 0, 33, 33), 255), gainOffset));
  EXPECT_EQ(gainOffset, kcPair<double>(7, 7));
}

TEST(LinearFit, BoxSumsPeaksAndBands) {
  // Log scaling rounds to nearest (ln 31 / ln 1000 x 255 = 126.8); the share counts level 0.
  PairCounts pairs(256 * 256, 0);
  pairs[0] = 1000, pairs[256 * 256 - 1] = 31;
  const Image logHistogram = jointLogHistogram(pairs, 1);
  EXPECT_EQ(logHistogram.get(0, 0) * 1000 + logHistogram.get(32, 32), 255 * 1000 + 127);
  EXPECT_DOUBLE_EQ(shareNearLine(pairs, kcPair<double>(0.0, 255.0), 8.0), 31.0 / 1031.0);
  // Joint cells count past 2^32: 2^24 + 2^20 pels under a mask of 255s.
  pairs[0] = (1UL << 24) + (1UL << 20);
  const Image masked = jointLogHistogram(pairs, 255);
  EXPECT_EQ(masked.get(0, 0), 255);
  EXPECT_EQ(masked.get(32, 32),
            std::lround(std::log(31.0 * 255) / std::log(255.0 * pairs[0]) * 255));
  std::vector<unsigned long> sums;
  boxSumMirrored({1, 2, 3, 4, 5}, 1, sums);
  EXPECT_EQ(sums, (std::vector<unsigned long>{5, 6, 9, 12, 13}));
  boxSumMirrored({1, 2, 3, 4, 5}, 2, sums);
  EXPECT_EQ(sums, (std::vector<unsigned long>{11, 12, 15, 18, 19}));
  boxSumMirrored({0xFFFFFFFFUL, 1, 0}, 1, sums);
  EXPECT_EQ(sums[1], 0u);  // 32-bit arithmetic wraps
  kcPair<double> peak;
  smoothedPeak({0, 3, 0, 0, 3, 0}, 1, peak);
  EXPECT_EQ(peak, kcPair<double>(0.0, 6.0));  // ties: the first wins
  smoothedPeak({0, 0, 0, 0}, 1, peak);
  EXPECT_EQ(peak, kcPair<double>(0.0, 0.0));
  // Equal peaks choose the smaller angle.
  std::vector<kcPelBuffer<unsigned long>> projections(3);
  const unsigned long values[3][5] = {{0, 1, 5, 1, 0}, {0, 1, 7, 1, 0}, {7, 1, 0, 1, 0}};
  for (int j = 0; j < 3; ++j)
    projections[j] =
        makeImage<unsigned long>(kcPelRect(0, 0, 5, 1), [&](long x, long) { return values[j][x]; });
  double best = -1;
  long chosen = -1;
  strongestProjection(projections, best, chosen);
  EXPECT_EQ(chosen, 1);
  EXPECT_EQ(best, 2.0);
  // A bright cell lies inside its band.
  for (std::size_t entry : {3u, 20u, 31u, 32u, 45u, 59u})
    for (const auto& cell : {kcPair<long>(5, 9), kcPair<long>(16, 16), kcPair<long>(30, 2)}) {
      Image h(33, 33, 32);
      h.set(cell.x(), cell.y(), 255);
      kcPelBuffer<unsigned long> projection;
      projectAtAngle(h, angles()[entry], projection);
      const unsigned long* row = projection.pointToOffset();
      smoothedPeak(std::vector<unsigned long>(row, row + projection.width()), 1, peak);
      EXPECT_EQ(ridgeBand(h, projection, peak.x()).get(cell.x(), cell.y()), 255) << entry;
    }
}

TEST(LinearFit, MapRoundsHalvesAwayFromZeroAndClampsAndRanksPair) {
  const double cases[][4] = {{0, 2.5, 0, 3},     {0, 2.5, 255, 3},   {0, -2.5, 7, 0},
                             {1, 0.5, 0, 1},     {1, 0.5, 254, 255}, {1, 0.5, 255, 255},
                             {2, -100, 49, 0},   {2, -100, 50, 0},   {2, -100, 51, 2},
                             {2, -100, 178, 255}};
  for (const auto& c : cases)
    EXPECT_EQ(gainOffsetMap(kcPair<double>(c[0], c[1]))[c[2]], c[3]) << c[0] << " " << c[1];
  // At 12 bits the offset is scaled by 4095 / 255; the ends clamp to 0 and 4095.
  const double wideCases[][4] = {{2, 0, 2047, 4094}, {2, 0, 2048, 4095},        {2, 0, 4095, 4095},
                                 {1, -255, 4095, 0}, {1, -255, 4096 - 4095, 0}, {0.5, 0.5, 3, 10},
                                 {3, -51, 300, 81}};
  for (const auto& c : wideCases)
    EXPECT_EQ(wideGainOffsetMap(kcPair<double>(c[0], c[1]), 12)[static_cast<std::size_t>(c[2])],
              c[3])
        << c[0] << " " << c[1] << " " << c[2];
  // 4 run-time pels against 8 reference pels: each run-time level meets the reference level at
  // its cumulative fraction.
  std::vector<unsigned long> run(256, 0), reference(256, 0);
  run[10] = run[20] = 2;
  reference[100] = reference[200] = 4;
  const PairCounts pairs = rankPairs(run, reference);
  EXPECT_EQ(pairs[10 * 256 + 100], 2u);
  EXPECT_EQ(pairs[20 * 256 + 200], 2u);
  unsigned long total = 0;
  for (auto n : pairs) total += n;
  EXPECT_EQ(total, 4u);
  EXPECT_DOUBLE_EQ(shareNearLine(pairs, kcPair<double>(10.0, 0.0), 0.0), 1.0);
  EXPECT_DOUBLE_EQ(shareNearLine(pairs, kcPair<double>(10.0, 1.0), 0.5), 0.0);
}
