#include "imgnorm/detail/linear_fit.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

#include "host/assert.h"
#include "host/attention.h"
#include "imaging/affine_sample.h"
#include "imaging/line_fit.h"
#include "imaging/pel_max.h"
#include "imaging/pel_set.h"
#include "imaging/projection.h"
#include "imgnorm/detail/global_maps.h"
#include "imgnorm/errors.h"
#include "pelfuncs/detail/run_prefetch.h"
#include "pelfuncs/mask_runs.h"

namespace imgnorm {

namespace {

constexpr long kBins = kJointBins;

using BinTable = std::array<unsigned char, 256>;

BinTable makeBinTable() {
  BinTable t{};
  for (int g = 0; g < 256; ++g) t[g] = static_cast<unsigned char>((g + 4) >> 3);
  return t;
}

constexpr std::size_t kLevels = 256;

// The common window of the images that take part; the mask counts when bound.
kcPelRect pairedRegion(const kcPelBuffer_const<unsigned char>& a,
                       const kcPelBuffer_const<unsigned char>& b,
                       const kcPelBuffer_const<unsigned char>& mask) {
  kcPelRect r = a.window() & b.window();
  if (mask.isBound()) r &= mask.window();
  return r;
}

// Unrolled: the loop's own instructions would otherwise slow the increments.
void countPairsSpan(const unsigned char* s, const unsigned char* t, long n, std::uint32_t* pairs) {
#pragma GCC unroll 8
  for (long x = 0; x < n; ++x) ++pairs[s[x] * kLevels + t[x]];
}

// Pairs are counted in 32-bit cells, whose table takes half the cache of
// 64-bit ones; the cells are added into the 64-bit counts before any could
// wrap.
class PairCounter {
 public:
  PairCounter() : cells_(kLevels * kLevels, 0) {}

  void addSpan(const unsigned char* s, const unsigned char* t, long n) {
    if (n > kFlushAfterPels - pending_) flush();
    pending_ += n;
    countPairsSpan(s, t, n, cells_.data());
  }

  PairCounts counts() {
    if (totals_.empty()) return PairCounts(cells_.begin(), cells_.end());
    flush();
    return std::move(totals_);
  }

 private:
  // No cell passes 2^32 - 1 before this many pels are counted.
  static constexpr long kFlushAfterPels = 0xFFFFFFFFL;

  void flush() {
    totals_.resize(cells_.size(), 0);
    for (std::size_t i = 0; i < cells_.size(); ++i) totals_[i] += cells_[i];
    std::fill(cells_.begin(), cells_.end(), 0);
    pending_ = 0;
  }

  std::vector<std::uint32_t> cells_;
  PairCounts totals_;
  long pending_ = 0;
};

// Masks come in long runs: each run of set mask pels is counted without a
// test per pel.
void countPairsRow(const unsigned char* s, const unsigned char* t, const unsigned char* m, long n,
                   PairCounter& pairs) {
  if (!m) {
    pairs.addSpan(s, t, n);
    return;
  }
  for (long x = kfMaskRunEnd(m, 0, n, false); x < n;) {
    const long end = kfMaskRunEnd(m, x, n, true);
    pairs.addSpan(s + x, t + x, end - x);
    x = kfMaskRunEnd(m, end, n, false);
  }
}

// f(s, t, n) for each non-zero count n of run-time level s and reference
// level t, in order. Most cells are empty: blocks of them are tested at once.
template <class F>
void forEachPair(const PairCounts& pairs, F&& f) {
  constexpr std::size_t kBlock = 16;
  KC_ASSERT(pairs.size() == kLevels * kLevels);
  for (std::size_t first = 0; first < pairs.size(); first += kBlock) {
    std::uint64_t any = 0;
    for (std::size_t i = first; i < first + kBlock; ++i) any |= pairs[i];
    if (any == 0) continue;
    for (std::size_t i = first; i < first + kBlock; ++i)
      if (pairs[i] != 0) f(i / kLevels, i % kLevels, pairs[i]);
  }
}

unsigned char logScaled(std::uint64_t count, double scale) {
  if (count == 0) return 0;
  return static_cast<unsigned char>(std::log(static_cast<double>(count)) * scale + 0.5);
}

}  // namespace

PairCounts countPairs(const kcPelBuffer_const<unsigned char>& runTime,
                      const kcPelBuffer_const<unsigned char>& templ,
                      const kcPelBuffer_const<unsigned char>& mask, const kcMaskRuns& maskRuns) {
  if (!runTime.isBound() || !templ.isBound())
    throw kcImageNormalizerDefs::BadImage(L"Both template image and run-time image must be bound.");
  PairCounter pairs;
  const kcPelRect r = pairedRegion(templ, runTime, mask);
  if (maskRuns.isBound()) {
    KC_ASSERT(maskRuns.window() == mask.window());
    for (long y = r.y(); y < r.bottom(); ++y) {
      if (y + 1 < r.bottom()) {
        kfPrefetchRunStarts(maskRuns, runTime, y + 1, r.x(), r.right());
        kfPrefetchRunStarts(maskRuns, templ, y + 1, r.x(), r.right());
      }
      maskRuns.forEachRun(y, r.x(), r.right(), [&](long x, long n) {
        pairs.addSpan(runTime.pointToPel(x, y), templ.pointToPel(x, y), n);
      });
    }
    return pairs.counts();
  }
  for (long y = r.y(); y < r.bottom(); ++y)
    countPairsRow(runTime.pointToPel(r.x(), y), templ.pointToPel(r.x(), y),
                  mask.isBound() ? mask.pointToPel(r.x(), y) : nullptr, r.width(), pairs);
  return pairs.counts();
}

PairCounts rankPairs(const std::vector<unsigned long>& runHistogram,
                     const std::vector<unsigned long>& referenceHistogram) {
  PairCounts pairs(kLevels * kLevels, 0);
  double runTotal = 0.0, referenceTotal = 0.0;
  for (unsigned long n : runHistogram) runTotal += static_cast<double>(n);
  for (unsigned long n : referenceHistogram) referenceTotal += static_cast<double>(n);
  if (runTotal == 0.0 || referenceTotal == 0.0) return pairs;
  // Both cumulative histograms in run-time pels; each overlap of a run-time
  // level's span with a reference level's span is one pair count. Rounding
  // the boundaries keeps the counts whole and their sum exact.
  const double scale = runTotal / referenceTotal;
  double runEnd = 0.0, referenceEnd = 0.0, position = 0.0;
  std::size_t s = 0, t = 0;
  while (s < runHistogram.size() && t < referenceHistogram.size()) {
    if (position >= runEnd) runEnd += static_cast<double>(runHistogram[s]);
    if (position >= referenceEnd)
      referenceEnd += static_cast<double>(referenceHistogram[t]) * scale;
    const double end = std::min(runEnd, referenceEnd);
    pairs[s * kLevels + t] +=
        static_cast<std::uint64_t>(std::llround(end) - std::llround(position));
    position = end;
    if (position >= runEnd) ++s;
    if (position >= referenceEnd) ++t;
  }
  return pairs;
}

kcPelBuffer<unsigned char> jointLogHistogram(const PairCounts& pairs, std::uint64_t weight) {
  const BinTable bin = makeBinTable();
  JointCells cells{};
  forEachPair(pairs, [&](std::size_t s, std::size_t t, std::uint64_t n) {
    cells[bin[t] * kBins + bin[s]] += n * weight;
  });
  return logScaledJointHistogram(cells);
}

kcPelBuffer<unsigned char> logScaledJointHistogram(const JointCells& cells) {
  kcPelBuffer<unsigned long> joint(kBins, kBins, 32);
  kfPelSet(joint, 0UL);
  for (long row = 0; row < kBins; ++row)
    for (long col = 0; col < kBins; ++col) joint.set(col, row, cells[row * kBins + col]);
  const unsigned long max = kfPelMax(joint);

  kcPelBuffer<unsigned char> logHistogram(kBins, kBins, 32);
  const double scale = max < 256 ? 0.0 : 255.0 / std::log(static_cast<double>(max));
  for (long row = 0; row < kBins; ++row) {
    for (long col = 0; col < kBins; ++col) {
      const std::uint64_t count = joint.get(col, row);
      logHistogram.set(col, row,
                       max < 256 ? static_cast<unsigned char>(count) : logScaled(count, scale));
    }
  }
  return logHistogram;
}

void projectAtAngle(const kcPelBuffer_const<unsigned char>& logHistogram, kcDegree angle,
                    kcPelBuffer<unsigned long>& projection) {
  const kcRadian phi(angle + kcDegree(90.0));
  const kcXform<2> x(kcVector<2>(0, 0), phi, phi, 1.0, 1.0);
  const kcXform<2> xi = x.inverse();
  const double side = static_cast<double>(kBins);
  const kcVector<2> corners[4] = {{0, 0}, {0, side}, {side, side}, {side, 0}};
  const kcVector<2> first = xi * corners[0];
  double umin = first.x(), umax = first.x(), vmin = first.y(), vmax = first.y();
  for (int i = 1; i < 4; ++i) {
    const kcVector<2> c = xi * corners[i];
    if (c.x() < umin)
      umin = c.x();
    else if (c.x() > umax)
      umax = c.x();
    if (c.y() < vmin)
      vmin = c.y();
    else if (c.y() > vmax)
      vmax = c.y();
  }
  const long w = static_cast<long>(umax - umin + 0.5) + 1;
  const long h = static_cast<long>(vmax - vmin - 0.5) - 1;
  const kcAffineRectangle rect(x * kcVector<2>(umin, vmin), x * kcVector<2>(umax, vmin),
                               x * kcVector<2>(umin, vmax));
  const kcAffineSamplingParams params(rect, w, h, 2);
  projection = kfProjectImage<unsigned char>(logHistogram, params);
}

void projectAtAngles(const kcPelBuffer_const<unsigned char>& logHistogram,
                     const std::vector<kcDegree>& angles, std::size_t first, std::size_t last,
                     std::vector<kcPelBuffer<unsigned long>>& projections, const IndexLoop& loop) {
  projections.resize(last - first + 1);
  loop(projections.size(), [&](std::size_t i) {
    projections[i].setUnbound();
    projectAtAngle(logHistogram, angles[first + i], projections[i]);
  });
}

void boxSumMirrored(const std::vector<unsigned long>& v, long h, std::vector<unsigned long>& sums) {
  const long n = static_cast<long>(v.size());
  KC_ASSERT(h >= 0 && n >= 2 * h + 1);
  sums.assign(v.size(), 0);
  const auto at = [&](long i) {
    const long m = i < 0 ? -i : (i > n - 1 ? 2 * (n - 1) - i : i);
    return static_cast<std::uint32_t>(v[m]);
  };
  std::uint32_t sum = 0;
  for (long i = -h; i <= h; ++i) sum += at(i);
  sums[0] = sum;
  for (long k = 1; k < n; ++k) {
    sum += at(k + h);
    sum -= at(k - h - 1);
    sums[k] = sum;
  }
}

void smoothedPeak(const std::vector<unsigned long>& profile, long h, kcPair<double>& peak) {
  std::vector<unsigned long> sums;
  boxSumMirrored(profile, h, sums);
  unsigned long best = 0;
  std::size_t index = 0;
  for (std::size_t k = 0; k < sums.size(); ++k) {
    if (sums[k] > best) {
      best = sums[k];
      index = k;
    }
  }
  peak = kcPair<double>(static_cast<double>(index), static_cast<double>(best));
}

void strongestProjection(const std::vector<kcPelBuffer<unsigned long>>& projections,
                         double& peakPosition, long& chosen) {
  double bestValue = -1.0;
  chosen = -1;
  for (std::size_t j = 0; j < projections.size(); ++j) {
    const unsigned long* row = projections[j].pointToOffset();
    const std::vector<unsigned long> profile(row, row + projections[j].width());
    kcPair<double> peak;
    smoothedPeak(profile, 1, peak);
    if (bestValue < peak.y()) {
      bestValue = peak.y();
      chosen = static_cast<long>(j);
      peakPosition = peak.x();
    }
  }
}

kcPelBuffer<unsigned char> ridgeBand(const kcPelBuffer_const<unsigned char>& logHistogram,
                                     const kcPelBuffer_const<unsigned long>& projection,
                                     double peak) {
  const kcXform<2> t = projection.imageFromClientXform();
  kcPelBuffer<unsigned char> band(logHistogram.width(), logHistogram.height(), 32);
  const double lo = peak - 1.0, hi = peak + 2.0;
  for (long y = 0; y < band.height(); ++y) {
    for (long x = 0; x < band.width(); ++x) {
      const double p = (t * kcVector<2>(static_cast<double>(x), static_cast<double>(y))).x();
      band.set(x, y, lo <= p && p < hi ? 255 : 0);
    }
  }
  return band;
}

bool fitPairsInBand(const PairCounts& pairs, const kcPelBuffer_const<unsigned char>& band,
                    kcPair<double>& gainOffset) {
  // Each pair in the band reaches the fitter once with its count as weight:
  // the same line as one update per pel, for a fraction of the work.
  const BinTable bin = makeBinTable();
  std::array<bool, kBins * kBins> inBand{};  // [run-time bin][template bin]
  for (long tb = 0; tb < kBins; ++tb)
    for (long sb = 0; sb < kBins; ++sb) inBand[sb * kBins + tb] = band.get(sb, tb) != 0;
  kcLSLineFitter fitter;
  forEachPair(pairs, [&](std::size_t s, std::size_t t, std::uint64_t n) {
    if (inBand[bin[s] * kBins + bin[t]])
      fitter.update(kcVector<2>(static_cast<double>(s), static_cast<double>(t)),
                    static_cast<double>(n));
  });
  const kcFLine line = fitter.fit();
  const kcFLine axis(kcDegree(90.0), kcVector<2>(0, 0));
  const std::vector<kcVector<2>> points = line.intersection(axis);
  if (points.empty()) return false;
  gainOffset = kcPair<double>(tan(kcRadian(line.angle())), points.front().y());
  return true;
}

std::vector<unsigned char> gainOffsetMap(const kcPair<double>& gainOffset) {
  std::vector<unsigned char> map(kLevels, 0);
  double v = gainOffset.y();
  for (std::size_t i = 0; i < kLevels; ++i) {
    const double clamped = v < -1.0 ? -1.0 : (v > 256.0 ? 256.0 : v);
    const long r = roundHalfAwayFromZero(clamped);
    map[i] = static_cast<unsigned char>(r < 0 ? 0 : (r > 255 ? 255 : r));
    v += gainOffset.x();
  }
  return map;
}

std::vector<unsigned short> wideGainOffsetMap(const kcPair<double>& gainOffset, int bits) {
  const std::size_t levels = std::size_t{1} << bits;
  const double top = static_cast<double>(levels - 1);
  const double offset = gainOffset.y() * top / 255.0;
  std::vector<unsigned short> map(levels, 0);
  // Each entry from its own product, not a running sum: 65536 additions
  // would drift by more than the rounding tolerates.
  for (std::size_t i = 0; i < levels; ++i) {
    const double v = offset + static_cast<double>(i) * gainOffset.x();
    const double clamped = v < -1.0 ? -1.0 : (v > top + 1.0 ? top + 1.0 : v);
    map[i] = static_cast<unsigned short>(
        std::clamp(roundHalfAwayFromZero(clamped), 0L, static_cast<long>(top)));
  }
  return map;
}

kcPelBuffer<unsigned char> dominantBand(const kcPelBuffer_const<unsigned char>& logHistogram,
                                        const std::vector<kcDegree>& angles,
                                        const IndexLoop& loop) {
  KC_ASSERT(angles.size() == 63);
  std::vector<kcPelBuffer<unsigned long>> projections;
  projectAtAngles(logHistogram, angles, 3, angles.size() - 4, projections, loop);
  double peak = 0.0;
  long chosen = -1;
  strongestProjection(projections, peak, chosen);
  return ridgeBand(logHistogram, projections[chosen], peak);
}

std::optional<kcPair<double>> fitLine(const PairCounts& pairs, std::uint64_t weight,
                                      const std::vector<kcDegree>& angles, const IndexLoop& loop) {
  kcPair<double> gainOffset(0.0, 0.0);
  if (!fitPairsInBand(pairs, dominantBand(jointLogHistogram(pairs, weight), angles, loop),
                      gainOffset))
    return std::nullopt;
  return gainOffset;
}

double shareNearLine(const PairCounts& pairs, const kcPair<double>& gainOffset, double distance) {
  double near = 0.0, all = 0.0;  // adding the empty cells' 0 would change no sum
  forEachPair(pairs, [&](std::size_t s, std::size_t t, std::uint64_t n) {
    const double onLine = gainOffset.x() * static_cast<double>(s) + gainOffset.y();
    all += static_cast<double>(n);
    if (std::abs(static_cast<double>(t) - onLine) <= distance) near += static_cast<double>(n);
  });
  return all > 0.0 ? near / all : 0.0;
}

}  // namespace imgnorm
