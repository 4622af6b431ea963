#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#include "host/detail/cpu_dispatch.h"
#include "host/exceptions.h"
#include "imaging/detail/median_job.h"
#include "imaging/median.h"

// Sliding histogram median of wide values (up to 17 bits) within a range,
// as the 8-bit one works: one histogram per column covers the kernel's
// rows, and the kernel's histogram moves right by adding one column's and
// removing another's, in constant time whatever the kernel's size.
// Histograms are sized by the range's N levels, in two tiers: coarse bins
// of 2^s fine levels, s about half the bits of N, so that both tiers hold
// about sqrt(N) counters. The kernel keeps its coarse counts current and a
// bin's fine counts only while the median is in that bin; the others catch
// up when the median comes back to them. The median's bin and level are
// sought sixteen counters at a time.

namespace {

using Job = kcMedianJob<unsigned>;
// Counts never exceed the kernel's area, at most 32767.
using Count = std::uint16_t;

// A code for pels that do not take part.
constexpr unsigned kSkip = ~0u;
// Column histograms of a strip are kept to a few megabytes, within the
// last-level cache; a strip has at least this many output columns.
constexpr long kStripBytes = 4L << 20;
constexpr long kMinStripWidth = 32;

// Searches read counters sixteen at a time.
constexpr long kBlock = 16;

// The counters of one histogram: the coarse bins, padded with empty ones to
// whole blocks, the total, then the fine levels bin by bin (the last bin
// whole, its spare levels never counted). A bin has at least a block of
// levels.
struct Layout {
  int shift;
  long fine;   // levels per bin
  long bins;   // holding levels
  long total;  // where the total is: the padded bins before it
  long stride;

  explicit Layout(unsigned levels)
      : shift(std::max(4, static_cast<int>(std::bit_width(levels) + 1) / 2)),
        fine(1L << shift),
        bins(((long(levels) - 1) >> shift) + 1),
        total((bins + kBlock - 1) / kBlock * kBlock),
        stride(total + 1 + bins * fine) {}
  long bucket(long b) const { return total + 1 + b * fine; }
};

// to[i] <- to[i] + from[i] (or - from[i]) for i < n: whole blocks of a
// fixed count, which the compiler vectorizes at every optimization level,
// then the rest.
template <bool Add>
[[gnu::always_inline]] inline void combineCounts(Count* __restrict to, const Count* __restrict from,
                                                 long n) {
  long i = 0;
  for (; i + kBlock <= n; i += kBlock)
    for (long k = 0; k < kBlock; ++k)
      to[i + k] = static_cast<Count>(Add ? to[i + k] + from[i + k] : to[i + k] - from[i + k]);
  for (; i < n; ++i) to[i] = static_cast<Count>(Add ? to[i] + from[i] : to[i] - from[i]);
}

// Where in the counts c the pel of rank r lies (one must), with the count
// of pels before it added to below: sixteen counts at a time, then one by
// one, so that a search costs the same wherever the median lies.
[[gnu::always_inline]] inline long seekRank(const Count* c, long r, long& below) {
  long i = 0, under = 0;
  for (;; i += kBlock) {
    unsigned block = 0;  // at most 32767
    for (long k = 0; k < kBlock; ++k) block += c[i + k];
    if (under + block > r) break;
    under += block;
  }
  while (under + c[i] <= r) under += c[i++];
  below += under;
  return i;
}

// The counter kernels, built for every x86-64 processor and for AVX2.
struct CountKernels {
  void (*add)(Count* to, const Count* from, long n);
  void (*sub)(Count* to, const Count* from, long n);
  long (*seek)(const Count* c, long r, long& below);
};

void addPlain(Count* to, const Count* from, long n) { combineCounts<true>(to, from, n); }
void subPlain(Count* to, const Count* from, long n) { combineCounts<false>(to, from, n); }
long seekPlain(const Count* c, long r, long& below) { return seekRank(c, r, below); }
KC_TARGET_AVX2 void addAvx2(Count* to, const Count* from, long n) {
  combineCounts<true>(to, from, n);
}
KC_TARGET_AVX2 void subAvx2(Count* to, const Count* from, long n) {
  combineCounts<false>(to, from, n);
}
KC_TARGET_AVX2 long seekAvx2(const Count* c, long r, long& below) { return seekRank(c, r, below); }

CountKernels countKernels() {
  return {kfPickKernel(addPlain, addAvx2), kfPickKernel(subPlain, subAvx2),
          kfPickKernel(seekPlain, seekAvx2)};
}

// The kernel's histogram over the columns [lo, hi) of a strip's column
// histograms, whose first column is c0.
class KernelHistogram {
 public:
  KernelHistogram(const Layout& layout, const Count* hist, long c0)
      : layout_(layout),
        hist_(hist),
        c0_(c0),
        coarse_(static_cast<std::size_t>(layout.total + 1)),
        fine_(static_cast<std::size_t>(layout.bins * layout.fine)),
        from_(static_cast<std::size_t>(layout.bins)),
        to_(static_cast<std::size_t>(layout.bins)) {}

  // Starts a row over the columns [lo, hi).
  void start(long lo, long hi) {
    std::fill(coarse_.begin(), coarse_.end(), Count(0));
    std::fill(to_.begin(), to_.end(), -1L);  // no bin's fine counts are kept
    for (long c = lo; c < hi; ++c) k_.add(coarse_.data(), column(c), layout_.total + 1);
    lo_ = lo;
    hi_ = hi;
  }
  void add(long c) {
    k_.add(coarse_.data(), column(c), layout_.total + 1);
    hi_ = c + 1;
  }
  void remove(long c) {
    k_.sub(coarse_.data(), column(c), layout_.total + 1);
    lo_ = c + 1;
  }
  long count() const { return coarse_[static_cast<std::size_t>(layout_.total)]; }

  // The code of rank (n - 1) / 2; n must be positive.
  unsigned median() {
    const long rank = (count() - 1) / 2;
    long below = 0;
    const long b = k_.seek(coarse_.data(), rank, below);
    const long level = k_.seek(bucket(b), rank - below, below);
    return static_cast<unsigned>((b << layout_.shift) + level);
  }

 private:
  const Count* column(long c) const { return hist_ + (c - c0_) * layout_.stride; }

  // Bin b's fine counts over the kernel's columns, brought up to date by
  // adding and removing the columns that came and went since they were
  // last, or summed afresh when that is cheaper; both ends only move on.
  const Count* bucket(long b) {
    const auto i = static_cast<std::size_t>(b);
    Count* f = fine_.data() + b * layout_.fine;
    const long n = layout_.fine, at = layout_.bucket(b);
    const long moves = (hi_ - to_[i]) + (lo_ - from_[i]);
    if (to_[i] <= lo_ || moves >= hi_ - lo_) {
      std::fill(f, f + n, Count(0));
      for (long c = lo_; c < hi_; ++c) k_.add(f, column(c) + at, n);
    } else {
      for (long c = to_[i]; c < hi_; ++c) k_.add(f, column(c) + at, n);
      for (long c = from_[i]; c < lo_; ++c) k_.sub(f, column(c) + at, n);
    }
    from_[i] = lo_;
    to_[i] = hi_;
    return f;
  }

  const CountKernels k_ = countKernels();
  const Layout& layout_;
  const Count* hist_;
  long c0_;
  std::vector<Count> coarse_;  // the bins, then the total
  std::vector<Count> fine_;    // every bin's fine counts, as of [from, to)
  std::vector<long> from_, to_;
  long lo_ = 0, hi_ = 0;
};

template <bool Masked>
void rowCodes(const unsigned* s, const unsigned char* m, long n, unsigned lo, unsigned span,
              unsigned* code) {
  for (long x = 0; x < n; ++x) {
    const unsigned c = s[x] - lo;
    bool takesPart = c <= span;
    if constexpr (Masked) takesPart = takesPart && m[x] != 0;
    code[x] = takesPart ? c : kSkip;
  }
}

class StripFilter {
 public:
  StripFilter(const Job& job, const Layout& layout) : job_(job), layout_(layout) {}

  // Output columns sx0..sx1-1 of every output row.
  void run(long sx0, long sx1) {
    c0_ = std::max(0L, sx0 - job_.left);
    n_ = std::min(job_.width, sx1 + job_.right) - c0_;
    // Each strip leaves its column histograms empty for the next.
    const auto size = static_cast<std::size_t>(n_ * layout_.stride);
    if (hist_.size() < size) hist_.assign(size, Count(0));
    in_.resize(static_cast<std::size_t>(n_));
    out_.resize(static_cast<std::size_t>(n_));
    skip_.assign(static_cast<std::size_t>(n_), kSkip);
    const long first = std::max(0L, job_.y0 - job_.up);
    const long last = std::min(job_.height, job_.y0 + job_.down + 1);
    for (long r = first; r < last; ++r) updateRows(r, -1);
    KernelHistogram kernel(layout_, hist_.data(), c0_);
    for (long y = job_.y0; y < job_.y1; ++y) {
      if (y > job_.y0) updateRows(y + job_.down, y - job_.up - 1);
      sweepRow(kernel, sx0, sx1, job_.src + y * job_.srcStride,
               job_.dst + (y - job_.y0) * job_.dstStride + (sx0 - job_.x0));
    }
    const long y = job_.y1 - 1;
    for (long r = std::max(0L, y - job_.up); r < std::min(job_.height, y + job_.down + 1); ++r)
      updateRows(-1, r);
  }

 private:
  void sweepRow(KernelHistogram& kernel, long sx0, long sx1, const unsigned* s,
                unsigned* out) const {
    long lo = std::max(0L, sx0 - job_.left), hi = std::min(job_.width, sx0 + job_.right + 1);
    kernel.start(lo, hi);
    for (long x = sx0; x < sx1; ++x) {
      // The kernel's columns [lo, hi) move by one at most.
      if (x > sx0 && x + job_.right < job_.width) kernel.add(hi++);
      if (x > sx0 && x - job_.left > lo) kernel.remove(lo++);
      out[x - sx0] =
          kernel.count() ? job_.lo + kernel.median() : std::clamp(s[x], job_.lo, job_.hi);
    }
  }

  const unsigned* codes(long r, std::vector<unsigned>& buffer) const {
    if (r < 0 || r >= job_.height) return skip_.data();
    const unsigned* s = job_.src + r * job_.srcStride + c0_;
    const unsigned span = job_.hi - job_.lo;
    if (job_.mask)
      rowCodes<true>(s, job_.mask + r * job_.maskStride + c0_, n_, job_.lo, span, buffer.data());
    else
      rowCodes<false>(s, nullptr, n_, job_.lo, span, buffer.data());
    return buffer.data();
  }

  // Row entering adds its pels to the column histograms, row leaving
  // removes them; -1 or a row past the bottom stands for no row.
  void updateRows(long entering, long leaving) {
    const unsigned* in = codes(entering, in_);
    const unsigned* out = codes(leaving, out_);
    Count* h = hist_.data();
    const long total = layout_.total, fine = layout_.bucket(0);
    for (long x = 0; x < n_; ++x, h += layout_.stride) {
      if (const unsigned a = in[x]; a != kSkip) {
        ++h[a >> layout_.shift];
        ++h[total];
        ++h[fine + a];
      }
      if (const unsigned r = out[x]; r != kSkip) {
        --h[r >> layout_.shift];
        --h[total];
        --h[fine + r];
      }
    }
  }

  const Job& job_;
  const Layout& layout_;
  long c0_ = 0, n_ = 0;
  std::vector<Count> hist_;
  std::vector<unsigned> in_, out_, skip_;
};

void runWideMedian(const Job& job) {
  const Layout layout(job.hi - job.lo + 1);
  const long reach = job.left + job.right;
  // Strips at least as wide as the kernel's reach, so that the columns a
  // strip counts for its margins stay a fraction of its work.
  const long stripWidth = std::max(
      {kMinStripWidth, reach, kStripBytes / (layout.stride * long(sizeof(Count))) - reach});
  StripFilter strips(job, layout);
  for (long sx0 = job.x0; sx0 < job.x1; sx0 += stripWidth)
    strips.run(sx0, std::min(job.x1, sx0 + stripWidth));
}

}  // namespace

void kfPelMedian(const kcPelBuffer_const<unsigned>& src, const kcPelMedianParams& params,
                 kcPelBuffer<unsigned>& dst) {
  src.requireBound();
  kfMedianOver(src, kcPelBuffer_const<unsigned char>(), src.window(), params, dst, runWideMedian);
}

void kfPelMedian(const kcPelBuffer_const<unsigned>& src,
                 const kcPelBuffer_const<unsigned char>& mask, const kcPelMedianParams& params,
                 kcPelBuffer<unsigned>& dst) {
  src.requireBound();
  mask.requireBound();
  kfMedianOver(src, mask, src.window() & mask.window(), params, dst, runWideMedian);
}
