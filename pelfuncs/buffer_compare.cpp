#include "pelfuncs/buffer_compare.h"

#include "imaging/pel_equal.h"

namespace {

bool cornersAgree(const kc_PelBuffer& a, const kc_PelBuffer& b, double tolerance) {
  const kcPelRect& w = a.window();
  const kc2XformBase& xa = *a.clientFromImageXformBase();
  const kc2XformBase& xb = *b.clientFromImageXformBase();
  for (const kcPair<long>& corner : {w.ul(), w.ur(), w.ll(), w.lr()}) {
    const kcVector<2> p(corner);
    if (!kfRealEq(xa * p, xb * p, tolerance)) return false;
  }
  return true;
}

template <class T>
bool pelBufferEqual(const kcPelBuffer_const<T>& a, const kcPelBuffer_const<T>& b,
                    double tolerance) {
  if (!a.isBound() || !b.isBound()) return a.isBound() == b.isBound();
  if (a.window() != b.window()) return false;
  if (!cornersAgree(a, b, tolerance)) return false;
  return kfPelEqual(a, b);
}

}  // namespace

bool kf_PelBufferEqual(const kcPelBuffer_const<unsigned char>& a,
                       const kcPelBuffer_const<unsigned char>& b, double tolerance) {
  return pelBufferEqual(a, b, tolerance);
}

bool kf_PelBufferEqual(const kcPelBuffer_const<unsigned short>& a,
                       const kcPelBuffer_const<unsigned short>& b, double tolerance) {
  return pelBufferEqual(a, b, tolerance);
}

bool kf_PelBufferEqual(const kcPelBuffer_const<unsigned long>& a,
                       const kcPelBuffer_const<unsigned long>& b, double tolerance) {
  return pelBufferEqual(a, b, tolerance);
}
