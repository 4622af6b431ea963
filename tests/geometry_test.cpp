#include "host/geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include "host/exceptions.h"
#include "host/xform.h"

namespace {

TEST(GeometryPair, ArithmeticAndVectors) {
  const kcPair<long> a(3, -4), b(-1, 10);
  EXPECT_EQ(a + b, kcPair<long>(2, 6));
  EXPECT_EQ(a - b, kcPair<long>(4, -14));
  EXPECT_FALSE(a == b);
  const kcVector<2> v(kcPair<long>(3, -4));
  EXPECT_EQ(v * 0.5 + kcVector<2>(1, 1) - kcVector<2>(0.5, 0), kcVector<2>(2.0, -1.0));
}

// Rectangles are half open: the lower-right corner is outside.
TEST(GeometryRectangle, CornersContainmentAndTrim) {
  const kcPelRect r(2, 5, 10, 4);
  EXPECT_EQ(r.ur(), kcPair<long>(12, 5));
  EXPECT_EQ(r.ll(), kcPair<long>(2, 9));
  EXPECT_FALSE(r.contains(r.lr()));
  EXPECT_TRUE(r.contains(r.lr() - kcPair<long>(1, 1)));
  EXPECT_FALSE(kcPelRect(0, 0, 0, 0).contains(kcPair<long>(0, 0)));
  EXPECT_TRUE(r.contains(kcPelRect(12, 9, 0, 0)));  // a null rectangle on the edge
  EXPECT_FALSE(r.contains(kcPelRect(11, 8, 2, 1)));
  EXPECT_TRUE(kcPelRect(3, 3, 5, -1).isNull());
  EXPECT_FALSE(kcPelRect(3, 3, 1, 1).isNull());
  const kcPelRect t(10, 20, 30, 40);
  EXPECT_EQ(t.trim(1, 2, 3, 4, false), kcPelRect(11, 22, 26, 34));
  EXPECT_EQ(t.trim(-1, -2, -3, -4, false), kcPelRect(9, 18, 34, 46));
  EXPECT_EQ(t.trim(20, 0, 20, 50, false), kcPelRect(30, 20, -10, -10));
  EXPECT_EQ(t.trim(20, 0, 20, 50, true), kcPelRect(30, 20, 0, 0));
  for (const kcPelRect& o : {kcPelRect(0, 2, 3, 4), kcPelRect(1, 0, 3, 4), kcPelRect(1, 2, 0, 4),
                             kcPelRect(1, 2, 3, 0)})
    EXPECT_TRUE(kcPelRect(1, 2, 3, 4) != o);
}

// Intersection and containment against a per-pel definition.
TEST(GeometryRectangle, IntersectionHoldsExactlyTheCommonPels) {
  std::mt19937 gen(7);
  std::uniform_int_distribution<long> pos(-6, 6), len(0, 8);
  for (int i = 0; i < 500; ++i) {
    const kcPelRect a(pos(gen), pos(gen), len(gen), len(gen));
    const kcPelRect b(pos(gen), pos(gen), len(gen), len(gen));
    kcPelRect r = a;
    r &= b;
    ASSERT_EQ(r, b & a);
    ASSERT_TRUE(r.width() >= 0 && r.height() >= 0);
    for (long y = -8; y < 16; ++y)
      for (long x = -8; x < 16; ++x) {
        const kcPair<long> p(x, y);
        ASSERT_EQ(r.contains(p), a.contains(p) && b.contains(p));
      }
    ASSERT_TRUE(r.isNull() || (a.contains(r) && b.contains(r)));
  }
}

TEST(GeometryAngle, ConversionsAndRealEquality) {
  EXPECT_NEAR(kcRadian(kcDegree(180.0)).toDouble(), std::numbers::pi, 1e-15);
  EXPECT_NEAR(kcDegree(kcRadian(std::numbers::pi / 2)).toDouble(), 90.0, 1e-12);
  EXPECT_NEAR(sin(kcRadian(kcDegree(30.0))), 0.5, 1e-15);
  EXPECT_NEAR(cos(kcRadian(kcDegree(60.0))), 0.5, 1e-15);
  EXPECT_NEAR(tan(kcRadian(kcDegree(45.0))), 1.0, 1e-15);
  EXPECT_TRUE(kcDegree(1.0) < kcDegree(2.0));
  EXPECT_EQ(kcDegree(1.5) - kcDegree(2.0), kcDegree(-0.5));
  EXPECT_TRUE(kfRealEq(1.0, 1.05, 0.1));
  EXPECT_FALSE(kfRealEq(1.0, 1.2, 0.1));
  EXPECT_FALSE(kfRealEq(kcVector<2>(1, 2), kcVector<2>(1.01, 2.5), 0.02));
}

constexpr double kEps = 1e-12;

TEST(Xform2, AxesMatrixAndComposition) {
  EXPECT_TRUE(kcXform<2>().isIdentity());
  const kcRadian xRot(kcDegree(30.0)), yRot(kcDegree(60.0));
  const kcXform<2> x(kcVector<2>(5, -2), xRot, yRot, 2.0, 3.0);
  EXPECT_TRUE(kfRealEq(x * kcVector<2>(0, 0), kcVector<2>(5, -2), kEps));
  EXPECT_TRUE(kfRealEq(x * kcVector<2>(1, 0) - x * kcVector<2>(0, 0),
                       kcVector<2>(2 * cos(xRot), 2 * sin(xRot)), kEps));
  EXPECT_TRUE(kfRealEq(x * kcVector<2>(0, 1) - x * kcVector<2>(0, 0),
                       kcVector<2>(-3 * sin(yRot), 3 * cos(yRot)), kEps));
  const kcXform<2> m = kcXform<2>::fromMatrix(1, 2, 3, 4, 5, 6);
  EXPECT_EQ(m * kcVector<2>(1, 1), kcVector<2>(8, 13));
  EXPECT_FALSE(m.isIdentity());
  EXPECT_EQ(kcXform<2>::scaleAndTranslate(2, 0.5, -1, 3) * kcVector<2>(4, 4), kcVector<2>(7, 5));
  // The right operand applies first.
  const kcXform<2> a = kcXform<2>::fromMatrix(0, -1, 1, 0, 10, 0);
  const kcXform<2> b = kcXform<2>::scaleAndTranslate(2, 3, 1, 1);
  EXPECT_EQ((a * b) * kcVector<2>(1, 2), kcVector<2>(3, 3));
  EXPECT_EQ((b * a) * kcVector<2>(1, 2), kcVector<2>(17, 4));
  const kcAffineRectangle r(kcVector<2>(1, 2), kcVector<2>(5, 2), kcVector<2>(1, 8));
  EXPECT_EQ(r.fromUnitSquare() * kcVector<2>(1, 1), kcVector<2>(5, 8));
  EXPECT_EQ(r.fromUnitSquare() * kcVector<2>(0, 1), r.yEnd());
}

TEST(Xform2, InverseUndoesTheTransform) {
  std::mt19937 gen(3);
  std::uniform_real_distribution<double> u(-4, 4);
  for (int i = 0; i < 200; ++i) {
    const kcXform<2> x(kcVector<2>(u(gen), u(gen)), kcRadian(u(gen)), kcRadian(u(gen)),
                       0.5 + std::fabs(u(gen)), 0.5 + std::fabs(u(gen)));
    if (std::fabs(x.a() * x.d() - x.b() * x.c()) < 0.1) continue;  // near-singular
    const kcVector<2> p(u(gen), u(gen));
    ASSERT_TRUE(kfRealEq(x.inverse() * (x * p), p, 1e-9));
    ASSERT_TRUE(kfRealEq(x * (x.inverse() * p), p, 1e-9));
  }
  EXPECT_THROW(kcXform<2>::fromMatrix(1, 2, 2, 4, 0, 0).inverse(), kcAssertionFailure);
  EXPECT_EQ(kcXform<2>::scaleAndTranslate(2, 4, 1, 1).inverse(),
            kcXform<2>::scaleAndTranslate(0.5, 0.25, -0.5, -0.25));
}

}  // namespace
