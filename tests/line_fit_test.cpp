#include "imaging/line_fit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "host/exceptions.h"
#include "test_support.h"

namespace {

using testing_support::rng;

constexpr double kDegreesPerRadian = 180.0 / std::numbers::pi;

double slopeDegrees(double slope) { return std::atan(slope) * kDegreesPerRadian; }

double distanceToLine(const kcFLine& line, const kcVector<2>& p) {
  const kcRadian a(line.angle());
  const kcVector<2> d = p - line.point();
  return std::fabs(-std::sin(a.toDouble()) * d.x() + std::cos(a.toDouble()) * d.y());
}

kcFLine fitPoints(const std::vector<kcVector<2>>& points) {
  kcLSLineFitter fitter;
  for (const kcVector<2>& p : points) fitter.update(p);
  return fitter.fit();
}

// Difference of two line angles, modulo 180 degrees, in [0, 90].
double angleGap(double a, double b) {
  const double d = std::fmod(std::fabs(a - b), 180.0);
  return std::min(d, 180.0 - d);
}

std::wstring fitMessage(const std::vector<kcVector<2>>& points) {
  try {
    fitPoints(points);
  } catch (const kcHostError& e) {
    return e.text();
  }
  return L"no error";
}

TEST(FLine, AngleIsKeptAboveMinus90UpTo90) {
  const double cases[][2] = {{0, 0},         {45, 45},   {90, 90},  {-90, 90}, {270, 90},
                             {135, -45},     {-135, 45}, {180, 0},  {-180, 0}, {89.5, 89.5},
                             {-89.5, -89.5}, {450, 90},  {-100, 80}};
  for (const auto& c : cases) {
    const kcFLine line{kcDegree(c[0]), kcVector<2>(1, 2)};
    EXPECT_DOUBLE_EQ(line.angle().toDouble(), c[1]) << c[0];
    EXPECT_EQ(line.point(), kcVector<2>(1, 2));
  }
}

TEST(FLine, IntersectionOfCrossingLines) {
  const kcFLine vertical(kcDegree(90.0), kcVector<2>(0, 0));
  const kcFLine rising(kcDegree(slopeDegrees(2.0)), kcVector<2>(10, -20));  // y = 2 x - 40
  const std::vector<kcVector<2>> p = rising.intersection(vertical);
  ASSERT_EQ(p.size(), 1u);
  EXPECT_NEAR(p[0].x(), 0.0, 1e-12);
  EXPECT_NEAR(p[0].y(), -40.0, 1e-12);

  const kcFLine a(kcDegree(30.0), kcVector<2>(1, 1));
  const kcFLine b(kcDegree(-60.0), kcVector<2>(5, -3));
  const std::vector<kcVector<2>> q = a.intersection(b);
  ASSERT_EQ(q.size(), 1u);
  EXPECT_NEAR(distanceToLine(a, q[0]), 0.0, 1e-12);
  EXPECT_NEAR(distanceToLine(b, q[0]), 0.0, 1e-12);
  const std::vector<kcVector<2>> r = b.intersection(a);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_TRUE(kfRealEq(q[0], r[0], 1e-12));
}

TEST(FLine, ParallelLinesDoNotIntersect) {
  const double pairs[][2] = {{90, 90}, {90, -90}, {90, 270}, {0, 180}, {17.5, 17.5}, {-30, 150}};
  for (const auto& pr : pairs) {
    const kcFLine a{kcDegree(pr[0]), kcVector<2>(0, 0)};
    const kcFLine b{kcDegree(pr[1]), kcVector<2>(3, 4)};
    EXPECT_TRUE(a.intersection(b).empty()) << pr[0] << " " << pr[1];
    EXPECT_TRUE(a.intersection(a).empty());
  }
  // Nearly but not quite parallel: a far crossing.
  const kcFLine a(kcDegree(10.0), kcVector<2>(0, 0));
  const kcFLine b(kcDegree(10.001), kcVector<2>(0, 1));
  ASSERT_EQ(a.intersection(b).size(), 1u);
  EXPECT_NEAR(distanceToLine(a, a.intersection(b)[0]), 0.0, 1e-6);
}

TEST(LSLineFitter, ExactLines) {
  struct Case {
    double slope;
    double intercept;
  };
  for (const Case& c : {Case{0.5, 3.0}, Case{2.0, -40.0}, Case{0.0, 7.0}, Case{-1.5, 100.0}}) {
    std::vector<kcVector<2>> points;
    for (int x = -3; x < 17; x += 2) points.emplace_back(x, c.slope * x + c.intercept);
    const kcFLine line = fitPoints(points);
    EXPECT_NEAR(line.angle().toDouble(), slopeDegrees(c.slope), 1e-10) << c.slope;
    for (const kcVector<2>& p : points) EXPECT_NEAR(distanceToLine(line, p), 0.0, 1e-10);
    // Gain and offset as a caller reads them off the line.
    const std::vector<kcVector<2>> at0 = line.intersection(kcFLine(kcDegree(90.0), {0, 0}));
    ASSERT_EQ(at0.size(), 1u);
    EXPECT_NEAR(at0[0].y(), c.intercept, 1e-9);
    EXPECT_NEAR(std::tan(kcRadian(line.angle()).toDouble()), c.slope, 1e-10);
  }
}

TEST(LSLineFitter, VerticalLine) {
  const kcFLine line = fitPoints({{7, 1}, {7, -4}, {7, 30}, {7, 2}});
  EXPECT_EQ(line.angle().toDouble(), 90.0);
  EXPECT_EQ(line.point().x(), 7.0);
  EXPECT_TRUE(line.intersection(kcFLine(kcDegree(90.0), {0, 0})).empty());
  // Two points suffice.
  EXPECT_NEAR(fitPoints({{-2, 5}, {-2, 6}}).angle().toDouble(), 90.0, 1e-12);
}

// Brute force: the line through the two-pass centroid whose direction, found
// by scanning and refining, gives the least sum of squared perpendicular
// distances.
double referenceCost(const std::vector<kcVector<2>>& pts, const kcVector<2>& c, double degrees) {
  const double a = degrees / kDegreesPerRadian;
  double s = 0.0;
  for (const kcVector<2>& p : pts) {
    const double d = -std::sin(a) * (p.x() - c.x()) + std::cos(a) * (p.y() - c.y());
    s += d * d;
  }
  return s;
}

double referenceAngle(const std::vector<kcVector<2>>& pts, const kcVector<2>& c) {
  double best = -90.0;
  for (double a = -90.0; a < 90.0; a += 0.05)
    if (referenceCost(pts, c, a) < referenceCost(pts, c, best)) best = a;
  double lo = best - 0.05, hi = best + 0.05;
  for (int i = 0; i < 200; ++i) {
    const double m1 = lo + (hi - lo) / 3, m2 = hi - (hi - lo) / 3;
    if (referenceCost(pts, c, m1) < referenceCost(pts, c, m2))
      hi = m2;
    else
      lo = m1;
  }
  return 0.5 * (lo + hi);
}

TEST(LSLineFitter, NoisyPointsMatchABruteForceFit) {
  std::normal_distribution<double> noise(0.0, 3.0);
  std::uniform_real_distribution<double> along(-50.0, 50.0);
  for (double trueAngle : {-80.0, -33.0, 0.0, 12.0, 45.0, 63.4, 89.0}) {
    const double a = trueAngle / kDegreesPerRadian;
    std::vector<kcVector<2>> pts;
    for (int i = 0; i < 200; ++i) {
      const double s = along(rng()), n = noise(rng());
      pts.emplace_back(20 + s * std::cos(a) - n * std::sin(a),
                       -7 + s * std::sin(a) + n * std::cos(a));
    }
    kcVector<2> centroid(0, 0);
    for (const kcVector<2>& p : pts) centroid = centroid + p * (1.0 / pts.size());
    const kcFLine line = fitPoints(pts);
    EXPECT_LT(angleGap(line.angle().toDouble(), referenceAngle(pts, centroid)), 1e-6) << trueAngle;
    EXPECT_LT(distanceToLine(line, centroid), 1e-9);
    EXPECT_LT(angleGap(line.angle().toDouble(), trueAngle), 2.0);
  }
}

// Far from the origin, plain sums of squares lose every digit of the spread.
// The near points are the far ones moved by an exact shift, so a fit that
// keeps its accuracy finds the same direction for both.
TEST(LSLineFitter, PointsFarFromTheOrigin) {
  std::vector<kcVector<2>> near, far;
  std::normal_distribution<double> noise(0.0, 0.01);
  for (int i = 0; i < 100; ++i) {
    const double x = 0.1 * i, y = 0.5 * x + noise(rng());
    far.emplace_back(x + 1e9, y - 3e9);
    near.emplace_back(far.back().x() - 1e9, far.back().y() + 3e9);
  }
  const kcFLine a = fitPoints(near), b = fitPoints(far);
  EXPECT_NEAR(b.angle().toDouble(), a.angle().toDouble(), 1e-9);
  EXPECT_NEAR(b.angle().toDouble(), slopeDegrees(0.5), 0.1);
  EXPECT_LT(distanceToLine(b, far[50]), 0.05);
}

TEST(LSLineFitter, TooFewDistinctPointsAreRefused) {
  const std::wstring message = L"Cannot fit a line to fewer than two distinct points.";
  EXPECT_EQ(fitMessage({}), message);
  EXPECT_EQ(fitMessage({{3, 4}}), message);
  EXPECT_EQ(fitMessage({{3, 4}, {3, 4}}), message);
  EXPECT_EQ(fitMessage(std::vector<kcVector<2>>(50, kcVector<2>(-1e6, 2.5))), message);
  EXPECT_EQ(fitMessage({{3, 4}, {3, 4}, {3, 5}}), L"no error");
}

}  // namespace

TEST(LSLineFitter, WeightedPointsFitLikeRepeatedOnes) {
  kcLSLineFitter repeated, weighted;
  const double pts[][3] = {{1, 2, 3}, {4, 3, 1}, {7, 9, 2}, {2, 5, 4}};
  for (const auto& p : pts) {
    for (int i = 0; i < static_cast<int>(p[2]); ++i) repeated.update(kcVector<2>(p[0], p[1]));
    weighted.update(kcVector<2>(p[0], p[1]), p[2]);
  }
  weighted.update(kcVector<2>(100, -100), 0.0);  // no weight, no effect
  const kcFLine a = repeated.fit(), b = weighted.fit();
  EXPECT_NEAR(a.angle().toDouble(), b.angle().toDouble(), 1e-9);
  EXPECT_NEAR(a.point().x(), b.point().x(), 1e-9);
  EXPECT_NEAR(a.point().y(), b.point().y(), 1e-9);
  kcLSLineFitter single;
  single.update(kcVector<2>(3, 3), 10.0);
  EXPECT_THROW(single.fit(), kcHostError);
}
