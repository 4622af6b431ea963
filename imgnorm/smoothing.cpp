#include "imgnorm/detail/smoothing.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "host/assert.h"
#include "imaging/gauss_sample.h"

namespace imgnorm {

namespace {

long kernelSizeFor(long p) {
  const double q = 0.25 * static_cast<double>(p);
  double v = q * 4.0 * q - 2.0;
  v = std::sqrt(std::max(v, 0.0));
  const auto n = static_cast<long>(std::ceil(v * (1.0 - 1e-11)));
  return (n + 1) & ~1L;
}

}  // namespace

kcPair<long> smoothingKernelSize(const kcPair<long>& p) {
  const kcPair<long> k(kernelSizeFor(p.x()), kernelSizeFor(p.y()));
  KC_ASSERT(k.x() % 2 == 0 && k.y() % 2 == 0);
  return k;
}

namespace {

kcGaussSampleParams fixedPointSmoothing(const kcPair<long>& reduced,
                                        int fractionBits = fixedPointShift) {
  kcGaussSampleParams params(kcPair<long>(1, 1), smoothingKernelSize(reduced),
                             static_cast<double>(1 << fractionBits));
  params.doRounding(true);
  return params;
}

// The kernel is in pels: a view of source without its image-from-client
// transform, leaving source itself alone.
template <class T>
kcPelBuffer_const<T> inPels(const kcPelBuffer_const<T>& source) {
  kcPelBuffer_const<T> pels = source;
  if (!pels.imageFromClientXformBase()->isIdentity())
    pels.imageFromClientXformBase(std::make_shared<kc2XformLinear>());
  return pels;
}

}  // namespace

void smoothToFixedPoint(const kcPelBuffer_const<unsigned char>& source, const kcPair<long>& reduced,
                        kcPelBuffer<unsigned short>& destination) {
  destination.setUnbound();
  kfGaussSample<unsigned char, unsigned short>(inPels(source), destination,
                                               fixedPointSmoothing(reduced));
  destination.copyXforms(source);
}

long smoothRowsLag(const kcPair<long>& reduced) {
  return kfGaussSampleRowsLag(fixedPointSmoothing(reduced));
}

void smoothRowsToFixedPoint(const kcPelBuffer_const<unsigned char>& source,
                            const kcPair<long>& reduced,
                            const std::function<void(long, const unsigned short*)>& rowDone) {
  kfGaussSampleRows<unsigned char, unsigned short>(inPels(source), fixedPointSmoothing(reduced),
                                                   rowDone);
}

namespace {

template <class Code>
void smoothCodeRows(const kcPelBuffer_const<Code>& source, const kcPair<long>& reduced,
                    unsigned largest, int fractionBits,
                    const std::function<void(long, const unsigned*)>& rowDone) {
  kcGaussSampleParams params = fixedPointSmoothing(reduced, fractionBits);
  params.largestPel(largest);
  kfGaussSampleRows<Code, unsigned>(inPels(source), params, rowDone);
}

}  // namespace

void smoothRowsToFixedPoint(const kcPelBuffer_const<unsigned>& source, const kcPair<long>& reduced,
                            unsigned largest, int fractionBits,
                            const std::function<void(long, const unsigned*)>& rowDone) {
  smoothCodeRows(source, reduced, largest, fractionBits, rowDone);
}

void smoothRowsToFixedPoint(const kcPelBuffer_const<unsigned short>& source,
                            const kcPair<long>& reduced, unsigned largest, int fractionBits,
                            const std::function<void(long, const unsigned*)>& rowDone) {
  smoothCodeRows(source, reduced, largest, fractionBits, rowDone);
}

template <class Code>
void smoothRowsToFixedPoint(const kc_PelBuffer& shape, const kcPair<long>& reduced,
                            unsigned largest, int fractionBits,
                            const std::function<void(long, Code*)>& makeRow,
                            const std::function<void(long, const unsigned*)>& rowDone) {
  kcGaussSampleParams params = fixedPointSmoothing(reduced, fractionBits);
  params.largestPel(largest);
  kfGaussSampleRows<Code, unsigned>(shape, params, makeRow, rowDone);
}

template void smoothRowsToFixedPoint<unsigned short>(
    const kc_PelBuffer&, const kcPair<long>&, unsigned, int,
    const std::function<void(long, unsigned short*)>&,
    const std::function<void(long, const unsigned*)>&);
template void smoothRowsToFixedPoint<unsigned>(const kc_PelBuffer&, const kcPair<long>&, unsigned,
                                               int, const std::function<void(long, unsigned*)>&,
                                               const std::function<void(long, const unsigned*)>&);

void smoothRowsToFixedPoint(const kcPelDifference& source, const kcPair<long>& reduced,
                            int fractionBits,
                            const std::function<void(long, const unsigned*)>& rowDone) {
  kfGaussSampleRows(source, fixedPointSmoothing(reduced, fractionBits), rowDone);
}

}  // namespace imgnorm
