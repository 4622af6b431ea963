#include "imaging/line_fit.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <numbers>
#include <vector>

#include "host/exceptions.h"
#include "test_support.h"

namespace {

using namespace testing_support;
using Points = std::vector<kcVector<2>>;

constexpr double kDegreesPerRadian = 180.0 / std::numbers::pi;

double distanceToLine(const kcFLine& line, const kcVector<2>& p) {
  const double a = kcRadian(line.angle()).toDouble();
  const kcVector<2> d = p - line.point();
  return std::fabs(-std::sin(a) * d.x() + std::cos(a) * d.y());
}

kcFLine fitPoints(const Points& points) {
  kcLSLineFitter fitter;
  for (const kcVector<2>& p : points) fitter.update(p);
  return fitter.fit();
}

double angleGap(double a, double b) {  // modulo 180 degrees, in [0, 90]
  const double d = std::fmod(std::fabs(a - b), 180.0);
  return std::min(d, 180.0 - d);
}

// Slow reference: sum of squared perpendicular distances about the centroid, minimised by a
// scan and a ternary refinement.
double referenceCost(const Points& pts, const kcVector<2>& c, double degrees) {
  const double a = degrees / kDegreesPerRadian;
  double s = 0.0;
  for (const kcVector<2>& p : pts) {
    const double d = -std::sin(a) * (p.x() - c.x()) + std::cos(a) * (p.y() - c.y());
    s += d * d;
  }
  return s;
}

double referenceAngle(const Points& pts, const kcVector<2>& c) {
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

// Random point sets against the slow reference; the crossing of two fitted lines lies on both.
TEST(LSLineFitter, RandomPointSetsMatchABruteForceFit) {
  std::normal_distribution<double> noise(0.0, 3.0);
  kcFLine previous(kcDegree(0.0), kcVector<2>(0, 0));
  for (int trial = 0; trial < 12; ++trial) {
    const double trueAngle = trial == 0 ? 89.0 : uniformReal(-89.0, 89.0);
    const double a = trueAngle / kDegreesPerRadian;
    Points pts;
    for (int i = 0; i < 200; ++i) {
      const double s = uniformReal(-50.0, 50.0), n = noise(rng());
      pts.emplace_back(20 + s * std::cos(a) - n * std::sin(a),
                       -7 + s * std::sin(a) + n * std::cos(a));
    }
    kcVector<2> centroid(0, 0);
    for (const kcVector<2>& p : pts) centroid = centroid + p * (1.0 / pts.size());
    const kcFLine line = fitPoints(pts);
    EXPECT_LT(angleGap(line.angle().toDouble(), referenceAngle(pts, centroid)), 1e-6) << trueAngle;
    EXPECT_LT(distanceToLine(line, centroid), 1e-9);
    EXPECT_LT(angleGap(line.angle().toDouble(), trueAngle), 2.0);
    const std::vector<kcVector<2>> q = line.intersection(previous), r = previous.intersection(line);
    if (angleGap(line.angle().toDouble(), previous.angle().toDouble()) > 1) {
      ASSERT_EQ(q.size(), 1u);
      EXPECT_NEAR(distanceToLine(line, q[0]) + distanceToLine(previous, q[0]), 0.0, 1e-9);
      EXPECT_TRUE(kfRealEq(q[0], r[0], 1e-9));
    }
    previous = line;
  }
}

TEST(LSLineFitter, ExactVerticalAndFarLines) {
  Points exact;
  for (int x = -3; x < 17; x += 2) exact.emplace_back(x, 2.0 * x - 40);
  const kcFLine line = fitPoints(exact);
  const Points at0 = line.intersection(kcFLine(kcDegree(90.0), {0, 0}));
  ASSERT_EQ(at0.size(), 1u);  // gain and offset as a caller reads them off the line
  EXPECT_NEAR(at0[0].y(), -40.0, 1e-9);
  EXPECT_NEAR(std::tan(kcRadian(line.angle()).toDouble()), 2.0, 1e-10);
  const kcFLine vertical = fitPoints({{7, 1}, {7, -4}, {7, 30}, {7, 2}});
  EXPECT_EQ(vertical.angle().toDouble(), 90.0);
  EXPECT_EQ(vertical.point().x(), 7.0);
  EXPECT_NEAR(fitPoints({{-2, 5}, {-2, 6}}).angle().toDouble(), 90.0, 1e-12);
  // Far from the origin plain sums of squares lose every digit: same fit as shifted near points.
  Points near, far;
  std::normal_distribution<double> noise(0.0, 0.01);
  for (int i = 0; i < 100; ++i) {
    const double x = 0.1 * i, y = 0.5 * x + noise(rng());
    far.emplace_back(x + 1e9, y - 3e9);
    near.emplace_back(far.back().x() - 1e9, far.back().y() + 3e9);
  }
  EXPECT_NEAR(fitPoints(far).angle().toDouble(), fitPoints(near).angle().toDouble(), 1e-9);
  EXPECT_LT(distanceToLine(fitPoints(far), far[50]), 0.05);
}

TEST(LSLineFitter, WeightsActAsRepeatsAndTooFewDistinctPointsAreRefused) {
  kcLSLineFitter repeated, weighted, single;
  for (const auto& p : {std::array{1, 2, 3}, {4, 3, 1}, {7, 9, 2}, {2, 5, 4}}) {
    for (int i = 0; i < p[2]; ++i) repeated.update(kcVector<2>(p[0], p[1]));
    weighted.update(kcVector<2>(p[0], p[1]), p[2]);
  }
  weighted.update(kcVector<2>(100, -100), 0.0);  // no weight, no effect
  const kcFLine a = repeated.fit(), b = weighted.fit();
  EXPECT_NEAR(a.angle().toDouble(), b.angle().toDouble(), 1e-9);
  EXPECT_TRUE(kfRealEq(a.point(), b.point(), 1e-9));
  single.update(kcVector<2>(3, 3), 10.0);
  EXPECT_THROW(single.fit(), kcHostError);
  for (const Points& pts :
       {Points{}, Points{{3, 4}}, Points{{3, 4}, {3, 4}}, Points(50, {-1e6, 2.5})})
    EXPECT_EQ(messageOf<kcHostError>([&] { fitPoints(pts); }),
              L"Cannot fit a line to fewer than two distinct points.");
  EXPECT_NO_THROW(fitPoints({{3, 4}, {3, 4}, {3, 5}}));
}

}  // namespace
