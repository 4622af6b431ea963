#include "pelfuncs/pel_ratio.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "host/detail/cpu_dispatch.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

// Both directions are worked out in single precision by the same
// operations in every build (no fused multiply-add), so every build and
// thread gets the same codes and levels.

namespace {

// The ratio of a code, 2^(n / logRatioSteps) for n = code - logRatioZero:
// the octave k nearest to it, exactly, from its exponent's bits (127 is
// the exponent bias of single precision), times 2^t for the rest t =
// n / logRatioSteps - k in -1/2 .. 1/2, 1 + t times a polynomial fitted to
// (2^t - 1) / t over that span (degree 5, Chebyshev nodes; within 9e-8 of
// 2^t in single precision). Whole octaves are exact powers of two, code
// zero exactly 1.
[[gnu::always_inline]] inline float ratioOfCode(unsigned code) {
  constexpr int kShift = 14;  // log2 logRatioSteps
  static_assert(1u << kShift == logRatioSteps);
  const int n = static_cast<int>(std::min(code, logRatioLargest)) - int(logRatioZero);
  const int octave = (n + (1 << (kShift - 1))) >> kShift;
  const float t = static_cast<float>(n - (octave << kShift)) * (1.0f / logRatioSteps);
  const float g =
      (((((0.000154614478f * t + 0.00133908668f) * t + 0.00961805694f) * t + 0.0555035695f) * t +
        0.240226507f) *
           t +
       0.693147182f);
  const float power = std::bit_cast<float>(static_cast<unsigned>(octave + 127) << 23);
  return (1.0f + t * g) * power;
}

// log2 q for a single-precision q of 2^-17 .. 2^17: its exponent e and
// the log of its mantissa m in sqrt(1/2) .. sqrt(2), the latter f times a
// polynomial in f = m - 1 fitted to log2(1 + f) / f over that span (degree
// 6, Chebyshev nodes; off by at most 1e-2 / logRatioSteps in single
// precision). q = 1 gives exactly 0.
[[gnu::always_inline]] inline float log2Of(float q, float& octaves) {
  constexpr unsigned kSqrtHalf = 0x3F3504F3;  // the bits of sqrt(1/2)
  const unsigned shifted = std::bit_cast<unsigned>(q) - kSqrtHalf;
  octaves = static_cast<float>(static_cast<int>(shifted) >> 23);
  const float f = std::bit_cast<float>((shifted & 0x7FFFFFu) + kSqrtHalf) - 1.0f;
  const float g =
      ((((((0.172128737f * f - 0.269506276f) * f + 0.295633614f) * f - 0.359350652f) * f +
         0.480629146f) *
            f -
        0.721364021f) *
           f +
       1.44269645f);
  return f * g;
}

// The code of (a + bias) / (b + bias): the quotient in single precision
// (within 2^-24 of it, 1.4e-3 of a step in its log), its log as above, and
// zero + the steps rounded, clamped: within 0.52 of a step of the exact
// code, so within one step of its rounding. Equal levels give a quotient
// of exactly 1, so exactly logRatioZero. The same operations in every
// build (no fused multiply-add) give the same codes.
template <class Pel>
[[gnu::always_inline]] inline void logRatioRow(const Pel* __restrict a, const Pel* __restrict b,
                                               unsigned bias, unsigned* __restrict out,
                                               long width) {
  const float biasLevel = static_cast<float>(bias);
  constexpr float kSteps = logRatioSteps, kRoundedZero = logRatioZero + 0.5f;
  for (long x = 0; x < width; ++x) {
    const float q = (static_cast<float>(a[x]) + biasLevel) / (static_cast<float>(b[x]) + biasLevel);
    float octaves;
    const float fraction = log2Of(q, octaves);
    const float code = (octaves * kSteps + kRoundedZero) + fraction * kSteps;
    // code lies within +-2^19 (quotients of 2^-17 .. 2^17), so it
    // converts to an int without overflow; truncation rounds it (those
    // below 0 truncate to 0 or less), and the clamp bounds the result.
    out[x] = static_cast<unsigned>(std::clamp(static_cast<int>(code), 0, int(logRatioLargest)));
  }
}

// Single-precision division is correctly rounded, so a field of the ratios
// applied as min(a / ratio, top) + 0.5, truncated, gives these levels.
template <class Pel>
[[gnu::always_inline]] inline void divideRow(const Pel* __restrict a, const unsigned* __restrict c,
                                             int top, Pel* __restrict out, long width) {
  for (long x = 0; x < width; ++x) {
    // Below 2^21 (top over 2^-4), so whole and min(.., top) + 0.5
    // truncated alike.
    const float v = static_cast<float>(a[x]) / ratioOfCode(c[x]);
    out[x] = static_cast<Pel>(std::min(static_cast<int>(v + 0.5f), top));
  }
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
KC_TARGET_AVX512VBMI void logRatioAvx512(const Pel* a, const Pel* b, unsigned bias, unsigned* out,
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
KC_TARGET_AVX512VBMI void divideAvx512(const Pel* a, const unsigned* c, int top, Pel* out,
                                       long width) {
  divideRow(a, c, top, out, width);
}

template <class Pel>
void logRatio(const Pel* a, const Pel* b, unsigned bias, unsigned* out, long width) {
  kfPickKernel(logRatioPlain<Pel>, logRatioAvx2<Pel>, logRatioAvx512<Pel>)(
      a, b, std::clamp(bias, 1u, logRatioMaxBias), out, width);
}
template <class Pel>
void divide(const Pel* a, const unsigned* c, Pel top, Pel* out, long width) {
  kfPickKernel(dividePlain<Pel>, divideAvx2<Pel>, divideAvx512<Pel>)(a, c, int(top), out, width);
}

// Narrow codes, in vectors without gathers (slow on processors that guard
// them). The ratio of a code: its step f within the octave, 64 k2 + 8 k1 +
// k0, is 2^(k2 / 8) 2^(k1 / 64) 2^(k0 / 512), three factors from tables of
// eight that a vector register holds, multiplied in that order in single
// precision (within 2e-7 of the exact ratio, as the tests check for every
// code; exactly 1 for f = 0), then scaled by the octave's power of two,
// which is exact. Every build takes the same operations (no fused
// multiply-add), hence the same ratios and quotients.
constexpr int kNarrowShift = 9;  // log2 narrowLogRatioSteps
static_assert(1u << kNarrowShift == narrowLogRatioSteps);

// Each table twice over, so that a permutation of sixteen lanes, which
// reads four bits of the index, picks by the low three.
struct NarrowFactors {
  alignas(64) float eighths[16], sixtyFourths[16], steps[16];
};

const NarrowFactors& narrowFactors() {
  static const NarrowFactors factors = [] {
    NarrowFactors f{};
    for (int k = 0; k < 16; ++k) {
      f.eighths[k] = static_cast<float>(std::exp2((k & 7) / 8.0));
      f.sixtyFourths[k] = static_cast<float>(std::exp2((k & 7) / 64.0));
      f.steps[k] = static_cast<float>(std::exp2((k & 7) / 512.0));
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

// Sixteen at a time, the same way.
KC_TARGET_AVX512VBMI void narrowDivideAvx512(const unsigned char* a, const unsigned short* c,
                                             unsigned char* out, long width) {
  // Masked forms throughout, every lane on: GCC 12 warns of the unmasked
  // forms' undefined pass-through operand.
  constexpr __mmask16 kAll16 = 0xFFFF;
  const NarrowFactors& f = narrowFactors();
  const __m512 eighths = _mm512_load_ps(f.eighths), sixtyFourths = _mm512_load_ps(f.sixtyFourths),
               steps = _mm512_load_ps(f.steps);
  const __m512i largest = _mm512_set1_epi32(narrowLogRatioLargest);
  const __m512i lowestOctave = _mm512_set1_epi32(127 - 4);
  const __m512 top = _mm512_set1_ps(255.0f), half = _mm512_set1_ps(0.5f);
  long x = 0;
  for (; x + 16 <= width; x += 16) {
    const __m512i code = _mm512_maskz_min_epu32(
        kAll16,
        _mm512_maskz_cvtepu16_epi32(kAll16,
                                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c + x))),
        largest);
    const __m512 fraction = _mm512_maskz_mul_ps(
        kAll16,
        _mm512_maskz_mul_ps(
            kAll16,
            _mm512_maskz_permutexvar_ps(kAll16, _mm512_maskz_srli_epi32(kAll16, code, 6), eighths),
            _mm512_maskz_permutexvar_ps(kAll16, _mm512_maskz_srli_epi32(kAll16, code, 3),
                                        sixtyFourths)),
        _mm512_maskz_permutexvar_ps(kAll16, code, steps));
    const __m512i octave = _mm512_maskz_slli_epi32(
        kAll16,
        _mm512_maskz_add_epi32(kAll16, _mm512_maskz_srli_epi32(kAll16, code, kNarrowShift),
                               lowestOctave),
        23);
    const __m512 ratio = _mm512_maskz_mul_ps(kAll16, fraction, _mm512_castsi512_ps(octave));
    const __m512 levels = _mm512_maskz_cvtepi32_ps(
        kAll16, _mm512_maskz_cvtepu8_epi32(
                    kAll16, _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + x))));
    const __m512 v = _mm512_maskz_add_ps(
        kAll16, _mm512_maskz_min_ps(kAll16, _mm512_maskz_div_ps(kAll16, levels, ratio), top), half);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x),
                     _mm512_maskz_cvtusepi32_epi8(kAll16, _mm512_maskz_cvttps_epi32(kAll16, v)));
  }
  narrowDividePlain(a + x, c + x, out + x, width - x);
}
#else
void narrowDivideAvx2(const unsigned char* a, const unsigned short* c, unsigned char* out,
                      long width) {
  narrowDividePlain(a, c, out, width);
}
void narrowDivideAvx512(const unsigned char* a, const unsigned short* c, unsigned char* out,
                        long width) {
  narrowDividePlain(a, c, out, width);
}
#endif

// The codes of 8-bit levels: logs[a] = round(4096 log2(a + 1)) - 16384,
// eighths of a step offset into 16 signed bits, split into low and high
// bytes for the byte permutations of the AVX-512 build. A code is
// (logs[a] - logs[b] + 16388) / 8 (16384 the eighths of narrowLogRatioZero,
// 4 to round), clamped: within 5/8 of a step of the exact code (two
// roundings of 1/16), exactly narrowLogRatioZero for equal levels.
struct NarrowLogs {
  short logs[256];
  alignas(64) unsigned char low[256], high[256];
};

const NarrowLogs& narrowLogs() {
  static const NarrowLogs table = [] {
    NarrowLogs t{};
    for (int a = 0; a < 256; ++a) {
      const auto v = static_cast<unsigned short>(std::lround(4096 * std::log2(a + 1.0)) - 16384);
      t.logs[a] = static_cast<short>(v);
      t.low[a] = static_cast<unsigned char>(v & 0xFF);
      t.high[a] = static_cast<unsigned char>(v >> 8);
    }
    return t;
  }();
  return table;
}

constexpr int kRoundedZero = 16388;

// The differences reach +-32768 (255 over 0), which the vector build
// saturates to 32767: either way the code is the largest.
void narrowLogRatioPlain(const unsigned char* a, const unsigned char* b, unsigned short* out,
                         long width) {
  const short* logs = narrowLogs().logs;
  for (long x = 0; x < width; ++x) {
    const int code = (logs[a[x]] - logs[b[x]] + kRoundedZero) >> 3;
    out[x] = static_cast<unsigned short>(std::clamp(code, 0, int(narrowLogRatioLargest)));
  }
}

#if defined(__x86_64__)
// Sixty-four levels of a and of b at a time: each byte of their logs by
// two permutations of 128 bytes and a blend on the level's top bit, the
// codes in saturating 16-bit arithmetic.
KC_TARGET_AVX512VBMI inline __m512i logBytes(__m512i levels, const unsigned char* table) {
  const __m512i lower =
      _mm512_permutex2var_epi8(_mm512_load_si512(table), levels, _mm512_load_si512(table + 64));
  const __m512i upper = _mm512_permutex2var_epi8(_mm512_load_si512(table + 128), levels,
                                                 _mm512_load_si512(table + 192));
  return _mm512_mask_blend_epi8(_mm512_movepi8_mask(levels), lower, upper);
}

KC_TARGET_AVX512VBMI inline __m512i codesOf(__m512i logsA, __m512i logsB) {
  const __m512i sum = _mm512_adds_epi16(_mm512_subs_epi16(logsA, logsB),
                                        _mm512_set1_epi16(static_cast<short>(kRoundedZero)));
  const __m512i steps = _mm512_srli_epi16(_mm512_max_epi16(sum, _mm512_setzero_si512()), 3);
  return _mm512_min_epi16(steps, _mm512_set1_epi16(static_cast<short>(narrowLogRatioLargest)));
}

KC_TARGET_AVX512VBMI void narrowLogRatioVbmi(const unsigned char* a, const unsigned char* b,
                                             unsigned short* out, long width) {
  const NarrowLogs& t = narrowLogs();
  // Unpacking works within 128-bit lanes: codes of the low halves, then of
  // the high halves, of each lane; these quadword orders put them back.
  const __m512i first = _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11),
                second = _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15);
  long x = 0;
  for (; x + 64 <= width; x += 64) {
    const __m512i va = _mm512_loadu_si512(a + x), vb = _mm512_loadu_si512(b + x);
    const __m512i aLow = logBytes(va, t.low), aHigh = logBytes(va, t.high);
    const __m512i bLow = logBytes(vb, t.low), bHigh = logBytes(vb, t.high);
    const __m512i lows =
        codesOf(_mm512_unpacklo_epi8(aLow, aHigh), _mm512_unpacklo_epi8(bLow, bHigh));
    const __m512i highs =
        codesOf(_mm512_unpackhi_epi8(aLow, aHigh), _mm512_unpackhi_epi8(bLow, bHigh));
    _mm512_storeu_si512(out + x, _mm512_permutex2var_epi64(lows, first, highs));
    _mm512_storeu_si512(out + x + 32, _mm512_permutex2var_epi64(lows, second, highs));
  }
  narrowLogRatioPlain(a + x, b + x, out + x, width - x);
}
#else
void narrowLogRatioVbmi(const unsigned char* a, const unsigned char* b, unsigned short* out,
                        long width) {
  narrowLogRatioPlain(a, b, out, width);
}
#endif

}  // namespace

void kf_PelLogRatioRow(const unsigned char* a, const unsigned char* b, unsigned short* out,
                       long width) {
  // The AVX2 build would gather from the table; the plain one reads it.
  kfPickKernel(narrowLogRatioPlain, narrowLogRatioPlain, narrowLogRatioVbmi)(a, b, out, width);
}

void kf_LogRatioValuesRow(const unsigned short* c, float* out, long width) {
  const NarrowFactors& f = narrowFactors();
  for (long x = 0; x < width; ++x) out[x] = narrowRatio(f, c[x]);
}

void kf_PelDivideByLogRatioRow(const unsigned char* a, const unsigned short* c, unsigned char* out,
                               long width) {
  kfPickKernel(narrowDividePlain, narrowDivideAvx2, narrowDivideAvx512)(a, c, out, width);
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
  for (long x = 0; x < width; ++x) out[x] = ratioOfCode(c[x]);
}
