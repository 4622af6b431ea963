#include "pelfuncs/pel_ratio.h"

#include <algorithm>
#include <cmath>
#include <vector>

// Both directions go through tables made once, so every build and thread
// gets the same codes and levels: the codes of the levels' logarithms, and
// the factors 2^-(n / logRatioSteps) split into a fraction of an octave and
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

// 2^-(m / logRatioSteps) for m in 0 .. logRatioSteps - 1.
const std::vector<float>& octaveFractions() {
  static const std::vector<float> table = [] {
    std::vector<float> t(logRatioSteps);
    for (std::size_t m = 0; m < t.size(); ++m)
      t[m] = static_cast<float>(std::exp2(-static_cast<double>(m) / logRatioSteps));
    return t;
  }();
  return table;
}

// 2^-e for the octaves e = -4 .. 3 a code's offset from zero spans, at e + 4.
constexpr int kOctaves = 8;
constexpr int kLowestOctave = -4;

template <class Pel>
void logRatioRow(const Pel* a, const Pel* b, unsigned bias, unsigned* out, long width) {
  const int* logs = levelLogs().data() + bias;
  constexpr int kZero = static_cast<int>(logRatioZero),
                kLargest = static_cast<int>(logRatioLargest);
  for (long x = 0; x < width; ++x)
    out[x] = static_cast<unsigned>(std::clamp(kZero + logs[a[x]] - logs[b[x]], 0, kLargest));
}

template <class Pel>
void divideRow(const Pel* a, const unsigned* c, int top, Pel* out, long width) {
  const float* fractions = octaveFractions().data();
  float powers[kOctaves];
  for (int e = 0; e < kOctaves; ++e) powers[e] = std::ldexp(1.0f, -(e + kLowestOctave));
  const float topLevel = static_cast<float>(top);
  constexpr int kShift = 14;  // log2 logRatioSteps
  static_assert(1u << kShift == logRatioSteps);
  for (long x = 0; x < width; ++x) {
    const int n = static_cast<int>(std::min(c[x], logRatioLargest)) - int(logRatioZero);
    const float factor =
        fractions[n & (int(logRatioSteps) - 1)] * powers[(n >> kShift) - kLowestOctave];
    const float v = static_cast<float>(a[x]) * factor;
    out[x] = static_cast<Pel>(static_cast<int>(std::min(v, topLevel) + 0.5f));
  }
}

}  // namespace

void kf_PelLogRatioRow(const unsigned char* a, const unsigned char* b, unsigned bias, unsigned* out,
                       long width) {
  logRatioRow(a, b, std::clamp(bias, 1u, logRatioMaxBias), out, width);
}
void kf_PelLogRatioRow(const unsigned short* a, const unsigned short* b, unsigned bias,
                       unsigned* out, long width) {
  logRatioRow(a, b, std::clamp(bias, 1u, logRatioMaxBias), out, width);
}
void kf_PelDivideByLogRatioRow(const unsigned char* a, const unsigned* c, unsigned char top,
                               unsigned char* out, long width) {
  divideRow(a, c, top, out, width);
}
void kf_PelDivideByLogRatioRow(const unsigned short* a, const unsigned* c, unsigned short top,
                               unsigned short* out, long width) {
  divideRow(a, c, top, out, width);
}
