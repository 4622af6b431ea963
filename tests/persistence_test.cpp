#include "imgnorm/persistence.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>

#include "imaging/pel_copy.h"
#include "imaging/pel_equal.h"
#include "host/str.h"
#include "test_support.h"

using namespace kcImageNormalizerDefs;
using testing_support::makeImage;
using testing_support::messageOf;
using testing_support::randomImage;

namespace {

using Image = kcPelBuffer<unsigned char>;

kcImageNormalizer configuredTool(Method methods) {
  kcImageNormalizer tool;
  tool.referenceImage(randomImage(kcPelRect(2, 3, 48, 40), 20, 230), true);
  tool.maskImage(
      makeImage(kcPelRect(0, 0, 50, 45), [](long x, long y) { return (x + y) % 7 ? 1 : 0; }), true);
  tool.neighborhoodSize(kcPair<long>(9, 7));
  tool.granularity(kcPair<long>(2, 2));
  tool.set(kcPair<double>(0.05, 0.95), kcPair<long>(-40, 60), true);
  tool.train(methods);
  return tool;
}

std::vector<unsigned char> store(const kcImageNormalizer& tool) {
  kcArchive ar;
  kcImageNormalizer copy = tool;
  ar || copy;
  return ar.bytes();
}

kcImageNormalizer load(std::vector<unsigned char> bytes) {
  kcArchive ar(std::move(bytes));
  kcImageNormalizer tool;
  ar || tool;
  return tool;
}

// Byte offsets of the stored fields: version 1, methods 8, then pair blocks
// of 17 bytes each.
constexpr std::size_t kMethodsAt = 1, kTailsAt = 9, kNeighborhoodAt = 26, kGranularityAt = 43,
                      kRangeAt = 60, kKeepAt = 77;

void putLong(std::vector<unsigned char>& b, std::size_t at, long v) {
  for (int i = 0; i < 8; ++i)
    b[at + i] = static_cast<unsigned char>(static_cast<unsigned long>(v) >> (8 * i));
}

void putDouble(std::vector<unsigned char>& b, std::size_t at, double v) {
  unsigned long u;
  std::memcpy(&u, &v, 8);
  putLong(b, at, static_cast<long>(u));
}

bool isDefault(const kcImageNormalizer& t) {
  return t == kcImageNormalizer() && !t.binaryMask().isBound();
}


}  // namespace

TEST(Persistence, RoundTripGivesAnEqualToolWithTheSameResults) {
  const Method all = eMatchHistogram | eMatchMeanAndStddev | eMatchHistogramTails |
                     eLinearlyFitGrayValues | eLocalCorrection | eLocalCorrectionEnhanced;
  const kcImageNormalizer tool = configuredTool(all);
  const kcImageNormalizer loaded = load(store(tool));
  EXPECT_TRUE(loaded == tool);
  EXPECT_EQ(loaded.trainedMethods(), all);
  const Image run = randomImage(kcPelRect(0, 0, 52, 44), 0, 200);
  for (std::uint32_t bit = 1; bit < 64; bit <<= 1) {
    bool s1 = false, s2 = false;
    std::wstring m1, m2;
    const Image a = tool.run(run, static_cast<Method>(bit), s1, m1);
    const Image b = loaded.run(run, static_cast<Method>(bit), s2, m2);
    EXPECT_EQ(s1, s2);
    ASSERT_TRUE(a.isBound() && b.isBound()) << bit;
    EXPECT_EQ(a.window(), b.window());
    EXPECT_TRUE(kfPelEqual(a, b)) << "method " << bit;
  }
}

TEST(Persistence, LoadingReplacesEverythingAndKeepsUntrainedToolsUntrained) {
  kcImageNormalizer untrained;
  untrained.referenceImage(randomImage(kcPelRect(0, 0, 8, 8)), true);
  kcImageNormalizer target = configuredTool(eMatchHistogram);
  kcArchive ar(store(untrained));
  ar || target;
  EXPECT_TRUE(target == untrained);
  EXPECT_EQ(target.trainedMethods(), eIdentity);
  EXPECT_FALSE(target.maskImage().isBound());
  EXPECT_EQ(target.neighborhoodSize(), kcPair<long>(101, 101));
}

TEST(Persistence, VersionBytesAreChecked) {
  const kcImageNormalizer tool = configuredTool(eMatchHistogram);
  std::vector<unsigned char> bytes = store(tool);
  bytes[0] = 1;
  kcImageNormalizer target = configuredTool(eLocalCorrection);
  const kcImageNormalizer before = target;
  {
    kcArchive ar(bytes);
    try {
      ar || target;
      FAIL();
    } catch (const kcArchive::UnknownVersion& e) {
      EXPECT_EQ(e.name(), "imgnorm");
      EXPECT_GT(e.line(), 0);
    }
  }
  EXPECT_TRUE(target == before);
  EXPECT_EQ(target.trainedMethods(), eLocalCorrection);

  bytes = store(tool);
  bytes[kNeighborhoodAt] = 1;
  kcArchive ar(bytes);
  try {
    ar || target;
    FAIL();
  } catch (const kcArchive::UnknownVersion& e) {
    EXPECT_EQ(e.name(), "");
    EXPECT_EQ(e.line(), 0);
  }
  EXPECT_EQ(target.tailFractions().x(), 0.05);  // read before the bad pair
  EXPECT_EQ(target.granularity(), kcPair<long>(1, 1));
  EXPECT_FALSE(target.referenceImage().isBound());
  // Trained for nothing: a run refuses cleanly instead of meeting missing data.
  EXPECT_EQ(target.trainedMethods(), eIdentity);
}

TEST(Persistence, ValuesTheSettersRefuseAreRefusedAndLeaveTheToolReset) {
  const std::vector<unsigned char> good = store(configuredTool(eMatchHistogram));
  const auto refusal = [&](auto&& damage) {
    std::vector<unsigned char> bytes = good;
    damage(bytes);
    kcImageNormalizer target = configuredTool(eLocalCorrection);
    const std::wstring message = messageOf<BadParams>([&] {
      kcArchive ar(bytes);
      ar || target;
    });
    EXPECT_TRUE(isDefault(target));
    return message;
  };
  EXPECT_EQ(refusal([](auto& b) { putLong(b, kNeighborhoodAt + 1, 0); }),
            L"Both elements of neighborhoodSize must be >= 1");
  EXPECT_EQ(refusal([](auto& b) { putLong(b, kGranularityAt + 9, -3); }),
            L"Both elements of granularity must be >= 1");
  EXPECT_EQ(refusal([](auto& b) { putDouble(b, kTailsAt + 9, 1.5); }),
            L"Tail fraction must be: 0.0 <= frac.x() <= frac.y() <= 1.0");
  EXPECT_EQ(refusal([](auto& b) { putDouble(b, kTailsAt + 1, 0.99); }),
            L"Tail fraction must be: 0.0 <= frac.x() <= frac.y() <= 1.0");
  EXPECT_EQ(refusal([](auto& b) { putLong(b, kRangeAt + 1, 5); }),
            L"intensityVariationRange must be: x <= 0 and y >= 0");
  EXPECT_EQ(refusal([](auto& b) { putLong(b, kNeighborhoodAt + 9, 131068); }),
            L"Both elements of neighborhoodSize must be <= 131067");
}

// Unknown method bits load the configuration and let training refuse them;
// the tool then runs nothing but the identity.
TEST(Persistence, UnknownMethodsLoadTheConfigurationUntrained) {
  std::vector<unsigned char> bytes = store(configuredTool(eMatchHistogram));
  putLong(bytes, kMethodsAt, 64 | eMatchHistogram);
  kcImageNormalizer target;
  const std::wstring message = messageOf<CanNotTrain>([&] {
    kcArchive ar(bytes);
    ar || target;
  });
  EXPECT_EQ(message, L"<methods> contains an unknown normalization method.");
  EXPECT_EQ(target.trainedMethods(), eIdentity);
  EXPECT_EQ(target.neighborhoodSize(), configuredTool(eMatchHistogram).neighborhoodSize());
  bool success = false;
  std::wstring text;
  EXPECT_THROW(target.run(target.referenceImage(), eMatchHistogram, success, text), NotTrained);
}

TEST(Persistence, TruncatedAndCorruptArchivesAreRefusedCleanly) {
  const std::vector<unsigned char> good = store(configuredTool(eMatchHistogram | eLocalCorrection));
  for (std::size_t n = 1; n < good.size(); n += (n < 200 ? 1 : 97)) {
    kcImageNormalizer target = configuredTool(eLocalCorrection);
    kcArchive ar(std::vector<unsigned char>(good.begin(), good.begin() + n));
    EXPECT_THROW(ar || target, kcArchive::Error) << n;
    EXPECT_TRUE(isDefault(target)) << n;
  }
  std::vector<unsigned char> bad = good;
  bad[kKeepAt] = 7;
  kcArchive ar(bad);
  kcImageNormalizer target;
  EXPECT_THROW(ar || target, kcArchive::Error);
}

TEST(Persistence, NanTailFractionLoadsAndEqualsOnlyItself) {
  kcImageNormalizer tool;
  tool.tailFractions(kcPair<double>(std::numeric_limits<double>::quiet_NaN(), 1.0));
  EXPECT_TRUE(tool == tool);
  const kcImageNormalizer copy = tool;
  EXPECT_FALSE(copy == tool);
  const kcImageNormalizer loaded = load(store(tool));
  EXPECT_TRUE(std::isnan(loaded.tailFractions().x()));
}

TEST(Equality, ComparesConfigurationAndImagesButNotTrainedData) {
  const kcImageNormalizer a = configuredTool(eMatchHistogram);
  kcImageNormalizer b = a;
  EXPECT_TRUE(a == b);
  b.train(eMatchHistogram);  // trained data rebuilt
  EXPECT_TRUE(a == b);

  kcImageNormalizer c = a;
  c.set(kcPair<double>(0.05, 0.95), kcPair<long>(-40, 61), true);
  EXPECT_FALSE(a == c);
  c = a;
  c.set(kcPair<double>(0.05, 0.95), kcPair<long>(-40, 60), false);
  EXPECT_FALSE(a == c);

  Image reference = kfPelCopy(a.referenceImage());
  kcImageNormalizer d = a;
  d.referenceImage(reference, false);
  d.train(eMatchHistogram);
  EXPECT_TRUE(a == d);
  reference.set(10, 10, static_cast<unsigned char>(reference.get(10, 10) ^ 1));
  EXPECT_FALSE(a == d);
}

TEST(ToolFiles, SaveAndLoadNameTheFileOnErrors) {
  const auto dir = std::filesystem::temp_directory_path() / "imgnorm_persistence_test";
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "tool.kcin").string();
  const kcImageNormalizer tool = configuredTool(eMatchHistogram | eLocalCorrectionEnhanced);
  kfSaveImageNormalizer(tool, path);
  EXPECT_TRUE(kfLoadImageNormalizer(path) == tool);

  std::ofstream(dir / "junk.kcin") << "not a tool";
  const std::wstring m =
      messageOf<kcArchive::Error>([&] { kfLoadImageNormalizer((dir / "junk.kcin").string()); });
  EXPECT_NE(m.find(L"junk.kcin"), std::wstring::npos) << kfToUtf8(m);
  EXPECT_NE(messageOf<kcArchive::Error>([&] {
              kfLoadImageNormalizer((dir / "missing").string());
            }).find(L"missing"),
            std::wstring::npos);
  std::filesystem::remove_all(dir);
}
