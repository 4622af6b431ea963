#pragma once

#include "host/geometry.h"
#include "host/pel_buffer.h"
#include "imgnorm/errors.h"
#include "imgnorm/method.h"

// Local illumination correction: the slowly varying difference between the
// run-time and the reference image, estimated around every pel, is
// subtracted from the run-time image. Differences are 8-bit with an offset
// of 128 (128 means none).
namespace imgnorm {

struct LocalCorrectionInputs {
  kcPelBuffer_const<unsigned char> reference;
  kcPelBuffer_const<unsigned char> binaryMask;    // may be unbound
  kcPelBuffer_const<unsigned char> sampledMask;   // bound when a mask is reduced
  kcPelBuffer_const<unsigned short> maskWeights;  // bound for eLocalCorrection with a mask
  kcPair<long> neighborhoodSize;
  kcPair<long> granularity;
  kcPair<long> intensityVariationRange;
};

// The inputs for a run over rect, which lies within the mask's window: the
// trained mask products describe the whole mask window, so for a smaller
// rect the mask is cut to it and its reduction and weights are made again,
// lining up with the data the way a run over rect alone sees them.
LocalCorrectionInputs inputsForRect(const LocalCorrectionInputs& in, const kcPelRect& rect,
                                    kcImageNormalizerDefs::Method method);

// Writes the corrected run-time region into result (which must not share
// the region's storage).
void localCorrection(const kcPelBuffer_const<unsigned char>& region,
                     const LocalCorrectionInputs& in, kcImageNormalizerDefs::Method method,
                     kcPelBuffer<unsigned char>& result);

// Replaces d by its reduction by the granularity; for eLocalCorrection pels
// outside a bound mask first become the neutral difference 128.
void subsampleDifference(kcPelBuffer<unsigned char>& d, const kcPelBuffer_const<unsigned char>& m,
                         const kcPair<long>& granularity, kcImageNormalizerDefs::Method method);

// Gaussian average of d over the pels of m (normalized convolution with the
// mask weights w, all over d's window), or of all pels when m is unbound.
// d's pels outside the mask become 0. background becomes a new buffer over
// d's window with d's transforms.
void smoothedBackground(kcPelBuffer<unsigned char>& d, const kcPelBuffer_const<unsigned char>& m,
                        const kcPelBuffer_const<unsigned short>& w, const kcPair<long>& reduced,
                        kcPelBuffer<unsigned char>& background);

// At full resolution: s - (the smoothed background of d - 128) written over
// d, row by row, without storing the background or the sums whole. s and d
// share a window; m and w as for smoothedBackground.
void subtractSmoothedBackground(const kcPelBuffer_const<unsigned char>& s,
                                kcPelBuffer<unsigned char>& d,
                                const kcPelBuffer_const<unsigned char>& m,
                                const kcPelBuffer_const<unsigned short>& w,
                                const kcPair<long>& reduced);

// Median of the differences within the intensity variation range.
void medianBackground(const kcPelBuffer_const<unsigned char>& d,
                      const kcPelBuffer_const<unsigned char>& m, const kcPair<long>& reduced,
                      const kcPair<long>& intensityVariationRange,
                      kcPelBuffer<unsigned char>& background);

// The intensity variation range cut to what 8-bit differences can span
// (-255 .. 255): a wider range acts as the widest meaningful one.
inline kcPair<long> meaningfulRange(const kcPair<long>& range) {
  return {range.x() < -255 ? -255 : range.x(), range.y() > 255 ? 255 : range.y()};
}

// Median kernel for a reduced neighbourhood: odd sizes, area at most 32767.
kcPair<long> medianKernel(const kcPair<long>& reduced);

}  // namespace imgnorm
