#include <iostream>

#include "imgnorm/image_normalizer.h"
#include "imgnorm/version.h"

int main() {
  std::cout << "imgnorm " << kfVersion() << '\n';
  kcImageNormalizer tool;
  try {
    tool.neighborhoodSize(kcPair<long>(0, 5));
  } catch (const kcImageNormalizerDefs::BadParams& e) {
    std::cout << e.what() << '\n';
    return tool.neighborhoodSize().x() == 101 ? 0 : 1;
  }
  return 1;
}
