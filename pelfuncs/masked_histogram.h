#pragma once

#include <vector>

#include "host/export.h"
#include "host/pel_buffer.h"

// Counts the gray levels of image into 256 raw bins, only where mask is
// non-zero (any non-zero value). An unbound mask counts the whole image
// window. Pels are paired by image coordinates over the windows' overlap;
// when the windows do not overlap the histogram comes back empty (size 0).
// Throws kcPel::UnboundWindow for an unbound image, histogram untouched.
IMGNORM_API void kf_MaskedPelHistogram(const kcPelBuffer_const<unsigned char>& image,
                                       const kcPelBuffer_const<unsigned char>& mask,
                                       std::vector<unsigned long>& histogram);

// The same for 16-bit pels of bits significant bits (1 to 16): 2^bits bins.
// Returns how many pels under the mask lay above the bits (not counted).
IMGNORM_API unsigned long kf_MaskedPelHistogram(const kcPelBuffer_const<unsigned short>& image,
                                                int bits,
                                                const kcPelBuffer_const<unsigned char>& mask,
                                                std::vector<unsigned long>& histogram);
