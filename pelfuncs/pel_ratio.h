#pragma once

#include "host/export.h"

// Ratios of gray levels as log codes, for corrections that divide: a ratio
// q is held as the code logRatioZero + round(logRatioSteps * log2 q) in
// 32-bit pels, clamped to 0 .. logRatioLargest, so ratios lie in 2^-4 ..
// 2^4 with steps of 2^-14 octave (about 0.004 %; 8-bit images take the
// narrow codes below): no pel is divided or multiplied by more than 16.
// Codes fit the 17 bits the wide smoothing and median take, and a mean of
// codes is the code of the geometric mean, which a few pels of wildly
// other ratios in either direction cannot pull far.
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

// 8-bit images take narrower codes of the same form, which the smoothing
// sums in 32-bit lanes and a 4096-level median takes: 12 bits in 16-bit pels,
// narrowLogRatioZero + round(narrowLogRatioSteps * log2 q), ratios again
// in 2^-4 .. 2^4, steps of 2^-9 octave (about 0.14 %). A code within 5/8
// of a step of a ratio's moves a level of 255 by at most 0.22, so the
// division by the code's ratio stays within one level of the division by
// the exact ratio.
constexpr unsigned narrowLogRatioZero = 1u << 11;
constexpr unsigned narrowLogRatioSteps = 1u << 9;
constexpr unsigned narrowLogRatioLargest = (1u << 12) - 1;

// out[x] <- the narrow code of (a[x] + 1) / (b[x] + 1) for x < width
// (the bias of 8-bit levels is 1), within 5/8 of a step of the exact code:
// equal levels give exactly narrowLogRatioZero. out shares no pels with a
// or b.
IMGNORM_API void kf_PelLogRatioRow(const unsigned char* a, const unsigned char* b,
                                   unsigned short* out, long width);

// out[x] <- the ratio of narrow code c[x] in single precision, within 2e-7
// of the exact ratio and exactly a power of two at whole octaves (codes
// above narrowLogRatioLargest count as it).
IMGNORM_API void kf_LogRatioValuesRow(const unsigned short* c, float* out, long width);

// out[x] <- (int)(min(a[x] / q, 255) + 0.5) in single precision for
// x < width, q the ratio of narrow code c[x] as kf_LogRatioValuesRow gives
// it. out shares no pels with a or c.
IMGNORM_API void kf_PelDivideByLogRatioRow(const unsigned char* a, const unsigned short* c,
                                           unsigned char* out, long width);
