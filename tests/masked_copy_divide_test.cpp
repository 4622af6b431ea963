#include "pelfuncs/masked_copy_divide.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "host/exceptions.h"
#include "imaging/pel_copy.h"
#include "imaging/pel_equal.h"
#include "tests/test_support.h"

namespace {

using testing_support::makeImage;
using testing_support::randomImage;
using testing_support::rng;

using Image = kcPelBuffer<unsigned char>;
using Image16 = kcPelBuffer<unsigned short>;

const kcXform<2> kSomeXform = kcXform<2>::scaleAndTranslate(2.0, 0.5, 3.0, -4.0);

Image constant(const kcPelRect& r, int value) {
  return makeImage(r, [value](long, long) { return value; });
}

Image16 constant16(const kcPelRect& r, unsigned value) {
  return makeImage<unsigned short>(r, [value](long, long) { return value; });
}

bool inside(const kcPelRect& r, long x, long y) { return r.contains(kcPair<long>(x, y)); }

// ---- kf_MaskedPelCopy ----

TEST(MaskedPelCopy, UnboundSourceThrowsAndAllocatesNothing) {
  Image dst;
  EXPECT_THROW(kf_MaskedPelCopy(Image(), constant(kcPelRect(0, 0, 4, 4), 1), dst, false),
               kcPel::UnboundWindow);
  EXPECT_FALSE(dst.isBound());
  Image bound = constant(kcPelRect(0, 0, 4, 4), 9);
  EXPECT_THROW(kf_MaskedPelCopy(Image(), Image(), bound, true), kcPel::UnboundWindow);
  EXPECT_EQ(bound.get(2, 2), 9);
}

TEST(MaskedPelCopy, UnboundMaskCopiesTheWholeSourceWhateverOutsideMaskSays) {
  Image src = randomImage(kcPelRect(5, 6, 30, 7));
  src.clientFromImageXformBase(kc2XformLinear::handle(kSomeXform));
  for (bool outsideMask : {false, true}) {
    Image dst;
    kf_MaskedPelCopy(src, Image(), dst, outsideMask);
    ASSERT_TRUE(dst.isBound());
    EXPECT_EQ(dst.window(), src.window());
    EXPECT_EQ(dst.clientFromImageXform(), kSomeXform);
    EXPECT_TRUE((kfPelEqual<unsigned char, unsigned char>(dst, src)));

    // A bound destination receives the common part only.
    Image bound = constant(kcPelRect(0, 0, 20, 20), 3);
    kf_MaskedPelCopy(src, Image(), bound, outsideMask);
    for (long y = 0; y < 20; ++y)
      for (long x = 0; x < 20; ++x)
        ASSERT_EQ(bound.get(x, y), inside(src.window(), x, y) ? src.get(x, y) : 3);
  }
}

TEST(MaskedPelCopy, UnboundDestinationBecomesABufferOverTheOverlap) {
  Image src = randomImage(kcPelRect(0, 0, 40, 10));
  src.clientFromImageXformBase(kc2XformLinear::handle(kSomeXform));
  const Image mask = constant(kcPelRect(25, 4, 40, 10), 1);
  Image dst;
  kf_MaskedPelCopy(src, mask, dst, false);
  ASSERT_TRUE(dst.isBound());
  EXPECT_EQ(dst.window(), kcPelRect(25, 4, 15, 6));
  EXPECT_EQ(dst.clientFromImageXform(), kSomeXform);
  for (long y = 4; y < 10; ++y)
    for (long x = 25; x < 40; ++x) ASSERT_EQ(dst.get(x, y), src.get(x, y));
}

TEST(MaskedPelCopy, DisjointWindowsWriteNothing) {
  const Image src = randomImage(kcPelRect(0, 0, 10, 10));
  Image dst;
  kf_MaskedPelCopy(src, constant(kcPelRect(10, 0, 10, 10), 0), dst, true);
  EXPECT_FALSE(dst.isBound());
  Image far = constant(kcPelRect(50, 50, 4, 4), 8);
  kf_MaskedPelCopy(src, constant(kcPelRect(0, 0, 60, 60), 0), far, true);
  EXPECT_EQ(far.window(), kcPelRect(50, 50, 4, 4));
  for (long y = 50; y < 54; ++y)
    for (long x = 50; x < 54; ++x) EXPECT_EQ(far.get(x, y), 8);
}

TEST(MaskedPelCopy, OutsideMaskChoosesZeroOrNonZeroMaskPels) {
  const kcPelRect r(0, 0, 35, 6);  // two blocks of sixteen and a remainder
  const Image src = randomImage(r, 1, 255);
  const Image mask = makeImage(r, [](long x, long y) { return (x * 7 + y) % 3 == 0 ? 7 : 0; });
  for (bool outsideMask : {true, false}) {
    Image dst = constant(r, 0);
    kf_MaskedPelCopy(src, mask, dst, outsideMask);
    for (long y = 0; y < 6; ++y)
      for (long x = 0; x < 35; ++x) {
        const bool selected = (mask.get(x, y) == 0) == outsideMask;
        ASSERT_EQ(dst.get(x, y), selected ? src.get(x, y) : 0) << x << "," << y;
      }
  }
}

TEST(MaskedPelCopy, RandomWindowsMatchTheReference) {
  std::uniform_int_distribution<long> pos(-10, 10), size(1, 50);
  std::uniform_int_distribution<int> coin(0, 1);
  auto window = [&] { return kcPelRect(pos(rng()), pos(rng()), size(rng()), size(rng())); };
  for (int trial = 0; trial < 60; ++trial) {
    const Image src = randomImage(window());
    const Image mask = randomImage(window(), 0, 3);
    const Image dst = randomImage(window());
    const Image before = kfPelCopy<unsigned char>(dst);
    const bool outsideMask = coin(rng()) == 1;
    Image handle = dst;
    kf_MaskedPelCopy(src, mask, handle, outsideMask);
    EXPECT_EQ(handle.root(), dst.root());
    for (long y = dst.window().y(); y < dst.window().bottom(); ++y)
      for (long x = dst.window().x(); x < dst.window().right(); ++x) {
        const bool selected = inside(src.window(), x, y) && inside(mask.window(), x, y) &&
                              (mask.get(x, y) == 0) == outsideMask;
        ASSERT_EQ(dst.get(x, y), selected ? src.get(x, y) : before.get(x, y));
      }
  }
}

// ---- kf_MaskedPelDivide ----

int divideOne(unsigned n, unsigned w, unsigned long scale) {
  Image dst;
  kf_MaskedPelDivide(constant16(kcPelRect(0, 0, 1, 1), n), constant16(kcPelRect(0, 0, 1, 1), w),
                     Image(), dst, scale);
  return dst.get(0, 0);
}

TEST(MaskedPelDivide, RoundsToNearestWithHalvesUp) {
  EXPECT_EQ(divideOne(100, 200, 255), 128);
  EXPECT_EQ(divideOne(1, 3, 1), 0);
  EXPECT_EQ(divideOne(2, 3, 1), 1);
  EXPECT_EQ(divideOne(1, 2, 1), 1);  // exactly one half goes up
  EXPECT_EQ(divideOne(3, 4, 1), 1);
  EXPECT_EQ(divideOne(0, 65535, 255), 0);
  EXPECT_EQ(divideOne(65535, 65535, 255), 255);
}

TEST(MaskedPelDivide, StoresTheLowEightBitsWithoutSaturation) {
  EXPECT_EQ(divideOne(300, 1, 1), 44);
  EXPECT_EQ(divideOne(600, 2, 1), 44);
  EXPECT_EQ(divideOne(256, 1, 1), 0);
}

TEST(MaskedPelDivide, TheProductWrapsModulo2To32) {
  // 65535 * 65537 = 2^32 - 1 fits; 65535 * 65538 wraps to 65534.
  EXPECT_EQ(divideOne(65535, 1, 65537), 255);
  EXPECT_EQ(divideOne(65535, 1, 65538), 65534 % 256);
  // Only the scale's low 32 bits matter.
  EXPECT_EQ(divideOne(7, 1, (1UL << 32) + 3), 21);
  // Adding half the divisor wraps too: (2^32 - 1 + 1) mod 2^32 = 0.
  EXPECT_EQ(divideOne(65535, 3, 65537), 0);
}

TEST(MaskedPelDivide, QuotientsJustBelowAndAtAMultipleAreExact) {
  // With n = 1 the dividend is scale + w / 2; pick it as k w - 1 and k w for
  // the largest k that fits 32 bits, where rounding errors would show first.
  for (std::uint32_t w : {1u, 2u, 3u, 255u, 256u, 4099u, 65521u, 65534u, 65535u}) {
    const std::uint32_t k = 0xFFFFFFFFu / w;
    for (std::uint32_t dividend : {k * w - 1, k * w, (k - 1) * w + 1}) {
      const std::uint32_t scale = dividend - (w >> 1);
      EXPECT_EQ(divideOne(1, w, scale), static_cast<unsigned char>(dividend / w))
          << "dividend " << dividend << " divisor " << w;
    }
  }
}

TEST(MaskedPelDivide, UnboundNumeratorOrDivisorThrowsAndAllocatesNothing) {
  const Image16 bound = constant16(kcPelRect(0, 0, 3, 3), 1);
  Image dst;
  EXPECT_THROW(kf_MaskedPelDivide(Image16(), bound, Image(), dst, 1), kcPel::UnboundWindow);
  EXPECT_THROW(kf_MaskedPelDivide(bound, Image16(), Image(), dst, 1), kcPel::UnboundWindow);
  EXPECT_FALSE(dst.isBound());
}

TEST(MaskedPelDivide, UnboundDestinationIsAllocatedOverTheRegionEvenWhenNull) {
  Image16 num = constant16(kcPelRect(0, 0, 20, 20), 10);
  num.clientFromImageXformBase(kc2XformLinear::handle(kSomeXform));
  const Image16 div = constant16(kcPelRect(5, 2, 20, 20), 5);
  Image dst;
  kf_MaskedPelDivide(num, div, constant(kcPelRect(0, 0, 12, 40), 1), dst, 1);
  ASSERT_TRUE(dst.isBound());
  EXPECT_EQ(dst.window(), kcPelRect(5, 2, 7, 18));
  EXPECT_EQ(dst.clientFromImageXform(), kSomeXform);
  EXPECT_EQ(dst.get(5, 2), 2);
  EXPECT_EQ(dst.get(11, 19), 2);

  Image disjoint;
  kf_MaskedPelDivide(num, constant16(kcPelRect(20, 0, 5, 5), 5), Image(), disjoint, 1);
  EXPECT_TRUE(disjoint.isBound());
  EXPECT_TRUE(disjoint.window().isNull());
  EXPECT_EQ(disjoint.clientFromImageXform(), kSomeXform);
}

TEST(MaskedPelDivide, MaskedOutPelsKeepTheirValueAndTheirZeroDivisorIsNeverExamined) {
  const kcPelRect r(0, 0, 9, 3);
  const Image16 num = makeImage<unsigned short>(r, [](long x, long) { return 10 * x; });
  const Image16 div = makeImage<unsigned short>(r, [](long x, long) { return x % 3 == 0 ? 0 : 5; });
  const Image mask = makeImage(r, [](long x, long) { return x % 3 == 0 ? 0 : 200; });
  Image dst = constant(r, 77);
  kf_MaskedPelDivide(num, div, mask, dst, 1);
  for (long x = 0; x < 9; ++x) EXPECT_EQ(dst.get(x, 1), x % 3 == 0 ? 77 : 2 * x) << x;
}

TEST(MaskedPelDivide, ZeroDivisorAtAParticipatingPelAssertsBeforeWriting) {
  const kcPelRect r(0, 0, 8, 4);
  const Image16 num = constant16(r, 40);
  Image16 div = constant16(r, 4);
  div.set(6, 3, 0);  // the last row: earlier pels would already be divided
  Image dst = constant(r, 1);
  EXPECT_THROW(kf_MaskedPelDivide(num, div, Image(), dst, 1), kcAssertionFailure);
  EXPECT_THROW(kf_MaskedPelDivide(num, div, constant(r, 1), dst, 1), kcAssertionFailure);
  for (long y = 0; y < 4; ++y)
    for (long x = 0; x < 8; ++x) EXPECT_EQ(dst.get(x, y), 1);
}

TEST(MaskedPelDivide, BoundDestinationRestrictsTheRegionToItsWindow) {
  const Image16 num = constant16(kcPelRect(0, 0, 30, 30), 90);
  const Image16 div = constant16(kcPelRect(0, 0, 30, 30), 3);
  // The divisor is zero outside the destination: those pels must not count.
  Image16 divWithHole = kfPelCopy<unsigned short>(div);
  divWithHole.set(0, 0, 0);
  Image storage = constant(kcPelRect(0, 0, 20, 20), 5);
  Image dst = storage;
  dst.window(kcPelRect(4, 4, 10, 10), false);
  kf_MaskedPelDivide(num, divWithHole, Image(), dst, 1);
  EXPECT_EQ(dst.window(), kcPelRect(4, 4, 10, 10));
  for (long y = 0; y < 20; ++y)
    for (long x = 0; x < 20; ++x)
      ASSERT_EQ(storage.get(x, y), inside(dst.window(), x, y) ? 30 : 5) << x << "," << y;
}

TEST(MaskedPelDivide, RandomWindowsMatchTheReference) {
  std::uniform_int_distribution<long> pos(-8, 8), size(1, 40);
  std::uniform_int_distribution<int> coin(0, 2);
  auto window = [&] { return kcPelRect(pos(rng()), pos(rng()), size(rng()), size(rng())); };
  for (int trial = 0; trial < 60; ++trial) {
    const Image16 num = randomImage<unsigned short>(window(), 0, 65535);
    const Image16 div = randomImage<unsigned short>(window(), 1, 65535);
    const Image mask = coin(rng()) == 0 ? Image() : randomImage(window(), 0, 2);
    const Image dst = randomImage(window());
    const Image before = kfPelCopy<unsigned char>(dst);
    const unsigned long scale = trial % 2 == 0 ? 255 : 123457;
    Image handle = dst;
    kf_MaskedPelDivide(num, div, mask, handle, scale);
    for (long y = dst.window().y(); y < dst.window().bottom(); ++y)
      for (long x = dst.window().x(); x < dst.window().right(); ++x) {
        const bool takesPart =
            inside(num.window(), x, y) && inside(div.window(), x, y) &&
            (!mask.isBound() || (inside(mask.window(), x, y) && mask.get(x, y) != 0));
        unsigned char expected = before.get(x, y);
        if (takesPart) {
          const std::uint64_t product = std::uint64_t{num.get(x, y)} * scale % (1ULL << 32);
          const std::uint64_t w = div.get(x, y);
          expected = static_cast<unsigned char>((product + w / 2) % (1ULL << 32) / w);
        }
        ASSERT_EQ(dst.get(x, y), expected) << "trial " << trial << " at " << x << "," << y;
      }
  }
}

TEST(MaskedPelDivideRow, EqualsTheBufferFormRowByRow) {
  std::uniform_int_distribution<unsigned> divisor(1, 65535);
  for (bool masked : {false, true}) {
    const kcPelRect r(0, 0, 37, 5);
    const Image16 numerator = randomImage<unsigned short>(r, 0, 65535);
    const Image16 divisors =
        makeImage<unsigned short>(r, [&](long, long) { return divisor(rng()); });
    const Image mask = randomImage(r, 0, 1);
    Image expected = randomImage(r);
    Image actual = kfPelCopy<unsigned char>(expected);
    kf_MaskedPelDivide(numerator, divisors, masked ? mask : Image(), expected, 255);
    for (long y = 0; y < r.height(); ++y)
      kf_MaskedPelDivideRow(numerator.pointToPel(0, y), divisors.pointToPel(0, y),
                            masked ? mask.pointToPel(0, y) : nullptr, r.width(), 255,
                            actual.pointToPel(0, y));
    EXPECT_TRUE((kfPelEqual<unsigned char, unsigned char>(actual, expected))) << masked;
  }
}

}  // namespace
