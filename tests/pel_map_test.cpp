#include "imaging/pel_map.h"

#include <gtest/gtest.h>

#include "host/detail/cpu_dispatch.h"
#include "test_support.h"

using namespace testing_support;

// Every kernel build the processor runs against the table read pel by pel,
// over widths that leave every tail length of the vector widths, with the
// destination overlapping the source's window partly; and a result of 2^23
// pels (written past the cache) whose rows start anywhere within a vector.
TEST(PelMap, EveryKernelBuildMatchesTheTableOverPartlyOverlappingWindows) {
  for (const kcKernelSet set :
       {kcKernelSet::ePlain, kcKernelSet::eAvx2, kcKernelSet::eAvx512Vbmi}) {
    const kcKernelSetScope scope(set);
    for (int trial = 0; trial < 60; ++trial) {
      std::vector<unsigned char> map(256);
      for (auto& v : map) v = static_cast<unsigned char>(uniform(0, 255));
      const Image src = randomView(randomWindow(trial < 30 ? 70 : 300, 6));
      Image dst = randomView(randomWindow(trial < 30 ? 70 : 300, 6));
      const Image before = kfPelCopy(dst);
      kfPelMap(src, map, dst);
      ASSERT_TRUE(pelsAre(dst, dst.window(),
                          [&](long x, long y) {
                            return inside(src.window(), x, y) ? map[src.get(x, y)]
                                                              : before.get(x, y);
                          }))
          << "kernel set " << static_cast<int>(set);
    }
    const kcPelRect window(3, -2, 4099, 2049);
    const Image src = makeImage(window, [](long x, long y) { return x * 31 + y * 17 + (x ^ y); });
    std::vector<unsigned char> map(256);
    for (int i = 0; i < 256; ++i) map[i] = static_cast<unsigned char>(i * 97 + 13);
    Image dst(window.trim(-5, 0, 0, 0, false), 32);  // rows start 5 bytes into a block
    dst.window(window, false);
    kfPelMap(src, map, dst);
    ASSERT_TRUE(pelsAre(dst, window, [&](long x, long y) { return map[src.get(x, y)]; }));
  }
}
