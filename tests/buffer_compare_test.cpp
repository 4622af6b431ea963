#include "pelfuncs/buffer_compare.h"
#include "pelfuncs/pel_map_value.h"

#include <gtest/gtest.h>

#include "host/exceptions.h"
#include "test_support.h"

namespace {

using namespace testing_support;
using Image32 = kcPelBuffer<unsigned long>;

// ---- kf_PelBufferEqual ----

TEST(PelBufferEqual, BindingWindowsAndPels) {
  Image a = randomImage(kcPelRect(0, 0, 40, 5));
  setXform(a, kcXform<2>(kcVector<2>(1.0, 2.0), kcRadian(0.3), kcRadian(0.3), 2.0, 2.0));
  EXPECT_TRUE(kf_PelBufferEqual(Image(), Image(), 0.0));
  EXPECT_FALSE(kf_PelBufferEqual(a, Image(), 1e9));
  EXPECT_FALSE(kf_PelBufferEqual(Image(), a, 1e9));
  EXPECT_FALSE(kf_PelBufferEqual(Image(kcPelRect(0, 0, 0, 0), 32), Image(), 0.0));
  EXPECT_TRUE(kf_PelBufferEqual(a, Image(a), 0.0));
  Image b = kfPelCopy<unsigned char>(a);
  EXPECT_TRUE(kf_PelBufferEqual(a, b, 0.0));  // distinct but equal transform objects
  b.set(39, 4, static_cast<unsigned char>(a.get(39, 4) + 1));
  EXPECT_FALSE(kf_PelBufferEqual(a, b, 1e9));
  Image narrowed = a;
  narrowed.window(kcPelRect(0, 0, 40, 4), false);
  EXPECT_FALSE(kf_PelBufferEqual(a, narrowed, 1e9));
  Image moved = kfPelCopy<unsigned char>(a);
  moved.offset(1, 0);
  EXPECT_FALSE(kf_PelBufferEqual(a, moved, 1e9));
}

TEST(PelBufferEqual, TransformsAreComparedAtEveryCornerWithinTheTolerance) {
  const Image a = randomImage(kcPelRect(0, 0, 10, 4));
  // Each transform agrees with the identity at ul = (0, 0) and departs from
  // it at other corners.
  for (const kcXform<2>& x : {kcXform<2>::fromMatrix(1.01, 0.0, 0.0, 1.0, 0.0, 0.0),
                              kcXform<2>::fromMatrix(1.0, 0.0, 0.0, 1.01, 0.0, 0.0),
                              kcXform<2>::fromMatrix(1.0, 0.0, 0.0, 1.0, 0.05, 0.0)}) {
    Image b = kfPelCopy<unsigned char>(a);
    setXform(b, x);
    EXPECT_FALSE(kf_PelBufferEqual(a, b, 0.03));
    EXPECT_TRUE(kf_PelBufferEqual(a, b, 0.11));
    EXPECT_FALSE(kf_PelBufferEqual(b, a, 0.03));
  }
  // x moves by 0.1 at ur and at ll, and so by 0.2 at lr: only lr fails 0.15.
  Image b = kfPelCopy<unsigned char>(a);
  setXform(b, kcXform<2>::fromMatrix(1.01, 0.025, 0.0, 1.0, 0.0, 0.0));
  EXPECT_FALSE(kf_PelBufferEqual(a, b, 0.15));
  EXPECT_TRUE(kf_PelBufferEqual(a, b, 0.21));
}

// ---- kf_PelMapValue ----

TEST(PelMapValue, ChangesExactlyThePelsOfTheGivenValueInTheWindow) {
  const Image storage = makeImage(kcPelRect(0, 0, 256, 5), [](long x, long y) { return (x + y) % 256; });
  Image view = storage;
  view.window(kcPelRect(0, 1, 256, 3), false);
  kf_PelMapValue(view, 0, 128);
  kf_PelMapValue(view, 17, 17);
  EXPECT_TRUE(pelsAre(storage, storage.window(), [](long x, long y) {
    return (x + y) % 256 == 0 && y >= 1 && y < 4 ? 128 : (x + y) % 256;
  }));
  Image unbound;
  EXPECT_THROW(kf_PelMapValue(unbound, 1, 2), kcPel::UnboundWindow);
}

}  // namespace
