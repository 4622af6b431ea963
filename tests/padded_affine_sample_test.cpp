#include "pelfuncs/padded_affine_sample.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "host/exceptions.h"
#include "imaging/affine_sample.h"
#include "imaging/ilimit.h"
#include "test_support.h"

namespace {

using namespace testing_support;

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
    for (long y = out.window().y(); y < out.window().bottom(); ++y)
      for (long x = out.window().x(); x < out.window().right(); ++x)
        ASSERT_EQ(out.get(x, y),
                  src.get(kfILimit(x, w.x(), w.right() - 1), kfILimit(y, w.y(), w.bottom() - 1)));
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
    const kcAffineSamplingParams p(
        kcAffineRectangle(kcVector<2>(w.ul()), kcVector<2>(w.ur()), kcVector<2>(w.ll())), xs, ys,
        bicubic ? kcAffineSamplingParams::eBicubic : kcAffineSamplingParams::eBilinear);
    const Image expected = kfAffineTransformImage<unsigned char>(src, p);
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

TEST(PaddedAffineSample, UpsamplingAPelPairInterpolatesLinearlyAndBadSizesAreRefused) {
  Image src(kcPelRect(10, 20, 2, 1));
  src.set(10, 20, 40);
  src.set(11, 20, 120);
  const Image out = kf_PaddedAffineSample(src, 8, 4, false);
  const int expected[8] = {40, 40, 50, 70, 90, 110, 120, 120};  // at (i + 0.5) / 4 - 0.5
  for (long y = 0; y < 4; ++y)
    for (long x = 0; x < 8; ++x) EXPECT_EQ(out.get(x, y), expected[x]) << x;
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
