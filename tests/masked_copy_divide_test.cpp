#include "pelfuncs/masked_copy_divide.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "host/exceptions.h"
#include "test_support.h"

namespace {

using namespace testing_support;
using Image16 = kcPelBuffer<unsigned short>;

const kcXform<2> kSomeXform = kcXform<2>::scaleAndTranslate(2.0, 0.5, 3.0, -4.0);

// ---- kf_MaskedPelCopy ----

TEST(MaskedPelCopy, RandomWindowsMatchTheReference) {
  for (int trial = 0; trial < 80; ++trial) {
    const Image src = randomView(randomWindow(50, 50));
    const Image mask = trial % 5 == 0 ? Image() : randomView(randomWindow(50, 50), 0, 3);
    const Image dst = randomView(randomWindow(50, 50));
    const Image before = kfPelCopy<unsigned char>(dst);
    const bool outsideMask = trial % 2 == 1;
    Image handle = dst;
    kf_MaskedPelCopy(src, mask, handle, outsideMask);
    EXPECT_EQ(handle.root(), dst.root());
    ASSERT_TRUE(pelsAre(dst, dst.window(),
                        [&](long x, long y) {
                          const bool selected =
                              inside(src.window(), x, y) &&
                              (!mask.isBound() || (inside(mask.window(), x, y) &&
                                                   (mask.get(x, y) == 0) == outsideMask));
                          return selected ? src.get(x, y) : before.get(x, y);
                        }))
        << "trial " << trial;
  }
}

TEST(MaskedPelCopy, UnboundDestinationBecomesABufferOverTheOverlapButNotForAnUnboundSource) {
  Image src = randomImage(kcPelRect(0, 0, 40, 10));
  setXform(src, kSomeXform);
  for (bool outsideMask : {false, true}) {
    Image whole;
    kf_MaskedPelCopy(src, Image(), whole, outsideMask);
    EXPECT_EQ(whole.clientFromImageXform(), kSomeXform);
    EXPECT_TRUE(samePels(whole, src));
  }
  Image dst;
  kf_MaskedPelCopy(src, constant(kcPelRect(25, 4, 40, 10), 1), dst, false);
  EXPECT_EQ(dst.window(), kcPelRect(25, 4, 15, 6));
  EXPECT_EQ(dst.clientFromImageXform(), kSomeXform);
  EXPECT_TRUE(pelsAre(dst, dst.window(), [&](long x, long y) { return src.get(x, y); }));
  Image disjoint;
  kf_MaskedPelCopy(src, constant(kcPelRect(40, 0, 10, 10), 0), disjoint, true);
  EXPECT_FALSE(disjoint.isBound());
  Image unbound;  // an unbound source throws and writes nothing
  EXPECT_THROW(kf_MaskedPelCopy(Image(), constant(kcPelRect(0, 0, 4, 4), 1), unbound, false),
               kcPel::UnboundWindow);
  EXPECT_FALSE(unbound.isBound());
  Image bound = constant(kcPelRect(0, 0, 4, 4), 9);
  EXPECT_THROW(kf_MaskedPelCopy(Image(), Image(), bound, true), kcPel::UnboundWindow);
  EXPECT_EQ(bound.get(2, 2), 9);
}

// ---- kf_MaskedPelDivide ----

int divideOne(unsigned n, unsigned w, unsigned long scale) {
  Image dst;
  const kcPelRect one(0, 0, 1, 1);
  kf_MaskedPelDivide(constant<unsigned short>(one, n), constant<unsigned short>(one, w), Image(),
                     dst, scale);
  return dst.get(0, 0);
}

// Halves round up; the low eight bits are stored without saturation; the
// product and the added half divisor wrap modulo 2^32.
TEST(MaskedPelDivide, RoundingTruncationWrappingAndExactQuotients) {
  EXPECT_EQ(divideOne(100, 200, 255), 128);
  EXPECT_EQ(divideOne(1, 3, 1), 0);
  EXPECT_EQ(divideOne(1, 2, 1), 1);
  EXPECT_EQ(divideOne(3, 4, 1), 1);
  EXPECT_EQ(divideOne(65535, 65535, 255), 255);
  EXPECT_EQ(divideOne(300, 1, 1), 44);
  EXPECT_EQ(divideOne(256, 1, 1), 0);
  EXPECT_EQ(divideOne(65535, 1, 65537), 255);
  EXPECT_EQ(divideOne(65535, 1, 65538), 65534 % 256);
  EXPECT_EQ(divideOne(7, 1, (1UL << 32) + 3), 21);
  EXPECT_EQ(divideOne(65535, 3, 65537), 0);
  // With n = 1 the dividend is scale + w / 2; pick it as k w - 1 and k w for
  // the largest k that fits 32 bits, where rounding errors would show first.
  for (std::uint32_t w : {1u, 2u, 3u, 255u, 256u, 4099u, 65521u, 65534u, 65535u}) {
    const std::uint32_t k = 0xFFFFFFFFu / w;
    for (std::uint32_t dividend : {k * w - 1, k * w, (k - 1) * w + 1})
      EXPECT_EQ(divideOne(1, w, dividend - (w >> 1)), static_cast<unsigned char>(dividend / w))
          << "dividend " << dividend << " divisor " << w;
  }
}

TEST(MaskedPelDivide, RandomWindowsMatchTheReference) {
  for (int trial = 0; trial < 60; ++trial) {
    const Image16 num = randomImage<unsigned short>(randomWindow(40, 40, 8), 0, 65535);
    const Image16 div = randomImage<unsigned short>(randomWindow(40, 40, 8), 1, 65535);
    const Image mask = trial % 3 == 0 ? Image() : randomView(randomWindow(40, 40, 8), 0, 2);
    const Image dst = randomView(randomWindow(40, 40, 8));
    const Image before = kfPelCopy<unsigned char>(dst);
    const unsigned long scale = trial % 2 == 0 ? 255 : 123457;
    Image handle = dst;
    kf_MaskedPelDivide(num, div, mask, handle, scale);
    ASSERT_TRUE(
        pelsAre(dst, dst.window(),
                [&](long x, long y) {
                  const bool takesPart =
                      inside(num.window(), x, y) && inside(div.window(), x, y) &&
                      (!mask.isBound() || (inside(mask.window(), x, y) && mask.get(x, y) != 0));
                  if (!takesPart) return before.get(x, y);
                  const std::uint64_t product = std::uint64_t{num.get(x, y)} * scale % (1ULL << 32);
                  const std::uint64_t w = div.get(x, y);
                  return static_cast<unsigned char>((product + w / 2) % (1ULL << 32) / w);
                }))
        << "trial " << trial;
  }
}

TEST(MaskedPelDivide, UnboundInputsThrowAndUnboundDestinationIsAllocatedEvenWhenEmpty) {
  Image16 num = constant<unsigned short>(kcPelRect(0, 0, 20, 20), 10);
  setXform(num, kSomeXform);
  const Image16 div = constant<unsigned short>(kcPelRect(5, 2, 20, 20), 5);
  Image dst;
  EXPECT_THROW(kf_MaskedPelDivide(Image16(), div, Image(), dst, 1), kcPel::UnboundWindow);
  EXPECT_THROW(kf_MaskedPelDivide(num, Image16(), Image(), dst, 1), kcPel::UnboundWindow);
  EXPECT_FALSE(dst.isBound());
  kf_MaskedPelDivide(num, div, constant(kcPelRect(0, 0, 12, 40), 1), dst, 1);
  EXPECT_EQ(dst.window(), kcPelRect(5, 2, 7, 18));
  EXPECT_EQ(dst.clientFromImageXform(), kSomeXform);
  EXPECT_EQ(dst.get(11, 19), 2);
  Image disjoint;
  kf_MaskedPelDivide(num, constant<unsigned short>(kcPelRect(20, 0, 5, 5), 5), Image(), disjoint,
                     1);
  EXPECT_TRUE(disjoint.isBound());
  EXPECT_TRUE(disjoint.window().isNull());
  EXPECT_EQ(disjoint.clientFromImageXform(), kSomeXform);
}

// A zero divisor is never examined outside the mask or the destination, and
// at a participating pel it asserts before anything is written.
TEST(MaskedPelDivide, ZeroDivisors) {
  const kcPelRect r(0, 0, 9, 3);
  const Image16 num = makeImage<unsigned short>(r, [](long x, long) { return 10 * x; });
  const Image16 div = makeImage<unsigned short>(r, [](long x, long) { return x % 3 == 0 ? 0 : 5; });
  const Image mask = makeImage(r, [](long x, long) { return x % 3 == 0 ? 0 : 200; });
  Image dst = constant(r, 77);
  kf_MaskedPelDivide(num, div, mask, dst, 1);
  EXPECT_TRUE(pelsAre(dst, r, [](long x, long) { return x % 3 == 0 ? 77 : 2 * x; }));

  Image16 holed = constant<unsigned short>(kcPelRect(0, 0, 30, 30), 3);
  holed.set(0, 0, 0);
  Image storage = constant(kcPelRect(0, 0, 20, 20), 5);
  Image view = storage;
  view.window(kcPelRect(4, 4, 10, 10), false);
  kf_MaskedPelDivide(constant<unsigned short>(kcPelRect(0, 0, 30, 30), 90), holed, Image(), view,
                     1);
  EXPECT_TRUE(pelsAre(storage, storage.window(),
                      [&](long x, long y) { return inside(view.window(), x, y) ? 30 : 5; }));

  Image16 late = constant<unsigned short>(kcPelRect(0, 0, 8, 4), 4);
  late.set(6, 3, 0);  // the last row: earlier pels would already be divided
  Image untouched = constant(kcPelRect(0, 0, 8, 4), 1);
  const Image16 forty = constant<unsigned short>(kcPelRect(0, 0, 8, 4), 40);
  EXPECT_THROW(kf_MaskedPelDivide(forty, late, Image(), untouched, 1), kcAssertionFailure);
  EXPECT_THROW(kf_MaskedPelDivide(forty, late, constant(kcPelRect(0, 0, 8, 4), 1), untouched, 1),
               kcAssertionFailure);
  EXPECT_TRUE(pelsAre(untouched, untouched.window(), [](long, long) { return 1; }));
}

}  // namespace

// ---- kf_PelSetOutsideMask and the wide divide row ----

TEST(PelSetOutsideMask, SetsOnlyTheOverlapsZeroMaskPelsAndRefusesUnboundInput) {
  using Wide = kcPelBuffer<unsigned>;
  Wide d =
      makeImage<unsigned>(kcPelRect(-2, 1, 9, 6), [](long x, long y) { return 1000 + x + 10 * y; });
  const Image mask =
      makeImage(kcPelRect(0, 0, 12, 4), [](long x, long y) { return (x + y) % 3 ? 9 : 0; });
  const Wide before = kfPelCopy<unsigned>(d);
  kf_PelSetOutsideMask(d, mask, 65536);
  EXPECT_TRUE(pelsAre(d, d.window(), [&](long x, long y) {
    const bool zero = inside(mask.window(), x, y) && mask.get(x, y) == 0;
    return zero ? 65536u : before.get(x, y);
  }));
  EXPECT_THROW(kf_PelSetOutsideMask(Wide(), mask, 0), kcPel::UnboundWindow);
  EXPECT_THROW(kf_PelSetOutsideMask(d, Image(), 0), kcPel::UnboundWindow);
  // Wide numerators round halves up in 64 bits (the first passes 2^32 times
  // the scale) and leave the pels outside the mask.
  const unsigned numerator[] = {1u << 25, 3, 5, 7};
  const unsigned short divisor[] = {32640, 2, 2, 2};
  const unsigned char rowMask[] = {1, 1, 0, 1};
  unsigned out[] = {0, 0, 77, 0};
  kf_MaskedPelDivideRow(numerator, divisor, rowMask, 4, 255, out);
  const unsigned expected[] = {262144, 383, 77, 893};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(out[i], expected[i]) << i;
}
