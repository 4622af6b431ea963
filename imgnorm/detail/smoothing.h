#pragma once

#include <functional>

#include "host/geometry.h"
#include "host/pel_buffer.h"
#include "imaging/gauss_sample.h"

// The Gaussian smoothing of local correction and of its mask weights, in
// fixed point: one kernel for the training's weights and the run's sums,
// so that they divide alike.
namespace imgnorm {

// Fractional bits of the 16-bit smoothed images: level g is stored as 128 g.
constexpr int fixedPointShift = 7;

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
// The same for wide differences, none above largest (below 2^25, so that
// 128 times them fits the 32-bit rows), times 2^fractionBits (0 or
// fixedPointShift) and rounded.
void smoothRowsToFixedPoint(const kcPelBuffer_const<unsigned>& source, const kcPair<long>& reduced,
                            unsigned largest, int fractionBits,
                            const std::function<void(long, const unsigned*)>& rowDone);
// The same for 12-bit codes in 16-bit pels.
void smoothRowsToFixedPoint(const kcPelBuffer_const<unsigned short>& source,
                            const kcPair<long>& reduced, unsigned largest, int fractionBits,
                            const std::function<void(long, const unsigned*)>& rowDone);

// The same for the wide differences of two 16-bit images, each worked out
// where the smoothing reads it (see kcPelDifference): the rows the form
// above gives an image of them, largest being offset + limit.
void smoothRowsToFixedPoint(const kcPelDifference& source, const kcPair<long>& reduced,
                            int fractionBits,
                            const std::function<void(long, const unsigned*)>& rowDone);

// The same for codes made row by row (see kfGaussSampleRows of made rows)
// over shape's window: makeRow(j, codes) writes row j of the window.
template <class Code>
void smoothRowsToFixedPoint(const kc_PelBuffer& shape, const kcPair<long>& reduced,
                            unsigned largest, int fractionBits,
                            const std::function<void(long, Code*)>& makeRow,
                            const std::function<void(long, const unsigned*)>& rowDone);

// Rows of source above j - smoothRowsLag(reduced) are not read again once
// the row j has been handed over (see kfGaussSampleRowsLag).
long smoothRowsLag(const kcPair<long>& reduced);

}  // namespace imgnorm
