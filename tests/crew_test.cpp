#include "host/detail/crew.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

// Every item of every phase exactly once, whatever the crew's size; the
// pauses let helpers block between phases, so their wake-up is exercised too.
TEST(Crew, DoesEveryItemOfEveryPhaseOnce) {
  for (std::size_t threads : {1u, 2u, 5u}) {
    kcCrew crew(threads);
    for (std::size_t n : {0u, 1u, 7u, 300u}) {
      std::vector<std::atomic<int>> done(n);
      crew.forEach(n, [&](std::size_t i) { ++done[i]; });
      for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(done[i], 1) << threads << " " << n << " " << i;
      std::this_thread::sleep_for(std::chrono::milliseconds(n % 2));
    }
  }
}

TEST(Crew, RethrowsTheLowestFailureOnceEveryItemIsDone) {
  kcCrew crew(3);
  std::atomic<int> done{0};
  try {
    crew.forEach(40, [&](std::size_t i) {
      ++done;
      if (i == 31 || i == 17) throw std::runtime_error("item " + std::to_string(i));
    });
    FAIL() << "no failure";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "item 17");
  }
  EXPECT_EQ(done, 40);
  crew.forEach(5, [&](std::size_t) { ++done; });  // still serves
  EXPECT_EQ(done, 45);
}

}  // namespace
