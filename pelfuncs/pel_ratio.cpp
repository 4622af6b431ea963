#include "pelfuncs/pel_ratio.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "host/detail/cpu_dispatch.h"

// Both directions go through tables made once, so every build and thread
// gets the same codes and levels: the codes of the levels' logarithms, and
// the ratios 2^(n / logRatioSteps) split into a fraction of an octave and
// a power of two, which multiplies exactly.

namespace {

// round(logRatioSteps * log2 v) for v in 1 .. 2^16 - 1 + logRatioMaxBias
// (index 0 is unused: biased levels are never 0).
const std::vector<int>& levelLogs() {
  static const std::vector<int> table = [] {
    std::vector<int> t(65536 + logRatioMaxBias, 0);
    for (std::size_t v = 1; v < t.size(); ++v)
      t[v] = static_cast<int>(std::lround(logRatioSteps * std::log2(static_cast<double>(v))));
    return t;
  }();
  return table;
}

// 2^(m / logRatioSteps) for m in 0 .. logRatioSteps - 1.
const std::vector<float>& octaveFractions() {
  static const std::vector<float> table = [] {
    std::vector<float> t(logRatioSteps);
    for (std::size_t m = 0; m < t.size(); ++m)
      t[m] = static_cast<float>(std::exp2(static_cast<double>(m) / logRatioSteps));
    return t;
  }();
  return table;
}

// The ratio of a code: the fraction of an octave times a power of two,
// which multiplies exactly, so the ratio is the same wherever it is made.
struct RatioOfCode {
  static constexpr int kShift = 14;  // log2 logRatioSteps
  static_assert(1u << kShift == logRatioSteps);
  static constexpr int kLowestOctave = -4, kOctaves = 8;  // codes span 2^-4 .. 2^4
  const float* fractions = octaveFractions().data();
  float powers[kOctaves];

  RatioOfCode() {
    for (int e = 0; e < kOctaves; ++e) powers[e] = std::ldexp(1.0f, e + kLowestOctave);
  }
  [[gnu::always_inline]] float operator()(unsigned code) const {
    const int n = static_cast<int>(std::min(code, logRatioLargest)) - int(logRatioZero);
    return fractions[n & (int(logRatioSteps) - 1)] * powers[(n >> kShift) - kLowestOctave];
  }
};

// Rows go in blocks of a fixed count, which the compiler turns into vector
// code (gathers from the tables in the AVX2 build), then the rest.
constexpr long kBlock = 16;

template <class Pel>
[[gnu::always_inline]] inline void logRatioRow(const Pel* __restrict a, const Pel* __restrict b,
                                               unsigned bias, unsigned* __restrict out,
                                               long width) {
  const int* logs = levelLogs().data() + bias;
  constexpr int kZero = static_cast<int>(logRatioZero),
                kLargest = static_cast<int>(logRatioLargest);
  const auto code = [&](long x) {
    return static_cast<unsigned>(std::clamp(kZero + logs[a[x]] - logs[b[x]], 0, kLargest));
  };
  long x = 0;
  for (; x + kBlock <= width; x += kBlock)
    for (long k = 0; k < kBlock; ++k) out[x + k] = code(x + k);
  for (; x < width; ++x) out[x] = code(x);
}

// Single-precision division is correctly rounded, so a field of the ratios
// applied as min(a / ratio, top) + 0.5, truncated, gives these levels.
template <class Pel>
[[gnu::always_inline]] inline void divideRow(const Pel* __restrict a, const unsigned* __restrict c,
                                             int top, Pel* __restrict out, long width) {
  const RatioOfCode ratioOf;
  const float topLevel = static_cast<float>(top);
  const auto level = [&](long x) {
    const float v = static_cast<float>(a[x]) / ratioOf(c[x]);
    return static_cast<Pel>(static_cast<int>(std::min(v, topLevel) + 0.5f));
  };
  long x = 0;
  for (; x + kBlock <= width; x += kBlock)
    for (long k = 0; k < kBlock; ++k) out[x + k] = level(x + k);
  for (; x < width; ++x) out[x] = level(x);
}

template <class Pel>
void logRatioPlain(const Pel* a, const Pel* b, unsigned bias, unsigned* out, long width) {
  logRatioRow(a, b, bias, out, width);
}
template <class Pel>
KC_TARGET_AVX2 void logRatioAvx2(const Pel* a, const Pel* b, unsigned bias, unsigned* out,
                                 long width) {
  logRatioRow(a, b, bias, out, width);
}
template <class Pel>
void dividePlain(const Pel* a, const unsigned* c, int top, Pel* out, long width) {
  divideRow(a, c, top, out, width);
}
template <class Pel>
KC_TARGET_AVX2 void divideAvx2(const Pel* a, const unsigned* c, int top, Pel* out, long width) {
  divideRow(a, c, top, out, width);
}

template <class Pel>
void logRatio(const Pel* a, const Pel* b, unsigned bias, unsigned* out, long width) {
  kfPickKernel(logRatioPlain<Pel>, logRatioAvx2<Pel>)(a, b, std::clamp(bias, 1u, logRatioMaxBias),
                                                      out, width);
}
template <class Pel>
void divide(const Pel* a, const unsigned* c, Pel top, Pel* out, long width) {
  kfPickKernel(dividePlain<Pel>, divideAvx2<Pel>)(a, c, int(top), out, width);
}

// Narrow codes: 8-bit levels make few enough pairs that both directions
// are one look-up each, exact by construction, with no gathers (slow on
// processors that guard them) and the same on every build.
constexpr unsigned kNarrowCodes = narrowLogRatioLargest + 1;

// The ratio of every narrow code: 2^(n / steps) rounded once to single
// precision.
const std::vector<float>& narrowRatios() {
  static const std::vector<float> table = [] {
    std::vector<float> t(kNarrowCodes);
    for (unsigned c = 0; c < kNarrowCodes; ++c)
      t[c] = static_cast<float>(
          std::exp2((static_cast<double>(c) - narrowLogRatioZero) / narrowLogRatioSteps));
    return t;
  }();
  return table;
}

// codes[256 a + b]: the nearest narrow code of (a + 1) / (b + 1), 128 KiB.
const std::vector<unsigned short>& narrowCodes() {
  static const std::vector<unsigned short> table = [] {
    std::vector<unsigned short> t(256 * 256);
    for (int a = 0; a < 256; ++a)
      for (int b = 0; b < 256; ++b) {
        const double q = static_cast<double>(a + 1) / static_cast<double>(b + 1);
        const long code = narrowLogRatioZero + std::lround(narrowLogRatioSteps * std::log2(q));
        t[256 * a + b] =
            static_cast<unsigned short>(std::clamp(code, 0L, long(narrowLogRatioLargest)));
      }
    return t;
  }();
  return table;
}

// levels[256 c + a]: a divided by the ratio of code c by the rule of
// divideRow, 1 MiB. Smoothed codes change slowly along a row, so a row's
// look-ups stay within a few kilobytes.
const std::vector<unsigned char>& narrowQuotients() {
  static const std::vector<unsigned char> table = [] {
    const std::vector<float>& ratios = narrowRatios();
    std::vector<unsigned char> t(std::size_t{kNarrowCodes} * 256);
    for (unsigned c = 0; c < kNarrowCodes; ++c)
      for (int a = 0; a < 256; ++a) {
        const float v = std::min(static_cast<float>(a) / ratios[c], 255.0f) + 0.5f;
        t[256 * c + a] = static_cast<unsigned char>(static_cast<int>(v));
      }
    return t;
  }();
  return table;
}

}  // namespace

void kf_PelLogRatioRow(const unsigned char* a, const unsigned char* b, unsigned short* out,
                       long width) {
  const unsigned short* codes = narrowCodes().data();
  for (long x = 0; x < width; ++x) out[x] = codes[256 * a[x] + b[x]];
}

void kf_LogRatioValuesRow(const unsigned short* c, float* out, long width) {
  const float* ratios = narrowRatios().data();
  for (long x = 0; x < width; ++x) out[x] = ratios[std::min<unsigned>(c[x], narrowLogRatioLargest)];
}

void kf_PelDivideByLogRatioRow(const unsigned char* a, const unsigned short* c, unsigned char* out,
                               long width) {
  const unsigned char* levels = narrowQuotients().data();
  for (long x = 0; x < width; ++x)
    out[x] = levels[256 * std::min<unsigned>(c[x], narrowLogRatioLargest) + a[x]];
}

void kf_PelLogRatioRow(const unsigned char* a, const unsigned char* b, unsigned bias, unsigned* out,
                       long width) {
  logRatio(a, b, bias, out, width);
}
void kf_PelLogRatioRow(const unsigned short* a, const unsigned short* b, unsigned bias,
                       unsigned* out, long width) {
  logRatio(a, b, bias, out, width);
}
void kf_PelDivideByLogRatioRow(const unsigned char* a, const unsigned* c, unsigned char top,
                               unsigned char* out, long width) {
  divide(a, c, top, out, width);
}
void kf_PelDivideByLogRatioRow(const unsigned short* a, const unsigned* c, unsigned short top,
                               unsigned short* out, long width) {
  divide(a, c, top, out, width);
}

void kf_LogRatioValuesRow(const unsigned* c, float* out, long width) {
  const RatioOfCode ratioOf;
  for (long x = 0; x < width; ++x) out[x] = ratioOf(c[x]);
}
