#pragma once

#include "host/export.h"
#include "host/pel_buffer.h"

// True when a and b are the same image: both unbound, or both bound with
// equal windows, client-from-image transforms that map each window corner
// (ul, ur, ll, lr) to points equal within tolerance (per coordinate), and
// exactly equal pels. The tolerance applies to the transforms only.
IMGNORM_API bool kf_PelBufferEqual(const kcPelBuffer_const<unsigned char>& a,
                                   const kcPelBuffer_const<unsigned char>& b, double tolerance);
IMGNORM_API bool kf_PelBufferEqual(const kcPelBuffer_const<unsigned short>& a,
                                   const kcPelBuffer_const<unsigned short>& b, double tolerance);
IMGNORM_API bool kf_PelBufferEqual(const kcPelBuffer_const<unsigned long>& a,
                                   const kcPelBuffer_const<unsigned long>& b, double tolerance);
