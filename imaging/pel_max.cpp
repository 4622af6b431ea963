#include "imaging/pel_max.h"

#include <algorithm>

unsigned long kfPelMax(const kcPelBuffer_const<unsigned long>& src) {
  src.requireBound();
  unsigned long m = 0;
  for (long y = src.window().y(); y < src.window().bottom(); ++y) {
    const unsigned long* row = src.pointToPel(src.window().x(), y);
    m = std::max(m, *std::max_element(row, row + src.width(), std::less<>()));
  }
  return m;
}
