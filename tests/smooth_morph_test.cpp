#include "pelfuncs/smooth_morph.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "host/exceptions.h"
#include "imaging/pel_copy.h"
#include "imaging/pel_equal.h"
#include "test_support.h"

namespace {

using testing_support::makeImage;
using testing_support::randomImage;
using testing_support::rng;
using Image = kcPelBuffer<unsigned char>;

// Pels of a window in raster order.
std::vector<int> pelsOf(const kcPelBuffer_const<unsigned char>& b, const kcPelRect& r) {
  std::vector<int> v;
  for (long y = r.y(); y < r.bottom(); ++y)
    for (long x = r.x(); x < r.right(); ++x) v.push_back(b.get(x, y));
  return v;
}

std::vector<int> pelsOf(const kcPelBuffer_const<unsigned char>& b) { return pelsOf(b, b.window()); }

const long kDiamond[4][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};

// Straightforward smoothing over region r: the diamond cut at r's edges.
std::vector<int> referenceSmooth(const kcPelBuffer_const<unsigned char>& b, const kcPelRect& r) {
  std::vector<int> out;
  for (long y = r.y(); y < r.bottom(); ++y)
    for (long x = r.x(); x < r.right(); ++x) {
      unsigned sum = 4u * b.get(x, y), weight = 4;
      for (const auto& d : kDiamond)
        if (r.contains(kcPair<long>(x + d[0], y + d[1]))) {
          sum += b.get(x + d[0], y + d[1]);
          ++weight;
        }
      out.push_back(static_cast<int>(sum / weight));
    }
  return out;
}

// Straightforward OR / AND over the diamond cut at r's edges.
std::vector<int> referenceMorph(const kcPelBuffer_const<unsigned char>& b, const kcPelRect& r,
                                bool dilate) {
  std::vector<int> out;
  for (long y = r.y(); y < r.bottom(); ++y)
    for (long x = r.x(); x < r.right(); ++x) {
      int v = b.get(x, y);
      for (const auto& d : kDiamond)
        if (r.contains(kcPair<long>(x + d[0], y + d[1])))
          v = dilate ? (v | b.get(x + d[0], y + d[1])) : (v & b.get(x + d[0], y + d[1]));
      out.push_back(v);
    }
  return out;
}

// Region sizes covering every shape the kernels treat apart.
const std::vector<kcPair<long>> kShapes = {{1, 1}, {2, 1},  {3, 1},  {37, 1}, {1, 2},
                                           {1, 3}, {1, 29}, {2, 2},  {3, 2},  {2, 3},
                                           {3, 3}, {17, 9}, {64, 5}, {33, 40}};

long uniform(long lo, long hi) { return std::uniform_int_distribution<long>(lo, hi)(rng()); }

// A view of size `size` placed at a random spot inside larger random storage
// with a random offset, so that pels around the window exist and must not be
// read or written.
Image narrowedView(const kcPair<long>& size, unsigned hi = 255) {
  const kcPelRect storage(uniform(-20, 20), uniform(-20, 20), size.x() + uniform(0, 6),
                          size.y() + uniform(0, 6));
  Image view = randomImage(storage, 0, hi);
  view.window(kcPelRect(storage.x() + uniform(0, storage.width() - size.x()),
                        storage.y() + uniform(0, storage.height() - size.y()), size.x(), size.y()),
              false);
  return view;
}

bool samePels(const Image& a, const Image& b) {
  return kfPelEqual<unsigned char, unsigned char>(a, b);
}

Image entireOf(Image view) {
  view.setEntire();
  return view;
}

// A copy of the whole storage of b, for checking what changed around b.
Image snapshotOf(const Image& b) {
  Image all = entireOf(b);
  return kfPelCopy<unsigned char>(all);
}

// --- Smoothing ---

TEST(PelSmooth3x3Diamond, ConstantImageIsUnchangedEverywhere) {
  for (const auto& size : kShapes) {
    Image img = makeImage(kcPelRect(kcPair<long>(0, 0), size), [](long, long) { return 173; });
    kf_PelSmooth3x3Diamond(img);
    for (int v : pelsOf(img)) ASSERT_EQ(v, 173);
  }
}

TEST(PelSmooth3x3Diamond, CentreSpikeInThreeByThree) {
  Image img =
      makeImage(kcPelRect(0, 0, 3, 3), [](long x, long y) { return x == 1 && y == 1 ? 255 : 0; });
  kf_PelSmooth3x3Diamond(img);
  EXPECT_EQ(pelsOf(img), (std::vector<int>{0, 36, 0, 36, 127, 36, 0, 36, 0}));
}

TEST(PelSmooth3x3Diamond, SingleColumnOfTwo) {
  Image img = makeImage(kcPelRect(0, 0, 1, 2), [](long, long y) { return y == 0 ? 0 : 255; });
  kf_PelSmooth3x3Diamond(img);
  EXPECT_EQ(pelsOf(img), (std::vector<int>{51, 204}));
}

TEST(PelSmooth3x3Diamond, DivisorsTruncate) {
  // Single row 10, 0, 0: (40 + 0) / 5 = 8, (0 + 10 + 0) / 6 = 1, 0.
  Image row = makeImage(kcPelRect(0, 0, 3, 1), [](long x, long) { return x == 0 ? 10 : 0; });
  kf_PelSmooth3x3Diamond(row);
  EXPECT_EQ(pelsOf(row), (std::vector<int>{8, 1, 0}));
  // A single pel is copied.
  Image one = makeImage(kcPelRect(4, 4, 1, 1), [](long, long) { return 201; });
  kf_PelSmooth3x3Diamond(one);
  EXPECT_EQ(one.get(4, 4), 201);
}

TEST(PelSmooth3x3Diamond, EmptyAndUnboundWindowsAreLeftAlone) {
  Image unbound;
  EXPECT_NO_THROW(kf_PelSmooth3x3Diamond(unbound));
  EXPECT_FALSE(unbound.isBound());

  Image storage = randomImage(kcPelRect(0, 0, 6, 6));
  const Image before = snapshotOf(storage);
  Image empty = storage;
  empty.window(kcPelRect(2, 2, 0, 3), false);
  kf_PelSmooth3x3Diamond(empty);
  EXPECT_TRUE(samePels(storage, before));
}

TEST(PelSmooth3x3Diamond, MatchesReferenceOnNarrowedViews) {
  for (int round = 0; round < 20; ++round)
    for (const auto& size : kShapes) {
      Image view = narrowedView(size);
      const Image before = snapshotOf(view);
      const kcPelRect r = view.window();
      const std::vector<int> expected = referenceSmooth(before, r);
      kf_PelSmooth3x3Diamond(view);
      ASSERT_EQ(pelsOf(view), expected) << "size " << size.x() << "x" << size.y();
      // Nothing around the window changes.
      const Image all = entireOf(view);
      for (long y = all.window().y(); y < all.window().bottom(); ++y)
        for (long x = all.window().x(); x < all.window().right(); ++x)
          if (!r.contains(kcPair<long>(x, y))) {
            ASSERT_EQ(all.get(x, y), before.get(x, y));
          }
    }
}

// --- Morphology ---

Image binaryImage(const kcPelRect& r) {
  std::bernoulli_distribution on(0.5);
  return makeImage(r, [&](long, long) { return on(rng()) ? 255 : 0; });
}

TEST(BinaryMorph3x3Diamond, SinglePelDilatesToPlusAndErodesAway) {
  const Image src =
      makeImage(kcPelRect(0, 0, 5, 5), [](long x, long y) { return x == 2 && y == 2 ? 255 : 0; });
  Image dilated, eroded;
  kfBinaryMorph3x3Diamond(src, true, dilated);
  kfBinaryMorph3x3Diamond(src, false, eroded);
  for (long y = 0; y < 5; ++y)
    for (long x = 0; x < 5; ++x) {
      const bool inPlus = (x == 2 && y >= 1 && y <= 3) || (y == 2 && x >= 1 && x <= 3);
      EXPECT_EQ(dilated.get(x, y), inPlus ? 255 : 0) << x << "," << y;
      EXPECT_EQ(eroded.get(x, y), 0) << x << "," << y;
    }
}

TEST(BinaryMorph3x3Diamond, ErodingAllOnesKeepsEdges) {
  const Image src = makeImage(kcPelRect(3, -2, 7, 4), [](long, long) { return 255; });
  Image dst;
  kfBinaryMorph3x3Diamond(src, false, dst);
  for (int v : pelsOf(dst)) EXPECT_EQ(v, 255);
}

TEST(BinaryMorph3x3Diamond, SingleColumnOfThree) {
  const Image src = makeImage(kcPelRect(0, 0, 1, 3), [](long, long y) { return y == 1 ? 255 : 0; });
  Image dilated, eroded;
  kfBinaryMorph3x3Diamond(src, true, dilated);
  kfBinaryMorph3x3Diamond(src, false, eroded);
  EXPECT_EQ(pelsOf(dilated), (std::vector<int>{255, 255, 255}));
  EXPECT_EQ(pelsOf(eroded), (std::vector<int>{0, 0, 0}));
}

TEST(BinaryMorph3x3Diamond, UnboundDestinationIsAllocatedOverSourceWithItsTransforms) {
  Image src = randomImage(kcPelRect(-4, 7, 9, 6));
  src.clientFromImageXformBase(kc2XformLinear::handle(kcXform<2>::scaleAndTranslate(2, 3, 4, 5)));
  Image dst;
  kfBinaryMorph3x3Diamond(src, true, dst);
  ASSERT_TRUE(dst.isBound());
  EXPECT_EQ(dst.window(), src.window());
  EXPECT_EQ(dst.clientFromImageXform(), src.clientFromImageXform());
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(dst.pointToOffset()) % 32, 0u);
  EXPECT_EQ(pelsOf(dst), referenceMorph(src, src.window(), true));
}

TEST(BinaryMorph3x3Diamond, EmptySourceWindowStillAllocatesDestination) {
  Image storage = randomImage(kcPelRect(0, 0, 4, 4));
  Image src = storage;
  src.window(kcPelRect(1, 1, 0, 2), false);
  Image dst;
  kfBinaryMorph3x3Diamond(src, false, dst);
  EXPECT_TRUE(dst.isBound());
  EXPECT_EQ(dst.window(), src.window());
}

TEST(BinaryMorph3x3Diamond, RefusesUnboundSourceAndSharedStorage) {
  Image unbound, dst;
  EXPECT_THROW(kfBinaryMorph3x3Diamond(unbound, true, dst), kcPel::BadWindow);
  EXPECT_FALSE(dst.isBound());

  const Image img = binaryImage(kcPelRect(0, 0, 10, 10));
  const Image before = snapshotOf(img);
  Image top = img, bottom = img;
  top.window(kcPelRect(0, 0, 10, 4), false);
  bottom.window(kcPelRect(0, 6, 10, 4), false);
  EXPECT_THROW(kfBinaryMorph3x3Diamond(top, true, bottom), kcPel::BadWindow);
  Image same = img;
  EXPECT_THROW(kfBinaryMorph3x3Diamond(img, false, same), kcPel::BadWindow);
  EXPECT_TRUE(samePels(img, before));
}

TEST(BinaryMorph3x3Diamond, DisjointDestinationIsNotWritten) {
  const Image src = binaryImage(kcPelRect(0, 0, 5, 5));
  Image dst = makeImage(kcPelRect(5, 0, 5, 5), [](long, long) { return 7; });
  kfBinaryMorph3x3Diamond(src, true, dst);
  for (int v : pelsOf(dst)) EXPECT_EQ(v, 7);
}

// The region is the intersection of the windows; its edges count as image
// edges even where src has pels beyond them, and dst outside it is untouched.
TEST(BinaryMorph3x3Diamond, MatchesReferenceOnPartialOverlaps) {
  for (bool dilate : {true, false})
    for (int round = 0; round < 15; ++round)
      for (const auto& size : kShapes) {
        Image src = narrowedView(size);
        // Bytes other than 0 and 255 check the bitwise combination; binary
        // images check the max / min reading.
        if (round % 2 == 0) {
          const Image bin = binaryImage(src.window());
          kfPelCopy<unsigned char>(bin, src);
        }
        const kcPelRect sw = src.window();
        const kcPelRect dstRect(sw.x() + uniform(-3, 3), sw.y() + uniform(-3, 3),
                                uniform(1, size.x() + 3), uniform(1, size.y() + 3));
        Image dst = makeImage(dstRect, [](long, long) { return 0x5A; });
        const kcPelRect region = sw & dstRect;
        const Image srcBefore = snapshotOf(src);

        kfBinaryMorph3x3Diamond(src, dilate, dst);

        const std::vector<int> expected =
            region.isNull() ? std::vector<int>{} : referenceMorph(srcBefore, region, dilate);
        ASSERT_EQ(pelsOf(dst, region), expected);
        for (long y = dstRect.y(); y < dstRect.bottom(); ++y)
          for (long x = dstRect.x(); x < dstRect.right(); ++x)
            if (!region.contains(kcPair<long>(x, y))) {
              ASSERT_EQ(dst.get(x, y), 0x5A);
            }
        ASSERT_TRUE(samePels(entireOf(src), srcBefore));
      }
}

}  // namespace
