#include "host/xform.h"

#include "host/assert.h"

kcXform<2>::kcXform(const kcVector<2>& translation, const kcRadian& xRot, const kcRadian& yRot,
                    double xScale, double yScale)
    : a_(xScale * cos(xRot)),
      b_(-yScale * sin(yRot)),
      c_(xScale * sin(xRot)),
      d_(yScale * cos(yRot)),
      tx_(translation.x()),
      ty_(translation.y()) {}

kcXform<2> kcXform<2>::fromMatrix(double a, double b, double c, double d, double tx, double ty) {
  kcXform x;
  x.a_ = a;
  x.b_ = b;
  x.c_ = c;
  x.d_ = d;
  x.tx_ = tx;
  x.ty_ = ty;
  return x;
}

kcXform<2> kcXform<2>::inverse() const {
  const double det = a_ * d_ - b_ * c_;
  KC_ASSERT(det != 0.0);
  const double ia = d_ / det, ib = -b_ / det, ic = -c_ / det, id = a_ / det;
  return fromMatrix(ia, ib, ic, id, -(ia * tx_ + ib * ty_), -(ic * tx_ + id * ty_));
}

kcXform<2> kcXform<2>::operator*(const kcXform& o) const {
  return fromMatrix(a_ * o.a_ + b_ * o.c_, a_ * o.b_ + b_ * o.d_, c_ * o.a_ + d_ * o.c_,
                    c_ * o.b_ + d_ * o.d_, a_ * o.tx_ + b_ * o.ty_ + tx_,
                    c_ * o.tx_ + d_ * o.ty_ + ty_);
}
