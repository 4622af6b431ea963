#pragma once

// The pieces of affine sampling that its plain kernels (affine_sample.cpp)
// and its x86-64 vector kernels (affine_sample_x86.cpp) share: tap weights
// and positions, rounding, the source in kernel terms, and the entry points
// of the vector builds.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "host/geometry.h"

namespace affine_detail {

// Interpolation weights at fraction t in [0, 1): taps floor .. floor + 1
// (linear) or floor - 1 .. floor + 2 (cubic). They sum to 1, which keeps
// constant images constant.
template <int Taps>
void tapWeights(double t, double* w);

template <>
inline void tapWeights<2>(double t, double* w) {
  w[0] = 1.0 - t;
  w[1] = t;
}

// Keys' cubic convolution kernel with a = -0.5.
template <>
inline void tapWeights<4>(double t, double* w) {
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
  if constexpr (sizeof(T) < sizeof(int)) {
    constexpr int top = std::numeric_limits<T>::max();
    return static_cast<T>(std::clamp(static_cast<int>(v + 0.5f), 0, top));
  } else {
    // 32-bit pels, in 32-bit conversions that vectorize where a 64-bit one
    // would not: below 2^31 the truncation of x held at -1 or above (which
    // clamps to 0 as any negative does); from 2^31 to 2^32, where floats
    // are multiples of 256, 2^31 plus the truncation of the exact x - 2^31;
    // the top level from 2^32 on. The kernels' v stay far inside the range
    // of a long, where this is the long truncation clamped.
    static_assert(sizeof(T) == 4 && !std::numeric_limits<T>::is_signed);
    constexpr float below31 = 0x1.fffffep30f;  // the largest float below 2^31
    const float x = v + 0.5f;
    const auto low = static_cast<std::uint32_t>(
        std::max(static_cast<std::int32_t>(std::clamp(x, -1.0f, below31)), 0));
    const auto high = static_cast<std::uint32_t>(
                          static_cast<std::int32_t>(std::clamp(x - 0x1p31f, 0.0f, below31))) +
                      0x80000000u;
    return static_cast<T>(x >= 0x1p32f ? 0xFFFFFFFFu : (x >= 0x1p31f ? high : low));
  }
}

// toPel for 32-bit pels where v + 0.5 lies below 2^31, as all do unless a
// source pel comes near 2^30: the truncation of v + 0.5 held within
// [-1, 2^31) (which keeps the conversion defined), negatives clamped to 0.
// Sets beyond to 1 when v + 0.5 is 2^31 or more, where toPel must decide
// (an integer flag, which the vectorizer reduces where a bool stops it).
inline std::uint32_t smallPel(float v, std::uint32_t& beyond) {
  constexpr float below31 = 0x1.fffffep30f;  // the largest float below 2^31
  const float x = v + 0.5f;
  beyond |= x >= 0x1p31f ? 1u : 0u;
  return static_cast<std::uint32_t>(
      std::max(static_cast<std::int32_t>(std::clamp(x, -1.0f, below31)), 0));
}

// The source window in kernel terms.
template <class T>
struct SourcePels {
  const T* first;  // the window's upper-left pel
  long rowUpdate;
  long width;
  long height;
};

template <class T, int Taps>
using SampleRowFn = void (*)(const SourcePels<T>&, const kcVector<2>&, const kcVector<2>&, long,
                             T*);

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

// Sources up to this many pels get the table (the fit's joint histograms):
// building it costs about as much as sampling as many pels.
constexpr long kMaxTabledPels = 1L << 16;

// Bilinear rows from a source's QuadTable: width and height are the
// source's, then the row's start, step and length, and where it goes.
template <class T>
using TabledRowFn = void (*)(const QuadTable&, long, long, const kcVector<2>&, const kcVector<2>&,
                             long, T*);

// The x86-64 vector builds, for unsigned char pels: a general row four
// samples at a time (AVX2), and tabled bilinear rows eight at a time
// (AVX-512). Only where the processor runs them.
template <class T, int Taps>
SampleRowFn<T, Taps> sampleRowGeneralAvx2();
template <class T>
TabledRowFn<T> sampleRowBilinearAvx512();

}  // namespace affine_detail
