#include "imaging/gauss_sample.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "host/detail/cpu_dispatch.h"
#include "host/exceptions.h"
#include "test_support.h"

namespace {

using namespace testing_support;

__extension__ typedef unsigned __int128 Wide;

// The 1-D kernel written out: three boxes of k + 1 ones convolved, and a
// box of two when the tap count's parity does not fit the block centre of
// sampling g (odd taps for odd g, even taps for even g).
std::vector<Wide> explicitKernel(long k, long g) {
  auto convolve = [](const std::vector<Wide>& a, long width) {
    std::vector<Wide> r(a.size() + static_cast<std::size_t>(width) - 1, 0);
    for (std::size_t i = 0; i < a.size(); ++i)
      for (long j = 0; j < width; ++j) r[i + static_cast<std::size_t>(j)] += a[i];
    return r;
  };
  std::vector<Wide> kernel{1};
  for (int b = 0; b < 3; ++b) kernel = convolve(kernel, k + 1);
  if (static_cast<long>(kernel.size() % 2) != g % 2) kernel = convolve(kernel, 2);
  return kernel;
}

// Output pel (i, j) by direct convolution over src's window, the kernel
// centred on the block centre, edges replicated.
template <class S>
unsigned long referencePel(const kcPelBuffer_const<S>& src, const std::vector<Wide>& kx,
                           const std::vector<Wide>& ky, kcPair<long> g, long i, long j,
                           unsigned long scale, bool rounding, unsigned long maxOut) {
  const kcPelRect& w = src.window();
  const long lx = static_cast<long>(kx.size()), ly = static_cast<long>(ky.size());
  const long firstX = i * g.x() + (g.x() - lx) / 2, firstY = j * g.y() + (g.y() - ly) / 2;
  Wide sum = 0, weight = 0;
  for (long b = 0; b < ly; ++b) {
    const long y = w.y() + std::clamp(firstY + b, 0L, w.height() - 1);
    for (long a = 0; a < lx; ++a) {
      const long x = w.x() + std::clamp(firstX + a, 0L, w.width() - 1);
      sum += ky[b] * kx[a] * src.get(x, y);
      weight += ky[b] * kx[a];
    }
  }
  const Wide q = (sum * scale + (rounding ? weight / 2 : 0)) / weight;
  return q > maxOut ? maxOut : static_cast<unsigned long>(q);
}

kcGaussSampleParams makeParams(kcPair<long> g, kcPair<long> k, double scale, bool rounding) {
  kcGaussSampleParams p(g, k, scale);
  p.doRounding(rounding);
  return p;
}

// Checks the reduced image of src pel by pel against the reference.
void expectReductionMatches(const kcPelBuffer_const<unsigned char>& src,
                            const kcGaussSampleParams& p) {
  const kcPelBuffer<unsigned char> out = kfGaussSample<unsigned char>(src, p);
  const kcPair<long> g = p.sampling();
  ASSERT_EQ(out.window(),
            kcPelRect(0, 0, (src.width() + g.x() - 1) / g.x(), (src.height() + g.y() - 1) / g.y()));
  const auto kx = explicitKernel(p.kernel().x(), g.x()), ky = explicitKernel(p.kernel().y(), g.y());
  const auto scale = static_cast<unsigned long>(p.scale());
  for (long j = 0; j < out.height(); ++j)
    for (long i = 0; i < out.width(); ++i)
      ASSERT_EQ(out.get(i, j), referencePel(src, kx, ky, g, i, j, scale, p.doRounding(), 255))
          << "pel " << i << "," << j << " kernel " << p.kernel().x() << "x" << p.kernel().y()
          << " sampling " << g.x() << "x" << g.y();
}

// Checks the 16-bit full-size smoothing of src over dst's window.
void expectSmoothingMatches(const kcPelBuffer_const<unsigned char>& src,
                            const kcPelBuffer<unsigned short>& dst, const kcGaussSampleParams& p) {
  const auto kx = explicitKernel(p.kernel().x(), 1), ky = explicitKernel(p.kernel().y(), 1);
  const auto scale = static_cast<unsigned long>(p.scale());
  const kcPelRect r = src.window() & dst.window();
  for (long y = r.y(); y < r.bottom(); ++y)
    for (long x = r.x(); x < r.right(); ++x)
      ASSERT_EQ(dst.get(x, y), referencePel(src, kx, ky, kcPair<long>(1, 1), x - src.window().x(),
                                            y - src.window().y(), scale, p.doRounding(), 65535))
          << "pel " << x << "," << y << " kernel " << p.kernel().x() << "x" << p.kernel().y();
}

kcPelBuffer<unsigned char> viewOfSize(long w, long h) {
  return randomView(kcPelRect(uniform(-20, 20), uniform(-20, 20), w, h));
}

// 32-bit pels below top, here and there top itself.
kcPelBuffer<unsigned> wideView(long w, long h, unsigned top) {
  const kcPelRect r(uniform(-20, 20), uniform(-20, 20), w, h);
  return makeImage<unsigned>(r, [&](long, long) {
    return uniform(0, 9) == 0 ? top : static_cast<unsigned>(uniform(0, top));
  });
}

// Every output of a 32-bit source, reduced or smoothed at full size, against
// direct convolution.
void expectWideMatches(const kcPelBuffer_const<unsigned>& src, const kcGaussSampleParams& p,
                       const char* what) {
  const kcPair<long> g = p.sampling();
  const auto kx = explicitKernel(p.kernel().x(), g.x()), ky = explicitKernel(p.kernel().y(), g.y());
  const auto scale = static_cast<unsigned long>(p.scale());
  const kcPelBuffer<unsigned> out = kfGaussSample<unsigned>(src, p);
  for (long j = 0; j < out.height(); ++j)
    for (long i = 0; i < out.width(); ++i)
      ASSERT_EQ(out.get(i, j),
                referencePel(src, kx, ky, g, i, j, scale, p.doRounding(), 0xFFFFFFFFul))
          << what << " pel " << i << "," << j << " kernel " << p.kernel().x() << "x"
          << p.kernel().y() << " sampling " << g.x() << "x" << g.y();
}

// The vertical sums take 32-bit lanes, 32-bit lanes but for the last
// integrator, or 64-bit lanes by the vertical kernel's weight and the
// largest pel; each against direct convolution, with and without AVX2.
TEST(GaussSample, ThirtyTwoBitPelsMatchDirectConvolutionAtEveryLaneWidth) {
  const struct {
    const char* what;
    unsigned top;
    long kernelLo, kernelHi;
  } cases[] = {
      {"32-bit lanes", 131071, 0, 20},   // 21^3 x 2^17 < 2^32
      {"mixed lanes", 131071, 40, 110},  // w^2 x 2^17 < 2^31 up to w = 128
      {"64-bit lanes, long kernel", 131071, 130, 160},
      {"mixed lanes, large pels", 1u << 21, 4, 30},  // w^2 x 2^21 < 2^31 up to w = 32
      {"64-bit lanes, large pels", 1u << 21, 40, 60},
      {"64-bit lanes, full range", 0xFFFFFFFFu, 0, 6},
  };
  for (const auto& c : cases)
    for (int trial = 0; trial < 8; ++trial) {
      const kcPlainKernelsScope plain(trial % 2 == 1);
      const kcPelBuffer<unsigned> src = wideView(uniform(1, 24), uniform(1, 24), c.top);
      const kcPair<long> k(uniform(0, 6), uniform(c.kernelLo, c.kernelHi));
      const kcPair<long> g =
          trial < 4 ? kcPair<long>(1, 1) : kcPair<long>(uniform(1, 4), uniform(1, 4));
      auto p = makeParams(g, k, 1.0, trial % 3 != 0);
      expectWideMatches(src, p, c.what);
      if (trial % 4 == 0) {
        p.largestPel(c.top);  // a bound the caller knows: the same results
        expectWideMatches(src, p, c.what);
      }
    }
}

// The stored image of the differences of a and b over a's window, with a's
// transforms.
kcPelBuffer<unsigned> storedDifference(const kcPelDifference& d) {
  kcPelBuffer<unsigned> out = makeImage<unsigned>(d.a.window(), [&](long x, long y) {
    const long delta =
        std::clamp<long>(long(d.a.get(x, y)) - long(d.b.get(x, y)), -long(d.limit), long(d.limit));
    return static_cast<unsigned>(long(d.offset) + delta);
  });
  out.copyXforms(d.a);
  return out;
}

// Differences worked out as they are read give the pels, windows and
// transforms of their stored image, reduced or row by row, with and without
// AVX2, at every limit and lane width.
TEST(GaussSampleDifference, MatchesTheSmoothingOfTheStoredDifferences) {
  const unsigned limits[] = {0, 1, 700, 65534, 65535};
  for (int trial = 0; trial < 60; ++trial) {
    const kcPelRect w(uniform(-9, 9), uniform(-9, 9), uniform(1, 30), uniform(1, 30));
    // b covers a's window and more; levels near each other or anywhere.
    const long spread = trial % 2 ? 65535 : 900, base = uniform(0, 65535 - spread);
    kcPelDifference d;
    kcPelBuffer<unsigned short> a = randomImage<unsigned short>(w, base, base + spread);
    setXform(a, kcXform<2>::scaleAndTranslate(2, 3, 1, -4));
    d.a = a;
    d.b = randomImage<unsigned short>(
        w.trim(-uniform(0, 3), -uniform(0, 3), -uniform(0, 3), -uniform(0, 3), false), base,
        base + spread);
    d.limit = limits[trial % 5];
    const unsigned offsets[] = {d.limit, 65536, 0xFFFFFFFFu - d.limit};
    d.offset = offsets[trial % 3];
    const long kernelTop = trial % 4 == 3 ? 150 : 60;
    const kcPair<long> k(uniform(0, kernelTop), uniform(0, kernelTop));
    const kcPelBuffer<unsigned> stored = storedDifference(d);
    const kcPlainKernelsScope plain(trial % 7 < 3);
    const kcPair<long> g(uniform(1, 4), uniform(1, 4));
    const auto reducing = makeParams(g, k, 1.0, trial % 2 == 0);
    const kcPelBuffer<unsigned> reduced = kfGaussSample(d, reducing);
    const kcPelBuffer<unsigned> expected = kfGaussSample<unsigned>(stored, reducing);
    ASSERT_EQ(reduced.window(), expected.window());
    EXPECT_EQ(reduced.clientFromImageXform(), expected.clientFromImageXform());
    ASSERT_TRUE(
        pelsAre(reduced, reduced.window(), [&](long x, long y) { return expected.get(x, y); }))
        << "trial " << trial;
    const auto full = makeParams(kcPair<long>(1, 1), k, trial % 3 == 0 ? 128.0 : 1.0, true);
    kcPelBuffer<unsigned> smoothed;
    if (long(d.offset) + d.limit <= 0xFFFFFFFFl / 128 || full.scale() == 1.0) {
      kfGaussSample<unsigned, unsigned>(stored, smoothed, full);
      long rows = 0;
      kfGaussSampleRows(d, full, [&](long j, const unsigned* row) {
        ASSERT_EQ(j, rows++);
        for (long x = 0; x < w.width(); ++x)
          ASSERT_EQ(row[x], smoothed.get(w.x() + x, w.y() + j)) << "trial " << trial;
      });
      EXPECT_EQ(rows, w.height());
    }
  }
}

TEST(GaussSampleDifference, RefusesWhatItCannotRead) {
  const kcPelBuffer<unsigned short> a =
      randomImage<unsigned short>(kcPelRect(0, 0, 6, 5), 0, 65535);
  const kcPelBuffer<unsigned short> b =
      randomImage<unsigned short>(kcPelRect(0, 0, 6, 5), 0, 65535);
  const kcPelBuffer<unsigned short> shifted =
      randomImage<unsigned short>(kcPelRect(1, 0, 6, 5), 0, 65535);
  const auto full = makeParams(kcPair<long>(1, 1), kcPair<long>(2, 2), 1.0, true);
  const auto reducing = makeParams(kcPair<long>(2, 2), kcPair<long>(1, 1), 1.0, true);
  const auto sink = [](long, const unsigned*) { FAIL() << "no row expected"; };
  const struct {
    kcPelDifference d;
    bool unbound;
  } refused[] = {
      {{kcPelBuffer<unsigned short>(), b, 5, 65536}, true},
      {{a, kcPelBuffer<unsigned short>(), 5, 65536}, true},
      {{a, shifted, 5, 65536}, false},        // b does not cover a
      {{a, b, 65536, 65536}, false},          // limit beyond 16 bits
      {{a, b, 5, 4}, false},                  // a negative pel
      {{a, b, 70, 0xFFFFFFFFu - 69}, false},  // a pel beyond 32 bits
  };
  for (const auto& r : refused) {
    if (r.unbound) {
      EXPECT_THROW(kfGaussSample(r.d, reducing), kcPel::UnboundWindow);
      EXPECT_THROW(kfGaussSampleRows(r.d, full, sink), kcPel::UnboundWindow);
    } else {
      EXPECT_THROW(kfGaussSample(r.d, reducing), kcPelFunc::BadParams);
      EXPECT_THROW(kfGaussSampleRows(r.d, full, sink), kcPelFunc::BadParams);
    }
  }
  EXPECT_THROW(kfGaussSampleRows(kcPelDifference{a, b, 5, 65536}, reducing, sink),
               kcPelFunc::BadParams);
  EXPECT_NO_THROW(kfGaussSample(kcPelDifference{a, b, 70, 0xFFFFFFFFu - 70}, reducing));
}

TEST(GaussSampleParams, RefusesBadSamplingKernelsAndScales) {
  const kcPair<long> one(1, 1);
  EXPECT_NO_THROW(kcGaussSampleParams(one, kcPair<long>(0, 65535), 65535.0));
  EXPECT_FALSE(kcGaussSampleParams(one, one, 1.0).doRounding());
  const struct {
    kcPair<long> sampling, kernel;
    double scale;
  } refused[] = {{{0, 1}, one, 1.0},     {{1, 0}, one, 1.0}, {one, {-1, 0}, 1.0},
                 {one, {0, 65536}, 1.0}, {one, one, 0.0},    {one, one, 1.5},
                 {one, one, 65536.0}};
  for (const auto& r : refused)
    EXPECT_THROW(kcGaussSampleParams(r.sampling, r.kernel, r.scale), kcPelFunc::BadParams);
}

TEST(GaussSample, SmoothingMatchesDirectConvolution) {
  std::uniform_int_distribution<long> side(1, 40), kernel(0, 12);
  for (int trial = 0; trial < 60; ++trial) {
    const kcPelBuffer<unsigned char> src = viewOfSize(side(rng()), side(rng()) * 3 / 4 + 1);
    const auto p = makeParams(kcPair<long>(1, 1), kcPair<long>(kernel(rng()), kernel(rng())),
                              trial % 3 ? 128.0 : 1.0, trial % 2 == 0);
    const kcPlainKernelsScope plain(trial % 4 >= 2);
    // A third of the destinations are bound: only the common window changes.
    kcPelBuffer<unsigned short> dst;
    if (trial % 3 == 1) dst = randomImage<unsigned short>(randomWindow(40, 40, 20), 0, 65535);
    const auto before = dst.isBound() ? kfPelCopy<unsigned short>(dst) : dst;
    kfGaussSample<unsigned char, unsigned short>(src, dst, p);
    expectSmoothingMatches(src, dst, p);
    if (!before.isBound()) {
      ASSERT_EQ(dst.window(), src.window());
    } else {
      ASSERT_TRUE(pelsAre(dst, dst.window(), [&](long x, long y) {
        return inside(src.window(), x, y) ? dst.get(x, y) : before.get(x, y);
      }));
    }
  }
}

TEST(GaussSample, ReductionMatchesDirectConvolution) {
  std::uniform_int_distribution<long> side(1, 40), step(1, 6), kernel(0, 9);
  for (int trial = 0; trial < 80; ++trial) {
    const kcPelBuffer<unsigned char> src = viewOfSize(side(rng()), side(rng()) * 3 / 4 + 1);
    const kcPair<long> g(step(rng()), step(rng()));
    // Half the trials use the kernels of a mask reduction: g - 1.
    const kcPair<long> k =
        trial % 2 ? g - kcPair<long>(1, 1) : kcPair<long>(kernel(rng()), kernel(rng()));
    const kcPlainKernelsScope plain(trial % 5 >= 3);
    expectReductionMatches(src, makeParams(g, k, trial % 4 < 2 ? 1.0 : 3.0, trial % 3 == 0));
  }
}

// Sampling factors far beyond the image give one pel; total weights beyond 2^52 and 2^63 (times
// 255 and the scale) and vertical weights beyond 2^32 stay exact; each with and without AVX2.
TEST(GaussSample, HugeSamplingFactorsAndLongKernelsStayExact) {
  for (bool plain : {false, true}) {
    const kcPlainKernelsScope plainKernels(plain);
    for (const kcPair<long> g : {kcPair<long>(1000000007, 2), kcPair<long>(3, 1L << 40)})
      for (long k : {0L, 5L})
        expectReductionMatches(viewOfSize(9, 7), makeParams(g, kcPair<long>(k, k), 1.0, true));
    expectReductionMatches(viewOfSize(3, 30),
                           makeParams(kcPair<long>(1, 1), kcPair<long>(0, 300), 1.0, true));
    expectReductionMatches(viewOfSize(5, 4),
                           makeParams(kcPair<long>(1, 2), kcPair<long>(300, 299), 1.0, true));
    // A scale of 257 takes 255 exactly to 65535: nothing saturates.
    const kcPelBuffer<unsigned char> wide = viewOfSize(8, 4);
    for (const kcPair<long> k : {kcPair<long>(70, 71), kcPair<long>(300, 300)}) {
      kcPelBuffer<unsigned short> dst;
      const auto p = makeParams(kcPair<long>(1, 1), k, 257.0, false);
      kfGaussSample<unsigned char, unsigned short>(wide, dst, p);
      expectSmoothingMatches(wide, dst, p);
    }
  }
}

TEST(GaussSample, SixteenBitFormKeepsTheTransformsOfABoundDestination) {
  kcPelBuffer<unsigned char> src = randomImage(kcPelRect(0, 0, 30, 20));
  setXform(src, kcXform<2>::scaleAndTranslate(2, 2, 1, 1));
  kcPelBuffer<unsigned short> dst(kcPelRect(10, -5, 40, 15), 32), fresh;
  const auto p = makeParams(kcPair<long>(1, 1), kcPair<long>(4, 6), 128.0, true);
  kfGaussSample<unsigned char, unsigned short>(src, dst, p);
  EXPECT_TRUE(dst.clientFromImageXform().isIdentity());
  kfGaussSample<unsigned char, unsigned short>(src, fresh, p);
  EXPECT_EQ(fresh.clientFromImageXform(), src.clientFromImageXform());
}

TEST(GaussSample, RefusesBadInputAndGivesEmptyResultsForEmptyWindows) {
  const kcPelBuffer<unsigned char> unbound;
  kcPelBuffer<unsigned char> src = randomImage(kcPelRect(0, 0, 8, 8));
  kcPelBuffer<unsigned short> dst;
  const auto full = makeParams(kcPair<long>(1, 1), kcPair<long>(2, 2), 1.0, false);
  const auto reducing = makeParams(kcPair<long>(2, 1), kcPair<long>(1, 0), 1.0, false);
  const auto sink = [](long, const unsigned short*) { FAIL() << "no row expected"; };
  EXPECT_THROW(kfGaussSample<unsigned char>(unbound, full), kcPel::UnboundWindow);
  EXPECT_THROW((kfGaussSample<unsigned char, unsigned short>(unbound, dst, full)),
               kcPel::UnboundWindow);
  EXPECT_THROW((kfGaussSampleRows<unsigned char, unsigned short>(unbound, full, sink)),
               kcPel::UnboundWindow);
  EXPECT_THROW((kfGaussSample<unsigned char, unsigned short>(src, dst, reducing)),
               kcPelFunc::BadParams);
  EXPECT_THROW((kfGaussSampleRows<unsigned char, unsigned short>(src, reducing, sink)),
               kcPelFunc::BadParams);
  EXPECT_FALSE(dst.isBound());
  src.window(kcPelRect(3, 3, 0, 5), false);
  EXPECT_EQ(kfGaussSample<unsigned char>(
                src, makeParams(kcPair<long>(2, 2), kcPair<long>(1, 1), 1.0, false))
                .window(),
            kcPelRect(0, 0, 0, 3));
}

// Rows come in order, one per source row, equal to the full-size smoothing, and rows more than
// the lag above the latest one are not read again: the test spoils each as soon as allowed.
TEST(GaussSampleRows, HandRowsOverInOrderWithoutRereadingRowsAboveTheLag) {
  std::uniform_int_distribution<long> size(1, 90), kernel(0, 40), pos(-9, 9);
  for (int trial = 0; trial < 50; ++trial) {
    auto src = randomImage(kcPelRect(pos(rng()), pos(rng()), size(rng()), size(rng())));
    const auto params = makeParams(kcPair<long>(1, 1), kcPair<long>(kernel(rng()), kernel(rng())),
                                   trial % 2 ? 128.0 : 1.0, trial % 3 != 0);
    const kcPlainKernelsScope plain(trial % 4 == 0);
    kcPelBuffer<unsigned short> expected;
    kfGaussSample<unsigned char, unsigned short>(src, expected, params);
    const long lag = kfGaussSampleRowsLag(params);
    const kcPelRect& w = src.window();
    long rows = 0;
    kfGaussSampleRows<unsigned char, unsigned short>(
        src, params, [&](long j, const unsigned short* row) {
          ASSERT_EQ(j, rows++);
          for (long x = 0; x < w.width(); ++x)
            ASSERT_EQ(row[x], expected.get(w.x() + x, w.y() + j)) << "trial " << trial;
          if (j - lag - 1 >= 0)
            for (long x = 0; x < w.width(); ++x)
              src.set(w.x() + x, w.y() + j - lag - 1, static_cast<unsigned char>(255 - x));
        });
    EXPECT_EQ(rows, w.height());
  }
}

}  // namespace

namespace {

// Rows made on demand against the same rows stored: random pels (12-bit
// codes in 16-bit pels, 17-bit ones in 32-bit pels), sizes, kernels and
// sampling factors, both kernel builds, the transforms of the shape's
// buffer, reduced or smoothed row by row. Rows are made at most once each,
// in order.
template <class Code>
void expectMadeRowsActAsStored(unsigned largest) {
  using Codes = kcPelBuffer<Code>;
  for (int trial = 0; trial < 40; ++trial) {
    const unsigned top = trial % 3 ? largest : 1;
    Codes src = randomImage<Code>(randomWindow(70, 50), 0, top);
    setXform(src, kcXform<2>::scaleAndTranslate(2, 3, double(uniform(-5, 5)), 1));
    const bool rows = trial % 5 == 4;  // the full-size form, row by row
    const kcPair<long> g = rows ? kcPair<long>(1, 1) : kcPair<long>(uniform(1, 6), uniform(1, 6));
    const kcPair<long> k =
        trial % 2 ? g - kcPair<long>(1, 1) : kcPair<long>(uniform(0, 9), uniform(0, 9));
    kcGaussSampleParams p = makeParams(g, k, rows ? 128.0 : 1.0, trial % 3 == 0);
    p.largestPel(top);
    const kcPlainKernelsScope plain(trial % 4 >= 2);
    const kcPelRect& w = src.window();
    long made = 0;
    const auto makeRow = [&](long j, Code* row) {
      ASSERT_EQ(j, made++);
      for (long x = 0; x < w.width(); ++x) row[x] = src.get(w.x() + x, w.y() + j);
    };
    if (rows) {
      std::vector<unsigned> expected, got;
      const auto keep = [&](std::vector<unsigned>& into) {
        return [&into, &w](long, const unsigned* row) {
          into.insert(into.end(), row, row + w.width());
        };
      };
      kfGaussSampleRows<Code, unsigned>(src, p, keep(expected));
      kfGaussSampleRows<Code, unsigned>(src, p, makeRow, keep(got));
      EXPECT_EQ(made, w.height());
      EXPECT_EQ(got, expected) << "trial " << trial;
      continue;
    }
    const Codes expected = kfGaussSample<Code>(src, p);
    const Codes out = kfGaussSampleMadeRows<Code>(src, p, makeRow);
    EXPECT_LE(made, w.height());  // rows below every kernel are never made
    ASSERT_EQ(out.window(), expected.window());
    EXPECT_EQ(out.clientFromImageXform(), expected.clientFromImageXform());
    EXPECT_TRUE(pelsAre(out, out.window(), [&](long x, long y) { return expected.get(x, y); }))
        << "trial " << trial;
  }
}

// A ring slot read after its row was replaced would show as a wrong pel,
// the rows being random.
TEST(GaussSampleMadeRows, ActLikeTheStoredRows) {
  expectMadeRowsActAsStored<unsigned short>(4095);
  expectMadeRowsActAsStored<unsigned>(131071);

  using Codes = kcPelBuffer<unsigned short>;
  const Codes unbound, some = randomImage<unsigned short>(kcPelRect(0, 0, 4, 4), 0, 9);
  const auto never = [](long, unsigned short*) { FAIL() << "no row expected"; };
  const auto sink = [](long, const unsigned*) { FAIL() << "no row expected"; };
  kcGaussSampleParams p = makeParams(kcPair<long>(2, 2), kcPair<long>(1, 1), 1.0, false);
  EXPECT_THROW(kfGaussSampleMadeRows<unsigned short>(some, p, never),
               kcPelFunc::BadParams);  // no largest pel given
  p.largestPel(9);
  EXPECT_THROW(kfGaussSampleMadeRows<unsigned short>(unbound, p, never), kcPel::UnboundWindow);
  EXPECT_THROW((kfGaussSampleRows<unsigned short, unsigned>(some, p, never, sink)),
               kcPelFunc::BadParams);  // sampling
  kcGaussSampleParams full = makeParams(kcPair<long>(1, 1), kcPair<long>(1, 1), 1.0, false);
  EXPECT_THROW((kfGaussSampleRows<unsigned short, unsigned>(some, full, never, sink)),
               kcPelFunc::BadParams);  // no largest pel given
  full.largestPel(9);
  EXPECT_THROW((kfGaussSampleRows<unsigned short, unsigned>(unbound, full, never, sink)),
               kcPel::UnboundWindow);
}

}  // namespace
