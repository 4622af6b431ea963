#pragma once

// The per-format readers and writers behind image_io.h.

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "imgio/image_io.h"

namespace imgio::detail {

// Each decoder gets the whole file, the name to use in messages and the
// limit on pels, and returns the pels as readColorImage does; colour is set
// when any pel has colour.
ColorImage decodePng(std::span<const unsigned char> bytes, const std::string& name, bool& colour,
                     long maxPels);
ColorImage decodeTiff(std::span<const unsigned char> bytes, const std::string& name, bool& colour,
                      long maxPels);
ColorImage decodePnm(std::span<const unsigned char> bytes, const std::string& name, bool& colour,
                     long maxPels);

std::vector<unsigned char> encodePng(const ColorImage& image, const std::string& name);
// The PGM header; the pels follow it row after row.
std::string pgmHeader(long width, long height);
// TIFF is written by libtiff straight into the (temporary) file.
void writeTiffFile(const std::string& filePath, const ColorImage& image, const std::string& name);

// The interleaved pels of 1 (gray), 2 (gray, alpha), 3 (RGB) or 4 (RGBA)
// channels as a ColorImage: RGB or RGBA when a pel has colour, else gray,
// or gray and alpha when there is alpha.
ColorImage fromInterleaved(long width, long height, std::vector<unsigned char> samples,
                           int channels, bool& colour);

// Gray from interleaved pels of 1 (gray), 2 (gray, alpha), 3 (RGB) or 4
// (RGBA) channels; alpha is ignored. Returns whether any pel had colour.
bool toGray(const unsigned char* src, std::size_t pelCount, int channels, unsigned char* dst);

// The refusal of samples wider than 8 bits, with what is supported.
[[noreturn]] void refuseDeepSamples(const std::string& name, int bitsPerSample);

}  // namespace imgio::detail
