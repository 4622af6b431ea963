#include "pelfuncs/pel_ratio.h"

#include <algorithm>

#include "host/detail/cpu_dispatch.h"

// Single precision is exact where it matters and the same on every build:
// a numerator below 2^16 + 2^15 times ratioOne is below 2^31 with at most
// 17 significant bits, so it is held exactly; the quotient is then rounded
// once, correctly, by the division, and +0.5 then truncation rounds it to a
// code. Contraction into fused operations is off for the whole project, and
// no product here meets a sum anyway. A code lies within one step of the
// exact ratio's rounding.

namespace {

constexpr float kOne = static_cast<float>(ratioOne);

template <class Pel>
[[gnu::always_inline]] inline void ratioRow(const Pel* __restrict a, const Pel* __restrict b,
                                            int bias, unsigned* __restrict out, long width) {
  constexpr float kLargest = static_cast<float>(ratioLargest);
  for (long x = 0; x < width; ++x) {
    const float q =
        static_cast<float>(int(a[x]) + bias) * kOne / static_cast<float>(int(b[x]) + bias);
    out[x] = static_cast<unsigned>(static_cast<int>(std::min(q, kLargest) + 0.5f));
  }
}

// Codes below 2^24 are held exactly in single precision.
template <class Pel>
[[gnu::always_inline]] inline void divideRow(const Pel* __restrict a, const unsigned* __restrict q,
                                             int top, Pel* __restrict out, long width) {
  const float topLevel = static_cast<float>(top);
  for (long x = 0; x < width; ++x) {
    const float code = static_cast<float>(std::max(static_cast<int>(q[x]), 1));
    const float v = static_cast<float>(int(a[x])) * kOne / code;
    out[x] = static_cast<Pel>(static_cast<int>(std::min(v, topLevel) + 0.5f));
  }
}

template <class Pel>
void ratioPlain(const Pel* a, const Pel* b, int bias, unsigned* out, long width) {
  ratioRow(a, b, bias, out, width);
}
template <class Pel>
KC_TARGET_AVX2 void ratioAvx2(const Pel* a, const Pel* b, int bias, unsigned* out, long width) {
  ratioRow(a, b, bias, out, width);
}
template <class Pel>
void dividePlain(const Pel* a, const unsigned* q, int top, Pel* out, long width) {
  divideRow(a, q, top, out, width);
}
template <class Pel>
KC_TARGET_AVX2 void divideAvx2(const Pel* a, const unsigned* q, int top, Pel* out, long width) {
  divideRow(a, q, top, out, width);
}

template <class Pel>
void pickRatio(const Pel* a, const Pel* b, unsigned bias, unsigned* out, long width) {
  kfPickKernel(ratioPlain<Pel>, ratioAvx2<Pel>)(a, b, static_cast<int>(bias), out, width);
}
template <class Pel>
void pickDivide(const Pel* a, const unsigned* q, Pel top, Pel* out, long width) {
  kfPickKernel(dividePlain<Pel>, divideAvx2<Pel>)(a, q, int(top), out, width);
}

}  // namespace

void kf_PelRatioRow(const unsigned char* a, const unsigned char* b, unsigned bias, unsigned* out,
                    long width) {
  pickRatio(a, b, bias, out, width);
}
void kf_PelRatioRow(const unsigned short* a, const unsigned short* b, unsigned bias, unsigned* out,
                    long width) {
  pickRatio(a, b, bias, out, width);
}
void kf_PelDivideByRatioRow(const unsigned char* a, const unsigned* q, unsigned char top,
                            unsigned char* out, long width) {
  pickDivide(a, q, top, out, width);
}
void kf_PelDivideByRatioRow(const unsigned short* a, const unsigned* q, unsigned short top,
                            unsigned short* out, long width) {
  pickDivide(a, q, top, out, width);
}
