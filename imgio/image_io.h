#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

// Reading and writing of 8-bit and 16-bit gray and colour images, with or
// without alpha, in PNG, TIFF and PGM/PPM files, and atomic file replacement.
// Independent of the normalizer library.
namespace imgio {

namespace detail {
class Replacement;
}

// 8-bit gray pels, row after row without padding.
struct GrayImage {
  long width = 0;
  long height = 0;
  std::vector<unsigned char> pels;

  unsigned char at(long x, long y) const { return pels[static_cast<std::size_t>(y * width + x)]; }
  unsigned char& at(long x, long y) { return pels[static_cast<std::size_t>(y * width + x)]; }
};

// Pels of 1 (gray), 2 (gray, alpha), 3 (RGB) or 4 (RGBA) interleaved
// channels, row after row without padding, of 8-bit (unsigned char) or
// 16-bit (std::uint16_t) samples. Samples are low-aligned: each holds
// 0 .. 2^bits - 1, so that a 12-bit camera's image holds 0 .. 4095 with
// bits 12. 8-bit images have 8 bits always.
template <typename Sample>
struct BasicColorImage {
  static_assert(std::is_same_v<Sample, unsigned char> || std::is_same_v<Sample, std::uint16_t>);
  static constexpr int kSampleBits = 8 * sizeof(Sample);

  long width = 0;
  long height = 0;
  int channels = 1;
  std::vector<Sample> pels;
  int bits = kSampleBits;  // significant bits of each sample, 1 .. kSampleBits

  bool hasColour() const { return channels >= 3; }
  bool hasAlpha() const { return channels == 2 || channels == 4; }
  // The largest sample of the significant bits, which must be in range.
  Sample maxValue() const { return static_cast<Sample>((1U << bits) - 1); }
};

// The first sample above image.maxValue(), if any: an image must hold
// its significant bits.
template <typename Sample>
std::optional<Sample> sampleAboveBits(const BasicColorImage<Sample>& image) {
  if (image.bits >= image.kSampleBits) return std::nullopt;  // every sample fits
  for (Sample s : image.pels)
    if (s > image.maxValue()) return s;
  return std::nullopt;
}

using ColorImage = BasicColorImage<unsigned char>;
using ColorImage16 = BasicColorImage<std::uint16_t>;
// An image with samples as deep as its file's: 8-bit for files of 8 bits a
// sample or fewer, 16-bit otherwise.
using AnyDepthImage = std::variant<ColorImage, ColorImage16>;

enum class Format { kPng, kTiff, kPnm };

// Every failure of reading or writing; the message names the file.
class ImageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Largest image accepted, checked before any pel storage is allocated: the
// tool keeps several full-size intermediate images while it runs. Readers
// take the limit on pels as a parameter; this is its default.
constexpr long kMaxSide = 65535;
constexpr long kDefaultMaxPels = 1L << 28;
// Largest file read into memory.
constexpr std::size_t kMaxFileBytes = std::size_t{1} << 30;

struct ReadInfo {
  Format format = Format::kPng;
  // The file held colour pels (not just gray stored as colour) that were
  // converted to gray.
  bool convertedFromColour = false;
};

// The format named by a file's first bytes, if any.
std::optional<Format> detectFormat(std::span<const unsigned char> head);
// The format an output path asks for by its extension (.png, .tif, .tiff,
// .pgm, any case), if any.
std::optional<Format> formatForPath(const std::string& path);
const char* formatName(Format format);

// Reads a PNG, TIFF or PGM/PPM file, detected by its content. Colour is
// converted to gray with the luma weights 0.299, 0.587 and 0.114; 16-bit
// and larger samples are refused, and so are images of more than maxPels
// pels. Storage grows with what the file really holds, never with what its
// header merely declares.
GrayImage readImage(const std::string& path, ReadInfo* info = nullptr,
                    long maxPels = kDefaultMaxPels);
GrayImage decodeImage(std::span<const unsigned char> bytes, const std::string& name,
                      ReadInfo* info = nullptr, long maxPels = kDefaultMaxPels);
// The same files with their colour and alpha: RGB or RGBA when the file
// holds colour pels (info->convertedFromColour is then set, though nothing
// was converted), gray or gray and alpha otherwise. Alpha is a channel of
// its own when the file has one: an alpha sample, or a PNG's transparent
// colour (tRNS).
ColorImage readColorImage(const std::string& path, ReadInfo* info = nullptr,
                          long maxPels = kDefaultMaxPels);
ColorImage decodeColorImage(std::span<const unsigned char> bytes, const std::string& name,
                            ReadInfo* info = nullptr, long maxPels = kDefaultMaxPels);
// Any depth, as the file holds it: 16-bit samples (bits from the file:
// a PNG's sBIT chunk, a PGM/PPM's maximum value, a TIFF's SMaxSampleValue;
// else 16) shifted down to low-aligned, or 8-bit ones as readColorImage
// returns them. Samples above the file's declared maximum are refused, and
// so is what readColorImage refuses but 16-bit samples.
AnyDepthImage readAnyDepthImage(const std::string& path, ReadInfo* info = nullptr,
                                long maxPels = kDefaultMaxPels);
AnyDepthImage decodeAnyDepthImage(std::span<const unsigned char> bytes, const std::string& name,
                                  ReadInfo* info = nullptr, long maxPels = kDefaultMaxPels);
// Gray by the luma weights, without alpha; a gray image is returned as it is.
GrayImage toGray(const ColorImage& image);
ColorImage16 toGray(const ColorImage16& image);

// The file that writing path replaces: the target of a symbolic link (the
// link stays), or path itself. Refuses (ImageError) what exists and is not
// a regular file, such as a device or a folder.
std::string replacedFile(const std::string& path);

// A file written completely under a temporary name beside the file it
// replaces, with that file's permission bits; commit() renames it into
// place. Until then path is untouched, and a file never committed is
// removed. fill writes the temporary, given its path.
class PendingFile {
 public:
  PendingFile(const std::string& path,
              const std::function<void(const std::string& tempPath)>& fill);
  PendingFile(PendingFile&& other) noexcept;
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  PendingFile& operator=(PendingFile&&) = delete;
  ~PendingFile();
  void commit();

 private:
  std::unique_ptr<detail::Replacement> file_;  // the temporary and what it replaces
};

// The image in the format its extension names, or in format.
PendingFile prepareImage(const std::string& path, const GrayImage& image);
PendingFile prepareImage(const std::string& path, const GrayImage& image, Format format);
// Colour and alpha go to PNG or TIFF; PGM refuses them. 16-bit images keep
// their bits: PNG scales the samples up to 16 bits and records bits in
// sBIT, PGM's maximum value is 2^bits - 1 and TIFF's SMaxSampleValue is
// too (both when bits < 16). Refused (ImageError): bits out of range (8
// for an 8-bit image, 1 to 16 for a 16-bit one) or a sample above
// 2^bits - 1.
PendingFile prepareImage(const std::string& path, const ColorImage& image);
PendingFile prepareImage(const std::string& path, const ColorImage& image, Format format);
PendingFile prepareImage(const std::string& path, const ColorImage16& image);
PendingFile prepareImage(const std::string& path, const ColorImage16& image, Format format);

// One plane of signed 16- or 32-bit integers or 32-bit floats, such as a
// correction field, row after row without padding, and a text saying what
// it holds.
struct FieldImage {
  long width = 0;
  long height = 0;
  std::variant<std::vector<std::int16_t>, std::vector<std::int32_t>, std::vector<float>> samples;
  std::string description;
};

// The field as a TIFF whatever the path's extension (deflate-compressed
// where libtiff has the codec), its description in the ImageDescription tag.
PendingFile prepareFieldTiff(const std::string& path, const FieldImage& field);

// Writes the image, the file or the bytes at once (a PendingFile committed).
void writeImage(const std::string& path, const GrayImage& image);
void writeImage(const std::string& path, const GrayImage& image, Format format);
void writeImage(const std::string& path, const ColorImage& image);
void writeImage(const std::string& path, const ColorImage16& image);
void writeFileAtomically(const std::string& path,
                         const std::function<void(const std::string& tempPath)>& fill);
void writeBytesAtomically(const std::string& path, std::span<const unsigned char> bytes);

// Refuses an image without pels, a side above kMaxSide or more than maxPels
// pels (ImageError naming the file and the limits).
void checkImageSize(long width, long height, const std::string& name, long maxPels);

// Luma conversion of one colour pel, of 8-bit or 16-bit samples.
template <typename Sample = unsigned char>
Sample lumaOf(unsigned r, unsigned g, unsigned b) {
  return static_cast<Sample>((299 * r + 587 * g + 114 * b + 500) / 1000);
}

}  // namespace imgio
