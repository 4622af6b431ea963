#pragma once

#include "host/export.h"
#include "host/pel_buffer.h"

// Pel-wise minimum of a and b over their common window, pels paired by image
// coordinates. Throws kcPel::UnboundWindow for an unbound input.

// A new buffer over the common window with a's transforms.
IMGNORM_API kcPelBuffer<unsigned char> kfPelMin(const kcPelBuffer_const<unsigned char>& a,
                                                const kcPelBuffer_const<unsigned char>& b);
// Into dst over the common window of all three (dst allocated over a & b
// when unbound). dst may be a or b itself; any other overlap gives the result
// of working on copies of the inputs.
IMGNORM_API void kfPelMin(const kcPelBuffer_const<unsigned char>& a,
                          const kcPelBuffer_const<unsigned char>& b,
                          kcPelBuffer<unsigned char>& dst);
