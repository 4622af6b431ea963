#include "fuzz/archive_fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzArchiveInput(data, size);
  return 0;
}
