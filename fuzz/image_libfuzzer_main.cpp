#include "fuzz/image_fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzImageInput(data, size);
  return 0;
}
