#pragma once

#include <vector>

#include "host/export.h"

// Result of an automatic threshold selection.
class IMGNORM_API kcThresholdResult {
 public:
  kcThresholdResult() = default;
  explicit kcThresholdResult(long threshold) : threshold_(threshold) {}
  // Gray level t that splits the pels into "below t" and "at or above t".
  long threshold() const { return threshold_; }

 private:
  long threshold_ = 0;
};

// Picks the threshold t in lo + 1 .. hi that minimizes the within-group
// variance (the count-weighted sum of the two classes' variances) of the
// pels with levels lo .. t - 1 and those with levels t .. hi. hi = -1 means
// the histogram's last bin.
//
// Only splits that leave a pel in each class compete. Ties go to the lowest
// t, so that a gap between two occupied levels puts t just above the lower
// one. When the range holds pels at one level only, the result is that
// level (all pels at or above it); when it holds no pels, lo.
//
// Throws kcPelFunc::BadParams unless 0 <= lo <= hi < histogram.size().
IMGNORM_API void kfThresholdWGV(const std::vector<unsigned long>& histogram,
                                kcThresholdResult& result, long lo, long hi);
