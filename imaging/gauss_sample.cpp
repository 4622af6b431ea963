#include "imaging/gauss_sample.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <type_traits>
#include <vector>

#include "host/detail/cpu_dispatch.h"
#include "host/exceptions.h"

// The three boxes of a direction are applied as one cascaded running sum:
// (1 - z^-w)^3 / (1 - z^-1)^3. A comb of four taps at distances 0, w, 2w
// and 3w feeds three integrators, so each output costs the same whatever w.
// Every integrator holds a value of a finite filter of the replicated
// source (a difference of box sums), hence stays small and exact; unsigned
// wrap-around in between is harmless because the final sums fit the type.
//
// Vertical first: the comb reads 8-bit source rows directly (edge
// replication is a clamped row index), the integrators are per-column arrays
// that vectorize, and only the rows that are output get the horizontal pass.

namespace {

__extension__ typedef unsigned __int128 Wide;
__extension__ typedef __int128 SignedWide;

// Calls f(i) for i = 0..n-1. The inner loop of a fixed trip count lets the
// compiler vectorize f at every optimization level.
template <class F>
[[gnu::always_inline]] inline void forEachChunked(long n, F&& f) {
  constexpr long chunk = 32;
  long i = 0;
  for (; i + chunk <= n; i += chunk)
    for (long k = 0; k < chunk; ++k) f(i + k);
  for (; i < n; ++i) f(i);
}

// One direction of the kernel and its output grid. Position m of the
// cascade is the causal filter output whose kernel covers source pels
// m - taps + 1 .. m; output i sits at position(i), where the kernel's centre
// lands on source position i g + (g - 1) / 2. Once the kernel lies wholly
// past the last pel every position gives the same value, so positions stop
// at the first such one, which bounds the work whatever the step.
struct AxisPlan {
  long size;             // source pels
  long step;             // sampling factor g
  long box;              // box width w = kernel + 1
  bool pair;             // the two-pel box that fixes the centring parity
  long first;            // position of output 0
  long beyond;           // first position whose kernel lies past the last pel
  long count;            // output pels: ceil(size / step)
  std::uint64_t weight;  // sum of the kernel's weights

  long position(long i) const { return std::min(i * step + first, beyond); }
  std::uint64_t cubeWeight() const {
    const auto w = static_cast<std::uint64_t>(box);
    return w * w * w;
  }
};

AxisPlan planAxis(long size, long step, long kernel) {
  AxisPlan a{};
  a.size = size;
  a.step = step;
  a.box = kernel + 1;
  const long taps = 3 * kernel + 1;
  a.pair = (step + taps) % 2 != 0;
  a.beyond = size + taps + (a.pair ? 1 : 0) - 2;
  a.first = step / 2 > a.beyond ? a.beyond : (step + taps + (a.pair ? 1 : 0) - 2) / 2;
  a.count = size == 0 ? 0 : (size - 1) / step + 1;
  a.weight = a.cubeWeight() * (a.pair ? 2 : 1);
  return a;
}

// Final division of the weighted sums t by the total weight d:
// (t s + half) / d, saturated to the output type. The quotients are small
// (below 2^24): a double estimate rounded to nearest is the quotient or one
// above it, and one comparison settles which. Adding 2^52 to the estimate
// leaves that nearest integer in the low mantissa bits.

// The double of v < 2^52, by placing v in the mantissa of 2^52.
[[gnu::always_inline]] inline double exactDouble(std::uint64_t v) {
  return std::bit_cast<double>(v | std::bit_cast<std::uint64_t>(0x1p52)) - 0x1p52;
}

// For scaled sums below 2^52, where doubles hold every integer exactly; the
// comparison is a sign test on the remainder.
struct DoubleDivider {
  double scale, half, divisor, inverse;
  std::uint32_t maxOut;

  [[gnu::always_inline]] std::uint32_t quotient(std::uint64_t t) const {
    const double v = exactDouble(t) * scale + half;
    const double y = v * inverse + 0x1p52;
    const double remainder = v - (y - 0x1p52) * divisor;
    // Integer operations where a comparison of doubles would stop the
    // vectorizer: minus one where the remainder is negative.
    const std::uint32_t q =
        static_cast<std::uint32_t>(std::bit_cast<std::uint64_t>(y)) -
        static_cast<std::uint32_t>(std::bit_cast<std::uint64_t>(remainder) >> 63);
    return std::min(q, maxOut);
  }
};

// For scaled sums n below 2^63; the comparison is in integers.
struct LongDivider {
  std::uint64_t scale, half, divisor;
  double inverse;
  std::uint32_t maxOut;

  [[gnu::always_inline]] std::uint32_t quotient(std::uint64_t t) const {
    const std::uint64_t n = t * scale + half;
    // Both halves of n convert exactly, so v is n to a relative 2^-53.
    const double v = exactDouble(n >> 32) * 0x1p32 + exactDouble(n & 0xFFFFFFFFu);
    const std::uint64_t q = std::bit_cast<std::uint64_t>(v * inverse + 0x1p52) & 0xFFFFFFFFu;
    const std::uint64_t exact = q - (q * divisor > n ? 1 : 0);
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(exact, maxOut));
  }
};

template <class Divider, class Out>
[[gnu::always_inline]] inline void divideRow(const std::uint64_t* __restrict t, long count,
                                             const Divider& d, Out* __restrict out) {
  forEachChunked(
      count, [&](long j)
                 __attribute__((always_inline)) { out[j] = static_cast<Out>(d.quotient(t[j])); });
}

template <class Divider, class Out>
void divideRowPlain(const std::uint64_t* t, long count, const Divider& d, Out* out) {
  divideRow(t, count, d, out);
}

template <class Divider, class Out>
KC_TARGET_AVX2 void divideRowAvx2(const std::uint64_t* t, long count, const Divider& d, Out* out) {
  divideRow(t, count, d, out);
}

template <class Divider, class Out>
using DivideRowFn = void (*)(const std::uint64_t*, long, const Divider&, Out*);

// Outputs x0..x1-1 of the sums t at every position through the divide
// kernel. Reductions pick single sums; they are a fraction of the work.
template <class Divider, class Out>
void divideSums(DivideRowFn<Divider, Out> divide, const Divider& d, const std::uint64_t* t,
                const AxisPlan& ax, long x0, long x1, Out* out) {
  if (ax.step == 1)
    divide(t + ax.position(x0), x1 - x0, d, out);
  else
    for (long j = x0; j < x1; ++j) divide(t + ax.position(j), 1, d, out + (j - x0));
}

// For 128-bit sums (kernels of hundreds of pels): one pel at a time.
struct WideDivider {
  Wide scale, half, divisor;
  double inverse;
  Wide maxOut;

  Wide quotient(Wide t) const {
    const Wide n = t * scale + half;
    // The signed conversion is exact in range and faster.
    const double estimate = static_cast<double>(static_cast<SignedWide>(n)) * inverse + 0x1p52;
    const Wide q = std::bit_cast<std::uint64_t>(estimate) & 0xFFFFFFFFu;
    const Wide exact = q * divisor > n ? q - 1 : q;
    return exact < maxOut ? exact : maxOut;
  }
};

// 128-bit sums have no row kernel.
template <class Out>
void divideSums(std::nullptr_t, const WideDivider& d, const Wide* t, const AxisPlan& ax, long x0,
                long x1, Out* out) {
  for (long j = x0; j < x1; ++j) out[j - x0] = static_cast<Out>(d.quotient(t[ax.position(j)]));
}

// The build of the row division that runs now, chosen once per call.
template <class Divider, class Out>
auto pickDivideRow() {
  if constexpr (std::is_same_v<Divider, WideDivider>)
    return nullptr;
  else
    return kfPickKernel<DivideRowFn<Divider, Out>>(divideRowPlain<Divider, Out>,
                                                   divideRowAvx2<Divider, Out>);
}

// Where the cascade reads its source pels. PelRows: the pels of one image.
// DifferenceRows: offset + clamp(a - b, -limit, limit) of two 16-bit
// images, worked out as the rows are read, so that they are never stored.
template <class S>
struct PelRows {
  using Row = const S*;
  const S* first;
  long stride;

  Row row(long r) const { return first + r * stride; }
  std::uint32_t at(Row row, long x) const { return row[x]; }
};

// Source rows a caller makes on demand, kept in a ring. The cascade reads
// rows m - 3w .. m (clamped to the window) for a rising m, so a ring of
// 3w + 2 rows holds every row it still reads, whatever order a step's four
// rows are asked for in: making row m overwrites row m - 3w - 2 at most.
template <class S>
class MadeRows {
 public:
  MadeRows(const std::function<void(long, S*)>& make, long width, long box)
      : make_(make),
        width_(width),
        ringRows_(3 * box + 2),
        ring_(static_cast<std::size_t>(ringRows_ * width)) {}

  // Row r (0 .. height - 1), made along with those before it not made yet.
  const S* row(long r) {
    for (; next_ <= r; ++next_) make_(next_, slot(next_));
    return slot(r);
  }

 private:
  S* slot(long r) { return ring_.data() + (r % ringRows_) * width_; }

  const std::function<void(long, S*)>& make_;
  long width_, ringRows_, next_ = 0;
  std::vector<S> ring_;
};

// The pels of MadeRows, read as those of PelRows.
template <class S>
struct MadeRowSource {
  using Row = const S*;
  MadeRows<S>* made;

  Row row(long r) const { return made->row(r); }
  std::uint32_t at(Row row, long x) const { return row[x]; }
};

// Clamped false: a limit of 65535 or more, which no difference of 16-bit
// pels passes, so that the clamp is left out.
template <bool Clamped>
struct DifferenceRows {
  struct Row {
    const unsigned short* a;
    const unsigned short* b;
  };
  const unsigned short* a;
  long aStride;
  const unsigned short* b;
  long bStride;
  int limit;  // 0..65535
  std::uint32_t offset;

  Row row(long r) const { return {a + r * aStride, b + r * bStride}; }
  [[gnu::always_inline]] int delta(unsigned short p, unsigned short q) const {
    if constexpr (Clamped)
      return std::clamp(int(p) - int(q), -limit, limit);
    else
      return int(p) - int(q);
  }
  std::uint32_t at(Row row, long x) const {
    return offset + static_cast<std::uint32_t>(delta(row.a[x], row.b[x]));
  }
};

// Everything one smoothing call needs: the source's rows, both axes, the
// block of output pels [x0, x1) x [y0, y1) and where it goes.
template <class Src, class Out>
struct Job {
  Src src;
  AxisPlan ax, ay;
  long x0, x1, y0, y1;
  unsigned long scale;
  std::uint32_t maxIn;  // no source pel is above it
  std::uint32_t span;   // nor more than this above any other
  bool rounding;
  Out* dst;  // output pel (x0, y0)
  long dstStride;
  // When set, called with each output row (counted from y0) once it is in
  // dst; dstStride may then be 0 so that one row of scratch serves.
  const std::function<void(long, const Out*)>* rowDone = nullptr;
};

// One step of the vertical cascade over a row of columns. r0..r3 are the
// source rows at distances 0, w, 2w and 3w; prev (pair only) receives the
// last output before the step.
template <class V, bool Pair, class S>
[[gnu::always_inline]] inline void verticalStep(const S* __restrict r0, const S* __restrict r1,
                                                const S* __restrict r2, const S* __restrict r3,
                                                V* __restrict s1, V* __restrict s2,
                                                V* __restrict s3, V* __restrict prev, long n) {
  forEachChunked(
      n, [&](long i) __attribute__((always_inline)) {
        const V comb = V(r0[i]) - 3 * V(r1[i]) + 3 * V(r2[i]) - V(r3[i]);
        const V t1 = s1[i] + comb;
        const V t2 = s2[i] + t1;
        s1[i] = t1;
        s2[i] = t2;
        if constexpr (Pair) prev[i] = s3[i];
        s3[i] += t2;
      });
}

// The cascade at mixed widths. The first two integrators hold values of
// finite filters whose weights sum to zero: (1 - z^-w)^2 times a box of w
// (positive weights 2w, negative 2w) and (1 - z^-w) times two boxes
// (w^2 each way), so they lie within 2w span and w^2 span of zero, span
// being the source's range of values; the comb lies within 4 span. Where
// all three are below 2^31 they are exact in 32-bit lanes (wrapping in
// between is harmless) and only the third integrator, the kernel's whole
// weight times the pels, needs 64 bits: it adds the second's value as the
// signed number it stands for. At one width (N = V) this is the cascade
// of verticalStep.
template <class V, class N>
[[gnu::always_inline]] inline V widened(N v) {
  if constexpr (std::is_same_v<V, N>)
    return v;
  else
    return static_cast<V>(static_cast<std::int64_t>(static_cast<std::int32_t>(v)));
}

template <class N, class V, bool Pair, class Comb>
[[gnu::always_inline]] inline void cascade(Comb comb, N* __restrict s1, N* __restrict s2,
                                           V* __restrict s3, V* __restrict prev, long n) {
  forEachChunked(
      n, [&](long i) __attribute__((always_inline)) {
        const N t1 = s1[i] + comb(i);
        const N t2 = s2[i] + t1;
        s1[i] = t1;
        s2[i] = t2;
        if constexpr (Pair) prev[i] = s3[i];
        s3[i] += widened<V>(t2);
      });
}

// One step over the rows of taps (distances 0, w, 2w and 3w) of stored or
// made pels. Pels at one width take verticalStep as it always was.
template <class N, class V, bool Pair, class S>
[[gnu::always_inline]] inline void pelStep(const S* const* r, N* s1, N* s2, V* s3, V* prev,
                                           long n) {
  if constexpr (std::is_same_v<N, V>) {
    verticalStep<V, Pair>(r[0], r[1], r[2], r[3], s1, s2, s3, prev, n);
  } else {
    const S* __restrict r0 = r[0];
    const S* __restrict r1 = r[1];
    const S* __restrict r2 = r[2];
    const S* __restrict r3 = r[3];
    cascade<N, V, Pair>(
        [&](long i) __attribute__((always_inline)) {
          return N(r0[i]) - 3 * N(r1[i]) + 3 * N(r2[i]) - N(r3[i]);
        },
        s1, s2, s3, prev, n);
  }
}

template <class N, class V, bool Pair, class S>
[[gnu::always_inline]] inline void sourceStep(const PelRows<S>&, const S* const* r, N* s1, N* s2,
                                              V* s3, V* prev, long n) {
  pelStep<N, V, Pair>(r, s1, s2, s3, prev, n);
}

template <class N, class V, bool Pair, class S>
[[gnu::always_inline]] inline void sourceStep(const MadeRowSource<S>&, const S* const* r, N* s1,
                                              N* s2, V* s3, V* prev, long n) {
  pelStep<N, V, Pair>(r, s1, s2, s3, prev, n);
}

// The offset of the differences cancels in the comb (its taps sum to zero),
// which so works on the clamped differences alone: within 8 x 65535 of
// zero, exact in int.
template <class N, class V, bool Pair, bool Clamped>
[[gnu::always_inline]] inline void sourceStep(const DifferenceRows<Clamped>& src,
                                              const typename DifferenceRows<Clamped>::Row* r, N* s1,
                                              N* s2, V* s3, V* prev, long n) {
  const unsigned short* __restrict a0 = r[0].a;
  const unsigned short* __restrict b0 = r[0].b;
  const unsigned short* __restrict a1 = r[1].a;
  const unsigned short* __restrict b1 = r[1].b;
  const unsigned short* __restrict a2 = r[2].a;
  const unsigned short* __restrict b2 = r[2].b;
  const unsigned short* __restrict a3 = r[3].a;
  const unsigned short* __restrict b3 = r[3].b;
  const DifferenceRows<Clamped> d = src;  // a local copy: out of reach of the stores
  cascade<N, V, Pair>(
      [&](long i) __attribute__((always_inline)) {
        return static_cast<N>(d.delta(a0[i], b0[i]) - 3 * d.delta(a1[i], b1[i]) +
                              3 * d.delta(a2[i], b2[i]) - d.delta(a3[i], b3[i]));
      },
      s1, s2, s3, prev, n);
}

template <class Src, class N, class V>
using SourceStepFn = void (*)(const Src&, const typename Src::Row*, N*, N*, V*, V*, long);

template <class N, class V, bool Pair, class Src>
void sourceStepPlain(const Src& src, const typename Src::Row* r, N* s1, N* s2, V* s3, V* prev,
                     long n) {
  sourceStep<N, V, Pair>(src, r, s1, s2, s3, prev, n);
}

template <class N, class V, bool Pair, class Src>
KC_TARGET_AVX2 void sourceStepAvx2(const Src& src, const typename Src::Row* r, N* s1, N* s2, V* s3,
                                   V* prev, long n) {
  sourceStep<N, V, Pair>(src, r, s1, s2, s3, prev, n);
}

// Lays out one vertically smoothed row with replicated ends so that the
// horizontal comb reads padded[m + lead - d] for every position m it
// visits, d up to 3w. lead = 3w - 1.
template <class V, bool Pair>
void padRow(const V* s3, const V* prev, long n, long lead, long length, V* padded) {
  const long mid = std::min(n, length - lead);
  const V firstValue = Pair ? s3[0] + prev[0] : s3[0];
  std::fill(padded, padded + lead, firstValue);
  for (long x = 0; x < mid; ++x) padded[lead + x] = Pair ? s3[x] + prev[x] : s3[x];
  const V lastValue = padded[lead + mid - 1];
  std::fill(padded + lead + mid, padded + length, lastValue);
}

// The horizontal comb of one padded row at every position m from 1 to last.
template <class V, class H>
[[gnu::always_inline]] inline void horizontalComb(const V* __restrict v, long w, long last,
                                                  H* __restrict comb) {
  forEachChunked(
      last, [&](long i) __attribute__((always_inline)) {
        const long m = i + 1;
        comb[m] = H(v[m]) - 3 * H(v[m - w]) + 3 * H(v[m - 2 * w]) - H(v[m - 3 * w]);
      });
}

template <class V, class H>
void horizontalCombPlain(const V* v, long w, long last, H* comb) {
  horizontalComb(v, w, last, comb);
}

template <class V, class H>
KC_TARGET_AVX2 void horizontalCombAvx2(const V* v, long w, long last, H* comb) {
  horizontalComb(v, w, last, comb);
}

// Horizontal cascade over one padded row: t[m] for every position m from 0
// to last. The combs come first, all at once (they vectorize); the three
// integrators are then a chain of additions per position.
template <class V, class H>
using HorizontalCombFn = void (*)(const V*, long, long, H*);

template <class V, class H, bool Pair>
void horizontalSums(HorizontalCombFn<V, H> combs, const V* padded, long w, long last, H* t) {
  const V* v = padded + (3 * w - 1);  // v[m] is the replicated pel m
  combs(v, w, last, t);
  const auto cube = static_cast<H>(static_cast<std::uint64_t>(w) * w * w);
  H s1 = 0, s2 = 0, s3 = cube * H(v[0]), prev = s3;
  t[0] = Pair ? s3 + prev : s3;
  for (long m = 1; m <= last; ++m) {
    s1 += t[m];
    s2 += s1;
    if constexpr (Pair) prev = s3;
    s3 += s2;
    t[m] = Pair ? s3 + prev : s3;
  }
}

// N: the width of the first two vertical integrators and V that of the
// third (see cascade); H: the horizontal sums'.
template <class N, class V, class H, bool PairY, bool PairX, class Src, class Out, class Divider>
void smoothAndSample(const Job<Src, Out>& job, const Divider& divide) {
  const AxisPlan& ay = job.ay;
  const AxisPlan& ax = job.ax;
  const long width = ax.size, w = ay.box;
  auto row = [&](long r) { return job.src.row(std::clamp(r, 0L, ay.size - 1)); };

  std::vector<N> s1(width, 0), s2(width, 0);
  std::vector<V> s3(width), prev(PairY ? width : 0);
  const typename Src::Row top = row(0);
  const V cube = static_cast<V>(ay.cubeWeight());
  for (long x = 0; x < width; ++x) s3[x] = cube * V(job.src.at(top, x));
  if constexpr (PairY) prev = s3;

  const long lead = 3 * ax.box - 1;
  const long last = ax.position(job.x1 - 1);
  std::vector<V> padded(static_cast<std::size_t>(last + lead + 1));
  std::vector<H> sums(static_cast<std::size_t>(last + 1));

  // The kernel builds, chosen once for all rows.
  const auto step = kfPickKernel<SourceStepFn<Src, N, V>>(sourceStepPlain<N, V, PairY, Src>,
                                                          sourceStepAvx2<N, V, PairY, Src>);
  const auto combs =
      kfPickKernel<HorizontalCombFn<V, H>>(horizontalCombPlain<V, H>, horizontalCombAvx2<V, H>);
  const auto divideRow = pickDivideRow<Divider, Out>();
  long m = 0;
  for (long i = job.y0; i < job.y1; ++i) {
    for (const long target = ay.position(i); m < target;) {
      ++m;
      const typename Src::Row taps[4] = {row(m), row(m - w), row(m - 2 * w), row(m - 3 * w)};
      step(job.src, taps, s1.data(), s2.data(), s3.data(), prev.data(), width);
    }
    padRow<V, PairY>(s3.data(), prev.data(), width, lead, last + lead + 1, padded.data());
    horizontalSums<V, H, PairX>(combs, padded.data(), ax.box, last, sums.data());
    Out* out = job.dst + (i - job.y0) * job.dstStride;
    divideSums(divideRow, divide, sums.data(), ax, job.x0, job.x1, out);
    if (job.rowDone) (*job.rowDone)(i - job.y0, out);
  }
}

template <class N, class V, class H, class Src, class Out, class Divider>
void dispatchPairs(const Job<Src, Out>& job, const Divider& divide) {
  if (job.ay.pair) {
    if (job.ax.pair)
      smoothAndSample<N, V, H, true, true>(job, divide);
    else
      smoothAndSample<N, V, H, true, false>(job, divide);
  } else {
    if (job.ax.pair)
      smoothAndSample<N, V, H, false, true>(job, divide);
    else
      smoothAndSample<N, V, H, false, false>(job, divide);
  }
}

// Picks the narrowest exact arithmetic: 64-bit horizontal sums while
// t s + 2 weight stays below 2^63 (so that the quotient check cannot
// overflow), divided in doubles below 2^52; 128-bit sums beyond.
template <class N, class V, class Src, class Out>
void dispatchHorizontal(const Job<Src, Out>& job) {
  const Wide weight = Wide(job.ax.weight) * job.ay.weight;
  const Wide bound = weight * job.maxIn * job.scale + 2 * weight;
  const Wide half = job.rounding ? weight / 2 : 0;
  const double inverse = 1.0 / static_cast<double>(weight);
  constexpr std::uint32_t maxOut = std::numeric_limits<Out>::max();
  if (bound < (Wide(1) << 52)) {
    const DoubleDivider divide{static_cast<double>(job.scale), static_cast<double>(half),
                               static_cast<double>(weight), inverse, maxOut};
    dispatchPairs<N, V, std::uint64_t>(job, divide);
  } else if (bound < (Wide(1) << 63)) {
    const LongDivider divide{job.scale, static_cast<std::uint64_t>(half),
                             static_cast<std::uint64_t>(weight), inverse, maxOut};
    dispatchPairs<N, V, std::uint64_t>(job, divide);
  } else {
    dispatchPairs<N, V, Wide>(job, WideDivider{job.scale, half, weight, inverse, maxOut});
  }
}

// The vertical sums: all in 32-bit lanes when the kernel's weight times the
// largest pel fits them; else the first two integrators in 32-bit lanes
// and the third in 64-bit ones where their bounds (see cascade) stay below
// 2^31; else all in 64-bit lanes.
template <class Src, class Out>
void runJob(const Job<Src, Out>& job) {
  if (job.x0 >= job.x1 || job.y0 >= job.y1) return;
  const Wide w = static_cast<Wide>(job.ay.box), span = job.span;
  constexpr Wide narrowBound = Wide(1) << 31;
  if (Wide(job.ay.weight) * job.maxIn <= std::numeric_limits<std::uint32_t>::max())
    dispatchHorizontal<std::uint32_t, std::uint32_t>(job);
  else if (4 * span < narrowBound && 2 * w * span < narrowBound && w * w * span < narrowBound)
    dispatchHorizontal<std::uint32_t, std::uint64_t>(job);
  else
    dispatchHorizontal<std::uint64_t, std::uint64_t>(job);
}

// The bound of the sums: 255 for 8-bit pels, the window's largest pel for
// wider ones (one read of the source, a fraction of the smoothing's cost),
// which keeps small wide values such as 17-bit differences in the 32- and
// 64-bit paths.
template <class S>
std::uint32_t largestPel(const kcPelBuffer_const<S>& src, const kcGaussSampleParams& params) {
  if constexpr (std::is_same_v<S, unsigned char>) {
    return 255;
  } else {
    if (params.largestPel() != 0) return params.largestPel();
    S most = 0;
    for (long y = 0; y < src.height(); ++y) {
      const S* row = src.pointToOffset() + y * src.rowUpdate();
      for (long x = 0; x < src.width(); ++x) most = std::max(most, row[x]);
    }
    return most;
  }
}

// The job's source, bounds and axes; the block and its destination are the
// caller's to set.
template <class Out, class Src>
Job<Src, Out> makeJob(const Src& rows, const kcPelRect& window, std::uint32_t maxIn,
                      std::uint32_t span, const kcGaussSampleParams& params) {
  Job<Src, Out> job{};
  job.src = rows;
  job.maxIn = maxIn;
  job.span = span;
  job.scale = static_cast<unsigned long>(params.scale());
  // The dividers produce 32-bit quotients.
  if (Wide(job.maxIn) * job.scale > std::numeric_limits<std::uint32_t>::max())
    throw kcPelFunc::BadParams();
  job.ax = planAxis(window.width(), params.sampling().x(), params.kernel().x());
  job.ay = planAxis(window.height(), params.sampling().y(), params.kernel().y());
  job.rounding = params.doRounding();
  return job;
}

template <class S, class Out>
Job<PelRows<S>, Out> makeJob(const kcPelBuffer_const<S>& src, const kcGaussSampleParams& params) {
  const std::uint32_t most = largestPel(src, params);
  return makeJob<Out>(PelRows<S>{src.pointToOffset(), src.rowUpdate()}, src.window(), most, most,
                      params);
}

// run(job) with the job of the differences' rows, clamped or not.
template <class Run>
void runDifferences(const kcPelDifference& src, const kcGaussSampleParams& params, Run run) {
  src.a.requireBound();
  src.b.requireBound();
  const kcPelRect& w = src.a.window();
  if ((w & src.b.window()) != w || src.limit > 65535 || src.offset < src.limit ||
      Wide(src.offset) + src.limit > std::numeric_limits<std::uint32_t>::max())
    throw kcPelFunc::BadParams();
  const auto job = [&](auto rows) {
    return makeJob<unsigned>(rows, w, src.offset + src.limit, 2 * src.limit, params);
  };
  const auto limit = static_cast<int>(src.limit);
  const unsigned short* b = src.b.pointToPel(w.x(), w.y());
  if (src.limit < 65535)
    run(job(DifferenceRows<true>{src.a.pointToOffset(), src.a.rowUpdate(), b, src.b.rowUpdate(),
                                 limit, src.offset}));
  else
    run(job(DifferenceRows<false>{src.a.pointToOffset(), src.a.rowUpdate(), b, src.b.rowUpdate(),
                                  limit, src.offset}));
}

// A new image of the reduction of a source of window w and client-from-image
// transform f.
template <class Src, class Out>
kcPelBuffer<Out> reduction(Job<Src, Out>& job, const kcPelRect& w, const kcXform<2>& f) {
  kcPelBuffer<Out> dst(kcPelRect(0, 0, job.ax.count, job.ay.count), 32, kcForOverwrite{});
  const kcXform<2> reducedToSource = kcXform<2>::scaleAndTranslate(
      static_cast<double>(job.ax.step), static_cast<double>(job.ay.step),
      static_cast<double>(w.x()), static_cast<double>(w.y()));
  dst.clientFromImageXformBase(kc2XformLinear::handle(f * reducedToSource));
  job.x1 = job.ax.count;
  job.y1 = job.ay.count;
  job.dst = dst.pointToOffset();
  job.dstStride = dst.rowUpdate();
  runJob(job);
  return dst;
}

// The full-size smoothing handed over row by row.
template <class Src, class Out>
void rowsOf(Job<Src, Out>& job, const kcPelRect& w,
            const std::function<void(long, const Out*)>& rowDone) {
  std::vector<Out> row(static_cast<std::size_t>(w.width()));
  job.x1 = w.width();
  job.y1 = w.height();
  job.dst = row.data();
  job.dstStride = 0;
  job.rowDone = &rowDone;
  runJob(job);
}

}  // namespace

kcGaussSampleParams::kcGaussSampleParams(const kcPair<long>& sampling, const kcPair<long>& kernel,
                                         double scale)
    : sampling_(sampling), kernel_(kernel), scale_(scale) {
  const bool samplingOk = sampling.x() >= 1 && sampling.y() >= 1;
  const bool kernelOk =
      kernel.x() >= 0 && kernel.y() >= 0 && kernel.x() <= maxKernel && kernel.y() <= maxKernel;
  const bool scaleOk = scale >= 1.0 && scale <= maxScale && std::floor(scale) == scale;
  if (!samplingOk || !kernelOk || !scaleOk) throw kcPelFunc::BadParams();
}

template <class S>
kcPelBuffer<S> kfGaussSample(const kcPelBuffer_const<S>& src, const kcGaussSampleParams& params) {
  src.requireBound();
  Job<PelRows<S>, S> job = makeJob<S, S>(src, params);
  return reduction(job, src.window(), src.clientFromImageXform());
}

template <class S, class D>
void kfGaussSample(const kcPelBuffer_const<S>& src, kcPelBuffer<D>& dst,
                   const kcGaussSampleParams& params) {
  src.requireBound();
  if (!(params.sampling() == kcPair<long>(1, 1))) throw kcPelFunc::BadParams();
  if (!dst.isBound()) {
    dst = kcPelBuffer<D>(src.window(), 32, kcForOverwrite{});  // every pel is written
    dst.copyXforms(src);
  }
  const kcPelRect r = src.window() & dst.window();
  if (r.isNull()) return;
  Job<PelRows<S>, D> job = makeJob<S, D>(src, params);
  job.x0 = r.x() - src.window().x();
  job.y0 = r.y() - src.window().y();
  job.x1 = job.x0 + r.width();
  job.y1 = job.y0 + r.height();
  job.dst = dst.pointToPel(r.x(), r.y());
  job.dstStride = dst.rowUpdate();
  runJob(job);
}

template <class S, class D>
void kfGaussSampleRows(const kcPelBuffer_const<S>& src, const kcGaussSampleParams& params,
                       const std::function<void(long, const D*)>& rowDone) {
  src.requireBound();
  if (!(params.sampling() == kcPair<long>(1, 1))) throw kcPelFunc::BadParams();
  Job<PelRows<S>, D> job = makeJob<S, D>(src, params);
  rowsOf(job, src.window(), rowDone);
}

namespace {

// run(job) with the job of made rows over shape's window.
template <class S, class Out, class Run>
void runMadeRows(const kc_PelBuffer& shape, const kcGaussSampleParams& params,
                 const std::function<void(long, S*)>& makeRow, Run run) {
  shape.requireBound();
  const std::uint32_t most = params.largestPel();
  if (most == 0) throw kcPelFunc::BadParams();
  Job<MadeRowSource<S>, Out> job =
      makeJob<Out>(MadeRowSource<S>{nullptr}, shape.window(), most, most, params);
  MadeRows<S> made(makeRow, shape.width(), job.ay.box);
  job.src.made = &made;
  run(job);
}

}  // namespace

template <class S>
kcPelBuffer<S> kfGaussSampleMadeRows(const kc_PelBuffer& shape, const kcGaussSampleParams& params,
                                     const std::function<void(long, S*)>& makeRow) {
  kcPelBuffer<S> dst;
  runMadeRows<S, S>(shape, params, makeRow, [&](auto& job) {
    dst = reduction(job, shape.window(), shape.clientFromImageXform());
  });
  return dst;
}

template <class S, class D>
void kfGaussSampleRows(const kc_PelBuffer& shape, const kcGaussSampleParams& params,
                       const std::function<void(long, S*)>& makeRow,
                       const std::function<void(long, const D*)>& rowDone) {
  if (!(params.sampling() == kcPair<long>(1, 1))) throw kcPelFunc::BadParams();
  runMadeRows<S, D>(shape, params, makeRow,
                    [&](auto& job) { rowsOf(job, shape.window(), rowDone); });
}

kcPelBuffer<unsigned> kfGaussSample(const kcPelDifference& src, const kcGaussSampleParams& params) {
  kcPelBuffer<unsigned> dst;
  runDifferences(src, params, [&](auto job) {
    dst = reduction(job, src.a.window(), src.a.clientFromImageXform());
  });
  return dst;
}

void kfGaussSampleRows(const kcPelDifference& src, const kcGaussSampleParams& params,
                       const std::function<void(long, const unsigned*)>& rowDone) {
  runDifferences(src, params, [&](auto job) {
    if (!(params.sampling() == kcPair<long>(1, 1))) throw kcPelFunc::BadParams();
    rowsOf(job, src.a.window(), rowDone);
  });
}

template IMGNORM_API kcPelBuffer<unsigned char> kfGaussSample<unsigned char>(
    const kcPelBuffer_const<unsigned char>&, const kcGaussSampleParams&);
template IMGNORM_API void kfGaussSample<unsigned char, unsigned short>(
    const kcPelBuffer_const<unsigned char>&, kcPelBuffer<unsigned short>&,
    const kcGaussSampleParams&);
template IMGNORM_API void kfGaussSampleRows<unsigned char, unsigned short>(
    const kcPelBuffer_const<unsigned char>&, const kcGaussSampleParams&,
    const std::function<void(long, const unsigned short*)>&);
template IMGNORM_API kcPelBuffer<unsigned short> kfGaussSample<unsigned short>(
    const kcPelBuffer_const<unsigned short>&, const kcGaussSampleParams&);
template IMGNORM_API kcPelBuffer<unsigned short> kfGaussSampleMadeRows<unsigned short>(
    const kc_PelBuffer&, const kcGaussSampleParams&,
    const std::function<void(long, unsigned short*)>&);
template IMGNORM_API kcPelBuffer<unsigned int> kfGaussSampleMadeRows<unsigned int>(
    const kc_PelBuffer&, const kcGaussSampleParams&,
    const std::function<void(long, unsigned int*)>&);
template IMGNORM_API void kfGaussSampleRows<unsigned short, unsigned int>(
    const kc_PelBuffer&, const kcGaussSampleParams&,
    const std::function<void(long, unsigned short*)>&,
    const std::function<void(long, const unsigned int*)>&);
template IMGNORM_API void kfGaussSampleRows<unsigned int, unsigned int>(
    const kc_PelBuffer&, const kcGaussSampleParams&,
    const std::function<void(long, unsigned int*)>&,
    const std::function<void(long, const unsigned int*)>&);
template IMGNORM_API void kfGaussSampleRows<unsigned short, unsigned int>(
    const kcPelBuffer_const<unsigned short>&, const kcGaussSampleParams&,
    const std::function<void(long, const unsigned int*)>&);
template IMGNORM_API kcPelBuffer<unsigned int> kfGaussSample<unsigned int>(
    const kcPelBuffer_const<unsigned int>&, const kcGaussSampleParams&);
template IMGNORM_API void kfGaussSample<unsigned int, unsigned int>(
    const kcPelBuffer_const<unsigned int>&, kcPelBuffer<unsigned int>&, const kcGaussSampleParams&);
template IMGNORM_API void kfGaussSampleRows<unsigned int, unsigned int>(
    const kcPelBuffer_const<unsigned int>&, const kcGaussSampleParams&,
    const std::function<void(long, const unsigned int*)>&);
