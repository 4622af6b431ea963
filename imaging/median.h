#pragma once

#include "host/export.h"
#include "host/geometry.h"
#include "host/pel_buffer.h"

// Median filter of 8-bit images, and of wide images (unsigned int pels of
// up to 17 bits, such as the differences of 16-bit images), limited to a
// range of values and optionally to the pels of a mask.
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
// Cost, 8-bit. A sliding histogram with one histogram per column and two
// levels (16 coarse bins, 256 fine bins updated only where the median is
// sought): constant time per pel whatever the kernel size. The image is
// processed in vertical strips so that the column histograms stay in cache.
//
// Cost, wide. The same column histograms, sized by the range: coarse bins
// and fine levels of about the square root of its levels each. Time per
// pel does not grow with the kernel; it grows with that square root.

class IMGNORM_API kcPelMedianParams {
 public:
  // kernel: each size >= 1, area kx * ky at most maxKernelArea (so that
  // 16-bit counters cannot overflow). valueRange: (lo, hi) with
  // 0 <= lo <= hi <= maxLevel, maxLevel 255 .. maxWideLevel; the 8-bit forms
  // take ranges up to 255 only. Throws kcPelFunc::BadParams for values out
  // of range.
  kcPelMedianParams(const kcPair<long>& kernel, const kcPair<long>& valueRange,
                    long maxLevel = 255);

  static constexpr long maxKernelArea = 32767;
  static constexpr long maxWideLevel = (1L << 17) - 1;

  const kcPair<long>& kernel() const { return kernel_; }
  const kcPair<long>& valueRange() const { return valueRange_; }

 private:
  kcPair<long> kernel_;
  kcPair<long> valueRange_;
};

// Median of src's window. An unbound dst is allocated over src's window and
// takes src's transforms; a bound one receives the pels of the common window
// and keeps its transforms. dst may share storage with src. Throws
// kcPel::UnboundWindow when src is unbound.
IMGNORM_API void kfPelMedian(const kcPelBuffer_const<unsigned char>& src,
                             const kcPelMedianParams& params, kcPelBuffer<unsigned char>& dst);

// Masked median: the working window is the intersection of src's and mask's
// windows, and only pels whose mask pel is non-zero take part. An unbound
// dst is allocated over the working window and takes src's transforms.
// Throws kcPel::UnboundWindow when src or mask is unbound.
IMGNORM_API void kfPelMedian(const kcPelBuffer_const<unsigned char>& src,
                             const kcPelBuffer_const<unsigned char>& mask,
                             const kcPelMedianParams& params, kcPelBuffer<unsigned char>& dst);

// The same two forms for wide pels (the 8-bit forms throw
// kcPelFunc::BadParams for a range above 255; these take any range the
// parameters hold).
IMGNORM_API void kfPelMedian(const kcPelBuffer_const<unsigned int>& src,
                             const kcPelMedianParams& params, kcPelBuffer<unsigned int>& dst);
IMGNORM_API void kfPelMedian(const kcPelBuffer_const<unsigned int>& src,
                             const kcPelBuffer_const<unsigned char>& mask,
                             const kcPelMedianParams& params, kcPelBuffer<unsigned int>& dst);
