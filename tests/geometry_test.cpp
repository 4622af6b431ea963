#include "host/geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include "host/exceptions.h"
#include "host/xform.h"

namespace {

// --- Pairs and vectors ---

TEST(GeometryPair, ArithmeticAndComparison) {
  const kcPair<long> a(3, -4), b(-1, 10);
  EXPECT_EQ(a + b, kcPair<long>(2, 6));
  EXPECT_EQ(a - b, kcPair<long>(4, -14));
  EXPECT_FALSE(a == b);
  kcPair<double> c;
  EXPECT_EQ(c, kcPair<double>(0.0, 0.0));
  c.x(0.25);
  c.y(-2.0);
  EXPECT_EQ(c.x(), 0.25);
  EXPECT_EQ(c.y(), -2.0);
  const kcVector<2> v(kcPair<long>(3, -4));
  EXPECT_EQ(v, kcVector<2>(3.0, -4.0));
  EXPECT_EQ(v * 0.5 + kcVector<2>(1, 1) - kcVector<2>(0.5, 0), kcVector<2>(2.0, -1.0));
}

// --- Rectangles ---

TEST(GeometryRectangle, IntersectionOfOverlappingRectangles) {
  const kcPelRect a(0, 0, 10, 8), b(6, -3, 10, 5);
  EXPECT_EQ(a & b, kcPelRect(6, 0, 4, 2));
  EXPECT_EQ(b & a, kcPelRect(6, 0, 4, 2));
  kcPelRect c = a;
  c &= b;
  EXPECT_EQ(c, kcPelRect(6, 0, 4, 2));
}

TEST(GeometryRectangle, IntersectionOfContainedRectangleIsItself) {
  const kcPelRect outer(-5, -5, 20, 20), inner(0, 2, 3, 4);
  EXPECT_EQ(outer & inner, inner);
  EXPECT_EQ(inner & outer, inner);
  EXPECT_EQ(outer & outer, outer);
}

TEST(GeometryRectangle, DisjointOrTouchingRectanglesIntersectToNull) {
  const kcPelRect a(0, 0, 10, 10);
  // Touching at an edge: half-open rectangles share no pel.
  for (const kcPelRect& b : {kcPelRect(10, 0, 5, 5), kcPelRect(0, 10, 5, 5),
                             kcPelRect(-5, -5, 5, 20), kcPelRect(30, 40, 2, 2)}) {
    const kcPelRect r = a & b;
    EXPECT_TRUE(r.isNull());
    EXPECT_GE(r.width(), 0);
    EXPECT_GE(r.height(), 0);
    EXPECT_EQ(r.width() * r.height(), 0);
  }
  EXPECT_TRUE(kcPelRect(3, 3, 0, 5).isNull());
  EXPECT_TRUE(kcPelRect(3, 3, 5, -1).isNull());
  EXPECT_FALSE(kcPelRect(3, 3, 1, 1).isNull());
}

TEST(GeometryRectangle, CornersArePelEdges) {
  const kcPelRect r(2, 5, 10, 4);
  EXPECT_EQ(r.ul(), kcPair<long>(2, 5));
  EXPECT_EQ(r.ur(), kcPair<long>(12, 5));
  EXPECT_EQ(r.ll(), kcPair<long>(2, 9));
  EXPECT_EQ(r.lr(), kcPair<long>(12, 9));
  EXPECT_EQ(r.right(), 12);
  EXPECT_EQ(r.bottom(), 9);
  EXPECT_EQ(r.origin(), kcPair<long>(2, 5));
  EXPECT_EQ(r.size(), kcPair<long>(10, 4));
  // The lower-right corner is outside: the last pel is at lr - (1, 1).
  EXPECT_FALSE(r.contains(r.lr()));
  EXPECT_TRUE(r.contains(r.lr() - kcPair<long>(1, 1)));
}

TEST(GeometryRectangle, ContainsPointsHalfOpen) {
  const kcPelRect r(-2, 3, 4, 2);
  EXPECT_TRUE(r.contains(kcPair<long>(-2, 3)));
  EXPECT_TRUE(r.contains(kcPair<long>(1, 4)));
  EXPECT_FALSE(r.contains(kcPair<long>(2, 4)));
  EXPECT_FALSE(r.contains(kcPair<long>(1, 5)));
  EXPECT_FALSE(r.contains(kcPair<long>(-3, 3)));
  EXPECT_FALSE(r.contains(kcPair<long>(-2, 2)));
  EXPECT_FALSE(kcPelRect(0, 0, 0, 0).contains(kcPair<long>(0, 0)));
}

TEST(GeometryRectangle, ContainsRectangles) {
  const kcPelRect r(0, 0, 10, 10);
  EXPECT_TRUE(r.contains(r));
  EXPECT_TRUE(r.contains(kcPelRect(9, 9, 1, 1)));
  EXPECT_FALSE(r.contains(kcPelRect(9, 9, 2, 1)));
  EXPECT_FALSE(r.contains(kcPelRect(-1, 0, 1, 1)));
  EXPECT_TRUE(r.contains(kcPelRect(10, 10, 0, 0)));  // a null rectangle on the edge
}

TEST(GeometryRectangle, TrimShrinksAndGrows) {
  const kcPelRect r(10, 20, 30, 40);
  EXPECT_EQ(r.trim(1, 2, 3, 4, false), kcPelRect(11, 22, 26, 34));
  EXPECT_EQ(r.trim(-1, -2, -3, -4, false), kcPelRect(9, 18, 34, 46));
  EXPECT_EQ(r.trim(20, 0, 20, 50, false), kcPelRect(30, 20, -10, -10));
  EXPECT_EQ(r.trim(20, 0, 20, 50, true), kcPelRect(30, 20, 0, 0));
  EXPECT_EQ(r.trim(0, 0, 0, 0, true), r);
}

TEST(GeometryRectangle, EqualityComparesAllFields) {
  const kcPelRect r(1, 2, 3, 4);
  EXPECT_TRUE(r == kcPelRect(kcPair<long>(1, 2), kcPair<long>(3, 4)));
  for (const kcPelRect& o : {kcPelRect(0, 2, 3, 4), kcPelRect(1, 0, 3, 4), kcPelRect(1, 2, 0, 4),
                             kcPelRect(1, 2, 3, 0)}) {
    EXPECT_TRUE(r != o);
    EXPECT_FALSE(r == o);
  }
}

// Intersection against a per-pel definition on random rectangles.
TEST(GeometryRectangle, IntersectionHoldsExactlyTheCommonPels) {
  std::mt19937 gen(7);
  std::uniform_int_distribution<long> pos(-6, 6), len(0, 8);
  for (int i = 0; i < 500; ++i) {
    const kcPelRect a(pos(gen), pos(gen), len(gen), len(gen));
    const kcPelRect b(pos(gen), pos(gen), len(gen), len(gen));
    const kcPelRect r = a & b;
    for (long y = -8; y < 16; ++y)
      for (long x = -8; x < 16; ++x) {
        const kcPair<long> p(x, y);
        ASSERT_EQ(r.contains(p), a.contains(p) && b.contains(p));
      }
    ASSERT_TRUE(r.isNull() || (a.contains(r) && b.contains(r)));
  }
}

// --- Angles ---

TEST(GeometryAngle, DegreesAndRadiansConvert) {
  EXPECT_NEAR(kcRadian(kcDegree(180.0)).toDouble(), std::numbers::pi, 1e-15);
  EXPECT_NEAR(kcDegree(kcRadian(std::numbers::pi / 2)).toDouble(), 90.0, 1e-12);
  EXPECT_NEAR(sin(kcRadian(kcDegree(30.0))), 0.5, 1e-15);
  EXPECT_NEAR(cos(kcRadian(kcDegree(60.0))), 0.5, 1e-15);
  EXPECT_NEAR(tan(kcRadian(kcDegree(45.0))), 1.0, 1e-15);
  EXPECT_TRUE(kcDegree(1.0) < kcDegree(2.0));
  EXPECT_EQ(kcDegree(1.5) + kcDegree(2.0), kcDegree(3.5));
  EXPECT_EQ(kcDegree(1.5) - kcDegree(2.0), kcDegree(-0.5));
}

TEST(GeometryAngle, RealEqualityUsesAnAbsoluteTolerance) {
  EXPECT_TRUE(kfRealEq(1.0, 1.05, 0.1));
  EXPECT_FALSE(kfRealEq(1.0, 1.2, 0.1));
  EXPECT_TRUE(kfRealEq(kcVector<2>(1, 2), kcVector<2>(1.01, 1.99), 0.02));
  EXPECT_FALSE(kfRealEq(kcVector<2>(1, 2), kcVector<2>(1.01, 2.5), 0.02));
}

// --- Affine transforms ---

constexpr double kEps = 1e-12;

TEST(Xform2, DefaultIsIdentity) {
  const kcXform<2> x;
  EXPECT_TRUE(x.isIdentity());
  EXPECT_EQ(x * kcVector<2>(3, -4), kcVector<2>(3, -4));
  EXPECT_TRUE(kc2XformLinear().isIdentity());
}

TEST(Xform2, RotationScaleAndTranslationOfTheAxes) {
  const kcRadian xRot(kcDegree(30.0)), yRot(kcDegree(60.0));
  const kcXform<2> x(kcVector<2>(5, -2), xRot, yRot, 2.0, 3.0);
  // Origin goes to the translation, the axes to their rotated, scaled images.
  EXPECT_TRUE(kfRealEq(x * kcVector<2>(0, 0), kcVector<2>(5, -2), kEps));
  EXPECT_TRUE(kfRealEq(x * kcVector<2>(1, 0) - x * kcVector<2>(0, 0),
                       kcVector<2>(2 * cos(xRot), 2 * sin(xRot)), kEps));
  EXPECT_TRUE(kfRealEq(x * kcVector<2>(0, 1) - x * kcVector<2>(0, 0),
                       kcVector<2>(-3 * sin(yRot), 3 * cos(yRot)), kEps));

  const kcXform<2> quarterTurn(kcVector<2>(0, 0), kcRadian(kcDegree(90.0)),
                               kcRadian(kcDegree(90.0)), 1, 1);
  EXPECT_TRUE(kfRealEq(quarterTurn * kcVector<2>(1, 0), kcVector<2>(0, 1), kEps));
  EXPECT_TRUE(kfRealEq(quarterTurn * kcVector<2>(0, 1), kcVector<2>(-1, 0), kEps));

  const kcXform<2> s = kcXform<2>::scaleAndTranslate(2, 0.5, -1, 3);
  EXPECT_EQ(s * kcVector<2>(4, 4), kcVector<2>(7, 5));
}

TEST(Xform2, MatrixFormAppliesAsStated) {
  const kcXform<2> m = kcXform<2>::fromMatrix(1, 2, 3, 4, 5, 6);
  EXPECT_EQ(m.a(), 1);
  EXPECT_EQ(m.b(), 2);
  EXPECT_EQ(m.c(), 3);
  EXPECT_EQ(m.d(), 4);
  EXPECT_EQ(m.translation(), kcVector<2>(5, 6));
  EXPECT_EQ(m * kcVector<2>(1, 1), kcVector<2>(8, 13));
  EXPECT_FALSE(m.isIdentity());
}

TEST(Xform2, InverseUndoesTheTransform) {
  std::mt19937 gen(3);
  std::uniform_real_distribution<double> u(-4, 4);
  for (int i = 0; i < 200; ++i) {
    const kcXform<2> x(kcVector<2>(u(gen), u(gen)), kcRadian(u(gen)), kcRadian(u(gen)),
                       0.5 + std::fabs(u(gen)), 0.5 + std::fabs(u(gen)));
    if (std::fabs(x.a() * x.d() - x.b() * x.c()) < 0.1) continue;  // near-singular
    const kcXform<2> inv = x.inverse();
    const kcVector<2> p(u(gen), u(gen));
    ASSERT_TRUE(kfRealEq(inv * (x * p), p, 1e-9));
    ASSERT_TRUE(kfRealEq(x * (inv * p), p, 1e-9));
  }
  // A singular matrix has no inverse: an internal assertion, not a crash.
  EXPECT_THROW(kcXform<2>::fromMatrix(1, 2, 2, 4, 0, 0).inverse(), kcAssertionFailure);
  EXPECT_EQ(kcXform<2>::scaleAndTranslate(2, 4, 1, 1).inverse(),
            kcXform<2>::scaleAndTranslate(0.5, 0.25, -0.5, -0.25));
}

TEST(Xform2, CompositionAppliesRightOperandFirst) {
  const kcXform<2> a = kcXform<2>::fromMatrix(0, -1, 1, 0, 10, 0);  // quarter turn, then +10 in x
  const kcXform<2> b = kcXform<2>::scaleAndTranslate(2, 3, 1, 1);
  const kcVector<2> p(1, 2);
  EXPECT_EQ((a * b) * p, a * (b * p));
  EXPECT_EQ((a * b) * p, kcVector<2>(3, 3));
  EXPECT_EQ((b * a) * p, kcVector<2>(17, 4));
  EXPECT_TRUE((b * b.inverse()).isIdentity());
}

TEST(Xform2, HandlesAndAffineRectangles) {
  const kc2XformHandle h = kc2XformLinear::handle(kcXform<2>::scaleAndTranslate(2, 2, 1, 0));
  EXPECT_EQ(*h * kcVector<2>(1, 1), kcVector<2>(3, 2));
  EXPECT_FALSE(h->isIdentity());

  const kcAffineRectangle r(kcVector<2>(1, 2), kcVector<2>(5, 2), kcVector<2>(1, 8));
  const kcXform<2> unit = r.fromUnitSquare();
  EXPECT_EQ(unit * kcVector<2>(0, 0), r.origin());
  EXPECT_EQ(unit * kcVector<2>(1, 0), r.xEnd());
  EXPECT_EQ(unit * kcVector<2>(0, 1), r.yEnd());
  EXPECT_EQ(unit * kcVector<2>(1, 1), kcVector<2>(5, 8));
}

}  // namespace
