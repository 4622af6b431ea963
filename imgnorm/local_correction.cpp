#include "imgnorm/detail/local_correction.h"

#include <algorithm>
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
#include "pelfuncs/pel_map_value.h"
#include "pelfuncs/masked_copy_divide.h"
#include "pelfuncs/padded_affine_sample.h"

using namespace kcImageNormalizerDefs;

namespace imgnorm {

namespace {

// The limit of the difference image: the larger magnitude of the range,
// saturated to what an 8-bit limit can say.
unsigned char differenceLimit(const kcPair<long>& range) {
  const kcPair<long> r = imgnorm::meaningfulRange(range);
  return static_cast<unsigned char>(std::max(-r.x(), r.y()));
}

// result <- s - (background - 128) row by row over s's window. A reduced
// background is stretched over that window as it goes, so no enlarged copy
// of it is ever stored.
void subtractBackground(const kcPelBuffer_const<unsigned char>& s, kcPelBuffer<unsigned char>& b,
                        bool reduced, const kcPelBuffer<unsigned char>& result) {
  const kcPelRect& w = s.window();
  const auto subtractRow = [&](long j, const unsigned char* background) {
    kf_PelSubClampSignedRow(s.pointToPel(w.x(), w.y() + j), background,
                            result.pointToPel(w.x(), w.y() + j), w.width());
  };
  if (reduced) {
    b.clientFromImageXformBase(std::make_shared<kc2XformLinear>());
    kf_PaddedAffineSampleRows(b, w.width(), w.height(), false, subtractRow);
    return;
  }
  KC_ASSERT(b.window() == w);
  for (long j = 0; j < w.height(); ++j) subtractRow(j, b.pointToPel(w.x(), w.y() + j));
}

}  // namespace

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

void subsampleDifference(kcPelBuffer<unsigned char>& d, const kcPelBuffer_const<unsigned char>& m,
                         const kcPair<long>& g, Method method) {
  if (!isSubsampling(g)) return;
  if (m.isBound() && method == eLocalCorrection) {
    d = kfPelMin(d, m);
    kcAttention::check();
    kf_PelMapValue(d, 0, 128);
    kcAttention::check();
  }
  d = kfGaussSample<unsigned char>(d, kcGaussSampleParams(g, g - kcPair<long>(1, 1), 1.0));
}

namespace {

// The pels outside the mask add nothing to the sums.
void maskDifference(kcPelBuffer<unsigned char>& d, const kcPelBuffer_const<unsigned char>& m,
                    const kcPelBuffer_const<unsigned short>& w) {
  if (!m.isBound()) return;
  KC_ASSERT(m.window() == d.window() && w.isBound() && w.window() == d.window());
  kfPelMin(d, m, d);
  kcAttention::check();
}

// Background row j of d's window from its row of fixed-point sums t: their
// mean over the mask (normalized by the weights w; 0 outside the mask, as
// the masked difference is there) or over all pels.
void backgroundRow(const kcPelRect& r, long j, const unsigned short* t,
                   const kcPelBuffer_const<unsigned char>& m,
                   const kcPelBuffer_const<unsigned short>& w, unsigned char* out) {
  if (m.isBound()) {
    std::fill(out, out + r.width(), 0);
    kf_MaskedPelDivideRow(t, w.pointToPel(r.x(), r.y() + j), m.pointToPel(r.x(), r.y() + j),
                          r.width(), 255, out);
    return;
  }
  for (long x = 0; x < r.width(); ++x) out[x] = static_cast<unsigned char>(t[x] >> fixedPointShift);
}

}  // namespace

void smoothedBackground(kcPelBuffer<unsigned char>& d, const kcPelBuffer_const<unsigned char>& m,
                        const kcPelBuffer_const<unsigned short>& w, const kcPair<long>& reduced,
                        kcPelBuffer<unsigned char>& background) {
  maskDifference(d, m, w);
  const kcPelRect r = d.window();
  background = kcPelBuffer<unsigned char>(r, 32);
  background.copyXforms(d);
  smoothRowsToFixedPoint(d, reduced, [&](long j, const unsigned short* t) {
    backgroundRow(r, j, t, m, w, background.pointToPel(r.x(), r.y() + j));
  });
}

void subtractSmoothedBackground(const kcPelBuffer_const<unsigned char>& s,
                                kcPelBuffer<unsigned char>& d,
                                const kcPelBuffer_const<unsigned char>& m,
                                const kcPelBuffer_const<unsigned short>& w,
                                const kcPair<long>& reduced) {
  maskDifference(d, m, w);
  const kcPelRect r = d.window();
  KC_ASSERT(s.window() == r);
  // Background rows wait in a ring until the smoothing has read the
  // difference at their place for the last time (once row j is handed over,
  // the rows above j - lag are free); then the result row replaces it
  // there. The ring holds rows j - lag - 1 .. j.
  const long lag = std::min(smoothRowsLag(reduced), r.height());
  const long ringRows = lag + 2;
  std::vector<unsigned char> ring(static_cast<std::size_t>(ringRows * r.width()));
  const auto ringRow = [&](long j) { return ring.data() + (j % ringRows) * r.width(); };
  const auto subtractRow = [&](long j) {
    kf_PelSubClampSignedRow(s.pointToPel(r.x(), r.y() + j), ringRow(j),
                            d.pointToPel(r.x(), r.y() + j), r.width());
  };
  smoothRowsToFixedPoint(d, reduced, [&](long j, const unsigned short* t) {
    backgroundRow(r, j, t, m, w, ringRow(j));
    if (j > lag) subtractRow(j - lag - 1);
  });
  for (long j = std::max(r.height() - lag - 1, 0L); j < r.height(); ++j) subtractRow(j);
}

void medianBackground(const kcPelBuffer_const<unsigned char>& d,
                      const kcPelBuffer_const<unsigned char>& m, const kcPair<long>& reduced,
                      const kcPair<long>& v, kcPelBuffer<unsigned char>& b) {
  if (reduced.x() <= 1 && reduced.y() <= 1) {
    b = kfPelCopy(d);
    return;
  }
  const kcPair<long> limited = meaningfulRange(v);
  const kcPair<long> range(std::max(128 + limited.x(), 0L), std::min(128 + limited.y(), 255L));
  const kcPelMedianParams params(medianKernel(reduced), range);
  if (m.isBound())
    kfPelMedian(d, m, params, b);
  else
    kfPelMedian(d, params, b);
}

void localCorrection(const kcPelBuffer_const<unsigned char>& region,
                     const LocalCorrectionInputs& in, Method method,
                     kcPelBuffer<unsigned char>& result) {
  kcPelRect rect = region.window() & in.reference.window();
  if (in.binaryMask.isBound()) rect &= in.binaryMask.window();
  const LocalCorrectionInputs local = inputsForRect(in, rect, method);
  kcPelBuffer_const<unsigned char> s = region, r = in.reference, m = local.binaryMask;
  s.window(rect, false);
  r.window(rect, false);
  KC_ASSERT(in.intensityVariationRange.x() <= 0 && in.intensityVariationRange.y() >= 0);
  KC_ASSERT(!result.isBound() || result.root() != s.root());

  // d holds the difference, then the result.
  kcPelBuffer<unsigned char> d = kfPelCopy(s);
  kf_PelSubClamp(d, r, differenceLimit(in.intensityVariationRange));
  kcAttention::check();

  const bool subsampling = usesSubsampling(in.neighborhoodSize, in.granularity);
  // The mask at the resolution the background is computed at.
  const kcPelBuffer_const<unsigned char> backgroundMask = subsampling ? local.sampledMask : m;
  kcPelBuffer<unsigned char> difference = d;
  if (subsampling) subsampleDifference(difference, m, in.granularity, method);
  kcAttention::check();

  const kcPair<long> reduced = reducedNeighborhood(in.neighborhoodSize, in.granularity);
  KC_ASSERT(method == eLocalCorrection || method == eLocalCorrectionEnhanced);
  if (method == eLocalCorrection && !subsampling) {
    subtractSmoothedBackground(s, d, backgroundMask, local.maskWeights, reduced);
  } else {
    kcPelBuffer<unsigned char> b;
    if (method == eLocalCorrection)
      smoothedBackground(difference, backgroundMask, local.maskWeights, reduced, b);
    else
      medianBackground(difference, backgroundMask, reduced, in.intensityVariationRange, b);
    kcAttention::check();
    subtractBackground(s, b, subsampling, d);
  }
  kcAttention::check();

  result = d;
  result.copyXforms(s);
}

}  // namespace imgnorm
