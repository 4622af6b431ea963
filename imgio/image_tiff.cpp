// TIFF through libtiff. Each file gets its own error handler (open
// options), so concurrent reads keep their messages apart and nothing is
// printed by the library.
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "imgio/detail/image_codecs.h"
#include "imgio/detail/row_codecs.h"
#include "imgio/detail/tile_deflate.h"

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
void checkFileCanHold(TIFF* tiff, uint32_t width, uint32_t height, unsigned long long fileBytes,
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

// The stored rows of an 8-bit (or narrower) TIFF through libtiff's RGBA
// reader, a band at a time, as interleaved gray, gray and alpha, RGB or
// RGBA samples.
class ShallowBands {
 public:
  using Sample = unsigned char;

  ShallowBands(TIFF* tiff, const std::string& name, uint32_t, uint32_t, const TiffErrorText& error)
      : rgba_(tiff, name, error), channels_(rgba_.channels(name)), name_(name), error_(error) {}

  int channels() const { return channels_; }
  int bits() const { return 8; }
  uint32_t rowsPerBand() const { return rgba_.rowsPerBand(); }
  uint16_t orientation() const { return rgba_.orientation(); }

  // Appends the stored rows from first on, a band of them, to samples.
  void append(uint32_t first, uint32_t rows, std::vector<unsigned char>& samples) {
    if (!rgba_.read(first, rows, band_)) refuseCorruptTiff(name_, describeTiffError(error_));
    const std::size_t at = samples.size();
    samples.resize(at + band_.size() * static_cast<std::size_t>(channels_));
    unpackRgba(band_, channels_, samples.data() + at);
  }

 private:
  RgbaBands rgba_;
  int channels_;
  std::string name_;
  const TiffErrorText& error_;
  std::vector<uint32_t> band_;  // the RGBA pels of the last band
};

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

DeepLayout deepLayoutOf(TIFF* tiff, const std::string& name, int sampleBits) {
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
    throw ImageError(name + ": " + std::to_string(sampleBits) +
                     "-bit TIFF of photometric interpretation " + std::to_string(photometric) +
                     " is not supported; store gray or RGB");
  // Gray or RGB, alpha and a few more extra samples: a row of many more
  // would be allocated before any of its data is seen.
  constexpr uint16_t kMaxStoredSamples = 16;
  if (layout.storedSamples > kMaxStoredSamples)
    throw ImageError(name + ": " + std::to_string(sampleBits) + "-bit TIFF of " +
                     std::to_string(layout.storedSamples) +
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
template <typename Sample>
void scatter(const Sample* plane, std::size_t count, const Plane& where, int channels,
             Sample* pels) {
  const auto pelSamples = static_cast<std::size_t>(channels);
  // Every stored sample kept, in one plane: the samples are already in place.
  if (where.stride == pelSamples && where.channels == channels) {
    std::copy_n(plane, count * pelSamples, pels);
    return;
  }
  for (std::size_t i = 0; i < count; ++i)
    std::copy_n(plane + i * where.stride, where.channels,
                pels + i * pelSamples + static_cast<std::size_t>(where.firstChannel));
}

// Refuses samples above the significant bits' maximum, and turns
// MinIsWhite shades into MinIsBlack ones.
template <typename Sample>
void checkAndInvert(std::span<Sample> samples, const DeepLayout& layout, const std::string& name) {
  const auto maxValue = static_cast<Sample>((1U << layout.bits) - 1);
  if (layout.bits < 8 * static_cast<int>(sizeof(Sample)) && !samples.empty() &&
      *std::max_element(samples.begin(), samples.end()) > maxValue)
    refuseCorruptTiff(name, "a sample exceeds SMaxSampleValue " + std::to_string(maxValue));
  if (!layout.inverted) return;
  // The shade is each pel's first sample: MinIsWhite is never RGB.
  const auto pelSamples = static_cast<std::size_t>(layout.channels);
  for (std::size_t i = 0; i < samples.size(); i += pelSamples)
    samples[i] = static_cast<Sample>(maxValue - samples[i]);
}

// The stored rows of a 16-bit TIFF (or an 8-bit tiled one, see
// readsTilesDirectly), a band (a strip, or a row of tiles) at a time, as interleaved
// kept channels, checked and MinIsWhite inverted. 8-bit samples have 8
// significant bits, as the RGBA reader gives them.
template <typename SampleType>
class DirectBands {
 public:
  using Sample = SampleType;

  DirectBands(TIFF* tiff, const std::string& name, uint32_t width, uint32_t height,
              const TiffErrorText& error)
      : tiff_(tiff),
        name_(name),
        error_(error),
        width_(width),
        layout_(directLayoutOf(tiff, name)),
        planes_(planesOf(layout_)),
        rowSamples_(std::size_t{width} * static_cast<std::size_t>(layout_.channels)) {
    TIFFGetFieldDefaulted(tiff, TIFFTAG_ORIENTATION, &orientation_);
    if (TIFFIsTiled(tiff)) {
      checkTiles(height);
      rowsPerBand_ = std::min(tileHeight_, height);
    } else {
      TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &rowsPerBand_);
      rowsPerBand_ = std::clamp<uint32_t>(rowsPerBand_, 1, height);
    }
  }

  int channels() const { return layout_.channels; }
  int bits() const { return layout_.bits; }
  uint32_t rowsPerBand() const { return rowsPerBand_; }
  uint16_t orientation() const { return orientation_; }

  // Appends the stored rows from first on, a band of them, to samples.
  void append(uint32_t first, uint32_t rows, std::vector<Sample>& samples) {
    const std::size_t at = samples.size();
    if (tileHeight_ > 0)
      appendTileRow(first, rows, samples);
    else
      appendStripRows(first, rows, samples);
    checkAndInvert(std::span(samples).subspan(at), layout_, name_);
  }

 private:
  // A tile may overhang the image, but one far larger than it is refused
  // before its storage exists.
  void checkTiles(uint32_t height) {
    constexpr unsigned long long kSmallTilePels = 512 * 512;  // always plausible
    TIFFGetField(tiff_, TIFFTAG_TILEWIDTH, &tileWidth_);
    TIFFGetField(tiff_, TIFFTAG_TILELENGTH, &tileHeight_);
    const auto roundedUp = [](uint32_t side) { return (side + 15ULL) / 16 * 16; };
    const unsigned long long tilePels = 1ULL * tileWidth_ * tileHeight_;
    if (tilePels == 0 || tilePels > std::max(kSmallTilePels, roundedUp(width_) * roundedUp(height)))
      refuseCorruptTiff(name_, "tiles of " + std::to_string(tileWidth_) + "x" +
                                   std::to_string(tileHeight_) + " pels for an image of " +
                                   std::to_string(width_) + "x" + std::to_string(height));
    scratch_.resize(tilePels * planes_.front().stride);
  }

  // Strips are read a row at a time, so that the image grows with what the
  // file holds; libtiff keeps one strip's stored bytes. Separate planes are
  // read one after the other over the band, so that each strip is decoded
  // once; the first plane grows the image.
  void appendStripRows(uint32_t first, uint32_t rows, std::vector<Sample>& samples) {
    const std::size_t at = samples.size();
    for (const Plane& plane : planes_) {
      scratch_.resize(std::size_t{width_} * plane.stride);
      for (uint32_t y = 0; y < rows; ++y) {
        if (TIFFReadScanline(tiff_, scratch_.data(), first + y, plane.index) < 0)
          refuseCorruptTiff(name_, describeTiffError(error_));
        if (plane.firstChannel == 0) samples.resize(samples.size() + rowSamples_);
        scatter(scratch_.data(), width_, plane, layout_.channels,
                samples.data() + at + y * rowSamples_);
      }
    }
  }

  void appendTileRow(uint32_t top, uint32_t rows, std::vector<Sample>& samples) {
    const std::size_t at = samples.size();
    const auto pelSamples = static_cast<std::size_t>(layout_.channels);
    samples.resize(at + rows * rowSamples_);
    for (const Plane& plane : planes_)
      for (uint32_t left = 0; left < width_; left += tileWidth_) {
        if (TIFFReadTile(tiff_, scratch_.data(), left, top, 0, plane.index) < 0)
          refuseCorruptTiff(name_, describeTiffError(error_));
        for (uint32_t y = 0; y < rows; ++y)
          scatter(scratch_.data() + std::size_t{y} * tileWidth_ * plane.stride,
                  std::min(tileWidth_, width_ - left), plane, layout_.channels,
                  samples.data() + at + y * rowSamples_ + left * pelSamples);
      }
  }

  static DeepLayout directLayoutOf(TIFF* tiff, const std::string& name) {
    DeepLayout layout = deepLayoutOf(tiff, name, 8 * sizeof(Sample));
    if (sizeof(Sample) == 1) layout.bits = 8;
    return layout;
  }

  TIFF* tiff_;
  std::string name_;
  const TiffErrorText& error_;
  uint32_t width_;
  DeepLayout layout_;
  std::vector<Plane> planes_;
  std::size_t rowSamples_;
  uint16_t orientation_ = ORIENTATION_TOPLEFT;
  uint32_t rowsPerBand_ = 1;
  uint32_t tileWidth_ = 0, tileHeight_ = 0;  // 0: strips
  std::vector<Sample> scratch_;              // a stored row or tile of one plane
};

// 8-bit tiles of gray or RGB are read directly, not through libtiff's
// RGBA reader: it misplaces the rows of gray and alpha tiles that overhang
// the image, and refuses uncompressed tiles of a file it does not map.
bool readsTilesDirectly(TIFF* tiff) {
  uint16_t photometric = 0;
  TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
  return TIFFIsTiled(tiff) &&
         (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE ||
          photometric == PHOTOMETRIC_RGB);
}

// Calls use with a null pointer to the class of bands that reads the file.
template <class Use>
auto withBandsFor(TIFF* tiff, uint16_t bitsPerSample, const Use& use) {
  if (bitsPerSample == 16) return use(static_cast<DirectBands<uint16_t>*>(nullptr));
  if (bitsPerSample == 8 && readsTilesDirectly(tiff))
    return use(static_cast<DirectBands<unsigned char>*>(nullptr));
  return use(static_cast<ShallowBands*>(nullptr));
}

// Uncompressed tiles that only the RGBA reader reads (palette, CMYK,
// fewer than 8 bits), which it reads only from a mapped file.
bool rgbaNeedsMapping(TIFF* tiff, uint16_t bitsPerSample) {
  uint16_t compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
  return bitsPerSample != 16 && !(bitsPerSample == 8 && readsTilesDirectly(tiff)) &&
         TIFFIsTiled(tiff) && compression == COMPRESSION_NONE;
}

// The whole image, band after band, turned as its orientation says.
template <class Bands>
BasicColorImage<typename Bands::Sample> decodeBands(Bands& bands, uint32_t width, uint32_t height,
                                                    bool& colour) {
  std::vector<typename Bands::Sample> samples;
  for (uint32_t first = 0; first < height; first += bands.rowsPerBand())
    bands.append(first, std::min(bands.rowsPerBand(), height - first), samples);
  return orientedImage(width, height, std::move(samples), bands.channels(), bands.orientation(),
                       colour, bands.bits());
}

// The size and sample layout, checked as every reader checks them.
struct TiffHeader {
  uint32_t width = 0;
  uint32_t height = 0;
  uint16_t bitsPerSample = 8;
};

TiffHeader checkHeader(TIFF* tiff, const std::string& name, unsigned long long fileBytes,
                       long maxPels, bool deep) {
  TiffHeader header;
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &header.width);
  TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &header.height);
  header.bitsPerSample = checkSampleLayout(tiff, name, deep);
  checkImageSize(static_cast<long>(header.width), static_cast<long>(header.height), name, maxPels);
  checkFileCanHold(tiff, header.width, header.height, fileBytes, name);
  return header;
}

// A file's rows a band at a time, in the order its orientation shows them:
// bands bottom up and each band's rows reversed when the file's rows run
// bottom to top, each row's pels reversed when its columns run right to
// left. Orientations that turn rows into columns are refused.
template <class Bands>
class TiffRows : public RowSource {
 public:
  using Sample = typename Bands::Sample;

  TiffRows(std::unique_ptr<TiffErrorText> error, TiffHandle tiff, const TiffHeader& header,
           const std::string& name, ImageLayout& layout)
      : error_(std::move(error)),
        tiff_(std::move(tiff)),
        bands_(tiff_.get(), name, header.width, header.height, *error_),
        width_(header.width),
        height_(header.height),
        pelSamples_(static_cast<std::size_t>(bands_.channels())),
        bandCount_((height_ + bands_.rowsPerBand() - 1) / bands_.rowsPerBand()) {
    const Placement placement = placementOf(bands_.orientation());
    if (placement.transposed)
      throw NotStreamable(name + ": the TIFF's orientation " +
                          std::to_string(bands_.orientation()) +
                          " turns its rows into columns, which cannot be read a band of rows "
                          "at a time");
    flipX_ = placement.flipX;
    flipY_ = placement.flipY;
    layout = {
        Format::kTiff, static_cast<long>(width_), static_cast<long>(height_), bands_.channels(),
        bands_.bits(), sizeof(Sample) == 2};
  }

  void read(void* samples, long rows) override {
    auto* to = static_cast<Sample*>(samples);
    const std::size_t rowSamples = width_ * pelSamples_;
    for (long i = 0; i < rows; ++i, to += rowSamples) {
      if (next_ == bandRows_) nextBand();
      const uint32_t row = flipY_ ? bandRows_ - 1 - next_ : next_;
      copyRow(band_.data() + row * rowSamples, to);
      ++next_;
    }
  }

 private:
  void nextBand() {
    const uint32_t index = flipY_ ? bandCount_ - 1 - bandsRead_ : bandsRead_;
    ++bandsRead_;
    const uint32_t first = index * bands_.rowsPerBand();
    bandRows_ = std::min(bands_.rowsPerBand(), height_ - first);
    band_.clear();
    bands_.append(first, bandRows_, band_);
    next_ = 0;
  }

  void copyRow(const Sample* from, Sample* to) const {
    if (!flipX_) {
      std::copy_n(from, width_ * pelSamples_, to);
      return;
    }
    for (std::size_t x = 0; x < width_; ++x)
      std::copy_n(from + (width_ - 1 - x) * pelSamples_, pelSamples_, to + x * pelSamples_);
  }

  std::unique_ptr<TiffErrorText> error_;  // where libtiff's handler writes, for the handle's life
  TiffHandle tiff_;
  Bands bands_;
  std::size_t width_;
  uint32_t height_;
  std::size_t pelSamples_;
  uint32_t bandCount_;
  bool flipX_ = false, flipY_ = false;
  uint32_t bandsRead_ = 0;
  uint32_t bandRows_ = 0, next_ = 0;  // the band's rows, the next of them to hand out
  std::vector<Sample> band_;
};

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
  const TiffHeader header = checkHeader(tiff.get(), name, bytes.size(), maxPels, deep);
  return withBandsFor(tiff.get(), header.bitsPerSample, [&]<class Bands>(Bands*) {
    Bands bands(tiff.get(), name, header.width, header.height, error);
    return AnyDepthImage(decodeBands(bands, header.width, header.height, colour));
  });
}

namespace {

// libtiff reads the file through its own descriptor, a duplicate of the
// input's, mapped (mode "r") or not ("rm").
TiffHandle openDescriptor(const InputFile& input, const std::string& name, const char* mode,
                          TiffErrorText& error) {
  TiffOptions options(error);
  // A duplicate shares the offset, which an earlier handle has moved.
  const int fd = ::dup(::fileno(input.file.get()));
  if (fd < 0 || ::lseek(fd, 0, SEEK_SET) != 0) {
    const int err = errno;
    if (fd >= 0) ::close(fd);
    throw ImageError(name + ": cannot read: " + std::strerror(err));
  }
  TiffHandle tiff(TIFFFdOpenExt(fd, name.c_str(), mode, options.get()));
  if (!tiff) {
    ::close(fd);
    refuseCorruptTiff(name, describeTiffError(error));
  }
  return tiff;
}

}  // namespace

// The file is read without a mapping, which would bring every page read
// into the process's memory, unless the RGBA reader needs one.
OpenedRows openTiffRows(InputFile input, const std::string& name) {
  auto error = std::make_unique<TiffErrorText>();
  TiffHandle tiff = openDescriptor(input, name, "rm", *error);
  const TiffHeader header = checkHeader(tiff.get(), name, input.size, kMaxSide * kMaxSide, true);
  if (rgbaNeedsMapping(tiff.get(), header.bitsPerSample))
    tiff = openDescriptor(input, name, "r", *error);
  OpenedRows opened;
  withBandsFor(tiff.get(), header.bitsPerSample, [&]<class Bands>(Bands*) {
    opened.source = std::make_unique<TiffRows<Bands>>(std::move(error), std::move(tiff), header,
                                                      name, opened.layout);
  });
  return opened;
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

// 16-bit samples are written in the host's order, which the file's header
// names; SMaxSampleValue records significant bits below 16.
void setImageTags(TIFF* t, const ImageLayout& layout) {
  const int sampleBits = layout.deep ? 16 : 8;
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(layout.width));
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(layout.height));
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, static_cast<uint16_t>(sampleBits));
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, static_cast<uint16_t>(layout.channels));
  // After the samples per pel, whose change would cancel it.
  if (layout.bits < sampleBits)
    TIFFSetField(t, TIFFTAG_SMAXSAMPLEVALUE, static_cast<double>((1U << layout.bits) - 1));
  TIFFSetField(
      t, TIFFTAG_PHOTOMETRIC,
      static_cast<uint16_t>(layout.channels >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK));
  if (layout.channels == 2 || layout.channels == 4) {
    const uint16_t alpha[1] = {EXTRASAMPLE_UNASSALPHA};
    TIFFSetField(t, TIFFTAG_EXTRASAMPLES, uint16_t{1}, alpha);
  }
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, uint16_t{PLANARCONFIG_CONTIG});
  TIFFSetField(t, TIFFTAG_ORIENTATION, uint16_t{ORIENTATION_TOPLEFT});
  TIFFSetField(t, TIFFTAG_COMPRESSION, deflateWhereConfigured());
}

// Whether a tiled file may pass 4 GiB, classic TIFF's limit: its tiles'
// pels, deflate's worst growth (below 1/1000 of its input), the tables of
// two entries a tile, and a megabyte for the header and tags.
bool mayPassClassicTiff(const ImageLayout& layout, long tileSide) {
  const auto tiles = [&](long side) {
    return static_cast<unsigned long long>((side + tileSide - 1) / tileSide);
  };
  const unsigned long long tileCount = tiles(layout.width) * tiles(layout.height);
  const unsigned long long pelBytes =
      tileCount * static_cast<unsigned long long>(tileSide * tileSide) *
      static_cast<unsigned long long>(layout.channels) * (layout.deep ? 2 : 1);
  constexpr unsigned long long kClassicLimit = 0xFFFFFFFFULL;  // the largest 32-bit offset
  return pelBytes + pelBytes / 1000 + tileCount * 16 + (1ULL << 20) > kClassicLimit;
}

// Gathers rows until a row of tiles is complete, then writes its tiles,
// padded with zeros past the image's right and bottom edges.
class TiledSink : public RowSink {
 public:
  TiledSink(const std::string& filePath, const ImageLayout& layout, const RowWriterOptions& options,
            const std::string& name)
      : error_(std::make_unique<TiffErrorText>()),
        name_(name),
        width_(static_cast<std::size_t>(layout.width)),
        side_(static_cast<std::size_t>(options.tileSide)),
        pelBytes_(static_cast<std::size_t>(layout.channels) * (layout.deep ? 2 : 1)),
        band_(side_ * width_ * pelBytes_),
        tile_(side_ * side_ * pelBytes_),
        threads_(options.threads) {
    TiffOptions tiffOptions(*error_);
    const bool big = options.bigTiff || mayPassClassicTiff(layout, options.tileSide);
    tiff_.reset(TIFFOpenExt(filePath.c_str(), big ? "w8" : "w", tiffOptions.get()));
    if (!tiff_) fail();
    setImageTags(tiff_.get(), layout);
    TIFFSetField(tiff_.get(), TIFFTAG_TILEWIDTH, static_cast<uint32_t>(side_));
    TIFFSetField(tiff_.get(), TIFFTAG_TILELENGTH, static_cast<uint32_t>(side_));
    deflated_ = deflateWhereConfigured() == COMPRESSION_ADOBE_DEFLATE;
  }

  void write(const void* samples, long rows) override {
    const auto* from = static_cast<const unsigned char*>(samples);
    const std::size_t rowBytes = width_ * pelBytes_;
    for (long y = 0; y < rows; ++y, from += rowBytes) {
      std::copy_n(from, rowBytes, band_.data() + bandRows_ * rowBytes);
      if (++bandRows_ == side_) writeBand();
    }
  }

  void finish() override {
    if (bandRows_ > 0) writeBand();
    if (!tiles_.empty()) writeDeflated();
    if (!TIFFFlush(tiff_.get())) fail();
    tiff_.reset();
  }

 private:
  // Codecs may change the tile they are given, so each is copied afresh.
  // Deflated tiles are gathered and compressed together, on several threads.
  void writeBand() {
    const std::size_t rowBytes = width_ * pelBytes_, tileRowBytes = side_ * pelBytes_;
    for (std::size_t left = 0; left < width_; left += side_) {
      const std::size_t pelsBytes = std::min(side_, width_ - left) * pelBytes_;
      std::vector<unsigned char>& tile = deflated_ ? tiles_.emplace_back(tile_.size()) : tile_;
      std::fill(tile.begin(), tile.end(), 0);
      for (std::size_t y = 0; y < bandRows_; ++y)
        std::copy_n(band_.data() + y * rowBytes + left * pelBytes_, pelsBytes,
                    tile.data() + y * tileRowBytes);
      if (!deflated_ &&
          TIFFWriteTile(tiff_.get(), tile.data(), static_cast<uint32_t>(left), top_, 0, 0) < 0)
        fail();
    }
    top_ += static_cast<uint32_t>(side_);
    bandRows_ = 0;
    if (tiles_.size() * tile_.size() >= kDeflateBatchBytes) writeDeflated();
  }

  void writeDeflated() {
    for (const auto& tile : deflateTiles(tiles_, threads_))
      if (TIFFWriteRawTile(tiff_.get(), tileIndex_++, const_cast<unsigned char*>(tile.data()),
                           static_cast<tmsize_t>(tile.size())) < 0)
        fail();
    tiles_.clear();
  }

  [[noreturn]] void fail() const {
    throw ImageError(name_ + ": cannot write TIFF: " + describeTiffError(*error_));
  }

  std::unique_ptr<TiffErrorText> error_;  // where libtiff's handler writes, for the handle's life
  std::string name_;
  std::size_t width_, side_, pelBytes_;
  std::vector<unsigned char> band_;  // a row of tiles' rows as they come
  std::vector<unsigned char> tile_;
  std::size_t bandRows_ = 0;
  uint32_t top_ = 0;  // the band's first row
  TiffHandle tiff_;
  // Deflated tiles are compressed here, a few rows of tiles at a time (a few
  // MB: enough tiles to share among threads, little memory), and written
  // raw in the order of their indexes.
  static constexpr std::size_t kDeflateBatchBytes = 8 << 20;
  bool deflated_ = false;
  unsigned threads_;
  std::vector<std::vector<unsigned char>> tiles_;
  uint32_t tileIndex_ = 0;
};

}  // namespace

std::unique_ptr<RowSink> tiffRowSink(const std::string& filePath, const ImageLayout& layout,
                                     const RowWriterOptions& options, const std::string& name) {
  return std::make_unique<TiledSink>(filePath, layout, options, name);
}

template <typename Sample>
void writeTiffFile(const std::string& filePath, const BasicColorImage<Sample>& image,
                   const std::string& name) {
  writeTiffWith(filePath, name, [&](TIFF* t, const auto& fail) {
    setImageTags(t, {Format::kTiff, image.width, image.height, image.channels, image.bits,
                     image.kSampleBits == 16});
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
