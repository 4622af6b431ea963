#include "imaging/median.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

#include "host/detail/cpu_dispatch.h"
#include "host/exceptions.h"
#include "test_support.h"

namespace {

using namespace testing_support;

// The median at (x, y) found the slow way, by sorting: the kernel reaches
// k / 2 left (up) and (k - 1) / 2 right (down), cut to the working window.
template <class T>
unsigned referenceMedian(const kcPelBuffer_const<T>& src, const Image* mask, const kcPelRect& work,
                         const kcPelMedianParams& p, long x, long y) {
  const long kx = p.kernel().x(), ky = p.kernel().y();
  const long lo = p.valueRange().x(), hi = p.valueRange().y();
  const kcPelRect kernel = kcPelRect(x - kx / 2, y - ky / 2, kx, ky) & work;
  std::vector<unsigned> values;
  for (long v = kernel.y(); v < kernel.bottom(); ++v)
    for (long u = kernel.x(); u < kernel.right(); ++u) {
      const long value = src.get(u, v);
      if (value < lo || value > hi || (mask && mask->get(u, v) == 0)) continue;
      values.push_back(static_cast<unsigned>(value));
    }
  if (values.empty()) return static_cast<unsigned>(std::clamp<long>(src.get(x, y), lo, hi));
  std::sort(values.begin(), values.end());
  return values[(values.size() - 1) / 2];
}

template <class T>
void expectMedianMatches(const kcPelBuffer_const<T>& src, const Image* mask,
                         const kcPelMedianParams& p, const kcPelBuffer<T>& dst) {
  const kcPelRect work = mask ? src.window() & mask->window() : src.window();
  const kcPelRect r = work & dst.window();
  for (long y = r.y(); y < r.bottom(); ++y)
    for (long x = r.x(); x < r.right(); ++x)
      ASSERT_EQ(dst.get(x, y), referenceMedian(src, mask, work, p, x, y))
          << "at " << x << "," << y << " kernel " << p.kernel().x() << "x" << p.kernel().y()
          << " range " << p.valueRange().x() << ".." << p.valueRange().y();
}

// A mask of 0 and random non-zero values with about the given share of
// zeros.
Image randomMask(const kcPelRect& window, int zeroPercent) {
  std::uniform_int_distribution<int> d(0, 99), v(1, 255);
  return makeImage(window, [&](long, long) { return d(rng()) < zeroPercent ? 0 : v(rng()); });
}

kcPair<long> randomRange() {
  std::uniform_int_distribution<long> d(0, 255);
  const long a = d(rng()), b = d(rng());
  return {std::min(a, b), std::max(a, b)};
}

TEST(PelMedianParams, RefusesBadKernelsAndRanges) {
  EXPECT_NO_THROW(kcPelMedianParams(kcPair<long>(181, 181), kcPair<long>(0, 255)));
  EXPECT_NO_THROW(kcPelMedianParams(kcPair<long>(1, 32767), kcPair<long>(7, 7)));
  const kcPair<long> full(0, 255), one(1, 1);
  const std::pair<kcPair<long>, kcPair<long>> refused[] = {
      {{182, 181}, full}, {{32768, 1}, full}, {{0, 3}, full}, {{3, 0}, full},
      {one, {-1, 5}},     {one, {6, 5}},      {one, {0, 256}}};
  for (const auto& [kernel, range] : refused)
    EXPECT_THROW(kcPelMedianParams(kernel, range), kcPelFunc::BadParams) << kernel.x();
  // Wide ranges: up to the largest level given, which is at most 2^17 - 1;
  // the 8-bit median refuses what it cannot hold.
  constexpr long wide = kcPelMedianParams::maxWideLevel;
  EXPECT_NO_THROW(kcPelMedianParams(one, {0, wide}, wide));
  EXPECT_THROW(kcPelMedianParams(one, {0, wide + 1}, wide), kcPelFunc::BadParams);
  EXPECT_THROW(kcPelMedianParams(one, {0, 9}, wide + 1), kcPelFunc::BadParams);
  EXPECT_THROW(kcPelMedianParams(one, {0, 9}, 254), kcPelFunc::BadParams);
  Image dst;
  EXPECT_THROW(
      kfPelMedian(randomImage(kcPelRect(0, 0, 4, 4)), kcPelMedianParams(one, {0, 256}, wide), dst),
      kcPelFunc::BadParams);
}

// Half the trials with a mask; an unbound destination becomes the window of source and mask,
// and of a bound one only the part in that window changes.
TEST(PelMedian, MatchesBruteForceOnRandomImagesWithAndWithoutAMask) {
  std::uniform_int_distribution<long> k(1, 15);
  std::uniform_int_distribution<int> zeros(0, 100);
  for (int trial = 0; trial < 160; ++trial) {
    const Image src = randomView(randomWindow(40, 30));
    const Image mask = randomMask(randomWindow(40, 30), zeros(rng()));
    const bool masked = trial % 2;
    const kcPair<long> range = trial % 3 == 0 ? kcPair<long>(0, 255) : randomRange();
    kcPelMedianParams p(kcPair<long>(k(rng()), k(rng())), range);
    const kcPlainKernelsScope plain(trial % 4 >= 2);
    const kcPelRect work = masked ? src.window() & mask.window() : src.window();
    Image dst = trial % 3 ? Image() : randomView(randomWindow(40, 30));
    const Image before = dst.isBound() ? snapshotOf(dst) : Image();
    masked ? kfPelMedian(src, mask, p, dst) : kfPelMedian(src, p, dst);
    expectMedianMatches(src, masked ? &mask : nullptr, p, dst);
    if (!before.isBound()) {
      ASSERT_EQ(dst.window(), work);
    } else {
      const Image all = entireOf(dst);
      ASSERT_TRUE(pelsAre(all, all.window(), [&](long x, long y) {
        return inside(work & dst.window(), x, y) ? all.get(x, y) : before.get(x, y);
      }));
    }
  }
}

// Line, oversized and the largest kernels, and rows wide enough for several strips of column
// histograms, with and without a mask.
TEST(PelMedian, ExtremeKernelsAndWideImages) {
  const struct {
    Image src, mask;
    std::vector<kcPair<long>> kernels;
  } cases[] = {{randomView(kcPelRect(3, -2, 23, 17)),
                randomMask(kcPelRect(0, 0, 30, 30), 40),
                {{1, 9}, {12, 1}, {1, 1}, {60, 2}, {3, 50}, {80, 80}, {1, 32767}, {32767, 1}}},
               {randomView(kcPelRect(-7, 2, 2100, 7), 60, 200),
                randomMask(kcPelRect(-50, 0, 2200, 20), 30),
                {{3, 3}, {181, 5}, {400, 3}, {1, 2}}}};
  for (const auto& c : cases)
    for (const kcPair<long> k : c.kernels)
      for (const kcPair<long> range : {kcPair<long>(0, 255), kcPair<long>(80, 180)}) {
        const kcPelMedianParams p(k, range);
        const kcPlainKernelsScope plain(k.x() == 181 || k.y() == 50);
        Image dst, masked;
        kfPelMedian(c.src, p, dst);
        expectMedianMatches(c.src, nullptr, p, dst);
        kfPelMedian(c.src, c.mask, p, masked);
        expectMedianMatches(c.src, &c.mask, p, masked);
      }
}

TEST(PelMedian, InPlace) {
  const Image src = randomView(kcPelRect(0, 0, 25, 20));
  const kcPelMedianParams p(kcPair<long>(7, 5), kcPair<long>(20, 240));
  Image inPlace = kfPelCopy<unsigned char>(src);
  kfPelMedian(inPlace, p, inPlace);
  Image expected;
  kfPelMedian(src, p, expected);
  EXPECT_TRUE(samePels(inPlace, expected));
}

TEST(PelMedian, TakesTransformsOfTheSourceAndRefusesUnboundInput) {
  Image src = randomImage(kcPelRect(0, 0, 10, 10));
  setXform(src, kcXform<2>::scaleAndTranslate(3, 3, 0, 1));
  const kcPelMedianParams p(kcPair<long>(3, 3), kcPair<long>(0, 255));
  Image dst;
  kfPelMedian(src, randomMask(kcPelRect(2, 2, 20, 20), 10), p, dst);
  EXPECT_EQ(dst.window(), kcPelRect(2, 2, 8, 8));
  EXPECT_EQ(dst.clientFromImageXform(), src.clientFromImageXform());
  const Image unbound;
  Image none;
  EXPECT_THROW(kfPelMedian(unbound, p, none), kcPel::UnboundWindow);
  EXPECT_THROW(kfPelMedian(src, unbound, p, none), kcPel::UnboundWindow);
  EXPECT_THROW(kfPelMedian(unbound, src, p, none), kcPel::UnboundWindow);
  EXPECT_FALSE(none.isBound());
}

}  // namespace

namespace {

using WideImage = kcPelBuffer<unsigned>;

// Wide pels as differences are: an offset of 2^16 and a spread around it,
// the range one of a narrow window, +-4095 or the whole 17 bits.
WideImage randomWideView(const kcPelRect& window, long spread) {
  WideImage b = randomImage<unsigned>(
      window.trim(-uniform(0, 3), -uniform(0, 3), -uniform(0, 3), -uniform(0, 3), false),
      static_cast<unsigned>(65536 - spread), static_cast<unsigned>(65536 + spread));
  b.window(window, false);
  return b;
}

kcPair<long> randomWideRange(long spread) {
  if (spread >= 65535) return {uniform(0, 3), kcPelMedianParams::maxWideLevel - uniform(0, 3)};
  const long a = 65536 + uniform(-spread, spread), b = 65536 + uniform(-spread, spread);
  return {std::min(a, b), std::max(a, b)};
}

}  // namespace

// The wide median against sorting, with and without a mask, on narrow, 13-
// and 17-bit spreads and ranges; destinations unbound, bound over part of
// the window, or the source itself.
TEST(PelMedian, WidePelsMatchSortingWithAndWithoutAMask) {
  std::uniform_int_distribution<int> zeros(0, 100);
  for (int trial = 0; trial < 120; ++trial) {
    const long spread = std::array<long, 3>{40, 4095, 65535}[trial % 3];
    const WideImage src = randomWideView(randomWindow(36, 28), spread);
    const Image mask = randomMask(randomWindow(36, 28), zeros(rng()));
    const bool masked = trial % 2;
    const kcPelMedianParams p(kcPair<long>(uniform(1, 40), uniform(1, 15)), randomWideRange(spread),
                              kcPelMedianParams::maxWideLevel);
    const kcPlainKernelsScope plain(trial % 4 >= 2);
    WideImage dst = trial % 5 == 0 ? randomWideView(randomWindow(36, 28), 9) : WideImage();
    const kcPelRect work = masked ? src.window() & mask.window() : src.window();
    const WideImage before = dst.isBound() ? kfPelCopy<unsigned>(dst) : WideImage();
    masked ? kfPelMedian(src, mask, p, dst) : kfPelMedian(src, p, dst);
    expectMedianMatches<unsigned>(src, masked ? &mask : nullptr, p, dst);
    if (!before.isBound()) {
      ASSERT_EQ(dst.window(), work);
    } else {
      ASSERT_TRUE(pelsAre(dst, dst.window(), [&](long x, long y) {
        return inside(work, x, y) ? dst.get(x, y) : before.get(x, y);
      }));
    }
    if (trial % 7 == 0) {
      WideImage inPlace = kfPelCopy<unsigned>(src);
      kfPelMedian(inPlace, p, inPlace);
      expectMedianMatches<unsigned>(src, nullptr, p, inPlace);
    }
  }
  // Rows wide enough for several strips of column histograms.
  for (const long spread : {4095L, 65535L}) {
    const WideImage src = randomWideView(kcPelRect(-3, 1, 700, 5), spread);
    const Image mask = randomMask(kcPelRect(0, 0, 800, 9), 30);
    const kcPelMedianParams p({41, 3}, randomWideRange(spread), kcPelMedianParams::maxWideLevel);
    WideImage dst, masked;
    kfPelMedian(src, p, dst);
    expectMedianMatches<unsigned>(src, nullptr, p, dst);
    kfPelMedian(src, mask, p, masked);
    expectMedianMatches<unsigned>(src, &mask, p, masked);
  }
}

// Ranges whose level counts lie on either side of a power of two (bins just
// full or one level over), and line and oversized kernels.
TEST(PelMedian, WideRangesAtBinEdgesAndExtremeKernels) {
  const kcPair<long> ranges[] = {
      {7, 7},
      {0, 15},
      {0, 16},
      {300, 555},
      {300, 556},
      {1, kcPelMedianParams::maxWideLevel},
      {kcPelMedianParams::maxWideLevel - 20, kcPelMedianParams::maxWideLevel}};
  const kcPair<long> kernels[] = {{1, 1}, {2, 9}, {12, 1}, {40, 40}, {1, 32767}, {32767, 1}};
  const Image mask = randomMask(kcPelRect(0, 0, 30, 30), 30);
  for (const kcPair<long> range : ranges) {
    const WideImage src = randomImage<unsigned>(kcPelRect(3, -2, 23, 17),
                                                static_cast<unsigned>(std::max(0L, range.x() - 3)),
                                                static_cast<unsigned>(range.y() + 3));
    for (const kcPair<long> k : kernels) {
      const kcPelMedianParams p(k, range, kcPelMedianParams::maxWideLevel);
      WideImage dst, masked;
      kfPelMedian(src, p, dst);
      expectMedianMatches<unsigned>(src, nullptr, p, dst);
      kfPelMedian(src, mask, p, masked);
      expectMedianMatches<unsigned>(src, &mask, p, masked);
    }
  }
}

namespace {

// 12-bit codes as smoothed ratios are: a drifting centre (across the
// coarse and middle bins' edges) with noise of a few codes, or anything.
kcPelBuffer<unsigned short> randomCodes(const kcPelRect& window, long noise) {
  const long centre = uniform(0, 4095), drift = uniform(-9, 9);
  return makeImage<unsigned short>(window, [&](long x, long y) {
    const long v =
        noise > 4095 ? uniform(0, 4095) : centre + drift * (x + y) + uniform(-noise, noise);
    return std::clamp(v, 0L, 4095L);
  });
}

}  // namespace

namespace {

// The median of codes bottom .. bottom + span against sorting where it
// drifts slowly along rows, up or down, across middle and coarse bins'
// edges (a code every 3 to 40 pels, noise of up to 20 codes), so that it
// mostly steps into a neighbouring middle bin, now and then two or more:
// wide rows of several strips, masks and both kernel builds.
template <class Pel>
void checkSlowDrifts(long bottom, long span) {
  for (int trial = 0; trial < 12; ++trial) {
    const long period = uniform(3, 40) * (trial % 2 ? 1 : -1), noise = uniform(0, 20);
    // Every third starts near the middle code, at the edge of coarse bins
    // 15 and 16 of 13-bit codes.
    const long centre = trial % 3 == 1 ? (span + 1) / 2 + uniform(-150, 150) : uniform(0, span);
    const long top = bottom + span;
    const kcPelRect window(uniform(-5, 5), 0, uniform(300, 1400), 5);
    const kcPelBuffer<Pel> src = makeImage<Pel>(window, [&](long x, long) {
      return std::clamp(bottom + centre + x / period + uniform(-noise, noise), bottom, top);
    });
    const Image mask = randomMask(window, trial % 3 == 0 ? 30 : 0);
    const kcPelMedianParams p({uniform(21, 101), uniform(1, 5)}, {bottom, top},
                              std::max(top, 4095L));
    const kcPlainKernelsScope plain(trial % 4 >= 2);
    kcPelBuffer<Pel> dst, masked;
    kfPelMedian(src, p, dst);
    expectMedianMatches<Pel>(src, nullptr, p, dst);
    kfPelMedian(src, mask, p, masked);
    expectMedianMatches<Pel>(src, &mask, p, masked);
  }
}

}  // namespace

// 12-bit codes, and wide pels over 8192 levels (their 13-bit codes' two
// vectors of coarse bins included).
TEST(PelMedian, CodesFollowSlowDriftsAsSortingDoes) {
  checkSlowDrifts<unsigned short>(0, 4095);
  checkSlowDrifts<unsigned>(65536 - 4095, 8191);
  checkSlowDrifts<unsigned>(uniform(0, 100000), 8191);
}

// The 12-bit median against sorting: clustered and spread codes, ranges
// cut anywhere, masks, both kernel builds, rows of several strips; a range
// above 4095 is refused.
TEST(PelMedian, TwelveBitCodesMatchSorting) {
  using Codes = kcPelBuffer<unsigned short>;
  for (int trial = 0; trial < 90; ++trial) {
    const bool wideRow = trial % 15 == 0;
    const kcPelRect window = wideRow ? kcPelRect(-3, 1, 1200, 6) : randomWindow(40, 30);
    const Codes src = randomCodes(window, std::array<long, 3>{3, 40, 5000}[trial % 3]);
    const Image mask = randomMask(randomWindow(wideRow ? 1300 : 40, 30), uniform(0, 60));
    const long a = uniform(0, 4095), b = uniform(0, 4095);
    const kcPair<long> range =
        trial % 4 == 0 ? kcPair<long>(0, 4095) : kcPair<long>(std::min(a, b), std::max(a, b));
    const kcPelMedianParams p(
        wideRow ? kcPair<long>(101, 5) : kcPair<long>(uniform(1, 40), uniform(1, 15)), range, 4095);
    const kcPlainKernelsScope plain(trial % 4 >= 2);
    Codes dst, masked;
    kfPelMedian(src, p, dst);
    expectMedianMatches<unsigned short>(src, nullptr, p, dst);
    kfPelMedian(src, mask, p, masked);
    expectMedianMatches<unsigned short>(src, &mask, p, masked);
  }
  Codes dst;
  EXPECT_THROW(kfPelMedian(randomCodes(kcPelRect(0, 0, 4, 4), 3),
                           kcPelMedianParams({3, 3}, {0, 4096}, 4096), dst),
               kcPelFunc::BadParams);
}
