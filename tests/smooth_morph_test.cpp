#include "pelfuncs/smooth_morph.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "host/exceptions.h"
#include "test_support.h"

namespace {

using namespace testing_support;

const long kDiamond[4][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};

// Straightforward smoothing at (x, y) over region r: the diamond cut at r's edges.
int smoothAt(const Image& b, const kcPelRect& r, long x, long y) {
  unsigned sum = 4u * b.get(x, y), weight = 4;
  for (const auto& d : kDiamond)
    if (inside(r, x + d[0], y + d[1])) {
      sum += b.get(x + d[0], y + d[1]);
      ++weight;
    }
  return static_cast<int>(sum / weight);
}

// Straightforward OR / AND at (x, y) over the diamond cut at r's edges.
int morphAt(const Image& b, const kcPelRect& r, bool dilate, long x, long y) {
  int v = b.get(x, y);
  for (const auto& d : kDiamond)
    if (inside(r, x + d[0], y + d[1]))
      v = dilate ? (v | b.get(x + d[0], y + d[1])) : (v & b.get(x + d[0], y + d[1]));
  return v;
}

// Region sizes covering every shape the kernels treat apart.
const std::vector<kcPair<long>> kShapes = {{1, 1}, {2, 1},  {3, 1},  {37, 1}, {1, 2},
                                           {1, 3}, {1, 29}, {2, 2},  {3, 2},  {2, 3},
                                           {3, 3}, {17, 9}, {64, 5}, {33, 40}};

// A view of the given size inside larger random storage, whose pels around the window must be
// neither read nor written.
Image viewOfSize(const kcPair<long>& size) {
  return randomView(kcPelRect(uniform(-20, 20), uniform(-20, 20), size.x(), size.y()));
}

// --- Smoothing ---

TEST(PelSmooth3x3Diamond, MatchesReferenceOnNarrowedViews) {
  for (int round = 0; round < 20; ++round)
    for (const auto& size : kShapes) {
      Image view = viewOfSize(size);
      const Image before = snapshotOf(view);
      const kcPelRect r = view.window();
      kf_PelSmooth3x3Diamond(view);
      const Image all = entireOf(view);  // and nothing around the window changes
      ASSERT_TRUE(pelsAre(all, all.window(),
                          [&](long x, long y) {
                            return inside(r, x, y) ? smoothAt(before, r, x, y) : before.get(x, y);
                          }))
          << "size " << size.x() << "x" << size.y();
    }
}

// --- Morphology ---

Image binaryImage(const kcPelRect& r) {
  std::bernoulli_distribution on(0.5);
  return makeImage(r, [&](long, long) { return on(rng()) ? 255 : 0; });
}

// An unbound destination is allocated over the source, with its transforms, even when the
// source's window is empty.
TEST(BinaryMorph3x3Diamond, UnboundDestinationIsAllocatedOverTheSource) {
  Image src = randomImage(kcPelRect(-4, 7, 9, 6));
  setXform(src, kcXform<2>::scaleAndTranslate(2, 3, 4, 5));
  Image dst, emptyDst, empty = src;
  kfBinaryMorph3x3Diamond(src, true, dst);
  ASSERT_TRUE(dst.isBound());
  EXPECT_EQ(dst.window(), src.window());
  EXPECT_EQ(dst.clientFromImageXform(), src.clientFromImageXform());
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(dst.pointToOffset()) % 32, 0u);
  EXPECT_TRUE(pelsAre(dst, src.window(),
                      [&](long x, long y) { return morphAt(src, src.window(), true, x, y); }));
  empty.window(kcPelRect(-3, 8, 0, 2), false);
  kfBinaryMorph3x3Diamond(empty, false, emptyDst);
  EXPECT_TRUE(emptyDst.isBound());
  EXPECT_EQ(emptyDst.window(), empty.window());
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

// The region is the intersection of the windows; its edges count as image
// edges even where src has pels beyond them, and dst outside it is untouched.
TEST(BinaryMorph3x3Diamond, MatchesReferenceOnPartialOverlaps) {
  for (bool dilate : {true, false})
    for (int round = 0; round < 15; ++round)
      for (const auto& size : kShapes) {
        Image src = viewOfSize(size);
        // Bytes other than 0 and 255 check the bitwise combination; binary
        // images check the max / min reading.
        if (round % 2 == 0) {
          const Image bin = binaryImage(src.window());
          kfPelCopy<unsigned char>(bin, src);
        }
        const kcPelRect sw = src.window();
        const kcPelRect dstRect(sw.x() + uniform(-3, 3), sw.y() + uniform(-3, 3),
                                uniform(1, size.x() + 3), uniform(1, size.y() + 3));
        Image dst = constant(dstRect, 0x5A);
        const kcPelRect region = sw & dstRect;
        const Image srcBefore = snapshotOf(src);

        kfBinaryMorph3x3Diamond(src, dilate, dst);

        ASSERT_TRUE(pelsAre(dst, dstRect, [&](long x, long y) {
          return inside(region, x, y) ? morphAt(srcBefore, region, dilate, x, y) : 0x5A;
        }));
        ASSERT_TRUE(samePels(entireOf(src), srcBefore));
      }
}

}  // namespace
