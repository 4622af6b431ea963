// TIFF through libtiff. Each file gets its own error handler (open
// options), so concurrent reads keep their messages apart and nothing is
// printed by the library.
#include <tiffio.h>

#include <algorithm>
#include <bit>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "imgio/detail/image_codecs.h"

namespace imgio::detail {

namespace {

struct TiffErrorText {
  char text[256] = {};
};

int onTiffError(TIFF*, void* userData, const char*, const char* format, va_list args) {
  auto* error = static_cast<TiffErrorText*>(userData);
  if (error->text[0] == '\0') std::vsnprintf(error->text, sizeof error->text, format, args);
  return 1;
}

int onTiffWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

class TiffOptions {
 public:
  explicit TiffOptions(TiffErrorText& error) : options_(TIFFOpenOptionsAlloc()) {
    if (!options_) throw std::bad_alloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options_, onTiffError, &error);
    TIFFOpenOptionsSetWarningHandlerExtR(options_, onTiffWarning, nullptr);
    TIFFOpenOptionsSetMaxSingleMemAlloc(options_, static_cast<tmsize_t>(kMaxSide) * kMaxSide * 4);
  }
  TiffOptions(const TiffOptions&) = delete;
  TiffOptions& operator=(const TiffOptions&) = delete;
  ~TiffOptions() { TIFFOpenOptionsFree(options_); }
  TIFFOpenOptions* get() const { return options_; }

 private:
  TIFFOpenOptions* options_;
};

struct TiffCloser {
  void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffCloser>;

// A read-only file in memory behind libtiff's client procedures.
struct MemoryFile {
  const unsigned char* data;
  toff_t size;
  toff_t pos;
};

tmsize_t memoryRead(thandle_t handle, void* buffer, tmsize_t n) {
  auto* file = static_cast<MemoryFile*>(handle);
  if (n < 0 || file->pos >= file->size) return 0;
  const toff_t count = std::min<toff_t>(static_cast<toff_t>(n), file->size - file->pos);
  std::memcpy(buffer, file->data + file->pos, count);
  file->pos += count;
  return static_cast<tmsize_t>(count);
}

tmsize_t memoryWrite(thandle_t, void*, tmsize_t) { return -1; }

toff_t memorySeek(thandle_t handle, toff_t offset, int whence) {
  auto* file = static_cast<MemoryFile*>(handle);
  switch (whence) {
    case SEEK_SET:
      file->pos = offset;
      break;
    case SEEK_CUR:
      file->pos += offset;
      break;
    case SEEK_END:
      file->pos = file->size + offset;
      break;
    default:
      return static_cast<toff_t>(-1);
  }
  return file->pos;
}

int memoryClose(thandle_t) { return 0; }
toff_t memorySize(thandle_t handle) { return static_cast<MemoryFile*>(handle)->size; }
// The file is mapped already: libtiff reads uncompressed strips and tiles
// straight from it (its copying path refuses valid small tiles).
int memoryMap(thandle_t handle, void** base, toff_t* size) {
  auto* file = static_cast<MemoryFile*>(handle);
  *base = const_cast<unsigned char*>(file->data);
  *size = file->size;
  return 1;
}
void memoryUnmap(thandle_t, void*, toff_t) {}

std::string describeTiffError(const TiffErrorText& error) {
  return error.text[0] ? error.text : "libtiff gave no reason";
}

// The bits of each sample; samples wider than 8 bits are refused unless
// deep is set and they are 16 bits wide.
uint16_t checkSampleLayout(TIFF* tiff, const std::string& name, bool deep) {
  uint16_t bitsPerSample = 1;
  uint16_t sampleFormat = SAMPLEFORMAT_UINT;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bitsPerSample);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &sampleFormat);
  if (bitsPerSample > 8 && !(deep && bitsPerSample == 16))
    refuseDeepSamples(name, bitsPerSample, deep);
  if (sampleFormat != SAMPLEFORMAT_UINT)
    throw ImageError(name + ": TIFF samples that are not unsigned integers are not supported");
  return bitsPerSample;
}

// libtiff's RGBA reader multiplies colours by an unassociated alpha;
// declared associated, the samples come back as they are stored.
void readAlphaAsStored(TIFF* tiff) {
  uint16_t count = 0;
  const uint16_t* kinds = nullptr;
  if (!TIFFGetField(tiff, TIFFTAG_EXTRASAMPLES, &count, &kinds) || count == 0 ||
      kinds[0] != EXTRASAMPLE_UNASSALPHA)
    return;
  std::vector<uint16_t> asStored(kinds, kinds + count);  // the field's own array is replaced
  asStored[0] = EXTRASAMPLE_ASSOCALPHA;
  TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, count, asStored.data());
}

[[noreturn]] void refuseCorruptTiff(const std::string& name, const std::string& why) {
  throw ImageError(name + ": truncated or corrupt TIFF file: " + why);
}

// Uncompressed pels are in the file as they are: refuses a declared size
// that the file is too small for before anything is allocated for it.
void checkFileCanHold(TIFF* tiff, uint32_t width, uint32_t height, std::size_t fileBytes,
                      const std::string& name) {
  uint16_t compression = COMPRESSION_NONE;
  uint16_t samplesPerPel = 1;
  uint16_t bitsPerSample = 1;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samplesPerPel);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bitsPerSample);
  const unsigned long long bits =
      static_cast<unsigned long long>(width) * height * samplesPerPel * bitsPerSample;
  if (compression == COMPRESSION_NONE && bits / 8 > fileBytes)
    refuseCorruptTiff(name, std::to_string(fileBytes) + " bytes cannot hold " +
                                std::to_string(width) + "x" + std::to_string(height) +
                                " uncompressed pels");
}

// libtiff's RGBA reader over a band of rows at a time; it handles strips,
// tiles, palettes and photometric variants alike, and 8-bit gray comes back
// unchanged in each channel. Rows come as stored: the reader would turn
// them over or mirror them, but not transpose them, so the orientation is
// applied afterwards, in one place.
class RgbaBands {
 public:
  RgbaBands(TIFF* tiff, const std::string& name, const TiffErrorText& error) {
    char reason[1024] = {};
    readAlphaAsStored(tiff);
    if (!TIFFRGBAImageOK(tiff, reason) || !TIFFRGBAImageBegin(&image_, tiff, 1, reason))
      refuseCorruptTiff(name, reason[0] ? reason : describeTiffError(error));
    image_.req_orientation = image_.orientation;
  }
  RgbaBands(const RgbaBands&) = delete;
  RgbaBands& operator=(const RgbaBands&) = delete;
  ~RgbaBands() { TIFFRGBAImageEnd(&image_); }

  // Rows of the file in one strip or one row of tiles: each is decoded once.
  uint32_t rowsPerBand() const {
    uint32_t rows = 0;
    if (TIFFIsTiled(image_.tif))
      TIFFGetField(image_.tif, TIFFTAG_TILELENGTH, &rows);
    else
      TIFFGetFieldDefaulted(image_.tif, TIFFTAG_ROWSPERSTRIP, &rows);
    return std::clamp<uint32_t>(rows, 1, image_.height);
  }

  // The image's rows of the file's rows from fileRow on, top row first.
  bool read(uint32_t fileRow, uint32_t rows, std::vector<uint32_t>& band) {
    image_.row_offset = static_cast<int>(fileRow);
    band.resize(static_cast<std::size_t>(image_.width) * rows);
    return TIFFRGBAImageGet(&image_, band.data(), image_.width, rows) != 0;
  }

  uint16_t orientation() const { return image_.orientation; }

  // Gray or RGB, with alpha where the file has an alpha sample that the
  // reader passes on; others are refused rather than made opaque.
  int channels(const std::string& name) const {
    const bool gray = image_.photometric == PHOTOMETRIC_MINISBLACK ||
                      image_.photometric == PHOTOMETRIC_MINISWHITE;
    if (image_.alpha == 0) return gray ? 1 : 3;
    if (!gray && image_.photometric != PHOTOMETRIC_RGB)
      throw ImageError(name + ": alpha in a TIFF of photometric interpretation " +
                       std::to_string(image_.photometric) +
                       " is not supported; store the image as gray or RGB with alpha");
    return gray ? 2 : 4;
  }

 private:
  TIFFRGBAImage image_{};
};

// Each RGBA pel as gray, gray and alpha, RGB or RGBA, interleaved.
void unpackRgba(const std::vector<uint32_t>& rgba, int channels, unsigned char* samples) {
  for (std::size_t i = 0; i < rgba.size(); ++i) {
    const uint32_t p = rgba[i];
    const auto alpha = static_cast<unsigned char>(TIFFGetA(p));
    const unsigned char pel[4] = {static_cast<unsigned char>(TIFFGetR(p)),
                                  channels == 2 ? alpha : static_cast<unsigned char>(TIFFGetG(p)),
                                  static_cast<unsigned char>(TIFFGetB(p)), alpha};
    std::copy(pel, pel + channels, samples + i * static_cast<std::size_t>(channels));
  }
}

// Where the orientation shows a stored pel: stored rows as shown columns
// (5 to 8), columns right to left, rows bottom to top.
struct Placement {
  bool transposed = false;
  bool flipX = false;
  bool flipY = false;
};

Placement placementOf(uint16_t orientation) {
  switch (orientation) {
    case ORIENTATION_TOPRIGHT:
      return {false, true, false};
    case ORIENTATION_BOTRIGHT:
      return {false, true, true};
    case ORIENTATION_BOTLEFT:
      return {false, false, true};
    case ORIENTATION_LEFTTOP:
      return {true, false, false};
    case ORIENTATION_RIGHTTOP:
      return {true, true, false};
    case ORIENTATION_RIGHTBOT:
      return {true, true, true};
    case ORIENTATION_LEFTBOT:
      return {true, false, true};
    default:
      return {};
  }
}

// The stored pels as the orientation shows them.
template <typename Sample>
BasicColorImage<Sample> shownAsOriented(uint32_t width, uint32_t height,
                                        const std::vector<Sample>& stored, int channels,
                                        const Placement& placement) {
  const long shownWidth = placement.transposed ? height : width;
  const long shownHeight = placement.transposed ? width : height;
  const auto pelSamples = static_cast<std::size_t>(channels);
  std::vector<Sample> shown(stored.size());
  for (uint32_t row = 0; row < height; ++row)
    for (uint32_t column = 0; column < width; ++column) {
      long x = placement.transposed ? row : column;
      long y = placement.transposed ? column : row;
      if (placement.flipX) x = shownWidth - 1 - x;
      if (placement.flipY) y = shownHeight - 1 - y;
      std::copy_n(stored.data() + (std::size_t{row} * width + column) * pelSamples, pelSamples,
                  shown.data() + static_cast<std::size_t>(y * shownWidth + x) * pelSamples);
    }
  return {shownWidth, shownHeight, channels, std::move(shown)};
}

// The stored pels, turned as the orientation says, as an image.
template <typename Sample>
BasicColorImage<Sample> orientedImage(uint32_t width, uint32_t height, std::vector<Sample> samples,
                                      int channels, uint16_t orientation, bool& colour,
                                      int bits = BasicColorImage<Sample>::kSampleBits) {
  const Placement placement = placementOf(orientation);
  if (placement.transposed || placement.flipX || placement.flipY) {
    BasicColorImage<Sample> shown = shownAsOriented(width, height, samples, channels, placement);
    samples = {};
    return fromInterleaved(shown.width, shown.height, std::move(shown.pels), channels, colour,
                           bits);
  }
  return fromInterleaved(static_cast<long>(width), static_cast<long>(height), std::move(samples),
                         channels, colour, bits);
}

ColorImage decodeShallowTiff(TIFF* tiff, const std::string& name, uint32_t width, uint32_t height,
                             const TiffErrorText& error, bool& colour) {
  // The bands extend the image as they are decoded.
  RgbaBands bands(tiff, name, error);
  const int channels = bands.channels(name);
  const auto rowSamples = static_cast<std::size_t>(width) * static_cast<std::size_t>(channels);
  std::vector<unsigned char> samples;
  std::vector<uint32_t> band;
  for (uint32_t fileRow = 0; fileRow < height; fileRow += bands.rowsPerBand()) {
    const uint32_t rows = std::min(bands.rowsPerBand(), height - fileRow);
    if (!bands.read(fileRow, rows, band)) refuseCorruptTiff(name, describeTiffError(error));
    samples.resize((fileRow + rows) * rowSamples);
    unpackRgba(band, channels, samples.data() + fileRow * rowSamples);
  }
  return orientedImage(width, height, std::move(samples), channels, bands.orientation(), colour);
}

// How 16-bit samples are laid out: which of each pel's stored samples are
// kept (gray or RGB, then alpha where an extra sample is one), in one plane
// or in separate ones, and their significant bits.
struct DeepLayout {
  uint16_t storedSamples = 1;
  int channels = 1;
  bool inverted = false;  // MinIsWhite: 0 is white
  bool separate = false;  // each sample in a plane of its own
  int bits = 16;
};

// Significant bits from SMaxSampleValue (the largest of any sample's),
// when it gives a plausible maximum; else all 16.
int significantBits(TIFF* tiff) {
  double maxValue = 0;
  if (!TIFFGetField(tiff, TIFFTAG_SMAXSAMPLEVALUE, &maxValue) || !(maxValue >= 1) ||
      maxValue > 65535)
    return 16;
  return static_cast<int>(std::bit_width(static_cast<unsigned long>(maxValue)));
}

DeepLayout deepLayoutOf(TIFF* tiff, const std::string& name) {
  uint16_t photometric = 0, planar = PLANARCONFIG_CONTIG, extraCount = 0;
  const uint16_t* extraKinds = nullptr;
  DeepLayout layout;
  TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &layout.storedSamples);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_EXTRASAMPLES, &extraCount, &extraKinds);
  const bool gray = photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE;
  const int colourSamples = gray ? 1 : 3;
  if (!gray && photometric != PHOTOMETRIC_RGB)
    throw ImageError(name + ": 16-bit TIFF of photometric interpretation " +
                     std::to_string(photometric) + " is not supported; store gray or RGB");
  // Gray or RGB, alpha and a few more extra samples: a row of many more
  // would be allocated before any of its data is seen.
  constexpr uint16_t kMaxStoredSamples = 16;
  if (layout.storedSamples > kMaxStoredSamples)
    throw ImageError(name + ": 16-bit TIFF of " + std::to_string(layout.storedSamples) +
                     " samples a pel is not supported; store gray or RGB, with alpha or not");
  if (layout.storedSamples < colourSamples + extraCount)
    refuseCorruptTiff(name,
                      "fewer samples than its photometric interpretation and extra "
                      "samples need");
  const bool alpha = extraCount > 0 && (extraKinds[0] == EXTRASAMPLE_ASSOCALPHA ||
                                        extraKinds[0] == EXTRASAMPLE_UNASSALPHA);
  layout.channels = colourSamples + (alpha ? 1 : 0);
  layout.inverted = photometric == PHOTOMETRIC_MINISWHITE;
  layout.separate = planar == PLANARCONFIG_SEPARATE;
  layout.bits = significantBits(tiff);
  return layout;
}

// Where a plane's samples go: contiguous planes hold every stored sample
// of a pel, separate ones one kept channel each.
struct Plane {
  uint16_t index = 0;      // libtiff's sample number of the plane
  std::size_t stride = 1;  // its samples a pel
  int firstChannel = 0;    // the first kept channel it holds
  int channels = 1;        // the kept channels it holds
};

std::vector<Plane> planesOf(const DeepLayout& layout) {
  if (!layout.separate) return {{0, layout.storedSamples, 0, layout.channels}};
  std::vector<Plane> planes;
  for (int c = 0; c < layout.channels; ++c) planes.push_back({static_cast<uint16_t>(c), 1, c, 1});
  return planes;
}

// Copies count pels of a plane into interleaved kept channels.
void scatter(const uint16_t* plane, std::size_t count, const Plane& where, int channels,
             uint16_t* pels) {
  const auto pelSamples = static_cast<std::size_t>(channels);
  for (std::size_t i = 0; i < count; ++i)
    std::copy_n(plane + i * where.stride, where.channels,
                pels + i * pelSamples + static_cast<std::size_t>(where.firstChannel));
}

// Strips are read a row at a time, so that the image grows with what the
// file holds; libtiff keeps one strip's stored bytes. Separate planes are
// read one after the other, each from its first row, so that compressed
// strips are decoded once; the first plane grows the image.
std::vector<uint16_t> readDeepStrips(TIFF* tiff, uint32_t width, uint32_t height,
                                     const DeepLayout& layout, const std::string& name,
                                     const TiffErrorText& error) {
  const std::size_t rowSamples = std::size_t{width} * static_cast<std::size_t>(layout.channels);
  std::vector<uint16_t> row, samples;
  for (const Plane& plane : planesOf(layout)) {
    row.resize(std::size_t{width} * plane.stride);
    for (uint32_t y = 0; y < height; ++y) {
      if (TIFFReadScanline(tiff, row.data(), y, plane.index) < 0)
        refuseCorruptTiff(name, describeTiffError(error));
      if (plane.firstChannel == 0) samples.resize(samples.size() + rowSamples);
      scatter(row.data(), width, plane, layout.channels, samples.data() + y * rowSamples);
    }
  }
  return samples;
}

// Tiles are read a row of tiles at a time. A tile may overhang the image,
// but one far larger than it is refused before its storage exists.
std::vector<uint16_t> readDeepTiles(TIFF* tiff, uint32_t width, uint32_t height,
                                    const DeepLayout& layout, const std::string& name,
                                    const TiffErrorText& error) {
  constexpr unsigned long long kSmallTilePels = 512 * 512;  // always plausible
  uint32_t tileWidth = 0, tileHeight = 0;
  TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tileWidth);
  TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tileHeight);
  const auto roundedUp = [](uint32_t side) { return (side + 15ULL) / 16 * 16; };
  const unsigned long long tilePels = 1ULL * tileWidth * tileHeight;
  if (tilePels == 0 || tilePels > std::max(kSmallTilePels, roundedUp(width) * roundedUp(height)))
    refuseCorruptTiff(name, "tiles of " + std::to_string(tileWidth) + "x" +
                                std::to_string(tileHeight) + " pels for an image of " +
                                std::to_string(width) + "x" + std::to_string(height));
  const std::vector<Plane> planes = planesOf(layout);
  const std::size_t rowSamples = std::size_t{width} * static_cast<std::size_t>(layout.channels);
  std::vector<uint16_t> tile(tilePels * planes.front().stride), samples;
  for (uint32_t top = 0; top < height; top += tileHeight) {
    const uint32_t rows = std::min(tileHeight, height - top);
    samples.resize(samples.size() + rows * rowSamples);
    for (const Plane& plane : planes)
      for (uint32_t left = 0; left < width; left += tileWidth) {
        if (TIFFReadTile(tiff, tile.data(), left, top, 0, plane.index) < 0)
          refuseCorruptTiff(name, describeTiffError(error));
        for (uint32_t y = 0; y < rows; ++y)
          scatter(tile.data() + std::size_t{y} * tileWidth * plane.stride,
                  std::min(tileWidth, width - left), plane, layout.channels,
                  samples.data() + (top + y) * rowSamples + left * std::size_t(layout.channels));
      }
  }
  return samples;
}

// Refuses samples above the significant bits' maximum, and turns
// MinIsWhite shades into MinIsBlack ones.
void checkAndInvert(std::vector<uint16_t>& samples, const DeepLayout& layout,
                    const std::string& name) {
  const auto maxValue = static_cast<uint16_t>((1U << layout.bits) - 1);
  const auto pelSamples = static_cast<std::size_t>(layout.channels);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (samples[i] > maxValue)
      refuseCorruptTiff(name, "a sample exceeds SMaxSampleValue " + std::to_string(maxValue));
    const bool shade = i % pelSamples == 0;  // gray: MinIsWhite is never RGB
    if (layout.inverted && shade) samples[i] = static_cast<uint16_t>(maxValue - samples[i]);
  }
}

ColorImage16 decodeDeepTiff(TIFF* tiff, const std::string& name, uint32_t width, uint32_t height,
                            const TiffErrorText& error, bool& colour) {
  const DeepLayout layout = deepLayoutOf(tiff, name);
  std::vector<uint16_t> samples = TIFFIsTiled(tiff)
                                      ? readDeepTiles(tiff, width, height, layout, name, error)
                                      : readDeepStrips(tiff, width, height, layout, name, error);
  checkAndInvert(samples, layout, name);
  uint16_t orientation = ORIENTATION_TOPLEFT;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_ORIENTATION, &orientation);
  return orientedImage(width, height, std::move(samples), layout.channels, orientation, colour,
                       layout.bits);
}

}  // namespace

AnyDepthImage decodeTiff(std::span<const unsigned char> bytes, const std::string& name,
                         bool& colour, long maxPels, bool deep) {
  TiffErrorText error;
  TiffOptions options(error);
  MemoryFile file{bytes.data(), bytes.size(), 0};
  TiffHandle tiff(TIFFClientOpenExt(name.c_str(), "r", &file, memoryRead, memoryWrite, memorySeek,
                                    memoryClose, memorySize, memoryMap, memoryUnmap,
                                    options.get()));
  if (!tiff) refuseCorruptTiff(name, describeTiffError(error));

  uint32_t width = 0;
  uint32_t height = 0;
  TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &height);
  const uint16_t bitsPerSample = checkSampleLayout(tiff.get(), name, deep);
  checkImageSize(static_cast<long>(width), static_cast<long>(height), name, maxPels);
  checkFileCanHold(tiff.get(), width, height, bytes.size(), name);
  if (bitsPerSample == 16) return decodeDeepTiff(tiff.get(), name, width, height, error, colour);
  return decodeShallowTiff(tiff.get(), name, width, height, error, colour);
}

namespace {

// Opens filePath for writing, lets write(tiff, fail) set the tags and
// write the rows (fail() throws after a libtiff error), and flushes; errors
// name the file.
template <class Write>
void writeTiffWith(const std::string& filePath, const std::string& name, const Write& write) {
  TiffErrorText error;
  TiffOptions options(error);
  TiffHandle tiff(TIFFOpenExt(filePath.c_str(), "w", options.get()));
  const auto fail = [&] {
    throw ImageError(name + ": cannot write TIFF: " + describeTiffError(error));
  };
  if (!tiff) fail();
  write(tiff.get(), fail);
  if (!TIFFFlush(tiff.get())) fail();
}

uint16_t deflateWhereConfigured() {
  return TIFFIsCODECConfigured(COMPRESSION_ADOBE_DEFLATE) ? COMPRESSION_ADOBE_DEFLATE
                                                          : COMPRESSION_NONE;
}

// Rows of rowSamples samples each. Codecs may change the row they are
// given, so each row goes through a scratch copy.
template <typename Sample, class Fail>
void writeRows(TIFF* t, const std::vector<Sample>& samples, std::size_t rowSamples, long height,
               const Fail& fail) {
  std::vector<Sample> row(rowSamples);
  for (long y = 0; y < height; ++y) {
    const auto* first = samples.data() + static_cast<std::size_t>(y) * rowSamples;
    std::copy(first, first + rowSamples, row.begin());
    if (TIFFWriteScanline(t, row.data(), static_cast<uint32_t>(y), 0) < 0) fail();
  }
}

}  // namespace

// 16-bit samples are written in the host's order, which the file's header
// names; SMaxSampleValue records significant bits below 16.
template <typename Sample>
void writeTiffFile(const std::string& filePath, const BasicColorImage<Sample>& image,
                   const std::string& name) {
  writeTiffWith(filePath, name, [&](TIFF* t, const auto& fail) {
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(image.width));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(image.height));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, static_cast<uint16_t>(image.kSampleBits));
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, static_cast<uint16_t>(image.channels));
    // After the samples per pel, whose change would cancel it.
    if (image.bits < image.kSampleBits)
      TIFFSetField(t, TIFFTAG_SMAXSAMPLEVALUE, static_cast<double>(image.maxValue()));
    TIFFSetField(
        t, TIFFTAG_PHOTOMETRIC,
        static_cast<uint16_t>(image.hasColour() ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK));
    if (image.hasAlpha()) {
      const uint16_t alpha[1] = {EXTRASAMPLE_UNASSALPHA};
      TIFFSetField(t, TIFFTAG_EXTRASAMPLES, uint16_t{1}, alpha);
    }
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, uint16_t{PLANARCONFIG_CONTIG});
    TIFFSetField(t, TIFFTAG_ORIENTATION, uint16_t{ORIENTATION_TOPLEFT});
    TIFFSetField(t, TIFFTAG_COMPRESSION, deflateWhereConfigured());
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
    writeRows(t, image.pels, static_cast<std::size_t>(image.width * image.channels), image.height,
              fail);
  });
}

// Sample formats as TIFF names them: signed integers or IEEE floats.
void writeFieldTiffFile(const std::string& filePath, const FieldImage& field,
                        const std::string& name) {
  writeTiffWith(filePath, name, [&](TIFF* t, const auto& fail) {
    std::visit(
        [&](const auto& samples) {
          using Sample = typename std::decay_t<decltype(samples)>::value_type;
          const bool real = std::is_floating_point_v<Sample>;
          TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(field.width));
          TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(field.height));
          TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, static_cast<uint16_t>(8 * sizeof(Sample)));
          TIFFSetField(t, TIFFTAG_SAMPLEFORMAT,
                       static_cast<uint16_t>(real ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_INT));
          TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t{1});
          TIFFSetField(t, TIFFTAG_PHOTOMETRIC, uint16_t{PHOTOMETRIC_MINISBLACK});
          TIFFSetField(t, TIFFTAG_PLANARCONFIG, uint16_t{PLANARCONFIG_CONTIG});
          TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, field.description.c_str());
          TIFFSetField(t, TIFFTAG_COMPRESSION, deflateWhereConfigured());
          TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
          writeRows(t, samples, static_cast<std::size_t>(field.width), field.height, fail);
        },
        field.samples);
  });
}

template void writeTiffFile(const std::string&, const ColorImage&, const std::string&);
template void writeTiffFile(const std::string&, const ColorImage16&, const std::string&);

}  // namespace imgio::detail
