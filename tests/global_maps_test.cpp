#include "imgnorm/detail/global_maps.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "test_support.h"

using namespace imgnorm;
using namespace testing_support;
using Histogram = std::vector<unsigned long>;
using Map = std::vector<unsigned char>;

namespace {

Histogram randomHistogram() {
  Histogram h(256, 0);
  const long sparse = uniform(1, 12);
  for (auto& n : h) n = uniform(0, sparse) == 0 ? uniform(0, 50) : 0;
  h[uniform(0, 255)] += 1;
  return h;
}

// Slow map builders: the lowest reference level whose cumulative count reaches the run-time
// one (255 when none does), and a line through two points truncated toward zero and clamped.
Map slowHistogramMatch(const Histogram& ref, const Histogram& run) {
  Map map(256);
  unsigned long cumRun = 0;
  for (int i = 0; i < 256; ++i) {
    cumRun += run[i];
    unsigned long cumRef = 0;
    int g = 0;
    for (; g < 256 && (cumRef += ref[g]) < cumRun; ++g) {
    }
    map[i] = static_cast<unsigned char>(std::min(g, 255));
  }
  return map;
}

unsigned long total(const Histogram& h) { return std::accumulate(h.begin(), h.end(), 0UL); }

Histogram scaled(Histogram h, unsigned long factor) {
  for (auto& n : h) n *= factor;
  return h;
}

// Within one level: the two may round a value on an integer differently.
::testing::AssertionResult followsLine(const Map& map, double x0, double y0, double x1, double y1) {
  for (int i = 0; i < 256; ++i) {
    const double line = std::clamp(std::trunc(y0 + (i - x0) * (y1 - y0) / (x1 - x0)), 0.0, 255.0);
    if (map.size() != 256 || std::fabs(map[i] - line) > 1)
      return ::testing::AssertionFailure() << "level " << i;
  }
  return ::testing::AssertionSuccess();
}

}  // namespace

TEST(GlobalMaps, FollowTheSlowMapBuildersOnRandomHistograms) {
  for (int trial = 0; trial < 300; ++trial) {
    const Histogram ref = randomHistogram(), run = randomHistogram();
    const kcHistoStats r(ref), s(run);
    Map map;
    std::wstring message;
    matchHistogram(ref, run, map, message);
    ASSERT_EQ(map, slowHistogramMatch(ref, run)) << "trial " << trial;
    // Cumulative fractions compare as counts once each side is scaled by
    // the other's total.
    matchHistogramFractions(ref, run, map, message);
    ASSERT_EQ(map, slowHistogramMatch(scaled(ref, total(run)), scaled(run, total(ref))));
    if (s.sDev() > 0) {
      matchMeanAndStddev(r, s, map, message);
      ASSERT_TRUE(followsLine(map, s.mean(), r.mean(), s.mean() + s.sDev(), r.mean() + r.sDev()));
    }
    const long lo = uniform(0, 50), hi = uniform(51, 100);
    if (s.inverseCum(lo) != s.inverseCum(hi)) {
      matchHistogramTails(r, s, kcPair<long>(lo, hi), map, message);
      ASSERT_TRUE(
          followsLine(map, s.inverseCum(lo), r.inverseCum(lo), s.inverseCum(hi), r.inverseCum(hi)));
    }
    ASSERT_TRUE(message.empty());
  }
}

TEST(GlobalMaps, PinnedLevelsAndFailures) {
  Map map;
  std::wstring message;
  matchHistogram(Histogram(256, 0), histogramOf({{1, 1}}), map, message);
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(message, L"Cannot match histogram if either is empty.");
  matchHistogram(histogramOf({{1, 1}}), Histogram(256, 0), map, message);
  EXPECT_TRUE(map.empty());

  const kcHistoStats ref(histogramOf({{80, 10}, {120, 10}})),
      run(histogramOf({{40, 10}, {60, 10}}));
  matchMeanAndStddev(ref, run, map, message);  // gain 2, offset 0
  EXPECT_EQ(map[60] + map[127] + map[128] + map[255], 120 + 254 + 255 + 255);
  const kcHistoStats flat(histogramOf({{77, 5}}));
  matchMeanAndStddev(flat, run, map, message);  // a reference without spread gives its mean
  EXPECT_EQ(map, Map(256, 77));
  message.clear();
  matchMeanAndStddev(ref, flat, map, message);
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(message, L"Cannot match when standard deviation is 0.");
  matchMeanAndStddev(ref, kcHistoStats(Histogram(256, 0)), map, message);
  EXPECT_TRUE(map.empty());

  const kcHistoStats wide(histogramOf({{20, 5}, {220, 5}})), two(histogramOf({{40, 5}, {200, 5}}));
  matchHistogramTails(wide, two, kcPair<long>(0, 100), map, message);
  EXPECT_EQ(map[40] + map[41] + map[200] + map[24] + map[25], 20 + 21 + 220 + 0 + 1);
  matchHistogramTails(wide, flat, kcPair<long>(30, 30), map, message);  // equal: identity
  for (int i = 0; i < 256; ++i) ASSERT_EQ(map[i], i);
  message.clear();
  matchHistogramTails(wide, flat, kcPair<long>(0, 100), map, message);
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(message, L"Cannot match the specified tails for this image.");
}

// Cumulative counts past 2^32 (images of more pels than 32 bits count) do
// not wrap: 32-bit sums would reach 6e9 mod 2^32 = 1.7e9 at level 200 and
// stop short of the reference's second level.
TEST(GlobalMaps, HistogramMatchingCountsPast32Bits) {
  const unsigned long big = 3000000000UL;
  Map map;
  std::wstring message;
  matchHistogram(histogramOf({{50, big}, {100, big}}), histogramOf({{10, big}, {200, big}}), map,
                 message);
  ASSERT_EQ(map.size(), 256u);
  EXPECT_EQ(map[10], 50);
  EXPECT_EQ(map[199], 50);
  EXPECT_EQ(map[200], 100);
}

TEST(GlobalMaps, TailPercentagesRoundHalvesAwayFromZero) {
  EXPECT_EQ(tailPercentages(kcPair<double>(0.0, 1.0)), kcPair<long>(0, 100));
  EXPECT_EQ(tailPercentages(kcPair<double>(0.005, 0.995)), kcPair<long>(1, 100));
  EXPECT_EQ(tailPercentages(kcPair<double>(0.204, 0.206)), kcPair<long>(20, 21));
  EXPECT_EQ(tailPercentages(kcPair<double>(NAN, 0.5)), kcPair<long>(0, 50));
  EXPECT_EQ(roundHalfAwayFromZero(-2.5), -3);
  EXPECT_EQ(roundHalfAwayFromZero(-2.4), -2);
}

TEST(HistoStats, CountsMeanDeviationAndInverseCumulative) {
  const kcHistoStats s(histogramOf({{10, 1}, {20, 2}, {30, 1}}));
  EXPECT_EQ(s.nSamp(), 4u);
  EXPECT_DOUBLE_EQ(s.mean(), 20.0);
  EXPECT_DOUBLE_EQ(s.sDev(), std::sqrt(50.0));
  const int percent[] = {-5, 0, 25, 26, 75, 76, 100, 150};
  const long level[] = {10, 10, 10, 20, 20, 30, 30, 30};  // 25: 100 * 1 >= 25 * 4
  for (int i = 0; i < 8; ++i) EXPECT_EQ(s.inverseCum(percent[i]), level[i]) << percent[i];
  EXPECT_EQ(kcHistoStats(Histogram(256, 0)).nSamp(), 0u);
  EXPECT_EQ(kcHistoStats(Histogram(256, 0)).inverseCum(50), 0);
  EXPECT_EQ(kcHistoStats(histogramOf({{0, 1}, {255, 1}})).inverseCum(50), 0);  // level 0 counts
}
