#include "host/pel_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "host/exceptions.h"
#include "test_support.h"

namespace {

using testing_support::makeImage;

template <class T>
class PelBufferTyped : public ::testing::Test {};
using PelTypes = ::testing::Types<unsigned char, unsigned short, unsigned long>;
TYPED_TEST_SUITE(PelBufferTyped, PelTypes);

std::uintptr_t addressOf(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

TYPED_TEST(PelBufferTyped, NewStorageIsAlignedPaddedAndZeroed) {
  using T = TypeParam;
  for (long width : {1L, 7L, 31L, 32L, 33L, 100L}) {
    const kcPelBuffer<T> b(width, 5, 32);
    EXPECT_EQ(b.pelSize(), static_cast<int>(sizeof(T)));
    EXPECT_EQ(b.window(), kcPelRect(0, 0, width, 5));
    EXPECT_EQ(b.offset(), kcPair<long>(0, 0));
    EXPECT_GE(b.rowUpdate(), width);
    EXPECT_EQ(b.rowUpdate() * static_cast<long>(sizeof(T)) % 32, 0) << "width " << width;
    // Padding is less than one alignment unit.
    EXPECT_LT((b.rowUpdate() - width) * static_cast<long>(sizeof(T)), 32);
    for (long y = 0; y < 5; ++y) {
      EXPECT_EQ(addressOf(b.pointToPel(0, y)) % 32, 0u);
      for (long x = 0; x < width; ++x) ASSERT_EQ(b.get(x, y), T{0});
    }
  }
}

TYPED_TEST(PelBufferTyped, RectangleConstructorPlacesStorageAtTheOrigin) {
  using T = TypeParam;
  const kcPelBuffer<T> b(kcPelRect(-3, 8, 4, 2), 32);
  EXPECT_EQ(b.window(), kcPelRect(-3, 8, 4, 2));
  EXPECT_EQ(b.offset(), kcPair<long>(-3, 8));
  EXPECT_EQ(b.pointToOffset(), b.pointToPel(-3, 8));
  EXPECT_EQ(b.pointToPel(-2, 9), b.pointToOffset() + b.rowUpdate() + 1);
  b.set(0, 9, T{77});
  EXPECT_EQ(b.get(kcPair<long>(0, 9)), T{77});
}

TYPED_TEST(PelBufferTyped, CopiesAreViewsOfTheSameStorage) {
  using T = TypeParam;
  const kcPelBuffer<T> a(6, 4, 32);
  kcPelBuffer<T> view = a;
  EXPECT_EQ(view.root(), a.root());
  view.set(2, 3, T{5});
  EXPECT_EQ(a.get(2, 3), T{5});
  // Narrowing one view leaves the other alone.
  view.window(kcPelRect(1, 1, 2, 2), false);
  EXPECT_EQ(a.window(), kcPelRect(0, 0, 6, 4));
  const kcPelBuffer<T> other(6, 4, 32);
  EXPECT_NE(other.root(), a.root());
}

TEST(PelBuffer, DefaultIsUnboundAndRefusesPelAccess) {
  kcPelBuffer<unsigned char> b;
  EXPECT_FALSE(b.isBound());
  EXPECT_EQ(b.root(), nullptr);
  EXPECT_EQ(b.width(), 0);
  EXPECT_EQ(b.height(), 0);
  EXPECT_EQ(b.rowUpdate(), 0);
  EXPECT_TRUE(b.window().isNull());
  EXPECT_THROW(b.window(kcPelRect(0, 0, 1, 1), false), kcPel::UnboundWindow);
  EXPECT_THROW(b.window(kcPelRect(0, 0, 1, 1), true), kcPel::UnboundWindow);
  EXPECT_THROW(b.setEntire(), kcPel::UnboundWindow);
  EXPECT_THROW(b.entire(), kcPel::UnboundWindow);
  EXPECT_THROW(b.offset(1, 1), kcPel::UnboundWindow);
  EXPECT_THROW(b.pointToOffset(), kcPel::UnboundWindow);
  EXPECT_THROW(b.get(0, 0), kcPel::UnboundWindow);
  EXPECT_THROW(b.set(0, 0, 1), kcPel::UnboundWindow);
}

TEST(PelBuffer, SetUnboundDropsStorageWindowAndTransforms) {
  kcPelBuffer<unsigned char> b(kcPelRect(2, 3, 4, 5), 32);
  b.clientFromImageXformBase(kc2XformLinear::handle(kcXform<2>::scaleAndTranslate(2, 2, 1, 1)));
  const kcPelBuffer<unsigned char> keeper = b;
  b.setUnbound();
  EXPECT_FALSE(b.isBound());
  EXPECT_TRUE(b.window().isNull());
  EXPECT_TRUE(b.clientFromImageXform().isIdentity());
  // Other views keep the storage alive.
  EXPECT_TRUE(keeper.isBound());
  keeper.set(2, 3, 9);
  EXPECT_EQ(keeper.get(2, 3), 9);
}

TEST(PelBuffer, NegativeSizeIsABadWindow) {
  EXPECT_THROW(kcPelBuffer<unsigned char>(-1, 3, 32), kcPel::BadWindow);
  EXPECT_THROW(kcPelBuffer<unsigned char>(kcPelRect(0, 0, 3, -2), 32), kcPel::BadWindow);
}

// Edges may reach LONG_MAX but not pass it, wherever a window is made.
TEST(PelBuffer, WindowsPastTheLargestCoordinateAreBadWindows) {
  constexpr long kMax = std::numeric_limits<long>::max();
  EXPECT_THROW(kcPelBuffer<unsigned char>(kcPelRect(kMax - 2, 0, 3, 1), 32), kcPel::BadWindow);
  EXPECT_THROW(kcPelBuffer<unsigned char>(kcPelRect(0, kMax, 1, 1), 32), kcPel::BadWindow);
  kcPelBuffer<unsigned char> b(kcPelRect(kMax - 3, kMax - 1, 3, 1), 32);
  EXPECT_EQ(b.window().right(), kMax);
  EXPECT_THROW(b.offset(kMax - 2, 0), kcPel::BadWindow);
  EXPECT_THROW(b.offset(0, kMax), kcPel::BadWindow);
  EXPECT_EQ(b.offset(), kcPair<long>(kMax - 3, kMax - 1));
  EXPECT_THROW(b.window(kcPelRect(kMax, 0, 5, 1), true), kcPel::BadWindow);
  b.offset(std::numeric_limits<long>::min(), 0);
  EXPECT_EQ(b.window().x(), std::numeric_limits<long>::min());
}

TEST(PelBuffer, NarrowingViewsTheSamePels) {
  const auto b = makeImage(kcPelRect(10, 20, 8, 6), [](long x, long y) { return x * 10 + y; });
  kcPelBuffer<unsigned char> view = b;
  view.window(kcPelRect(12, 21, 3, 4), false);
  EXPECT_EQ(view.width(), 3);
  EXPECT_EQ(view.height(), 4);
  EXPECT_EQ(view.rowUpdate(), b.rowUpdate());
  EXPECT_EQ(view.pointToOffset(), b.pointToPel(12, 21));
  EXPECT_EQ(view.get(14, 24), b.get(14, 24));
  // The origin-and-size form is the same narrowing.
  view.window(kcPair<long>(11, 22), kcPair<long>(2, 2), false);
  EXPECT_EQ(view.window(), kcPelRect(11, 22, 2, 2));
  // An empty window anywhere inside is fine.
  view.window(kcPelRect(18, 26, 0, 0), false);
  EXPECT_TRUE(view.window().isNull());
}

TEST(PelBuffer, WindowsLeavingTheStorageAreRefused) {
  kcPelBuffer<unsigned char> b(kcPelRect(10, 20, 8, 6), 32);
  const kcPelRect bad[] = {{9, 20, 2, 2}, {10, 19, 2, 2}, {17, 20, 2, 1}, {10, 25, 1, 2},
                           {0, 0, 1, 1},  {10, 20, 9, 6}, {12, 22, -1, 2}};
  for (const kcPelRect& r : bad) {
    EXPECT_THROW(b.window(r, false), kcPel::BadWindow) << r.x() << "," << r.y();
    EXPECT_EQ(b.window(), kcPelRect(10, 20, 8, 6));
  }
  // Clipping instead of refusing.
  b.window(kcPelRect(5, 22, 10, 100), true);
  EXPECT_EQ(b.window(), kcPelRect(10, 22, 5, 4));
}

TEST(PelBuffer, SetEntireRestoresTheWholeStorage) {
  kcPelBuffer<unsigned short> b(kcPelRect(-4, -4, 9, 3), 32);
  b.window(kcPelRect(-2, -3, 1, 1), false);
  b.setEntire();
  EXPECT_EQ(b.window(), kcPelRect(-4, -4, 9, 3));
  EXPECT_EQ(b.entire(), kcPelRect(-4, -4, 9, 3));
}

TEST(PelBuffer, OffsetRelabelsCoordinatesKeepingThePels) {
  const auto b = makeImage(kcPelRect(0, 0, 6, 5), [](long x, long y) { return x + 10 * y; });
  kcPelBuffer<unsigned char> view = b;
  view.window(kcPelRect(2, 1, 3, 3), false);
  const unsigned char* first = view.pointToOffset();
  view.offset(100, -50);
  EXPECT_EQ(view.offset(), kcPair<long>(100, -50));
  EXPECT_EQ(view.window(), kcPelRect(102, -49, 3, 3));
  EXPECT_EQ(view.pointToOffset(), first);
  EXPECT_EQ(view.get(104, -47), b.get(4, 3));
  EXPECT_EQ(view.entire(), kcPelRect(100, -50, 6, 5));
  // The other view keeps its own labels.
  EXPECT_EQ(b.offset(), kcPair<long>(0, 0));
  EXPECT_EQ(b.get(4, 3), 34);
}

TEST(PelBuffer, TransformsDefaultToIdentityAndStayInverse) {
  kcPelBuffer<unsigned char> b(4, 4, 32);
  EXPECT_TRUE(b.clientFromImageXform().isIdentity());
  EXPECT_TRUE(b.imageFromClientXform().isIdentity());

  const kcXform<2> clientFromImage = kcXform<2>::fromMatrix(2, 1, 0, 3, 5, -7);
  b.clientFromImageXformBase(kc2XformLinear::handle(clientFromImage));
  EXPECT_EQ(b.clientFromImageXform(), clientFromImage);
  const kcVector<2> p(3, 4);
  EXPECT_TRUE(kfRealEq(b.imageFromClientXform() * (b.clientFromImageXform() * p), p, 1e-12));

  const kcXform<2> imageFromClient = kcXform<2>::scaleAndTranslate(0.5, 4, 1, 2);
  b.imageFromClientXformBase(kc2XformLinear::handle(imageFromClient));
  EXPECT_EQ(b.imageFromClientXform(), imageFromClient);
  EXPECT_TRUE(kfRealEq(b.clientFromImageXform() * (imageFromClient * p), p, 1e-12));
  EXPECT_TRUE(
      kfRealEq(*b.clientFromImageXformBase() * kcVector<2>(1, 6), kcVector<2>(0, 1), 1e-12));
}

TEST(PelBuffer, CopyXformsSharesTheHandles) {
  kcPelBuffer<unsigned char> src(3, 3, 32);
  src.clientFromImageXformBase(kc2XformLinear::handle(kcXform<2>::scaleAndTranslate(2, 3, 4, 5)));
  kcPelBuffer<unsigned short> dst(5, 5, 32);
  dst.copyXforms(src);
  EXPECT_EQ(dst.clientFromImageXformBase(), src.clientFromImageXformBase());
  EXPECT_EQ(dst.imageFromClientXformBase(), src.imageFromClientXformBase());
  // Copies of a view carry its transforms too; changing one view's
  // transform does not reach the other.
  kcPelBuffer<unsigned char> view = src;
  EXPECT_EQ(view.clientFromImageXform(), src.clientFromImageXform());
  view.clientFromImageXformBase(kc2XformLinear::handle(kcXform<2>()));
  EXPECT_TRUE(view.clientFromImageXform().isIdentity());
  EXPECT_FALSE(src.clientFromImageXform().isIdentity());
}

}  // namespace
