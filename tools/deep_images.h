#pragma once

// 16-bit image files as a tool of 16-bit images takes them: their colour
// samples low-aligned in the tool's bits, and back into files as deep as
// they came; and 8-bit pictures of them for a person to look at.

#include <string>
#include <vector>

#include "host/pel_buffer.h"
#include "imgio/image_io.h"
#include "imgnorm/color_normalizer.h"
#include "imgnorm/explain.h"

namespace cli {

// A 16-bit file's pels as a tool of 16-bit images takes them: every channel
// kept, colour samples brought to bits significant bits, as they are when
// every sample fits, shifted down when they are bits-bit samples stored high
// (every sample a multiple of 2^(16 - bits)). Alpha is no tool's and keeps
// the file's scale.
struct DeepImage {
  imgio::ColorImage16 image;  // the file's channels; bits: the colour samples'
  int shift = 0;              // how far the colour samples were shifted down
  int fileBits = 16;          // the file's bits, which alpha keeps
};

// bits 0 takes the file's own. Samples that are neither are refused
// (kExitBadInput), naming the file.
DeepImage deepImageOf(const std::string& path, imgio::ColorImage16 file, int bits);

// How far a file's samples of fileBits bits are shifted down to stated
// bits: 0 when the largest of them, top, fits, else fileBits - stated when
// every sample is a multiple of 2^shift (any: their bitwise or). Others
// are refused (kExitBadInput), naming the file.
int storedShift(const std::string& path, int stated, int fileBits, unsigned top, unsigned any);

// The largest of interleaved samples' colour samples and their bitwise or
// (alpha, the last of 2 or 4 channels, left out), and the colour samples
// shifted down.
struct SampleBits {
  unsigned top = 0, any = 0;
};
SampleBits colourSampleBits(const std::vector<std::uint16_t>& samples, int channels);
void shiftColourDown(std::vector<std::uint16_t>& samples, int channels, int shift);

// The bits of a result of channels channels: the colour samples' bits,
// shifted back up as far as the input's were shifted down; at least the
// file's where alpha, which keeps the file's scale, is among them.
int outputBits(int bits, int shift, int channels, int fileBits);

// A result's planes (colour, then alpha when they are 2 or 4) as a file in
// the layout of the input it came from: colour shifted back up as far as
// the input's was shifted down, with its bits; alpha as it came.
imgio::ColorImage16 fileOf(const kcWideResult& planes, int bits, const DeepImage& input);

// 8-bit pictures through the data's range lo..hi: level lo becomes 0 and hi
// 255, linearly, rounded.
struct PictureScale {
  unsigned lo = 0, hi = 65535;
  unsigned char operator()(unsigned level) const;
  // The data's range of the images' colour samples, at least one level wide.
  static PictureScale of(const std::vector<const imgio::ColorImage16*>& images);
};
imgio::ColorImage pictureOf(const imgio::ColorImage16& image, const PictureScale& scale);
// A 16-bit map drawn on the picture's scale: entry i is the picture level
// of the map at the level that picture level i shows.
kcNormalizationExplanation pictureExplanation(const kcNormalizationExplanation& e,
                                              const PictureScale& scale);

}  // namespace cli
