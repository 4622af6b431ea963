#pragma once

#include <vector>

#include "host/export.h"
#include "host/pel_buffer.h"

// 256 raw counts of the window's gray levels; histogram is resized to 256.
// Throws kcPel::UnboundWindow for an unbound src.
IMGNORM_API void kfPelHistogram(const kcPelBuffer_const<unsigned char>& src,
                                std::vector<unsigned long>& histogram);
