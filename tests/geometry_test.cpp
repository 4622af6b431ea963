#include "host/geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "host/exceptions.h"
#include "host/xform.h"
#include "test_support.h"

namespace {

using namespace testing_support;

// Rectangles are half open; intersection and containment against a per-pel definition.
TEST(GeometryRectangle, IntersectionAndContainmentFollowThePels) {
  const kcPelRect r(2, 5, 10, 4), t(10, 20, 30, 40);
  EXPECT_EQ(r.ur(), kcPair<long>(12, 5));
  EXPECT_EQ(r.ll(), kcPair<long>(2, 9));
  EXPECT_TRUE(r.contains(kcPelRect(12, 9, 0, 0)));  // a null rectangle on the edge
  EXPECT_FALSE(r.contains(kcPelRect(11, 8, 2, 1)));
  EXPECT_TRUE(kcPelRect(3, 3, 5, -1).isNull());
  EXPECT_EQ(t.trim(1, 2, 3, 4, false), kcPelRect(11, 22, 26, 34));
  EXPECT_EQ(t.trim(20, 0, 20, 50, false), kcPelRect(30, 20, -10, -10));
  EXPECT_EQ(t.trim(20, 0, 20, 50, true), kcPelRect(30, 20, 0, 0));
  EXPECT_EQ(kcPair<long>(3, -4) - kcPair<long>(-1, 10), kcPair<long>(4, -14));
  for (int i = 0; i < 500; ++i) {
    const kcPelRect a(uniform(-6, 6), uniform(-6, 6), uniform(0, 8), uniform(0, 8));
    const kcPelRect b(uniform(-6, 6), uniform(-6, 6), uniform(0, 8), uniform(0, 8));
    kcPelRect c = a;
    c &= b;
    ASSERT_EQ(c, b & a);
    ASSERT_TRUE(c.width() >= 0 && c.height() >= 0);
    ASSERT_EQ(a == b, a.x() == b.x() && a.y() == b.y() && a.width() == b.width() &&
                          a.height() == b.height());
    for (long y = -8; y < 16; ++y)
      for (long x = -8; x < 16; ++x)
        ASSERT_EQ(c.contains(kcPair<long>(x, y)),
                  a.contains(kcPair<long>(x, y)) && b.contains(kcPair<long>(x, y)));
    ASSERT_TRUE(c.isNull() || (a.contains(c) && b.contains(c)));
  }
}

TEST(Xform2, AnglesAxesMatrixCompositionAndInverse) {
  EXPECT_NEAR(kcRadian(kcDegree(180.0)).toDouble(), std::numbers::pi, 1e-15);
  EXPECT_NEAR(kcDegree(kcRadian(std::numbers::pi / 2)).toDouble(), 90.0, 1e-12);
  EXPECT_EQ(kcDegree(1.5) - kcDegree(2.0), kcDegree(-0.5));
  EXPECT_FALSE(kfRealEq(kcVector<2>(1, 2), kcVector<2>(1.01, 2.5), 0.02));
  const kcRadian xRot(kcDegree(30.0)), yRot(kcDegree(60.0));
  const kcXform<2> x(kcVector<2>(5, -2), xRot, yRot, 2.0, 3.0);
  EXPECT_TRUE(
      kfRealEq(x * kcVector<2>(1, 0), kcVector<2>(5 + 2 * cos(xRot), -2 + 2 * sin(xRot)), 1e-12));
  EXPECT_TRUE(
      kfRealEq(x * kcVector<2>(0, 1), kcVector<2>(5 - 3 * sin(yRot), -2 + 3 * cos(yRot)), 1e-12));
  EXPECT_TRUE(kcXform<2>().isIdentity());
  EXPECT_FALSE(kcXform<2>::fromMatrix(1, 0, 0, 1, 0, 1e-9).isIdentity());
  EXPECT_EQ(kcXform<2>::fromMatrix(1, 2, 3, 4, 5, 6) * kcVector<2>(1, 1), kcVector<2>(8, 13));
  // The right operand applies first.
  const kcXform<2> a = kcXform<2>::fromMatrix(0, -1, 1, 0, 10, 0);
  const kcXform<2> b = kcXform<2>::scaleAndTranslate(2, 3, 1, 1);
  EXPECT_EQ((a * b) * kcVector<2>(1, 2), kcVector<2>(3, 3));
  EXPECT_EQ((b * a) * kcVector<2>(1, 2), kcVector<2>(17, 4));
  const kcAffineRectangle r(kcVector<2>(1, 2), kcVector<2>(5, 2), kcVector<2>(1, 8));
  EXPECT_EQ(r.fromUnitSquare() * kcVector<2>(1, 1), kcVector<2>(5, 8));
  EXPECT_EQ(r.fromUnitSquare() * kcVector<2>(0, 1), r.yEnd());
  for (int i = 0; i < 200; ++i) {
    const kcXform<2> t(kcVector<2>(uniformReal(-4, 4), uniformReal(-4, 4)),
                       kcRadian(uniformReal(-4, 4)), kcRadian(uniformReal(-4, 4)),
                       uniformReal(0.5, 4.5), uniformReal(0.5, 4.5));
    if (std::fabs(t.a() * t.d() - t.b() * t.c()) < 0.1) continue;  // near-singular
    const kcVector<2> p(uniformReal(-4, 4), uniformReal(-4, 4));
    ASSERT_TRUE(kfRealEq(t.inverse() * (t * p), p, 1e-9));
    ASSERT_TRUE(kfRealEq(t * (t.inverse() * p), p, 1e-9));
  }
  EXPECT_THROW(kcXform<2>::fromMatrix(1, 2, 2, 4, 0, 0).inverse(), kcAssertionFailure);
  EXPECT_EQ(kcXform<2>::scaleAndTranslate(2, 4, 1, 1).inverse(),
            kcXform<2>::scaleAndTranslate(0.5, 0.25, -0.5, -0.25));
}

}  // namespace
