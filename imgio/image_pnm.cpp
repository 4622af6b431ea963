// Netpbm gray and colour maps: P5 and P6 (binary), P2 and P3 (text).
#include <bit>
#include <string>

#include "imgio/detail/image_codecs.h"

namespace imgio::detail {

namespace {

// Walks the header and the text pels of a netpbm file.
class PnmScanner {
 public:
  PnmScanner(std::span<const unsigned char> bytes, const std::string& name)
      : bytes_(bytes), name_(name) {}

  // The next decimal number after whitespace and comments, at most limit.
  long number(const char* what, long limit) {
    skipSpaceAndComments();
    if (pos_ >= bytes_.size()) fail(std::string("the file ends before the ") + what);
    if (!isDigit(bytes_[pos_]))
      fail(std::string("expected the ") + what + ", found '" + shown() + "'");
    long value = 0;
    while (pos_ < bytes_.size() && isDigit(bytes_[pos_])) {
      value = value * 10 + (bytes_[pos_++] - '0');
      if (value > limit) fail(std::string("the ") + what + " is too large");
    }
    return value;
  }

  // Binary pels start after exactly one whitespace byte.
  void skipOneSpace() {
    if (pos_ >= bytes_.size() || !isSpace(bytes_[pos_]))
      fail("expected one whitespace byte before the pels");
    ++pos_;
  }

  std::size_t pos() const { return pos_; }
  void advance(std::size_t n) { pos_ += n; }
  std::size_t remaining() const { return bytes_.size() - pos_; }

  [[noreturn]] void fail(const std::string& why) const {
    throw ImageError(name_ + ": truncated or corrupt PGM file: " + why);
  }

 private:
  static bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }
  static bool isSpace(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
  }

  void skipSpaceAndComments() {
    while (pos_ < bytes_.size()) {
      if (isSpace(bytes_[pos_])) {
        ++pos_;
      } else if (bytes_[pos_] == '#') {
        while (pos_ < bytes_.size() && bytes_[pos_] != '\n') ++pos_;
      } else {
        return;
      }
    }
  }

  std::string shown() const {
    const unsigned char c = bytes_[pos_];
    return c >= 0x20 && c < 0x7f ? std::string(1, static_cast<char>(c)) : "\\x" + hex(c);
  }
  static std::string hex(unsigned char c) {
    static constexpr char kDigits[] = "0123456789abcdef";
    return {kDigits[c >> 4], kDigits[c & 15]};
  }

  std::span<const unsigned char> bytes_;
  const std::string& name_;
  std::size_t pos_ = 2;  // after the magic number
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
void checkRoomForSamples(PnmScanner& scanner, std::size_t count, std::size_t sampleBytes,
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
void readBinarySamples(PnmScanner& scanner, std::span<const unsigned char> bytes,
                       std::vector<Sample>& samples, long maxValue) {
  const unsigned char* at = bytes.data() + scanner.pos();
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const long value = sizeof(Sample) == 2 ? at[2 * i] << 8 | at[2 * i + 1] : at[i];
    if (value > maxValue)
      scanner.fail("a pel exceeds the maximum value " + std::to_string(maxValue));
    samples[i] = scaleSample<Sample>(value, maxValue);
  }
  scanner.advance(samples.size() * sizeof(Sample));
}

template <typename Sample>
void readTextSamples(PnmScanner& scanner, std::vector<Sample>& samples, long maxValue) {
  for (auto& sample : samples) {
    const long value = scanner.number("next pel", 65535);
    if (value > maxValue)
      scanner.fail("a pel exceeds the maximum value " + std::to_string(maxValue));
    sample = scaleSample<Sample>(value, maxValue);
  }
}

template <typename Sample>
BasicColorImage<Sample> readSamples(PnmScanner& scanner, std::span<const unsigned char> bytes,
                                    long width, long height, int channels, bool text, long maxValue,
                                    bool& colour) {
  const auto count = static_cast<std::size_t>(width * height) * static_cast<std::size_t>(channels);
  if (!text) scanner.skipOneSpace();
  checkRoomForSamples(scanner, count, sizeof(Sample), text);
  std::vector<Sample> samples(count);
  if (text)
    readTextSamples(scanner, samples, maxValue);
  else
    readBinarySamples(scanner, bytes, samples, maxValue);
  const int bits = sizeof(Sample) == 2
                       ? static_cast<int>(std::bit_width(static_cast<unsigned long>(maxValue)))
                       : 8;
  return fromInterleaved(width, height, std::move(samples), channels, colour, bits);
}

}  // namespace

AnyDepthImage decodePnm(std::span<const unsigned char> bytes, const std::string& name, bool& colour,
                        long maxPels, bool deep) {
  const char kind = static_cast<char>(bytes[1]);
  const int channels = kind == '3' || kind == '6' ? 3 : 1;
  const bool text = kind == '2' || kind == '3';
  PnmScanner scanner(bytes, name);
  // Sizes are read up to any plausible value for checkImageSize to judge.
  const long width = scanner.number("width", 999999999);
  const long height = scanner.number("height", 999999999);
  const long maxValue = scanner.number("maximum value", 65535);
  if (maxValue == 0) scanner.fail("the maximum value is 0");
  const bool wide = maxValue > 255;  // two bytes a binary sample
  if (wide && !deep)
    refuseDeepSamples(name, static_cast<int>(std::bit_width(static_cast<unsigned long>(maxValue))));
  checkImageSize(width, height, name, maxPels);
  if (wide)
    return readSamples<std::uint16_t>(scanner, bytes, width, height, channels, text, maxValue,
                                      colour);
  return readSamples<unsigned char>(scanner, bytes, width, height, channels, text, maxValue,
                                    colour);
}

std::string pgmHeader(long width, long height, unsigned maxValue) {
  return "P5\n" + std::to_string(width) + " " + std::to_string(height) + "\n" +
         std::to_string(maxValue) + "\n";
}

}  // namespace imgio::detail
