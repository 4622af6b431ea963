#include "imaging/median.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "host/detail/cpu_dispatch.h"
#include "host/exceptions.h"
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

using Count = std::uint16_t;
// Real counts never exceed 32767, so they compare correctly as signed
// numbers, which the hardware compares directly; the spare counters below
// may wrap, harmlessly.
typedef Count Half __attribute__((vector_size(16)));
typedef std::int16_t SignedHalf __attribute__((vector_size(16)));
typedef Count Whole __attribute__((vector_size(32)));
typedef std::int16_t SignedWhole __attribute__((vector_size(32)));
typedef std::uint32_t Words __attribute__((vector_size(16)));
typedef std::uint64_t Quads __attribute__((vector_size(16)));

// One column histogram holds kStride counters: at 0, 16 coarse counts
// (coarse[b] = pels in bins 0..b); at kFine + 16 b, the fine counts of bin
// b (fine[j] = pels of levels 16 b .. 16 b + j). A pel that does not take
// part gets the code kSkip, whose coarse bin 16 adds nothing and whose fine
// counts go to a spare bucket nobody reads, so that adding and removing
// never branch.
constexpr unsigned kSkip = 256;
constexpr long kFine = 16;
constexpr long kStride = kFine + 17 * 16;

// steps[b][k] = 1 for k >= b: what one pel of bin b adds to a cumulative
// histogram. steps[16] is all zero.
struct StepTable {
  alignas(32) Count steps[17][16];
  constexpr StepTable() : steps() {
    for (int b = 0; b < 16; ++b)
      for (int k = b; k < 16; ++k) steps[b][k] = 1;
  }
};
constexpr StepTable kSteps;

// Column histograms of a strip are kept below this size so that they stay
// in the second-level cache.
constexpr long kStripBytes = 512 * 1024;
constexpr long kMinStripWidth = 64;

[[gnu::always_inline]] inline int sumAcross(SignedHalf v) {
  const auto q = std::bit_cast<Quads>(v);
  v += std::bit_cast<SignedHalf>(__builtin_shufflevector(q, q, 1, 1));
  v += std::bit_cast<SignedHalf>(std::bit_cast<Quads>(v) >> 32);
  v += std::bit_cast<SignedHalf>(std::bit_cast<Words>(v) >> 16);
  return v[0];
}

// Sixteen counters as two vectors of eight, what every x86-64 processor
// handles natively. Loads and stores go half by half, so that the values
// stay in registers.
struct HalvesLanes {
  Half lo, hi;

  [[gnu::always_inline]] static HalvesLanes load(const Count* p) {
    HalvesLanes l;
    std::memcpy(&l.lo, p, sizeof l.lo);
    std::memcpy(&l.hi, p + 8, sizeof l.hi);
    return l;
  }
  [[gnu::always_inline]] void store(Count* p) const {
    std::memcpy(p, &lo, sizeof lo);
    std::memcpy(p + 8, &hi, sizeof hi);
  }
  [[gnu::always_inline]] void operator+=(const HalvesLanes& o) {
    lo += o.lo;
    hi += o.hi;
  }
  [[gnu::always_inline]] void operator-=(const HalvesLanes& o) {
    lo -= o.lo;
    hi -= o.hi;
  }
  [[gnu::always_inline]] unsigned last() const { return hi[7]; }
  // In rising counts, the position of the first count above r (one must
  // be): the bin or level that holds the pel of rank r.
  [[gnu::always_inline]] int firstAbove(unsigned r) const {
    const SignedHalf limit = SignedHalf{} + static_cast<std::int16_t>(r + 1);
    const SignedHalf notAbove =  // -1 for each count not above r
        (limit > std::bit_cast<SignedHalf>(lo)) + (limit > std::bit_cast<SignedHalf>(hi));
    return -sumAcross(notAbove);
  }
};

// Sixteen counters as one vector, for processors with AVX2.
struct WholeLanes {
  Whole v;

  [[gnu::always_inline]] static WholeLanes load(const Count* p) {
    WholeLanes l;
    std::memcpy(&l.v, p, sizeof l.v);
    return l;
  }
  [[gnu::always_inline]] void store(Count* p) const { std::memcpy(p, &v, sizeof v); }
  [[gnu::always_inline]] void operator+=(const WholeLanes& o) { v += o.v; }
  [[gnu::always_inline]] void operator-=(const WholeLanes& o) { v -= o.v; }
  [[gnu::always_inline]] unsigned last() const { return v[15]; }
  [[gnu::always_inline]] int firstAbove(unsigned r) const {
    const SignedWhole limit = SignedWhole{} + static_cast<std::int16_t>(r + 1);
    // The builtin, not std::bit_cast: a function returning a 32-byte vector
    // would be compiled for processors without AVX too.
    const SignedWhole notAbove = limit > __builtin_bit_cast(SignedWhole, v);
    return -sumAcross(__builtin_shufflevector(notAbove, notAbove, 0, 1, 2, 3, 4, 5, 6, 7) +
                      __builtin_shufflevector(notAbove, notAbove, 8, 9, 10, 11, 12, 13, 14, 15));
  }
};

template <class L>
[[gnu::always_inline]] inline void addTo(Count* p, const Count* a) {
  L v = L::load(p);
  v += L::load(a);
  v.store(p);
}

template <class L>
[[gnu::always_inline]] inline void subFrom(Count* p, const Count* a) {
  L v = L::load(p);
  v -= L::load(a);
  v.store(p);
}

using MedianJob = kcMedianJob<unsigned char>;

template <bool Masked>
void rowCodes(const unsigned char* s, const unsigned char* m, long n, unsigned lo, unsigned hi,
              Count* code) {
  const unsigned span = hi - lo;
  for (long x = 0; x < n; ++x) {
    const unsigned v = s[x];
    bool takesPart = v - lo <= span;
    if constexpr (Masked) takesPart = takesPart && m[x] != 0;
    code[x] = static_cast<Count>(takesPart ? v : kSkip);
  }
}

// Adds the pels coded in to the column histograms and removes those coded
// out.
template <class L>
[[gnu::always_inline]] inline void updateColumns(Count* hist, const Count* in, const Count* out,
                                                 long n) {
  for (long x = 0; x < n; ++x, hist += kStride) {
    const unsigned a = in[x], r = out[x];
    L coarse = L::load(hist);
    coarse += L::load(kSteps.steps[a >> 4]);
    coarse -= L::load(kSteps.steps[r >> 4]);
    coarse.store(hist);
    addTo<L>(hist + kFine + kFine * (a >> 4), kSteps.steps[a & 15]);
    subFrom<L>(hist + kFine + kFine * (r >> 4), kSteps.steps[r & 15]);
  }
}

// The fine buckets of the kernel's histogram that the median is not in at
// the moment. Each is brought up to date when the median falls into it, by
// adding and removing the columns that entered and left since, or by
// summing afresh when that is cheaper.
template <class L>
struct FineBuckets {
  alignas(32) Count counts[16][16];
  long from[16];
  long to[16];

  FineBuckets() { std::fill(std::begin(to), std::end(to), -1L); }

  [[gnu::always_inline]] void keep(int b, const L& current, long lo, long hi) {
    current.store(counts[b]);
    from[b] = lo;
    to[b] = hi;
  }

  // Bucket b over the columns [lo, hi), whose histograms start with column
  // c0 at hist; both ends only move forward.
  [[gnu::always_inline]] L update(const Count* hist, long c0, int b, long lo, long hi) {
    Count* f = counts[b];
    auto bucket = [&](long c) { return hist + (c - c0) * kStride + kFine + kFine * b; };
    const long moves = (hi - to[b]) + (lo - from[b]);
    if (to[b] <= lo || moves >= hi - lo) {
      std::fill(f, f + 16, Count(0));
      for (long c = lo; c < hi; ++c) addTo<L>(f, bucket(c));
    } else {
      for (long c = to[b]; c < hi; ++c) addTo<L>(f, bucket(c));
      for (long c = from[b]; c < lo; ++c) subFrom<L>(f, bucket(c));
    }
    return L::load(f);
  }
};

// One output row of a strip. hist holds the column histograms of the
// working window's columns c0..; s is the source row at x = 0. The coarse counts and the fine
// bucket of the median's bin stay in registers; the other buckets wait in memory until the median
// moves into them.
template <class L>
[[gnu::always_inline]] inline void sweepRow(const MedianJob& job, const Count* hist, long c0,
                                            long sx0, long sx1, const unsigned char* s,
                                            unsigned char* out) {
  auto column = [&](long c) { return hist + (c - c0) * kStride; };
  long lo = std::max(0L, sx0 - job.left), hi = std::min(job.width, sx0 + job.right + 1);
  L coarse{}, current{};
  for (long c = lo; c < hi; ++c) coarse += L::load(column(c));
  FineBuckets<L> fine;
  int bin = -1;  // the bucket in current
  for (long x = sx0; x < sx1; ++x) {
    // The kernel's columns [lo, hi) move by one at most.
    if (x > sx0 && x + job.right < job.width) {
      coarse += L::load(column(hi));
      if (bin >= 0) current += L::load(column(hi) + kFine + kFine * bin);
      ++hi;
    }
    if (x > sx0 && x - job.left > lo) {
      coarse -= L::load(column(lo));
      if (bin >= 0) current -= L::load(column(lo) + kFine + kFine * bin);
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
      current = fine.update(hist, c0, b, lo, hi);
      bin = b;
    }
    out[x - sx0] = static_cast<unsigned char>(16 * b + current.firstAbove(rank - below[b]));
  }
}

// The row kernels, compiled for every x86-64 processor and for AVX2.
struct RowKernels {
  void (*update)(Count* hist, const Count* in, const Count* out, long n);
  void (*sweep)(const MedianJob& job, const Count* hist, long c0, long sx0, long sx1,
                const unsigned char* s, unsigned char* out);
};

void updateColumnsPlain(Count* hist, const Count* in, const Count* out, long n) {
  updateColumns<HalvesLanes>(hist, in, out, n);
}
void sweepRowPlain(const MedianJob& job, const Count* hist, long c0, long sx0, long sx1,
                   const unsigned char* s, unsigned char* out) {
  sweepRow<HalvesLanes>(job, hist, c0, sx0, sx1, s, out);
}

KC_TARGET_AVX2 void updateColumnsAvx2(Count* hist, const Count* in, const Count* out, long n) {
  updateColumns<WholeLanes>(hist, in, out, n);
}
KC_TARGET_AVX2 void sweepRowAvx2(const MedianJob& job, const Count* hist, long c0, long sx0,
                                 long sx1, const unsigned char* s, unsigned char* out) {
  sweepRow<WholeLanes>(job, hist, c0, sx0, sx1, s, out);
}

RowKernels rowKernels() {
  return {kfPickKernel(updateColumnsPlain, updateColumnsAvx2),
          kfPickKernel(sweepRowPlain, sweepRowAvx2)};
}

class StripFilter {
 public:
  explicit StripFilter(const MedianJob& job) : job_(job), kernels_(rowKernels()) {}

  // Output columns sx0..sx1-1 of every output row.
  void run(long sx0, long sx1) {
    c0_ = std::max(0L, sx0 - job_.left);
    n_ = std::min(job_.width, sx1 + job_.right) - c0_;
    hist_.assign(static_cast<std::size_t>(n_ * kStride), Count(0));
    in_.resize(static_cast<std::size_t>(n_));
    out_.resize(static_cast<std::size_t>(n_));
    skip_.assign(static_cast<std::size_t>(n_), Count(kSkip));

    const long first = std::max(0L, job_.y0 - job_.up);
    const long last = std::min(job_.height, job_.y0 + job_.down + 1);
    for (long r = first; r < last; ++r) updateRows(r, -1);
    for (long y = job_.y0; y < job_.y1; ++y) {
      if (y > job_.y0) updateRows(y + job_.down, y - job_.up - 1);
      kernels_.sweep(job_, hist_.data(), c0_, sx0, sx1, job_.src + y * job_.srcStride,
                     job_.dst + (y - job_.y0) * job_.dstStride + (sx0 - job_.x0));
    }
  }

 private:
  bool inside(long r) const { return r >= 0 && r < job_.height; }

  const Count* codes(long r, std::vector<Count>& buffer) const {
    if (!inside(r)) return skip_.data();
    const unsigned char* s = job_.src + r * job_.srcStride + c0_;
    if (job_.mask)
      rowCodes<true>(s, job_.mask + r * job_.maskStride + c0_, n_, job_.lo, job_.hi, buffer.data());
    else
      rowCodes<false>(s, nullptr, n_, job_.lo, job_.hi, buffer.data());
    return buffer.data();
  }

  // Row entering adds its pels, row leaving removes them; -1 or a row past
  // the bottom stands for no row.
  void updateRows(long entering, long leaving) {
    kernels_.update(hist_.data(), codes(entering, in_), codes(leaving, out_), n_);
  }

  const MedianJob& job_;
  const RowKernels kernels_;
  long c0_ = 0, n_ = 0;
  std::vector<Count> hist_, in_, out_, skip_;
};

void runMedian(const MedianJob& job) {
  const long reach = job.left + job.right;
  const long stripWidth =
      std::max(kMinStripWidth, kStripBytes / long(kStride * sizeof(Count)) - reach);
  StripFilter strips(job);
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

// The 8-bit forms: a range reaching above 255 was meant for wide pels.
void medianOf(const kcPelBuffer_const<unsigned char>& src,
              const kcPelBuffer_const<unsigned char>* mask, const kcPelMedianParams& params,
              kcPelBuffer<unsigned char>& dst) {
  if (params.valueRange().y() > 255) throw kcPelFunc::BadParams();
  kfMedianForms(src, mask, params, dst, runMedian);
}

}  // namespace

void kfPelMedian(const kcPelBuffer_const<unsigned char>& src, const kcPelMedianParams& params,
                 kcPelBuffer<unsigned char>& dst) {
  medianOf(src, nullptr, params, dst);
}

void kfPelMedian(const kcPelBuffer_const<unsigned char>& src,
                 const kcPelBuffer_const<unsigned char>& mask, const kcPelMedianParams& params,
                 kcPelBuffer<unsigned char>& dst) {
  medianOf(src, &mask, params, dst);
}
