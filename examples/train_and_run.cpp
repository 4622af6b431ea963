// Builds a synthetic reference image and shows the tool's configuration.
#include <cstdio>

#include "imgnorm/image_normalizer.h"

int main() {
  kcPelBuffer<unsigned char> reference(64, 48);
  for (long y = 0; y < reference.height(); ++y)
    for (long x = 0; x < reference.width(); ++x) reference.set(x, y, static_cast<unsigned char>(x * 3 + y));
  kcImageNormalizer tool;
  tool.referenceImage(reference, true);
  std::printf("neighborhood %ldx%ld, granularity %ldx%ld\n", tool.neighborhoodSize().x(),
              tool.neighborhoodSize().y(), tool.granularity().x(), tool.granularity().y());
  return 0;
}
