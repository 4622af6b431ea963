#include "pelfuncs/pel_ratio.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "host/detail/cpu_dispatch.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

// Narrow codes, computed in vectors: a table of every pair's code or every
// code's ratio would take a gather (slow on processors that guard them) or
// a look-up per pel. The ratio of a code: its step f within the
// octave, 64 k2 + 8 k1 + k0, is 2^(k2 / 8) 2^(k1 / 64) 2^(k0 / 512), three
// factors from tables of eight that a vector register holds, multiplied in
// that order in single precision (within 2e-7 of the exact ratio; exactly
// 1 for f = 0), then scaled by the octave's power of two, which is exact.
constexpr int kNarrowShift = 9;  // log2 narrowLogRatioSteps
static_assert(1u << kNarrowShift == narrowLogRatioSteps);

struct NarrowFactors {
  alignas(32) float eighths[8], sixtyFourths[8], steps[8];
};

const NarrowFactors& narrowFactors() {
  static const NarrowFactors factors = [] {
    NarrowFactors f{};
    for (int k = 0; k < 8; ++k) {
      f.eighths[k] = static_cast<float>(std::exp2(k / 8.0));
      f.sixtyFourths[k] = static_cast<float>(std::exp2(k / 64.0));
      f.steps[k] = static_cast<float>(std::exp2(k / 512.0));
    }
    return f;
  }();
  return factors;
}

// The bits of 2^(c / narrowLogRatioSteps - 4) for the octave of code c:
// 127 is the exponent bias of single precision.
constexpr unsigned octaveBits(unsigned c) { return ((c >> kNarrowShift) + 127 - 4) << 23; }

float narrowRatio(const NarrowFactors& f, unsigned code) {
  const unsigned c = std::min(code, narrowLogRatioLargest);
  const float fraction = f.eighths[(c >> 6) & 7] * f.sixtyFourths[(c >> 3) & 7] * f.steps[c & 7];
  return fraction * std::bit_cast<float>(octaveBits(c));
}

// Single-precision division is correctly rounded, so a field of the ratios
// applied as min(a / ratio, 255) + 0.5, truncated, gives these levels.
unsigned char narrowQuotient(const NarrowFactors& f, unsigned char a, unsigned code) {
  const float v = static_cast<float>(a) / narrowRatio(f, code);
  return static_cast<unsigned char>(static_cast<int>(std::min(v, 255.0f) + 0.5f));
}

void narrowDividePlain(const unsigned char* a, const unsigned short* c, unsigned char* out,
                       long width) {
  const NarrowFactors& f = narrowFactors();
  for (long x = 0; x < width; ++x) out[x] = narrowQuotient(f, a[x], c[x]);
}

#if defined(__x86_64__)
// Eight pels at a time by the same operations on lanes: the factors by
// permutations of the tables (each index's low three bits pick).
KC_TARGET_AVX2 void narrowDivideAvx2(const unsigned char* a, const unsigned short* c,
                                     unsigned char* out, long width) {
  const NarrowFactors& f = narrowFactors();
  const __m256 eighths = _mm256_load_ps(f.eighths), sixtyFourths = _mm256_load_ps(f.sixtyFourths),
               steps = _mm256_load_ps(f.steps);
  const __m256i largest = _mm256_set1_epi32(narrowLogRatioLargest);
  const __m256i lowestOctave = _mm256_set1_epi32(127 - 4);
  const __m256 top = _mm256_set1_ps(255.0f), half = _mm256_set1_ps(0.5f);
  long x = 0;
  for (; x + 8 <= width; x += 8) {
    __m128i packed;
    std::memcpy(&packed, c + x, sizeof packed);
    const __m256i code = _mm256_min_epu32(_mm256_cvtepu16_epi32(packed), largest);
    const __m256 fraction = _mm256_mul_ps(
        _mm256_mul_ps(_mm256_permutevar8x32_ps(eighths, _mm256_srli_epi32(code, 6)),
                      _mm256_permutevar8x32_ps(sixtyFourths, _mm256_srli_epi32(code, 3))),
        _mm256_permutevar8x32_ps(steps, code));
    const __m256i octave = _mm256_slli_epi32(
        _mm256_add_epi32(_mm256_srli_epi32(code, kNarrowShift), lowestOctave), 23);
    const __m256 ratio = _mm256_mul_ps(fraction, _mm256_castsi256_ps(octave));
    long long levels8;
    std::memcpy(&levels8, a + x, sizeof levels8);
    const __m256 levels = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_cvtsi64_si128(levels8)));
    const __m256 v = _mm256_add_ps(_mm256_min_ps(_mm256_div_ps(levels, ratio), top), half);
    const __m256i whole = _mm256_cvttps_epi32(v);
    const __m128i words =
        _mm_packus_epi32(_mm256_castsi256_si128(whole), _mm256_extracti128_si256(whole, 1));
    const long long bytes = _mm_cvtsi128_si64(_mm_packus_epi16(words, words));
    std::memcpy(out + x, &bytes, sizeof bytes);
  }
  narrowDividePlain(a + x, c + x, out + x, width - x);
}
#else
void narrowDivideAvx2(const unsigned char* a, const unsigned short* c, unsigned char* out,
                      long width) {
  narrowDividePlain(a, c, out, width);
}
#endif

// log2(1 + u) for u in [0, 1): the Chebyshev interpolation at ten nodes
// as a polynomial in u. Evaluated in single precision as below, it gives
// the nearest code for every pair of 8-bit levels (checked against double
// precision over all of them).
constexpr float kLog2Series[] = {0x1.2c4a92p-27f, 0x1.715458p+0f, -0x1.714cb2p-1f, 0x1.eba15ep-2f,
                                 -0x1.6bb36cp-2f, 0x1.10248cp-2f, -0x1.6fc50cp-3f, 0x1.847316p-4f,
                                 -0x1.0b6e30p-5f, 0x1.5a4266p-8f};

// The narrow code of (a + 1) / (b + 1): the octave from the exponent of
// the ratio in single precision, the step within it from its mantissa.
// Equal levels divide to exactly 1, the code narrowLogRatioZero.
[[gnu::always_inline]] inline unsigned short narrowCode(unsigned char a, unsigned char b) {
  const float r = static_cast<float>(a + 1) / static_cast<float>(b + 1);
  const int bits = std::bit_cast<int>(r);
  const int octave = (bits >> 23) - 127;  // the exponent bias of single precision
  const float u = std::bit_cast<float>((bits & 0x7FFFFF) | 0x3F800000) - 1.0f;
  const float* k = kLog2Series;
  const float log2m =
      k[0] +
      u * (k[1] +
           u * (k[2] +
                u * (k[3] +
                     u * (k[4] + u * (k[5] + u * (k[6] + u * (k[7] + u * (k[8] + u * k[9]))))))));
  // log2m >= 0 but for rounding, so + 0.5 truncates to the nearest step.
  const int step = static_cast<int>(log2m * static_cast<float>(narrowLogRatioSteps) + 0.5f);
  const int code = int(narrowLogRatioZero) + int(narrowLogRatioSteps) * octave + step;
  return static_cast<unsigned short>(std::clamp(code, 0, int(narrowLogRatioLargest)));
}

[[gnu::always_inline]] inline void narrowLogRatioRow(const unsigned char* __restrict a,
                                                     const unsigned char* __restrict b,
                                                     unsigned short* __restrict out, long width) {
  // Blocks of 32 bytes of levels, which become four full vectors of eight
  // floats in the AVX2 build (blocks of 16 would leave it half vectors).
  constexpr long kLevels = 32;
  long x = 0;
  for (; x + kLevels <= width; x += kLevels)
    for (long k = 0; k < kLevels; ++k) out[x + k] = narrowCode(a[x + k], b[x + k]);
  for (; x < width; ++x) out[x] = narrowCode(a[x], b[x]);
}

void narrowLogRatioPlain(const unsigned char* a, const unsigned char* b, unsigned short* out,
                         long width) {
  narrowLogRatioRow(a, b, out, width);
}
KC_TARGET_AVX2 void narrowLogRatioAvx2(const unsigned char* a, const unsigned char* b,
                                       unsigned short* out, long width) {
  narrowLogRatioRow(a, b, out, width);
}

}  // namespace

void kf_PelLogRatioRow(const unsigned char* a, const unsigned char* b, unsigned short* out,
                       long width) {
  kfPickKernel(narrowLogRatioPlain, narrowLogRatioAvx2)(a, b, out, width);
}

void kf_LogRatioValuesRow(const unsigned short* c, float* out, long width) {
  const NarrowFactors& f = narrowFactors();
  for (long x = 0; x < width; ++x) out[x] = narrowRatio(f, c[x]);
}

void kf_PelDivideByLogRatioRow(const unsigned char* a, const unsigned short* c, unsigned char* out,
                               long width) {
  kfPickKernel(narrowDividePlain, narrowDivideAvx2)(a, c, out, width);
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
