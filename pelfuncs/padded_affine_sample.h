#pragma once

#include <functional>

#include "host/export.h"
#include "host/pel_buffer.h"

// A new buffer over src's window grown by one pel on every side, with src's
// transforms: src's pels inside, each border pel a copy of the nearest edge
// pel of src. src must be bound with a non-empty window (internal
// assertion).
IMGNORM_API kcPelBuffer<unsigned char> kf_ExpandByDuplicatingBorderPixels(
    const kcPelBuffer_const<unsigned char>& src);

// src resampled to xSize columns and ySize rows over exactly its own window
// (see kcAffineSamplingParams for the grid): bicubic with a 3-pel border of
// replicated edge pels when bicubic is true, bilinear with a 2-pel border
// otherwise. The result is a new buffer at origin (0, 0) with identity
// transforms. Sizes outside 1..32767 throw kcPelFunc::BadParams; an unbound
// src throws kcPel::UnboundWindow.
IMGNORM_API kcPelBuffer<unsigned char> kf_PaddedAffineSample(const kcPelBuffer<unsigned char>& src,
                                                             long xSize, long ySize, bool bicubic);

// The same samples handed to rowDone(j, pels) one row at a time (see
// kfAffineSampleRows) instead of stored in a new buffer.
IMGNORM_API void kf_PaddedAffineSampleRows(
    const kcPelBuffer<unsigned char>& src, long xSize, long ySize, bool bicubic,
    const std::function<void(long, const unsigned char*)>& rowDone);
IMGNORM_API void kf_PaddedAffineSampleRows(
    const kcPelBuffer<unsigned short>& src, long xSize, long ySize, bool bicubic,
    const std::function<void(long, const unsigned short*)>& rowDone);
IMGNORM_API void kf_PaddedAffineSampleRows(
    const kcPelBuffer<unsigned int>& src, long xSize, long ySize, bool bicubic,
    const std::function<void(long, const unsigned int*)>& rowDone);
