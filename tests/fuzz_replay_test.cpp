// Replays the fuzzing corpus and the inputs of past crashes: every one must
// load or be refused with a clean exception.
#include <gtest/gtest.h>

#include "fuzz/archive_fuzz_target.h"
#include "fuzz/replay_inputs.h"

TEST(FuzzReplay, CorpusAndRegressionInputsLoadOrAreRefusedCleanly) {
  const std::filesystem::path fuzz(IMGNORM_FUZZ_DIR);
  const std::size_t replayed = replayInputs(
      {fuzz / "corpus", fuzz / "regressions"},
      [](const std::string& name, const std::vector<unsigned char>& bytes) {
        SCOPED_TRACE(name);
        EXPECT_NO_THROW(fuzzArchiveInput(bytes.data(), bytes.size()));
      });
  EXPECT_GT(replayed, 0u);
}
