#include "imaging/pel_stack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "host/exceptions.h"
#include "test_support.h"

using namespace testing_support;

namespace {

template <class T>
std::vector<kcPelBuffer_const<T>> randomStack(const kcPelRect& window, std::size_t n,
                                              unsigned top) {
  std::vector<kcPelBuffer_const<T>> stack;
  for (std::size_t i = 0; i < n; ++i) {
    // Views over part of larger buffers: rows with strides of their own.
    kcPelBuffer<T> image = randomImage<T>(window.trim(-1, -2, -3, -1, false), 0, top);
    image.window(window, false);
    stack.push_back(image);
  }
  return stack;
}

// Mean and median against sorting each pel's values, for stacks of 1 to 9.
template <class T>
void checkAgainstSorting(unsigned top) {
  for (int trial = 0; trial < 30; ++trial) {
    const kcPelRect window(uniform(-5, 5), uniform(-5, 5), uniform(1, 30), uniform(1, 20));
    const auto stack = randomStack<T>(window, static_cast<std::size_t>(uniform(1, 9)), top);
    kcPelStackMean<T> mean(window);
    for (const auto& image : stack) mean.add(image);
    EXPECT_EQ(mean.count(), static_cast<long>(stack.size()));
    const kcPelBuffer<T> means = mean.mean(), medians = kfPelStackMedian(stack);
    ASSERT_EQ(means.window(), window);
    ASSERT_EQ(medians.window(), window);
    EXPECT_TRUE(pelsAre(means, window, [&](long x, long y) {
      double sum = 0;
      for (const auto& image : stack) sum += image.get(x, y);
      return static_cast<long>(std::floor(sum / double(stack.size()) + 0.5));
    }));
    EXPECT_TRUE(pelsAre(medians, window, [&](long x, long y) {
      std::vector<long> values;
      for (const auto& image : stack) values.push_back(image.get(x, y));
      std::sort(values.begin(), values.end());
      return values[(values.size() - 1) / 2];
    }));
  }
}

}  // namespace

TEST(PelStack, MeanAndMedianMatchSortingAtBothDepths) {
  checkAgainstSorting<unsigned char>(255);
  checkAgainstSorting<unsigned short>(65535);
}

TEST(PelStack, RefusesWhatIsNoStack) {
  const kcPelRect window(0, 0, 4, 3);
  EXPECT_THROW(kcPelStackMean<unsigned char>{kcPelRect()}, kcPelFunc::BadParams);
  kcPelStackMean<unsigned char> mean(window);
  EXPECT_THROW(mean.mean(), kcPelFunc::BadParams);
  EXPECT_THROW(mean.add(kcPelBuffer_const<unsigned char>()), kcPel::UnboundWindow);
  EXPECT_THROW(mean.add(randomImage(kcPelRect(0, 0, 4, 4))), kcPel::BadWindow);
  EXPECT_EQ(mean.count(), 0);
  EXPECT_THROW(kfPelStackMedian(std::vector<kcPelBuffer_const<unsigned short>>{}),
               kcPelFunc::BadParams);
  EXPECT_THROW(kfPelStackMedian(std::vector<kcPelBuffer_const<unsigned char>>{
                   randomImage(window), randomImage(kcPelRect(1, 0, 4, 3))}),
               kcPel::BadWindow);
  // The sums of 2^16 16-bit pels of the top level hold; one more is refused.
  static_assert(kcPelStackMean<unsigned short>::maxImages == 65536);
  kcPelStackMean<unsigned short> full(window);
  const auto top = constant<unsigned short>(window, 65535);
  for (long i = 0; i < kcPelStackMean<unsigned short>::maxImages; ++i) full.add(top);
  EXPECT_THROW(full.add(top), kcPelFunc::BadParams);
  EXPECT_TRUE(pelsAre(full.mean(), window, [](long, long) { return 65535L; }));
}

// Sixteen noisy frames of one scene, each with small objects at places of
// its own: their median is closer to the clean scene than any frame.
TEST(PelStack, TheMedianOfFramesWithMovingObjectsBeatsEveryFrame) {
  const kcPelRect window(0, 0, 96, 64);
  const auto clean = makeImage<unsigned short>(
      window, [](long x, long y) { return 1000 + 20 * x + 15 * y + 300 * ((x / 8 + y / 8) % 2); });
  std::vector<kcPelBuffer_const<unsigned short>> frames;
  for (int f = 0; f < 16; ++f) {
    const long ox = uniform(0, 80), oy = uniform(0, 50);
    frames.push_back(makeImage<unsigned short>(window, [&](long x, long y) {
      const bool object = x >= ox && x < ox + 12 && y >= oy && y < oy + 10;
      return object ? 60000L : std::clamp(clean.get(x, y) + uniform(-60, 60), 0L, 65535L);
    }));
  }
  const auto error = [&](const kcPelBuffer_const<unsigned short>& image) {
    double sum = 0;
    for (long y = 0; y < window.height(); ++y)
      for (long x = 0; x < window.width(); ++x)
        sum += std::abs(double(image.get(x, y)) - double(clean.get(x, y)));
    return sum / double(window.width() * window.height());
  };
  const double median = error(kfPelStackMedian(frames));
  for (const auto& frame : frames) EXPECT_LT(median, error(frame));
}
