#include "deep_images.h"

#include <algorithm>
#include <cstring>

#include "cli_common.h"

namespace cli {

int storedShift(const std::string& path, int stated, int fileBits, unsigned top, unsigned any) {
  if (top < (1U << stated)) return 0;
  const int shift = fileBits - stated;
  if (shift <= 0 || (any & ((1U << shift) - 1)) != 0)
    failBadInput(path + ": samples above " + std::to_string(stated) + " bits that are not " +
                 std::to_string(stated) + "-bit samples stored high");
  return shift;
}

DeepGray deepGrayOf(const std::string& path, imgio::ColorImage16 file, int bits) {
  if (file.hasColour()) noteColourConverted(path);
  DeepGray gray{file.channels == 1 ? std::move(file) : imgio::toGray(file), 0};
  imgio::ColorImage16& image = gray.image;
  const int stated = bits > 0 ? bits : image.bits;
  unsigned top = 0, any = 0;
  for (std::uint16_t s : image.pels) {
    top = std::max<unsigned>(top, s);
    any |= s;
  }
  gray.shift = storedShift(path, stated, image.bits, top, any);
  image.bits = stated;
  if (gray.shift > 0)
    for (std::uint16_t& s : image.pels) s = static_cast<std::uint16_t>(s >> gray.shift);
  return gray;
}

kcPelBuffer_const<unsigned short> viewOf(const imgio::ColorImage16& image) {
  return kcPelBuffer_const<unsigned short>::wrap(image.pels.data(), image.width, image.height,
                                                 image.width, nullptr);
}

imgio::ColorImage16 fileOf(const kcPelBuffer_const<unsigned short>& result, int bits, int shift) {
  imgio::ColorImage16 file{result.width(), result.height(), 1, {}, shift > 0 ? bits + shift : bits};
  file.pels.resize(static_cast<std::size_t>(result.width() * result.height()));
  for (long y = 0; y < result.height(); ++y) {
    const unsigned short* row = result.pointToPel(result.window().x(), result.window().y() + y);
    std::uint16_t* out = file.pels.data() + y * result.width();
    for (long x = 0; x < result.width(); ++x) out[x] = static_cast<std::uint16_t>(row[x] << shift);
  }
  return file;
}

unsigned char PictureScale::operator()(unsigned level) const {
  const unsigned v = std::clamp(level, lo, hi);
  return static_cast<unsigned char>(((v - lo) * 255U + (hi - lo) / 2) / (hi - lo));
}

PictureScale PictureScale::of(const std::vector<const imgio::ColorImage16*>& images) {
  unsigned lo = 65535, hi = 0;
  for (const imgio::ColorImage16* image : images)
    for (std::uint16_t s : image->pels) {
      lo = std::min<unsigned>(lo, s);
      hi = std::max<unsigned>(hi, s);
    }
  if (hi <= lo) hi = lo + 1;  // a flat picture still has a scale
  return {lo, hi};
}

imgio::ColorImage pictureOf(const imgio::ColorImage16& image, const PictureScale& scale) {
  imgio::ColorImage picture{image.width, image.height, image.channels, {}};
  picture.pels.reserve(image.pels.size());
  for (std::uint16_t s : image.pels) picture.pels.push_back(scale(s));
  return picture;
}

kcNormalizationExplanation pictureExplanation(const kcNormalizationExplanation& e,
                                              const PictureScale& scale) {
  kcNormalizationExplanation picture = e;
  picture.wideMap.clear();
  if (e.wideMap.empty()) return picture;
  picture.map.resize(256);
  const unsigned top = static_cast<unsigned>(e.wideMap.size() - 1);
  for (unsigned i = 0; i < 256; ++i) {
    const unsigned level = std::min(top, scale.lo + (i * (scale.hi - scale.lo) + 127) / 255);
    picture.map[i] = scale(e.wideMap[level]);
  }
  return picture;
}

}  // namespace cli
