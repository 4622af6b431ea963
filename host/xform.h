#pragma once

#include <memory>

#include "host/export.h"
#include "host/geometry.h"

// 2-D affine transform: p' = M p + t. Built from a translation, the angles of
// the transformed x and y axes and their scales, so that the x axis (1, 0)
// maps to xScale (cos xRot, sin xRot) and the y axis (0, 1) to
// yScale (-sin yRot, cos yRot).
template <int N>
class kcXform;

template <>
class IMGNORM_API kcXform<2> {
 public:
  kcXform() = default;
  kcXform(const kcVector<2>& translation, const kcRadian& xRot, const kcRadian& yRot, double xScale,
          double yScale);
  // Matrix [a b; c d] and translation (tx, ty).
  static kcXform fromMatrix(double a, double b, double c, double d, double tx, double ty);
  static kcXform scaleAndTranslate(double sx, double sy, double tx, double ty) {
    return fromMatrix(sx, 0.0, 0.0, sy, tx, ty);
  }

  kcXform inverse() const;
  kcVector<2> operator*(const kcVector<2>& p) const {
    return {a_ * p.x() + b_ * p.y() + tx_, c_ * p.x() + d_ * p.y() + ty_};
  }
  // Composition: (A * B) * p == A * (B * p).
  kcXform operator*(const kcXform& o) const;
  bool isIdentity() const {
    return a_ == 1.0 && b_ == 0.0 && c_ == 0.0 && d_ == 1.0 && tx_ == 0.0 && ty_ == 0.0;
  }
  bool operator==(const kcXform& o) const = default;

  double a() const { return a_; }
  double b() const { return b_; }
  double c() const { return c_; }
  double d() const { return d_; }
  kcVector<2> translation() const { return {tx_, ty_}; }

 private:
  double a_ = 1.0, b_ = 0.0, c_ = 0.0, d_ = 1.0, tx_ = 0.0, ty_ = 0.0;
};

// Immutable transform object shared between buffers through handles.
class IMGNORM_API kc2XformBase {
 public:
  virtual ~kc2XformBase() = default;
  virtual kcXform<2> affine() const = 0;
  kcVector<2> operator*(const kcVector<2>& p) const { return affine() * p; }
  bool isIdentity() const { return affine().isIdentity(); }
};

using kc2XformHandle = std::shared_ptr<const kc2XformBase>;

// The affine kind of transform; the identity when default-constructed.
class IMGNORM_API kc2XformLinear final : public kc2XformBase {
 public:
  kc2XformLinear() = default;
  explicit kc2XformLinear(const kcXform<2>& x) : x_(x) {}
  kcXform<2> affine() const override { return x_; }
  static kc2XformHandle handle(const kcXform<2>& x) { return std::make_shared<kc2XformLinear>(x); }

 private:
  kcXform<2> x_;
};

// Parallelogram given by its origin, the end of its x side and the end of
// its y side.
class kcAffineRectangle {
 public:
  kcAffineRectangle() = default;
  kcAffineRectangle(const kcVector<2>& origin, const kcVector<2>& xEnd, const kcVector<2>& yEnd)
      : origin_(origin), xEnd_(xEnd), yEnd_(yEnd) {}
  const kcVector<2>& origin() const { return origin_; }
  const kcVector<2>& xEnd() const { return xEnd_; }
  const kcVector<2>& yEnd() const { return yEnd_; }
  // Maps the unit square onto the parallelogram: (0,0) -> origin,
  // (1,0) -> xEnd, (0,1) -> yEnd.
  kcXform<2> fromUnitSquare() const {
    return kcXform<2>::fromMatrix(xEnd_.x() - origin_.x(), yEnd_.x() - origin_.x(),
                                  xEnd_.y() - origin_.y(), yEnd_.y() - origin_.y(), origin_.x(),
                                  origin_.y());
  }

 private:
  kcVector<2> origin_, xEnd_, yEnd_;
};
