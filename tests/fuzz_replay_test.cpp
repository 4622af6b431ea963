// Replays the fuzzing corpus and the inputs of past crashes: every one must
// load or be refused with a clean exception.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "fuzz/archive_fuzz_target.h"

TEST(FuzzReplay, CorpusAndRegressionInputsLoadOrAreRefusedCleanly) {
  std::size_t replayed = 0;
  for (const char* sub : {"corpus", "regressions"}) {
    const std::filesystem::path dir = std::filesystem::path(IMGNORM_FUZZ_DIR) / sub;
    if (!std::filesystem::exists(dir)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      std::ifstream in(entry.path(), std::ios::binary);
      const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                             std::istreambuf_iterator<char>());
      SCOPED_TRACE(entry.path().string());
      EXPECT_NO_THROW(fuzzArchiveInput(bytes.data(), bytes.size()));
      ++replayed;
    }
  }
  EXPECT_GT(replayed, 0u);
}
