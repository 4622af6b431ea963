#include "imgnorm/global_maps.h"

#include <gtest/gtest.h>

#include <random>

#include "test_support.h"

using imgnorm::matchHistogram;
using imgnorm::matchHistogramTails;
using imgnorm::matchMeanAndStddev;

namespace {

std::vector<unsigned long> histogramOf(std::initializer_list<std::pair<int, unsigned long>> bins) {
  std::vector<unsigned long> h(256, 0);
  for (const auto& [level, count] : bins) h[level] = count;
  return h;
}

// The lowest reference level whose cumulative count reaches the run-time
// cumulative count, 255 when none does.
std::vector<unsigned char> slowHistogramMatch(const std::vector<unsigned long>& ref,
                                              const std::vector<unsigned long>& run) {
  std::vector<unsigned char> map(256);
  unsigned long cumRun = 0;
  for (int i = 0; i < 256; ++i) {
    cumRun += run[i];
    unsigned long cumRef = 0;
    int g = 0;
    for (; g < 256; ++g) {
      cumRef += ref[g];
      if (cumRef >= cumRun) break;
    }
    map[i] = static_cast<unsigned char>(g == 256 ? 255 : g);
  }
  return map;
}

}  // namespace

TEST(MatchHistogram, FollowsTheCumulativeCountRuleOnRandomHistograms) {
  std::uniform_int_distribution<int> occupied(0, 3), count(0, 50);
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<unsigned long> ref(256), run(256);
    for (int g = 0; g < 256; ++g) {
      ref[g] = occupied(testing_support::rng()) == 0 ? count(testing_support::rng()) : 0;
      run[g] = occupied(testing_support::rng()) == 0 ? count(testing_support::rng()) : 0;
    }
    ref[10] += 1;
    run[200] += 1;
    std::vector<unsigned char> map;
    std::wstring message;
    matchHistogram(ref, run, map, message);
    ASSERT_EQ(map, slowHistogramMatch(ref, run)) << "trial " << trial;
    EXPECT_TRUE(message.empty());
  }
}

TEST(MatchHistogram, IdenticalHistogramsMapOccupiedLevelsToThemselves) {
  const auto h = histogramOf({{3, 5}, {10, 7}, {200, 1}});
  std::vector<unsigned char> map;
  std::wstring message;
  matchHistogram(h, h, map, message);
  EXPECT_EQ(map[3], 3);
  EXPECT_EQ(map[10], 10);
  EXPECT_EQ(map[200], 200);
  EXPECT_EQ(map[0], 0);    // nothing occupied below
  EXPECT_EQ(map[50], 10);  // highest occupied level below
  EXPECT_EQ(map[255], 200);
}

TEST(MatchHistogram, MoreRunTimePelsThanReferenceSaturateAt255) {
  std::vector<unsigned char> map;
  std::wstring message;
  matchHistogram(histogramOf({{100, 10}}), histogramOf({{50, 10}, {60, 5}}), map, message);
  EXPECT_EQ(map[50], 100);
  EXPECT_EQ(map[60], 255);
}

TEST(MatchHistogram, EmptyHistogramFailsWithMessage) {
  std::vector<unsigned char> map;
  std::wstring message;
  matchHistogram(std::vector<unsigned long>(256, 0), histogramOf({{1, 1}}), map, message);
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(message, L"Cannot match histogram if either is empty.");
}

TEST(MatchMeanAndStddev, GainAndOffsetTruncateAndClamp) {
  const kcHistoStats ref(histogramOf({{80, 10}, {120, 10}}));  // mean 100, sdev 20
  const kcHistoStats run(histogramOf({{40, 10}, {60, 10}}));   // mean 50, sdev 10
  std::vector<unsigned char> map;
  std::wstring message;
  matchMeanAndStddev(ref, run, map, message);
  ASSERT_EQ(map.size(), 256u);
  EXPECT_EQ(map[60], 120);
  EXPECT_EQ(map[127], 254);
  for (int i = 128; i < 256; ++i) EXPECT_EQ(map[i], 255);
  EXPECT_TRUE(message.empty());
}

TEST(MatchMeanAndStddev, ReferenceWithoutSpreadGivesItsTruncatedMean) {
  const kcHistoStats ref(histogramOf({{99, 2}, {100, 1}}));  // mean 99.33, sdev > 0
  const kcHistoStats flat(histogramOf({{77, 5}}));           // sdev 0
  const kcHistoStats run(histogramOf({{10, 1}, {20, 1}}));
  std::vector<unsigned char> map;
  std::wstring message;
  matchMeanAndStddev(flat, run, map, message);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(map[i], 77);
  matchMeanAndStddev(ref, flat, map, message);
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(message, L"Cannot match when standard deviation is 0.");
}

TEST(MatchHistogramTails, LinearMapThroughTheTailLevels) {
  const kcHistoStats ref(histogramOf({{20, 5}, {220, 5}}));
  const kcHistoStats run(histogramOf({{40, 5}, {200, 5}}));
  std::vector<unsigned char> map;
  std::wstring message;
  matchHistogramTails(ref, run, kcPair<long>(0, 100), map, message);
  ASSERT_EQ(map.size(), 256u);
  EXPECT_EQ(map[40], 20);
  EXPECT_EQ(map[41], 21);  // 21.25 truncated
  EXPECT_EQ(map[200], 220);
  for (int i = 0; i <= 24; ++i) EXPECT_EQ(map[i], 0) << i;
  EXPECT_EQ(map[25], 1);
  EXPECT_EQ(map[255], 255);
}

TEST(MatchHistogramTails, EqualPercentagesGiveIdentityAndCoincidingLevelsFail) {
  const kcHistoStats ref(histogramOf({{20, 5}, {220, 5}}));
  const kcHistoStats run(histogramOf({{40, 5}}));
  std::vector<unsigned char> map;
  std::wstring message;
  matchHistogramTails(ref, run, kcPair<long>(30, 30), map, message);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(map[i], i);
  matchHistogramTails(ref, run, kcPair<long>(0, 100), map, message);
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(message, L"Cannot match the specified tails for this image.");
}

TEST(TailPercentages, RoundHalvesAwayFromZero) {
  EXPECT_EQ(imgnorm::tailPercentages(kcPair<double>(0.0, 1.0)), kcPair<long>(0, 100));
  EXPECT_EQ(imgnorm::tailPercentages(kcPair<double>(0.005, 0.995)), kcPair<long>(1, 100));
  EXPECT_EQ(imgnorm::tailPercentages(kcPair<double>(0.204, 0.206)), kcPair<long>(20, 21));
  EXPECT_EQ(imgnorm::roundHalfAwayFromZero(-2.5), -3);
  EXPECT_EQ(imgnorm::roundHalfAwayFromZero(2.5), 3);
  EXPECT_EQ(imgnorm::roundHalfAwayFromZero(-2.4), -2);
}

TEST(HistoStats, CountsMeanDeviationAndInverseCumulative) {
  const kcHistoStats s(histogramOf({{10, 1}, {20, 2}, {30, 1}}));
  EXPECT_EQ(s.nSamp(), 4u);
  EXPECT_DOUBLE_EQ(s.mean(), 20.0);
  EXPECT_DOUBLE_EQ(s.sDev(), std::sqrt(50.0));
  EXPECT_EQ(s.inverseCum(0), 10);
  EXPECT_EQ(s.inverseCum(25), 10);  // 100 * 1 >= 25 * 4
  EXPECT_EQ(s.inverseCum(26), 20);
  EXPECT_EQ(s.inverseCum(75), 20);
  EXPECT_EQ(s.inverseCum(76), 30);
  EXPECT_EQ(s.inverseCum(100), 30);
  EXPECT_EQ(s.inverseCum(150), 30);
  EXPECT_EQ(kcHistoStats().nSamp(), 0u);
  EXPECT_EQ(kcHistoStats(std::vector<unsigned long>(256, 0)).nSamp(), 0u);
}
