#include "host/geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "host/exceptions.h"
#include "host/xform.h"
#include "test_support.h"

namespace {

using namespace testing_support;

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
