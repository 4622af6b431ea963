#pragma once

// The per-format readers and writers behind image_io.h.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "imgio/image_io.h"

namespace imgio::detail {

// Each decoder gets the whole file, the name to use in messages, the limit
// on pels and whether 16-bit samples are wanted (else refused), and returns
// the pels as decodeAnyDepthImage does; colour is set when any pel has
// colour.
AnyDepthImage decodePng(std::span<const unsigned char> bytes, const std::string& name, bool& colour,
                        long maxPels, bool deep);
AnyDepthImage decodeTiff(std::span<const unsigned char> bytes, const std::string& name,
                         bool& colour, long maxPels, bool deep);
AnyDepthImage decodePnm(std::span<const unsigned char> bytes, const std::string& name, bool& colour,
                        long maxPels, bool deep);

// The whole file read a band of rows at a time, as the decoders give it
// (format set to the file's), for files too large to read into memory.
// A file that can be read only whole is refused as too large.
AnyDepthImage readFileByRows(const std::string& path, Format& format, bool& colour, long maxPels,
                             bool deep);

template <typename Sample>
std::vector<unsigned char> encodePng(const BasicColorImage<Sample>& image, const std::string& name);
// TIFF is written by libtiff straight into the (temporary) file.
template <typename Sample>
void writeTiffFile(const std::string& filePath, const BasicColorImage<Sample>& image,
                   const std::string& name);

void writeFieldTiffFile(const std::string& filePath, const FieldImage& field,
                        const std::string& name);

// The interleaved pels of 1 (gray), 2 (gray, alpha), 3 (RGB) or 4 (RGBA)
// channels as an image of bits significant bits: RGB or RGBA when a pel
// has colour, else gray, or gray and alpha when there is alpha.
template <typename Sample>
BasicColorImage<Sample> fromInterleaved(long width, long height, std::vector<Sample> samples,
                                        int channels, bool& colour,
                                        int bits = BasicColorImage<Sample>::kSampleBits);

// Gray from interleaved pels of 1 (gray), 2 (gray, alpha), 3 (RGB) or 4
// (RGBA) channels; alpha is ignored. Returns whether any pel had colour.
template <typename Sample>
bool toGray(const Sample* src, std::size_t pelCount, int channels, Sample* dst);

// The refusal of samples wider than 8 bits (16 bits too when deep is set),
// with what is supported.
[[noreturn]] void refuseDeepSamples(const std::string& name, int bitsPerSample, bool deep = false);

}  // namespace imgio::detail
