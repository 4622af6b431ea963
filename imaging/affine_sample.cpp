#include "imaging/affine_sample.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

#include "host/assert.h"
#include "host/detail/cpu_dispatch.h"
#include "host/exceptions.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

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

// Rounds halves up and clamps to the pel range. Truncating v + 0.5 before
// clamping gives the same pel as clamping first for every v the kernels
// produce (|v| stays far below the int range); this order vectorizes.
template <class T>
inline T toPel(float v) {
  constexpr int top = std::numeric_limits<T>::max();
  return static_cast<T>(std::clamp(static_cast<int>(v + 0.5f), 0, top));
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

template <class T>
void spreadRow(const T* __restrict row, const long* __restrict index, long n,
               float* __restrict out) {
  for (long i = 0; i < n; ++i) out[i] = static_cast<float>(row[index[i]]);
}

// The spread rows of the Taps source rows of one output row, reusing those
// an earlier output row already spread (up to Taps are kept).
template <class T, int Taps>
class SpreadRows {
 public:
  SpreadRows(const SourcePels<T>& src, const AxisTaps& cols, long n) : src_(src), n_(n) {
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
        const T* row = src_.first + sourceRow * src_.rowUpdate;
        for (int k = 0; k < Taps; ++k) spreadRow(row, index_[k].data(), n_, s.tap[k].data());
        s.sourceRow = sourceRow;
        return s;
      }
    KC_ASSERT(false);
    return cache_[0];
  }

 private:
  const SourcePels<T>& src_;
  long n_;
  std::vector<long> index_[Taps];  // source column of tap k of output i
  SpreadRow<Taps> cache_[Taps];
};

// One output row: line_k = sum over rows r of wy[r] x spread row r's tap k
// (the blended line read at tap column k), out = sum over k of wx[k] x
// line_k. The additions start from the first product instead of from zero,
// which changes at most the sign of a zero and so no pel. Never contracted
// into fused multiply-adds (neither build enables them), so the AVX2 build
// rounds exactly like the baseline one.
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
  for (long i = 0; i < n; ++i) {
    float acc = c[0][i] * line(0, i);
#pragma GCC unroll 4
    for (int k = 1; k < Taps; ++k) acc += c[k][i] * line(k, i);
    out[i] = toPel<T>(acc);
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
                     Rows& out) {
  const AxisTaps cols = axisTaps<Taps>(g.c00.x(), g.stepX.x(), width, src.width);
  const AxisTaps rows = axisTaps<Taps>(g.c00.y(), g.stepY.y(), height, src.height);
  std::vector<float> wx[Taps];
  for (int k = 0; k < Taps; ++k) {
    wx[k].resize(static_cast<std::size_t>(width));
    for (long i = 0; i < width; ++i) wx[k][i] = cols.weight[i * Taps + k];
  }
  SpreadRows<T, Taps> spread(src, cols, width);
  const CombineRowFn<T, Taps> combine =
      kfPickKernel<CombineRowFn<T, Taps>>(combineRowPlain<T, Taps>, combineRowAvx2<T, Taps>);
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

template <class T, int Taps>
using SampleRowFn = void (*)(const SourcePels<T>&, const kcVector<2>&, const kcVector<2>&, long,
                             T*);

#if defined(__x86_64__)

// Four samples of sampleRowGeneral at a time: the same operations in the
// same order on lanes of doubles (no fused multiply-adds), so every pel is
// the scalar one. The pels are read one by one: a gather would read past
// the last pel of the storage.
template <int Taps>
struct Lanes4 {
  __m128i base;  // floor of the coordinate, as int32
  __m256d weight[Taps];
};

KC_TARGET_AVX2 inline __m256d mul(double a, __m256d b) {
  return _mm256_mul_pd(_mm256_set1_pd(a), b);
}

template <int Taps>
KC_TARGET_AVX2 Lanes4<Taps> locate4(__m256d c, double size) {
  c = _mm256_max_pd(c, _mm256_set1_pd(-2.0));  // c > lo ? c : lo, NaN to lo
  c = _mm256_min_pd(c, _mm256_set1_pd(size + 1.0));
  const __m256d f = _mm256_floor_pd(c);
  const __m256d t = _mm256_sub_pd(c, f);
  Lanes4<Taps> l;
  l.base = _mm256_cvttpd_epi32(f);
  if constexpr (Taps == 2) {
    l.weight[0] = _mm256_sub_pd(_mm256_set1_pd(1.0), t);
    l.weight[1] = t;
  } else {
    const __m256d t2 = _mm256_mul_pd(t, t), t3 = _mm256_mul_pd(t2, t);
    l.weight[0] = _mm256_sub_pd(_mm256_add_pd(mul(-0.5, t3), t2), mul(0.5, t));
    l.weight[1] = _mm256_add_pd(_mm256_sub_pd(mul(1.5, t3), mul(2.5, t2)), _mm256_set1_pd(1.0));
    l.weight[2] = _mm256_add_pd(_mm256_add_pd(mul(-1.5, t3), mul(2.0, t2)), mul(0.5, t));
    l.weight[3] = _mm256_sub_pd(mul(0.5, t3), mul(0.5, t2));
  }
  return l;
}

// Tap k's index of each lane, clamped into 0 .. size - 1.
template <int Taps>
KC_TARGET_AVX2 void tapIndices4(__m128i base, long size, __m128i* index) {
  const __m128i last = _mm_set1_epi32(static_cast<std::int32_t>(size - 1));
  for (int k = 0; k < Taps; ++k) {
    const __m128i i =
        _mm_add_epi32(base, _mm_set1_epi32(static_cast<std::int32_t>(kFirstTap<Taps> + k)));
    index[k] = _mm_min_epi32(_mm_max_epi32(i, _mm_setzero_si128()), last);
  }
}

template <class T, int Taps>
KC_TARGET_AVX2 void sampleRowGeneralAvx2(const SourcePels<T>& src, const kcVector<2>& c,
                                         const kcVector<2>& step, long n, T* out) {
  // Lanes past the row's end read clamped pels like the others and are not
  // stored.
  for (long i = 0; i < n; i += 4) {
    const __m256d di =
        _mm256_add_pd(_mm256_set1_pd(static_cast<double>(i)), _mm256_set_pd(3.0, 2.0, 1.0, 0.0));
    const Lanes4<Taps> lx = locate4<Taps>(
        _mm256_add_pd(_mm256_set1_pd(c.x()), _mm256_mul_pd(_mm256_set1_pd(step.x()), di)),
        static_cast<double>(src.width));
    const Lanes4<Taps> ly = locate4<Taps>(
        _mm256_add_pd(_mm256_set1_pd(c.y()), _mm256_mul_pd(_mm256_set1_pd(step.y()), di)),
        static_cast<double>(src.height));
    __m128i xi[Taps], yi[Taps];
    tapIndices4<Taps>(lx.base, src.width, xi);
    tapIndices4<Taps>(ly.base, src.height, yi);
    // Offsets of every tap's pel from the window's first pel, lane by lane.
    std::int32_t offset[Taps][Taps][4];
    const __m128i stride = _mm_set1_epi32(static_cast<std::int32_t>(src.rowUpdate));
    for (int r = 0; r < Taps; ++r) {
      const __m128i row = _mm_mullo_epi32(yi[r], stride);
      for (int k = 0; k < Taps; ++k)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(offset[r][k]), _mm_add_epi32(row, xi[k]));
    }
    __m256d s = _mm256_setzero_pd();
    for (int r = 0; r < Taps; ++r) {
      __m256d h = _mm256_setzero_pd();
      for (int k = 0; k < Taps; ++k) {
        const std::int32_t* o = offset[r][k];
        const __m256d v = _mm256_cvtepi32_pd(
            _mm_set_epi32(src.first[o[3]], src.first[o[2]], src.first[o[1]], src.first[o[0]]));
        h = _mm256_add_pd(h, _mm256_mul_pd(lx.weight[k], v));
      }
      s = _mm256_add_pd(s, _mm256_mul_pd(ly.weight[r], h));
    }
    const __m128i rounded = _mm_cvttps_epi32(_mm_add_ps(_mm256_cvtpd_ps(s), _mm_set1_ps(0.5f)));
    const __m128i pels = _mm_min_epi32(_mm_max_epi32(rounded, _mm_setzero_si128()),
                                       _mm_set1_epi32(std::numeric_limits<T>::max()));
    if (sizeof(T) == 1 && i + 4 <= n) {
      const __m128i bytes = _mm_packus_epi16(_mm_packus_epi32(pels, pels), pels);
      const std::int32_t four = _mm_cvtsi128_si32(bytes);
      std::memcpy(out + i, &four, 4);
      continue;
    }
    std::int32_t lanes[4];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), pels);
    for (long lane = 0; lane < std::min(4L, n - i); ++lane)
      out[i + lane] = static_cast<T>(lanes[lane]);
  }
}

// Bilinear samples of a small source, eight at a time. A table over every
// floor position the coordinates can take (-2 .. size + 1 on each axis)
// holds at each entry the four pels the taps read there, edges clamped, as
// 16-bit fields: one gather fetches all of a sample's pels. The operations
// and their order are those of the four-lane kernel.
class QuadTable {
 public:
  template <class T>
  explicit QuadTable(const SourcePels<T>& src) : stride_(src.width + 4) {
    static_assert(sizeof(T) <= 2);
    quads_.resize(static_cast<std::size_t>(stride_ * (src.height + 4)));
    // Rows by and by + 1 with their ends replicated: entry bx reads
    // columns bx + 2 and bx + 3 of them.
    std::vector<std::uint64_t> upper(static_cast<std::size_t>(stride_ + 1)), lower(upper.size());
    const auto pad = [&](long by, std::vector<std::uint64_t>& padded) {
      const T* row = src.first + clampIndex(by, src.height) * src.rowUpdate;
      std::fill_n(padded.begin(), 2, row[0]);
      std::copy_n(row, src.width, padded.begin() + 2);
      std::fill(padded.begin() + 2 + src.width, padded.end(), row[src.width - 1]);
    };
    for (long by = -2; by < src.height + 2; ++by) {
      pad(by, upper);
      pad(by + 1, lower);
      std::uint64_t* quads = &quads_[(by + 2) * stride_];
      for (long i = 0; i < stride_; ++i)
        quads[i] = upper[i] | upper[i + 1] << 16 | lower[i] << 32 | lower[i + 1] << 48;
    }
  }
  const std::uint64_t* quads() const { return quads_.data(); }
  long stride() const { return stride_; }

 private:
  long stride_;
  std::vector<std::uint64_t> quads_;
};

// Every lane: the masked forms of the intrinsics, whose unmasked forms
// trip a false uninitialized-value warning in this compiler's headers.
constexpr __mmask8 kAll8 = 0xFF;

// Floor (as int32, offset by 2 so that it indexes the table) and the two
// weights of eight coordinates.
struct Lanes8 {
  __m256i entry;
  __m512d weight[2];
};

KC_TARGET_AVX512VBMI inline Lanes8 locate8(__m512d c, double size) {
  c = _mm512_maskz_max_pd(kAll8, c, _mm512_set1_pd(-2.0));  // c > lo ? c : lo, NaN to lo
  c = _mm512_maskz_min_pd(kAll8, c, _mm512_set1_pd(size + 1.0));
  const __m512d f = _mm512_floor_pd(c);
  const __m512d t = _mm512_sub_pd(c, f);
  return {_mm256_add_epi32(_mm512_maskz_cvttpd_epi32(kAll8, f), _mm256_set1_epi32(2)),
          {_mm512_sub_pd(_mm512_set1_pd(1.0), t), t}};
}

// Field k of every quad, as exact doubles (2^52 plus the field, less 2^52).
KC_TARGET_AVX512VBMI inline __m512d field(__m512i quads, unsigned k) {
  const __m512i bits =
      _mm512_and_si512(_mm512_maskz_srli_epi64(kAll8, quads, 16 * k), _mm512_set1_epi64(0xFFFF));
  const __m512i big = _mm512_set1_epi64(0x4330000000000000);  // 2^52
  return _mm512_sub_pd(_mm512_castsi512_pd(_mm512_or_si512(bits, big)), _mm512_castsi512_pd(big));
}

template <class T>
KC_TARGET_AVX512VBMI void sampleRowBilinearAvx512(const QuadTable& table, long width, long height,
                                                  const kcVector<2>& c, const kcVector<2>& step,
                                                  long n, T* out) {
  const __m512d lane = _mm512_set_pd(7.0, 6.0, 5.0, 4.0, 3.0, 2.0, 1.0, 0.0);
  const __m256i stride = _mm256_set1_epi32(static_cast<std::int32_t>(table.stride()));
  for (long i = 0; i < n; i += 8) {
    const __m512d di = _mm512_add_pd(_mm512_set1_pd(static_cast<double>(i)), lane);
    const Lanes8 lx =
        locate8(_mm512_add_pd(_mm512_set1_pd(c.x()), _mm512_mul_pd(_mm512_set1_pd(step.x()), di)),
                static_cast<double>(width));
    const Lanes8 ly =
        locate8(_mm512_add_pd(_mm512_set1_pd(c.y()), _mm512_mul_pd(_mm512_set1_pd(step.y()), di)),
                static_cast<double>(height));
    const __m256i entry = _mm256_add_epi32(_mm256_mullo_epi32(ly.entry, stride), lx.entry);
    const __m512i quads =
        _mm512_mask_i32gather_epi64(_mm512_setzero_si512(), kAll8, entry, table.quads(), 8);
    __m512d s = _mm512_setzero_pd();
    for (unsigned r = 0; r < 2; ++r) {
      __m512d h = _mm512_setzero_pd();
      for (unsigned k = 0; k < 2; ++k)
        h = _mm512_add_pd(h, _mm512_mul_pd(lx.weight[k], field(quads, 2 * r + k)));
      s = _mm512_add_pd(s, _mm512_mul_pd(ly.weight[r], h));
    }
    const __m256i rounded =
        _mm256_cvttps_epi32(_mm256_add_ps(_mm512_maskz_cvtpd_ps(kAll8, s), _mm256_set1_ps(0.5f)));
    const __m256i pels = _mm256_min_epi32(_mm256_max_epi32(rounded, _mm256_setzero_si256()),
                                          _mm256_set1_epi32(std::numeric_limits<T>::max()));
    if (sizeof(T) == 1 && i + 8 <= n) {
      const __m128i words =
          _mm_packus_epi32(_mm256_castsi256_si128(pels), _mm256_extracti128_si256(pels, 1));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(words, words));
      continue;
    }
    std::int32_t lanes[8];
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes), pels);
    for (long k = 0; k < std::min(8L, n - i); ++k) out[i + k] = static_cast<T>(lanes[k]);
  }
}

// Sources up to this many pels get the table (the fit's joint histograms):
// building it costs about as much as sampling as many pels.
constexpr long kMaxTabledPels = 1L << 16;

template <class T, class Rows>
bool sampleRowsTabled(const SourcePels<T>& src, const SampleGrid& g, long width, long height,
                      Rows& out) {
  if (kfUsableKernelSet() < kcKernelSet::eAvx512Vbmi || src.width * src.height > kMaxTabledPels)
    return false;
  const QuadTable table(src);
  for (long j = 0; j < height; ++j) {
    sampleRowBilinearAvx512<T>(table, src.width, src.height,
                               g.c00 + g.stepY * static_cast<double>(j), g.stepX, width,
                               out.row(j));
    out.done(j);
  }
  return true;
}

#endif

template <class T, int Taps>
SampleRowFn<T, Taps> pickSampleRow(const SourcePels<T>& src) {
#if defined(__x86_64__)
  // The lanes reach pels by int32 offsets from the window's first pel.
  constexpr long kOffsetLimit = 1L << 31;
  if (src.height < kOffsetLimit / std::max(src.rowUpdate, 1L))
    return kfPickKernel<SampleRowFn<T, Taps>>(sampleRowGeneral<T, Taps>,
                                              sampleRowGeneralAvx2<T, Taps>);
#endif
  return sampleRowGeneral<T, Taps>;
}

template <class T, int Taps, class Rows>
void sampleWith(const SourcePels<T>& src, const SampleGrid& g, long width, long height, Rows& out) {
  if (g.separable()) {
    sampleSeparable<T, Taps>(src, g, width, height, out);
    return;
  }
#if defined(__x86_64__)
  if constexpr (Taps == 2 && sizeof(T) <= 2)
    if (sampleRowsTabled(src, g, width, height, out)) return;
#endif
  const SampleRowFn<T, Taps> sampleRow = pickSampleRow<T, Taps>(src);
  for (long j = 0; j < height; ++j) {
    sampleRow(src, g.c00 + g.stepY * static_cast<double>(j), g.stepX, width, out.row(j));
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
