#include "pelfuncs/masked_histogram.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <vector>

#include "host/exceptions.h"
#include "pelfuncs/mask_runs.h"
#include "pelfuncs/detail/masked_pel_count.h"
#include "test_support.h"

namespace {

using namespace testing_support;

// Slow reference: every pel of the overlap, paired by image coordinates.
std::vector<unsigned long> referenceHistogram(const Image& image, const Image& mask) {
  const kcPelRect r = image.window() & mask.window();
  std::vector<unsigned long> h(256, 0);
  for (long y = r.y(); y < r.bottom(); ++y)
    for (long x = r.x(); x < r.right(); ++x)
      if (mask.get(x, y) != 0) ++h[image.get(x, y)];
  return h;
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

std::vector<unsigned long> maskedHistogram(const Image& image, const Image& mask) {
  std::vector<unsigned long> h;
  kf_MaskedPelHistogram(image, mask, h);
  return h;
}

TEST(MaskedPelHistogram, UnboundAllZeroAndDisjointMasks) {
  std::vector<unsigned long> h{1, 2, 3};
  EXPECT_THROW(kf_MaskedPelHistogram(Image(), randomImage(kcPelRect(0, 0, 4, 4)), h),
               kcPel::UnboundWindow);
  EXPECT_EQ(h, (std::vector<unsigned long>{1, 2, 3}));
  // An unbound mask counts the whole image window.
  const Image image = randomImage(kcPelRect(3, -2, 70, 9));
  kf_MaskedPelHistogram(image, Image(), h);
  EXPECT_EQ(h, referenceHistogram(image, constant(image.window(), 1)));
  // An all-zero mask gives 256 zero bins; disjoint windows give no bins.
  h = maskedHistogram(image, Image(image.window(), 32));
  ASSERT_EQ(h.size(), 256u);
  EXPECT_EQ(std::accumulate(h.begin(), h.end(), 0UL), 0UL);
  kf_MaskedPelHistogram(image, randomImage(kcPelRect(73, -2, 80, 10), 1, 255), h);
  EXPECT_TRUE(h.empty());
}

// Views of one region into larger buffers with random margins, so that strides differ from the
// width and between buffers, through both kernels and the public form; and the public form over
// windows placed apart, often without any overlap.
TEST(MaskedPelHistogram, KernelsAndOffsetWindowsMatchTheReference) {
  std::uniform_int_distribution<long> position(-7, 7), height(1, 13), pos(-40, 40), size(1, 150);
  for (long width : {1L, 7L, 8L, 9L, 63L, 64L, 65L, 127L, 130L}) {
    for (int trial = 0; trial < 12; ++trial) {
      const kcPelRect region(position(rng()), position(rng()), width, height(rng()));
      const Image image = randomView(region);
      Image mask = randomMask(
          region.trim(-uniform(0, 9), -uniform(0, 9), -uniform(0, 9), -uniform(0, 9), false));
      mask.window(region, false);
      const std::vector<unsigned long> expected = referenceHistogram(image, mask);
      std::vector<unsigned long> narrow(256, 0), wide(256, 0);
      kfCountMaskedPelsNarrow(image.pointToOffset(), image.rowUpdate(), mask.pointToOffset(),
                              mask.rowUpdate(), width, region.height(), narrow.data());
      kfCountMaskedPelsWide(image.pointToOffset(), image.rowUpdate(), mask.pointToOffset(),
                            mask.rowUpdate(), width, region.height(), wide.data());
      EXPECT_EQ(narrow, expected) << "width " << width;
      EXPECT_EQ(wide, expected) << "width " << width;
      EXPECT_EQ(maskedHistogram(image, mask), expected) << "width " << width;

      const Image apart =
          randomMask(kcPelRect(pos(rng()), pos(rng()), size(rng()), size(rng()) / 4 + 1));
      const std::vector<unsigned long> h = maskedHistogram(image, apart);
      const bool disjoint = (image.window() & apart.window()).isNull();
      EXPECT_EQ(h, disjoint ? std::vector<unsigned long>{} : referenceHistogram(image, apart));
    }
  }
}

// Masks of a few random rectangles in random windows; the image overlaps the
// mask's window partly, so runs are cut on both sides and rows left out.
// Every other mask has set pels of 255 only, which the runs tell.
TEST(MaskRuns, HistogramsOverRunsMatchTheReference) {
  for (int trial = 0; trial < 40; ++trial) {
    const kcPelRect window = randomWindow(200, 40, 20);
    Image mask = randomView(window, 0, 0);
    bool full = true;
    for (int k = uniform(0, 4); k > 0; --k) {
      const kcPelRect box = randomWindow(120, 30, 40) & window;
      for (long y = box.y(); y < box.bottom(); ++y)
        for (long x = box.x(); x < box.right(); ++x) {
          mask.set(x, y, trial % 2 ? 255 : uniform(1, 255));
          full = full && mask.get(x, y) == 255;
        }
    }
    const kcMaskRuns runs(mask);
    if (!runs.isBound()) continue;
    EXPECT_EQ(runs.setPelsAreFull(), full) << trial;
    const Image image = randomView(randomWindow(220, 50, 30));
    std::vector<unsigned long> h{7};
    kf_MaskedPelHistogram(image, runs, h);
    const bool disjoint = (image.window() & window).isNull();
    EXPECT_EQ(h, disjoint ? std::vector<unsigned long>{} : referenceHistogram(image, mask));
  }
}

// 128 pels take two runs at most.
TEST(MaskRuns, RunLimitAndUnboundInputs) {
  const auto runs = [](long n) {
    return kcMaskRuns(
        makeImage(kcPelRect(0, 0, 128, 1), [n](long x, long) { return x < 4 * n && x % 4 == 0; }));
  };
  EXPECT_TRUE(runs(2).isBound());
  EXPECT_FALSE(runs(3).isBound());
  std::vector<unsigned long> h;
  EXPECT_THROW(kf_MaskedPelHistogram(Image(), runs(2), h), kcPel::UnboundWindow);
  EXPECT_THROW(kf_MaskedPelHistogram(randomImage(kcPelRect(0, 0, 4, 4)), kcMaskRuns(), h),
               kcPel::UnboundWindow);
}

}  // namespace
