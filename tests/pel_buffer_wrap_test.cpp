#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "host/exceptions.h"
#include "host/pel_buffer.h"
#include "imaging/pel_copy.h"
#include "imaging/pel_equal.h"
#include "imaging/pel_set.h"
#include "pelfuncs/masked_histogram.h"

namespace {

template <class T>
class PelBufferWrapTyped : public ::testing::Test {};
using WrapPelTypes = ::testing::Types<unsigned char, unsigned short, unsigned long>;
TYPED_TEST_SUITE(PelBufferWrapTyped, WrapPelTypes);

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

TYPED_TEST(PelBufferWrapTyped, ViewsTheCallersPelsInPlace) {
  using T = TypeParam;
  const long width = 5, height = 3, stride = 9;
  auto pels = stridedPels<T>(width, height, stride);
  const T* first = pels->data() + 1;
  const auto view = kcPelBuffer_const<T>::wrap(first, width, height, stride, pels);
  EXPECT_TRUE(view.isBound());
  EXPECT_EQ(view.window(), kcPelRect(0, 0, width, height));
  EXPECT_EQ(view.offset(), kcPair<long>(0, 0));
  EXPECT_EQ(view.rowUpdate(), stride);
  EXPECT_EQ(view.pelSize(), static_cast<int>(sizeof(T)));
  EXPECT_EQ(view.entire(), kcPelRect(0, 0, width, height));
  for (long y = 0; y < height; ++y)
    for (long x = 0; x < width; ++x) {
      ASSERT_EQ(view.pointToPel(x, y), first + y * stride + x);
      ASSERT_EQ(view.get(x, y), T(x + 10 * y));
    }
}

TYPED_TEST(PelBufferWrapTyped, WritableViewWritesTheCallersMemory) {
  using T = TypeParam;
  auto pels = stridedPels<T>(4, 2, 6);
  const auto view = kcPelBuffer<T>::wrap(pels->data() + 1, 4, 2, 6, pels);
  view.set(3, 1, T{99});
  EXPECT_EQ((*pels)[1 + 6 + 3], T{99});
  kfPelSet(view, T{7});
  for (long y = 0; y < 2; ++y)
    for (long x = 0; x < 4; ++x) EXPECT_EQ((*pels)[static_cast<std::size_t>(1 + y * 6 + x)], T{7});
  // The padding between rows is not part of the view.
  EXPECT_EQ((*pels)[1 + 4], T{0});
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
    survivor.window(kcPelRect(1, 1, 2, 2), false);
  }
  ASSERT_FALSE(watch.expired());
  EXPECT_EQ(survivor.get(2, 2), 22);
  // Dropping the last view releases the owner, which frees the vector's
  // memory; a buffer freeing it as well would be a double free.
  survivor.setUnbound();
  EXPECT_TRUE(watch.expired());
}

TEST(PelBufferWrap, NullKeepAliveBorrowsMemoryTheCallerKeeps) {
  unsigned char pels[2][4] = {{1, 2, 3, 4}, {5, 6, 7, 8}};
  {
    const auto view = kcPelBuffer_const<unsigned char>::wrap(&pels[0][1], 3, 2, 4, nullptr);
    EXPECT_EQ(view.get(0, 0), 2);
    EXPECT_EQ(view.get(2, 1), 8);
  }
  EXPECT_EQ(pels[1][3], 8);  // still ours, untouched
}

TEST(PelBufferWrap, OffsetAndWindowWorkAsOnOwnedStorage) {
  auto pels = stridedPels<unsigned char>(6, 4, 8);
  auto view = kcPelBuffer_const<unsigned char>::wrap(pels->data() + 1, 6, 4, 8, pels);
  view.offset(100, -20);
  EXPECT_EQ(view.window(), kcPelRect(100, -20, 6, 4));
  EXPECT_EQ(view.get(105, -17), 35);
  view.window(kcPelRect(102, -19, 2, 2), false);
  EXPECT_EQ(view.pointToOffset(), pels->data() + 1 + 8 + 2);
  EXPECT_THROW(view.window(kcPelRect(102, -19, 5, 2), false), kcPel::BadWindow);
}

TEST(PelBufferWrap, LibraryOperationsReadBorrowedRowsWithTheirStride) {
  // Odd width and stride, first pel unaligned: the counting kernels must
  // follow the stride and stay inside each row.
  const long width = 37, height = 5, stride = 41;
  auto pels = stridedPels<unsigned char>(width, height, stride);
  for (long y = 0; y < height; ++y)
    for (long x = width; x < stride; ++x)
      (*pels)[static_cast<std::size_t>(1 + y * stride + x)] = 255;
  const auto view =
      kcPelBuffer_const<unsigned char>::wrap(pels->data() + 1, width, height, stride, pels);
  std::vector<unsigned long> histogram;
  kf_MaskedPelHistogram(view, kcPelBuffer_const<unsigned char>(), histogram);
  ASSERT_EQ(histogram.size(), 256u);
  std::vector<unsigned long> expected(256, 0);
  for (long y = 0; y < height; ++y)
    for (long x = 0; x < width; ++x) ++expected[static_cast<std::size_t>(x + 10 * y)];
  EXPECT_EQ(histogram, expected);

  const kcPelBuffer<unsigned char> copy = kfPelCopy(view);
  EXPECT_NE(copy.root(), view.root());
  EXPECT_TRUE(kfPelEqual(copy, view));
}

TEST(PelBufferWrap, EmptyViewsAreBoundAndMayHaveNoData) {
  const auto none = kcPelBuffer_const<unsigned char>::wrap(nullptr, 0, 0, 0, nullptr);
  EXPECT_TRUE(none.isBound());
  EXPECT_EQ(none.window(), kcPelRect(0, 0, 0, 0));
  const auto noRows = kcPelBuffer_const<unsigned char>::wrap(nullptr, 7, 0, 7, nullptr);
  EXPECT_EQ(noRows.width(), 7);
  EXPECT_EQ(noRows.height(), 0);
}

TEST(PelBufferWrap, RejectsInconsistentGeometry) {
  unsigned char pels[16] = {};
  using Wrap = kcPelBuffer_const<unsigned char>;
  EXPECT_THROW(Wrap::wrap(pels, -1, 2, 4, nullptr), kcPel::BadWindow);
  EXPECT_THROW(Wrap::wrap(pels, 2, -1, 4, nullptr), kcPel::BadWindow);
  EXPECT_THROW(Wrap::wrap(pels, 5, 2, 4, nullptr), kcPelFunc::BadParams);
  EXPECT_THROW(Wrap::wrap(pels, 4, 2, -4, nullptr), kcPelFunc::BadParams);
  EXPECT_THROW(Wrap::wrap(nullptr, 1, 1, 1, nullptr), kcPelFunc::BadParams);
  // A rejected wrap releases the keep-alive it was given.
  auto owner = std::make_shared<int>(0);
  std::weak_ptr<int> watch = owner;
  EXPECT_THROW(Wrap::wrap(pels, 5, 2, 4, std::move(owner)), kcPelFunc::BadParams);
  EXPECT_TRUE(watch.expired());
}

}  // namespace
