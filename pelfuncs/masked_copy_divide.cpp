#include "pelfuncs/masked_copy_divide.h"

#include <cstdint>

#include "host/assert.h"
#include "host/exceptions.h"
#include "imaging/pel_copy.h"
#include "pelfuncs/detail/masked_region.h"

namespace {

constexpr long kBlock = 16;

template <class T>
T selectPel(T dst, T src, unsigned char mask, bool outsideMask) {
  return ((mask == 0) == outsideMask) ? src : dst;
}

// Fixed-size blocks (all loads before the stores) let the compiler turn the
// select into one vector blend per block.
template <class T>
void copyRowSelected(T* dst, const T* src, const unsigned char* mask, long width,
                     bool outsideMask) {
  long x = 0;
  for (; x + kBlock <= width; x += kBlock) {
    T out[kBlock];
    for (long k = 0; k < kBlock; ++k)
      out[k] = selectPel(dst[x + k], src[x + k], mask[x + k], outsideMask);
    for (long k = 0; k < kBlock; ++k) dst[x + k] = out[k];
  }
  for (; x < width; ++x) dst[x] = selectPel(dst[x], src[x], mask[x], outsideMask);
}

template <class T>
void copyRows(T* dst, long dstStride, const T* src, long srcStride, const unsigned char* mask,
              long maskStride, long width, long height, bool outsideMask) {
  for (long y = 0; y < height; ++y, dst += dstStride, src += srcStride, mask += maskStride)
    copyRowSelected(dst, src, mask, width, outsideMask);
}

// Row pointers of the divide's inputs; mask is null when every pel takes part.
struct DivideRows {
  const unsigned short* numerator;
  long numeratorStride;
  const unsigned short* divisor;
  long divisorStride;
  const unsigned char* mask;
  long maskStride;
  long width;
  long height;

  void next() {
    numerator += numeratorStride;
    divisor += divisorStride;
    if (mask) mask += maskStride;
  }
};

bool takesPart(const unsigned char* mask, long x) { return mask == nullptr || mask[x] != 0; }

// True when every pel that takes part has a non-zero divisor. Checked ahead
// of the divide so that a broken precondition leaves the destination as it
// was.
bool divisorsNonZero(DivideRows rows) {
  for (long y = 0; y < rows.height; ++y, rows.next()) {
    for (long x = 0; x < rows.width; ++x) {
      if (takesPart(rows.mask, x) && rows.divisor[x] == 0) return false;
    }
  }
  return true;
}

// Truncated a / w for any 32-bit a and 16-bit w > 0. The double quotient lies
// within 2^-21 of a / w, and a non-integer a / w lies at least 1 / w > 2^-16
// below the next integer, so truncation gives the integer quotient exactly;
// a double division is cheaper than a 32-bit integer one.
std::uint32_t quotient(std::uint32_t a, std::uint32_t w) {
  return static_cast<std::uint32_t>(static_cast<double>(a) / static_cast<double>(w));
}

void divideRow(const unsigned short* numerator, const unsigned short* divisor,
               const unsigned char* mask, long width, std::uint32_t scale, unsigned char* dst) {
  for (long x = 0; x < width; ++x) {
    if (!takesPart(mask, x)) continue;
    const std::uint32_t w = divisor[x];
    dst[x] = static_cast<unsigned char>(quotient(numerator[x] * scale + (w >> 1), w));
  }
}

void divideRows(DivideRows rows, std::uint32_t scale, unsigned char* dst, long dstStride) {
  for (long y = 0; y < rows.height; ++y, rows.next(), dst += dstStride)
    divideRow(rows.numerator, rows.divisor, rows.mask, rows.width, scale, dst);
}

kcPelBuffer<unsigned char> newDestination(const kcPelRect& region, const kc_PelBuffer& xformsFrom) {
  kcPelBuffer<unsigned char> dst(region, 32);
  dst.copyXforms(xformsFrom);
  return dst;
}

template <class T>
void maskedPelCopy(const kcPelBuffer_const<T>& source, const kcPelBuffer_const<unsigned char>& mask,
                   kcPelBuffer<T>& destination, bool outsideMask) {
  if (!source.isBound()) throw kcPel::UnboundWindow();
  if (!mask.isBound()) {
    kfPelCopy(source, destination);
    return;
  }
  kcMaskedViews<T> v;
  if (!kfNarrowMaskedViews(source, mask, destination, v)) return;
  copyRows(v.destination.pointToOffset(), v.destination.rowUpdate(), v.source.pointToOffset(),
           v.source.rowUpdate(), v.mask.pointToOffset(), v.mask.rowUpdate(), v.source.width(),
           v.source.height(), outsideMask);
}

}  // namespace

void kf_MaskedPelCopy(const kcPelBuffer_const<unsigned char>& source,
                      const kcPelBuffer_const<unsigned char>& mask,
                      kcPelBuffer<unsigned char>& destination, bool outsideMask) {
  maskedPelCopy(source, mask, destination, outsideMask);
}

void kf_MaskedPelCopy(const kcPelBuffer_const<unsigned short>& source,
                      const kcPelBuffer_const<unsigned char>& mask,
                      kcPelBuffer<unsigned short>& destination, bool outsideMask) {
  maskedPelCopy(source, mask, destination, outsideMask);
}

void kf_MaskedPelDivide(const kcPelBuffer_const<unsigned short>& numerator,
                        const kcPelBuffer_const<unsigned short>& divisor,
                        const kcPelBuffer_const<unsigned char>& mask,
                        kcPelBuffer<unsigned char>& destination, unsigned long scale) {
  if (!numerator.isBound() || !divisor.isBound()) throw kcPel::UnboundWindow();
  kcPelRect region = numerator.window() & divisor.window();
  if (mask.isBound()) region &= mask.window();
  if (!destination.isBound())
    destination = newDestination(region, numerator);
  else
    region &= destination.window();
  if (region.isNull()) return;

  kcPelBuffer_const<unsigned short> num = numerator;
  kcPelBuffer_const<unsigned short> div = divisor;
  kcPelBuffer_const<unsigned char> msk = mask;
  kcPelBuffer<unsigned char> dst = destination;
  num.window(region, false);
  div.window(region, false);
  dst.window(region, false);
  if (msk.isBound()) msk.window(region, false);
  num = kfUnaliasedSource(num, dst);
  div = kfUnaliasedSource(div, dst);
  msk = kfUnaliasedSource(msk, dst);

  const DivideRows rows{num.pointToOffset(),
                        num.rowUpdate(),
                        div.pointToOffset(),
                        div.rowUpdate(),
                        msk.isBound() ? msk.pointToOffset() : nullptr,
                        msk.rowUpdate(),
                        region.width(),
                        region.height()};
  KC_ASSERT(divisorsNonZero(rows));
  divideRows(rows, static_cast<std::uint32_t>(scale), dst.pointToOffset(), dst.rowUpdate());
}

void kf_MaskedPelDivideRow(const unsigned short* numerator, const unsigned short* divisor,
                           const unsigned char* mask, long width, unsigned long scale,
                           unsigned char* destination) {
  KC_ASSERT(divisorsNonZero({numerator, 0, divisor, 0, mask, 0, width, 1}));
  divideRow(numerator, divisor, mask, width, static_cast<std::uint32_t>(scale), destination);
}

namespace {

bool divisorsNonZero(const unsigned short* divisor, const unsigned char* mask, long width) {
  for (long x = 0; x < width; ++x)
    if (divisor[x] == 0 && (!mask || mask[x] != 0)) return false;
  return true;
}

template <class Out>
void divideWideRow(const unsigned* numerator, const unsigned short* divisor,
                   const unsigned char* mask, long width, unsigned long scale, Out* destination) {
  KC_ASSERT(divisorsNonZero(divisor, mask, width));
  for (long x = 0; x < width; ++x) {
    if (mask && mask[x] == 0) continue;
    const std::uint64_t n = std::uint64_t(numerator[x]) * scale + divisor[x] / 2;
    destination[x] = static_cast<Out>(n / divisor[x]);
  }
}

}  // namespace

void kf_MaskedPelDivideRow(const unsigned* numerator, const unsigned short* divisor,
                           const unsigned char* mask, long width, unsigned long scale,
                           unsigned* destination) {
  divideWideRow(numerator, divisor, mask, width, scale, destination);
}

void kf_MaskedPelDivideRow(const unsigned* numerator, const unsigned short* divisor,
                           const unsigned char* mask, long width, unsigned long scale,
                           unsigned short* destination) {
  divideWideRow(numerator, divisor, mask, width, scale, destination);
}

namespace {

template <class T>
void setOutsideMask(const kcPelBuffer<T>& destination, const kcPelBuffer_const<unsigned char>& mask,
                    T value) {
  if (!destination.isBound() || !mask.isBound()) throw kcPel::UnboundWindow();
  const kcPelRect r = destination.window() & mask.window();
  for (long y = r.y(); y < r.bottom(); ++y) {
    T* d = destination.pointToPel(r.x(), y);
    const unsigned char* m = mask.pointToPel(r.x(), y);
    for (long x = 0; x < r.width(); ++x) d[x] = m[x] ? d[x] : value;
  }
}

}  // namespace

void kf_PelSetOutsideMask(const kcPelBuffer<unsigned short>& destination,
                          const kcPelBuffer_const<unsigned char>& mask, unsigned short value) {
  setOutsideMask(destination, mask, value);
}

void kf_PelSetOutsideMask(const kcPelBuffer<unsigned>& destination,
                          const kcPelBuffer_const<unsigned char>& mask, unsigned value) {
  setOutsideMask(destination, mask, value);
}

void kf_PelSetOutsideMask(const kcPelBuffer<int>& destination,
                          const kcPelBuffer_const<unsigned char>& mask, int value) {
  setOutsideMask(destination, mask, value);
}

void kf_PelSetOutsideMask(const kcPelBuffer<float>& destination,
                          const kcPelBuffer_const<unsigned char>& mask, float value) {
  setOutsideMask(destination, mask, value);
}
