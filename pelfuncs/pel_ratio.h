#pragma once

#include "host/export.h"

// Ratios of gray levels in fixed point, for corrections that divide: a
// ratio q is held as the code round(q * ratioOne) in 32-bit pels, clamped
// to ratioLargest, so ratios lie in 0 .. 8 - 2^-14 with a step of 2^-14.
// Their codes fit the 17 bits the wide smoothing and median take.
constexpr unsigned ratioOne = 1u << 14;
constexpr unsigned ratioLargest = (1u << 17) - 1;

// out[x] <- min(round(ratioOne * (a[x] + bias) / (b[x] + bias)),
// ratioLargest) for x < width. bias (1 .. 2^15) keeps ratios of dark pels
// near 1: two levels of 0 give exactly ratioOne. out shares no pels with a
// or b.
IMGNORM_API void kf_PelRatioRow(const unsigned char* a, const unsigned char* b, unsigned bias,
                                unsigned* out, long width);
IMGNORM_API void kf_PelRatioRow(const unsigned short* a, const unsigned short* b, unsigned bias,
                                unsigned* out, long width);

// out[x] <- min(round(ratioOne * a[x] / max(q[x], 1)), top) for x < width:
// divides by ratio codes. q's pels must lie below 2^24; out shares no pels
// with a or q.
IMGNORM_API void kf_PelDivideByRatioRow(const unsigned char* a, const unsigned* q,
                                        unsigned char top, unsigned char* out, long width);
IMGNORM_API void kf_PelDivideByRatioRow(const unsigned short* a, const unsigned* q,
                                        unsigned short top, unsigned short* out, long width);
