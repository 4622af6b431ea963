#include "imaging/threshold_wgv.h"

#include "host/exceptions.h"

namespace {

// Running count and level sum of the pels below the candidate threshold.
struct ClassSums {
  double count = 0.0;
  double sum = 0.0;
};

// Minimizing the within-group variance is the same as maximizing
// sum0^2 / n0 + sum1^2 / n1, since the total sum of squares is fixed.
double separation(const ClassSums& below, const ClassSums& all) {
  const double countAbove = all.count - below.count;
  const double sumAbove = all.sum - below.sum;
  return below.sum * below.sum / below.count + sumAbove * sumAbove / countAbove;
}

}  // namespace

void kfThresholdWGV(const std::vector<unsigned long>& histogram, kcThresholdResult& result, long lo,
                    long hi) {
  const long last = static_cast<long>(histogram.size()) - 1;
  if (hi == -1) hi = last;
  if (lo < 0 || hi < lo || hi > last) throw kcPelFunc::BadParams();

  ClassSums all;
  long lowest = -1;  // lowest occupied level
  for (long g = lo; g <= hi; ++g) {
    if (histogram[g] == 0) continue;
    if (lowest < 0) lowest = g;
    all.count += static_cast<double>(histogram[g]);
    all.sum += static_cast<double>(g) * static_cast<double>(histogram[g]);
  }
  if (lowest < 0) {
    result = kcThresholdResult(lo);
    return;
  }

  long best = lowest;
  double bestSeparation = 0.0;
  ClassSums below;
  for (long t = lowest + 1; t <= hi; ++t) {
    below.count += static_cast<double>(histogram[t - 1]);
    below.sum += static_cast<double>(t - 1) * static_cast<double>(histogram[t - 1]);
    if (below.count == all.count) break;  // the upper class would be empty
    const double s = separation(below, all);
    if (best == lowest || s > bestSeparation) {
      best = t;
      bestSeparation = s;
    }
  }
  result = kcThresholdResult(best);
}
