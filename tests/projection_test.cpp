#include "imaging/projection.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "host/exceptions.h"
#include "test_support.h"

namespace {

using namespace testing_support;
using Profile = kcPelBuffer<unsigned long>;
using Params = kcAffineSamplingParams;

// Against a slow reference: the column sums of the affine sample.
TEST(ProjectImage, SumsTheColumnsOfTheSampledImage) {
  for (int trial = 0; trial < 30; ++trial) {
    const kcPelRect w = randomWindow(20, 20);
    const Image src = randomImage(w);
    const kcVector<2> o(uniformReal(w.x() - 3, w.right()), uniformReal(w.y() - 3, w.bottom()));
    const double a = uniformReal(-std::numbers::pi, std::numbers::pi);
    const double lx = uniformReal(1, 30), ly = uniformReal(1, 30);
    const Params p(kcAffineRectangle(o, o + kcVector<2>(std::cos(a), std::sin(a)) * lx,
                                     o + kcVector<2>(-std::sin(a), std::cos(a)) * ly),
                   uniform(1, 30), uniform(1, 30), trial % 2 ? 3 : 2);
    const Image samples = kfAffineTransformImage<unsigned char>(src, p);
    const Profile profile = kfProjectImage<unsigned char>(src, p);
    ASSERT_EQ(profile.window(), kcPelRect(0, 0, p.xSize(), 1));
    for (long i = 0; i < p.xSize(); ++i) {
      unsigned long sum = 0;
      for (long j = 0; j < p.ySize(); ++j) sum += samples.get(i, j);
      ASSERT_EQ(profile.get(i, 0), sum) << "trial " << trial << " column " << i;
    }
  }
}

// A pel whose centre lies in the strip summed into profile pel i maps to x in [i, i + 1).
TEST(ProjectImage, TransformMapsPelCentresToProfilePositions) {
  Image src = randomImage(kcPelRect(4, -2, 6, 5));
  for (int transformed = 0; transformed < 2; ++transformed) {
    if (transformed)  // client = (2 x + 1, 3 y - 4); the rectangle follows the window
      setXform(src, kcXform<2>::scaleAndTranslate(2, 3, 1, -4));
    const kcXform<2> c = src.clientFromImageXform();
    const kcPelRect& w = src.window();
    const Params p(kcAffineRectangle(c * kcVector<2>(w.ul()), c * kcVector<2>(w.ur()),
                                     c * kcVector<2>(w.ll())),
                   12, 5, 2);
    const kcXform<2> t = kfProjectImage<unsigned char>(src, p).imageFromClientXform();
    for (long y = w.y(); y < w.bottom(); ++y)
      for (long x = w.x(); x < w.right(); ++x) {
        const kcVector<2> q = t * kcVector<2>(x, y);
        EXPECT_NEAR(q.x(), 2.0 * (x - 4) + 1.0, 1e-12);
        EXPECT_NEAR(q.y(), (y + 2) + 0.5, 1e-12);
      }
  }
}

TEST(ProjectImage, RefusesUnboundSourcesAndFlatRectangles) {
  const Params good(kcAffineRectangle({0, 0}, {5, 0}, {0, 5}), 5, 5, 2);
  EXPECT_THROW(kfProjectImage<unsigned char>(Image(), good), kcPel::UnboundWindow);
  const Params flat(kcAffineRectangle({0, 0}, {5, 0}, {10, 0}), 5, 5, 2);
  EXPECT_THROW(kfProjectImage<unsigned char>(randomImage(kcPelRect(0, 0, 5, 5)), flat),
               kcPelFunc::BadParams);
}

}  // namespace
