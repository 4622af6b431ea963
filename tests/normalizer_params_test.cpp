#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "imgnorm/image_normalizer.h"
#include "test_support.h"

namespace {

using namespace kcImageNormalizerDefs;
using namespace testing_support;
using Tool = kcImageNormalizer;
using Setter = std::function<void(Tool&)>;

const std::wstring kNeighborhoodMessage = L"Both elements of neighborhoodSize must be >= 1";
const std::wstring kGranularityMessage = L"Both elements of granularity must be >= 1";
const std::wstring kTailMessage = L"Tail fraction must be: 0.0 <= frac.x() <= frac.y() <= 1.0";
const std::wstring kRangeMessage = L"intensityVariationRange must be: x <= 0 and y >= 0";
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Runs f, which must throw BadParams, and returns its message.
std::wstring badParamsMessage(const std::function<void()>& f) {
  try {
    f();
  } catch (const BadParams& e) {
    EXPECT_EQ(e.errorNumber(), 268466689);
    return e.text();
  }
  ADD_FAILURE() << "no BadParams thrown";
  return L"";
}

void expectDefaults(const Tool& tool) {
  EXPECT_EQ(tool.trainedMethods(), eIdentity);
  EXPECT_EQ(tool.tailFractions(), kcPair<double>(0.0, 1.0));
  EXPECT_EQ(tool.neighborhoodSize(), kcPair<long>(101, 101));
  EXPECT_EQ(tool.granularity(), kcPair<long>(1, 1));
  EXPECT_EQ(tool.intensityVariationRange(), kcPair<long>(-127, 127));
  EXPECT_FALSE(tool.keepMaskedPixels());
  EXPECT_FALSE(tool.maskImage().isBound());
  EXPECT_FALSE(tool.referenceImage().isBound());
  EXPECT_FALSE(tool.binaryMask().isBound());
  EXPECT_TRUE(tool.referenceHistogram().empty());
}

// One row per parameter: values it accepts (and reads back), values it
// refuses with its exact message, leaving the last accepted value.
template <class V>
struct ParamRow {
  const char* name;
  void (Tool::*set)(kcPair<V>);
  kcPair<V> (Tool::*get)() const;
  std::vector<kcPair<V>> accepted, refused;
  std::vector<std::wstring> messages;  // one per refused value
};

// Equal, a NaN matching a NaN.
template <class V>
bool same(const kcPair<V>& a, const kcPair<V>& b) {
  const auto eq = [](V u, V v) {
    return u == v || (std::isnan(double(u)) && std::isnan(double(v)));
  };
  return eq(a.x(), b.x()) && eq(a.y(), b.y());
}

template <class V>
void checkRow(const ParamRow<V>& row) {
  Tool tool;
  for (const kcPair<V>& good : row.accepted) {
    (tool.*row.set)(good);
    EXPECT_TRUE(same((tool.*row.get)(), good)) << row.name;
  }
  for (std::size_t i = 0; i < row.refused.size(); ++i) {
    EXPECT_EQ(badParamsMessage([&] { (tool.*row.set)(row.refused[i]); }), row.messages[i])
        << row.name << " #" << i;
    EXPECT_TRUE(same((tool.*row.get)(), row.accepted.back())) << row.name;
  }
}

TEST(NormalizerParams, TableOfAcceptedAndRefusedValues) {
  using L = kcPair<long>;
  using D = kcPair<double>;
  const std::wstring nbMax = L"Both elements of neighborhoodSize must be <= 131067";
  const std::wstring grMax = L"Both elements of granularity must be <= 65536";
  checkRow<long>({"neighborhoodSize", &Tool::neighborhoodSize, &Tool::neighborhoodSize,
                  {L(1, 1), L(131067, 131067), L(7, 3)},
                  {L(0, 5), L(5, 0), L(-1, -1), L(5, 131068), L(131068, 5)},
                  {kNeighborhoodMessage, kNeighborhoodMessage, kNeighborhoodMessage, nbMax, nbMax}});
  checkRow<long>({"granularity", &Tool::granularity, &Tool::granularity,
                  {L(1, 1), L(65536, 65536), L(2, 4)},
                  {L(0, 5), L(5, 0), L(-3, 1), L(65537, 1), L(1, 65537)},
                  {kGranularityMessage, kGranularityMessage, kGranularityMessage, grMax, grMax}});
  checkRow<double>(
      {"tailFractions",
       &Tool::tailFractions,
       &Tool::tailFractions,
       // Each comparison fails only when its relation is false, so NaN passes.
       {D(kNaN, 0.5), D(0.3, kNaN), D(0.0, 0.0), D(1.0, 1.0), D(0.2, 0.2), D(0.1, 0.9)},
       {D(-0.1, 0.5), D(0.6, 0.5), D(0.5, 1.5), D(-0.0001, 0.0), D(kNaN, 2.0), D(-1.0, kNaN)},
       std::vector<std::wstring>(6, kTailMessage)});
  checkRow<long>({"intensityVariationRange", &Tool::intensityVariationRange,
                  &Tool::intensityVariationRange, {L(0, 0), L(-255, 255), L(-3, 0)},
                  {L(1, 10), L(-10, -1), L(1, -1)}, std::vector<std::wstring>(3, kRangeMessage)});
}

// The largest accepted sizes train and run.
TEST(NormalizerParams, LargestSizesTrainAndRun) {
  Tool tool;
  const auto reference = randomImage(kcPelRect(0, 0, 9, 7));
  tool.referenceImage(reference, false);
  tool.maskImage(randomImage(kcPelRect(0, 0, 9, 7), 0, 1), false);
  for (const auto& [size, step] : {std::pair(kcPair<long>(131067, 3), kcPair<long>(1, 1)),
                                   std::pair(kcPair<long>(5, 5), kcPair<long>(65536, 2))}) {
    tool.neighborhoodSize(size);
    tool.granularity(step);
    tool.train(eLocalCorrection | eLocalCorrectionEnhanced);
    for (Method m : {eLocalCorrection, eLocalCorrectionEnhanced})
      EXPECT_EQ(runTool(tool, reference, m).result.window(), reference.window());
  }
}

using ImageSetter = void (Tool::*)(const kcPelBuffer_const<unsigned char>&, bool);
using ImageGetter = const kcPelBuffer_const<unsigned char>& (Tool::*)() const;
const std::pair<ImageSetter, ImageGetter> kImageMembers[] = {
    {&Tool::maskImage, &Tool::maskImage}, {&Tool::referenceImage, &Tool::referenceImage}};

TEST(NormalizerParams, ImageSettersCopyOrShareAndUnboundUnsets) {
  for (const auto& [set, get] : kImageMembers) {
    Tool tool;
    Image caller = randomImage(kcPelRect(0, 0, 12, 9));
    Image view = caller;
    view.window(kcPelRect(2, 3, 5, 4), false);
    setXform(view, kcXform<2>::scaleAndTranslate(2, 2, 1, 1));
    const unsigned char original = view.get(2, 3);
    (tool.*set)(view, true);
    const kcPelBuffer_const<unsigned char>& held = (tool.*get)();
    EXPECT_NE(held.root(), caller.root());
    EXPECT_EQ(held.window(), view.window());
    EXPECT_EQ(held.clientFromImageXform(), view.clientFromImageXform());
    view.set(2, 3, static_cast<unsigned char>(original + 1));
    EXPECT_EQ(held.get(2, 3), original);
    (tool.*set)(view, false);
    EXPECT_EQ((tool.*get)().root(), caller.root());
    EXPECT_EQ((tool.*get)().get(2, 3), original + 1);
    for (bool copy : {false, true}) {
      (tool.*set)(caller, false);
      (tool.*set)(Image(), copy);
      EXPECT_FALSE((tool.*get)().isBound());
    }
  }
}

Tool configured() {
  Tool tool;
  tool.tailFractions(kcPair<double>(0.1, 0.8));
  tool.neighborhoodSize(kcPair<long>(5, 7));
  tool.granularity(kcPair<long>(2, 3));
  tool.intensityVariationRange(kcPair<long>(-20, 30));
  tool.keepMaskedPixels(true);
  tool.referenceImage(randomImage(kcPelRect(0, 0, 16, 16)), true);
  tool.maskImage(randomImage(kcPelRect(0, 0, 16, 16), 0, 1), false);
  return tool;
}

TEST(NormalizerParams, CopiesShareTheImagesAndUntrainRestoresTheDefaults) {
  const Tool source = configured();
  Tool assigned;
  EXPECT_EQ(&(assigned = source), &assigned);
  for (const Tool& t : {Tool(source), assigned}) {
    EXPECT_TRUE(t == source);
    EXPECT_EQ(t.referenceImage().root(), source.referenceImage().root());
    EXPECT_EQ(t.maskImage().root(), source.maskImage().root());
  }
  expectDefaults(Tool());
  assigned.untrain();
  expectDefaults(assigned);
}

Tool trainedTool() {
  Tool tool;
  tool.referenceImage(randomImage(kcPelRect(0, 0, 24, 24)), true);
  tool.train(eMatchHistogram | eMatchMeanAndStddev);
  EXPECT_EQ(tool.trainedMethods(), eMatchHistogram | eMatchMeanAndStddev);
  return tool;
}

TEST(NormalizerParams, EverySetterUntrainsEvenWithAnUnchangedValueButARefusalDoesNot) {
  const Setter setters[] = {
      [](Tool& t) { t.granularity(kcPair<long>(1, 1)); },
      [](Tool& t) { t.neighborhoodSize(kcPair<long>(101, 101)); },
      [](Tool& t) { t.tailFractions(kcPair<double>(0.0, 1.0)); },
      [](Tool& t) { t.intensityVariationRange(kcPair<long>(-127, 127)); },
      [](Tool& t) { t.keepMaskedPixels(false); },
      [](Tool& t) { t.maskImage(kcPelBuffer_const<unsigned char>(), false); },
      [](Tool& t) { t.referenceImage(t.referenceImage(), false); },
  };
  for (const Setter& setter : setters) {
    Tool tool = trainedTool();
    setter(tool);
    EXPECT_EQ(tool.trainedMethods(), eIdentity);
  }
  Tool tool = trainedTool();
  EXPECT_THROW(tool.granularity(kcPair<long>(0, 1)), BadParams);
  EXPECT_THROW(tool.tailFractions(kcPair<double>(2.0, 3.0)), BadParams);
  EXPECT_EQ(tool.trainedMethods(), eMatchHistogram | eMatchMeanAndStddev);
}

// set() stores the tail fractions, then the range, then the flag, stopping
// at the first refusal; only a refused range untrains.
TEST(NormalizerParams, SetStopsAtTheFirstRejectedValue) {
  Tool tool = trainedTool();
  tool.set(kcPair<double>(0.05, 0.95), kcPair<long>(-9, 9), true);
  EXPECT_EQ(tool.trainedMethods(), eMatchHistogram | eMatchMeanAndStddev);
  EXPECT_EQ(tool.intensityVariationRange(), kcPair<long>(-9, 9));
  EXPECT_TRUE(tool.keepMaskedPixels());
  const Tool before = tool;
  EXPECT_EQ(badParamsMessage([&] { tool.set(kcPair<double>(0.9, 0.1), kcPair<long>(-1, 1), false); }),
            kTailMessage);
  EXPECT_TRUE(tool == before);
  EXPECT_EQ(badParamsMessage([&] { tool.set(kcPair<double>(0.2, 0.3), kcPair<long>(2, 3), false); }),
            kRangeMessage);
  Tool expected = before;
  expected.tailFractions(kcPair<double>(0.2, 0.3));  // and untrained
  EXPECT_TRUE(tool == expected);
  EXPECT_EQ(tool.trainedMethods(), eIdentity);
}

}  // namespace
