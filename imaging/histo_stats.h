#pragma once

#include <vector>

#include "host/export.h"

// Statistics of a gray-level histogram (raw counts indexed by level).
//   nSamp()        the total count (0 for an empty or all-zero histogram)
//   mean()         the mean level (0 without samples)
//   sDev()         the population standard deviation (divides by the count)
//   inverseCum(p)  the lowest level whose cumulative count reaches p percent
//                  of the count, compared in integers (100 cum >= p count);
//                  p is clamped to 0..100, and p = 0 gives the lowest
//                  occupied level; 0 without samples.
class IMGNORM_API kcHistoStats {
 public:
  kcHistoStats() = default;
  explicit kcHistoStats(const std::vector<unsigned long>& histogram);

  unsigned long nSamp() const { return n_; }
  double mean() const { return mean_; }
  double sDev() const { return sDev_; }
  long inverseCum(int percent) const;
  const std::vector<unsigned long>& histogram() const { return histogram_; }

 private:
  std::vector<unsigned long> histogram_;
  unsigned long n_ = 0;
  double mean_ = 0.0;
  double sDev_ = 0.0;
};
