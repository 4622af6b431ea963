#pragma once

// Deflating a row of TIFF tiles on several threads: the one step of writing
// a tiled, deflated TIFF that is slower than reading, mapping and smoothing
// the same pels, and the only one whose parts do not depend on each other.

#include <cstddef>
#include <vector>

namespace imgio::detail {

// Each tile as a deflated TIFF holds it (a zlib stream at libtiff's default
// level, for TIFFWriteRawTile), compressed on up to threads threads at
// once; tiles keep their order. Throws std::bad_alloc when memory runs out.
std::vector<std::vector<unsigned char>> deflateTiles(
    const std::vector<std::vector<unsigned char>>& tiles, unsigned threads);

}  // namespace imgio::detail
