// PNG through libpng. libpng reports errors by longjmp, so every call that
// may fail runs in a small function holding setjmp and only trivially
// destructible locals; the C++ objects live in the callers, which never
// see a longjmp.
#include <png.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include "imgio/detail/image_codecs.h"
#include "imgio/detail/row_codecs.h"

namespace imgio::detail {

namespace {

struct PngErrorText {
  char text[256] = {};
};

void onPngError(png_structp png, png_const_charp message) {
  auto* error = static_cast<PngErrorText*>(png_get_error_ptr(png));
  std::snprintf(error->text, sizeof error->text, "%s", message);
  png_longjmp(png, 1);
}

void onPngWarning(png_structp, png_const_charp) {}

struct PngSource {
  const unsigned char* data;
  std::size_t size;
  std::size_t pos;
};

void readFromMemory(png_structp png, png_bytep out, std::size_t n) {
  auto* source = static_cast<PngSource*>(png_get_io_ptr(png));
  if (n > source->size - source->pos) png_error(png, "the file ends early");
  std::memcpy(out, source->data + source->pos, n);
  source->pos += n;
}

void readFromFile(png_structp png, png_bytep out, std::size_t n) {
  auto* file = static_cast<std::FILE*>(png_get_io_ptr(png));
  if (std::fread(out, 1, n, file) != n)
    png_error(png, std::ferror(file) ? std::strerror(errno) : "the file ends early");
}

void writeToFile(png_structp png, png_bytep data, std::size_t n) {
  if (std::fwrite(data, 1, n, static_cast<std::FILE*>(png_get_io_ptr(png))) != n)
    png_error(png, std::strerror(errno));
}

struct PngSink {
  std::vector<unsigned char>* bytes;
};

void writeToMemory(png_structp png, png_bytep data, std::size_t n) {
  auto* sink = static_cast<PngSink*>(png_get_io_ptr(png));
  bool stored = true;
  try {
    sink->bytes->insert(sink->bytes->end(), data, data + n);
  } catch (...) {
    stored = false;
  }
  if (!stored) png_error(png, "out of memory");
}

void flushNothing(png_structp) {}

struct PngHeader {
  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int bitDepth = 0;
  int fileChannels = 0;  // as stored, before expansion
  std::size_t fileRowBytes = 0;
  bool interlaced = false;
  int channels = 0;  // as decoded: after expansion to 8 bits, if asked for
  std::size_t rowBytes = 0;
  int bits = 8;  // significant bits of each decoded sample
};

class PngReadHandles {
 public:
  explicit PngReadHandles(PngErrorText& error)
      : png_(png_create_read_struct(PNG_LIBPNG_VER_STRING, &error, onPngError, onPngWarning)),
        info_(png_ ? png_create_info_struct(png_) : nullptr) {}
  PngReadHandles(const PngReadHandles&) = delete;
  PngReadHandles& operator=(const PngReadHandles&) = delete;
  ~PngReadHandles() { png_destroy_read_struct(&png_, &info_, nullptr); }
  png_structp png() const { return png_; }
  png_infop info() const { return info_; }

 private:
  png_structp png_;
  png_infop info_;
};

bool readPngInfo(png_structp png, png_infop info, PngHeader* header) {
  if (setjmp(png_jmpbuf(png))) return false;
  // The size limits are checked by the caller, with a clearer message.
  png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
  png_read_info(png, info);
  header->width = png_get_image_width(png, info);
  header->height = png_get_image_height(png, info);
  header->bitDepth = png_get_bit_depth(png, info);
  header->fileChannels = png_get_channels(png, info);
  header->fileRowBytes = png_get_rowbytes(png, info);
  header->interlaced = png_get_interlace_type(png, info) != PNG_INTERLACE_NONE;
  return true;
}

// 16-bit samples come low-aligned in host order: shifted down by the bits
// that sBIT says are padding, and swapped from PNG's big-endian order on
// little-endian hosts. Every channel is shifted alike, by the widest one's
// padding, so that one significant width describes them all.
int setUpDeepSamples(png_structp png, png_infop info) {
  if constexpr (std::endian::native == std::endian::little) png_set_swap(png);
  png_color_8p sBit = nullptr;
  if (!png_get_sBIT(png, info, &sBit)) return 16;
  const int colourType = png_get_color_type(png, info);
  png_byte bits = (colourType & PNG_COLOR_MASK_COLOR)
                      ? std::max({sBit->red, sBit->green, sBit->blue})
                      : sBit->gray;
  if (colourType & PNG_COLOR_MASK_ALPHA) bits = std::max(bits, sBit->alpha);
  png_color_8 shift{bits, bits, bits, bits, bits};
  png_set_shift(png, &shift);
  return bits;
}

// Sets up whole rows (interlaced passes combined), expanded to 8-bit gray,
// gray-alpha, RGB or RGBA pels when expand is set; a transparent colour
// (tRNS) becomes an alpha channel.
bool setUpPngRows(png_structp png, png_infop info, PngHeader* header, bool expand) {
  if (setjmp(png_jmpbuf(png))) return false;
  const int colourType = png_get_color_type(png, info);
  if (expand && colourType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (expand && colourType == PNG_COLOR_TYPE_GRAY && header->bitDepth < 8)
    png_set_expand_gray_1_2_4_to_8(png);
  if (expand && png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
  if (expand && header->bitDepth == 16) header->bits = setUpDeepSamples(png, info);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  header->channels = png_get_channels(png, info);
  header->rowBytes = png_get_rowbytes(png, info);
  return true;
}

bool readPngPels(png_structp png, png_bytepp rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_image(png, rows);
  png_read_end(png, nullptr);
  return true;
}

bool readPngRow(png_structp png, png_bytep row) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_row(png, row, nullptr);
  return true;
}

bool readPngEnd(png_structp png) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_end(png, nullptr);
  return true;
}

int pngColourType(int channels) {
  switch (channels) {
    case 2:
      return PNG_COLOR_TYPE_GRAY_ALPHA;
    case 3:
      return PNG_COLOR_TYPE_RGB;
    case 4:
      return PNG_COLOR_TYPE_RGBA;
    default:
      return PNG_COLOR_TYPE_GRAY;
  }
}

// 16-bit samples go out big-endian, scaled up by libpng from their
// significant bits, which sBIT records.
bool startPng(png_structp png, png_infop info, const ImageLayout* layout) {
  if (setjmp(png_jmpbuf(png))) return false;
  const int sampleBits = layout->deep ? 16 : 8;
  png_set_IHDR(png, info, static_cast<png_uint_32>(layout->width),
               static_cast<png_uint_32>(layout->height), sampleBits,
               pngColourType(layout->channels), PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  const auto bits = static_cast<png_byte>(layout->bits);
  png_color_8 significant{bits, bits, bits, bits, bits};
  if (layout->bits < sampleBits) png_set_sBIT(png, info, &significant);
  png_write_info(png, info);
  if (layout->bits < sampleBits) png_set_shift(png, &significant);
  if (layout->deep && std::endian::native == std::endian::little) png_set_swap(png);
  return true;
}

// Rows of rowBytes each; libpng takes rows as bytes, and changes none it
// is given.
bool writePngRows(png_structp png, const unsigned char* rows, std::size_t rowBytes, long count) {
  if (setjmp(png_jmpbuf(png))) return false;
  for (long y = 0; y < count; ++y)
    png_write_row(png, rows + static_cast<std::size_t>(y) * rowBytes);
  return true;
}

bool endPng(png_structp png) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_write_end(png, nullptr);
  return true;
}

std::size_t rowBytesOf(const ImageLayout& layout) {
  return static_cast<std::size_t>(layout.width * layout.channels) * (layout.deep ? 2 : 1);
}

class PngWriteHandles {
 public:
  explicit PngWriteHandles(PngErrorText& error)
      : png_(png_create_write_struct(PNG_LIBPNG_VER_STRING, &error, onPngError, onPngWarning)),
        info_(png_ ? png_create_info_struct(png_) : nullptr) {}
  PngWriteHandles(const PngWriteHandles&) = delete;
  PngWriteHandles& operator=(const PngWriteHandles&) = delete;
  ~PngWriteHandles() { png_destroy_write_struct(&png_, &info_); }
  png_structp png() const { return png_; }
  png_infop info() const { return info_; }

 private:
  png_structp png_;
  png_infop info_;
};

[[noreturn]] void refuseCorruptPng(const std::string& name, const std::string& why) {
  throw ImageError(name + ": truncated or corrupt PNG file: " + why);
}

// Deflate expands its input at most 1032 times, which bounds the pels that
// a file of this size can hold.
void checkFileCanHold(const PngHeader& header, std::size_t fileBytes, const std::string& name) {
  constexpr unsigned long long kMaxInflation = 1032;
  const unsigned long long bits = static_cast<unsigned long long>(header.width) * header.height *
                                  static_cast<unsigned>(header.bitDepth * header.fileChannels);
  if (bits / 8 > kMaxInflation * fileBytes)
    refuseCorruptPng(name, std::to_string(fileBytes) + " bytes cannot hold " +
                               std::to_string(header.width) + "x" + std::to_string(header.height) +
                               " pels");
}

// Interlaced passes revisit every row, so all rows are decoded at once;
// checkFileCanHold has bounded their size. libpng writes samples of more
// than a byte in the host's order, set up by setUpDeepSamples.
template <typename Sample>
bool decodeInterlaced(const PngReadHandles& handles, const PngHeader& header,
                      std::vector<Sample>& raw) {
  const std::size_t rowSamples = header.rowBytes / sizeof(Sample);
  raw.resize(rowSamples * header.height);
  std::vector<png_bytep> rows(header.height);
  for (png_uint_32 y = 0; y < header.height; ++y)
    rows[y] = reinterpret_cast<png_bytep>(raw.data() + y * rowSamples);
  return readPngPels(handles.png(), rows.data());
}

// Interlaced pels expanded to 8 bits need all rows at once, up to 32 times
// the file's own packing (1-bit palette indices to RGBA). They are decoded
// first as the file packs them, in storage that checkFileCanHold bounded by
// the file's size, so that data that ends early or is corrupt is refused
// before the expanded rows exist.
bool decodesPacked(std::span<const unsigned char> bytes, PngErrorText& error) {
  PngReadHandles handles(error);
  if (!handles.info()) {
    std::snprintf(error.text, sizeof error.text, "out of memory");
    return false;
  }
  PngSource source{bytes.data(), bytes.size(), 0};
  png_set_read_fn(handles.png(), &source, readFromMemory);
  PngHeader header;
  std::vector<unsigned char> packed;
  return readPngInfo(handles.png(), handles.info(), &header) &&
         setUpPngRows(handles.png(), handles.info(), &header, false) &&
         decodeInterlaced(handles, header, packed);
}

// Other images grow row by row with what the file really holds.
template <typename Sample>
bool decodeRows(const PngReadHandles& handles, const PngHeader& header, std::vector<Sample>& raw) {
  const std::size_t rowSamples = header.rowBytes / sizeof(Sample);
  for (png_uint_32 y = 0; y < header.height; ++y) {
    raw.resize(raw.size() + rowSamples);
    if (!readPngRow(handles.png(), reinterpret_cast<png_bytep>(raw.data() + y * rowSamples)))
      return false;
  }
  return readPngEnd(handles.png());
}

// Reads the header from the source set up on handles and sets up rows of 8
// or 16 bits; refuses what decodePng refuses of the header.
PngHeader openPng(const PngReadHandles& handles, PngErrorText& error, unsigned long long fileBytes,
                  const std::string& name, long maxPels, bool deep) {
  PngHeader header;
  if (!readPngInfo(handles.png(), handles.info(), &header)) refuseCorruptPng(name, error.text);
  if (header.bitDepth > 8 && !deep) refuseDeepSamples(name, header.bitDepth);
  checkImageSize(static_cast<long>(header.width), static_cast<long>(header.height), name, maxPels);
  checkFileCanHold(header, fileBytes, name);
  if (!setUpPngRows(handles.png(), handles.info(), &header, true))
    refuseCorruptPng(name, error.text);
  return header;
}

// Rows straight from the file into the caller's samples; the file's end
// is read after the last row.
class PngRows : public RowSource {
 public:
  PngRows(InputFile input, const std::string& name, ImageLayout& layout)
      : file_(std::move(input.file)), handles_(error_), name_(name) {
    if (!handles_.info()) throw ImageError(name + ": out of memory");
    png_set_read_fn(handles_.png(), file_.get(), readFromFile);
    header_ = openPng(handles_, error_, input.size, name, kMaxSide * kMaxSide, true);
    if (header_.interlaced)
      throw NotStreamable(name + ": an interlaced PNG cannot be read a band of rows at a time");
    layout = {Format::kPng,
              static_cast<long>(header_.width),
              static_cast<long>(header_.height),
              header_.channels,
              header_.bits,
              header_.bitDepth == 16};
    rowsLeft_ = layout.height;
  }

  void read(void* samples, long rows) override {
    auto* row = static_cast<png_bytep>(samples);
    for (long y = 0; y < rows; ++y, row += header_.rowBytes)
      if (!readPngRow(handles_.png(), row)) refuseCorruptPng(name_, error_.text);
    rowsLeft_ -= rows;
    if (rows > 0 && rowsLeft_ == 0 && !readPngEnd(handles_.png()))
      refuseCorruptPng(name_, error_.text);
  }

 private:
  FileHandle file_;
  PngErrorText error_;
  PngReadHandles handles_;
  std::string name_;
  PngHeader header_;
  long rowsLeft_ = 0;  // the file's end is read when none are left
};

// Rows straight from the caller's samples into the file.
class PngRowSink : public RowSink {
 public:
  PngRowSink(const std::string& filePath, const ImageLayout& layout, const std::string& name)
      : file_(std::fopen(filePath.c_str(), "wb")), handles_(error_), layout_(layout), name_(name) {
    if (!file_) throw ImageError(name + ": cannot write: " + std::strerror(errno));
    if (!handles_.info()) throw ImageError(name + ": out of memory");
    png_set_write_fn(handles_.png(), file_.get(), writeToFile, flushNothing);
    if (!startPng(handles_.png(), handles_.info(), &layout_)) fail();
  }

  void write(const void* samples, long rows) override {
    if (!writePngRows(handles_.png(), static_cast<const unsigned char*>(samples),
                      rowBytesOf(layout_), rows))
      fail();
  }

  void finish() override {
    if (!endPng(handles_.png())) fail();
    if (std::fclose(file_.release()) != 0)
      throw ImageError(name_ + ": cannot write: " + std::strerror(errno));
  }

 private:
  [[noreturn]] void fail() const {
    throw ImageError(name_ + ": cannot encode PNG: " + error_.text);
  }

  FileHandle file_;
  PngErrorText error_;
  PngWriteHandles handles_;
  ImageLayout layout_;
  std::string name_;
};

// The pels, set up by setUpPngRows, as samples of 8 or 16 bits.
template <typename Sample>
BasicColorImage<Sample> decodePels(std::span<const unsigned char> bytes,
                                   const PngReadHandles& handles, const PngHeader& header,
                                   PngErrorText& error, const std::string& name, bool& colour) {
  std::vector<Sample> raw;
  const bool expands = header.rowBytes > header.fileRowBytes;
  const bool decoded = header.interlaced ? (!expands || decodesPacked(bytes, error)) &&
                                               decodeInterlaced(handles, header, raw)
                                         : decodeRows(handles, header, raw);
  if (!decoded) refuseCorruptPng(name, error.text);
  return fromInterleaved(static_cast<long>(header.width), static_cast<long>(header.height),
                         std::move(raw), header.channels, colour, header.bits);
}

}  // namespace

AnyDepthImage decodePng(std::span<const unsigned char> bytes, const std::string& name, bool& colour,
                        long maxPels, bool deep) {
  PngErrorText error;
  PngReadHandles handles(error);
  if (!handles.info()) throw ImageError(name + ": out of memory");
  PngSource source{bytes.data(), bytes.size(), 0};
  png_set_read_fn(handles.png(), &source, readFromMemory);
  const PngHeader header = openPng(handles, error, bytes.size(), name, maxPels, deep);
  if (header.bitDepth == 16)
    return decodePels<std::uint16_t>(bytes, handles, header, error, name, colour);
  return decodePels<unsigned char>(bytes, handles, header, error, name, colour);
}

template <typename Sample>
std::vector<unsigned char> encodePng(const BasicColorImage<Sample>& image,
                                     const std::string& name) {
  PngErrorText error;
  PngWriteHandles handles(error);
  std::vector<unsigned char> bytes;
  PngSink sink{&bytes};
  const ImageLayout layout{Format::kPng,   image.width, image.height,
                           image.channels, image.bits,  image.kSampleBits == 16};
  bool written = false;
  if (handles.info()) {
    png_set_write_fn(handles.png(), &sink, writeToMemory, flushNothing);
    written = startPng(handles.png(), handles.info(), &layout) &&
              writePngRows(handles.png(), reinterpret_cast<const unsigned char*>(image.pels.data()),
                           rowBytesOf(layout), image.height) &&
              endPng(handles.png());
  }
  if (!written) throw ImageError(name + ": cannot encode PNG: " + error.text);
  return bytes;
}

OpenedRows openPngRows(InputFile input, const std::string& name) {
  OpenedRows opened;
  opened.source = std::make_unique<PngRows>(std::move(input), name, opened.layout);
  return opened;
}

std::unique_ptr<RowSink> pngRowSink(const std::string& filePath, const ImageLayout& layout,
                                    const std::string& name) {
  return std::make_unique<PngRowSink>(filePath, layout, name);
}

template std::vector<unsigned char> encodePng(const ColorImage&, const std::string&);
template std::vector<unsigned char> encodePng(const ColorImage16&, const std::string&);

}  // namespace imgio::detail
