#include "fuzz/image_fuzz_target.h"

#include <span>
#include <variant>

#include "imgio/image_io.h"

namespace {

// Small enough that a declared size never costs the fuzzer much memory,
// large enough for every seed.
constexpr long kFuzzMaxPels = 1L << 20;

// Every sample of a decoded image lies within its significant bits.
template <typename Sample>
void checkSamples(const imgio::BasicColorImage<Sample>& image) {
  if (imgio::sampleAboveBits(image)) __builtin_trap();
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
}
