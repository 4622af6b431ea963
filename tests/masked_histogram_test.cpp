#include "pelfuncs/masked_histogram.h"
#include "pelfuncs/masked_pel_count.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <vector>

#include "host/exceptions.h"
#include "tests/test_support.h"

namespace {

using testing_support::makeImage;
using testing_support::randomImage;
using testing_support::rng;

using Image = kcPelBuffer<unsigned char>;

// Slow reference: every pel of the overlap, paired by image coordinates.
std::vector<unsigned long> referenceHistogram(const Image& image, const Image& mask) {
  const kcPelRect r = image.window() & mask.window();
  std::vector<unsigned long> h(256, 0);
  for (long y = r.y(); y < r.bottom(); ++y)
    for (long x = r.x(); x < r.right(); ++x)
      if (mask.get(x, y) != 0) ++h[image.get(x, y)];
  return h;
}

unsigned long total(const std::vector<unsigned long>& h) {
  return std::accumulate(h.begin(), h.end(), 0UL);
}

// A mask with runs of zeros (whole and partial eight-pel words), runs of
// arbitrary non-zero values and scattered single pels.
Image randomMask(const kcPelRect& r) {
  std::uniform_int_distribution<int> kind(0, 3), value(0, 255), run(1, 40);
  Image m(r, 32);
  for (long y = r.y(); y < r.bottom(); ++y) {
    long x = r.x();
    while (x < r.right()) {
      const int k = kind(rng());
      const long end = std::min(r.right(), x + run(rng()));
      for (; x < end; ++x)
        m.set(x, y,
              static_cast<unsigned char>(k == 0   ? 0
                                         : k == 1 ? 1 + value(rng()) % 255
                                                  : value(rng())));
    }
  }
  return m;
}

std::vector<unsigned long> histogramOf(const Image& image, const Image& mask) {
  std::vector<unsigned long> h;
  kf_MaskedPelHistogram(image, mask, h);
  return h;
}

TEST(MaskedPelHistogram, UnboundImageThrowsAndLeavesHistogramUntouched) {
  std::vector<unsigned long> h{1, 2, 3};
  EXPECT_THROW(kf_MaskedPelHistogram(Image(), randomImage(kcPelRect(0, 0, 4, 4)), h),
               kcPel::UnboundWindow);
  EXPECT_THROW(kf_MaskedPelHistogram(Image(), Image(), h), kcPel::UnboundWindow);
  EXPECT_EQ(h, (std::vector<unsigned long>{1, 2, 3}));
}

TEST(MaskedPelHistogram, UnboundMaskCountsTheWholeImageWindow) {
  const Image image = randomImage(kcPelRect(3, -2, 70, 9));
  std::vector<unsigned long> h(7, 99);
  kf_MaskedPelHistogram(image, Image(), h);
  const Image everything = makeImage(image.window(), [](long, long) { return 1; });
  EXPECT_EQ(h, referenceHistogram(image, everything));
  EXPECT_EQ(total(h), 70UL * 9UL);
}

TEST(MaskedPelHistogram, AllZeroMaskGives256ZeroBins) {
  for (long width : {5L, 64L, 300L}) {
    const Image image = randomImage(kcPelRect(0, 0, width, 6));
    const std::vector<unsigned long> h = histogramOf(image, Image(kcPelRect(0, 0, width, 6), 32));
    ASSERT_EQ(h.size(), 256u) << width;
    EXPECT_EQ(total(h), 0UL) << width;
  }
}

TEST(MaskedPelHistogram, DisjointWindowsGiveAnEmptyHistogram) {
  const Image image = randomImage(kcPelRect(0, 0, 80, 10));
  std::vector<unsigned long> h(256, 5);
  kf_MaskedPelHistogram(image, randomImage(kcPelRect(80, 0, 80, 10), 1, 255), h);
  EXPECT_TRUE(h.empty());
  kf_MaskedPelHistogram(image, randomImage(kcPelRect(0, 10, 80, 10), 1, 255), h);
  EXPECT_TRUE(h.empty());
}

TEST(MaskedPelHistogram, OnlyTheOverlapCountsWithPelsPairedByImageCoordinates) {
  const Image image =
      makeImage(kcPelRect(10, 20, 100, 30), [](long x, long y) { return x + 3 * y; });
  const kcPelRect maskWindows[] = {
      kcPelRect(0, 0, 200, 100),   // larger
      kcPelRect(30, 25, 50, 10),   // inside
      kcPelRect(60, 40, 100, 30),  // offset, partial overlap
      kcPelRect(-5, 30, 40, 5),    // narrow overlap on the left
  };
  for (const kcPelRect& w : maskWindows) {
    // Masked in where x + y is even: a test of the pairing, not only of counts.
    const Image mask = makeImage(w, [](long x, long y) { return (x + y) % 2 == 0 ? 9 : 0; });
    EXPECT_EQ(histogramOf(image, mask), referenceHistogram(image, mask))
        << w.x() << "," << w.y() << " " << w.width() << "x" << w.height();
  }
}

TEST(MaskedPelHistogram, AnyNonZeroMaskValueCountsAndGrayZeroInsideTheMaskIsCounted) {
  // Half the pels are gray 0; a quarter of those and a quarter of the others
  // lie under the mask.
  for (long width : {63L, 64L, 65L, 200L}) {
    const kcPelRect r(0, 0, width, 8);
    const Image image = makeImage(r, [](long x, long) { return x % 2 == 0 ? 0 : 77; });
    std::vector<unsigned long> with255;
    for (int value : {1, 17, 255}) {
      const Image mask =
          makeImage(r, [value](long x, long) { return (x / 2) % 2 == 0 ? value : 0; });
      const std::vector<unsigned long> h = histogramOf(image, mask);
      const unsigned long inMask = 8 * ((width + 3) / 4) + 8 * ((width + 2) / 4);
      ASSERT_EQ(h.size(), 256u);
      EXPECT_EQ(h[0], 8UL * ((width + 3) / 4)) << width << " mask " << value;
      EXPECT_EQ(h[77], inMask - h[0]) << width << " mask " << value;
      EXPECT_EQ(total(h), inMask) << width << " mask " << value;
      if (value == 1) with255 = h;
      EXPECT_EQ(h, with255) << width << " mask " << value;
    }
  }
}

TEST(MaskedPelHistogram, NarrowAndWideRegionsOfTheSameContentAgree) {
  // The same 63 pel wide content, once alone and once as part of a 64 pel
  // wide region whose extra column is masked out.
  const Image image = randomImage(kcPelRect(0, 0, 64, 20));
  Image mask = randomMask(kcPelRect(0, 0, 64, 20));
  for (long y = 0; y < 20; ++y) mask.set(63, y, 0);
  Image narrowImage = image;
  narrowImage.window(kcPelRect(0, 0, 63, 20), false);
  EXPECT_EQ(histogramOf(narrowImage, mask), histogramOf(image, mask));
}

// A view of exactly r into a larger buffer with random margins, so that
// strides differ from the width and between buffers.
template <class Make>
Image viewWithMargins(const kcPelRect& r, Make&& make) {
  std::uniform_int_distribution<long> margin(0, 9);
  Image b = make(r.trim(-margin(rng()), -margin(rng()), -margin(rng()), -margin(rng()), false));
  b.window(r, false);
  return b;
}

TEST(MaskedPelHistogramKernels, NarrowWideAndReferenceAgreeOnRandomImages) {
  std::uniform_int_distribution<long> position(-7, 7), height(1, 13);
  for (long width : {1L, 7L, 8L, 9L, 63L, 64L, 65L, 127L, 130L}) {
    for (int trial = 0; trial < 12; ++trial) {
      const kcPelRect region(position(rng()), position(rng()), width, height(rng()));
      const Image image =
          viewWithMargins(region, [](const kcPelRect& r) { return randomImage(r); });
      const Image mask = viewWithMargins(region, randomMask);

      const std::vector<unsigned long> expected = referenceHistogram(image, mask);
      std::vector<unsigned long> narrow(256, 0), wide(256, 0);
      kfCountMaskedPelsNarrow(image.pointToOffset(), image.rowUpdate(), mask.pointToOffset(),
                              mask.rowUpdate(), width, region.height(), narrow.data());
      kfCountMaskedPelsWide(image.pointToOffset(), image.rowUpdate(), mask.pointToOffset(),
                            mask.rowUpdate(), width, region.height(), wide.data());
      EXPECT_EQ(narrow, expected) << "width " << width;
      EXPECT_EQ(wide, expected) << "width " << width;
      EXPECT_EQ(histogramOf(image, mask), expected) << "width " << width;
    }
  }
}

TEST(MaskedPelHistogram, RandomOffsetWindowsMatchTheReference) {
  std::uniform_int_distribution<long> pos(-40, 40), size(1, 150);
  for (int trial = 0; trial < 60; ++trial) {
    const Image image =
        randomImage(kcPelRect(pos(rng()), pos(rng()), size(rng()), size(rng()) / 4 + 1));
    const Image mask =
        randomMask(kcPelRect(pos(rng()), pos(rng()), size(rng()), size(rng()) / 4 + 1));
    const std::vector<unsigned long> h = histogramOf(image, mask);
    if ((image.window() & mask.window()).isNull())
      EXPECT_TRUE(h.empty());
    else
      EXPECT_EQ(h, referenceHistogram(image, mask));
  }
}

}  // namespace
