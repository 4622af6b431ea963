#include "pelfuncs/pel_map_value.h"

#include <numeric>
#include <vector>

#include "imaging/pel_map.h"

void kf_PelMapValue(kcPelBuffer<unsigned char>& image, unsigned char from, unsigned char to) {
  std::vector<unsigned char> table(256);
  std::iota(table.begin(), table.end(), 0);
  table[from] = to;
  kfPelMap(image, table, image);
}
