#pragma once

#include "host/geometry.h"
#include "host/pel_buffer.h"
#include "imgnorm/errors.h"
#include "imgnorm/image_normalizer.h"
#include "imgnorm/method.h"

// Local illumination correction: the slowly varying difference between the
// run-time and the reference image, estimated around every pel, is
// subtracted from the run-time image; or, in the divide model, the run-time
// image is divided by their slowly varying ratio. Differences of 8-bit
// images are 8-bit with an offset of 128 (128 means none); those of 16-bit
// images 17-bit, held in 32-bit pels with an offset of 2^16. Ratios of
// either depth are log codes of 17 bits (pelfuncs/pel_ratio.h).
namespace imgnorm {

struct LocalCorrectionInputs {
  kcPelBuffer_const<unsigned char> reference;       // an 8-bit tool's
  kcPelBuffer_const<unsigned short> wideReference;  // a 16-bit tool's
  int bits;                                         // the 16-bit reference's
  kcPelBuffer_const<unsigned char> binaryMask;      // may be unbound
  kcPelBuffer_const<unsigned char> sampledMask;     // bound when a mask is reduced
  kcPelBuffer_const<unsigned short> maskWeights;    // bound for eLocalCorrection with a mask
  kcPair<long> neighborhoodSize;
  kcPair<long> granularity;
  kcPair<long> intensityVariationRange;
  kcImageNormalizerDefs::Model model;
};

// The inputs of a trained tool's local corrections.
LocalCorrectionInputs localInputsOf(const kcImageNormalizer& tool);

// The inputs for a run over rect, which lies within the mask's window: the
// trained mask products describe the whole mask window, so for a smaller
// rect the mask is cut to it and its reduction and weights are made again,
// lining up with the data the way a run over rect alone sees them.
LocalCorrectionInputs inputsForRect(const LocalCorrectionInputs& in, const kcPelRect& rect,
                                    kcImageNormalizerDefs::Method method);

// Writes the corrected run-time region into result (which must not share
// the region's storage), against the reference of the region's depth; and,
// when field is not null, what was applied to each of result's pels.
void localCorrection(const kcPelBuffer_const<unsigned char>& region,
                     const LocalCorrectionInputs& in, kcImageNormalizerDefs::Method method,
                     kcPelBuffer<unsigned char>& result, kcCorrectionField* field = nullptr);
void localCorrection(const kcPelBuffer_const<unsigned short>& region,
                     const LocalCorrectionInputs& in, kcImageNormalizerDefs::Method method,
                     kcPelBuffer<unsigned short>& result, kcCorrectionField* field = nullptr);

// The intensity variation range cut to what 8-bit differences can span
// (-255 .. 255): a wider range acts as the widest meaningful one.
inline kcPair<long> meaningfulRange(const kcPair<long>& range) {
  return {range.x() < -255 ? -255 : range.x(), range.y() > 255 ? 255 : range.y()};
}

// Median kernel for a reduced neighbourhood: odd sizes, area at most 32767.
kcPair<long> medianKernel(const kcPair<long>& reduced);

}  // namespace imgnorm
