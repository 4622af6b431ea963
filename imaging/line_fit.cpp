#include "imaging/line_fit.h"

#include <cmath>

#include "host/exceptions.h"

namespace {

constexpr double kParallel = 1e-12;

// Into (-90, 90]: a line's direction is only defined modulo 180 degrees.
double normalizedDegrees(double d) {
  double a = std::fmod(d, 180.0);
  if (a <= -90.0) a += 180.0;
  if (a > 90.0) a -= 180.0;
  return a;
}

kcVector<2> direction(const kcDegree& angle) {
  const kcRadian r(angle);
  return {cos(r), sin(r)};
}

double cross(const kcVector<2>& a, const kcVector<2>& b) { return a.x() * b.y() - a.y() * b.x(); }

}  // namespace

kcFLine::kcFLine(kcDegree angle, kcVector<2> point)
    : angle_(normalizedDegrees(angle.toDouble())), point_(point) {}

std::vector<kcVector<2>> kcFLine::intersection(const kcFLine& other) const {
  const kcVector<2> d1 = direction(angle_);
  const kcVector<2> d2 = direction(other.angle_);
  const double denominator = cross(d1, d2);
  if (!(std::fabs(denominator) > kParallel)) return {};
  const double t = cross(other.point_ - point_, d2) / denominator;
  return {point_ + d1 * t};
}

void kcLSLineFitter::update(const kcVector<2>& p) { update(p, 1.0); }

void kcLSLineFitter::update(const kcVector<2>& p, double weight) {
  if (!(weight > 0.0)) return;
  if (n_ == 0) shift_ = p;
  ++n_;
  // Relative to the first point: for points close together the difference
  // is exact, however far from the origin they lie.
  const double x = p.x() - shift_.x();
  const double y = p.y() - shift_.y();
  weight_ += weight;
  const double share = weight / weight_;
  const double dx = x - meanX_;
  const double dy = y - meanY_;
  meanX_ += dx * share;
  meanY_ += dy * share;
  sxx_ += weight * dx * (x - meanX_);
  syy_ += weight * dy * (y - meanY_);
  sxy_ += weight * dx * (y - meanY_);
}

kcFLine kcLSLineFitter::fit() const {
  if (n_ < 2 || (sxx_ == 0.0 && syy_ == 0.0))
    throw kcHostError(L"Cannot fit a line to fewer than two distinct points.");
  // Direction of the scatter matrix's larger eigenvector.
  const double radians = 0.5 * std::atan2(2.0 * sxy_, sxx_ - syy_);
  return kcFLine(kcDegree(kcRadian(radians)), shift_ + kcVector<2>(meanX_, meanY_));
}
