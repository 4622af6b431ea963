#include "fuzz/image_fuzz_target.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "imgio/image_io.h"
#include "imgio/image_rows.h"

namespace {

// Small enough that a declared size never costs the fuzzer much memory,
// large enough for every seed.
constexpr long kFuzzMaxPels = 1L << 20;

// Every sample of a decoded image lies within its significant bits.
template <typename Sample>
void checkSamples(const imgio::BasicColorImage<Sample>& image) {
  if (imgio::sampleAboveBits(image)) __builtin_trap();
}

// Closes a descriptor on every path out of a scope.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

// Reads every row of the file in bands of 3 and checks their samples
// against the layout's bits; the pel limit is the caller's, as here.
template <typename Sample>
void readAllRows(imgio::RowReader& reader) {
  const imgio::ImageLayout& layout = reader.layout();
  constexpr long kBand = 3;  // odd, so that bands straddle strips and tiles
  std::vector<Sample> band(static_cast<std::size_t>(kBand * layout.width * layout.channels));
  while (reader.rowsRead() < layout.height) {
    const long rows = std::min(kBand, layout.height - reader.rowsRead());
    reader.read(rows, band.data());
    if (std::any_of(band.begin(), band.end(),
                    [&](Sample s) { return layout.bits < 16 && s >> layout.bits != 0; }))
      __builtin_trap();
  }
}

// The bytes as a file of their own (in memory), read by a RowReader.
void fuzzRowReader(std::span<const unsigned char> bytes) {
  const Descriptor file{::memfd_create("input", 0)};
  if (file.fd < 0 || ::write(file.fd, bytes.data(), bytes.size()) != ssize_t(bytes.size())) return;
  const auto reader = imgio::RowReader::open("/proc/self/fd/" + std::to_string(file.fd));
  if (reader->layout().width * reader->layout().height > kFuzzMaxPels) return;
  if (reader->layout().deep)
    readAllRows<std::uint16_t>(*reader);
  else
    readAllRows<unsigned char>(*reader);
}

}  // namespace

void fuzzImageInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const unsigned char> bytes(data, size);
  try {
    std::visit([](const auto& image) { checkSamples(image); },
               imgio::decodeAnyDepthImage(bytes, "input", nullptr, kFuzzMaxPels));
  } catch (const imgio::ImageError&) {
  }
  try {
    checkSamples(imgio::decodeColorImage(bytes, "input", nullptr, kFuzzMaxPels));
  } catch (const imgio::ImageError&) {
  }
  try {
    fuzzRowReader(bytes);
  } catch (const imgio::ImageError&) {
  }
}
