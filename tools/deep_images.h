#pragma once

// 16-bit image files as a tool of 16-bit images takes them: gray, their
// samples low-aligned in the tool's bits, and back into files as deep as
// they came; and 8-bit pictures of them for a person to look at.

#include <string>
#include <vector>

#include "host/pel_buffer.h"
#include "imgio/image_io.h"
#include "imgnorm/explain.h"

namespace cli {

// A 16-bit file's pels brought to one gray channel of bits significant
// bits: as they are when every sample fits, shifted down when they are
// bits-bit samples stored high (every sample a multiple of 2^(16 - bits)).
struct DeepGray {
  imgio::ColorImage16 image;  // one channel, bits significant bits
  int shift = 0;              // how far the file's samples were shifted down
};

// bits 0 takes the file's own. Colour images become gray (with the note
// that says so); samples that are neither are refused (kExitBadInput),
// naming the file.
DeepGray deepGrayOf(const std::string& path, imgio::ColorImage16 file, int bits);

// How far a file's samples of fileBits bits are shifted down to stated
// bits: 0 when the largest of them, top, fits, else fileBits - stated when
// every sample is a multiple of 2^shift (any: their bitwise or). Others
// are refused (kExitBadInput), naming the file.
int storedShift(const std::string& path, int stated, int fileBits, unsigned top, unsigned any);

kcPelBuffer_const<unsigned short> viewOf(const imgio::ColorImage16& image);

// A result's pels in the layout of the input it came from: shifted back up
// as far as the input was shifted down, with its bits.
imgio::ColorImage16 fileOf(const kcPelBuffer_const<unsigned short>& result, int bits, int shift);

// 8-bit pictures through the data's range lo..hi: level lo becomes 0 and hi
// 255, linearly, rounded.
struct PictureScale {
  unsigned lo = 0, hi = 65535;
  unsigned char operator()(unsigned level) const;
  // The data's range of the images, at least one level wide.
  static PictureScale of(const std::vector<const imgio::ColorImage16*>& images);
};
imgio::ColorImage pictureOf(const imgio::ColorImage16& image, const PictureScale& scale);
// A 16-bit map drawn on the picture's scale: entry i is the picture level
// of the map at the level that picture level i shows.
kcNormalizationExplanation pictureExplanation(const kcNormalizationExplanation& e,
                                              const PictureScale& scale);

}  // namespace cli
