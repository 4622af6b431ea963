#include "imaging/projection.h"

#include <cmath>

#include "host/exceptions.h"
#include "host/xform.h"

namespace {

bool invertible(const kcXform<2>& x) {
  const double det = x.a() * x.d() - x.b() * x.c();
  return det != 0.0 && std::isfinite(det) && std::isfinite(x.translation().x()) &&
         std::isfinite(x.translation().y());
}

// Maps the centre of src's pel (x, y), given as (x, y), to sample-grid
// coordinates in which sample cell (i, j) covers [i, i + 1) x [j, j + 1).
// Throws kcPelFunc::BadParams when the rectangle has no area (or the mapping
// is numerically unusable), as no profile position could be told then.
kcXform<2> profileFromSourcePel(const kc_PelBuffer& src, const kcAffineSamplingParams& params) {
  const kcXform<2> unit = params.rectangle().fromUnitSquare();
  if (!invertible(unit)) throw kcPelFunc::BadParams();
  const kcXform<2> cells = kcXform<2>::scaleAndTranslate(
      static_cast<double>(params.xSize()), static_cast<double>(params.ySize()), 0.0, 0.0);
  const kcXform<2> pelCentre = kcXform<2>::scaleAndTranslate(1.0, 1.0, 0.5, 0.5);
  const kcXform<2> x = cells * unit.inverse() * src.clientFromImageXform() * pelCentre;
  if (!invertible(x)) throw kcPelFunc::BadParams();
  return x;
}

template <class T>
void addRow(unsigned long* sums, const T* row, long n) {
  for (long i = 0; i < n; ++i) sums[i] += row[i];
}

}  // namespace

template <class T>
kcPelBuffer<unsigned long> kfProjectImage(const kcPelBuffer_const<T>& src,
                                          const kcAffineSamplingParams& params) {
  const kcPelBuffer<T> samples = kfAffineTransformImage<T>(src, params);
  const kcXform<2> toProfile = profileFromSourcePel(src, params);
  kcPelBuffer<unsigned long> sums(params.xSize(), 1, 32);
  const T* row = samples.pointToOffset();
  for (long j = 0; j < samples.height(); ++j, row += samples.rowUpdate())
    addRow(sums.pointToOffset(), row, samples.width());
  sums.imageFromClientXformBase(kc2XformLinear::handle(toProfile));
  return sums;
}

template IMGNORM_API kcPelBuffer<unsigned long> kfProjectImage<unsigned char>(
    const kcPelBuffer_const<unsigned char>&, const kcAffineSamplingParams&);
