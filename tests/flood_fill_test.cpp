#include "pelfuncs/flood_fill.h"

#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "host/exceptions.h"
#include "test_support.h"

namespace {

using namespace testing_support;

// Breadth-first 8-connected fill of the window of `expected`, which is a
// private copy laid over the same coordinates as the image under test.
void referenceFill(const Image& expected, const kcPair<long>& seed, unsigned char fillValue) {
  const kcPelRect r = expected.window();
  const unsigned char oldValue = expected.get(seed);
  std::deque<kcPair<long>> queue{seed};
  expected.set(seed, fillValue);
  while (!queue.empty()) {
    const kcPair<long> p = queue.front();
    queue.pop_front();
    for (long dy = -1; dy <= 1; ++dy)
      for (long dx = -1; dx <= 1; ++dx) {
        const kcPair<long> q(p.x() + dx, p.y() + dy);
        if (r.contains(q) && expected.get(q) == oldValue) {
          expected.set(q, fillValue);
          queue.push_back(q);
        }
      }
  }
}

// The whole storage, window and surroundings, must equal `expected` inside
// the window and `before` outside it.
testing::AssertionResult filledAs(const Image& image, const Image& expected, const Image& before) {
  const Image all = entireOf(image);
  return pelsAre(all, all.window(), [&](long x, long y) {
    return inside(image.window(), x, y) ? expected.get(x, y) : before.get(x, y);
  });
}

// --- Argument checks ---

TEST(FloodFill, RefusesBadArgumentsWithoutWriting) {
  Image unbound;
  EXPECT_THROW(kf_FloodFill(unbound, kcPair<long>(0, 0), 1), kcPel::UnboundWindow);

  Image storage = constant(kcPelRect(10, 20, 6, 5), 0);
  Image empty = storage;
  empty.window(kcPelRect(12, 21, 0, 2), false);
  EXPECT_THROW(kf_FloodFill(empty, kcPair<long>(12, 21), 1), kcPel::BadWindow);

  // The seed is in image coordinates: (0, 0) lies outside a window at (10, 20).
  EXPECT_THROW(kf_FloodFill(storage, kcPair<long>(0, 0), 1), kcPelFunc::BadParams);
  EXPECT_THROW(kf_FloodFill(storage, kcPair<long>(16, 20), 1), kcPelFunc::BadParams);
  EXPECT_THROW(kf_FloodFill(storage, kcPair<long>(10, 25), 1), kcPelFunc::BadParams);
  EXPECT_THROW(kf_FloodFill(storage, kcPair<long>(10, 20), 0), kcPelFunc::BadParams);
  EXPECT_TRUE(pelsAre(storage, storage.window(), [](long, long) { return 0; }));
}

// --- Work vector ---

// --- Against a breadth-first reference ---

// Random images of few values inside larger storage: the window is narrowed,
// the storage relabeled, so fills must stay inside the window and read seeds
// in its coordinates. One work vector serves every fill.
TEST(FloodFill, MatchesBreadthFirstFillOnNarrowedViews) {
  std::vector<long> work;
  for (int round = 0; round < 400; ++round) {
    const long w = uniform(1, 24), h = uniform(1, 24);
    const kcPelRect storageRect(0, 0, w + uniform(0, 5), h + uniform(0, 5));
    const unsigned levels = static_cast<unsigned>(uniform(2, 3));
    // Dense images make large regions, sparse ones many small ones.
    std::bernoulli_distribution dense(round % 3 == 0 ? 0.9 : 0.5);
    Image storage = makeImage(storageRect, [&](long, long) {
      return dense(rng()) ? 0 : static_cast<int>(uniform(1, levels - 1));
    });
    storage.offset(uniform(-50, 50), uniform(-50, 50));
    Image view = storage;
    const kcPelRect all = storage.window();
    view.window(kcPelRect(all.x() + uniform(0, all.width() - w),
                          all.y() + uniform(0, all.height() - h), w, h),
                false);
    const kcPair<long> seed(view.window().x() + uniform(0, w - 1),
                            view.window().y() + uniform(0, h - 1));
    const unsigned char fill = static_cast<unsigned char>(view.get(seed) == 7 ? 8 : 7);

    const Image before = kfPelCopy<unsigned char>(storage);
    const Image expected = kfPelCopy<unsigned char>(view);
    referenceFill(expected, seed, fill);
    if (round % 2 == 0)
      kf_FloodFill(view, seed, fill, work);
    else
      kf_FloodFill(view, seed, fill);
    ASSERT_TRUE(filledAs(view, expected, before)) << "round " << round;
  }
}

// --- First pel search ---

TEST(FindFirstPel, EmptyWindowFindsNothingAndUnboundThrows) {
  Image empty = constant(kcPelRect(0, 0, 4, 4), 3);
  empty.window(kcPelRect(1, 1, 2, 0), false);
  kcPair<long> where(11, 12);
  EXPECT_FALSE(kf_FindFirstPel(empty, 3, where));
  EXPECT_EQ(where, kcPair<long>(11, 12));
  EXPECT_THROW(kf_FindFirstPel(kcPelBuffer_const<unsigned char>(), 3, where), kcPel::UnboundWindow);
}

// The first match in raster order within the window; without one (every tenth round seeks a
// value no pel holds), where is left alone.
TEST(FindFirstPel, IgnoresPelsOutsideNarrowedWindow) {
  for (int round = 0; round < 200; ++round) {
    const Image view = randomView(randomWindow(20, 20), 0, 5);
    const unsigned char value = static_cast<unsigned char>(round % 10 ? uniform(0, 5) : 6);
    bool found = false;
    kcPair<long> expected;
    for (long y = view.window().y(); y < view.window().bottom() && !found; ++y)
      for (long x = view.window().x(); x < view.window().right() && !found; ++x)
        if (view.get(x, y) == value) {
          found = true;
          expected = kcPair<long>(x, y);
        }
    kcPair<long> where(-1000, -1000);
    ASSERT_EQ(kf_FindFirstPel(view, value, where), found);
    ASSERT_EQ(where, found ? expected : kcPair<long>(-1000, -1000));
  }
}

}  // namespace
