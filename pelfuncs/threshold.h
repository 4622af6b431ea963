#pragma once

#include "host/export.h"
#include "host/geometry.h"
#include "host/pel_buffer.h"

// A new image over source's window: 255 where the source pel is at least
// threshold, 0 elsewhere. Errors of kfPelMap (an unbound source) pass
// through.
IMGNORM_API kcPelBuffer<unsigned char> kf_PelThreshold(
    const kcPelBuffer_const<unsigned char>& source, unsigned char threshold);

// The same with the threshold that kfThresholdWGV picks from the source's
// histogram.
IMGNORM_API kcPelBuffer<unsigned char> kf_PelThreshold(
    const kcPelBuffer_const<unsigned char>& source);

// Over source window & mask window (& destination window when bound), the
// destination pel becomes 255 where the mask is non-zero and the source pel
// is at least threshold, and 0 elsewhere, masked-out pels included.
// Destination pels outside that region keep their values. An unbound
// destination becomes a new buffer over the region with the source's
// transforms (and stays unbound when the region is null). An unbound mask
// makes the destination kf_PelThreshold(source, threshold). Source and mask
// may share the destination's pels in any way: the result is that of
// working on copies of them. Throws kcPel::UnboundWindow for an unbound
// source.
IMGNORM_API void kf_MaskedPelThreshold(const kcPelBuffer_const<unsigned char>& source,
                                       const kcPelBuffer_const<unsigned char>& mask,
                                       unsigned char threshold,
                                       kcPelBuffer<unsigned char>& destination);
