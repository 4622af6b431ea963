#include "pelfuncs/buffer_compare.h"
#include "pelfuncs/pel_map_value.h"

#include <gtest/gtest.h>

#include "host/exceptions.h"
#include "imaging/pel_copy.h"
#include "imaging/pel_equal.h"
#include "tests/test_support.h"

namespace {

using testing_support::makeImage;
using testing_support::randomImage;

using Image = kcPelBuffer<unsigned char>;
using Image32 = kcPelBuffer<unsigned long>;

void setXform(kc_PelBuffer& b, const kcXform<2>& x) {
  b.clientFromImageXformBase(kc2XformLinear::handle(x));
}

// ---- kf_PelBufferEqual ----

TEST(PelBufferEqual, UnboundBuffersEqualOnlyEachOther) {
  const Image bound = randomImage(kcPelRect(0, 0, 3, 3));
  EXPECT_TRUE(kf_PelBufferEqual(Image(), Image(), 0.0));
  EXPECT_FALSE(kf_PelBufferEqual(bound, Image(), 1e9));
  EXPECT_FALSE(kf_PelBufferEqual(Image(), bound, 1e9));
  const Image empty(kcPelRect(0, 0, 0, 0), 32);  // bound, but without pels
  EXPECT_FALSE(kf_PelBufferEqual(empty, Image(), 0.0));
  EXPECT_TRUE(kf_PelBufferEqual(Image32(), Image32(), 0.0));
  EXPECT_FALSE(kf_PelBufferEqual(Image32(kcPelRect(0, 0, 2, 2), 32), Image32(), 0.0));
}

TEST(PelBufferEqual, ABufferEqualsAViewOfItselfAndAPrivateCopy) {
  Image a = randomImage(kcPelRect(4, 5, 17, 6));
  setXform(a, kcXform<2>(kcVector<2>(1.0, 2.0), kcRadian(0.3), kcRadian(0.3), 2.0, 2.0));
  const Image view = a;
  EXPECT_TRUE(kf_PelBufferEqual(a, view, 0.0));
  EXPECT_TRUE(kf_PelBufferEqual(a, kfPelCopy<unsigned char>(a), 0.0));
}

TEST(PelBufferEqual, SamePelsAtAnotherPositionOrSizeDiffer) {
  const Image a = makeImage(kcPelRect(0, 0, 8, 8), [](long x, long y) { return x * y; });
  const Image moved = makeImage(kcPelRect(1, 0, 8, 8), [](long x, long y) { return (x - 1) * y; });
  EXPECT_FALSE(kf_PelBufferEqual(a, moved, 1e9));
  Image narrowed = a;
  narrowed.window(kcPelRect(0, 0, 8, 7), false);
  EXPECT_FALSE(kf_PelBufferEqual(a, narrowed, 1e9));
}

TEST(PelBufferEqual, OneDifferingPelDiffersAtAnyTolerance) {
  const Image a = randomImage(kcPelRect(0, 0, 40, 5));
  Image b = kfPelCopy<unsigned char>(a);
  b.set(39, 4, static_cast<unsigned char>(a.get(39, 4) + 1));
  EXPECT_FALSE(kf_PelBufferEqual(a, b, 0.0));
  EXPECT_FALSE(kf_PelBufferEqual(a, b, 1e9));
}

TEST(PelBufferEqual, TransformsAreComparedAtEveryCornerWithinTheTolerance) {
  const Image a = randomImage(kcPelRect(0, 0, 10, 4));
  // Each transform agrees with the identity at ul = (0, 0) and departs from
  // it at one of the other corners only.
  const kcXform<2> departures[] = {
      kcXform<2>::fromMatrix(1.01, 0.0, 0.0, 1.0, 0.0, 0.0),  // x scale: ur and lr move
      kcXform<2>::fromMatrix(1.0, 0.0, 0.0, 1.01, 0.0, 0.0),  // y scale: ll and lr move
      kcXform<2>::fromMatrix(1.0, 0.0, 0.0, 1.0, 0.05, 0.0),  // translation: all move
  };
  for (const kcXform<2>& x : departures) {
    Image b = kfPelCopy<unsigned char>(a);
    setXform(b, x);
    EXPECT_FALSE(kf_PelBufferEqual(a, b, 0.0));
    EXPECT_FALSE(kf_PelBufferEqual(a, b, 0.03));
    EXPECT_TRUE(kf_PelBufferEqual(a, b, 0.11));  // ur moves by 0.1 under the x scale
    EXPECT_FALSE(kf_PelBufferEqual(b, a, 0.03));
  }
}

TEST(PelBufferEqual, TheLowerRightCornerCountsToo) {
  // x moves by 0.1 at ur and at ll, and so by 0.2 at lr: only lr fails 0.15.
  const Image a = randomImage(kcPelRect(0, 0, 10, 4));
  Image b = kfPelCopy<unsigned char>(a);
  setXform(b, kcXform<2>::fromMatrix(1.01, 0.025, 0.0, 1.0, 0.0, 0.0));
  EXPECT_FALSE(kf_PelBufferEqual(a, b, 0.15));
  EXPECT_TRUE(kf_PelBufferEqual(a, b, 0.21));
}

TEST(PelBufferEqual, DistinctButEqualTransformObjectsCompareEqual) {
  const kcXform<2> x = kcXform<2>::scaleAndTranslate(3.0, 0.25, -1.0, 8.0);
  Image a = randomImage(kcPelRect(-2, 3, 6, 6));
  Image b = kfPelCopy<unsigned char>(a);
  setXform(a, x);
  setXform(b, x);
  EXPECT_TRUE(kf_PelBufferEqual(a, b, 0.0));
}

TEST(PelBufferEqual, ThirtyTwoBitBuffersComparePelsExactly) {
  const Image32 a = makeImage<unsigned long>(kcPelRect(1, 1, 5, 5),
                                             [](long x, long y) { return 100000UL * x + y; });
  Image32 b = kfPelCopy<unsigned long>(a);
  EXPECT_TRUE(kf_PelBufferEqual(a, b, 0.0));
  b.set(3, 3, a.get(3, 3) + (1UL << 32));  // differs above the low 32 bits only
  EXPECT_FALSE(kf_PelBufferEqual(a, b, 1e9));
  Image32 c = kfPelCopy<unsigned long>(a);
  setXform(c, kcXform<2>::scaleAndTranslate(1.0, 1.0, 0.5, 0.0));
  EXPECT_FALSE(kf_PelBufferEqual(a, c, 0.1));
}

// ---- kf_PelMapValue ----

TEST(PelMapValue, ChangesExactlyThePelsOfTheGivenValue) {
  Image image = makeImage(kcPelRect(0, 0, 256, 3), [](long x, long y) { return (x + y) % 256; });
  kf_PelMapValue(image, 0, 128);
  for (long y = 0; y < 3; ++y)
    for (long x = 0; x < 256; ++x) {
      const long original = (x + y) % 256;
      ASSERT_EQ(image.get(x, y), original == 0 ? 128 : original) << x << "," << y;
    }
}

TEST(PelMapValue, MappingAValueToItselfChangesNothing) {
  const Image original = randomImage(kcPelRect(0, 0, 50, 9));
  Image image = kfPelCopy<unsigned char>(original);
  for (int v : {0, 17, 255})
    kf_PelMapValue(image, static_cast<unsigned char>(v), static_cast<unsigned char>(v));
  EXPECT_TRUE((kfPelEqual<unsigned char, unsigned char>(image, original)));
}

TEST(PelMapValue, WorksInPlaceOnTheViewsWindowOnly) {
  const Image storage = makeImage(kcPelRect(0, 0, 10, 10), [](long, long) { return 5; });
  Image view = storage;
  view.window(kcPelRect(2, 2, 3, 3), false);
  kf_PelMapValue(view, 5, 200);
  EXPECT_EQ(view.root(), storage.root());
  EXPECT_EQ(view.window(), kcPelRect(2, 2, 3, 3));
  for (long y = 0; y < 10; ++y)
    for (long x = 0; x < 10; ++x)
      ASSERT_EQ(storage.get(x, y), view.window().contains(kcPair<long>(x, y)) ? 200 : 5);
}

TEST(PelMapValue, UnboundImageThrows) {
  Image image;
  EXPECT_THROW(kf_PelMapValue(image, 1, 2), kcPel::UnboundWindow);
}

}  // namespace
