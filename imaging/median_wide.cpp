#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#include "host/exceptions.h"
#include "imaging/detail/median_job.h"
#include "imaging/median.h"

// Sliding histogram median of wide values (up to 17 bits) within a range.
// The histogram counts the range's levels in two tiers, fine levels under
// coarse bins of 2^s levels (s about half the levels' bits), so that a
// search crosses an empty stretch a bin at a time. Along a row the kernel
// moves right by removing its leftmost column and adding a new one: a pel
// costs two columns of updates, which grows with the kernel's height but
// never with its area, and the histogram's size, which the range sets,
// costs nothing per pel. The median is tracked rather than sought: each
// update keeps the count of pels below the current level, and the level
// then steps to the rank's, a few levels at a time on smooth data.

namespace {

using Job = kcMedianJob<unsigned>;
// Counts never exceed the kernel's area, at most 32767.
using Count = std::uint16_t;

class SlidingHistogram {
 public:
  explicit SlidingHistogram(unsigned levels)
      : shift_((std::bit_width(levels) + 1) / 2),
        binMask_((1u << shift_) - 1),
        coarse_(((levels - 1) >> shift_) + 1, 0),
        fine_(coarse_.size() << shift_, 0) {}  // the last bin whole, its spare levels empty

  void add(unsigned c) {
    ++fine_[c];
    ++coarse_[c >> shift_];
    ++n_;
    if (c < level_) ++below_;
  }
  void remove(unsigned c) {
    --fine_[c];
    --coarse_[c >> shift_];
    --n_;
    if (c < level_) --below_;
  }
  long count() const { return n_; }

  // The level of rank (n - 1) / 2; n must be positive.
  unsigned median() {
    const long rank = (n_ - 1) / 2;
    while (below_ > rank) stepDown();
    while (below_ + fine_[level_] <= rank) stepUp();
    return level_;
  }

 private:
  // To the highest level below the current one that holds pels (one must).
  void stepDown() {
    unsigned l = level_;
    do {
      if ((l & binMask_) == 0) {  // the first level of its bin: skip empty bins below
        unsigned b = l >> shift_;
        do --b;
        while (coarse_[b] == 0);
        l = (b + 1) << shift_;
      }
      --l;
    } while (fine_[l] == 0);
    below_ -= fine_[l];
    level_ = l;
  }

  // To the lowest level above the current one that holds pels (one must).
  void stepUp() {
    below_ += fine_[level_];
    unsigned l = level_;
    do {
      ++l;
      if ((l & binMask_) == 0) {  // the first level of the next bin: skip empty bins
        unsigned b = l >> shift_;
        while (coarse_[b] == 0) ++b;
        l = b << shift_;
      }
    } while (fine_[l] == 0);
    level_ = l;
  }

  int shift_;
  unsigned binMask_;
  std::vector<Count> coarse_;
  std::vector<Count> fine_;
  long n_ = 0;
  unsigned level_ = 0;
  long below_ = 0;  // pels of levels below level_
};

// The pels of one column of the kernel's rows, added or removed.
class ColumnFeed {
 public:
  ColumnFeed(const Job& job, SlidingHistogram& histogram)
      : job_(job), histogram_(histogram), span_(job.hi - job.lo) {}

  void rows(long first, long last) {
    first_ = first;
    last_ = last;
  }
  template <bool Add>
  void column(long c) {
    const unsigned* s = job_.src + first_ * job_.srcStride + c;
    const unsigned char* m = job_.mask ? job_.mask + first_ * job_.maskStride + c : nullptr;
    for (long r = first_; r < last_; ++r, s += job_.srcStride) {
      const unsigned code = *s - job_.lo;
      const bool takesPart = code <= span_ && (!m || *m != 0);
      if (m) m += job_.maskStride;
      if (!takesPart) continue;
      if constexpr (Add)
        histogram_.add(code);
      else
        histogram_.remove(code);
    }
  }

 private:
  const Job& job_;
  SlidingHistogram& histogram_;
  unsigned span_;
  long first_ = 0, last_ = 0;
};

void runWideMedian(const Job& job) {
  SlidingHistogram histogram(job.hi - job.lo + 1);
  ColumnFeed feed(job, histogram);
  for (long y = job.y0; y < job.y1; ++y) {
    feed.rows(std::max(0L, y - job.up), std::min(job.height, y + job.down + 1));
    // The kernel's columns [lo, hi).
    long lo = std::max(0L, job.x0 - job.left), hi = std::min(job.width, job.x0 + job.right + 1);
    for (long c = lo; c < hi; ++c) feed.column<true>(c);
    const unsigned* s = job.src + y * job.srcStride;
    unsigned* out = job.dst + (y - job.y0) * job.dstStride;
    for (long x = job.x0; x < job.x1; ++x) {
      if (x > job.x0 && x + job.right < job.width) feed.column<true>(hi++);
      if (x > job.x0 && x - job.left > lo) feed.column<false>(lo++);
      out[x - job.x0] =
          histogram.count() ? job.lo + histogram.median() : std::clamp(s[x], job.lo, job.hi);
    }
    for (long c = lo; c < hi; ++c) feed.column<false>(c);
  }
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
