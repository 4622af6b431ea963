#pragma once

#include "host/export.h"

// Ratios of gray levels as log codes, for corrections that divide: a ratio
// q is held as the code logRatioZero + round(logRatioSteps * log2 q) in
// 32-bit pels, clamped to 0 .. logRatioLargest, so ratios lie in 2^-4 ..
// 2^4 with steps of 2^-14 octave (about 0.004 %): no pel is divided or
// multiplied by more than 16. Codes fit the 17 bits the wide smoothing and
// median take, and a mean of codes is the code of the geometric mean,
// which a few pels of wildly other ratios in either direction cannot pull
// far.
constexpr unsigned logRatioZero = 1u << 16;
constexpr unsigned logRatioSteps = 1u << 14;
constexpr unsigned logRatioLargest = (1u << 17) - 1;
// The largest bias the codes of levels take.
constexpr unsigned logRatioMaxBias = 256;

// out[x] <- the code of (a[x] + bias) / (b[x] + bias) for x < width, within
// one step of the exact code. bias (1 .. logRatioMaxBias) keeps ratios of
// dark pels near 1: two equal levels give exactly logRatioZero. out shares
// no pels with a or b.
IMGNORM_API void kf_PelLogRatioRow(const unsigned char* a, const unsigned char* b, unsigned bias,
                                   unsigned* out, long width);
IMGNORM_API void kf_PelLogRatioRow(const unsigned short* a, const unsigned short* b, unsigned bias,
                                   unsigned* out, long width);

// out[x] <- the ratio of code c[x] in single precision (codes above
// logRatioLargest count as it), as the division below takes it.
IMGNORM_API void kf_LogRatioValuesRow(const unsigned* c, float* out, long width);

// out[x] <- (int)(min(a[x] / q, top) + 0.5) in single precision for
// x < width, q the ratio of code c[x] as kf_LogRatioValuesRow gives it: a
// division by log codes that the ratios reproduce exactly. out shares no
// pels with a or c.
IMGNORM_API void kf_PelDivideByLogRatioRow(const unsigned char* a, const unsigned* c,
                                           unsigned char top, unsigned char* out, long width);
IMGNORM_API void kf_PelDivideByLogRatioRow(const unsigned short* a, const unsigned* c,
                                           unsigned short top, unsigned short* out, long width);
