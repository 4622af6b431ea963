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

namespace {

// Calls f with each colour sample of interleaved samples (alpha, the last
// of 2 or 4 channels, left out).
template <class Samples, class F>
void forColourSamples(Samples& samples, int channels, F f) {
  const auto step = static_cast<std::size_t>(channels);
  const std::size_t colour = channels == 2 || channels == 4 ? step - 1 : step;
  for (std::size_t i = 0; i < samples.size(); i += step)
    for (std::size_t c = 0; c < colour; ++c) f(samples[i + c]);
}

}  // namespace

SampleBits colourSampleBits(const std::vector<std::uint16_t>& samples, int channels) {
  SampleBits bits;
  forColourSamples(samples, channels, [&](std::uint16_t s) {
    bits.top = std::max<unsigned>(bits.top, s);
    bits.any |= s;
  });
  return bits;
}

void shiftColourDown(std::vector<std::uint16_t>& samples, int channels, int shift) {
  if (shift > 0)
    forColourSamples(samples, channels,
                     [shift](std::uint16_t& s) { s = static_cast<std::uint16_t>(s >> shift); });
}

DeepImage deepImageOf(const std::string& path, imgio::ColorImage16 file, int bits) {
  DeepImage deep{std::move(file), 0, 16};
  imgio::ColorImage16& image = deep.image;
  deep.fileBits = image.bits;
  const int stated = bits > 0 ? bits : image.bits;
  const SampleBits found = colourSampleBits(image.pels, image.channels);
  deep.shift = storedShift(path, stated, image.bits, found.top, found.any);
  image.bits = stated;
  shiftColourDown(image.pels, image.channels, deep.shift);
  return deep;
}

int outputBits(int bits, int shift, int channels, int fileBits) {
  const int colourBits = shift > 0 ? bits + shift : bits;
  return channels == 2 || channels == 4 ? std::max(colourBits, fileBits) : colourBits;
}

imgio::ColorImage16 fileOf(const kcWideResult& planes, int bits, const DeepImage& input) {
  const kcPelRect& w = planes.front().window();
  const auto channels = static_cast<int>(planes.size());
  const bool alpha = channels == 2 || channels == 4;
  imgio::ColorImage16 file{
      w.width(), w.height(), channels, {}, outputBits(bits, input.shift, channels, input.fileBits)};
  file.pels.resize(static_cast<std::size_t>(w.width() * w.height() * channels));
  for (int c = 0; c < channels; ++c) {
    const int shift = alpha && c == channels - 1 ? 0 : input.shift;
    for (long y = 0; y < w.height(); ++y) {
      const unsigned short* row = planes[static_cast<std::size_t>(c)].pointToPel(w.x(), w.y() + y);
      std::uint16_t* out = file.pels.data() + (y * w.width()) * channels + c;
      for (long x = 0; x < w.width(); ++x)
        out[x * channels] = static_cast<std::uint16_t>(row[x] << shift);
    }
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
    forColourSamples(image->pels, image->channels, [&](std::uint16_t s) {
      lo = std::min<unsigned>(lo, s);
      hi = std::max<unsigned>(hi, s);
    });
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
