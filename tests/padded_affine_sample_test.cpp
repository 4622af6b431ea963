#include "pelfuncs/padded_affine_sample.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "imaging/affine_sample.h"
#include "host/exceptions.h"
#include "imaging/ilimit.h"
#include "test_support.h"

namespace {

using testing_support::makeImage;
using testing_support::randomImage;
using testing_support::rng;
using Image = kcPelBuffer<unsigned char>;

long uniform(long lo, long hi) { return std::uniform_int_distribution<long>(lo, hi)(rng()); }

const kc2XformHandle kScaled =
    kc2XformLinear::handle(kcXform<2>::scaleAndTranslate(0.5, 2.0, -3.0, 11.0));

TEST(ExpandByDuplicatingBorderPixels, OnePelBecomesThreeByThree) {
  Image src(kcPelRect(5, 7, 1, 1));
  src.set(5, 7, 201);
  const Image out = kf_ExpandByDuplicatingBorderPixels(src);
  EXPECT_EQ(out.window(), kcPelRect(4, 6, 3, 3));
  for (long y = 6; y < 9; ++y)
    for (long x = 4; x < 7; ++x) EXPECT_EQ(out.get(x, y), 201);
}

TEST(ExpandByDuplicatingBorderPixels, BorderPelsCopyTheNearestEdgePel) {
  for (int trial = 0; trial < 20; ++trial) {
    const kcPelRect w(uniform(-9, 9), uniform(-9, 9), uniform(1, 12), uniform(1, 12));
    Image whole = randomImage(w.trim(-2, -3, -1, -2, false));
    whole.clientFromImageXformBase(kScaled);
    Image src = whole;
    src.window(w, false);  // the neighbours in storage must not leak in
    const Image out = kf_ExpandByDuplicatingBorderPixels(src);
    ASSERT_EQ(out.window(), kcPelRect(w.x() - 1, w.y() - 1, w.width() + 2, w.height() + 2));
    EXPECT_NE(out.root(), src.root());
    EXPECT_EQ(out.clientFromImageXform(), src.clientFromImageXform());
    for (long y = out.window().y(); y < out.window().bottom(); ++y)
      for (long x = out.window().x(); x < out.window().right(); ++x)
        ASSERT_EQ(out.get(x, y),
                  src.get(kfILimit(x, w.x(), w.right() - 1), kfILimit(y, w.y(), w.bottom() - 1)))
            << x << "," << y;
  }
}

TEST(ExpandByDuplicatingBorderPixels, UnboundOrEmptySourceIsAnInternalError) {
  EXPECT_THROW(kf_ExpandByDuplicatingBorderPixels(Image()), kcAssertionFailure);
  Image empty(kcPelRect(0, 0, 5, 5));
  empty.window(kcPelRect(2, 2, 3, 0), false);
  EXPECT_THROW(kf_ExpandByDuplicatingBorderPixels(empty), kcAssertionFailure);
}

TEST(PaddedAffineSample, ConstantSourceGivesConstantResultOfTheRequestedSize) {
  const std::pair<long, long> sizes[] = {{1, 1}, {1, 50}, {37, 3}, {4, 4}, {61, 45}};
  for (bool bicubic : {false, true})
    for (const auto& [xs, ys] : sizes) {
      const Image src = makeImage(kcPelRect(-4, 3, 7, 5), [](long, long) { return 77; });
      const Image out = kf_PaddedAffineSample(src, xs, ys, bicubic);
      ASSERT_EQ(out.window(), kcPelRect(0, 0, xs, ys));
      EXPECT_TRUE(out.clientFromImageXform().isIdentity());
      for (long y = 0; y < ys; ++y)
        for (long x = 0; x < xs; ++x) ASSERT_EQ(out.get(x, y), 77) << bicubic;
    }
}

kcPelBuffer<unsigned char> sampleOwnWindow(const Image& src, long xs, long ys, bool bicubic) {
  const kcPelRect& w = src.window();
  const kcAffineSamplingParams p(
      kcAffineRectangle(kcVector<2>(w.ul()), kcVector<2>(w.ur()), kcVector<2>(w.ll())), xs, ys,
      bicubic ? kcAffineSamplingParams::eBicubic : kcAffineSamplingParams::eBilinear);
  return kfAffineTransformImage<unsigned char>(src, p);
}

long largestDifference(const Image& a, const Image& b) {
  long d = 0;
  for (long y = 0; y < a.height(); ++y)
    for (long x = 0; x < a.width(); ++x)
      d = std::max(d, std::labs(long(a.get(x, y)) - b.get(x, y)));
  return d;
}

// The replicated border must give the same values as reading the nearest edge
// pel, so the result equals sampling the bare source over its own window.
// With power-of-two scale factors every weight is exact and so is the
// equality; other factors may round a value lying on a half differently.
TEST(PaddedAffineSample, EqualsSamplingTheSourceOverItsOwnWindow) {
  for (int trial = 0; trial < 60; ++trial) {
    const bool bicubic = trial % 2 == 1;
    const kcPelRect w(uniform(-9, 9), uniform(-9, 9), uniform(1, 14), uniform(1, 14));
    Image whole = randomImage(w.trim(-4, -4, -4, -4, false));
    Image src = whole;
    src.window(w, false);
    const bool dyadic = trial % 4 < 2;
    const long xs = dyadic ? w.width() << uniform(0, 3) : uniform(1, 4 * w.width());
    const long ys = dyadic ? w.height() << uniform(0, 3) : uniform(1, 4 * w.height());
    const Image expected = sampleOwnWindow(src, xs, ys, bicubic);
    for (int transformed = 0; transformed < 2; ++transformed) {
      // A client transform moves the rectangle with the window: same result.
      if (transformed) src.clientFromImageXformBase(kScaled);
      const Image out = kf_PaddedAffineSample(src, xs, ys, bicubic);
      ASSERT_EQ(out.window(), kcPelRect(0, 0, xs, ys));
      ASSERT_LE(largestDifference(out, expected), dyadic ? 0 : 1) << trial;
    }
  }
}

TEST(PaddedAffineSample, UpsamplingByFourOfAPelPairInterpolatesLinearly) {
  Image src(kcPelRect(10, 20, 2, 1));
  src.set(10, 20, 40);
  src.set(11, 20, 120);
  const Image out = kf_PaddedAffineSample(src, 8, 4, false);
  // Sample i lies at pel coordinate (i + 0.5) / 4 - 0.5.
  const int expected[8] = {40, 40, 50, 70, 90, 110, 120, 120};
  for (long y = 0; y < 4; ++y)
    for (long x = 0; x < 8; ++x) EXPECT_EQ(out.get(x, y), expected[x]) << x;
}

TEST(PaddedAffineSampleRows, HandsOverThePelsOfThePaddedSample) {
  for (bool bicubic : {false, true}) {
    Image src =
        randomImage(kcPelRect(uniform(-9, 9), uniform(-9, 9), uniform(1, 30), uniform(1, 30)));
    src.clientFromImageXformBase(kScaled);
    const long xs = uniform(1, 130), ys = uniform(1, 130);
    const Image expected = kf_PaddedAffineSample(src, xs, ys, bicubic);
    long rows = 0;
    kf_PaddedAffineSampleRows(src, xs, ys, bicubic, [&](long j, const unsigned char* row) {
      ASSERT_EQ(j, rows++);
      for (long i = 0; i < xs; ++i) ASSERT_EQ(row[i], expected.get(i, j));
    });
    EXPECT_EQ(rows, ys);
  }
}

TEST(PaddedAffineSample, RefusesBadSizesAndSources) {
  const Image src = randomImage(kcPelRect(0, 0, 4, 4));
  for (bool bicubic : {false, true}) {
    EXPECT_THROW(kf_PaddedAffineSample(src, 0, 4, bicubic), kcPelFunc::BadParams);
    EXPECT_THROW(kf_PaddedAffineSample(src, 4, -1, bicubic), kcPelFunc::BadParams);
    EXPECT_THROW(kf_PaddedAffineSample(src, 32768, 4, bicubic), kcPelFunc::BadParams);
    EXPECT_THROW(kf_PaddedAffineSample(src, 4, 65540, bicubic), kcPelFunc::BadParams);
    EXPECT_THROW(kf_PaddedAffineSample(Image(), 4, 4, bicubic), kcPel::UnboundWindow);
    Image empty = src;
    empty.window(kcPelRect(1, 1, 0, 2), false);
    EXPECT_THROW(kf_PaddedAffineSample(empty, 4, 4, bicubic), kcAssertionFailure);
  }
}

}  // namespace
