#include "imgnorm/detail/local_correction.h"

#include <algorithm>
#include <functional>
#include <type_traits>
#include <vector>

#include "host/assert.h"
#include "host/attention.h"
#include "imaging/gauss_sample.h"
#include "imaging/median.h"
#include "imaging/pel_copy.h"
#include "imaging/pel_min.h"
#include "imgnorm/detail/trained_data.h"
#include "pelfuncs/buffer_compare.h"
#include "pelfuncs/clamped_arithmetic.h"
#include "pelfuncs/masked_copy_divide.h"
#include "pelfuncs/padded_affine_sample.h"
#include "pelfuncs/pel_map_value.h"
#include "pelfuncs/pel_ratio.h"

using namespace kcImageNormalizerDefs;

namespace imgnorm {

namespace {

// A field row of the differences that background codes b with an offset
// of none stand for.
template <class Code>
void differencesOf(const Code* b, Code none, int* out, long n) {
  for (long x = 0; x < n; ++x) out[x] = static_cast<int>(b[x]) - static_cast<int>(none);
}

// A field of differences, or of ratios.
void keepField(const kcPelBuffer<int>& rows, kcCorrectionField& field) {
  field = {eSubtract, rows, {}};
}
void keepField(const kcPelBuffer<float>& rows, kcCorrectionField& field) {
  field = {eDivide, {}, rows};
}

// What the steps below do differently at each depth. 8-bit pels: offset-128
// differences of 8 bits clamped to +-127, fixed-point sums of 16 bits. 16-bit
// pels: differences of 17 bits held in 32-bit pels with an offset of 2^16,
// clamped to the depth's top level, and 32-bit sums.
struct NarrowDepth {
  using Pel = unsigned char;
  using Difference = unsigned char;
  using Sum = unsigned short;
  static constexpr Difference none = 128;
  // The differences are stored whole before they are read (see RatioDepth).
  static constexpr bool makesComparedRows = false;

  // The limit of the difference: the larger magnitude of the range,
  // saturated to what an 8-bit limit can say.
  void difference(const kcPelBuffer_const<Pel>& s, const kcPelBuffer_const<Pel>& r,
                  const kcPair<long>& range, kcPelBuffer<Difference>& d) const {
    const kcPair<long> m = meaningfulRange(range);
    d = kfPelCopy(s);
    kf_PelSubClamp(d, r, static_cast<unsigned char>(std::max(-m.x(), m.y())));
  }
  void zeroOutsideMask(kcPelBuffer<Difference>& d,
                       const kcPelBuffer_const<unsigned char>& m) const {
    kfPelMin(d, m, d);
  }
  void neutralOutsideMask(kcPelBuffer<Difference>& d,
                          const kcPelBuffer_const<unsigned char>& m) const {
    d = kfPelMin(d, m);
    kcAttention::check();
    kf_PelMapValue(d, 0, none);
  }
  // The sums carry fixedPointShift fractional bits; an unmasked mean is
  // the sum shifted down.
  static constexpr int unmaskedShift = fixedPointShift;
  template <class RowDone>
  void smoothRows(const kcPelBuffer_const<Difference>& d, const kcPair<long>& reduced, bool,
                  RowDone&& rowDone) const {
    smoothRowsToFixedPoint(d, reduced, rowDone);
  }
  kcPelBuffer<Difference> reduce(const kcPelBuffer_const<Difference>& d,
                                 const kcPair<long>& g) const {
    return kfGaussSample<Difference>(d, kcGaussSampleParams(g, g - kcPair<long>(1, 1), 1.0));
  }
  // Outside the mask the background stays 0, half the range below none.
  void maskedMeanRow(const Sum* t, const unsigned short* w, const unsigned char* m, long n,
                     Difference* out) const {
    std::fill(out, out + n, 0);
    kf_MaskedPelDivideRow(t, w, m, n, 255, out);
  }
  void correctRow(const Pel* s, const Difference* b, Pel* out, long n) const {
    kf_PelSubClampSignedRow(s, b, out, n);
  }
  using Field = int;
  void fieldRow(const Difference* b, Field* out, long n) const { differencesOf(b, none, out, n); }
  kcPelMedianParams medianParams(const kcPair<long>& kernel, const kcPair<long>& range) const {
    const kcPair<long> m = meaningfulRange(range);
    return {kernel, {std::max(none + m.x(), 0L), std::min(none + m.y(), 255L)}};
  }
};

// The steps codes share, whatever they stand for: 32-bit codes of up to 17
// bits, or 12-bit ratio codes in 16-bit pels. none is the code of no
// correction, largest() bounds every code, and so every mean or median of
// them, so the smoothing need not read the image for its bound. Sums are
// 32-bit.
template <class Code, unsigned None>
struct WideCodes {
  using Difference = Code;
  using Sum = unsigned;
  static constexpr Difference none = None;
  static constexpr bool makesComparedRows = false;
  unsigned largestCode;

  unsigned largest() const { return largestCode; }
  void zeroOutsideMask(kcPelBuffer<Difference>& d,
                       const kcPelBuffer_const<unsigned char>& m) const {
    kf_PelSetOutsideMask(d, m, 0);
  }
  void neutralOutsideMask(kcPelBuffer<Difference>& d,
                          const kcPelBuffer_const<unsigned char>& m) const {
    kf_PelSetOutsideMask(d, m, none);
  }
  // Masked sums carry fixedPointShift fractional bits for the division by
  // the weights; an unmasked mean is rounded whole at once, which keeps
  // the sums of kernels up to about 100 pels in the faster division.
  static constexpr int unmaskedShift = 0;
  template <class RowDone>
  void smoothRows(const kcPelBuffer_const<Difference>& d, const kcPair<long>& reduced, bool masked,
                  RowDone&& rowDone) const {
    smoothRowsToFixedPoint(d, reduced, largest(), masked ? fixedPointShift : 0, rowDone);
  }
  kcPelBuffer<Difference> reduce(const kcPelBuffer_const<Difference>& d,
                                 const kcPair<long>& g) const {
    kcGaussSampleParams params(g, g - kcPair<long>(1, 1), 1.0);
    params.largestPel(largest());
    return kfGaussSample<Difference>(d, params);
  }
  // One row of a masked mean; background elsewhere.
  void maskedMeanRow(const Sum* t, const unsigned short* w, const unsigned char* m, long n,
                     Difference background, Difference* out) const {
    std::fill(out, out + n, background);
    kf_MaskedPelDivideRow(t, w, m, n, 255, out);
  }
  // Codes for a row of levels a over b, by compare(a, b, out, n).
  template <class Pel, class Compare>
  static void compareRows(const kcPelBuffer_const<Pel>& s, const kcPelBuffer_const<Pel>& r,
                          kcPelBuffer<Difference>& d, Compare compare) {
    d = kcPelBuffer<Difference>(s.window(), 32, kcForOverwrite{});
    d.copyXforms(s);
    const kcPelRect& w = s.window();
    for (long y = w.y(); y < w.bottom(); ++y)
      compare(s.pointToPel(w.x(), y), r.pointToPel(w.x(), y), d.pointToPel(w.x(), y), w.width());
  }
};

struct WideDepth : WideCodes<unsigned, wideDifferenceOffset> {
  using Pel = unsigned short;
  int bits;
  unsigned limit;  // of the differences' magnitude

  WideDepth(int b, const kcPair<long>& range)
      : WideCodes{0},
        bits(b),
        limit(static_cast<unsigned>(std::min(std::max(-range.x(), range.y()), top()))) {
    largestCode = none + limit;
  }
  long top() const { return (1L << bits) - 1; }

  void difference(const kcPelBuffer_const<Pel>& s, const kcPelBuffer_const<Pel>& r,
                  const kcPair<long>&, kcPelBuffer<Difference>& d) const {
    compareRows(s, r, d, [this](const Pel* a, const Pel* b, Difference* out, long n) {
      kf_PelSubClampWideRow(a, b, limit, out, n);
    });
  }
  // The same differences, worked out where a smoothing reads them.
  kcPelDifference unstoredDifference(const kcPelBuffer_const<Pel>& s,
                                     const kcPelBuffer_const<Pel>& r) const {
    return {s, r, limit, none};
  }
  // The reduction of reduce, of the unstored differences.
  kcPelBuffer<Difference> reduce(const kcPelDifference& d, const kcPair<long>& g) const {
    return kfGaussSample(d, kcGaussSampleParams(g, g - kcPair<long>(1, 1), 1.0));
  }
  using WideCodes::reduce;
  // Outside the mask the background is half the depth's range below none,
  // as at 8 bits.
  void maskedMeanRow(const Sum* t, const unsigned short* w, const unsigned char* m, long n,
                     Difference* out) const {
    WideCodes::maskedMeanRow(t, w, m, n, none - (1u << (bits - 1)), out);
  }
  void correctRow(const Pel* s, const Difference* b, Pel* out, long n) const {
    kf_PelSubClampSignedRow(s, b, static_cast<unsigned short>(top()), out, n);
  }
  using Field = int;
  void fieldRow(const Difference* b, Field* out, long n) const { differencesOf(b, none, out, n); }
  kcPelMedianParams medianParams(const kcPair<long>& kernel, const kcPair<long>& range) const {
    const long lo = std::max(range.x(), -top()), hi = std::min(range.y(), top());
    return {kernel, {long(none) + lo, long(none) + hi}, kcPelMedianParams::maxWideLevel};
  }
};

// The log-ratio codes of a depth (pelfuncs/pel_ratio.h): 12-bit ones in
// 16-bit pels for 8-bit images, which the 8-bit path's sums and the 4096
// level median take, 17-bit ones in 32-bit pels for wider images.
template <class P>
struct RatioCodes {
  using Code = unsigned;
  static constexpr unsigned zero = logRatioZero, largest = logRatioLargest;
  static void compare(const P* a, const P* b, unsigned bias, Code* out, long n) {
    kf_PelLogRatioRow(a, b, bias, out, n);
  }
  static void divide(const P* s, const Code* c, P top, P* out, long n) {
    kf_PelDivideByLogRatioRow(s, c, top, out, n);
  }
};
template <>
struct RatioCodes<unsigned char> {
  using Code = unsigned short;
  static constexpr unsigned zero = narrowLogRatioZero, largest = narrowLogRatioLargest;
  // The bias of 8-bit levels is 1, their top 255.
  static void compare(const unsigned char* a, const unsigned char* b, unsigned, Code* out, long n) {
    kf_PelLogRatioRow(a, b, out, n);
  }
  static void divide(const unsigned char* s, const Code* c, unsigned char, unsigned char* out,
                     long n) {
    kf_PelDivideByLogRatioRow(s, c, out, n);
  }
};

// The divide model at either depth: the ratio image / reference as log
// codes (pelfuncs/pel_ratio.h), smoothed and taken medians of as the wide
// differences are, and the image divided by the ratio of the result. A
// smoothed code is the code of a weighted geometric mean of the ratios, so
// a few pels whose ratio is far off in either direction (an object that
// moved, a label's other text) pull it little. The intensity variation
// range bounds differences only; ratios keep the codes' whole span. Dark
// pels: both levels gain a bias of one 8-bit level's worth (2^(bits - 8),
// at least 1) before they are divided, so black over black is a ratio of
// exactly 1 and a pel of a few levels cannot pull the smoothed gain far.
// Outside the mask the ratio is 1: those pels keep their levels.
template <class P>
struct RatioDepth : WideCodes<typename RatioCodes<P>::Code, RatioCodes<P>::zero> {
  using Pel = P;
  using Codes = RatioCodes<P>;
  using Difference = typename Codes::Code;
  using Sum = unsigned;
  int bits;

  explicit RatioDepth(int b) : WideCodes<Difference, Codes::zero>{Codes::largest}, bits(b) {}
  long top() const { return (1L << bits) - 1; }
  unsigned bias() const { return bits > 8 ? 1u << (bits - 8) : 1u; }

  // Codes that only a reduction or an unmasked smoothing reads are made
  // row by row as it reads them, never stored whole: the same codes, so the
  // same result, without writing and reading back the codes' bytes (two or
  // four for each pel of the image).
  static constexpr bool makesComparedRows = true;
  std::function<void(long, Difference*)> comparedRows(const kcPelBuffer_const<Pel>& s,
                                                      const kcPelBuffer_const<Pel>& r) const {
    const kcPelRect w = s.window();
    return [this, s, r, w](long j, Difference* out) {
      Codes::compare(s.pointToPel(w.x(), w.y() + j), r.pointToPel(w.x(), w.y() + j), bias(), out,
                     w.width());
    };
  }
  kcPelBuffer<Difference> reduceCompared(const kcPelBuffer_const<Pel>& s,
                                         const kcPelBuffer_const<Pel>& r,
                                         const kcPair<long>& g) const {
    kcGaussSampleParams params(g, g - kcPair<long>(1, 1), 1.0);
    params.largestPel(this->largest());
    return kfGaussSampleMadeRows<Difference>(s, params, comparedRows(s, r));
  }
  // Unmasked means at full size of the codes of s over r, handed to
  // rowDone(j, means) row by row.
  template <class RowDone>
  void smoothCompared(const kcPelBuffer_const<Pel>& s, const kcPelBuffer_const<Pel>& r,
                      const kcPair<long>& reduced, RowDone&& rowDone) const {
    // An unmasked mean is the rounded sum itself.
    static_assert(WideCodes<Difference, Codes::zero>::unmaskedShift == 0);
    std::vector<Difference> means(static_cast<std::size_t>(s.window().width()));
    smoothRowsToFixedPoint<Difference>(s, reduced, this->largest(), 0, comparedRows(s, r),
                                       [&](long j, const unsigned* t) {
                                         std::copy(t, t + means.size(), means.begin());
                                         rowDone(j, means.data());
                                       });
  }

  void difference(const kcPelBuffer_const<Pel>& s, const kcPelBuffer_const<Pel>& r,
                  const kcPair<long>&, kcPelBuffer<Difference>& d) const {
    this->compareRows(s, r, d, [this](const Pel* a, const Pel* b, Difference* out, long n) {
      Codes::compare(a, b, bias(), out, n);
    });
  }
  void maskedMeanRow(const Sum* t, const unsigned short* w, const unsigned char* m, long n,
                     Difference* out) const {
    WideCodes<Difference, Codes::zero>::maskedMeanRow(t, w, m, n, Codes::zero, out);
  }
  void correctRow(const Pel* s, const Difference* b, Pel* out, long n) const {
    Codes::divide(s, b, static_cast<Pel>(top()), out, n);
  }
  using Field = float;
  void fieldRow(const Difference* b, Field* out, long n) const { kf_LogRatioValuesRow(b, out, n); }
  kcPelMedianParams medianParams(const kcPair<long>& kernel, const kcPair<long>&) const {
    return {kernel, {0, long(Codes::largest)}, long(Codes::largest)};
  }
};

// Where corrected rows go: row j of s corrected by a background row (s -
// (background - none), or s divided by the background's ratio) into out,
// and what was applied into field when one is asked for (bound).
template <class Depth>
struct CorrectedRows {
  const Depth& depth;
  kcPelBuffer_const<typename Depth::Pel> s;
  kcPelBuffer<typename Depth::Pel> out;
  kcPelBuffer<typename Depth::Field> field;

  const kcPelRect& window() const { return s.window(); }
  void operator()(long j, const typename Depth::Difference* background) const {
    const kcPelRect& r = s.window();
    depth.correctRow(s.pointToPel(r.x(), r.y() + j), background, out.pointToPel(r.x(), r.y() + j),
                     r.width());
    if (field.isBound()) depth.fieldRow(background, field.pointToPel(r.x(), r.y() + j), r.width());
  }
};

// rows corrected by the background b over their window. A reduced
// background is stretched over that window as it goes, so no enlarged copy
// of it is ever stored.
template <class Depth>
void applyBackground(const CorrectedRows<Depth>& rows, kcPelBuffer<typename Depth::Difference>& b,
                     bool reduced) {
  const kcPelRect& w = rows.window();
  if (reduced) {
    b.clientFromImageXformBase(std::make_shared<kc2XformLinear>());
    kf_PaddedAffineSampleRows(b, w.width(), w.height(), false, rows);
    return;
  }
  KC_ASSERT(b.window() == w);
  for (long j = 0; j < w.height(); ++j) rows(j, b.pointToPel(w.x(), w.y() + j));
}

}  // namespace

LocalCorrectionInputs localInputsOf(const kcImageNormalizer& tool) {
  return {tool.referenceImage(),
          tool.wideReferenceImage(),
          tool.bits(),
          tool.binaryMask(),
          tool.sampledMask(),
          tool.maskWeights(),
          tool.neighborhoodSize(),
          tool.granularity(),
          tool.intensityVariationRange(),
          tool.model()};
}

LocalCorrectionInputs inputsForRect(const LocalCorrectionInputs& in, const kcPelRect& rect,
                                    Method method) {
  LocalCorrectionInputs out = in;
  if (!in.binaryMask.isBound() || rect == in.binaryMask.window()) return out;
  kcPelBuffer_const<unsigned char> cut = in.binaryMask;
  cut.window(rect, false);
  const kcPelBuffer<unsigned char> mask = kfPelCopy(cut);
  out.binaryMask = mask;
  const bool subsampling = usesSubsampling(in.neighborhoodSize, in.granularity);
  const kcPelBuffer<unsigned char> reducedMask =
      subsampling ? reduceBinaryMask(mask, in.granularity) : mask;
  if (subsampling) out.sampledMask = reducedMask;
  out.maskWeights = {};
  if (method == eLocalCorrection) {
    kcPelBuffer<unsigned short> weights;
    smoothToFixedPoint(reducedMask, reducedNeighborhood(in.neighborhoodSize, in.granularity),
                       weights);
    out.maskWeights = weights;
  }
  return out;
}

kcPair<long> medianKernel(const kcPair<long>& p) {
  KC_ASSERT(p.x() >= 1 && p.y() >= 1);
  constexpr long kMaxArea = 32767;
  const auto oddFloor = [](long v) { return v % 2 ? v : v - 1; };
  long kx = p.x() | 1, ky = p.y() | 1;
  // The larger side shrinks by 2 (y on a tie) while the area is too large.
  // Long runs of steps are taken at once, which also keeps the area from
  // overflowing: a lone side down to the other or to the area's bound, and
  // square kernels down to 183, above the first square that fits (181).
  constexpr long kSquareStart = 183;
  while (kx > kMaxArea / ky) {
    if (kx > ky)
      kx = std::max(ky, oddFloor(kMaxArea / ky));
    else if (ky > kx)
      ky = std::max(kx, oddFloor(kMaxArea / kx));
    else if (ky > kSquareStart)
      kx = ky = kSquareStart;
    else
      ky -= 2;
  }
  return {kx, ky};
}

namespace {

// Replaces d by its reduction by the granularity; for eLocalCorrection pels
// outside a bound mask first become the neutral difference.
template <class Depth>
void subsampleDifference(const Depth& depth, kcPelBuffer<typename Depth::Difference>& d,
                         const kcPelBuffer_const<unsigned char>& m, const kcPair<long>& g,
                         Method method) {
  if (!isSubsampling(g)) return;
  if (m.isBound() && method == eLocalCorrection) {
    depth.neutralOutsideMask(d, m);
    kcAttention::check();
  }
  d = depth.reduce(d, g);
}

// The pels outside the mask add nothing to the sums.
template <class Depth>
void maskDifference(const Depth& depth, kcPelBuffer<typename Depth::Difference>& d,
                    const kcPelBuffer_const<unsigned char>& m,
                    const kcPelBuffer_const<unsigned short>& w) {
  if (!m.isBound()) return;
  KC_ASSERT(m.window() == d.window() && w.isBound() && w.window() == d.window());
  depth.zeroOutsideMask(d, m);
  kcAttention::check();
}

// Background row j of d's window from its row of fixed-point sums t: their
// mean over the mask (normalized by the weights w) or over all pels.
template <class Depth>
void backgroundRow(const Depth& depth, const kcPelRect& r, long j, const typename Depth::Sum* t,
                   const kcPelBuffer_const<unsigned char>& m,
                   const kcPelBuffer_const<unsigned short>& w, typename Depth::Difference* out) {
  if (m.isBound()) {
    depth.maskedMeanRow(t, w.pointToPel(r.x(), r.y() + j), m.pointToPel(r.x(), r.y() + j),
                        r.width(), out);
    return;
  }
  for (long x = 0; x < r.width(); ++x)
    out[x] = static_cast<typename Depth::Difference>(t[x] >> Depth::unmaskedShift);
}

// Gaussian average of d over the pels of m (normalized convolution with the
// mask weights w, all over d's window), or of all pels when m is unbound.
// d's pels outside the mask become 0. background becomes a new buffer over
// d's window with d's transforms.
template <class Depth>
void smoothedBackground(const Depth& depth, kcPelBuffer<typename Depth::Difference>& d,
                        const kcPelBuffer_const<unsigned char>& m,
                        const kcPelBuffer_const<unsigned short>& w, const kcPair<long>& reduced,
                        kcPelBuffer<typename Depth::Difference>& background) {
  maskDifference(depth, d, m, w);
  const kcPelRect r = d.window();
  background = kcPelBuffer<typename Depth::Difference>(r, 32);
  background.copyXforms(d);
  depth.smoothRows(d, reduced, m.isBound(), [&](long j, const typename Depth::Sum* t) {
    backgroundRow(depth, r, j, t, m, w, background.pointToPel(r.x(), r.y() + j));
  });
}

// At full resolution: rows corrected by the smoothed background of d, row
// by row, without storing the background or the sums whole. rows and d
// share a window; m and w as for smoothedBackground.
template <class Depth>
void applySmoothedBackground(const CorrectedRows<Depth>& rows,
                             kcPelBuffer<typename Depth::Difference>& d,
                             const kcPelBuffer_const<unsigned char>& m,
                             const kcPelBuffer_const<unsigned short>& w,
                             const kcPair<long>& reduced) {
  using Difference = typename Depth::Difference;
  const Depth& depth = rows.depth;
  maskDifference(depth, d, m, w);
  const kcPelRect r = d.window();
  KC_ASSERT(rows.window() == r);
  // Background rows wait in a ring until the smoothing has read the
  // difference at their place for the last time (once row j is handed over,
  // the rows above j - lag are free); then the result row is written. The
  // ring holds rows j - lag - 1 .. j.
  const long lag = std::min(smoothRowsLag(reduced), r.height());
  const long ringRows = lag + 2;
  std::vector<Difference> ring(static_cast<std::size_t>(ringRows * r.width()));
  const auto ringRow = [&](long j) { return ring.data() + (j % ringRows) * r.width(); };
  const auto correctRow = [&](long j) { rows(j, ringRow(j)); };
  depth.smoothRows(d, reduced, m.isBound(), [&](long j, const typename Depth::Sum* t) {
    backgroundRow(depth, r, j, t, m, w, ringRow(j));
    if (j > lag) correctRow(j - lag - 1);
  });
  for (long j = std::max(r.height() - lag - 1, 0L); j < r.height(); ++j) correctRow(j);
}

// Median of the differences within the intensity variation range.
template <class Depth>
void medianBackground(const Depth& depth, const kcPelBuffer_const<typename Depth::Difference>& d,
                      const kcPelBuffer_const<unsigned char>& m, const kcPair<long>& reduced,
                      const kcPair<long>& range, kcPelBuffer<typename Depth::Difference>& b) {
  if (reduced.x() <= 1 && reduced.y() <= 1) {
    b = kfPelCopy(d);
    return;
  }
  const kcPelMedianParams params = depth.medianParams(medianKernel(reduced), range);
  if (m.isBound())
    kfPelMedian(d, m, params, b);
  else
    kfPelMedian(d, params, b);
}

template <class Depth>
void correct(const Depth& depth, const kcPelBuffer_const<typename Depth::Pel>& region,
             const kcPelBuffer_const<typename Depth::Pel>& reference,
             const LocalCorrectionInputs& in, Method method,
             kcPelBuffer<typename Depth::Pel>& result, kcCorrectionField* field) {
  using Pel = typename Depth::Pel;
  using Difference = typename Depth::Difference;
  kcPelRect rect = region.window() & reference.window();
  if (in.binaryMask.isBound()) rect &= in.binaryMask.window();
  const LocalCorrectionInputs local = inputsForRect(in, rect, method);
  kcPelBuffer_const<Pel> s = region, r = reference;
  const kcPelBuffer_const<unsigned char> m = local.binaryMask;
  s.window(rect, false);
  r.window(rect, false);
  KC_ASSERT(in.intensityVariationRange.x() <= 0 && in.intensityVariationRange.y() >= 0);
  KC_ASSERT(!result.isBound() || result.root() != s.root());

  const bool subsampling = usesSubsampling(in.neighborhoodSize, in.granularity);
  // Codes that only a reduction or an unmasked smoothing reads need not be
  // stored (neutral or zero codes outside a mask are set over stored ones;
  // the median reads stored ones).
  bool makesComparedRows = false;
  if constexpr (Depth::makesComparedRows)
    makesComparedRows =
        !(m.isBound() && method == eLocalCorrection) && (subsampling || method == eLocalCorrection);
  kcPelBuffer<Difference> d;
  if (!makesComparedRows) depth.difference(s, r, in.intensityVariationRange, d);
  kcAttention::check();
  // The result: over d where both have one pel type, as d's pels are read
  // for the last time just before the result's are written.
  kcPelBuffer<Pel> out;
  if constexpr (std::is_same_v<Pel, Difference>)
    out = d;
  else
    out = kcPelBuffer<Pel>(rect, 32, kcForOverwrite{});

  // The mask at the resolution the background is computed at.
  const kcPelBuffer_const<unsigned char> backgroundMask = subsampling ? local.sampledMask : m;
  kcPelBuffer<Difference> difference = d;
  if constexpr (Depth::makesComparedRows)
    if (makesComparedRows && subsampling) difference = depth.reduceCompared(s, r, in.granularity);
  if (subsampling && !makesComparedRows)
    subsampleDifference(depth, difference, m, in.granularity, method);
  kcAttention::check();

  const kcPair<long> reduced = reducedNeighborhood(in.neighborhoodSize, in.granularity);
  KC_ASSERT(method == eLocalCorrection || method == eLocalCorrectionEnhanced);
  CorrectedRows<Depth> rows{depth, s, out, {}};
  if (field) {
    rows.field = kcPelBuffer<typename Depth::Field>(rect, 32, kcForOverwrite{});
    rows.field.copyXforms(s);
  }
  if (method == eLocalCorrection && !subsampling && makesComparedRows) {
    // The image is not written, so each row is corrected as soon as its
    // background is known.
    if constexpr (Depth::makesComparedRows)
      depth.smoothCompared(s, r, reduced, [&](long j, const Difference* b) { rows(j, b); });
  } else if (method == eLocalCorrection && !subsampling) {
    applySmoothedBackground(rows, d, backgroundMask, local.maskWeights, reduced);
  } else {
    kcPelBuffer<Difference> b;
    if (method == eLocalCorrection)
      smoothedBackground(depth, difference, backgroundMask, local.maskWeights, reduced, b);
    else
      medianBackground(depth, difference, backgroundMask, reduced, in.intensityVariationRange, b);
    kcAttention::check();
    applyBackground(rows, b, subsampling);
  }
  kcAttention::check();

  result = out;
  result.copyXforms(s);
  if (field) keepField(rows.field, *field);
}

// The subtract model at 16 bits where no mask changes the differences
// before the smoothing or the reduction reads them: unmasked Gaussian
// means at full size, and every reduction but that of masked Gaussian
// means (which makes the pels outside the mask neutral first). The
// smoothing or the reduction works each difference out from the image and
// the reference where it reads it, so that their 32-bit pels, four bytes
// for each pel of the image, are neither written nor read back. The same
// pels as correct gives; false, with nothing done, in the other cases.
bool correctUnstored(const WideDepth& depth, const kcPelBuffer_const<unsigned short>& region,
                     const kcPelBuffer_const<unsigned short>& reference,
                     const LocalCorrectionInputs& in, Method method,
                     kcPelBuffer<unsigned short>& result, kcCorrectionField* field) {
  using Pel = WideDepth::Pel;
  using Difference = WideDepth::Difference;
  const bool subsampling = usesSubsampling(in.neighborhoodSize, in.granularity);
  const bool masked = in.binaryMask.isBound();
  const bool fullSizeMean = method == eLocalCorrection && !subsampling && !masked;
  if (!fullSizeMean && !(subsampling && (!masked || method == eLocalCorrectionEnhanced)))
    return false;
  kcPelRect rect = region.window() & reference.window();
  if (masked) rect &= in.binaryMask.window();
  const LocalCorrectionInputs local = inputsForRect(in, rect, method);
  kcPelBuffer_const<Pel> s = region, r = reference;
  s.window(rect, false);
  r.window(rect, false);
  KC_ASSERT(in.intensityVariationRange.x() <= 0 && in.intensityVariationRange.y() >= 0);

  kcPelBuffer<Pel> out(rect, 32, kcForOverwrite{});
  CorrectedRows<WideDepth> rows{depth, s, out, {}};
  if (field) {
    rows.field = kcPelBuffer<WideDepth::Field>(rect, 32, kcForOverwrite{});
    rows.field.copyXforms(s);
  }
  const kcPelDifference d = depth.unstoredDifference(s, r);
  const kcPair<long> reduced = reducedNeighborhood(in.neighborhoodSize, in.granularity);
  if (fullSizeMean) {
    // The image is not written, so each row is corrected as soon as its
    // background is known: an unmasked mean is the rounded sum itself.
    static_assert(WideDepth::unmaskedShift == 0);
    smoothRowsToFixedPoint(d, reduced, 0, [&](long j, const Difference* t) { rows(j, t); });
  } else {
    kcPelBuffer<Difference> difference = depth.reduce(d, in.granularity);
    kcAttention::check();
    const kcPelBuffer_const<unsigned char> backgroundMask = local.sampledMask;
    kcPelBuffer<Difference> b;
    if (method == eLocalCorrection)
      smoothedBackground(depth, difference, backgroundMask, local.maskWeights, reduced, b);
    else
      medianBackground(depth, difference, backgroundMask, reduced, in.intensityVariationRange, b);
    kcAttention::check();
    applyBackground(rows, b, true);
  }
  kcAttention::check();
  result = out;
  result.copyXforms(s);
  if (field) keepField(rows.field, *field);
  return true;
}

}  // namespace

void localCorrection(const kcPelBuffer_const<unsigned char>& region,
                     const LocalCorrectionInputs& in, Method method,
                     kcPelBuffer<unsigned char>& result, kcCorrectionField* field) {
  if (in.model == eDivide)
    correct(RatioDepth<unsigned char>(8), region, in.reference, in, method, result, field);
  else
    correct(NarrowDepth{}, region, in.reference, in, method, result, field);
}

void localCorrection(const kcPelBuffer_const<unsigned short>& region,
                     const LocalCorrectionInputs& in, Method method,
                     kcPelBuffer<unsigned short>& result, kcCorrectionField* field) {
  if (in.model == eDivide)
    correct(RatioDepth<unsigned short>(in.bits), region, in.wideReference, in, method, result,
            field);
  else if (const WideDepth depth(in.bits, in.intensityVariationRange);
           !correctUnstored(depth, region, in.wideReference, in, method, result, field))
    correct(depth, region, in.wideReference, in, method, result, field);
}

}  // namespace imgnorm
