#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include "host/export.h"
#include "host/pel_buffer.h"

// The first x from `from` on (or n) where whether m[x] is non-zero differs
// from `set`; eight mask pels a step through uniform stretches.
IMGNORM_API long kfMaskRunEnd(const unsigned char* m, long from, long n, bool set);

// The set (non-zero) pels of a mask's window as runs along its rows. Masks
// mostly come in long runs: operations that visit the runs test no mask pel
// and read no mask byte.
class IMGNORM_API kcMaskRuns {
 public:
  kcMaskRuns() = default;
  // Unbound when mask is, when its window holds no pel, or when its runs
  // would take more memory than a quarter of its pels (a mask of fine
  // detail is better read as it is).
  explicit kcMaskRuns(const kcPelBuffer_const<unsigned char>& mask);

  bool isBound() const { return !rowStarts_.empty(); }
  const kcPelRect& window() const { return window_; }
  std::size_t runCount() const { return runs_.size(); }
  // Whether every set pel is 255, as in a mask of the levels 0 and 255 only.
  bool setPelsAreFull() const { return setPelsAreFull_; }

  // f(x, n) for each run of row y (within the window) cut to the columns
  // [x0, x1): n > 0 set pels from x on, in image coordinates.
  template <class F>
  void forEachRun(long y, long x0, long x1, F&& f) const {
    const auto row = static_cast<std::size_t>(y - window_.y());
    for (std::size_t i = rowStarts_[row]; i < rowStarts_[row + 1]; ++i) {
      const long first = std::max(runs_[i].first, x0), last = std::min(runs_[i].second, x1);
      if (first < last) f(first, last - first);
    }
  }

 private:
  kcPelRect window_;
  std::vector<std::size_t> rowStarts_;       // height + 1 offsets into runs_
  std::vector<std::pair<long, long>> runs_;  // [first, last) in image x
  bool setPelsAreFull_ = false;
};

// The gray levels of image's pels in the runs' set pels: what
// kf_MaskedPelHistogram gives for the mask the runs come from. Throws
// kcPel::UnboundWindow for an unbound image or runs.
IMGNORM_API void kf_MaskedPelHistogram(const kcPelBuffer_const<unsigned char>& image,
                                       const kcMaskRuns& runs,
                                       std::vector<unsigned long>& histogram);

// The same for 16-bit pels of bits significant bits: 2^bits bins. Returns
// how many pels in the runs lay above the bits (not counted).
IMGNORM_API unsigned long kf_MaskedPelHistogram(const kcPelBuffer_const<unsigned short>& image,
                                                int bits, const kcMaskRuns& runs,
                                                std::vector<unsigned long>& histogram);
