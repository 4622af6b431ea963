// Writes a synthetic scene of any size, band by band, as the streaming
// benchmarks' input: a tiled, deflated TIFF (BigTIFF where it must be), or a
// PGM. Nothing of it is held but one band, so images far larger than memory
// can be made.
//
// Usage: imgnorm_make_giant_image WIDTH HEIGHT OUT [lit]
//   lit: the scene under a vignetting gain and an offset, as a run-time
//   image; without it the plain scene, as a reference.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "imgio/image_rows.h"

namespace {

// A texture of diagonal stripes and hashed noise: its histogram is broad
// and its rows differ, so that no method has an easy case.
unsigned char scenePel(long x, long y) {
  std::uint32_t h =
      static_cast<std::uint32_t>(x) * 73856093U ^ static_cast<std::uint32_t>(y) * 19349663U;
  h ^= h >> 13;
  h *= 0x5bd1e995U;
  h ^= h >> 15;
  return static_cast<unsigned char>(std::min(255L, (x * 7 + y * 3) % 200 + (h & 31)));
}

void sceneRow(long y, long width, long height, bool lit, unsigned char* row) {
  const double cy = (static_cast<double>(y) - height / 2.0) / height;
  for (long x = 0; x < width; ++x) {
    double v = scenePel(x, y);
    if (lit) {
      const double cx = (static_cast<double>(x) - width / 2.0) / width;
      v = v * (1.0 - 0.8 * (cx * cx + cy * cy)) + 12;  // 0.6 at the corners
    }
    row[x] = static_cast<unsigned char>(std::clamp(std::lround(v), 0L, 255L));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s WIDTH HEIGHT OUT.tif|OUT.pgm [lit]\n", argv[0]);
    return 2;
  }
  const long width = std::atol(argv[1]), height = std::atol(argv[2]);
  const std::string out = argv[3];
  const bool lit = argc > 4 && std::string(argv[4]) == "lit";
  try {
    const imgio::ImageLayout layout{*imgio::formatForPath(out), width, height, 1, 8, false};
    auto writer = imgio::RowWriter::create(out, layout.format, layout, {false, 512});
    constexpr long kBandRows = 256;  // a few MB a band at any width
    std::vector<unsigned char> band(static_cast<std::size_t>(width * kBandRows));
    for (long y = 0; y < height; y += kBandRows) {
      const long rows = std::min(kBandRows, height - y);
      for (long r = 0; r < rows; ++r) sceneRow(y + r, width, height, lit, band.data() + r * width);
      writer->write(rows, band.data());
    }
    writer->commit();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
