// Netpbm gray and colour maps: P5 and P6 (binary), P2 and P3 (text),
// decoded from memory or row by row from a file.
#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>

#include "imgio/detail/image_codecs.h"
#include "imgio/detail/row_codecs.h"

namespace imgio::detail {

namespace {

// Walks the header and the pels of a netpbm file: the whole file in
// memory, or a file read a chunk at a time into a buffer that holds at
// least what one call asks for.
class PnmScanner {
 public:
  PnmScanner(std::span<const unsigned char> bytes, const std::string& name)
      : bytes_(bytes), name_(name), fileBytes_(bytes.size()) {}
  PnmScanner(FileHandle file, unsigned long long fileBytes, const std::string& name)
      : name_(name), file_(std::move(file)), fileBytes_(fileBytes) {
    pos_ = 0;
    ensure(2);
    pos_ = 2;
  }

  // The next decimal number after whitespace and comments, at most limit.
  long number(const char* what, long limit) {
    skipSpaceAndComments();
    if (!ensure(1)) fail(std::string("the file ends before the ") + what);
    if (!isDigit(bytes_[pos_]))
      fail(std::string("expected the ") + what + ", found '" + shown() + "'");
    long value = 0;
    while (ensure(1) && isDigit(bytes_[pos_])) {
      value = value * 10 + (bytes_[pos_++] - '0');
      if (value > limit) fail(std::string("the ") + what + " is too large");
    }
    return value;
  }

  // Binary pels start after exactly one whitespace byte.
  void skipOneSpace() {
    if (!ensure(1) || !isSpace(bytes_[pos_])) fail("expected one whitespace byte before the pels");
    ++pos_;
  }

  // The next n bytes, which the caller has checked the file holds.
  const unsigned char* take(std::size_t n) {
    if (!ensure(n)) fail("expected " + std::to_string(n) + " more bytes of pels");
    const unsigned char* at = bytes_.data() + pos_;
    pos_ += n;
    return at;
  }
  unsigned long long remaining() const { return fileBytes_ - (start_ + pos_); }

  [[noreturn]] void fail(const std::string& why) const {
    throw ImageError(name_ + ": truncated or corrupt PGM file: " + why);
  }

 private:
  static bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }
  static bool isSpace(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
  }

  void skipSpaceAndComments() {
    while (ensure(1)) {
      if (isSpace(bytes_[pos_])) {
        ++pos_;
      } else if (bytes_[pos_] == '#') {
        while (ensure(1) && bytes_[pos_] != '\n') ++pos_;
      } else {
        return;
      }
    }
  }

  // Whether n bytes from pos_ on are in bytes_, reading more of a file
  // when they are not and keeping what is not consumed yet.
  bool ensure(std::size_t n) {
    if (bytes_.size() - pos_ >= n) return true;
    if (!file_) return false;
    constexpr std::size_t kChunk = 65536;  // a few system calls a megabyte of text
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(pos_));
    start_ += pos_;
    pos_ = 0;
    std::size_t held = buffer_.size();
    buffer_.resize(std::max(n, held + kChunk));
    held += std::fread(buffer_.data() + held, 1, buffer_.size() - held, file_.get());
    if (std::ferror(file_.get()))
      throw ImageError(
          name_ + ": cannot read: " + std::error_code(errno, std::generic_category()).message());
    buffer_.resize(held);
    bytes_ = buffer_;
    return held >= n;
  }

  std::string shown() const {
    const unsigned char c = bytes_[pos_];
    return c >= 0x20 && c < 0x7f ? std::string(1, static_cast<char>(c)) : "\\x" + hex(c);
  }
  static std::string hex(unsigned char c) {
    static constexpr char kDigits[] = "0123456789abcdef";
    return {kDigits[c >> 4], kDigits[c & 15]};
  }

  std::span<const unsigned char> bytes_;  // the file, or the buffered part of it
  std::string name_;
  FileHandle file_;  // the file read from, if not in memory
  std::vector<unsigned char> buffer_;
  unsigned long long fileBytes_ = 0;
  unsigned long long start_ = 0;  // the file's offset of bytes_[0]
  std::size_t pos_ = 2;           // after the magic number
};

// Scales 8-bit samples of 0..maxValue to 0..255 (exact when maxValue is
// 255); 16-bit ones are kept as they are, low-aligned already.
template <typename Sample>
Sample scaleSample(long value, long maxValue) {
  if constexpr (sizeof(Sample) == 2) return static_cast<Sample>(value);
  return static_cast<Sample>((value * 255 + maxValue / 2) / maxValue);
}

// Refuses, before anything is allocated for them, more samples than the
// rest of the file can hold: sampleBytes each, or a digit and a separator
// each as text.
void checkRoomForSamples(PnmScanner& scanner, unsigned long long count, std::size_t sampleBytes,
                         bool text) {
  if (!text && scanner.remaining() / sampleBytes < count)
    scanner.fail("expected " + std::to_string(count * sampleBytes) + " bytes of pels, found " +
                 std::to_string(scanner.remaining()));
  if (text && scanner.remaining() < 2 * count - 1)
    scanner.fail("expected " + std::to_string(count) + " pels as text, found only " +
                 std::to_string(scanner.remaining()) + " bytes");
}

// Binary samples of maxValue above 255 take two bytes, most significant
// first.
template <typename Sample>
void readBinarySamples(PnmScanner& scanner, std::span<Sample> samples, long maxValue) {
  const unsigned char* at = scanner.take(samples.size() * sizeof(Sample));
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const long value = sizeof(Sample) == 2 ? at[2 * i] << 8 | at[2 * i + 1] : at[i];
    if (value > maxValue)
      scanner.fail("a pel exceeds the maximum value " + std::to_string(maxValue));
    samples[i] = scaleSample<Sample>(value, maxValue);
  }
}

template <typename Sample>
void readTextSamples(PnmScanner& scanner, std::span<Sample> samples, long maxValue) {
  for (auto& sample : samples) {
    const long value = scanner.number("next pel", 65535);
    if (value > maxValue)
      scanner.fail("a pel exceeds the maximum value " + std::to_string(maxValue));
    sample = scaleSample<Sample>(value, maxValue);
  }
}

// What a netpbm header says.
struct PnmHeader {
  long width = 0;
  long height = 0;
  int channels = 1;
  bool text = false;
  long maxValue = 255;

  bool wide() const { return maxValue > 255; }  // two bytes a binary sample
  // 16-bit samples keep the maximum value's bits; 8-bit ones are scaled to 8.
  int bits() const {
    return wide() ? static_cast<int>(std::bit_width(static_cast<unsigned long>(maxValue))) : 8;
  }
  std::size_t rowSamples() const { return static_cast<std::size_t>(width) * channels; }
};

// Reads the header up to the pels, which the rest of the file must have
// room for; kind is the magic number's digit.
PnmHeader readHeader(PnmScanner& scanner, char kind, const std::string& name, long maxPels,
                     bool deep) {
  PnmHeader header;
  header.channels = kind == '3' || kind == '6' ? 3 : 1;
  header.text = kind == '2' || kind == '3';
  // Sizes are read up to any plausible value for checkImageSize to judge.
  header.width = scanner.number("width", 999999999);
  header.height = scanner.number("height", 999999999);
  header.maxValue = scanner.number("maximum value", 65535);
  if (header.maxValue == 0) scanner.fail("the maximum value is 0");
  if (header.wide() && !deep) refuseDeepSamples(name, header.bits());
  checkImageSize(header.width, header.height, name, maxPels);
  if (!header.text) scanner.skipOneSpace();
  checkRoomForSamples(scanner, static_cast<unsigned long long>(header.height) * header.rowSamples(),
                      header.wide() ? 2 : 1, header.text);
  return header;
}

template <typename Sample>
void readPels(PnmScanner& scanner, const PnmHeader& header, std::span<Sample> samples) {
  if (header.text)
    readTextSamples(scanner, samples, header.maxValue);
  else
    readBinarySamples(scanner, samples, header.maxValue);
}

template <typename Sample>
BasicColorImage<Sample> decodeSamples(PnmScanner& scanner, const PnmHeader& header, bool& colour) {
  std::vector<Sample> samples(static_cast<std::size_t>(header.height) * header.rowSamples());
  readPels(scanner, header, std::span(samples));
  return fromInterleaved(header.width, header.height, std::move(samples), header.channels, colour,
                         header.bits());
}

// Rows straight from the file into the caller's samples.
class PnmRows : public RowSource {
 public:
  PnmRows(InputFile input, const std::string& name, ImageLayout& layout)
      : scanner_(std::move(input.file), input.size, name),
        header_(readHeader(scanner_, input.head[1], name, kMaxSide * kMaxSide, true)) {
    layout = {Format::kPnm,     header_.width,  header_.height,
              header_.channels, header_.bits(), header_.wide()};
  }

  void read(void* samples, long rows) override {
    const std::size_t count = static_cast<std::size_t>(rows) * header_.rowSamples();
    if (header_.wide())
      readPels(scanner_, header_, std::span(static_cast<std::uint16_t*>(samples), count));
    else
      readPels(scanner_, header_, std::span(static_cast<unsigned char*>(samples), count));
  }

 private:
  PnmScanner scanner_;
  PnmHeader header_;
};

// The PGM header for samples of 0 .. maxValue; the pels follow it row after
// row.
std::string pgmHeader(long width, long height, unsigned maxValue) {
  return "P5\n" + std::to_string(width) + " " + std::to_string(height) + "\n" +
         std::to_string(maxValue) + "\n";
}

// 16-bit samples as bytes, most significant first.
void toBigEndian(const std::uint16_t* samples, std::size_t count, unsigned char* bytes) {
  for (std::size_t i = 0; i < count; ++i) {
    bytes[2 * i] = static_cast<unsigned char>(samples[i] >> 8);
    bytes[2 * i + 1] = static_cast<unsigned char>(samples[i]);
  }
}

// PGM rows, 16-bit samples most significant byte first.
class PgmSink : public RowSink {
 public:
  PgmSink(const std::string& filePath, const ImageLayout& layout, const std::string& name)
      : file_(std::fopen(filePath.c_str(), "wb")), layout_(layout), name_(name) {
    if (!file_) fail();
    const unsigned maxValue = layout.deep ? (1U << layout.bits) - 1 : 255;
    put(pgmHeader(layout.width, layout.height, maxValue));
  }

  void write(const void* samples, long rows) override {
    const std::size_t count = static_cast<std::size_t>(rows * layout_.width);
    if (!layout_.deep) return put({static_cast<const char*>(samples), count});
    bytes_.resize(2 * count);
    toBigEndian(static_cast<const std::uint16_t*>(samples), count,
                reinterpret_cast<unsigned char*>(bytes_.data()));
    put(bytes_);
  }

  void finish() override {
    if (std::fclose(file_.release()) != 0) fail();
  }

 private:
  void put(std::string_view bytes) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_.get()) != bytes.size()) fail();
  }
  [[noreturn]] void fail() const {
    throw ImageError(
        name_ + ": cannot write: " + std::error_code(errno, std::generic_category()).message());
  }

  FileHandle file_;
  ImageLayout layout_;
  std::string name_;
  std::string bytes_;  // a band's 16-bit samples as bytes
};

}  // namespace

AnyDepthImage decodePnm(std::span<const unsigned char> bytes, const std::string& name, bool& colour,
                        long maxPels, bool deep) {
  PnmScanner scanner(bytes, name);
  const PnmHeader header = readHeader(scanner, static_cast<char>(bytes[1]), name, maxPels, deep);
  if (header.wide()) return decodeSamples<std::uint16_t>(scanner, header, colour);
  return decodeSamples<unsigned char>(scanner, header, colour);
}

OpenedRows openPnmRows(InputFile input, const std::string& name) {
  OpenedRows opened;
  opened.source = std::make_unique<PnmRows>(std::move(input), name, opened.layout);
  return opened;
}

std::unique_ptr<RowSink> pnmRowSink(const std::string& filePath, const ImageLayout& layout,
                                    const std::string& name) {
  return std::make_unique<PgmSink>(filePath, layout, name);
}

}  // namespace imgio::detail
