#include "host/pel_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "host/exceptions.h"
#include "imaging/pel_set.h"
#include "test_support.h"

namespace {

using namespace testing_support;

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
    EXPECT_GE(b.rowUpdate(), width);
    EXPECT_EQ(b.rowUpdate() * static_cast<long>(sizeof(T)) % 32, 0) << "width " << width;
    EXPECT_LT((b.rowUpdate() - width) * static_cast<long>(sizeof(T)), 32);
    for (long y = 0; y < 5; ++y) EXPECT_EQ(addressOf(b.pointToPel(0, y)) % 32, 0u);
    EXPECT_TRUE(pelsAre(b, b.window(), [](long, long) { return 0; }));
    {  // a block of the same size with every byte set, most likely handed out again below
      const kcPelBuffer<T> dirty(b.rowUpdate(), 5, 32);
      kfPelSet(dirty, static_cast<T>(~T{0}));
    }
    const kcPelBuffer<T> overwritten(kcPelRect(0, 0, width, 5), 32, kcForOverwrite{});
    for (long y = 0; y < 5; ++y)  // only the padding is zeroed
      for (long x = width; x < overwritten.rowUpdate(); ++x)
        ASSERT_EQ(overwritten.pointToPel(0, y)[x], T{0}) << width;
  }
  const kcPelBuffer<T> placed(kcPelRect(-3, 8, 4, 2), 32);
  EXPECT_EQ(placed.offset(), kcPair<long>(-3, 8));
  EXPECT_EQ(placed.pointToPel(-2, 9), placed.pointToOffset() + placed.rowUpdate() + 1);
}

// Rows of `width` pels, `stride` pels apart, starting one pel into the
// vector so that the first pel is not aligned; pel (x, y) holds x + 10 y.
template <class T>
std::shared_ptr<std::vector<T>> stridedPels(long width, long height, long stride) {
  auto pels = std::make_shared<std::vector<T>>(static_cast<std::size_t>(1 + stride * height), T{0});
  for (long y = 0; y < height; ++y)
    for (long x = 0; x < width; ++x)
      (*pels)[static_cast<std::size_t>(1 + y * stride + x)] = T(x + 10 * y);
  return pels;
}

TEST(PelBuffer, UnboundRefusesPelAccessAndBadSizesOrAlignmentsAreRefused) {
  kcPelBuffer<unsigned char> b;
  EXPECT_FALSE(b.isBound());
  EXPECT_TRUE(b.window().isNull());
  EXPECT_THROW(b.window(kcPelRect(0, 0, 1, 1), true), kcPel::UnboundWindow);
  EXPECT_THROW(b.setEntire(), kcPel::UnboundWindow);
  EXPECT_THROW(b.entire(), kcPel::UnboundWindow);
  EXPECT_THROW(b.offset(1, 1), kcPel::UnboundWindow);
  EXPECT_THROW(b.pointToOffset(), kcPel::UnboundWindow);
  EXPECT_THROW(b.get(0, 0), kcPel::UnboundWindow);
  EXPECT_THROW(b.set(0, 0, 1), kcPel::UnboundWindow);
  EXPECT_THROW(kcPelBuffer<unsigned char>(-1, 3, 32), kcPel::BadWindow);
  EXPECT_THROW(kcPelBuffer<unsigned char>(kcPelRect(0, 0, 3, -2), 32), kcPel::BadWindow);
  // Storage holds at most 2^40 bytes, even a row of an empty buffer.
  EXPECT_EQ(kcPelBuffer<unsigned char>(1L << 40, 0, 1).width(), 1L << 40);
  EXPECT_THROW(kcPelBuffer<unsigned char>((1L << 40) + 1, 0, 1), std::bad_alloc);
  // Alignments are powers of two up to a page.
  EXPECT_EQ(kcPelBuffer<unsigned char>(3, 2, 4096).rowUpdate(), 4096);
  EXPECT_THROW(kcPelBuffer<unsigned char>(3, 2, 8192), kcPelFunc::BadParams);
  EXPECT_THROW(kcPelBuffer<unsigned char>(3, 2, 48), kcPelFunc::BadParams);
}

TEST(PelBuffer, CopiesShareStorageAndSetUnboundDropsOnlyOneView) {
  kcPelBuffer<unsigned char> b(kcPelRect(2, 3, 4, 5), 32);
  setXform(b, kcXform<2>::scaleAndTranslate(2, 2, 1, 1));
  const kcPelBuffer<unsigned char> keeper = b;
  b.set(3, 4, 5);
  EXPECT_EQ(keeper.get(3, 4), 5);
  b.window(kcPelRect(3, 3, 2, 2), false);
  EXPECT_EQ(keeper.window(), kcPelRect(2, 3, 4, 5));
  b.setUnbound();
  EXPECT_TRUE(b.window().isNull());
  EXPECT_TRUE(b.clientFromImageXform().isIdentity());
  EXPECT_FALSE(keeper.clientFromImageXform().isIdentity());
  keeper.set(2, 3, 9);
  EXPECT_EQ(keeper.get(2, 3), 9);
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

TEST(PelBuffer, NarrowingClippingAndSetEntire) {
  const auto b = makeImage(kcPelRect(10, 20, 8, 6), [](long x, long y) { return x * 10 + y; });
  kcPelBuffer<unsigned char> view = b;
  view.window(kcPelRect(12, 21, 3, 4), false);
  EXPECT_EQ(view.pointToOffset(), b.pointToPel(12, 21));
  EXPECT_EQ(view.get(14, 24), b.get(14, 24));
  view.window(kcPair<long>(11, 22), kcPair<long>(2, 2), false);
  EXPECT_EQ(view.window(), kcPelRect(11, 22, 2, 2));
  view.window(kcPelRect(18, 26, 0, 0), false);  // empty, on the far edge
  const kcPelRect bad[] = {{9, 20, 2, 2},  {10, 19, 2, 2}, {17, 20, 2, 1},
                           {10, 25, 1, 2}, {10, 20, 9, 6}, {12, 22, -1, 2}};
  for (const kcPelRect& r : bad) {
    EXPECT_THROW(view.window(r, false), kcPel::BadWindow) << r.x() << "," << r.y();
    EXPECT_EQ(view.window(), kcPelRect(18, 26, 0, 0));
  }
  view.window(kcPelRect(5, 22, 10, 100), true);
  EXPECT_EQ(view.window(), kcPelRect(10, 22, 5, 4));
  view.setEntire();
  EXPECT_EQ(view.window(), kcPelRect(10, 20, 8, 6));
}

TEST(PelBuffer, TransformsStayInverseAndCopyXformsSharesThem) {
  kcPelBuffer<unsigned char> b(4, 4, 32);
  EXPECT_TRUE(b.imageFromClientXform().isIdentity());
  const kcVector<2> p(3, 4);
  setXform(b, kcXform<2>::fromMatrix(2, 1, 0, 3, 5, -7));
  EXPECT_TRUE(kfRealEq(b.imageFromClientXform() * (b.clientFromImageXform() * p), p, 1e-12));
  const kcXform<2> imageFromClient = kcXform<2>::scaleAndTranslate(0.5, 4, 1, 2);
  b.imageFromClientXformBase(kc2XformLinear::handle(imageFromClient));
  EXPECT_EQ(b.imageFromClientXform(), imageFromClient);
  EXPECT_TRUE(kfRealEq(b.clientFromImageXform() * (imageFromClient * p), p, 1e-12));
  kcPelBuffer<unsigned short> dst(5, 5, 32);
  dst.copyXforms(b);
  EXPECT_EQ(dst.clientFromImageXformBase(), b.clientFromImageXformBase());
  EXPECT_EQ(dst.imageFromClientXformBase(), b.imageFromClientXformBase());
}

TEST(PelBufferWrap, KeepAliveLivesAsLongAsAnyViewAndIsNeverFreedByTheBuffer) {
  std::weak_ptr<std::vector<unsigned char>> watch;
  kcPelBuffer_const<unsigned char> survivor;
  {
    auto pels = stridedPels<unsigned char>(3, 3, 3);
    watch = pels;
    auto view = kcPelBuffer_const<unsigned char>::wrap(pels->data() + 1, 3, 3, 3, pels);
    pels.reset();
    survivor = view;
    survivor.offset(100, -20);
    survivor.window(kcPelRect(101, -19, 2, 2), false);
  }
  ASSERT_FALSE(watch.expired());
  EXPECT_EQ(survivor.get(102, -18), 22);
  survivor.setUnbound();  // frees the owner once; a buffer freeing it too would double free
  EXPECT_TRUE(watch.expired());
  // Borrowed pels are read and written in place, rows a stride apart; the pels between the
  // rows are not part of the view.
  unsigned char borrowed[2][4] = {{1, 2, 3, 4}, {5, 6, 7, 8}};
  const auto view = kcPelBuffer<unsigned char>::wrap(&borrowed[0][1], 3, 2, 4, nullptr);
  EXPECT_EQ(view.get(2, 1), 8);
  kfPelSet(view, static_cast<unsigned char>(0));
  EXPECT_EQ(borrowed[0][0] + borrowed[0][3] + borrowed[1][0] + borrowed[1][3], 1 + 5);
}

TEST(PelBufferWrap, EmptyViewsAreBoundAndInconsistentGeometryIsRefused) {
  EXPECT_TRUE((kcPelBuffer_const<unsigned char>::wrap(nullptr, 0, 0, 0, nullptr).isBound()));
  EXPECT_EQ((kcPelBuffer_const<unsigned char>::wrap(nullptr, 7, 0, 7, nullptr).width()), 7);
  unsigned char pels[16] = {};
  using Wrap = kcPelBuffer_const<unsigned char>;
  EXPECT_THROW(Wrap::wrap(pels, -1, 2, 4, nullptr), kcPel::BadWindow);
  EXPECT_THROW(Wrap::wrap(pels, 2, -1, 4, nullptr), kcPel::BadWindow);
  EXPECT_THROW(Wrap::wrap(pels, 4, 2, -4, nullptr), kcPelFunc::BadParams);
  EXPECT_THROW(Wrap::wrap(nullptr, 1, 1, 1, nullptr), kcPelFunc::BadParams);
  auto owner = std::make_shared<int>(0);
  std::weak_ptr<int> watch = owner;
  EXPECT_THROW(Wrap::wrap(pels, 5, 2, 4, std::move(owner)), kcPelFunc::BadParams);
  EXPECT_TRUE(watch.expired());  // a refused wrap releases its keep-alive
}

}  // namespace
