// Writes small valid image files of every format, layout and depth the
// readers take, as seeds for the image fuzzer.
#include <cstdint>
#include <fstream>
#include <string>

#include "imgio/image_io.h"

namespace {

constexpr long kWidth = 7;  // odd sides: rows of odd byte counts
constexpr long kHeight = 5;

template <typename Sample>
imgio::BasicColorImage<Sample> pattern(int channels, int bits) {
  imgio::BasicColorImage<Sample> image;
  image.width = kWidth;
  image.height = kHeight;
  image.channels = channels;
  image.bits = bits;
  image.pels.resize(static_cast<std::size_t>(kWidth * kHeight * channels));
  for (std::size_t i = 0; i < image.pels.size(); ++i)
    image.pels[i] = static_cast<Sample>((i * 2654435761U) % (image.maxValue() + 1U));
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string dir = argv[1];
  for (int channels = 1; channels <= 4; ++channels) {
    const std::string layout = std::to_string(channels) + "ch";
    imgio::writeImage(dir + "/seed-" + layout + "-8.png", pattern<unsigned char>(channels, 8));
    imgio::writeImage(dir + "/seed-" + layout + "-8.tif", pattern<unsigned char>(channels, 8));
    imgio::writeImage(dir + "/seed-" + layout + "-12.png", pattern<std::uint16_t>(channels, 12));
    imgio::writeImage(dir + "/seed-" + layout + "-16.tif", pattern<std::uint16_t>(channels, 16));
  }
  imgio::writeImage(dir + "/seed-8.pgm", pattern<unsigned char>(1, 8));
  imgio::writeImage(dir + "/seed-12.pgm", pattern<std::uint16_t>(1, 12));
  std::ofstream(dir + "/seed-text.pgm") << "P2\n3 2\n# text\n4095\n0 1 2\n4093 4094 4095\n";
  std::ofstream(dir + "/seed-text.ppm") << "P3\n1 2\n255\n1 2 3 253 254 255\n";
  return 0;
}
