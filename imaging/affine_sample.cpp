#include "imaging/affine_sample.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <type_traits>
#include <vector>

#include "host/assert.h"
#include "host/detail/cpu_dispatch.h"
#include "host/exceptions.h"
#include "imaging/detail/affine_sample_kernels.h"

namespace {

using namespace affine_detail;

bool isFinite(const kcVector<2>& v) { return std::isfinite(v.x()) && std::isfinite(v.y()); }

// Sample (i, j) lies at c00 + i * stepX + j * stepY in pel-index coordinates
// relative to the window's first pel.
struct SampleGrid {
  kcVector<2> c00;
  kcVector<2> stepX;
  kcVector<2> stepY;
  bool separable() const { return stepX.y() == 0.0 && stepY.x() == 0.0; }
};

SampleGrid sampleGrid(const kc_PelBuffer& src, const kcAffineSamplingParams& params) {
  const kcXform<2> f = src.imageFromClientXform() * params.rectangle().fromUnitSquare();
  const double xs = static_cast<double>(params.xSize());
  const double ys = static_cast<double>(params.ySize());
  const kcVector<2> stepX(f.a() / xs, f.c() / xs);
  const kcVector<2> stepY(f.b() / ys, f.d() / ys);
  const kcPelRect& w = src.window();
  // Samples sit half a cell in from the rectangle's edges; pel centres half
  // a pel in from the pels' upper-left corners.
  const kcVector<2> c00 =
      f.translation() + (stepX + stepY) * 0.5 -
      kcVector<2>(static_cast<double>(w.x()) + 0.5, static_cast<double>(w.y()) + 0.5);
  return {c00, stepX, stepY};
}

// Source indices (relative to the window) and weights of every sample
// position along one axis, Taps entries per position.
struct AxisTaps {
  std::vector<long> index;
  std::vector<float> weight;
};

template <int Taps>
AxisTaps axisTaps(double c0, double step, long count, long size) {
  AxisTaps a;
  a.index.resize(static_cast<std::size_t>(count * Taps));
  a.weight.resize(static_cast<std::size_t>(count * Taps));
  for (long i = 0; i < count; ++i) {
    long base;
    double t;
    locate(c0 + step * static_cast<double>(i), size, base, t);
    double w[Taps];
    tapWeights<Taps>(t, w);
    for (int k = 0; k < Taps; ++k) {
      a.index[i * Taps + k] = clampIndex(base + kFirstTap<Taps> + k, size);
      a.weight[i * Taps + k] = static_cast<float>(w[k]);
    }
  }
  return a;
}

// Separable sampling blends Taps source rows per output row, then combines
// Taps columns of the blended line per output pel, all in float. Gathering
// columns commutes with blending rows (both are per-column), so each source
// row is gathered once into Taps lines over the output columns ("spread"
// rows), and every output row is then pure element-wise arithmetic the
// compiler vectorizes. The operations and their order per pel stay those
// of blend-then-gather, so results are bit for bit the same.
template <int Taps>
struct SpreadRow {
  long sourceRow = -1;
  std::vector<float> tap[Taps];  // tap[k][i] = source pel at column index k of output i
};

// A source row's pels as floats, then gathered: each pel is converted once
// rather than once per output that reads it, and the gather moves floats
// alone, which runs at the same speed for every pel type. The floats are
// those the conversion at each output gives.
template <class T>
void convertRow(const T* __restrict row, long n, float* __restrict out) {
  for (long i = 0; i < n; ++i) out[i] = static_cast<float>(row[i]);
}

void spreadRow(const float* __restrict row, const long* __restrict index, long n,
               float* __restrict out) {
  for (long i = 0; i < n; ++i) out[i] = row[index[i]];
}

// The spread rows of the Taps source rows of one output row, reusing those
// an earlier output row already spread (up to Taps are kept).
template <class T, int Taps>
class SpreadRows {
 public:
  SpreadRows(const SourcePels<T>& src, const AxisTaps& cols, long n)
      : src_(src), n_(n), converted_(static_cast<std::size_t>(src.width)) {
    for (int k = 0; k < Taps; ++k) {
      index_[k].resize(static_cast<std::size_t>(n));
      for (long i = 0; i < n; ++i) index_[k][i] = cols.index[i * Taps + k];
    }
    for (auto& s : cache_)
      for (auto& t : s.tap) t.resize(static_cast<std::size_t>(n));
  }

  const SpreadRow<Taps>& get(long sourceRow, const long* wanted) {
    for (auto& s : cache_)
      if (s.sourceRow == sourceRow) return s;
    // Replace a cached row no tap of this output row needs.
    for (auto& s : cache_)
      if (std::find(wanted, wanted + Taps, s.sourceRow) == wanted + Taps) {
        convertRow(src_.first + sourceRow * src_.rowUpdate, src_.width, converted_.data());
        for (int k = 0; k < Taps; ++k)
          spreadRow(converted_.data(), index_[k].data(), n_, s.tap[k].data());
        s.sourceRow = sourceRow;
        return s;
      }
    KC_ASSERT(false);
    return cache_[0];
  }

 private:
  const SourcePels<T>& src_;
  long n_;
  std::vector<float> converted_;   // the source row being spread
  std::vector<long> index_[Taps];  // source column of tap k of output i
  SpreadRow<Taps> cache_[Taps];
};

// One output row: line_k = sum over rows r of wy[r] x spread row r's tap k
// (the blended line read at tap column k), out = sum over k of wx[k] x
// line_k. The additions start from the first product instead of from zero,
// which changes at most the sign of a zero and so no pel. Never contracted
// into fused multiply-adds (neither build enables them), so the AVX2 build
// rounds exactly like the plain one.
template <class T, int Taps>
[[gnu::always_inline]] inline void combineRow(const SpreadRow<Taps>* const* rows,
                                              const float* rowWeights, const std::vector<float>* wx,
                                              long n, T* __restrict out) {
  // Local copies: out may alias anything as far as the compiler knows.
  float wy[Taps];
  const float* v[Taps][Taps];
  const float* c[Taps];
  for (int k = 0; k < Taps; ++k) {
    wy[k] = rowWeights[k];
    c[k] = wx[k].data();
    for (int r = 0; r < Taps; ++r) v[k][r] = rows[r]->tap[k].data();
  }
  const auto line = [&](int k, long i) __attribute__((always_inline)) {
    float s = wy[0] * v[k][0][i];
#pragma GCC unroll 4
    for (int r = 1; r < Taps; ++r) s += wy[r] * v[k][r][i];
    return s;
  };
  const auto sum = [&](long i) __attribute__((always_inline)) {
    float acc = c[0][i] * line(0, i);
#pragma GCC unroll 4
    for (int k = 1; k < Taps; ++k) acc += c[k][i] * line(k, i);
    return acc;
  };
  if constexpr (sizeof(T) == 4) {
    // 32-bit pels take the short conversion of smallPel, and toPel's again
    // in the rare row where it does not hold.
    std::uint32_t beyond = 0;
    for (long i = 0; i < n; ++i) out[i] = smallPel(sum(i), beyond);
    if (beyond != 0)
      for (long i = 0; i < n; ++i) out[i] = toPel<T>(sum(i));
  } else {
    for (long i = 0; i < n; ++i) out[i] = toPel<T>(sum(i));
  }
}

template <class T, int Taps>
using CombineRowFn = void (*)(const SpreadRow<Taps>* const*, const float*,
                              const std::vector<float>*, long, T*);

template <class T, int Taps>
void combineRowPlain(const SpreadRow<Taps>* const* rows, const float* wy,
                     const std::vector<float>* wx, long n, T* out) {
  combineRow<T, Taps>(rows, wy, wx, n, out);
}

template <class T, int Taps>
KC_TARGET_AVX2 void combineRowAvx2(const SpreadRow<Taps>* const* rows, const float* wy,
                                   const std::vector<float>* wx, long n, T* out) {
  combineRow<T, Taps>(rows, wy, wx, n, out);
}

// Where the output rows go: into an image, or one at a time through the
// caller's function.
template <class T>
struct ImageRows {
  T* first;
  long rowUpdate;
  T* row(long j) const { return first + j * rowUpdate; }
  void done(long) const {}
};

template <class T>
struct CallbackRows {
  std::vector<T> scratch;
  const std::function<void(long, const T*)>& rowDone;
  T* row(long) { return scratch.data(); }
  void done(long j) { rowDone(j, scratch.data()); }
};

// Axis-aligned grids: per-column and per-row taps are computed once.
template <class T, int Taps, class Rows>
void sampleSeparable(const SourcePels<T>& src, const SampleGrid& g, long width, long height,
                     CombineRowFn<T, Taps> combine, Rows& out) {
  const AxisTaps cols = axisTaps<Taps>(g.c00.x(), g.stepX.x(), width, src.width);
  const AxisTaps rows = axisTaps<Taps>(g.c00.y(), g.stepY.y(), height, src.height);
  std::vector<float> wx[Taps];
  for (int k = 0; k < Taps; ++k) {
    wx[k].resize(static_cast<std::size_t>(width));
    for (long i = 0; i < width; ++i) wx[k][i] = cols.weight[i * Taps + k];
  }
  SpreadRows<T, Taps> spread(src, cols, width);
  for (long j = 0; j < height; ++j) {
    const long* wanted = &rows.index[j * Taps];
    const SpreadRow<Taps>* tapRows[Taps];
    for (int r = 0; r < Taps; ++r) tapRows[r] = &spread.get(wanted[r], wanted);
    combine(tapRows, &rows.weight[j * Taps], wx, width, out.row(j));
    out.done(j);
  }
}

// One output row of a rotated or sheared grid, starting at c and moving by
// step per sample.
template <class T, int Taps>
void sampleRowGeneral(const SourcePels<T>& src, const kcVector<2>& c, const kcVector<2>& step,
                      long n, T* out) {
  for (long i = 0; i < n; ++i) {
    const double di = static_cast<double>(i);
    long bx, by;
    double tx, ty;
    locate(c.x() + step.x() * di, src.width, bx, tx);
    locate(c.y() + step.y() * di, src.height, by, ty);
    double wx[Taps], wy[Taps];
    tapWeights<Taps>(tx, wx);
    tapWeights<Taps>(ty, wy);
    long xi[Taps];
    for (int k = 0; k < Taps; ++k) xi[k] = clampIndex(bx + kFirstTap<Taps> + k, src.width);
    double s = 0.0;
    for (int r = 0; r < Taps; ++r) {
      const T* row = src.first + clampIndex(by + kFirstTap<Taps> + r, src.height) * src.rowUpdate;
      double h = 0.0;
      for (int k = 0; k < Taps; ++k) h += wx[k] * static_cast<double>(row[xi[k]]);
      s += wy[r] * h;
    }
    out[i] = toPel<T>(static_cast<float>(s));
  }
}

// The kernel builds one sampling runs, chosen once for all its rows.
template <class T, int Taps>
struct Kernels {
  CombineRowFn<T, Taps> combine = combineRowPlain<T, Taps>;  // separable grids
  SampleRowFn<T, Taps> general = sampleRowGeneral<T, Taps>;  // rotated or sheared ones
  TabledRowFn<T> tabled = nullptr;                           // those of small sources, when bound
};

template <class T, int Taps>
Kernels<T, Taps> kernelsFor([[maybe_unused]] const SourcePels<T>& src) {
  Kernels<T, Taps> k;
  k.combine =
      kfPickKernel<CombineRowFn<T, Taps>>(combineRowPlain<T, Taps>, combineRowAvx2<T, Taps>);
#if defined(__x86_64__)
  // The vector kernels of rotated grids are built for 8-bit pels only.
  if constexpr (std::is_same_v<T, unsigned char>) {
    const kcKernelSet widest = kfUsableKernelSet();
    // The lanes reach pels by int32 offsets from the window's first pel.
    constexpr long kOffsetLimit = 1L << 31;
    if (widest >= kcKernelSet::eAvx2 && src.height < kOffsetLimit / std::max(src.rowUpdate, 1L))
      k.general = sampleRowGeneralAvx2<T, Taps>();
    if constexpr (Taps == 2)
      if (widest >= kcKernelSet::eAvx512Vbmi && src.width * src.height <= kMaxTabledPels)
        k.tabled = sampleRowBilinearAvx512<T>();
  }
#endif
  return k;
}

template <class T, int Taps, class Rows>
void sampleWith(const SourcePels<T>& src, const SampleGrid& g, long width, long height, Rows& out) {
  const Kernels<T, Taps> k = kernelsFor<T, Taps>(src);
  if (g.separable()) {
    sampleSeparable<T, Taps>(src, g, width, height, k.combine, out);
    return;
  }
  if constexpr (sizeof(T) <= 2) {
    if (k.tabled) {
      const QuadTable table(src);
      for (long j = 0; j < height; ++j) {
        k.tabled(table, src.width, src.height, g.c00 + g.stepY * static_cast<double>(j), g.stepX,
                 width, out.row(j));
        out.done(j);
      }
      return;
    }
  }
  for (long j = 0; j < height; ++j) {
    k.general(src, g.c00 + g.stepY * static_cast<double>(j), g.stepX, width, out.row(j));
    out.done(j);
  }
}

void requireSamplable(const kc_PelBuffer& src) {
  if (!src.isBound()) throw kcPel::UnboundWindow();
  if (src.window().isNull()) throw kcPel::BadWindow();
}

template <class T, class Rows>
void sample(const kcPelBuffer_const<T>& src, const kcAffineSamplingParams& params, Rows& out) {
  const SourcePels<T> pels{src.pointToOffset(), src.rowUpdate(), src.width(), src.height()};
  const SampleGrid grid = sampleGrid(src, params);
  if (params.interpolation() == kcAffineSamplingParams::eBicubic)
    sampleWith<T, 4>(pels, grid, params.xSize(), params.ySize(), out);
  else
    sampleWith<T, 2>(pels, grid, params.xSize(), params.ySize(), out);
}

}  // namespace

kcAffineSamplingParams::kcAffineSamplingParams(const kcAffineRectangle& rect, long xSize,
                                               long ySize, int interpolation)
    : rect_(rect), xSize_(xSize), ySize_(ySize), interpolation_(eBilinear) {
  if (xSize < 1 || xSize > kcAffineSamplingParams::kMaxSamples || ySize < 1 ||
      ySize > kcAffineSamplingParams::kMaxSamples)
    throw kcPelFunc::BadParams();
  if (interpolation != eBilinear && interpolation != eBicubic) throw kcPelFunc::BadParams();
  if (!isFinite(rect.origin()) || !isFinite(rect.xEnd()) || !isFinite(rect.yEnd()))
    throw kcPelFunc::BadParams();
  interpolation_ = static_cast<Interpolation>(interpolation);
}

template <class T>
kcPelBuffer<T> kfAffineTransformImage(const kcPelBuffer_const<T>& src,
                                      const kcAffineSamplingParams& params) {
  requireSamplable(src);
  kcPelBuffer<T> dst(params.xSize(), params.ySize(), 32);
  ImageRows<T> rows{dst.pointToOffset(), dst.rowUpdate()};
  sample(src, params, rows);
  return dst;
}

template <class T>
void kfAffineSampleRows(const kcPelBuffer_const<T>& src, const kcAffineSamplingParams& params,
                        const std::function<void(long, const T*)>& rowDone) {
  requireSamplable(src);
  CallbackRows<T> rows{std::vector<T>(static_cast<std::size_t>(params.xSize())), rowDone};
  sample(src, params, rows);
}

template IMGNORM_API kcPelBuffer<unsigned char> kfAffineTransformImage<unsigned char>(
    const kcPelBuffer_const<unsigned char>&, const kcAffineSamplingParams&);
template IMGNORM_API void kfAffineSampleRows<unsigned char>(
    const kcPelBuffer_const<unsigned char>&, const kcAffineSamplingParams&,
    const std::function<void(long, const unsigned char*)>&);
template IMGNORM_API void kfAffineSampleRows<unsigned short>(
    const kcPelBuffer_const<unsigned short>&, const kcAffineSamplingParams&,
    const std::function<void(long, const unsigned short*)>&);
template IMGNORM_API void kfAffineSampleRows<unsigned int>(
    const kcPelBuffer_const<unsigned int>&, const kcAffineSamplingParams&,
    const std::function<void(long, const unsigned int*)>&);
