#include "pelfuncs/smooth_morph.h"

#include <cstdint>

#include "host/assert.h"
#include "host/exceptions.h"
#include "imaging/pel_copy.h"
#include "imaging/detail/row_walk.h"

namespace {

using Pel = unsigned char;

// Walks the rows of a w x h region, handing each row kernel the row itself and
// the rows above and below when they lie inside the region. Which neighbour
// rows exist is a template argument, so the kernels' interior loops carry no
// edge tests.
template <class RowKernel>
void forEachDiamondRow(const Pel* src, long srcStride, Pel* dst, long dstStride, long w, long h) {
  if (h == 1) {
    RowKernel::template row<false, false>(nullptr, src, nullptr, dst, w);
    return;
  }
  RowKernel::template row<false, true>(nullptr, src, src + srcStride, dst, w);
  for (long y = 1; y < h - 1; ++y) {
    const Pel* centre = src + y * srcStride;
    RowKernel::template row<true, true>(centre - srcStride, centre, centre + srcStride,
                                        dst + y * dstStride, w);
  }
  const Pel* last = src + (h - 1) * srcStride;
  RowKernel::template row<true, false>(last - srcStride, last, nullptr, dst + (h - 1) * dstStride,
                                       w);
}

// Weighted sum 4 x centre + neighbours, divided by the weights used. The
// divisors are compile-time constants so the division becomes a multiply.
// The largest sum, 8 x 255, fits 16 bits.
struct SmoothRow {
  template <bool HasUp, bool HasDown>
  static void row(const Pel* up, const Pel* c, const Pel* down, Pel* out, long w) {
    constexpr unsigned kVertical = unsigned{HasUp} + unsigned{HasDown};
    const auto verticalSum = [&](long i) -> std::uint16_t {
      std::uint16_t s = 0;
      if constexpr (HasUp) s = static_cast<std::uint16_t>(s + up[i]);
      if constexpr (HasDown) s = static_cast<std::uint16_t>(s + down[i]);
      return s;
    };
    const auto centre4 = [c](long i) { return static_cast<std::uint16_t>(4 * c[i]); };
    if (w == 1) {
      out[0] = static_cast<Pel>((centre4(0) + verticalSum(0)) / (4 + kVertical));
      return;
    }
    out[0] = static_cast<Pel>((centre4(0) + c[1] + verticalSum(0)) / (5 + kVertical));
    for (long i = 1; i < w - 1; ++i) {
      const auto sum =
          static_cast<std::uint16_t>(centre4(i) + c[i - 1] + c[i + 1] + verticalSum(i));
      out[i] = static_cast<Pel>(sum / static_cast<std::uint16_t>(6 + kVertical));
    }
    out[w - 1] =
        static_cast<Pel>((centre4(w - 1) + c[w - 2] + verticalSum(w - 1)) / (5 + kVertical));
  }
};

struct OrOp {
  static Pel apply(Pel a, Pel b) { return static_cast<Pel>(a | b); }
};
struct AndOp {
  static Pel apply(Pel a, Pel b) { return static_cast<Pel>(a & b); }
};

// Combines each pel with the neighbours of the cut diamond through Op.
template <class Op>
struct MorphRow {
  template <bool HasUp, bool HasDown>
  static void row(const Pel* up, const Pel* c, const Pel* down, Pel* out, long w) {
    const auto withVertical = [&](long i, Pel v) {
      if constexpr (HasUp) v = Op::apply(v, up[i]);
      if constexpr (HasDown) v = Op::apply(v, down[i]);
      return v;
    };
    if (w == 1) {
      out[0] = withVertical(0, c[0]);
      return;
    }
    out[0] = withVertical(0, Op::apply(c[0], c[1]));
    for (long i = 1; i < w - 1; ++i)
      out[i] = withVertical(i, Op::apply(Op::apply(c[i - 1], c[i]), c[i + 1]));
    out[w - 1] = withVertical(w - 1, Op::apply(c[w - 2], c[w - 1]));
  }
};

void checkKernelArgs(const Pel* src, long srcStride, const Pel* dst, long dstStride, long w,
                     long h) {
  KC_ASSERT(src != nullptr && dst != nullptr);
  KC_ASSERT(w >= 1 && h >= 1);
  KC_ASSERT(srcStride >= w && dstStride >= w);
}

void binaryDilate3x3Diamond(const Pel* src, long srcStride, Pel* dst, long dstStride, long w,
                            long h) {
  checkKernelArgs(src, srcStride, dst, dstStride, w, h);
  forEachDiamondRow<MorphRow<OrOp>>(src, srcStride, dst, dstStride, w, h);
}

void binaryErode3x3Diamond(const Pel* src, long srcStride, Pel* dst, long dstStride, long w,
                           long h) {
  checkKernelArgs(src, srcStride, dst, dstStride, w, h);
  forEachDiamondRow<MorphRow<AndOp>>(src, srcStride, dst, dstStride, w, h);
}

}  // namespace

void kf_PelSmooth3x3Diamond(kcPelBuffer<unsigned char>& image) {
  const long w = image.width();
  const long h = image.height();
  if (w <= 0 || h <= 0) return;
  // Outputs are computed from a snapshot so that no result feeds a neighbour.
  const kcPelBuffer_const<Pel> snapshot = kfPelCopy<Pel>(image);
  forEachDiamondRow<SmoothRow>(snapshot.pointToOffset(), snapshot.rowUpdate(),
                               image.pointToOffset(), image.rowUpdate(), w, h);
}

void kfBinaryMorph3x3Diamond(const kcPelBuffer_const<unsigned char>& src, bool dilate,
                             kcPelBuffer<unsigned char>& dst) {
  if (!src.isBound()) throw kcPel::BadWindow();
  // Rows are read after earlier rows were written, so the two must not share
  // pels; any shared storage is refused, overlapping or not.
  if (dst.isBound() && (dst.root() == src.root() || kfWindowsOverlap(src, dst)))
    throw kcPel::BadWindow();
  kcPelRect region = src.window();
  if (!dst.isBound()) {
    dst = kcPelBuffer<Pel>(region, 32);
    dst.copyXforms(src);
  } else {
    region &= dst.window();
  }
  if (region.isNull()) return;
  const Pel* from = src.pointToPel(region.origin());
  Pel* to = dst.pointToPel(region.origin());
  if (dilate)
    binaryDilate3x3Diamond(from, src.rowUpdate(), to, dst.rowUpdate(), region.width(),
                           region.height());
  else
    binaryErode3x3Diamond(from, src.rowUpdate(), to, dst.rowUpdate(), region.width(),
                          region.height());
}
