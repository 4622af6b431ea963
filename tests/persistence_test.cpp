#include "imgnorm/persistence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>

#include "host/str.h"
#include "imaging/pel_copy.h"
#include "imaging/pel_equal.h"
#include "test_support.h"

using namespace kcImageNormalizerDefs;
using namespace testing_support;

namespace {

const Method kAll = eMatchHistogram | eMatchMeanAndStddev | eMatchHistogramTails |
                    eLinearlyFitGrayValues | eLocalCorrection | eLocalCorrectionEnhanced;

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

Bytes store(kcImageNormalizer tool) {
  kcArchive ar;
  ar || tool;
  return ar.bytes();
}

void load(const Bytes& bytes, kcImageNormalizer& tool) {
  kcArchive ar(bytes);
  ar || tool;
}

// Byte offsets of the stored fields: version 1, methods 8, then pair blocks of 17 bytes each.
constexpr std::size_t kMethodsAt = 1, kTailsAt = 9, kNeighborhoodAt = 26, kGranularityAt = 43,
                      kRangeAt = 60, kKeepAt = 77;

}  // namespace

TEST(Persistence, RoundTripGivesAnEqualToolWithTheSameResults) {
  const kcImageNormalizer tool = configuredTool(kAll);
  kcImageNormalizer loaded;
  load(store(tool), loaded);
  EXPECT_TRUE(loaded == tool);
  EXPECT_EQ(loaded.trainedMethods(), kAll);
  const Image run = randomImage(kcPelRect(0, 0, 52, 44), 0, 200);
  for (std::uint32_t bit = 1; bit < 64; bit <<= 1) {
    const RunOutcome a = runTool(tool, run, static_cast<Method>(bit)),
                     b = runTool(loaded, run, static_cast<Method>(bit));
    EXPECT_EQ(a.success, b.success);
    ASSERT_TRUE(a.result.isBound() && b.result.isBound()) << bit;
    EXPECT_EQ(a.result.window(), b.result.window());
    EXPECT_TRUE(samePels(a.result, b.result)) << "method " << bit;
  }
  // Loading replaces everything; an untrained tool stays untrained.
  kcImageNormalizer untrained, target = configuredTool(eMatchHistogram);
  untrained.referenceImage(randomImage(kcPelRect(0, 0, 8, 8)), true);
  load(store(untrained), target);
  EXPECT_TRUE(target == untrained);
  EXPECT_EQ(target.trainedMethods(), eIdentity);
  EXPECT_FALSE(target.maskImage().isBound());
  // A NaN tail fraction loads, and a tool with one equals only itself.
  untrained.tailFractions(kcPair<double>(std::numeric_limits<double>::quiet_NaN(), 1.0));
  EXPECT_TRUE(untrained == untrained);
  EXPECT_FALSE(kcImageNormalizer(untrained) == untrained);
  load(store(untrained), target);
  EXPECT_TRUE(std::isnan(target.tailFractions().x()));
}

// Every damaged archive: the exception class, its message where it has one, and what is left.
TEST(Persistence, DamagedArchivesAreRefused) {
  const Bytes good = store(configuredTool(eMatchHistogram | eLocalCorrection));
  const std::wstring tails = L"Tail fraction must be: 0.0 <= frac.x() <= frac.y() <= 1.0";
  enum Left { kReset, kUnchanged, kUntrainedConfiguration };
  struct Case {
    std::function<void(Bytes&)> damage;
    std::wstring message;  // empty: an archive error
    Left left;
  };
  const Case cases[] = {
      {[](Bytes& b) { putU64(b, kNeighborhoodAt + 1, 0); },
       L"Both elements of neighborhoodSize must be >= 1", kReset},
      {[](Bytes& b) { putU64(b, kGranularityAt + 9, static_cast<std::uint64_t>(-3L)); },
       L"Both elements of granularity must be >= 1", kReset},
      {[](Bytes& b) { putDouble(b, kTailsAt + 9, 1.5); }, tails, kReset},
      {[](Bytes& b) { putDouble(b, kTailsAt + 1, 0.99); }, tails, kReset},
      {[](Bytes& b) { putU64(b, kRangeAt + 1, 5); },
       L"intensityVariationRange must be: x <= 0 and y >= 0", kReset},
      {[](Bytes& b) { putU64(b, kNeighborhoodAt + 9, 131068); },
       L"Both elements of neighborhoodSize must be <= 131067", kReset},
      {[](Bytes& b) { putU64(b, kMethodsAt, 64 | eMatchHistogram); },
       L"<methods> contains an unknown normalization method.", kUntrainedConfiguration},
      {[](Bytes& b) { b[kKeepAt] = 7; }, L"", kReset},
      {[](Bytes& b) { b[0] = 3; }, L"", kUnchanged},
  };
  for (const Case& c : cases) {
    Bytes bytes = good;
    c.damage(bytes);
    kcImageNormalizer target = configuredTool(eLocalCorrection);
    const kcImageNormalizer before = target;
    try {
      load(bytes, target);
      ADD_FAILURE() << kfToUtf8(c.message);
    } catch (const kcArchive::UnknownVersion& e) {
      EXPECT_EQ(c.left, kUnchanged);
      EXPECT_EQ(e.name(), "imgnorm");
      EXPECT_GT(e.line(), 0);
    } catch (const kcArchive::Error&) {
      EXPECT_TRUE(c.message.empty());
    } catch (const BadParams& e) {
      EXPECT_EQ(e.message(), c.message);
    } catch (const CanNotTrain& e) {
      EXPECT_EQ(e.message(), c.message);
    }
    if (c.left == kUnchanged) {
      EXPECT_TRUE(target == before);
      EXPECT_EQ(target.trainedMethods(), eLocalCorrection);
    } else {
      EXPECT_EQ(target.trainedMethods(), eIdentity);
      EXPECT_EQ(target.binaryMask().isBound(), false);
      EXPECT_EQ(target == kcImageNormalizer(), c.left == kReset) << kfToUtf8(c.message);
    }
    if (c.left == kUntrainedConfiguration) {
      EXPECT_EQ(target.neighborhoodSize(), kcPair<long>(9, 7));
      EXPECT_THROW(runTool(target, target.referenceImage(), eMatchHistogram), NotTrained);
    }
  }
  // A nested unknown version (of the pair) reads what came before it and trains nothing.
  Bytes bytes = good;
  bytes[kNeighborhoodAt] = 1;
  kcImageNormalizer target = configuredTool(eLocalCorrection);
  try {
    load(bytes, target);
    FAIL();
  } catch (const kcArchive::UnknownVersion& e) {
    EXPECT_EQ(e.name(), "");
    EXPECT_EQ(e.line(), 0);
  }
  EXPECT_EQ(target.tailFractions().x(), 0.05);
  EXPECT_EQ(target.granularity(), kcPair<long>(1, 1));
  EXPECT_FALSE(target.referenceImage().isBound());
  EXPECT_EQ(target.trainedMethods(), eIdentity);
  // Every truncation is an archive error and leaves the tool reset.
  for (std::size_t n = 1; n < good.size(); n += (n < 200 ? 1 : 97)) {
    target = configuredTool(eLocalCorrection);
    EXPECT_THROW(load(Bytes(good.begin(), good.begin() + n), target), kcArchive::Error) << n;
    EXPECT_TRUE(target == kcImageNormalizer() && !target.binaryMask().isBound()) << n;
  }
}

TEST(Equality, ComparesConfigurationAndImagesButNotTrainedData) {
  const kcImageNormalizer a = configuredTool(eMatchHistogram);
  kcImageNormalizer b = a;
  b.train(eMatchHistogram);  // trained data rebuilt
  EXPECT_TRUE(a == b);
  b.set(kcPair<double>(0.05, 0.95), kcPair<long>(-40, 61), true);
  EXPECT_FALSE(a == b);
  b = a;
  b.set(kcPair<double>(0.05, 0.95), kcPair<long>(-40, 60), false);
  EXPECT_FALSE(a == b);
  Image reference = kfPelCopy(a.referenceImage());
  b = a;
  b.referenceImage(reference, false);
  b.train(eMatchHistogram);
  EXPECT_TRUE(a == b);
  reference.set(10, 10, static_cast<unsigned char>(reference.get(10, 10) ^ 1));
  EXPECT_FALSE(a == b);
}

TEST(ToolFiles, SaveAndLoadNameTheFileOnErrors) {
  const auto dir = std::filesystem::temp_directory_path() / "imgnorm_persistence_test";
  std::filesystem::create_directories(dir);
  const kcImageNormalizer tool = configuredTool(eMatchHistogram | eLocalCorrectionEnhanced);
  kfSaveImageNormalizer(tool, (dir / "tool.kcin").string());
  EXPECT_TRUE(kfLoadImageNormalizer((dir / "tool.kcin").string()) == tool);
  EXPECT_THROW(kfSaveImageNormalizer(tool, (dir / "missing-dir" / "x").string()), kcArchive::Error);
  std::ofstream(dir / "junk.kcin") << "not a tool";
  for (const char* name : {"junk.kcin", "missing"}) {
    const std::wstring m =
        messageOf<kcArchive::Error>([&] { kfLoadImageNormalizer((dir / name).string()); });
    EXPECT_NE(m.find(kfFromUtf8(name)), std::wstring::npos) << kfToUtf8(m);
  }
  std::filesystem::remove_all(dir);
}

// Loading trains again: a mask or reference declared with no pels but 2^30
// rows must cost what its bytes cost, not a walk (or storage) per row, on
// every path that training takes. Granularity and local correction bring
// the reduced mask and the weights in.
TEST(ToolFiles, WindowsWithoutPelsLoadInProportionToTheirBytes) {
  kcImageNormalizer tool;
  tool.referenceImage(randomImage(kcPelRect(0, 0, 8, 8)), true);
  tool.maskImage(constant(kcPelRect(3, 5, 1, 1), 255), true);
  tool.granularity(kcPair<long>(2, 2));
  tool.train(eLinearlyFitGrayValues | eLocalCorrection | eLocalCorrectionEnhanced);
  Bytes bytes = kfImageNormalizerBytes(tool);
  // The mask's window (x, y, width, height), then its transform and its one pel.
  Bytes window;
  for (std::uint64_t v : {3, 5, 1, 1}) appendU64(window, v);
  const auto at = std::search(bytes.begin(), bytes.end(), window.begin(), window.end());
  ASSERT_NE(at, bytes.end());
  const std::size_t offset = static_cast<std::size_t>(at - bytes.begin());
  putU64(bytes, offset + 16, 0);
  putU64(bytes, offset + 24, 1UL << 30);
  bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(offset + 32 + 48));
  const std::string path = ::testing::TempDir() + "tall_mask.imgn";
  kcArchive(bytes).writeFile(path);
  const kcImageNormalizer loaded = kfLoadImageNormalizer(path);
  EXPECT_EQ(loaded.maskImage().window(), kcPelRect(3, 5, 0, 1L << 30));
  EXPECT_EQ(loaded.trainedMethods(), eLinearlyFitGrayValues | eLocalCorrection | eLocalCorrectionEnhanced);
  for (Method method : {eLinearlyFitGrayValues, eLocalCorrection, eLocalCorrectionEnhanced}) {
    const RunOutcome r = runTool(loaded, loaded.referenceImage(), method);
    EXPECT_FALSE(r.result.isBound());
  }
}
