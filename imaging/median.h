#pragma once

#include "host/export.h"
#include "host/geometry.h"
#include "host/pel_buffer.h"

// Median filter of 8-bit images, of 12-bit codes in unsigned short pels
// and of wide (up to 17-bit) unsigned int images, limited to a range of values and optionally to
// the pels of a mask.
//
// Kernel. kernel = (kx, ky) pels, placed on the output pel so that it
// reaches kx / 2 pels left and (kx - 1) / 2 pels right of it (likewise up
// and down): centred for odd sizes, one pel more on the left (top) side for
// even sizes. At the edges of the working window the kernel is cut to the
// pels inside; nothing is replicated.
//
// Taking part. A pel inside the cut kernel takes part when its value lies
// in valueRange lo..hi (inclusive) and, for the masked form, its mask pel
// is non-zero. The output is the lower median of those values: the one of
// rank (n - 1) / 2 in ascending order, n being their number. When no pel
// takes part, the output is the source pel clamped to lo..hi.
//
// Cost. A sliding histogram with one histogram per column and two levels
// (16 coarse bins, 256 fine bins updated only where the median is sought):
// constant time per pel whatever the kernel size. The 12-bit forms add a
// middle level (16 coarse bins of 256 levels, 256 middle bins of 16, 4096
// fine levels). The image is processed in
// vertical strips so that the column histograms stay in cache. The wide
// forms take the 12-bit forms' tiers with 32 coarse bins over ranges of up
// to 8192 levels (differences of 16-bit pels within +-4095, coded from the
// range's bottom), and over wider ranges size their histograms by it:
// N = hi - lo + 1 levels in bins of a power of two near sqrt(N) / 2
// levels, so that their cost per pel grows with sqrt(N), not with the
// kernel; where the median climbs steeply along a
// row, each bin it enters also costs a sum over the kernel's columns. Their
// column histograms take about 2 N bytes per column of a strip, which spans
// the kernel's width and at least 64 columns more; strips are narrowed so
// that these stay within 64 MiB where the kernel's width allows.

class IMGNORM_API kcPelMedianParams {
 public:
  // kernel: each size >= 1, area kx * ky at most maxKernelArea (so that
  // 16-bit counters cannot overflow). valueRange: (lo, hi) with
  // 0 <= lo <= hi <= maxLevel; maxLevel in 255..maxWideLevel (255 for the
  // 8-bit forms, which refuse a range above 255 whatever maxLevel was).
  // Throws kcPelFunc::BadParams for values out of range.
  kcPelMedianParams(const kcPair<long>& kernel, const kcPair<long>& valueRange,
                    long maxLevel = 255);

  static constexpr long maxKernelArea = 32767;
  // The top code of the wide forms: signed 16-bit differences stored with
  // an offset of 65536 lie in 1..131071.
  static constexpr long maxWideLevel = (1L << 17) - 1;

  const kcPair<long>& kernel() const { return kernel_; }
  const kcPair<long>& valueRange() const { return valueRange_; }

 private:
  kcPair<long> kernel_;
  kcPair<long> valueRange_;
};

// Median of src's window. Throws kcPelFunc::BadParams when the value
// range's top is above 255. An unbound dst is allocated over src's window and
// takes src's transforms; a bound one receives the pels of the common window
// and keeps its transforms. dst may share storage with src. Throws
// kcPel::UnboundWindow when src is unbound.
IMGNORM_API void kfPelMedian(const kcPelBuffer_const<unsigned char>& src,
                             const kcPelMedianParams& params, kcPelBuffer<unsigned char>& dst);

// Masked median: the working window is the intersection of src's and mask's
// windows, and only pels whose mask pel is non-zero take part. An unbound
// dst is allocated over the working window and takes src's transforms.
// Throws kcPel::UnboundWindow when src or mask is unbound, and
// kcPelFunc::BadParams when the value range's top is above 255.
IMGNORM_API void kfPelMedian(const kcPelBuffer_const<unsigned char>& src,
                             const kcPelBuffer_const<unsigned char>& mask,
                             const kcPelMedianParams& params, kcPelBuffer<unsigned char>& dst);

// The 12-bit forms: the same rules over unsigned short pels, with value
// ranges up to 4095 (maxLevel 4095 or more; kcPelFunc::BadParams for a
// range reaching above 4095; pels above it lie outside every range).
IMGNORM_API void kfPelMedian(const kcPelBuffer_const<unsigned short>& src,
                             const kcPelMedianParams& params, kcPelBuffer<unsigned short>& dst);
IMGNORM_API void kfPelMedian(const kcPelBuffer_const<unsigned short>& src,
                             const kcPelBuffer_const<unsigned char>& mask,
                             const kcPelMedianParams& params, kcPelBuffer<unsigned short>& dst);

// The wide forms: the same rules over unsigned int pels, with value ranges
// up to kcPelMedianParams::maxWideLevel (pels above it simply lie outside
// every range).
IMGNORM_API void kfPelMedian(const kcPelBuffer_const<unsigned int>& src,
                             const kcPelMedianParams& params, kcPelBuffer<unsigned int>& dst);
IMGNORM_API void kfPelMedian(const kcPelBuffer_const<unsigned int>& src,
                             const kcPelBuffer_const<unsigned char>& mask,
                             const kcPelMedianParams& params, kcPelBuffer<unsigned int>& dst);
