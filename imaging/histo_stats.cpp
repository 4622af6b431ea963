#include "imaging/histo_stats.h"

#include <cmath>

kcHistoStats::kcHistoStats(const std::vector<unsigned long>& histogram)
    : histogram_(histogram) {
  double sum = 0.0;
  for (std::size_t g = 0; g < histogram_.size(); ++g) {
    n_ += histogram_[g];
    sum += static_cast<double>(g) * static_cast<double>(histogram_[g]);
  }
  if (n_ == 0) return;
  mean_ = sum / static_cast<double>(n_);
  double squares = 0.0;
  for (std::size_t g = 0; g < histogram_.size(); ++g) {
    const double d = static_cast<double>(g) - mean_;
    squares += d * d * static_cast<double>(histogram_[g]);
  }
  sDev_ = std::sqrt(squares / static_cast<double>(n_));
}

long kcHistoStats::inverseCum(int percent) const {
  if (n_ == 0) return 0;
  const unsigned long long p = percent < 0     ? 0
                               : percent > 100 ? 100
                                               : static_cast<unsigned>(percent);
  const unsigned long long target = p * n_;
  unsigned long long cum = 0;
  for (std::size_t g = 0; g < histogram_.size(); ++g) {
    cum += histogram_[g];
    if (cum > 0 && 100 * cum >= target) return static_cast<long>(g);
  }
  return static_cast<long>(histogram_.size()) - 1;
}
