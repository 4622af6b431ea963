#include "host/affine_sample.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "host/exceptions.h"

namespace {

constexpr long kMaxSamples = 32767;

bool isFinite(const kcVector<2>& v) { return std::isfinite(v.x()) && std::isfinite(v.y()); }

// Interpolation weights at fraction t in [0, 1): taps floor .. floor + 1
// (linear) or floor - 1 .. floor + 2 (cubic). They sum to 1, which keeps
// constant images constant.
template <int Taps>
void tapWeights(double t, double* w);

template <>
void tapWeights<2>(double t, double* w) {
  w[0] = 1.0 - t;
  w[1] = t;
}

// Keys' cubic convolution kernel with a = -0.5.
template <>
void tapWeights<4>(double t, double* w) {
  const double t2 = t * t;
  const double t3 = t2 * t;
  w[0] = -0.5 * t3 + t2 - 0.5 * t;
  w[1] = 1.5 * t3 - 2.5 * t2 + 1.0;
  w[2] = -1.5 * t3 + 2.0 * t2 + 0.5 * t;
  w[3] = 0.5 * t3 - 0.5 * t2;
}

template <int Taps>
constexpr long kFirstTap = Taps == 4 ? -1 : 0;

// Splits a pel-index coordinate (pel centres at integers) into floor and
// fraction. Coordinates far beyond the edges are pulled in to where every
// tap already reads the edge pel; this also keeps the conversion to long
// defined for huge values and sends NaN to the low edge.
inline void locate(double c, long size, long& base, double& t) {
  const double lo = -2.0;
  const double hi = static_cast<double>(size) + 1.0;
  c = c > lo ? c : lo;
  c = c < hi ? c : hi;
  const double f = std::floor(c);
  base = static_cast<long>(f);
  t = c - f;
}

// Taps outside the window read its nearest edge pel.
inline long clampIndex(long i, long size) { return i < 0 ? 0 : (i >= size ? size - 1 : i); }

template <class T>
inline T toPel(float v) {
  constexpr float top = static_cast<float>(std::numeric_limits<T>::max());
  v = v > 0.0f ? v : 0.0f;
  v = v < top ? v : top;
  return static_cast<T>(v + 0.5f);
}

// The source window in kernel terms.
template <class T>
struct SourcePels {
  const T* first;  // the window's upper-left pel
  long rowUpdate;
  long width;
  long height;
};

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

// Vertical half of separable sampling: the weighted sum of Taps source rows.
template <class T, int Taps>
void blendRows(const T* const* rows, const float* w, long n, float* out) {
  const T* r[Taps];
  float wk[Taps];
  for (int k = 0; k < Taps; ++k) {
    r[k] = rows[k];
    wk[k] = w[k];
  }
  for (long x = 0; x < n; ++x) {
    float s = 0.0f;
    for (int k = 0; k < Taps; ++k) s += wk[k] * static_cast<float>(r[k][x]);
    out[x] = s;
  }
}

// Horizontal half: each output pel from Taps entries of the blended line.
template <class T, int Taps>
void gatherRow(const float* line, const long* index, const float* weight, long n, T* out) {
  for (long i = 0; i < n; ++i) {
    float s = 0.0f;
    for (int k = 0; k < Taps; ++k) s += weight[i * Taps + k] * line[index[i * Taps + k]];
    out[i] = toPel<T>(s);
  }
}

// Axis-aligned grids: per-column and per-row taps are computed once, then
// each output row is a blend of Taps source rows followed by a gather.
template <class T, int Taps>
void sampleSeparable(const SourcePels<T>& src, const SampleGrid& g, const kcPelBuffer<T>& dst) {
  AxisTaps cols = axisTaps<Taps>(g.c00.x(), g.stepX.x(), dst.width(), src.width);
  const AxisTaps rows = axisTaps<Taps>(g.c00.y(), g.stepY.y(), dst.height(), src.height);
  // Only the columns some tap reads are blended.
  const auto [lo, hi] = std::minmax_element(cols.index.begin(), cols.index.end());
  const long colLo = *lo;
  const long span = *hi - colLo + 1;
  for (long& i : cols.index) i -= colLo;
  std::vector<float> line(static_cast<std::size_t>(span));
  T* out = dst.pointToOffset();
  for (long j = 0; j < dst.height(); ++j, out += dst.rowUpdate()) {
    const T* tapRows[Taps];
    for (int k = 0; k < Taps; ++k)
      tapRows[k] = src.first + rows.index[j * Taps + k] * src.rowUpdate + colLo;
    blendRows<T, Taps>(tapRows, &rows.weight[j * Taps], span, line.data());
    gatherRow<T, Taps>(line.data(), cols.index.data(), cols.weight.data(), dst.width(), out);
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

template <class T, int Taps>
void sample(const SourcePels<T>& src, const SampleGrid& g, const kcPelBuffer<T>& dst) {
  if (g.separable()) {
    sampleSeparable<T, Taps>(src, g, dst);
    return;
  }
  T* out = dst.pointToOffset();
  for (long j = 0; j < dst.height(); ++j, out += dst.rowUpdate())
    sampleRowGeneral<T, Taps>(src, g.c00 + g.stepY * static_cast<double>(j), g.stepX, dst.width(),
                              out);
}

}  // namespace

kcAffineSamplingParams::kcAffineSamplingParams(const kcAffineRectangle& rect, long xSize,
                                               long ySize, int interpolation)
    : rect_(rect), xSize_(xSize), ySize_(ySize), interpolation_(eBilinear) {
  if (xSize < 1 || xSize > kMaxSamples || ySize < 1 || ySize > kMaxSamples)
    throw kcPelFunc::BadParams();
  if (interpolation != eBilinear && interpolation != eBicubic) throw kcPelFunc::BadParams();
  if (!isFinite(rect.origin()) || !isFinite(rect.xEnd()) || !isFinite(rect.yEnd()))
    throw kcPelFunc::BadParams();
  interpolation_ = static_cast<Interpolation>(interpolation);
}

template <class T>
kcPelBuffer<T> kfAffineTransformImage(const kcPelBuffer_const<T>& src,
                                      const kcAffineSamplingParams& params) {
  if (!src.isBound()) throw kcPel::UnboundWindow();
  if (src.window().isNull()) throw kcPel::BadWindow();
  const SourcePels<T> pels{src.pointToOffset(), src.rowUpdate(), src.width(), src.height()};
  const SampleGrid grid = sampleGrid(src, params);
  kcPelBuffer<T> dst(params.xSize(), params.ySize(), 32);
  if (params.interpolation() == kcAffineSamplingParams::eBicubic)
    sample<T, 4>(pels, grid, dst);
  else
    sample<T, 2>(pels, grid, dst);
  return dst;
}

template IMGNORM_API kcPelBuffer<unsigned char> kfAffineTransformImage<unsigned char>(
    const kcPelBuffer_const<unsigned char>&, const kcAffineSamplingParams&);
