#include "imaging/affine_sample.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "host/cpu_dispatch.h"
#include "host/exceptions.h"
#include "imaging/ilimit.h"
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

// The window's own rectangle in client coordinates.
kcAffineRectangle windowRect(const kc_PelBuffer& b) {
  const kcXform<2> c = b.clientFromImageXform();
  const kcPelRect& w = b.window();
  return {c * kcVector<2>(w.ul()), c * kcVector<2>(w.ur()), c * kcVector<2>(w.ll())};
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

TEST(AffineSamplingParams, KeepsItsValuesAndRefusesBadOnes) {
  const kcAffineRectangle r({1, 2}, {11, 2}, {1, 7});
  const Params p(r, 32767, 1, 3);
  EXPECT_EQ(p.interpolation(), Params::eBicubic);
  EXPECT_EQ(Params(r, 1, 32767, 2).interpolation(), Params::eBilinear);

  EXPECT_THROW(Params(r, 0, 5, 2), kcPelFunc::BadParams);
  EXPECT_THROW(Params(r, 5, 0, 2), kcPelFunc::BadParams);
  EXPECT_THROW(Params(r, 32768, 5, 2), kcPelFunc::BadParams);
  EXPECT_THROW(Params(r, 5, 32768, 2), kcPelFunc::BadParams);
  EXPECT_THROW(Params(r, -3, 5, 2), kcPelFunc::BadParams);
  EXPECT_THROW(Params(r, 5, 5, 1), kcPelFunc::BadParams);
  EXPECT_THROW(Params(r, 5, 5, 4), kcPelFunc::BadParams);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_THROW(Params(kcAffineRectangle({1, 2}, {nan, 2}, {1, 7}), 5, 5, 2), kcPelFunc::BadParams);
  EXPECT_THROW(
      Params(kcAffineRectangle({1, 2}, {3, 2}, {1, std::numeric_limits<double>::infinity()}), 5, 5,
             2),
      kcPelFunc::BadParams);
}

TEST(AffineTransformImage, RefusesUnboundAndEmptySources) {
  const Params p(kcAffineRectangle({0, 0}, {4, 0}, {0, 4}), 4, 4, 2);
  EXPECT_THROW(kfAffineTransformImage<unsigned char>(Image(), p), kcPel::UnboundWindow);
  Image empty(kcPelRect(0, 0, 4, 4));
  empty.window(kcPelRect(1, 1, 0, 3), false);
  EXPECT_THROW(kfAffineTransformImage<unsigned char>(empty, p), kcPel::BadWindow);
}

TEST(AffineTransformImage, OwnWindowAtOwnSizeReproducesTheImage) {
  Image whole = randomImage(kcPelRect(-5, 9, 23, 17));
  Image view = whole;
  view.window(kcPelRect(-2, 11, 13, 9), false);  // a view inside larger storage
  for (const Image& src : {whole, view})
    for (int mode : kModes) {
      const Image out = kfAffineTransformImage<unsigned char>(
          src, Params(windowRect(src), src.width(), src.height(), mode));
      EXPECT_EQ(out.window(), kcPelRect(0, 0, src.width(), src.height()));
      EXPECT_TRUE(out.imageFromClientXform().isIdentity());
      EXPECT_TRUE(out.clientFromImageXform().isIdentity());
      Image relabelled = kfPelCopy<unsigned char>(src);
      relabelled.offset(0, 0);
      EXPECT_TRUE((samePels(out, relabelled))) << "mode " << mode;
    }
}

// Upsampling by 4 puts sample i at source coordinate (i + 0.5) / 4 - 0.5 in
// pel-centre units; bilinear interpolation of a ramp is the ramp itself there,
// and beyond the outer pel centres the edge pel is repeated.
TEST(AffineTransformImage, BilinearUpsamplingOfRampsFollowsTheGrid) {
  const kcPelRect w(3, -2, 9, 7);
  const Image horizontal = makeImage(w, [&](long x, long) { return 20 + 10 * (x - w.x()); });
  const Image vertical = makeImage(w, [&](long, long y) { return 7 + 30 * (y - w.y()); });
  const Image hOut =
      kfAffineTransformImage<unsigned char>(horizontal, Params(windowRect(horizontal), 36, 28, 2));
  const Image vOut =
      kfAffineTransformImage<unsigned char>(vertical, Params(windowRect(vertical), 36, 28, 2));
  for (long j = 0; j < 28; ++j)
    for (long i = 0; i < 36; ++i) {
      const double cx = std::clamp((i + 0.5) / 4 - 0.5, 0.0, 8.0);
      const double cy = std::clamp((j + 0.5) / 4 - 0.5, 0.0, 6.0);
      ASSERT_EQ(hOut.get(i, j), std::lround(20 + 10 * cx)) << i << "," << j;
      ASSERT_EQ(vOut.get(i, j), std::lround(7 + 30 * cy)) << i << "," << j;
    }
  // Spot values: the first two samples lie before the first pel centre
  // (edge pel); the third lies 1/8 and the fifth 5/8 of the way to the
  // second pel; the last lies beyond the last centre.
  EXPECT_EQ(hOut.get(1, 0), 20);
  EXPECT_EQ(hOut.get(2, 0), 21);  // 21.25
  EXPECT_EQ(hOut.get(4, 0), 26);  // 26.25
  EXPECT_EQ(hOut.get(35, 0), 100);
}

TEST(AffineTransformImage, ConstantImagesStayExactlyConstant) {
  const kcPelRect windows[] = {{0, 0, 1, 1}, {4, -3, 7, 5}, {-11, 2, 13, 1}, {1, 1, 3, 9}};
  for (const kcPelRect& w : windows)
    for (unsigned char value : {0, 1, 137, 254, 255})
      for (int mode : kModes)
        for (int trial = 0; trial < 6; ++trial) {
          const Image src = makeImage(w, [value](long, long) { return value; });
          const kcAffineRectangle rect = trial == 0 ? windowRect(src) : randomRect(w);
          const Params p(rect, uniform(1, 41) | 1, uniform(1, 33) | 1, mode);
          const Image out = kfAffineTransformImage<unsigned char>(src, p);
          for (long j = 0; j < out.height(); ++j)
            for (long i = 0; i < out.width(); ++i)
              ASSERT_EQ(out.get(i, j), value) << "mode " << mode << " at " << i << "," << j;
        }
}

TEST(AffineTransformImage, QuarterTurnRectangleRotatesTheImage) {
  const kcPelRect w(2, 5, 7, 4);
  const Image src = randomImage(w);
  // x side runs down the right edge, y side leftwards along the top.
  const kcAffineRectangle rect({9, 5}, {9, 9}, {2, 5});
  for (int mode : kModes) {
    const Image out = kfAffineTransformImage<unsigned char>(src, Params(rect, 4, 7, mode));
    for (long j = 0; j < 7; ++j)
      for (long i = 0; i < 4; ++i) ASSERT_EQ(out.get(i, j), src.get(8 - j, 5 + i)) << mode;
  }
}

TEST(AffineTransformImage, SourceTransformsAreHonoured) {
  Image src = randomImage(kcPelRect(-3, 6, 10, 8));
  // client = (2 x + 5, 3 y - 1)
  src.clientFromImageXformBase(kc2XformLinear::handle(kcXform<2>::scaleAndTranslate(2, 3, 5, -1)));
  const kcAffineRectangle own = windowRect(src);
  EXPECT_EQ(own.origin(), kcVector<2>(-1, 17));
  for (int mode : kModes) {
    Image expected = kfPelCopy<unsigned char>(src);
    expected.offset(0, 0);
    EXPECT_TRUE((samePels(
        kfAffineTransformImage<unsigned char>(src, Params(own, 10, 8, mode)), expected)));
    for (int trial = 0; trial < 5; ++trial)
      EXPECT_TRUE(
          matchesReference(src, Params(randomRect(kcPelRect(-1, 17, 20, 24)), 9, 11, mode)));
  }
}

TEST(AffineTransformImage, MatchesTheDefinitionOnRandomImagesAndRectangles) {
  for (int trial = 0; trial < 60; ++trial) {
    const kcPelRect w(uniform(-20, 20), uniform(-20, 20), uniform(1, 25), uniform(1, 25));
    Image whole = randomImage(w.trim(-2, -1, -3, -2, false));
    Image src = whole;
    src.window(w, false);
    // Every third trial uses an axis-aligned rectangle (scaled and moved).
    kcAffineRectangle rect = randomRect(w);
    if (trial % 3 == 0) {
      const kcVector<2> o(uniformReal(w.x() - 3, w.right()), uniformReal(w.y() - 3, w.bottom()));
      rect = kcAffineRectangle(o, o + kcVector<2>(uniformReal(-30, 30), 0),
                               o + kcVector<2>(0, uniformReal(-30, 30)));
    }
    const Params p(rect, uniform(1, 30), uniform(1, 30), kModes[trial % 2]);
    ASSERT_TRUE(matchesReference(src, p)) << "trial " << trial;
  }
}

// Separable grids are computed in float: each output row blends its source
// rows, then each output pel combines its columns of that blended line. A
// slow transcription of exactly that arithmetic; the fast path reorders the
// work but must round every pel the same way.
Image blendThenGather(const Image& src, const Params& p) {
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
  Image out(p.xSize(), p.ySize(), 32);
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
      out.set(i, j, static_cast<unsigned char>(std::clamp(s, 0.0f, 255.0f) + 0.5f));
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
        ASSERT_TRUE((samePels(
            kfAffineTransformImage<unsigned char>(src, p), expected)))
            << "trial " << trial << " mode " << mode << " plain " << plain;
      }
    }
  }
}

TEST(AffineSampleRows, HandsOverTheRowsOfTheImageInOrder) {
  const Image src = randomImage(kcPelRect(-3, 4, 23, 17));
  for (int trial = 0; trial < 10; ++trial)
    for (int mode : kModes) {
      // Axis-aligned and rotated grids take different paths.
      const kcAffineRectangle rect =
          trial % 2 ? randomRect(src.window())
                    : kcAffineRectangle({-3, 4}, {20, 4}, {-3, 4 + uniformReal(1, 30)});
      const Params p(rect, uniform(1, 70), uniform(1, 50), mode);
      const Image expected = kfAffineTransformImage<unsigned char>(src, p);
      long next = 0;
      kfAffineSampleRows<unsigned char>(src, p, [&](long j, const unsigned char* row) {
        ASSERT_EQ(j, next++);
        for (long i = 0; i < p.xSize(); ++i) ASSERT_EQ(row[i], expected.get(i, j)) << i << "," << j;
      });
      EXPECT_EQ(next, p.ySize());
    }
  bool called = false;
  const auto sink = [&](long, const unsigned char*) { called = true; };
  const Params p(kcAffineRectangle({0, 0}, {4, 0}, {0, 4}), 4, 4, 2);
  EXPECT_THROW(kfAffineSampleRows<unsigned char>(Image(), p, sink), kcPel::UnboundWindow);
  Image empty = src;
  empty.window(kcPelRect(0, 5, 0, 3), false);
  EXPECT_THROW(kfAffineSampleRows<unsigned char>(empty, p, sink), kcPel::BadWindow);
  EXPECT_FALSE(called);
}

}  // namespace
