#pragma once

#include <functional>
#include <vector>

#include "host/geometry.h"
#include "host/pel_buffer.h"
#include "imaging/histo_stats.h"
#include "imgnorm/errors.h"
#include "imgnorm/method.h"
#include "pelfuncs/mask_runs.h"

// Preparation of the data that training derives from the reference image
// and the mask, and the smoothing helpers it shares with local correction.
namespace imgnorm {

// Fractional bits of the 16-bit smoothed images: level g is stored as 128 g.
constexpr int fixedPointShift = 7;

struct TrainedData {
  kcPelBuffer_const<unsigned char>& binaryMask;  // shares a mask that is binary already
  kcMaskRuns& maskRuns;                          // of binaryMask, when they are few
  kcPelBuffer<unsigned char>& sampledMask;
  kcPelBuffer<unsigned short>& maskWeights;
  std::vector<unsigned long>& referenceHistogram;
  kcHistoStats& referenceStats;
  std::vector<kcDegree>& fitAngles;
};

// The gray levels of image under the trained mask (its runs when it has
// them), or of the whole image when there is no mask.
void countMaskedLevels(const kcPelBuffer_const<unsigned char>& image,
                       const kcPelBuffer_const<unsigned char>& binaryMask,
                       const kcMaskRuns& maskRuns, std::vector<unsigned long>& histogram);

void prepareTrainedData(kcImageNormalizerDefs::Method methods,
                        const kcPelBuffer_const<unsigned char>& referenceImage,
                        const kcPelBuffer_const<unsigned char>& maskImage,
                        const kcPair<long>& neighborhoodSize, const kcPair<long>& granularity,
                        const TrainedData& out);

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

// Even Gaussian kernel sizes for a reduced neighbourhood.
kcPair<long> smoothingKernelSize(const kcPair<long>& reduced);

// destination = source smoothed over the neighbourhood, times 128, rounded,
// with source's transforms. The kernel is in pels whatever source's
// image-from-client transform; source is not changed.
void smoothToFixedPoint(const kcPelBuffer_const<unsigned char>& source, const kcPair<long>& reduced,
                        kcPelBuffer<unsigned short>& destination);
// The same smoothing handed to rowDone(j, values) one row of source's
// window at a time (see kfGaussSampleRows) instead of stored.
void smoothRowsToFixedPoint(const kcPelBuffer_const<unsigned char>& source,
                            const kcPair<long>& reduced,
                            const std::function<void(long, const unsigned short*)>& rowDone);
// Rows of source above j - smoothRowsLag(reduced) are not read again once
// the row j has been handed over (see kfGaussSampleRowsLag).
long smoothRowsLag(const kcPair<long>& reduced);

}  // namespace imgnorm
