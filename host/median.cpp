#include "host/median.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "host/exceptions.h"
#include "host/pel_ops.h"

namespace {

using Count = std::uint16_t;

// One column histogram is kStride counters: the 256 fine bins at 0..255,
// the 16 coarse bins at kCoarse..kCoarse + 15. A pel that does not take part
// gets the code kSkip, whose fine slot (256) and coarse slot (kCoarse + 16)
// are spares nobody reads, so that adding and removing never branch.
constexpr int kSkip = 256;
constexpr int kCoarse = 272;
constexpr int kStride = 304;  // a multiple of 16 counters keeps each histogram 32-byte aligned

// Column histograms of a strip are kept below this size so that they stay
// in the second-level cache.
constexpr long kStripBytes = 512 * 1024;
constexpr long kMinStripWidth = 64;

struct MedianJob {
  const unsigned char* src;
  long srcStride;
  const unsigned char* mask;  // null: unmasked
  long maskStride;
  long width, height;         // working window
  long left, right, up, down;  // kernel reach from the output pel
  unsigned lo, hi;
  long x0, x1, y0, y1;  // output pels, relative to the working window
  unsigned char* dst;   // output pel (x0, y0)
  long dstStride;
};

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
void updateColumns(Count* hist, const Count* in, const Count* out, long n) {
  for (long x = 0; x < n; ++x, hist += kStride) {
    ++hist[in[x]];
    ++hist[kCoarse + (in[x] >> 4)];
    --hist[out[x]];
    --hist[kCoarse + (out[x] >> 4)];
  }
}

// The kernel's histogram for one row sweep: coarse bins always current,
// each fine bucket (16 fine bins of one coarse bin) brought up to date only
// when the median falls into it, by adding and removing the columns that
// entered and left since, or by summing afresh when that is cheaper.
class KernelHistogram {
 public:
  explicit KernelHistogram(const Count* hist) : hist_(hist) {}

  void start(long from, long to) {
    std::fill(std::begin(coarse_), std::end(coarse_), Count(0));
    for (long c = from; c < to; ++c) addCoarse(c);
    std::fill(std::begin(fineTo_), std::end(fineTo_), -1L);
    from_ = from;
    to_ = to;
  }

  // Moves the column range to [from, to); both ends only move forward.
  void slide(long from, long to) {
    for (; to_ < to; ++to_) addCoarse(to_);
    for (; from_ < from; ++from_) subCoarse(from_);
  }

  // The value of rank (n - 1) / 2, or -1 when the kernel holds no pel.
  int lowerMedian() {
    unsigned n = 0;
    for (int k = 0; k < 16; ++k) n += coarse_[k];
    if (n == 0) return -1;
    const unsigned rank = (n - 1) / 2;
    unsigned below = 0;
    int b = 0;
    while (below + coarse_[b] <= rank) below += coarse_[b++];
    const Count* f = fineBucket(b);
    int j = 0;
    while (below + f[j] <= rank) below += f[j++];
    return 16 * b + j;
  }

 private:
  const Count* column(long c) const { return hist_ + c * kStride; }
  void addCoarse(long c) {
    const Count* h = column(c) + kCoarse;
    for (int k = 0; k < 16; ++k) coarse_[k] = static_cast<Count>(coarse_[k] + h[k]);
  }
  void subCoarse(long c) {
    const Count* h = column(c) + kCoarse;
    for (int k = 0; k < 16; ++k) coarse_[k] = static_cast<Count>(coarse_[k] - h[k]);
  }
  void addFine(Count* f, long c, int b) const {
    const Count* h = column(c) + 16 * b;
    for (int k = 0; k < 16; ++k) f[k] = static_cast<Count>(f[k] + h[k]);
  }
  void subFine(Count* f, long c, int b) const {
    const Count* h = column(c) + 16 * b;
    for (int k = 0; k < 16; ++k) f[k] = static_cast<Count>(f[k] - h[k]);
  }

  const Count* fineBucket(int b) {
    Count* f = fine_[b];
    long& from = fineFrom_[b];
    long& to = fineTo_[b];
    const long moves = (to_ - to) + (from_ - from);
    if (to <= from_ || moves >= to_ - from_) {
      std::fill(f, f + 16, Count(0));
      for (long c = from_; c < to_; ++c) addFine(f, c, b);
    } else {
      for (long c = to; c < to_; ++c) addFine(f, c, b);
      for (long c = from; c < from_; ++c) subFine(f, c, b);
    }
    from = from_;
    to = to_;
    return f;
  }

  const Count* hist_;
  long from_ = 0, to_ = 0;
  alignas(32) Count coarse_[16];
  alignas(32) Count fine_[16][16];
  long fineFrom_[16] = {};
  long fineTo_[16] = {};
};

// One output row of a strip. hist holds the column histograms of columns
// c0.. of the working window; s is the source row at x = 0.
void sweepRow(const MedianJob& job, const Count* hist, long c0, long sx0, long sx1,
              const unsigned char* s, unsigned char* out) {
  KernelHistogram k(hist - c0 * kStride);
  auto from = [&](long x) { return std::max(0L, x - job.left); };
  auto to = [&](long x) { return std::min(job.width, x + job.right + 1); };
  k.start(from(sx0), to(sx0));
  for (long x = sx0; x < sx1; ++x) {
    k.slide(from(x), to(x));
    const int m = k.lowerMedian();
    out[x - sx0] = static_cast<unsigned char>(
        m >= 0 ? unsigned(m) : std::clamp(unsigned(s[x]), job.lo, job.hi));
  }
}

class StripFilter {
 public:
  explicit StripFilter(const MedianJob& job) : job_(job) {}

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
      sweepRow(job_, hist_.data(), c0_, sx0, sx1, job_.src + y * job_.srcStride,
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
    updateColumns(hist_.data(), codes(entering, in_), codes(leaving, out_), n_);
  }

  const MedianJob& job_;
  long c0_ = 0, n_ = 0;
  std::vector<Count> hist_, in_, out_, skip_;
};

void runMedian(const MedianJob& job) {
  const long reach = job.left + job.right;
  const long stripWidth = std::max(kMinStripWidth, kStripBytes / long(kStride * sizeof(Count)) - reach);
  StripFilter strips(job);
  for (long sx0 = job.x0; sx0 < job.x1; sx0 += stripWidth)
    strips.run(sx0, std::min(job.x1, sx0 + stripWidth));
}

void requireBound(const kc_PelBuffer& b) {
  if (!b.isBound()) throw kcPel::UnboundWindow();
}

bool sharesStorage(const kc_PelBuffer& a, const kc_PelBuffer& b) {
  return a.isBound() && a.root() == b.root();
}

// The wiring of both forms: the working window is work; mask is unbound for
// the unmasked form.
void medianOver(const kcPelBuffer_const<unsigned char>& src,
                const kcPelBuffer_const<unsigned char>& mask, const kcPelRect& work,
                const kcPelMedianParams& params, kcPelBuffer<unsigned char>& dst) {
  if (!dst.isBound()) {
    dst = kcPelBuffer<unsigned char>(work, 32);
    dst.copyXforms(src);
  }
  const kcPelRect r = work & dst.window();
  if (r.isNull()) return;
  if (sharesStorage(dst, src) || sharesStorage(dst, mask)) {
    kcPelBuffer<unsigned char> fresh(r, 32);
    medianOver(src, mask, work, params, fresh);
    kfPelCopy(fresh, dst);
    return;
  }
  MedianJob job{};
  job.src = src.pointToPel(work.x(), work.y());
  job.srcStride = src.rowUpdate();
  if (mask.isBound()) {
    job.mask = mask.pointToPel(work.x(), work.y());
    job.maskStride = mask.rowUpdate();
  }
  job.width = work.width();
  job.height = work.height();
  job.left = params.kernel().x() / 2;
  job.right = (params.kernel().x() - 1) / 2;
  job.up = params.kernel().y() / 2;
  job.down = (params.kernel().y() - 1) / 2;
  job.lo = static_cast<unsigned>(params.valueRange().x());
  job.hi = static_cast<unsigned>(params.valueRange().y());
  job.x0 = r.x() - work.x();
  job.x1 = r.right() - work.x();
  job.y0 = r.y() - work.y();
  job.y1 = r.bottom() - work.y();
  job.dst = dst.pointToPel(r.x(), r.y());
  job.dstStride = dst.rowUpdate();
  runMedian(job);
}

}  // namespace

kcPelMedianParams::kcPelMedianParams(const kcPair<long>& kernel, const kcPair<long>& valueRange,
                                     bool flag)
    : kernel_(kernel), valueRange_(valueRange), flag_(flag) {
  const bool kernelOk = kernel.x() >= 1 && kernel.y() >= 1 && kernel.x() <= maxKernelArea &&
                        kernel.y() <= maxKernelArea / kernel.x();
  const bool rangeOk =
      valueRange.x() >= 0 && valueRange.x() <= valueRange.y() && valueRange.y() <= 255;
  if (!kernelOk || !rangeOk) throw kcPelFunc::BadParams();
}

void kfPelMedian(const kcPelBuffer_const<unsigned char>& src, const kcPelMedianParams& params,
                 kcPelBuffer<unsigned char>& dst) {
  requireBound(src);
  medianOver(src, kcPelBuffer_const<unsigned char>(), src.window(), params, dst);
}

void kfPelMedian(const kcPelBuffer_const<unsigned char>& src,
                 const kcPelBuffer_const<unsigned char>& mask, const kcPelMedianParams& params,
                 kcPelBuffer<unsigned char>& dst) {
  requireBound(src);
  requireBound(mask);
  medianOver(src, mask, src.window() & mask.window(), params, dst);
}
