#include <gtest/gtest.h>

#include "host/cpu_dispatch.h"
#include "imaging/pel_map.h"
#include "tests/test_support.h"

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
      const kcPelRect w = dst.window();
      for (long y = w.y(); y < w.bottom(); ++y)
        for (long x = w.x(); x < w.right(); ++x)
          ASSERT_EQ(dst.get(x, y), inside(src.window(), x, y) ? map[src.get(x, y)] : before.get(x, y))
              << "kernel set " << static_cast<int>(set) << " at " << x << ", " << y;
    }
  }
}
