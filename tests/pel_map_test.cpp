#include "imaging/pel_map.h"

#include <gtest/gtest.h>

#include "host/cpu_dispatch.h"
#include "test_support.h"

using namespace testing_support;

// Every kernel build the processor runs against the table read pel by pel,
// over widths that leave every tail length of the vector widths, with the
// destination overlapping the source's window partly.
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
  }
}
