#pragma once

#include "host/export.h"
#include "host/pel_buffer.h"

// In-place saturating arithmetic on 8-bit images, over the overlap of the
// two windows (pels paired by image coordinates). Destination pels outside
// the overlap are left alone; disjoint windows change nothing. An unbound
// destination or source throws kcPel::UnboundWindow before anything is
// written. The source may share the destination's pels in any way: the
// result is that of working on a copy of the source.
//
// A signed difference is stored with an offset of 128: pel p stands for
// p - 128.

// dst <- clamp(dst - src, -L, L) + 128 with L = min(limit, 127).
IMGNORM_API void kf_PelSubClamp(const kcPelBuffer<unsigned char>& destination,
                                const kcPelBuffer_const<unsigned char>& source,
                                unsigned char limit);
// dst <- clamp(dst - (src - 128), 0, 255): subtracts an offset-128 difference.
IMGNORM_API void kf_PelSubClampSigned(const kcPelBuffer<unsigned char>& destination,
                                      const kcPelBuffer_const<unsigned char>& source);
// The row kernel of kf_PelSubClampSigned with a separate output:
// out[x] <- clamp(a[x] - (b[x] - 128), 0, 255) for x < width; out may be a
// or b.
IMGNORM_API void kf_PelSubClampSignedRow(const unsigned char* a, const unsigned char* b,
                                         unsigned char* out, long width);
// dst <- clamp(dst + (src - 128), 0, 255): adds an offset-128 difference.
IMGNORM_API void kf_PelAddClamp(const kcPelBuffer<unsigned char>& destination,
                                const kcPelBuffer_const<unsigned char>& source);

// Differences of 16-bit pels span 17 bits: they are held in 32-bit pels with
// an offset of 2^16 (pel p stands for p - 2^16).
constexpr unsigned wideDifferenceOffset = 1u << 16;

// out[x] <- clamp(a[x] - b[x], -limit, limit) + wideDifferenceOffset for
// x < width, limit taken at most 65535. out shares no pels with a or b.
IMGNORM_API void kf_PelSubClampWideRow(const unsigned short* a, const unsigned short* b,
                                       unsigned limit, unsigned* out, long width);

// out[x] <- clamp(a[x] - (b[x] - wideDifferenceOffset), 0, top) for x < width:
// subtracts a wide difference from 16-bit pels. b's pels must be below 2^31;
// out shares no pels with a or b.
IMGNORM_API void kf_PelSubClampSignedRow(const unsigned short* a, const unsigned* b,
                                         unsigned short top, unsigned short* out, long width);
