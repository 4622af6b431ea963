// Affine sampling and what is built on it: projections and sampling of a border-padded copy.
#include "imaging/affine_sample.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <numbers>
#include <vector>

#include "host/detail/cpu_dispatch.h"
#include "host/exceptions.h"
#include "imaging/ilimit.h"
#include "imaging/projection.h"
#include "pelfuncs/padded_affine_sample.h"
#include "test_support.h"

namespace {

using namespace testing_support;
using Params = kcAffineSamplingParams;

double tent(double d) {
  d = std::fabs(d);
  return d < 1.0 ? 1.0 - d : 0.0;
}

double keys(double d) {
  d = std::fabs(d);
  if (d <= 1.0) return 1.5 * d * d * d - 2.5 * d * d + 1.0;
  if (d < 2.0) return -0.5 * d * d * d + 2.5 * d * d - 4.0 * d + 2.0;
  return 0.0;
}

// Rectangle r, given in src's image coordinates, in its client coordinates.
kcAffineRectangle inClient(const kc_PelBuffer& src, const kcAffineRectangle& r) {
  const kcXform<2> c = src.clientFromImageXform();
  return {c * r.origin(), c * r.xEnd(), c * r.yEnd()};
}

// The window's own rectangle in client coordinates.
kcAffineRectangle windowRect(const kc_PelBuffer& b) {
  const kcPelRect& w = b.window();
  return inClient(b, {kcVector<2>(w.ul()), kcVector<2>(w.ur()), kcVector<2>(w.ll())});
}

// Unrounded sample (i, j), straight from the definition of the grid: the
// kernel is summed over the pels around the sample point, each pel read with
// its coordinates clamped into the window.
double referenceSample(const Image& src, const Params& p, long i, long j) {
  const kcAffineRectangle& r = p.rectangle();
  const double u = (i + 0.5) / p.xSize(), v = (j + 0.5) / p.ySize();
  const kcVector<2> client = r.origin() + (r.xEnd() - r.origin()) * u + (r.yEnd() - r.origin()) * v;
  const kcVector<2> image = src.imageFromClientXform() * client;
  const double px = image.x() - 0.5, py = image.y() - 0.5;
  const long fx = static_cast<long>(std::floor(px)), fy = static_cast<long>(std::floor(py));
  const kcPelRect& w = src.window();
  double sum = 0.0;
  for (long y = fy - 2; y <= fy + 2; ++y)
    for (long x = fx - 2; x <= fx + 2; ++x) {
      const double weight = p.interpolation() == Params::eBicubic ? keys(px - x) * keys(py - y)
                                                                  : tent(px - x) * tent(py - y);
      if (weight != 0.0)
        sum +=
            weight * src.get(kfILimit(x, w.x(), w.right() - 1), kfILimit(y, w.y(), w.bottom() - 1));
    }
  return sum;
}

testing::AssertionResult matchesReference(const Image& src, const Params& p) {
  const Image out = kfAffineTransformImage<unsigned char>(src, p);
  if (out.window() != kcPelRect(0, 0, p.xSize(), p.ySize()))
    return testing::AssertionFailure() << "wrong output window";
  for (long j = 0; j < p.ySize(); ++j)
    for (long i = 0; i < p.xSize(); ++i) {
      const double expected = std::clamp(referenceSample(src, p, i, j), 0.0, 255.0);
      // Float arithmetic may round a value within a hair of a half either way.
      if (std::fabs(out.get(i, j) - expected) > 0.5 + 1e-3)
        return testing::AssertionFailure() << "sample (" << i << ", " << j << ") is "
                                           << int(out.get(i, j)) << ", expected " << expected;
    }
  return testing::AssertionSuccess();
}

kcAffineRectangle randomRect(const kcPelRect& around) {
  const kcVector<2> origin(uniformReal(around.x() - 4.0, around.right() + 2.0),
                           uniformReal(around.y() - 4.0, around.bottom() + 2.0));
  const double a = uniformReal(-std::numbers::pi, std::numbers::pi);
  const double b = a + uniformReal(-0.4, 0.4);  // a little shear
  const double lx = uniformReal(1.0, 2.0 * around.width()),
               ly = uniformReal(1.0, 2.0 * around.height());
  return {origin, origin + kcVector<2>(std::cos(a), std::sin(a)) * lx,
          origin + kcVector<2>(-std::sin(b), std::cos(b)) * ly};
}

const int kModes[] = {Params::eBilinear, Params::eBicubic};

TEST(AffineSamplingParams, RefusesBadSizesModesAndNonFiniteRectangles) {
  const kcAffineRectangle r({1, 2}, {11, 2}, {1, 7});
  EXPECT_EQ(Params(r, 32767, 1, 3).interpolation(), Params::eBicubic);
  EXPECT_EQ(Params(r, 1, 32767, 2).interpolation(), Params::eBilinear);
  const long refused[][3] = {{0, 5, 2},  {5, 0, 2}, {32768, 5, 2}, {5, 32768, 2},
                             {-3, 5, 2}, {5, 5, 1}, {5, 5, 4}};
  for (const auto& c : refused)
    EXPECT_THROW(Params(r, c[0], c[1], static_cast<int>(c[2])), kcPelFunc::BadParams) << c[0];
  const double nan = std::numeric_limits<double>::quiet_NaN(),
               inf = std::numeric_limits<double>::infinity();
  EXPECT_THROW(Params({{1, 2}, {nan, 2}, {1, 7}}, 5, 5, 2), kcPelFunc::BadParams);
  EXPECT_THROW(Params({{1, 2}, {3, 2}, {1, inf}}, 5, 5, 2), kcPelFunc::BadParams);
}

TEST(AffineTransformImage, RefusesUnboundAndEmptySourcesBeforeAnyRow) {
  const Params p(kcAffineRectangle({0, 0}, {4, 0}, {0, 4}), 4, 4, 2);
  Image empty(kcPelRect(0, 0, 4, 4));
  empty.window(kcPelRect(1, 1, 0, 3), false);
  bool called = false;
  const auto sink = [&](long, const unsigned char*) { called = true; };
  EXPECT_THROW(kfAffineTransformImage<unsigned char>(Image(), p), kcPel::UnboundWindow);
  EXPECT_THROW(kfAffineTransformImage<unsigned char>(empty, p), kcPel::BadWindow);
  EXPECT_THROW(kfAffineSampleRows<unsigned char>(Image(), p, sink), kcPel::UnboundWindow);
  EXPECT_THROW(kfAffineSampleRows<unsigned char>(empty, p, sink), kcPel::BadWindow);
  EXPECT_FALSE(called);
}

// Grids whose samples fall on pel centres give the pels themselves: the window's own
// rectangle at its own size, and the rectangle turned a quarter (x side down the right edge,
// y side leftwards along the top), for a whole image, a view and a transformed source.
TEST(AffineTransformImage, GridsOnPelCentresReproduceOrTurnTheImage) {
  Image whole = randomImage(kcPelRect(-5, 9, 23, 17)), view = whole, moved = kfPelCopy(whole);
  view.window(kcPelRect(-2, 11, 13, 9), false);
  setXform(moved, kcXform<2>::scaleAndTranslate(2, 3, 5, -1));
  for (const Image& src : {whole, view, moved})
    for (int mode : kModes) {
      const kcPelRect& w = src.window();
      const Image out = kfAffineTransformImage<unsigned char>(
          src, Params(windowRect(src), w.width(), w.height(), mode));
      EXPECT_EQ(out.window(), kcPelRect(0, 0, w.width(), w.height()));
      EXPECT_TRUE(out.imageFromClientXform().isIdentity());
      EXPECT_TRUE(out.clientFromImageXform().isIdentity());
      EXPECT_TRUE(pelsAre(out, out.window(),
                          [&](long i, long j) { return src.get(w.x() + i, w.y() + j); }));
      const kcAffineRectangle turned(kcVector<2>(w.ur()), kcVector<2>(w.lr()), kcVector<2>(w.ul()));
      const Image t = kfAffineTransformImage<unsigned char>(
          src, Params(inClient(src, turned), w.height(), w.width(), mode));
      EXPECT_TRUE(pelsAre(t, kcPelRect(0, 0, w.height(), w.width()),
                          [&](long i, long j) { return src.get(w.right() - 1 - j, w.y() + i); }));
    }
}

TEST(AffineTransformImage, MatchesTheDefinitionOnRandomImagesAndRectangles) {
  for (int trial = 0; trial < 60; ++trial) {
    const kcPelRect w(uniform(-20, 20), uniform(-20, 20), uniform(1, 25), uniform(1, 25));
    Image src = randomView(w);
    // Every third trial uses an axis-aligned rectangle (scaled and moved); every fourth
    // source has a transform, which the rectangle follows into client coordinates.
    kcAffineRectangle rect = randomRect(w);
    if (trial % 3 == 0) {
      const kcVector<2> o(uniformReal(w.x() - 3, w.right()), uniformReal(w.y() - 3, w.bottom()));
      rect = kcAffineRectangle(o, o + kcVector<2>(uniformReal(-30, 30), 0),
                               o + kcVector<2>(0, uniformReal(-30, 30)));
    }
    if (trial % 4 == 0)
      setXform(src, kcXform<2>::scaleAndTranslate(uniformReal(0.3, 3), uniformReal(0.3, 3),
                                                  uniformReal(-9, 9), uniformReal(-9, 9)));
    const Params p(inClient(src, rect), uniform(1, 30), uniform(1, 30), kModes[trial % 2]);
    ASSERT_TRUE(matchesReference(src, p)) << "trial " << trial;
    const Image fast = kfAffineTransformImage<unsigned char>(src, p);  // every build, same pels
    for (kcKernelSet build : {kcKernelSet::eAvx2, kcKernelSet::ePlain}) {
      const kcKernelSetScope narrower(build);
      ASSERT_TRUE(samePels(kfAffineTransformImage<unsigned char>(src, p), fast)) << trial;
    }
  }
}

// Separable grids are computed in float: each output row blends its source
// rows, then each output pel combines its columns of that blended line. A
// slow transcription of exactly that arithmetic; the fast path reorders the
// work but must round every pel the same way.
// The rounding of a sum to a pel: half up, clamped to the pel's range; for
// 32-bit pels in doubles, which hold every such pel exactly.
template <class T>
T roundedPel(float s) {
  if constexpr (sizeof(T) == 1) {
    return static_cast<T>(std::clamp(s, 0.0f, 255.0f) + 0.5f);
  } else {
    const double t = std::trunc(static_cast<double>(s + 0.5f));
    return t <= 0.0 ? 0 : (t >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<T>(t));
  }
}

template <class T>
kcPelBuffer<T> blendThenGather(const kcPelBuffer<T>& src, const Params& p) {
  const bool cubic = p.interpolation() == Params::eBicubic;
  const int taps = cubic ? 4 : 2;
  const auto weights = [&](double t, float* w) {
    if (!cubic) {
      w[0] = static_cast<float>(1.0 - t);
      w[1] = static_cast<float>(t);
      return;
    }
    const double t2 = t * t, t3 = t2 * t;
    w[0] = static_cast<float>(-0.5 * t3 + t2 - 0.5 * t);
    w[1] = static_cast<float>(1.5 * t3 - 2.5 * t2 + 1.0);
    w[2] = static_cast<float>(-1.5 * t3 + 2.0 * t2 + 0.5 * t);
    w[3] = static_cast<float>(0.5 * t3 - 0.5 * t2);
  };
  const kcAffineRectangle& r = p.rectangle();
  const kcXform<2> toImage = src.imageFromClientXform();
  const kcVector<2> o = toImage * r.origin(), ex = toImage * r.xEnd(), ey = toImage * r.yEnd();
  const kcPelRect& w = src.window();
  // Pel-index coordinate of sample i along an axis, clamped as the library does.
  const auto coordinate = [](double start, double length, long count, long i, long size) {
    const double c = start + length * ((i + 0.5) / count) - 0.5;
    return std::clamp(c, -2.0, size + 1.0);
  };
  kcPelBuffer<T> out(p.xSize(), p.ySize(), 32);
  std::vector<float> line(static_cast<std::size_t>(w.width()));
  for (long j = 0; j < p.ySize(); ++j) {
    const double cy = coordinate(o.y() - w.y(), ey.y() - o.y(), p.ySize(), j, w.height());
    float wy[4];
    weights(cy - std::floor(cy), wy);
    const long by = static_cast<long>(std::floor(cy)) - (cubic ? 1 : 0);
    for (long x = 0; x < w.width(); ++x) {
      float s = 0.0f;
      for (int k = 0; k < taps; ++k)
        s += wy[k] * src.get(w.x() + x, w.y() + kfILimit(by + k, 0L, w.height() - 1));
      line[x] = s;
    }
    for (long i = 0; i < p.xSize(); ++i) {
      const double cx = coordinate(o.x() - w.x(), ex.x() - o.x(), p.xSize(), i, w.width());
      float wx[4];
      weights(cx - std::floor(cx), wx);
      const long bx = static_cast<long>(std::floor(cx)) - (cubic ? 1 : 0);
      float s = 0.0f;
      for (int k = 0; k < taps; ++k) s += wx[k] * line[kfILimit(bx + k, 0L, w.width() - 1)];
      out.set(i, j, roundedPel<T>(s));
    }
  }
  return out;
}

TEST(AffineTransformImage, SeparableGridsRoundLikeBlendingRowsThenColumns) {
  for (int trial = 0; trial < 60; ++trial) {
    const kcPelRect w(uniform(-20, 20), uniform(-20, 20), uniform(1, 40), uniform(1, 40));
    const Image src = randomImage(w);
    // Mostly enlargements by awkward factors, as local correction does, and
    // some reductions and flips.
    const kcVector<2> o(uniformReal(w.x() - 3, w.x() + 3), uniformReal(w.y() - 3, w.y() + 3));
    const double lx = w.width() * uniformReal(trial % 5 == 0 ? -1.2 : 0.3, 1.2);
    const double ly = w.height() * uniformReal(trial % 7 == 0 ? -1.2 : 0.3, 1.2);
    const kcAffineRectangle rect(o, o + kcVector<2>(lx, 0), o + kcVector<2>(0, ly));
    for (int mode : kModes) {
      Params p(rect, uniform(1, 5 * w.width()), uniform(1, 5 * w.height()), mode);
      const Image expected = blendThenGather(src, p);
      for (bool plain : {false, true}) {
        const kcPlainKernelsScope plainKernels(plain);
        ASSERT_TRUE((samePels(kfAffineTransformImage<unsigned char>(src, p), expected)))
            << "trial " << trial << " mode " << mode << " plain " << plain;
      }
    }
  }
}

// 32-bit pels round as 8-bit ones do, whatever their size: small ones, ones
// about 2^31 (where rows take the long conversion), ones up to the top,
// and the negative sums of bicubic overshoot.
TEST(AffineSampleRows, ThirtyTwoBitPelsRoundLikeBlendingRowsThenColumns) {
  const struct {
    unsigned lo, hi;
  } ranges[] = {{0, 131071}, {0x7FFFF000u, 0x80000FFFu}, {0, 0xFFFFFFFFu}};
  for (int trial = 0; trial < 36; ++trial) {
    const kcPelRect w(uniform(-20, 20), uniform(-20, 20), uniform(1, 30), uniform(1, 30));
    const auto& range = ranges[trial % 3];
    // A few pels at the range's ends, where bicubic sums overshoot most.
    const kcPelBuffer<unsigned> src = makeImage<unsigned>(w, [&](long, long) {
      const long pick = uniform(0, 5);
      return pick == 0 ? range.lo : (pick == 1 ? range.hi : unsigned(uniform(range.lo, range.hi)));
    });
    const kcVector<2> o(uniformReal(w.x() - 3, w.x() + 3), uniformReal(w.y() - 3, w.y() + 3));
    const kcAffineRectangle rect(o, o + kcVector<2>(w.width() * uniformReal(0.3, 1.2), 0),
                                 o + kcVector<2>(0, w.height() * uniformReal(0.3, 1.2)));
    for (int mode : kModes) {
      const Params p(rect, uniform(1, 4 * w.width()), uniform(1, 4 * w.height()), mode);
      const kcPelBuffer<unsigned> expected = blendThenGather(src, p);
      for (bool plain : {false, true}) {
        const kcPlainKernelsScope plainKernels(plain);
        long rows = 0;
        kfAffineSampleRows<unsigned>(src, p, [&](long j, const unsigned* row) {
          ASSERT_EQ(j, rows++);
          for (long i = 0; i < p.xSize(); ++i)
            ASSERT_EQ(row[i], expected.get(i, j))
                << "trial " << trial << " mode " << mode << " plain " << plain << " at " << i;
        });
        EXPECT_EQ(rows, p.ySize());
      }
    }
  }
}

// ---- Projections ----

TEST(ProjectImage, SumsTheColumnsOfTheSampledImage) {
  for (int trial = 0; trial < 30; ++trial) {
    const kcPelRect w = randomWindow(20, 20);
    const Image src = randomView(w);
    const Params p(randomRect(w), uniform(1, 30), uniform(1, 30), kModes[trial % 2]);
    const Image samples = kfAffineTransformImage<unsigned char>(src, p);
    const kcPelBuffer<unsigned long> profile = kfProjectImage<unsigned char>(src, p);
    ASSERT_EQ(profile.window(), kcPelRect(0, 0, p.xSize(), 1));
    ASSERT_TRUE(pelsAre(profile, profile.window(),
                        [&](long i, long) {
                          unsigned long sum = 0;
                          for (long j = 0; j < p.ySize(); ++j) sum += samples.get(i, j);
                          return sum;
                        }))
        << "trial " << trial;
  }
}

TEST(ProjectImage, RefusesUnboundSourcesAndFlatRectangles) {
  const Params good(kcAffineRectangle({0, 0}, {5, 0}, {0, 5}), 5, 5, 2);
  EXPECT_THROW(kfProjectImage<unsigned char>(Image(), good), kcPel::UnboundWindow);
  const Params flat(kcAffineRectangle({0, 0}, {5, 0}, {10, 0}), 5, 5, 2);
  EXPECT_THROW(kfProjectImage<unsigned char>(randomImage(kcPelRect(0, 0, 5, 5)), flat),
               kcPelFunc::BadParams);
}

// ---- Sampling a copy padded by its border pels ----

const kcXform<2> kScaled = kcXform<2>::scaleAndTranslate(0.5, 2.0, -3.0, 11.0);

TEST(ExpandByDuplicatingBorderPixels, BorderPelsCopyTheNearestEdgePel) {
  for (int trial = 0; trial < 20; ++trial) {
    const kcPelRect w = trial ? randomWindow(12, 12, 9) : kcPelRect(5, 7, 1, 1);
    Image src = randomView(w);  // the neighbours in storage must not leak in
    setXform(src, kScaled);
    const Image out = kf_ExpandByDuplicatingBorderPixels(src);
    ASSERT_EQ(out.window(), w.trim(-1, -1, -1, -1, false));
    EXPECT_NE(out.root(), src.root());
    EXPECT_EQ(out.clientFromImageXform(), src.clientFromImageXform());
    ASSERT_TRUE(pelsAre(out, out.window(), [&](long x, long y) {
      return src.get(kfILimit(x, w.x(), w.right() - 1), kfILimit(y, w.y(), w.bottom() - 1));
    }));
  }
  EXPECT_THROW(kf_ExpandByDuplicatingBorderPixels(Image()), kcAssertionFailure);
  Image empty(kcPelRect(0, 0, 5, 5));
  empty.window(kcPelRect(2, 2, 3, 0), false);
  EXPECT_THROW(kf_ExpandByDuplicatingBorderPixels(empty), kcAssertionFailure);
}

// The replicated border gives the values of the nearest edge pel, so the result equals sampling
// the bare source over its own window: exactly with power-of-two factors, within one otherwise.
// Rows hand over the same pels.
TEST(PaddedAffineSample, EqualsSamplingTheSourceOverItsOwnWindow) {
  for (int trial = 0; trial < 60; ++trial) {
    const bool bicubic = trial % 2 == 1, dyadic = trial % 4 < 2;
    const kcPelRect w = randomWindow(14, 14, 9);
    Image src = randomView(w);
    const long xs = dyadic ? w.width() << uniform(0, 3) : uniform(1, 4 * w.width());
    const long ys = dyadic ? w.height() << uniform(0, 3) : uniform(1, 4 * w.height());
    const Image expected = kfAffineTransformImage<unsigned char>(
        src, Params(windowRect(src), xs, ys, kModes[bicubic]));
    setXform(src, kScaled);  // the rectangle moves with the window: same result
    const Image out = kf_PaddedAffineSample(src, xs, ys, bicubic);
    ASSERT_EQ(out.window(), kcPelRect(0, 0, xs, ys));
    EXPECT_TRUE(out.clientFromImageXform().isIdentity());
    long rows = 0;
    kf_PaddedAffineSampleRows(src, xs, ys, bicubic, [&](long j, const unsigned char* row) {
      ASSERT_EQ(j, rows++);
      for (long i = 0; i < xs; ++i) ASSERT_EQ(row[i], out.get(i, j));
    });
    EXPECT_EQ(rows, ys);
    for (long y = 0; y < ys; ++y)
      for (long x = 0; x < xs; ++x)
        ASSERT_LE(std::labs(long(out.get(x, y)) - expected.get(x, y)), dyadic ? 0 : 1) << trial;
  }
}

// Samples at (i + 0.5) / 4 - 0.5 pels: before the first centre and beyond the last the edge
// pel, between them the blend.
TEST(PaddedAffineSample, UpsamplingAPelPairInterpolatesLinearlyAndBadSizesAreRefused) {
  Image src(kcPelRect(10, 20, 2, 1));
  src.set(10, 20, 40);
  src.set(11, 20, 120);
  const int expected[8] = {40, 40, 50, 70, 90, 110, 120, 120};
  EXPECT_TRUE(pelsAre(kf_PaddedAffineSample(src, 8, 4, false), kcPelRect(0, 0, 8, 4),
                      [&](long x, long) { return expected[x]; }));
  for (bool bicubic : {false, true}) {
    EXPECT_THROW(kf_PaddedAffineSample(src, 0, 4, bicubic), kcPelFunc::BadParams);
    EXPECT_THROW(kf_PaddedAffineSample(src, 4, -1, bicubic), kcPelFunc::BadParams);
    EXPECT_THROW(kf_PaddedAffineSample(src, 32768, 4, bicubic), kcPelFunc::BadParams);
    EXPECT_THROW(kf_PaddedAffineSample(src, 4, 65540, bicubic), kcPelFunc::BadParams);
    EXPECT_THROW(kf_PaddedAffineSample(Image(), 4, 4, bicubic), kcPel::UnboundWindow);
    Image empty = src;
    empty.window(kcPelRect(10, 20, 0, 1), false);
    EXPECT_THROW(kf_PaddedAffineSample(empty, 4, 4, bicubic), kcAssertionFailure);
  }
}

}  // namespace
