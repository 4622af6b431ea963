#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "host/detail/cpu_dispatch.h"
#include "host/exceptions.h"
#include "imaging/detail/median_wiring.h"
#include "imaging/median.h"

// Sliding histogram median of wide pels. As in the 8-bit median, one
// histogram per column covers the kernel's rows and the kernel moves right
// by adding one column and removing another. The histograms cover the value
// range only: a pel v takes the code v - lo, whose high bits pick a coarse
// bin and whose low bits a fine level within the bin.
//
// With hundreds of bins, adding whole column histograms per pel would cost
// what the bins number. The column coarse counts are cumulative instead
// (pels in bins 0..k), and the kernel reads them only at the bins around
// the median, which moves little from pel to pel: it keeps per bin the
// kernel's cumulative count, brought up to date when read, like the fine
// counts of a bin, which are plain and brought up to date only when the
// median falls into the bin.

namespace {

using Count = std::uint16_t;
using WideJob = kcMedianJob<unsigned int>;

typedef Count Eight __attribute__((vector_size(16)));
typedef Count Sixteen __attribute__((vector_size(32)));

// A bin holds at least 16 levels, a whole number of vectors of either build.
constexpr int kMinShift = 4;
constexpr long kVectorCounts = 16;
// The coarse counts of a strip's columns stay in the second-level cache, as
// in the 8-bit median.
constexpr long kStripBytes = 512 * 1024;
constexpr long kMinStripWidth = 64;
// Column updates touch fine counts wherever the values of a column spread;
// with fewer columns those lines stay in the second-level cache. Measured
// at +-4095 and a 101 kernel: 640 columns run a quarter faster than 2048.
constexpr long kMaxStripColumns = 640;
// Columns ahead whose fine counts a column update fetches early; measured
// at +-4095 and over the full range, 24 ran 13 to 21 % faster than no
// fetching and 4 to 6 % faster than 8.
constexpr long kFineAhead = 24;
// The fine counts of a strip take 2 N bytes per column; this bound limits
// memory over wide ranges (255 columns for the full range).
constexpr long kFineBytes = 64L * 1024 * 1024;

// The histograms' shape for a value range.
struct Levels {
  int shift;          // a bin holds 1 << shift levels
  unsigned width;     // levels per bin
  long bins;          // bins over the range
  long coarseStride;  // coarse counters per column: bins rounded up to vectors
  unsigned skip;      // the code of pels that do not take part: level 0 of bin `bins`
};

// Bins of about sqrt(N) / 2 levels balance the coarse work (a column
// update spans the bins between the codes in and out) and the fine work (a
// kernel move adds and removes the levels of a bin): over the full 17 bits
// and a 101 kernel, bins of 128 levels ran a fifth faster than 256 and a
// third faster than 64 on noisy differences.
Levels levelsFor(unsigned lo, unsigned hi) {
  const unsigned span = hi - lo;  // N - 1
  Levels lv{};
  lv.shift = std::max(kMinShift, static_cast<int>(std::bit_width(span)) / 2 - 1);
  lv.width = 1u << lv.shift;
  lv.bins = long(span >> lv.shift) + 1;
  lv.coarseStride = (lv.bins + kVectorCounts - 1) / kVectorCounts * kVectorCounts;
  lv.skip = unsigned(lv.bins) << lv.shift;
  return lv;
}

template <class V>
constexpr long kLanes = sizeof(V) / sizeof(Count);

// Vectors pass by reference only: a function taking or returning a 32-byte
// vector would be compiled for processors without AVX too.
template <class V>
[[gnu::always_inline]] inline void load(V& v, const Count* p) {
  std::memcpy(&v, p, sizeof v);
}

template <class V>
[[gnu::always_inline]] inline void store(Count* p, const V& v) {
  std::memcpy(p, &v, sizeof v);
}

// n, here and below, is a multiple of kVectorCounts.
template <class V>
[[gnu::always_inline]] inline void addCounts(Count* h, const Count* a, long n) {
  for (long i = 0; i < n; i += kLanes<V>) {
    V x, y;
    load(x, h + i);
    load(y, a + i);
    store(h + i, V(x + y));
  }
}

template <class V>
[[gnu::always_inline]] inline void subCounts(Count* h, const Count* a, long n) {
  for (long i = 0; i < n; i += kLanes<V>) {
    V x, y;
    load(x, h + i);
    load(y, a + i);
    store(h + i, V(x - y));
  }
}

// h += a - s.
template <class V>
[[gnu::always_inline]] inline void moveCounts(Count* h, const Count* a, const Count* s, long n) {
  for (long i = 0; i < n; i += kLanes<V>) {
    V x, y, z;
    load(x, h + i);
    load(y, a + i);
    load(z, s + i);
    store(h + i, V(x + (y - z)));
  }
}

// Lane numbers, to compare with positions.
template <class V>
struct Iota;
template <>
struct Iota<Eight> {
  static constexpr Eight lanes = {0, 1, 2, 3, 4, 5, 6, 7};
};
template <>
struct Iota<Sixteen> {
  static constexpr Sixteen lanes = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
};

// index[j] = first + j.
template <class V>
[[gnu::always_inline]] inline void lanesFrom(V& index, long first) {
  index = Iota<V>::lanes + Count(first);
}

// c[from..to-1] += delta, whole vectors at a time.
template <class V>
[[gnu::always_inline]] inline void addRange(Count* c, long from, long to, Count delta) {
  V index, x;
  for (long i = from / kLanes<V> * kLanes<V>; i < to; i += kLanes<V>) {
    lanesFrom(index, i);
    load(x, c + i);
    x += (V)((index >= Count(from)) & (index < Count(to))) & delta;
    store(c + i, x);
  }
}

// Sums wrap at 16 bits; every sum taken is a count of kernel pels, which is
// below 32768. Halves are folded onto each other down to one lane.
[[gnu::always_inline]] inline long sumAcross(const Eight& v) {
  typedef std::uint64_t Quads __attribute__((vector_size(16)));
  typedef std::uint32_t Words __attribute__((vector_size(16)));
  Eight s = v;
  const auto q = std::bit_cast<Quads>(s);
  s += std::bit_cast<Eight>(__builtin_shufflevector(q, q, 1, 1));
  s += std::bit_cast<Eight>(std::bit_cast<Quads>(s) >> 32);
  s += std::bit_cast<Eight>(std::bit_cast<Words>(s) >> 16);
  return s[0];
}

[[gnu::always_inline]] inline long sumAcross(const Sixteen& v) {
  return sumAcross(Eight(__builtin_shufflevector(v, v, 0, 1, 2, 3, 4, 5, 6, 7) +
                         __builtin_shufflevector(v, v, 8, 9, 10, 11, 12, 13, 14, 15)));
}

// h[0] + ... + h[k - 1], reading the whole vector that holds h[k].
template <class V>
[[gnu::always_inline]] inline long countBelow(const Count* h, long k) {
  V sum{}, x;
  long i = 0;
  for (; i + kLanes<V> <= k; i += kLanes<V>) {
    load(x, h + i);
    sum += x;
  }
  if (i < k) {
    V index;
    lanesFrom(index, i);
    load(x, h + i);
    sum += x & (V)(index < Count(k));
  }
  return sumAcross(sum);
}

// The first level at or below which counts[] holds more than r pels (one
// must), stepping from level at with below pels before it; below becomes the
// pels before the level found.
[[gnu::always_inline]] inline long levelOfRank(const Count* counts, long r, long at, long& below) {
  while (below > r) below -= counts[--at];
  while (below + counts[at] <= r) below += counts[at++];
  return at;
}

// A strip's column histograms and the kernel's, as the row sweep sees them.
// The kernel's counts carry the columns [from, to) they were last brought
// up to; both ends only move forward along a row.
struct StripView {
  const Count* coarse;  // cumulative, column c0 first, coarseStride apart
  const Count* fine;    // bin b of column c at (b * columns + c - c0) * width
  long c0, columns;
  long* upTo;  // the kernel's pels in bins 0..b, per bin b
  long *upToFrom, *upToTo;
  Count* buckets;  // the kernel's fine counts, bin after bin
  long *bucketFrom, *bucketTo;
};

// Brings a kernel count over columns [from, to) to [lo, hi): by the columns
// that entered and left since, or summed afresh when that is cheaper.
// add(c) and sub(c) add and remove column c; clear() empties the count.
template <class Add, class Sub, class Clear>
[[gnu::always_inline]] inline void bringColumns(long& from, long& to, long lo, long hi,
                                                const Add& add, const Sub& sub,
                                                const Clear& clear) {
  if (to <= lo || (hi - to) + (lo - from) >= hi - lo) {
    clear();
    for (long c = lo; c < hi; ++c) add(c);
  } else {
    for (long c = to; c < hi; ++c) add(c);
    for (long c = from; c < lo; ++c) sub(c);
  }
  from = lo;
  to = hi;
}

// The kernel's pels in bins 0..k over the columns [lo, hi).
[[gnu::always_inline]] inline long kernelUpTo(const StripView& v, const Levels& lv, long k, long lo,
                                              long hi) {
  auto column = [&](long c) { return long(v.coarse[(c - v.c0) * lv.coarseStride + k]); };
  long& count = v.upTo[k];
  if (v.upToTo[k] == hi - 1 && v.upToFrom[k] == lo - 1) {
    count += column(hi - 1) - column(lo - 1);
    v.upToFrom[k] = lo;
    v.upToTo[k] = hi;
  } else {
    bringColumns(
        v.upToFrom[k], v.upToTo[k], lo, hi, [&](long c) { count += column(c); },
        [&](long c) { count -= column(c); }, [&] { count = 0; });
  }
  return count;
}

// The kernel's fine counts of bin b over the columns [lo, hi).
template <class V>
[[gnu::always_inline]] inline const Count* bringUp(const StripView& v, const Levels& lv, long b,
                                                   long lo, long hi) {
  const long w = lv.width;
  Count* f = v.buckets + b * w;
  auto bucket = [&](long c) { return v.fine + (b * v.columns + c - v.c0) * w; };
  long& from = v.bucketFrom[b];
  long& to = v.bucketTo[b];
  if (to == hi - 1 && from == lo - 1) {
    moveCounts<V>(f, bucket(to), bucket(from), w);
    from = lo;
    to = hi;
  } else {
    bringColumns(
        from, to, lo, hi, [&](long c) { addCounts<V>(f, bucket(c), w); },
        [&](long c) { subCounts<V>(f, bucket(c), w); }, [&] { std::fill(f, f + w, Count(0)); });
  }
  return f;
}

// The level of rank r in a bucket just entered: whole vectors first.
template <class V>
[[gnu::always_inline]] inline long firstLevelOfRank(const Count* f, long r) {
  long at = 0, below = 0;
  V x;
  for (long s; load(x, f + at), below + (s = sumAcross(x)) <= r; at += kLanes<V>) below += s;
  return levelOfRank(f, r, at, below);
}

// One output row of a strip; s is the source row at x = 0. firstBin is the
// median's bin to start from, and becomes that of the row's first pel.
template <class V>
[[gnu::always_inline]] inline void sweepRow(const WideJob& job, const Levels& lv,
                                            const StripView& v, long sx0, long sx1,
                                            const unsigned* s, unsigned* out, long& firstBin) {
  long lo = std::max(0L, sx0 - job.left), hi = std::min(job.width, sx0 + job.right + 1);
  std::fill(v.upToTo, v.upToTo + lv.bins, -1L);
  std::fill(v.bucketTo, v.bucketTo + lv.bins, -1L);
  const long last = lv.bins - 1;
  auto column = [&](long c) { return v.coarse + (c - v.c0) * lv.coarseStride; };
  long n = 0;  // pels taking part
  for (long c = lo; c < hi; ++c) n += column(c)[last];
  long b = firstBin;  // the median's bin at the last pel
  // Once read, the kernel's pels in bins before b and up to b follow the
  // columns here; the per-bin counts serve only when b moves.
  bool tracking = false;
  long below = 0, upTo = 0;
  long bin = -1;  // the bin whose fine level was last found, and that level
  long level = 0;
  for (long x = sx0; x < sx1; ++x) {
    // The kernel's columns [lo, hi) move by one at most.
    if (x > sx0 && x + job.right < job.width) {
      const Count* c = column(hi++);
      n += c[last];
      upTo += c[b];
      below += b == 0 ? 0 : c[b - 1];
    }
    if (x > sx0 && x - job.left > lo) {
      const Count* c = column(lo++);
      n -= c[last];
      upTo -= c[b];
      below -= b == 0 ? 0 : c[b - 1];
    }
    if (n == 0) {
      out[x - sx0] = std::clamp(s[x], job.lo, job.hi);
      continue;
    }
    if (!tracking) {
      below = b == 0 ? 0 : kernelUpTo(v, lv, b - 1, lo, hi);
      upTo = kernelUpTo(v, lv, b, lo, hi);
      tracking = true;
    }
    // Steps from the last pel's bin to the one holding rank (n - 1) / 2.
    const long rank = (n - 1) / 2;
    while (below > rank) {
      upTo = below;
      --b;
      below = b == 0 ? 0 : kernelUpTo(v, lv, b - 1, lo, hi);
    }
    while (upTo <= rank) {
      below = upTo;
      upTo = kernelUpTo(v, lv, ++b, lo, hi);
    }
    if (x == sx0) firstBin = b;
    const Count* f = bringUp<V>(v, lv, b, lo, hi);
    const long r = rank - below;
    if (b != bin) {
      level = firstLevelOfRank<V>(f, r);
      bin = b;
    } else {
      long fineBelow = countBelow<V>(f, level);
      level = levelOfRank(f, r, level, fineBelow);
    }
    out[x - sx0] = job.lo + unsigned((b << lv.shift) + level);
  }
}

// Adds the pels coded in to the column histograms and removes those coded
// out; columns lie coarseStride (coarse) and width (fine) apart.
template <class V>
[[gnu::always_inline]] inline void updateColumns(const Levels& lv, Count* coarse, Count* fine,
                                                 long columns, long n, const unsigned* in,
                                                 const unsigned* out) {
  const unsigned levelMask = lv.width - 1;
  const long binStride = columns * long(lv.width);
  for (long x = 0; x < n; ++x, coarse += lv.coarseStride, fine += lv.width) {
    const unsigned a = in[x], r = out[x];
    const long ba = a >> lv.shift, br = r >> lv.shift;
    // The fine counts a column touches scatter with its values: fetching
    // them some columns ahead overlaps the misses.
    if (x + kFineAhead < n) {
      const unsigned pa = in[x + kFineAhead], pr = out[x + kFineAhead];
      const Count* f = fine + kFineAhead * long(lv.width);
      __builtin_prefetch(f + long(pa >> lv.shift) * binStride + (pa & levelMask), 1);
      __builtin_prefetch(f + long(pr >> lv.shift) * binStride + (pr & levelMask), 1);
    }
    if (ba < br) addRange<V>(coarse, ba, br, Count(1));
    if (br < ba) addRange<V>(coarse, br, ba, Count(0xffff));
    ++fine[ba * binStride + (a & levelMask)];
    --fine[br * binStride + (r & levelMask)];
  }
}

// The row kernels, compiled for every x86-64 processor and for AVX2.
struct RowKernels {
  void (*update)(const Levels& lv, Count* coarse, Count* fine, long columns, long n,
                 const unsigned* in, const unsigned* out);
  void (*sweep)(const WideJob& job, const Levels& lv, const StripView& v, long sx0, long sx1,
                const unsigned* s, unsigned* out, long& firstBin);
};

void updateColumnsPlain(const Levels& lv, Count* coarse, Count* fine, long columns, long n,
                        const unsigned* in, const unsigned* out) {
  updateColumns<Eight>(lv, coarse, fine, columns, n, in, out);
}
void sweepRowPlain(const WideJob& job, const Levels& lv, const StripView& v, long sx0, long sx1,
                   const unsigned* s, unsigned* out, long& firstBin) {
  sweepRow<Eight>(job, lv, v, sx0, sx1, s, out, firstBin);
}

KC_TARGET_AVX2 void updateColumnsAvx2(const Levels& lv, Count* coarse, Count* fine, long columns,
                                      long n, const unsigned* in, const unsigned* out) {
  updateColumns<Sixteen>(lv, coarse, fine, columns, n, in, out);
}
KC_TARGET_AVX2 void sweepRowAvx2(const WideJob& job, const Levels& lv, const StripView& v, long sx0,
                                 long sx1, const unsigned* s, unsigned* out, long& firstBin) {
  sweepRow<Sixteen>(job, lv, v, sx0, sx1, s, out, firstBin);
}

RowKernels rowKernels() {
  return {kfPickKernel(updateColumnsPlain, updateColumnsAvx2),
          kfPickKernel(sweepRowPlain, sweepRowAvx2)};
}

template <bool Masked>
void rowCodes(const unsigned* s, const unsigned char* m, long n, unsigned lo, unsigned hi,
              unsigned skip, unsigned* code) {
  const unsigned span = hi - lo;
  for (long x = 0; x < n; ++x) {
    const unsigned c = s[x] - lo;
    bool takesPart = c <= span;
    if constexpr (Masked) takesPart = takesPart && m[x] != 0;
    code[x] = takesPart ? c : skip;
  }
}

struct FreeCounts {
  void operator()(Count* p) const { std::free(p); }
};

class WideStrips {
 public:
  WideStrips(const WideJob& job, const Levels& lv, long columns)
      : job_(job), lv_(lv), kernels_(rowKernels()), columns_(columns) {
    const auto size = [](long n) { return static_cast<std::size_t>(n); };
    // Zeroed pages come from the system untouched: only bins that pels
    // fall into cost memory.
    fine_.reset(
        static_cast<Count*>(std::calloc(size((lv.bins + 1) * columns) * lv.width, sizeof(Count))));
    if (!fine_) throw std::bad_alloc();
    coarse_.resize(size(columns * lv.coarseStride));
    in_.resize(size(columns));
    out_.resize(size(columns));
    skip_.assign(size(columns), lv.skip);
    buckets_.resize(size(lv.bins) * lv.width);
    for (auto* counts : {&upTo_, &upToFrom_, &upToTo_, &bucketFrom_, &bucketTo_})
      counts->resize(size(lv.bins));
  }

  // Output columns sx0..sx1-1 of every output row. The fine counts of the
  // range are all zero before and after.
  void run(long sx0, long sx1) {
    c0_ = std::max(0L, sx0 - job_.left);
    n_ = std::min(job_.width, sx1 + job_.right) - c0_;
    std::fill(coarse_.begin(), coarse_.end(), Count(0));
    const StripView view{coarse_.data(),  fine_.get(),     c0_,
                         columns_,        upTo_.data(),    upToFrom_.data(),
                         upToTo_.data(),  buckets_.data(), bucketFrom_.data(),
                         bucketTo_.data()};

    const long first = std::max(0L, job_.y0 - job_.up);
    const long last = std::min(job_.height, job_.y0 + job_.down + 1);
    for (long r = first; r < last; ++r) updateRows(r, -1);
    long firstBin = lv_.bins / 2;  // each row starts from the median's bin above
    for (long y = job_.y0; y < job_.y1; ++y) {
      if (y > job_.y0) updateRows(y + job_.down, y - job_.up - 1);
      kernels_.sweep(job_, lv_, view, sx0, sx1, job_.src + y * job_.srcStride,
                     job_.dst + (y - job_.y0) * job_.dstStride + (sx0 - job_.x0), firstBin);
    }
    // Removing the rows still in the kernel zeroes the fine counts of the
    // range again, far cheaper than clearing them all; the spare bin's are
    // never read.
    const long y = job_.y1 - 1;
    for (long r = std::max(0L, y - job_.up); r < std::min(job_.height, y + job_.down + 1); ++r)
      updateRows(-1, r);
  }

 private:
  bool inside(long r) const { return r >= 0 && r < job_.height; }

  const unsigned* codes(long r, std::vector<unsigned>& buffer) const {
    if (!inside(r)) return skip_.data();
    const unsigned* s = job_.src + r * job_.srcStride + c0_;
    if (job_.mask)
      rowCodes<true>(s, job_.mask + r * job_.maskStride + c0_, n_, job_.lo, job_.hi, lv_.skip,
                     buffer.data());
    else
      rowCodes<false>(s, nullptr, n_, job_.lo, job_.hi, lv_.skip, buffer.data());
    return buffer.data();
  }

  // Row entering adds its pels, row leaving removes them; -1 or a row past
  // the bottom stands for no row.
  void updateRows(long entering, long leaving) {
    kernels_.update(lv_, coarse_.data(), fine_.get(), columns_, n_, codes(entering, in_),
                    codes(leaving, out_));
  }

  const WideJob& job_;
  const Levels lv_;
  const RowKernels kernels_;
  const long columns_;  // the most columns of a strip: fine counts lie (bin * columns_ + column)
  long c0_ = 0, n_ = 0;
  std::unique_ptr<Count, FreeCounts> fine_;
  std::vector<Count> coarse_, buckets_;
  std::vector<unsigned> in_, out_, skip_;
  std::vector<long> upTo_, upToFrom_, upToTo_, bucketFrom_, bucketTo_;
};

void runWideMedian(const WideJob& job) {
  if (kfRunThirteenBitMedian(job)) return;
  const Levels lv = levelsFor(job.lo, job.hi);
  const long reach = job.left + job.right;
  const long budget =
      std::min({kMaxStripColumns, kStripBytes / long(lv.coarseStride * sizeof(Count)),
                kFineBytes / ((lv.bins + 1) * long(lv.width * sizeof(Count)))});
  const long stripWidth = std::max(kMinStripWidth, budget - reach);
  const long columns = std::min(job.width, stripWidth + reach);
  WideStrips strips(job, lv, columns);
  for (long sx0 = job.x0; sx0 < job.x1; sx0 += stripWidth)
    strips.run(sx0, std::min(job.x1, sx0 + stripWidth));
}

}  // namespace

void kfPelMedian(const kcPelBuffer_const<unsigned int>& src, const kcPelMedianParams& params,
                 kcPelBuffer<unsigned int>& dst) {
  kfMedianForms(src, nullptr, params, dst, runWideMedian);
}

void kfPelMedian(const kcPelBuffer_const<unsigned int>& src,
                 const kcPelBuffer_const<unsigned char>& mask, const kcPelMedianParams& params,
                 kcPelBuffer<unsigned int>& dst) {
  kfMedianForms(src, &mask, params, dst, runWideMedian);
}
