#include "imaging/median.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "host/detail/cpu_dispatch.h"
#include "host/exceptions.h"
#include "imaging/detail/median_lanes.h"
#include "imaging/detail/median_wiring.h"

// Sliding histogram median. One histogram per column covers the kernel's
// rows; the kernel's histogram is the sum of the columns it covers and moves
// right by adding one column and removing another. Histograms have two
// levels: 16 coarse bins of 16 gray levels, and per coarse bin a fine bucket
// of 16 levels. The kernel keeps its coarse counts current and brings a
// fine bucket up to date only when the median falls into it.
//
// Histograms are cumulative, so the median's bin and level are found by
// comparing counts with the rank, without summing bins: per pel the kernel
// does a handful of vector operations on 16 counters.

namespace {

using namespace kcMedianLanes;

// The histograms' shapes. 8-bit pels take two tiers of 16 bins: one
// column histogram holds kStride counters: at 0, 16 coarse counts
// (coarse[b] = pels in bins 0..b); at kFine + 16 b, the fine counts of bin
// b (fine[j] = pels of levels 16 b .. 16 b + j). A pel that does not take
// part gets the code kSkip, whose coarse bin 16 adds nothing and whose fine
// counts go to a spare bucket nobody reads, so that adding and removing
// never branch.
struct TwoTiers {
  using Pel = unsigned char;
  static constexpr unsigned kSkip = 256;
  static constexpr long kFine = 16;
  static constexpr long kStride = kFine + 17 * 16;
  // Column histograms of a strip are kept below this size so that they stay
  // in the second-level cache.
  static constexpr long kStripBytes = 512 * 1024;
  static constexpr long kStripReaches = 0;
  // Codes are the levels.
  static unsigned bottom(const kcMedianJob<Pel>&) { return 0; }
};

// 12-bit codes take three: 16 coarse counts of 256 levels each, the counts
// of each coarse bin's 16 middle bins of 16 levels, and the levels of each
// middle bin (256 over all coarse bins). The histograms of a strip's n
// columns lie bucket by bucket: the coarse counts of column c at 16 c, the
// middle bucket b of column c at kMiddle n + 16 (n b + c), the fine bucket
// m at kFine n + 16 (n m + c), so that the kernel reads a bucket of
// neighbouring columns from neighbouring lines. Spare buckets take kSkip as
// above. A bucket of zeros at kZero n + 16 c, never written, stands for a
// column's coarse count below coarse bin 0.
//
// 13-bit codes (wide pels over a range of up to 8192 levels, coded from
// the range's bottom) take the same tiers with two vectors of coarse
// counts, 32 coarse bins: column c's coarse counts and zeros at 32 c.
template <class P, int CoarseVectors>
struct ThreeTiers {
  using Pel = P;
  static constexpr long kCoarseBins = 16 * CoarseVectors;
  static constexpr unsigned kSkip = 256 * kCoarseBins;
  static constexpr long kMiddle = kCoarseBins;
  static constexpr long kFine = kMiddle + (kCoarseBins + 1) * 16;
  static constexpr long kZero = kFine + (16 * kCoarseBins + 1) * 16;
  static constexpr long kStride = kZero + kCoarseBins;  // counters per column
  // Codes count from the range's bottom where the pels reach beyond the
  // codes, from 0 otherwise.
  static unsigned bottom(const kcMedianJob<P>& job) { return sizeof(P) > 2 ? job.lo : 0; }
  // The lines read are those of the buckets the columns' values fall in:
  // strips of 4 MiB, or six kernel reaches wide, so that the columns a
  // strip updates beyond its outputs stay a seventh of them (4 MiB are
  // 476 columns of 12-bit codes; a 101-pel kernel reaches over 100).
  static constexpr long kStripBytes = 4L * 1024 * 1024;
  static constexpr long kStripReaches = 6;
};
using TwelveBitTiers = ThreeTiers<unsigned short, 1>;
using ThirteenBitTiers = ThreeTiers<unsigned, 2>;

template <class Pel>
struct TiersOf;
template <>
struct TiersOf<unsigned char> {
  using Type = TwoTiers;
};
template <>
struct TiersOf<unsigned short> {
  using Type = TwelveBitTiers;
};
template <>
struct TiersOf<unsigned> {
  using Type = ThirteenBitTiers;
};

constexpr long kMinStripWidth = 64;

// Codes v - bottom of the pels v in lo..hi (and in the mask), kSkip for
// the others.
template <bool Masked, class Pel>
void rowCodes(const Pel* s, const unsigned char* m, long n, unsigned lo, unsigned hi, unsigned skip,
              unsigned bottom, Count* code) {
  const unsigned span = hi - lo;
  for (long x = 0; x < n; ++x) {
    const unsigned v = s[x];
    bool takesPart = v - lo <= span;
    if constexpr (Masked) takesPart = takesPart && m[x] != 0;
    code[x] = static_cast<Count>(takesPart ? v - bottom : skip);
  }
}

// steps[b][k] = 1 for k >= b over Vectors vectors of 16 bins: what one
// pel of bin b adds to cumulative counts that span them (for one vector,
// kSteps again).
template <int Vectors>
struct WideStepTable {
  alignas(32) Count steps[16 * Vectors + 1][16 * Vectors];
  constexpr WideStepTable() : steps() {
    for (int b = 0; b < 16 * Vectors; ++b)
      for (int k = b; k < 16 * Vectors; ++k) steps[b][k] = 1;
  }
};
template <int Vectors>
constexpr WideStepTable<Vectors> kStepsOver;

// The coarse counts of a column with code a in and code r out, the coarse
// bin being the code's bits from shift up, over Vectors vectors of 16 bins.
template <class L, int Vectors = 1>
[[gnu::always_inline]] inline void updateCoarse(Count* coarse, unsigned a, unsigned r, int shift) {
  const Count* in = kStepsOver<Vectors>.steps[a >> shift];
  const Count* out = kStepsOver<Vectors>.steps[r >> shift];
  for (int k = 0; k < Vectors; ++k) {
    L v = L::load(coarse + 16 * k);
    v += L::load(in + 16 * k);
    v -= L::load(out + 16 * k);
    v.store(coarse + 16 * k);
  }
}

// Adds the pels coded in to the column histograms and removes those coded
// out.
template <class Tiers, class L>
[[gnu::always_inline]] inline void updateColumns(Count* hist, const Count* in, const Count* out,
                                                 long n) {
  if constexpr (std::is_same_v<Tiers, TwoTiers>) {
    for (long x = 0; x < n; ++x, hist += TwoTiers::kStride) {
      const unsigned a = in[x], r = out[x];
      updateCoarse<L>(hist, a, r, 4);
      addTo<L>(hist + TwoTiers::kFine + 16 * (a >> 4), kSteps.steps[a & 15]);
      subFrom<L>(hist + TwoTiers::kFine + 16 * (r >> 4), kSteps.steps[r & 15]);
    }
  } else {
    Count* middle = hist + Tiers::kMiddle * n;
    Count* fine = hist + Tiers::kFine * n;
    const long bucket = 16 * n;
    for (long x = 0; x < n; ++x, hist += Tiers::kCoarseBins, middle += 16, fine += 16) {
      const unsigned a = in[x], r = out[x];
      updateCoarse<L, Tiers::kCoarseBins / 16>(hist, a, r, 8);
      addTo<L>(middle + bucket * (a >> 8), kSteps.steps[(a >> 4) & 15]);
      subFrom<L>(middle + bucket * (r >> 8), kSteps.steps[(r >> 4) & 15]);
      addTo<L>(fine + bucket * (a >> 4), kSteps.steps[a & 15]);
      subFrom<L>(fine + bucket * (r >> 4), kSteps.steps[r & 15]);
    }
  }
}

// Signs of a column's move as types, so that each move compiles on its own.
constexpr std::integral_constant<int, 1> kEnter;
constexpr std::integral_constant<int, -1> kLeave;

// The kernel's columns [lo, hi) of one output row: where they start, and
// their moves by one at most as x steps along the row.
struct KernelColumns {
  long lo, hi;

  template <class Job>
  KernelColumns(const Job& job, long sx0)
      : lo(std::max(0L, sx0 - job.left)), hi(std::min(job.width, sx0 + job.right + 1)) {}

  // onColumn(c, sign) for the column entering (sign kEnter) and the one
  // leaving (kLeave) at x.
  template <class Job, class OnColumn>
  [[gnu::always_inline]] void move(const Job& job, long x, long sx0, OnColumn&& onColumn) {
    if (x > sx0 && x + job.right < job.width) onColumn(hi++, kEnter);
    if (x > sx0 && x - job.left > lo) onColumn(lo++, kLeave);
  }
};

// Adds the counts at p to v for a column entering, takes them away for one
// leaving.
template <class L, class Sign>
[[gnu::always_inline]] inline void addSigned(L& v, const Count* p, Sign) {
  if constexpr (Sign::value > 0)
    v += L::load(p);
  else
    v -= L::load(p);
}
template <class Sign>
[[gnu::always_inline]] inline void addSigned(long& v, long count, Sign) {
  if constexpr (Sign::value > 0)
    v += count;
  else
    v -= count;
}

// The pel of rank r in rising cumulative counts v: the bucket that holds
// it, and r becomes its rank within that bucket.
template <class L>
[[gnu::always_inline]] inline int bucketOf(const L& v, unsigned& r) {
  const int b = v.firstAbove(r);
  Count below[17];  // below[b]: pels in the buckets before b
  below[0] = 0;
  v.store(below + 1);
  r -= below[b];
  return b;
}

// One output row of a strip of 8-bit pels. hist holds the column
// histograms of the working window's columns c0..; s is the source row at
// x = 0. The coarse counts and the fine bucket of the median's bin stay in
// registers; the other buckets wait in memory until the median moves into
// them.
template <class L>
[[gnu::always_inline]] inline void sweepRow(const kcMedianJob<unsigned char>& job,
                                            const Count* hist, long c0, long, long sx0, long sx1,
                                            const unsigned char* s, unsigned char* out) {
  constexpr long kStride = TwoTiers::kStride, kFine = TwoTiers::kFine;
  auto column = [&](long c) { return hist + (c - c0) * kStride; };
  long lo = std::max(0L, sx0 - job.left), hi = std::min(job.width, sx0 + job.right + 1);
  L coarse{}, current{};
  for (long c = lo; c < hi; ++c) coarse += L::load(column(c));
  CachedBuckets<L, 16> fine(hist + kFine, c0, kStride, 16);
  int bin = -1;  // the bucket in current
  for (long x = sx0; x < sx1; ++x) {
    // The kernel's columns [lo, hi) move by one at most.
    if (x > sx0 && x + job.right < job.width) {
      coarse += L::load(column(hi));
      if (bin >= 0) current += L::load(column(hi) + kFine + 16 * bin);
      ++hi;
    }
    if (x > sx0 && x - job.left > lo) {
      coarse -= L::load(column(lo));
      if (bin >= 0) current -= L::load(column(lo) + kFine + 16 * bin);
      ++lo;
    }
    const unsigned n = coarse.last();
    if (n == 0) {
      out[x - sx0] = static_cast<unsigned char>(std::clamp(unsigned(s[x]), job.lo, job.hi));
      continue;
    }
    const unsigned rank = (n - 1) / 2;
    const int b = coarse.firstAbove(rank);
    Count below[17];  // below[b]: pels in the bins before b
    below[0] = 0;
    coarse.store(below + 1);
    if (b != bin) {
      if (bin >= 0) fine.keep(bin, current, lo, hi);
      current = fine.update(b, lo, hi);
      bin = b;
    }
    out[x - sx0] = static_cast<unsigned char>(16 * b + current.firstAbove(rank - below[b]));
  }
}

// Steps from middle bin to middle bin that the 12-bit sweep takes before it
// seeks the median afresh: medians of ratios mostly move into a neighbour,
// and two steps, each bringing one bucket up to date, cost less than the
// search, which brings three.
constexpr int kMaxSteps = 2;

// The same for 12- and 13-bit codes, in three tiers. While the median
// stays in one middle bin (16 codes; medians of ratios move slowly) only
// that bin's fine counts are kept in registers, and one count that follows
// the columns: the kernel's pels up to the bin's last code, a column's
// being its pels in coarse bins below the median's and in that bin's
// middle bins up to the median's. A median that leaves the bin has mostly
// moved into a neighbouring one, whose pels that count gains (or the bin's
// it loses), so a step there brings one fine bucket up to date; beyond two
// steps the median is sought afresh through the coarse and middle counts,
// which wait in memory like the fine buckets.
template <class L, class Pel>
requires(sizeof(Pel) > 1)
    [[gnu::always_inline]] inline void sweepRow(const kcMedianJob<Pel>& job, const Count* hist,
                                                long c0, long columns, long sx0, long sx1,
                                                const Pel* s, Pel* out) {
  using Tiers = typename TiersOf<Pel>::Type;
  constexpr long kCoarseBins = Tiers::kCoarseBins;
  constexpr int kCoarseVectors = int(kCoarseBins / 16);
  const unsigned bottom = Tiers::bottom(job);
  const long bucket = 16 * columns;  // from a bucket of a column to the next bucket
  const Count* middleTier = hist + Tiers::kMiddle * columns;
  const Count* fineTier = hist + Tiers::kFine * columns;
  KernelColumns k(job, sx0);
  CachedBuckets<L, kCoarseVectors> coarses(hist, c0, kCoarseBins, 16);
  CachedBuckets<L, kCoarseBins> middles(middleTier, c0, 16, bucket);
  CachedBuckets<L, 16 * kCoarseBins> fines(fineTier, c0, 16, bucket);
  // Column c's counters of the median's bins lie at these plus kCoarseBins
  // (c - c0) (coarse) or 16 (c - c0) (middle and fine): its coarse count
  // below coarse bin b (zeros for b = 0), its middle count of bin b up to
  // middle bin m, its fine counts of middle bin 16 b + m.
  const Count* zeros = hist + Tiers::kZero * columns;
  const Count *belowBin = nullptr, *upToSub = nullptr, *inSub = nullptr;
  L fine{};
  int sub = -1;  // the median's middle bin, 16 b + m, once one is found
  long n = 0;    // pels taking part
  for (long c = k.lo; c < k.hi; ++c) n += hist[kCoarseBins * (c - c0 + 1) - 1];
  long through = 0;  // pels up to the last code of sub
  const auto follow = [&](int to) {
    sub = to;
    belowBin = to >= 16 ? hist + (to / 16 - 1) : zeros;
    upToSub = middleTier + bucket * (to / 16) + to % 16;
    inSub = fineTier + bucket * to;
  };
  const auto level = [&](long code) { return static_cast<Pel>(bottom + unsigned(code)); };
  for (long x = sx0; x < sx1; ++x) {
    k.move(job, x, sx0, [&](long c, auto sign) {
      const long coarseAt = kCoarseBins * (c - c0), at = 16 * (c - c0);
      addSigned(n, hist[coarseAt + kCoarseBins - 1], sign);
      if (sub < 0) return;
      addSigned(through, long(belowBin[coarseAt]) + long(upToSub[at]), sign);
      addSigned(fine, inSub + at, sign);
    });
    if (n == 0) {
      out[x - sx0] = static_cast<Pel>(std::clamp(unsigned(s[x]), job.lo, job.hi));
      continue;
    }
    const long rank = (n - 1) / 2;
    if (sub >= 0) {
      long within = rank - (through - long(fine.last()));  // the median's rank in sub
      for (int steps = 0; steps < kMaxSteps && (within < 0 || within >= long(fine.last()));
           ++steps) {
        fines.keep(sub, fine, k.lo, k.hi);
        if (within >= 0) {  // up: sub's pels join those below
          within -= fine.last();
          follow(sub + 1);
          fine = fines.update(sub, k.lo, k.hi);
          through += fine.last();
        } else {  // down: sub's pels leave those up to the new bin
          through -= fine.last();
          follow(sub - 1);
          fine = fines.update(sub, k.lo, k.hi);
          within += fine.last();
        }
      }
      if (within >= 0 && within < long(fine.last())) {
        out[x - sx0] = level(16 * sub + fine.firstAbove(unsigned(within)));
        continue;
      }
      fines.keep(sub, fine, k.lo, k.hi);
    }
    // The coarse vector that holds the rank (its counts include those of
    // the vectors before), its bin, and the rank within the bin.
    unsigned r = unsigned(rank);
    int vector = 0;
    L coarse = coarses.update(0, k.lo, k.hi);
    coarses.keep(0, coarse, k.lo, k.hi);
    while (vector + 1 < kCoarseVectors && coarse.last() <= r) {
      coarse = coarses.update(++vector, k.lo, k.hi);
      coarses.keep(vector, coarse, k.lo, k.hi);
    }
    const int j = coarse.firstAbove(r);
    r -= j > 0 ? coarses.counts[vector][j - 1] : vector > 0 ? coarses.counts[vector - 1][15] : 0;
    const int b = 16 * vector + j;
    const L middle = middles.update(b, k.lo, k.hi);
    middles.keep(b, middle, k.lo, k.hi);
    const int m = bucketOf(middle, r);
    follow(16 * b + m);
    fine = fines.update(sub, k.lo, k.hi);
    through = long(coarses.counts[b / 16][b % 16]) - middles.counts[b][15] + middles.counts[b][m];
    out[x - sx0] = level(16 * sub + fine.firstAbove(r));
  }
}

// The row kernels, compiled for every x86-64 processor and for AVX2.
template <class Tiers>
struct RowKernels {
  using Pel = typename Tiers::Pel;
  void (*update)(Count* hist, const Count* in, const Count* out, long n);
  void (*sweep)(const kcMedianJob<Pel>& job, const Count* hist, long c0, long columns, long sx0,
                long sx1, const Pel* s, Pel* out);
};

template <class Tiers>
void updateColumnsPlain(Count* hist, const Count* in, const Count* out, long n) {
  updateColumns<Tiers, HalvesLanes>(hist, in, out, n);
}
template <class Pel>
void sweepRowPlain(const kcMedianJob<Pel>& job, const Count* hist, long c0, long columns, long sx0,
                   long sx1, const Pel* s, Pel* out) {
  sweepRow<HalvesLanes>(job, hist, c0, columns, sx0, sx1, s, out);
}

template <class Tiers>
KC_TARGET_AVX2 void updateColumnsAvx2(Count* hist, const Count* in, const Count* out, long n) {
  updateColumns<Tiers, WholeLanes>(hist, in, out, n);
}
template <class Pel>
KC_TARGET_AVX2 void sweepRowAvx2(const kcMedianJob<Pel>& job, const Count* hist, long c0,
                                 long columns, long sx0, long sx1, const Pel* s, Pel* out) {
  sweepRow<WholeLanes>(job, hist, c0, columns, sx0, sx1, s, out);
}

template <class Tiers>
RowKernels<Tiers> rowKernels() {
  using Pel = typename Tiers::Pel;
  return {kfPickKernel(updateColumnsPlain<Tiers>, updateColumnsAvx2<Tiers>),
          kfPickKernel(sweepRowPlain<Pel>, sweepRowAvx2<Pel>)};
}

template <class Tiers>
class StripFilter {
 public:
  using Pel = typename Tiers::Pel;
  using Job = kcMedianJob<Pel>;

  explicit StripFilter(const Job& job) : job_(job), kernels_(rowKernels<Tiers>()) {}

  // Output columns sx0..sx1-1 of every output row.
  void run(long sx0, long sx1) {
    c0_ = std::max(0L, sx0 - job_.left);
    n_ = std::min(job_.width, sx1 + job_.right) - c0_;
    hist_.assign(static_cast<std::size_t>(n_ * Tiers::kStride), Count(0));
    in_.resize(static_cast<std::size_t>(n_));
    out_.resize(static_cast<std::size_t>(n_));
    skip_.assign(static_cast<std::size_t>(n_), Count(Tiers::kSkip));

    const long first = std::max(0L, job_.y0 - job_.up);
    const long last = std::min(job_.height, job_.y0 + job_.down + 1);
    for (long r = first; r < last; ++r) updateRows(r, -1);
    for (long y = job_.y0; y < job_.y1; ++y) {
      if (y > job_.y0) updateRows(y + job_.down, y - job_.up - 1);
      fetchAhead(y + 1 + job_.down);
      fetchAhead(y - job_.up);
      kernels_.sweep(job_, hist_.data(), c0_, n_, sx0, sx1, job_.src + y * job_.srcStride,
                     job_.dst + (y - job_.y0) * job_.dstStride + (sx0 - job_.x0));
    }
  }

 private:
  bool inside(long r) const { return r >= 0 && r < job_.height; }

  const Count* codes(long r, std::vector<Count>& buffer) const {
    if (!inside(r)) return skip_.data();
    const Pel* s = job_.src + r * job_.srcStride + c0_;
    const unsigned bottom = Tiers::bottom(job_);
    if (job_.mask)
      rowCodes<true>(s, job_.mask + r * job_.maskStride + c0_, n_, job_.lo, job_.hi, Tiers::kSkip,
                     bottom, buffer.data());
    else
      rowCodes<false>(s, nullptr, n_, job_.lo, job_.hi, Tiers::kSkip, bottom, buffer.data());
    return buffer.data();
  }

  // Asks for the strip's stretch of source row r (and of its mask row)
  // ahead of the update that reads it, so that it arrives while the row
  // before is swept: a strip reads a short stretch of every row, a stride
  // the processor does not fetch ahead by itself, and the leaving row was
  // last read a kernel's height of rows before.
  void fetchAhead(long r) const {
    if (!inside(r)) return;
    constexpr long kLine = 64;  // bytes a fetch brings
    const auto* s = reinterpret_cast<const char*>(job_.src + r * job_.srcStride + c0_);
    for (long at = 0; at < n_ * long(sizeof(Pel)); at += kLine) __builtin_prefetch(s + at);
    if (!job_.mask) return;
    const unsigned char* m = job_.mask + r * job_.maskStride + c0_;
    for (long at = 0; at < n_; at += kLine) __builtin_prefetch(m + at);
  }

  // Row entering adds its pels, row leaving removes them; -1 or a row past
  // the bottom stands for no row.
  void updateRows(long entering, long leaving) {
    kernels_.update(hist_.data(), codes(entering, in_), codes(leaving, out_), n_);
  }

  const Job& job_;
  const RowKernels<Tiers> kernels_;
  long c0_ = 0, n_ = 0;
  std::vector<Count> hist_, in_, out_, skip_;
};

template <class Tiers>
void runMedian(const kcMedianJob<typename Tiers::Pel>& job) {
  const long reach = job.left + job.right;
  const long stripWidth =
      std::max({kMinStripWidth, Tiers::kStripBytes / long(Tiers::kStride * sizeof(Count)) - reach,
                Tiers::kStripReaches * reach});
  StripFilter<Tiers> strips(job);
  for (long sx0 = job.x0; sx0 < job.x1; sx0 += stripWidth)
    strips.run(sx0, std::min(job.x1, sx0 + stripWidth));
}

}  // namespace

kcPelMedianParams::kcPelMedianParams(const kcPair<long>& kernel, const kcPair<long>& valueRange,
                                     long maxLevel)
    : kernel_(kernel), valueRange_(valueRange) {
  const bool kernelOk = kernel.x() >= 1 && kernel.y() >= 1 && kernel.x() <= maxKernelArea &&
                        kernel.y() <= maxKernelArea / kernel.x();
  const bool maxOk = maxLevel >= 255 && maxLevel <= maxWideLevel;
  const bool rangeOk =
      valueRange.x() >= 0 && valueRange.x() <= valueRange.y() && valueRange.y() <= maxLevel;
  if (!kernelOk || !maxOk || !rangeOk) throw kcPelFunc::BadParams();
}

namespace {

// The 8-bit forms: a range reaching above 255 was meant for wide pels;
// the 12-bit ones likewise above 4095.
void medianOf(const kcPelBuffer_const<unsigned char>& src,
              const kcPelBuffer_const<unsigned char>* mask, const kcPelMedianParams& params,
              kcPelBuffer<unsigned char>& dst) {
  if (params.valueRange().y() > 255) throw kcPelFunc::BadParams();
  kfMedianForms(src, mask, params, dst, runMedian<TwoTiers>);
}
void medianOf(const kcPelBuffer_const<unsigned short>& src,
              const kcPelBuffer_const<unsigned char>* mask, const kcPelMedianParams& params,
              kcPelBuffer<unsigned short>& dst) {
  if (params.valueRange().y() > long(TwelveBitTiers::kSkip) - 1) throw kcPelFunc::BadParams();
  kfMedianForms(src, mask, params, dst, runMedian<TwelveBitTiers>);
}

}  // namespace

bool kfRunThirteenBitMedian(const kcMedianJob<unsigned>& job) {
  if (job.hi - job.lo >= ThirteenBitTiers::kSkip) return false;
  runMedian<ThirteenBitTiers>(job);
  return true;
}

void kfPelMedian(const kcPelBuffer_const<unsigned char>& src, const kcPelMedianParams& params,
                 kcPelBuffer<unsigned char>& dst) {
  medianOf(src, nullptr, params, dst);
}

void kfPelMedian(const kcPelBuffer_const<unsigned char>& src,
                 const kcPelBuffer_const<unsigned char>& mask, const kcPelMedianParams& params,
                 kcPelBuffer<unsigned char>& dst) {
  medianOf(src, &mask, params, dst);
}

void kfPelMedian(const kcPelBuffer_const<unsigned short>& src, const kcPelMedianParams& params,
                 kcPelBuffer<unsigned short>& dst) {
  medianOf(src, nullptr, params, dst);
}

void kfPelMedian(const kcPelBuffer_const<unsigned short>& src,
                 const kcPelBuffer_const<unsigned char>& mask, const kcPelMedianParams& params,
                 kcPelBuffer<unsigned short>& dst) {
  medianOf(src, &mask, params, dst);
}
