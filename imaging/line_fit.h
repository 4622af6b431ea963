#pragma once

#include <vector>

#include "host/export.h"
#include "host/geometry.h"

// An unbounded straight line: a point on it and the angle of its direction
// from the x axis. The angle is kept in (-90, 90] degrees, so tan(angle) is
// the slope and a vertical line has angle 90.
class IMGNORM_API kcFLine {
 public:
  kcFLine(kcDegree angle, kcVector<2> point);

  kcDegree angle() const { return angle_; }
  const kcVector<2>& point() const { return point_; }

  // The crossing point of the two lines: none when they are parallel (their
  // directions differ by less than 1e-12 radians), otherwise one.
  std::vector<kcVector<2>> intersection(const kcFLine& other) const;

 private:
  kcDegree angle_;
  kcVector<2> point_;
};

// Total least squares: the fitted line minimises the sum of squared
// perpendicular distances of the points, so any direction, vertical
// included, can come out. Coordinates are taken relative to the first point
// and summed as running means and co-moments (Welford), which keeps the fit
// accurate for points far from the origin.
class IMGNORM_API kcLSLineFitter {
 public:
  void update(const kcVector<2>& p);
  // The point counted weight times (a weight of 0 or less adds nothing).
  void update(const kcVector<2>& p, double weight);
  // The line through the points' centroid along their principal direction.
  // Points spread equally in every direction (no principal direction) give
  // the horizontal line. Throws kcHostError "Cannot fit a line to fewer than
  // two distinct points." when there are fewer than two points or all are
  // equal.
  kcFLine fit() const;

 private:
  long n_ = 0;
  double weight_ = 0.0;
  kcVector<2> shift_;  // the first point
  // Means and co-moments of the points relative to shift_.
  double meanX_ = 0.0;
  double meanY_ = 0.0;
  double sxx_ = 0.0;  // sum of (x - meanX)^2
  double syy_ = 0.0;
  double sxy_ = 0.0;
};
