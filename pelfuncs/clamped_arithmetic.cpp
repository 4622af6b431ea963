#include "pelfuncs/clamped_arithmetic.h"

#include <algorithm>

#include "host/detail/cpu_dispatch.h"
#include "host/exceptions.h"
#include "imaging/detail/row_walk.h"

namespace {

constexpr int kOffset = 128;
constexpr int kMaxLimit = 127;
constexpr long kBlock = 8;

// Per-pel rules on 16-bit lanes: every intermediate lies in -383 .. 510, and
// narrow lanes let the compiler process a whole block in one vector.
struct SubClamp {
  short limit;
  unsigned char operator()(short d, short s) const {
    return static_cast<unsigned char>(std::clamp<short>(d - s, -limit, limit) + kOffset);
  }
};

struct SubClampSigned {
  unsigned char operator()(short d, short s) const {
    return static_cast<unsigned char>(std::clamp(d - s + kOffset, 0, 255));
  }
};

struct AddClamp {
  unsigned char operator()(short d, short s) const {
    return static_cast<unsigned char>(std::clamp(d + s - kOffset, 0, 255));
  }
};

// out[x] <- rule(a[x], b[x]) in blocks of eight pels (all loads of a block
// before its stores, so out may be a or b) and then the rest of the row.
template <class Rule>
void clampRow(const unsigned char* a, const unsigned char* b, unsigned char* out, long width,
              Rule rule) {
  long x = 0;
  for (; x + kBlock <= width; x += kBlock) {
    unsigned char block[kBlock];
    for (long k = 0; k < kBlock; ++k) block[k] = rule(a[x + k], b[x + k]);
    for (long k = 0; k < kBlock; ++k) out[x + k] = block[k];
  }
  for (; x < width; ++x) out[x] = rule(a[x], b[x]);
}

template <class Rule>
void clampRows(unsigned char* dst, long dstStride, const unsigned char* src, long srcStride,
               long width, long height, Rule rule) {
  for (long y = 0; y < height; ++y, dst += dstStride, src += srcStride)
    clampRow(dst, src, dst, width, rule);
}

template <class Rule>
void clampInPlace(const kcPelBuffer<unsigned char>& destination,
                  const kcPelBuffer_const<unsigned char>& source, Rule rule) {
  if (!destination.isBound() || !source.isBound()) throw kcPel::UnboundWindow();
  const kcPelRect region = destination.window() & source.window();
  if (region.isNull()) return;
  kcPelBuffer<unsigned char> dst = destination;
  kcPelBuffer_const<unsigned char> src = source;
  dst.window(region, false);
  src.window(region, false);
  src = kfUnaliasedSource(src, dst);
  clampRows(dst.pointToOffset(), dst.rowUpdate(), src.pointToOffset(), src.rowUpdate(),
            region.width(), region.height(), rule);
}

}  // namespace

void kf_PelSubClamp(const kcPelBuffer<unsigned char>& destination,
                    const kcPelBuffer_const<unsigned char>& source, unsigned char limit) {
  clampInPlace(destination, source, SubClamp{static_cast<short>(std::min<int>(limit, kMaxLimit))});
}

void kf_PelSubClampSigned(const kcPelBuffer<unsigned char>& destination,
                          const kcPelBuffer_const<unsigned char>& source) {
  clampInPlace(destination, source, SubClampSigned{});
}

void kf_PelAddClamp(const kcPelBuffer<unsigned char>& destination,
                    const kcPelBuffer_const<unsigned char>& source) {
  clampInPlace(destination, source, AddClamp{});
}

void kf_PelSubClampSignedRow(const unsigned char* a, const unsigned char* b, unsigned char* out,
                             long width) {
  clampRow(a, b, out, width, SubClampSigned{});
}

namespace {

// The wide row kernels, built for every x86-64 processor and for AVX2,
// whose 32-bit minimum and maximum the baseline lacks. 32-bit lanes hold
// every intermediate: |a - b| < 2^16 and backgrounds lie below 2^31.
constexpr int kWideOffset = static_cast<int>(wideDifferenceOffset);

[[gnu::always_inline]] inline void subClampWide(const unsigned short* __restrict a,
                                                const unsigned short* __restrict b, int limit,
                                                unsigned* __restrict out, long width) {
  for (long x = 0; x < width; ++x)
    out[x] = static_cast<unsigned>(std::clamp(int(a[x]) - int(b[x]), -limit, limit) + kWideOffset);
}

[[gnu::always_inline]] inline void subClampSignedWide(const unsigned short* __restrict a,
                                                      const unsigned* __restrict b, int top,
                                                      unsigned short* __restrict out, long width) {
  for (long x = 0; x < width; ++x)
    out[x] = static_cast<unsigned short>(
        std::clamp(int(a[x]) - (static_cast<int>(b[x]) - kWideOffset), 0, top));
}

void subClampWidePlain(const unsigned short* a, const unsigned short* b, int limit, unsigned* out,
                       long width) {
  subClampWide(a, b, limit, out, width);
}
KC_TARGET_AVX2 void subClampWideAvx2(const unsigned short* a, const unsigned short* b, int limit,
                                     unsigned* out, long width) {
  subClampWide(a, b, limit, out, width);
}
void subClampSignedWidePlain(const unsigned short* a, const unsigned* b, int top,
                             unsigned short* out, long width) {
  subClampSignedWide(a, b, top, out, width);
}
KC_TARGET_AVX2 void subClampSignedWideAvx2(const unsigned short* a, const unsigned* b, int top,
                                           unsigned short* out, long width) {
  subClampSignedWide(a, b, top, out, width);
}

}  // namespace

void kf_PelSubClampWideRow(const unsigned short* a, const unsigned short* b, unsigned limit,
                           unsigned* out, long width) {
  kfPickKernel(subClampWidePlain, subClampWideAvx2)(a, b, static_cast<int>(std::min(limit, 65535u)),
                                                    out, width);
}

void kf_PelSubClampSignedRow(const unsigned short* a, const unsigned* b, unsigned short top,
                             unsigned short* out, long width) {
  kfPickKernel(subClampSignedWidePlain, subClampSignedWideAvx2)(a, b, int(top), out, width);
}
