#include "pelfuncs/adjust_window.h"
#include "pelfuncs/threshold.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <vector>

#include "host/exceptions.h"
#include "imaging/pel_copy.h"
#include "imaging/pel_equal.h"
#include "imaging/threshold_wgv.h"
#include "tests/test_support.h"

namespace {

using testing_support::makeImage;
using testing_support::randomImage;
using testing_support::rng;

using Image = kcPelBuffer<unsigned char>;
using Histogram = std::vector<unsigned long>;

const kcXform<2> kSomeXform = kcXform<2>::scaleAndTranslate(1.5, 1.5, -2.0, 7.0);

bool inside(const kcPelRect& r, long x, long y) { return r.contains(kcPair<long>(x, y)); }

long wgv(const Histogram& h, long lo = 0, long hi = -1) {
  kcThresholdResult result;
  kfThresholdWGV(h, result, lo, hi);
  return result.threshold();
}

Histogram withCounts(std::initializer_list<std::pair<int, unsigned long>> counts) {
  Histogram h(256, 0);
  for (const auto& [level, count] : counts) h[level] = count;
  return h;
}

// Brute force: the within-group variance of every split that leaves pels on
// both sides, each class's variance taken about its own mean.
long bruteForceWgv(const Histogram& h, long lo, long hi) {
  auto classSquares = [&h](long from, long to, double& count) {
    double sum = 0.0;
    count = 0.0;
    for (long g = from; g < to; ++g) {
      count += static_cast<double>(h[g]);
      sum += static_cast<double>(g) * static_cast<double>(h[g]);
    }
    double squares = 0.0;
    for (long g = from; g < to; ++g) {
      const double d = static_cast<double>(g) - sum / count;
      squares += d * d * static_cast<double>(h[g]);
    }
    return squares;
  };
  long best = -1;
  double bestWithin = std::numeric_limits<double>::infinity();
  for (long t = lo + 1; t <= hi; ++t) {
    double below = 0.0, above = 0.0;
    const double within = classSquares(lo, t, below) + classSquares(t, hi + 1, above);
    if (below == 0.0 || above == 0.0) continue;
    if (within < bestWithin * (1.0 - 1e-12)) {
      best = t;
      bestWithin = within;
    }
  }
  return best;
}

// ---- kfThresholdWGV ----

TEST(ThresholdWGV, SplitsTwoLevelsJustAboveTheLowerOne) {
  EXPECT_EQ(wgv(withCounts({{40, 100}, {200, 50}})), 41);
  EXPECT_EQ(wgv(withCounts({{0, 1}, {255, 1}})), 1);
}

TEST(ThresholdWGV, SeparatesTheTwoModesOfABimodalHistogram) {
  // Two clusters around 50 and 180: the split falls in the gap between them.
  Histogram h(256, 0);
  for (int g = 40; g <= 60; ++g) h[g] = 100;
  for (int g = 170; g <= 190; ++g) h[g] = 60;
  EXPECT_EQ(wgv(h), 61);
}

TEST(ThresholdWGV, TiesGoToTheLowestThreshold) {
  // {10} | {20, 30} and {10, 20} | {30} both leave a within-group sum of 50.
  EXPECT_EQ(wgv(withCounts({{10, 1}, {20, 1}, {30, 1}})), 11);
}

TEST(ThresholdWGV, OneOccupiedLevelGivesThatLevelAndNoPelsGiveLo) {
  EXPECT_EQ(wgv(withCounts({{100, 1000}})), 100);
  EXPECT_EQ(wgv(withCounts({{0, 7}})), 0);
  EXPECT_EQ(wgv(withCounts({{255, 7}})), 255);
  EXPECT_EQ(wgv(Histogram(256, 0)), 0);
  EXPECT_EQ(wgv(Histogram(256, 0), 5, 100), 5);
}

TEST(ThresholdWGV, OnlyTheRangeLoToHiCounts) {
  const Histogram h = withCounts({{10, 500}, {100, 20}, {120, 20}, {250, 500}});
  EXPECT_EQ(wgv(h, 20, -1), 121);  // {100, 120} | {250}; 10 lies below the range
  EXPECT_EQ(wgv(h, 0, 200), 11);
  EXPECT_EQ(wgv(h, 11, 249), 101);
  EXPECT_EQ(wgv(h, 101, 249), 120);
  EXPECT_EQ(wgv(Histogram{3, 0, 5}, 0, -1), 1);
}

TEST(ThresholdWGV, BadRangesThrowBadParams) {
  kcThresholdResult result(42);
  EXPECT_THROW(kfThresholdWGV(Histogram(256, 1), result, -1, 255), kcPelFunc::BadParams);
  EXPECT_THROW(kfThresholdWGV(Histogram(256, 1), result, 0, 256), kcPelFunc::BadParams);
  EXPECT_THROW(kfThresholdWGV(Histogram(256, 1), result, 10, 9), kcPelFunc::BadParams);
  EXPECT_THROW(kfThresholdWGV(Histogram(), result, 0, -1), kcPelFunc::BadParams);
  EXPECT_EQ(result.threshold(), 42);
}

TEST(ThresholdWGV, RandomHistogramsMatchABruteForceSearch) {
  std::uniform_int_distribution<int> occupied(2, 40), level(0, 255);
  std::uniform_int_distribution<unsigned long> count(1, 100000);
  for (int trial = 0; trial < 40; ++trial) {
    Histogram h(256, 0);
    for (int i = occupied(rng()); i > 0; --i) h[level(rng())] += count(rng());
    const long lo = trial % 4 == 0 ? level(rng()) / 2 : 0;
    const long expected = bruteForceWgv(h, lo, 255);
    if (expected >= 0) {
      EXPECT_EQ(wgv(h, lo, -1), expected) << "trial " << trial;
    }
  }
}

// ---- kf_PelThreshold ----

TEST(PelThreshold, PelsAtOrAboveTheThresholdBecome255) {
  const Image src = makeImage(kcPelRect(-3, 4, 256, 2), [](long x, long) { return x + 3; });
  for (int threshold : {0, 1, 128, 255}) {
    const Image out = kf_PelThreshold(src, static_cast<unsigned char>(threshold));
    ASSERT_EQ(out.window(), src.window());
    for (long x = -3; x < 253; ++x)
      ASSERT_EQ(out.get(x, 5), x + 3 >= threshold ? 255 : 0) << threshold << " gray " << x + 3;
  }
}

TEST(PelThreshold, GivesANewImageWithTheSourcesTransforms) {
  Image src = randomImage(kcPelRect(2, 2, 9, 9));
  src.clientFromImageXformBase(kc2XformLinear::handle(kSomeXform));
  const Image out = kf_PelThreshold(src, 100);
  EXPECT_NE(out.root(), src.root());
  EXPECT_EQ(out.clientFromImageXform(), kSomeXform);
}

TEST(PelThreshold, UnboundSourceThrows) {
  EXPECT_THROW(kf_PelThreshold(Image(), 10), kcPel::UnboundWindow);
  EXPECT_THROW(kf_PelThreshold(Image()), kcPel::UnboundWindow);
}

TEST(PelThreshold, AutomaticThresholdComesFromTheSourceHistogram) {
  // 30 and 35 are close and many; 200 is far: the split is {30, 35} | {200}.
  const Image src = makeImage(kcPelRect(0, 0, 30, 10),
                              [](long x, long y) { return y == 9 ? 200 : (x % 2 == 0 ? 30 : 35); });
  const Image out = kf_PelThreshold(src);
  EXPECT_EQ(out.window(), src.window());
  for (long y = 0; y < 10; ++y)
    for (long x = 0; x < 30; ++x) ASSERT_EQ(out.get(x, y), y == 9 ? 255 : 0);

  const Image flat = makeImage(kcPelRect(0, 0, 5, 5), [](long, long) { return 90; });
  EXPECT_EQ(kf_PelThreshold(flat).get(2, 2), 255);
}

// ---- kf_MaskedPelThreshold ----

TEST(MaskedPelThreshold, UnboundSourceThrowsAndWritesNothing) {
  Image dst = makeImage(kcPelRect(0, 0, 4, 4), [](long, long) { return 9; });
  const void* root = dst.root();
  EXPECT_THROW(kf_MaskedPelThreshold(Image(), randomImage(kcPelRect(0, 0, 4, 4)), 5, dst),
               kcPel::UnboundWindow);
  EXPECT_EQ(dst.root(), root);
  EXPECT_EQ(dst.get(1, 1), 9);
  Image unbound;
  EXPECT_THROW(kf_MaskedPelThreshold(Image(), Image(), 5, unbound), kcPel::UnboundWindow);
  EXPECT_FALSE(unbound.isBound());
}

TEST(MaskedPelThreshold, UnboundMaskRebindsTheDestinationToAPlainThreshold) {
  const Image src = randomImage(kcPelRect(1, 2, 40, 6));
  Image dst = makeImage(kcPelRect(0, 0, 50, 50), [](long, long) { return 9; });
  const Image old = dst;
  kf_MaskedPelThreshold(src, Image(), 100, dst);
  EXPECT_NE(dst.root(), old.root());
  EXPECT_EQ(old.get(5, 5), 9);
  EXPECT_TRUE((kfPelEqual<unsigned char, unsigned char>(dst, kf_PelThreshold(src, 100))));
  EXPECT_EQ(dst.window(), src.window());
}

TEST(MaskedPelThreshold, BoundDestinationLargerThanTheOverlapGetsOnlyTheOverlap) {
  const Image src = makeImage(kcPelRect(0, 0, 20, 10), [](long x, long) { return 10 * x; });
  const Image mask =
      makeImage(kcPelRect(5, 3, 30, 30), [](long x, long) { return x % 2 == 0 ? 0 : 3; });
  const Image dst = makeImage(kcPelRect(-5, -5, 40, 40), [](long, long) { return 77; });
  Image handle = dst;
  kf_MaskedPelThreshold(src, mask, 100, handle);
  EXPECT_EQ(handle.root(), dst.root());
  EXPECT_EQ(handle.window(), dst.window());
  const kcPelRect overlap(5, 3, 15, 7);
  for (long y = -5; y < 35; ++y)
    for (long x = -5; x < 35; ++x) {
      int expected = 77;
      if (inside(overlap, x, y)) expected = (x % 2 != 0 && 10 * x >= 100) ? 255 : 0;
      ASSERT_EQ(dst.get(x, y), expected) << x << "," << y;
    }
}

TEST(MaskedPelThreshold, UnboundDestinationBecomesABufferOverTheOverlap) {
  Image src = randomImage(kcPelRect(0, 0, 30, 30));
  src.clientFromImageXformBase(kc2XformLinear::handle(kSomeXform));
  Image dst;
  kf_MaskedPelThreshold(src, makeImage(kcPelRect(20, -4, 30, 10), [](long, long) { return 1; }), 0,
                        dst);
  ASSERT_TRUE(dst.isBound());
  EXPECT_EQ(dst.window(), kcPelRect(20, 0, 10, 6));
  EXPECT_EQ(dst.clientFromImageXform(), kSomeXform);
  EXPECT_EQ(dst.get(25, 3), 255);

  Image disjoint;
  kf_MaskedPelThreshold(src, randomImage(kcPelRect(30, 0, 5, 5)), 0, disjoint);
  EXPECT_FALSE(disjoint.isBound());
}

TEST(MaskedPelThreshold, RandomWindowsMatchTheReference) {
  std::uniform_int_distribution<long> pos(-10, 10), size(1, 45);
  std::uniform_int_distribution<int> level(0, 255);
  auto window = [&] { return kcPelRect(pos(rng()), pos(rng()), size(rng()), size(rng())); };
  for (int trial = 0; trial < 60; ++trial) {
    const Image src = randomImage(window());
    const Image mask = randomImage(window(), 0, 2);
    const Image dst = randomImage(window());
    const Image before = kfPelCopy<unsigned char>(dst);
    const int threshold = level(rng());
    Image handle = dst;
    kf_MaskedPelThreshold(src, mask, static_cast<unsigned char>(threshold), handle);
    for (long y = dst.window().y(); y < dst.window().bottom(); ++y)
      for (long x = dst.window().x(); x < dst.window().right(); ++x) {
        int expected = before.get(x, y);
        if (inside(src.window(), x, y) && inside(mask.window(), x, y))
          expected = mask.get(x, y) != 0 && src.get(x, y) >= threshold ? 255 : 0;
        ASSERT_EQ(dst.get(x, y), expected) << "trial " << trial << " at " << x << "," << y;
      }
  }
}

// ---- kf_AdjustWindow ----

TEST(AdjustWindow, StorageTooSmallInEitherDirectionGivesANewBuffer) {
  for (const kcPelRect& r : {kcPelRect(10, 20, 80, 120), kcPelRect(-4, 0, 120, 80)}) {
    const Image storage = randomImage(kcPelRect(0, 0, 100, 100));
    const unsigned char firstPel = storage.get(0, 0);
    Image buffer = storage;
    kf_AdjustWindow(buffer, r);
    EXPECT_NE(buffer.root(), storage.root());
    EXPECT_EQ(buffer.window(), r);
    EXPECT_EQ(buffer.get(r.x(), r.y()), 0);
    EXPECT_EQ(storage.window(), kcPelRect(0, 0, 100, 100));
    EXPECT_EQ(storage.get(0, 0), firstPel);
  }
}

TEST(AdjustWindow, LargeEnoughStorageIsRelabeledAndKeepsItsPels) {
  const Image storage = randomImage(kcPelRect(0, 0, 100, 100));
  Image buffer = storage;
  buffer.window(kcPelRect(30, 30, 10, 10), false);  // a narrow view: its storage is what counts
  kf_AdjustWindow(buffer, kcPelRect(-5, 7, 80, 100));
  EXPECT_EQ(buffer.root(), storage.root());
  EXPECT_EQ(buffer.window(), kcPelRect(-5, 7, 80, 100));
  EXPECT_EQ(buffer.offset(), kcPair<long>(-5, 7));
  for (long y = 0; y < 100; y += 9)
    for (long x = 0; x < 80; x += 7) ASSERT_EQ(buffer.get(x - 5, y + 7), storage.get(x, y));
}

TEST(AdjustWindow, UnboundBufferGetsANewBuffer) {
  Image buffer;
  kf_AdjustWindow(buffer, kcPelRect(3, -2, 7, 5));
  ASSERT_TRUE(buffer.isBound());
  EXPECT_EQ(buffer.window(), kcPelRect(3, -2, 7, 5));
}

}  // namespace
