#pragma once

#include "host/export.h"
#include "host/pel_buffer.h"

// Replaces every pel of value from by to, in place. Throws kcPel::UnboundWindow
// for an unbound image.
IMGNORM_API void kf_PelMapValue(kcPelBuffer<unsigned char>& image, unsigned char from,
                                unsigned char to);
