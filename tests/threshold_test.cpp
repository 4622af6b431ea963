#include "pelfuncs/adjust_window.h"
#include "pelfuncs/threshold.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <vector>

#include "host/exceptions.h"
#include "imaging/threshold_wgv.h"
#include "test_support.h"

namespace {

using namespace testing_support;
using Histogram = std::vector<unsigned long>;

const kcXform<2> kSomeXform = kcXform<2>::scaleAndTranslate(1.5, 1.5, -2.0, 7.0);

long wgv(const Histogram& h, long lo = 0, long hi = -1) {
  kcThresholdResult result;
  kfThresholdWGV(h, result, lo, hi);
  return result.threshold();
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

// ---- kf_PelThreshold and kf_MaskedPelThreshold ----

TEST(PelThreshold, FixedAndAutomaticThresholds) {
  Image src = makeImage(kcPelRect(-3, 4, 256, 2), [](long x, long) { return x + 3; });
  setXform(src, kSomeXform);
  for (int threshold : {0, 1, 128, 255}) {
    const Image out = kf_PelThreshold(src, static_cast<unsigned char>(threshold));
    ASSERT_EQ(out.window(), src.window());
    EXPECT_NE(out.root(), src.root());
    EXPECT_EQ(out.clientFromImageXform(), kSomeXform);
    EXPECT_TRUE(
        pelsAre(out, src.window(), [&](long x, long) { return x + 3 >= threshold ? 255 : 0; }));
  }
  // 30 and 35 are close and many; 200 is far: the split is {30, 35} | {200}.
  const Image bimodal = makeImage(kcPelRect(0, 0, 30, 10),
                                  [](long x, long y) { return y == 9 ? 200 : (x % 2 == 0 ? 30 : 35); });
  EXPECT_TRUE(pelsAre(kf_PelThreshold(bimodal), bimodal.window(),
                      [](long, long y) { return y == 9 ? 255 : 0; }));
  EXPECT_EQ(kf_PelThreshold(constant(kcPelRect(0, 0, 5, 5), 90)).get(2, 2), 255);
  EXPECT_THROW(kf_PelThreshold(Image(), 10), kcPel::UnboundWindow);
  EXPECT_THROW(kf_PelThreshold(Image()), kcPel::UnboundWindow);
}

TEST(MaskedPelThreshold, RandomWindowsMatchTheReference) {
  for (int trial = 0; trial < 60; ++trial) {
    const Image src = randomView(randomWindow(45, 45));
    const Image mask = randomView(randomWindow(45, 45), 0, 2);
    const Image dst = randomView(randomWindow(45, 45));
    const Image before = kfPelCopy<unsigned char>(dst);
    const int threshold = static_cast<int>(uniform(0, 255));
    Image handle = dst;
    kf_MaskedPelThreshold(src, mask, static_cast<unsigned char>(threshold), handle);
    EXPECT_EQ(handle.root(), dst.root());
    ASSERT_TRUE(pelsAre(dst, dst.window(),
                        [&](long x, long y) {
                          if (!inside(src.window(), x, y) || !inside(mask.window(), x, y))
                            return int(before.get(x, y));
                          return mask.get(x, y) != 0 && src.get(x, y) >= threshold ? 255 : 0;
                        }))
        << "trial " << trial;
  }
}

TEST(MaskedPelThreshold, UnboundInputsAndDestinations) {
  Image dst = constant(kcPelRect(0, 0, 50, 50), 9);
  const Image old = dst;
  EXPECT_THROW(kf_MaskedPelThreshold(Image(), randomImage(kcPelRect(0, 0, 4, 4)), 5, dst),
               kcPel::UnboundWindow);
  EXPECT_EQ(dst.root(), old.root());
  Image src = randomImage(kcPelRect(1, 2, 40, 30));
  setXform(src, kSomeXform);
  // An unbound mask rebinds the destination to a plain threshold.
  kf_MaskedPelThreshold(src, Image(), 100, dst);
  EXPECT_NE(dst.root(), old.root());
  EXPECT_EQ(old.get(5, 5), 9);
  EXPECT_TRUE(samePels(dst, kf_PelThreshold(src, 100)));
  Image fresh;
  kf_MaskedPelThreshold(src, constant(kcPelRect(20, -4, 30, 10), 1), 0, fresh);
  EXPECT_EQ(fresh.window(), kcPelRect(20, 2, 21, 4));
  EXPECT_EQ(fresh.clientFromImageXform(), kSomeXform);
  EXPECT_EQ(fresh.get(25, 3), 255);
  Image disjoint;
  kf_MaskedPelThreshold(src, randomImage(kcPelRect(41, 0, 5, 5)), 0, disjoint);
  EXPECT_FALSE(disjoint.isBound());
}

// ---- kf_AdjustWindow ----

TEST(AdjustWindow, RelabelsLargeEnoughStorageElseAllocates) {
  for (const kcPelRect& r : {kcPelRect(10, 20, 80, 120), kcPelRect(-4, 0, 120, 80)}) {
    const Image storage = randomImage(kcPelRect(0, 0, 100, 100));
    const unsigned char firstPel = storage.get(0, 0);
    Image buffer = storage;
    kf_AdjustWindow(buffer, r);
    EXPECT_NE(buffer.root(), storage.root());
    EXPECT_EQ(buffer.window(), r);
    EXPECT_EQ(buffer.get(r.x(), r.y()), 0);
    EXPECT_EQ(storage.get(0, 0), firstPel);
  }
  const Image storage = randomImage(kcPelRect(0, 0, 100, 100));
  Image buffer = storage;
  buffer.window(kcPelRect(30, 30, 10, 10), false);  // a narrow view: its storage is what counts
  kf_AdjustWindow(buffer, kcPelRect(-5, 7, 80, 100));
  EXPECT_EQ(buffer.root(), storage.root());
  EXPECT_EQ(buffer.window(), kcPelRect(-5, 7, 80, 100));
  for (long y = 0; y < 100; y += 9)
    for (long x = 0; x < 80; x += 7) ASSERT_EQ(buffer.get(x - 5, y + 7), storage.get(x, y));
  Image unbound;
  kf_AdjustWindow(unbound, kcPelRect(3, -2, 7, 5));
  EXPECT_EQ(unbound.window(), kcPelRect(3, -2, 7, 5));
}

}  // namespace
