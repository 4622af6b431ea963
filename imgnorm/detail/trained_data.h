#pragma once

#include <functional>
#include <vector>

#include "host/geometry.h"
#include "host/pel_buffer.h"
#include "imaging/histo_stats.h"
#include "imgnorm/detail/smoothing.h"
#include "imgnorm/errors.h"
#include "imgnorm/image_normalizer.h"
#include "imgnorm/method.h"
#include "pelfuncs/mask_runs.h"

// Preparation of the data that training derives from the reference image
// and the mask, and the smoothing helpers it shares with local correction.
namespace imgnorm {

// The gray levels of image under the trained mask (its runs when it has
// them), or of the whole image when there is no mask.
void countMaskedLevels(const kcPelBuffer_const<unsigned char>& image,
                       const kcPelBuffer_const<unsigned char>& binaryMask,
                       const kcMaskRuns& maskRuns, std::vector<unsigned long>& histogram);

// The same for a 16-bit image of bits significant bits: 2^bits bins. Throws
// BadImage when a counted pel lies above the bits.
void countMaskedLevels(const kcPelBuffer_const<unsigned short>& image, int bits,
                       const kcPelBuffer_const<unsigned char>& binaryMask,
                       const kcMaskRuns& maskRuns, std::vector<unsigned long>& histogram);

// The table that brings 16-bit levels of bits significant bits to the 8-bit
// scale, for kfPelMap: level v becomes round(v * 255 / (2^bits - 1)), and a
// level above the bits 255.
std::vector<unsigned char> eightBitScale(int bits);

// What training for methods keeps from the reference and the mask.
kcTrainedData trainedData(kcImageNormalizerDefs::Method methods,
                          const kcPelBuffer_const<unsigned char>& referenceImage,
                          const kcPelBuffer_const<unsigned char>& maskImage,
                          const kcPair<long>& neighborhoodSize, const kcPair<long>& granularity);

// What training for methods keeps from a 16-bit reference of bits
// significant bits, added to data trained without a reference.
void addWideReference(kcImageNormalizerDefs::Method methods,
                      const kcPelBuffer_const<unsigned short>& referenceImage, int bits,
                      kcTrainedData& data);

// The binary mask reduced by the granularity, re-binarized at 128 and
// dilated once with the 3x3 diamond.
kcPelBuffer<unsigned char> reduceBinaryMask(const kcPelBuffer_const<unsigned char>& binaryMask,
                                            const kcPair<long>& granularity);

// The 63 projection angles of the linear gray-value fit: atan2(i, 33) for
// i = 1..32, then atan2(33, i) for i = 31..1.
void makeFitAngles(std::vector<kcDegree>& table);

bool isSubsampling(const kcPair<long>& granularity);

// Local correction works on the image reduced by the granularity only when
// the neighbourhood is larger than one pel; training prepares the mask
// weights at the same resolution.
bool usesSubsampling(const kcPair<long>& neighborhoodSize, const kcPair<long>& granularity);

// (n.x / g.x, n.y / g.y), each made odd.
kcPair<long> reducedNeighborhood(const kcPair<long>& neighborhoodSize,
                                 const kcPair<long>& granularity);

}  // namespace imgnorm
