#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "imgnorm/image_normalizer.h"
#include "test_support.h"

namespace {

using namespace kcImageNormalizerDefs;
using Image = kcPelBuffer<unsigned char>;

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

void expectDefaults(const kcImageNormalizer& tool) {
  EXPECT_EQ(tool.trainedMethods(), eIdentity);
  EXPECT_EQ(tool.tailFractions(), kcPair<double>(0.0, 1.0));
  EXPECT_EQ(tool.neighborhoodSize(), kcPair<long>(101, 101));
  EXPECT_EQ(tool.granularity(), kcPair<long>(1, 1));
  EXPECT_EQ(tool.intensityVariationRange(), kcPair<long>(-127, 127));
  EXPECT_FALSE(tool.keepMaskedPixels());
  EXPECT_FALSE(tool.maskImage().isBound());
  EXPECT_FALSE(tool.referenceImage().isBound());
}

TEST(NormalizerParams, NewToolHasTheDefaults) {
  const kcImageNormalizer tool;
  expectDefaults(tool);
  EXPECT_FALSE(tool.binaryMask().isBound());
  EXPECT_TRUE(tool.referenceHistogram().empty());
  EXPECT_EQ(tool.referenceStats().nSamp(), 0u);
  EXPECT_TRUE(tool.fitAngles().empty());
}

TEST(NormalizerParams, PairSizesAcceptOneAndRefuseZero) {
  kcImageNormalizer tool;
  tool.neighborhoodSize(kcPair<long>(1, 1));
  EXPECT_EQ(tool.neighborhoodSize(), kcPair<long>(1, 1));
  tool.neighborhoodSize(kcPair<long>(7, 3));
  for (const kcPair<long>& bad : {kcPair<long>(0, 5), kcPair<long>(5, 0), kcPair<long>(-1, -1)}) {
    EXPECT_EQ(badParamsMessage([&] { tool.neighborhoodSize(bad); }), kNeighborhoodMessage);
    EXPECT_EQ(tool.neighborhoodSize(), kcPair<long>(7, 3));
  }

  tool.granularity(kcPair<long>(1, 1));
  tool.granularity(kcPair<long>(2, 4));
  EXPECT_EQ(tool.granularity(), kcPair<long>(2, 4));
  for (const kcPair<long>& bad : {kcPair<long>(0, 5), kcPair<long>(5, 0), kcPair<long>(-3, 1)}) {
    EXPECT_EQ(badParamsMessage([&] { tool.granularity(bad); }), kGranularityMessage);
    EXPECT_EQ(tool.granularity(), kcPair<long>(2, 4));
  }
}

// The largest sizes are refused at the setter, naming the parameter, and
// the largest accepted ones train and run.
TEST(NormalizerParams, PairSizesStopWhereTheFiltersDo) {
  kcImageNormalizer tool;
  EXPECT_EQ(badParamsMessage([&] { tool.neighborhoodSize(kcPair<long>(5, 131068)); }),
            L"Both elements of neighborhoodSize must be <= 131067");
  EXPECT_EQ(badParamsMessage([&] { tool.granularity(kcPair<long>(65537, 1)); }),
            L"Both elements of granularity must be <= 65536");
  const auto reference = testing_support::randomImage(kcPelRect(0, 0, 9, 7));
  tool.referenceImage(reference, false);
  tool.maskImage(testing_support::randomImage(kcPelRect(0, 0, 9, 7), 0, 1), false);
  for (const auto& [size, step] : {std::pair(kcPair<long>(131067, 3), kcPair<long>(1, 1)),
                                   std::pair(kcPair<long>(5, 5), kcPair<long>(65536, 2))}) {
    tool.neighborhoodSize(size);
    tool.granularity(step);
    tool.train(eLocalCorrection | eLocalCorrectionEnhanced);
    bool success = false;
    std::wstring message;
    for (Method m : {eLocalCorrection, eLocalCorrectionEnhanced})
      EXPECT_EQ(tool.run(reference, m, success, message).window(), reference.window());
  }
}

TEST(NormalizerParams, TailFractionsBounds) {
  kcImageNormalizer tool;
  for (const kcPair<double>& good : {kcPair<double>(0.0, 0.0), kcPair<double>(1.0, 1.0),
                                     kcPair<double>(0.2, 0.2), kcPair<double>(0.1, 0.9)}) {
    tool.tailFractions(good);
    EXPECT_EQ(tool.tailFractions(), good);
  }
  for (const kcPair<double>& bad : {kcPair<double>(-0.1, 0.5), kcPair<double>(0.6, 0.5),
                                    kcPair<double>(0.5, 1.5), kcPair<double>(-0.0001, 0.0)}) {
    EXPECT_EQ(badParamsMessage([&] { tool.tailFractions(bad); }), kTailMessage);
    EXPECT_EQ(tool.tailFractions(), kcPair<double>(0.1, 0.9));
  }
}

// Each comparison fails only when its relation is false, so NaN passes.
TEST(NormalizerParams, NaNTailFractionsAreAccepted) {
  kcImageNormalizer tool;
  tool.tailFractions(kcPair<double>(kNaN, 0.5));
  EXPECT_TRUE(std::isnan(tool.tailFractions().x()));
  EXPECT_EQ(tool.tailFractions().y(), 0.5);
  tool.tailFractions(kcPair<double>(0.3, kNaN));
  EXPECT_EQ(tool.tailFractions().x(), 0.3);
  EXPECT_TRUE(std::isnan(tool.tailFractions().y()));
  tool.tailFractions(kcPair<double>(kNaN, kNaN));
  EXPECT_TRUE(std::isnan(tool.tailFractions().x()));
  EXPECT_TRUE(std::isnan(tool.tailFractions().y()));
  // NaN does not hide a failing comparison of the other component.
  EXPECT_EQ(badParamsMessage([&] { tool.tailFractions(kcPair<double>(kNaN, 2.0)); }), kTailMessage);
  EXPECT_EQ(badParamsMessage([&] { tool.tailFractions(kcPair<double>(-1.0, kNaN)); }),
            kTailMessage);
}

TEST(NormalizerParams, IntensityVariationRangeBounds) {
  kcImageNormalizer tool;
  for (const kcPair<long>& good :
       {kcPair<long>(0, 0), kcPair<long>(-255, 255), kcPair<long>(-3, 0)}) {
    tool.intensityVariationRange(good);
    EXPECT_EQ(tool.intensityVariationRange(), good);
  }
  for (const kcPair<long>& bad :
       {kcPair<long>(1, 10), kcPair<long>(-10, -1), kcPair<long>(1, -1)}) {
    EXPECT_EQ(badParamsMessage([&] { tool.intensityVariationRange(bad); }), kRangeMessage);
    EXPECT_EQ(tool.intensityVariationRange(), kcPair<long>(-3, 0));
  }
}

TEST(NormalizerParams, KeepMaskedPixelsIsStored) {
  kcImageNormalizer tool;
  tool.keepMaskedPixels(true);
  EXPECT_TRUE(tool.keepMaskedPixels());
  tool.keepMaskedPixels(false);
  EXPECT_FALSE(tool.keepMaskedPixels());
}

// --- Images ---

using ImageSetter = void (kcImageNormalizer::*)(const kcPelBuffer_const<unsigned char>&, bool);
using ImageGetter = const kcPelBuffer_const<unsigned char>& (kcImageNormalizer::*)() const;

struct ImageMember {
  ImageSetter set;
  ImageGetter get;
};
const ImageMember kImageMembers[] = {
    {&kcImageNormalizer::maskImage, &kcImageNormalizer::maskImage},
    {&kcImageNormalizer::referenceImage, &kcImageNormalizer::referenceImage},
};

TEST(NormalizerParams, ImageSetterWithCopyKeepsPrivatePels) {
  for (const ImageMember& m : kImageMembers) {
    kcImageNormalizer tool;
    Image caller = testing_support::randomImage(kcPelRect(0, 0, 12, 9));
    Image view = caller;
    view.window(kcPelRect(2, 3, 5, 4), false);
    view.clientFromImageXformBase(
        kc2XformLinear::handle(kcXform<2>::scaleAndTranslate(2, 2, 1, 1)));
    const unsigned char original = view.get(2, 3);
    (tool.*m.set)(view, true);
    const kcPelBuffer_const<unsigned char>& held = (tool.*m.get)();
    ASSERT_TRUE(held.isBound());
    EXPECT_NE(held.root(), caller.root());
    EXPECT_EQ(held.window(), view.window());
    EXPECT_EQ(held.clientFromImageXform(), view.clientFromImageXform());
    view.set(2, 3, static_cast<unsigned char>(original + 1));
    EXPECT_EQ(held.get(2, 3), original);
  }
}

TEST(NormalizerParams, ImageSetterWithoutCopySharesPels) {
  for (const ImageMember& m : kImageMembers) {
    kcImageNormalizer tool;
    Image caller = testing_support::randomImage(kcPelRect(-4, 0, 6, 6));
    (tool.*m.set)(caller, false);
    const kcPelBuffer_const<unsigned char>& held = (tool.*m.get)();
    EXPECT_EQ(held.root(), caller.root());
    EXPECT_EQ(held.window(), caller.window());
    caller.set(-4, 5, static_cast<unsigned char>(caller.get(-4, 5) + 1));
    EXPECT_EQ(held.get(-4, 5), caller.get(-4, 5));
  }
}

TEST(NormalizerParams, UnboundImageUnsetsTheMember) {
  for (const ImageMember& m : kImageMembers)
    for (bool copy : {false, true}) {
      kcImageNormalizer tool;
      (tool.*m.set)(Image(4, 4, 32), false);
      ASSERT_TRUE((tool.*m.get)().isBound());
      (tool.*m.set)(Image(), copy);
      EXPECT_FALSE((tool.*m.get)().isBound());
    }
}

// --- Reset, copies and set ---

kcImageNormalizer configured() {
  kcImageNormalizer tool;
  tool.tailFractions(kcPair<double>(0.1, 0.8));
  tool.neighborhoodSize(kcPair<long>(5, 7));
  tool.granularity(kcPair<long>(2, 3));
  tool.intensityVariationRange(kcPair<long>(-20, 30));
  tool.keepMaskedPixels(true);
  tool.referenceImage(testing_support::randomImage(kcPelRect(0, 0, 16, 16)), true);
  tool.maskImage(testing_support::randomImage(kcPelRect(0, 0, 16, 16), 0, 1), false);
  return tool;
}

TEST(NormalizerParams, UntrainGivesBackAllDefaults) {
  kcImageNormalizer tool = configured();
  tool.untrain();
  expectDefaults(tool);
}

TEST(NormalizerParams, CopiesCarryTheConfiguration) {
  const kcImageNormalizer source = configured();
  const kcImageNormalizer copy(source);
  kcImageNormalizer assigned;
  kcImageNormalizer& result = (assigned = source);
  EXPECT_EQ(&result, &assigned);
  for (const kcImageNormalizer* t : {&copy, static_cast<const kcImageNormalizer*>(&assigned)}) {
    EXPECT_EQ(t->tailFractions(), kcPair<double>(0.1, 0.8));
    EXPECT_EQ(t->neighborhoodSize(), kcPair<long>(5, 7));
    EXPECT_EQ(t->granularity(), kcPair<long>(2, 3));
    EXPECT_EQ(t->intensityVariationRange(), kcPair<long>(-20, 30));
    EXPECT_TRUE(t->keepMaskedPixels());
    EXPECT_EQ(t->referenceImage().root(), source.referenceImage().root());
    EXPECT_EQ(t->maskImage().root(), source.maskImage().root());
  }
}

TEST(NormalizerParams, SetStoresTheRunTimeParameters) {
  kcImageNormalizer tool;
  tool.set(kcPair<double>(0.25, 0.75), kcPair<long>(-5, 6), true);
  EXPECT_EQ(tool.tailFractions(), kcPair<double>(0.25, 0.75));
  EXPECT_EQ(tool.intensityVariationRange(), kcPair<long>(-5, 6));
  EXPECT_TRUE(tool.keepMaskedPixels());
}

TEST(NormalizerParams, SetStopsAtTheFirstRejectedValue) {
  kcImageNormalizer tool;
  // Rejected tail fractions: nothing changes.
  EXPECT_EQ(
      badParamsMessage([&] { tool.set(kcPair<double>(0.9, 0.1), kcPair<long>(-1, 1), true); }),
      kTailMessage);
  EXPECT_EQ(tool.tailFractions(), kcPair<double>(0.0, 1.0));
  EXPECT_EQ(tool.intensityVariationRange(), kcPair<long>(-127, 127));
  EXPECT_FALSE(tool.keepMaskedPixels());
  // Rejected range: the tail fractions stay stored, the flag does not.
  EXPECT_EQ(badParamsMessage([&] { tool.set(kcPair<double>(0.3, 0.4), kcPair<long>(2, 3), true); }),
            kRangeMessage);
  EXPECT_EQ(tool.tailFractions(), kcPair<double>(0.3, 0.4));
  EXPECT_EQ(tool.intensityVariationRange(), kcPair<long>(-127, 127));
  EXPECT_FALSE(tool.keepMaskedPixels());
}

// --- Training state ---

kcImageNormalizer trainedTool() {
  kcImageNormalizer tool;
  tool.referenceImage(testing_support::randomImage(kcPelRect(0, 0, 24, 24)), true);
  tool.train(eMatchHistogram | eMatchMeanAndStddev);
  EXPECT_EQ(tool.trainedMethods(), eMatchHistogram | eMatchMeanAndStddev);
  return tool;
}

TEST(NormalizerParams, EverySetterUntrainsEvenWithAnUnchangedValue) {
  const std::function<void(kcImageNormalizer&)> setters[] = {
      [](kcImageNormalizer& t) { t.granularity(kcPair<long>(1, 1)); },
      [](kcImageNormalizer& t) { t.neighborhoodSize(kcPair<long>(101, 101)); },
      [](kcImageNormalizer& t) { t.tailFractions(kcPair<double>(0.0, 1.0)); },
      [](kcImageNormalizer& t) { t.intensityVariationRange(kcPair<long>(-127, 127)); },
      [](kcImageNormalizer& t) { t.keepMaskedPixels(false); },
      [](kcImageNormalizer& t) { t.maskImage(kcPelBuffer_const<unsigned char>(), false); },
      [](kcImageNormalizer& t) { t.referenceImage(t.referenceImage(), false); },
  };
  for (const auto& setter : setters) {
    kcImageNormalizer tool = trainedTool();
    setter(tool);
    EXPECT_EQ(tool.trainedMethods(), eIdentity);
  }
  kcImageNormalizer tool = trainedTool();
  tool.untrain();
  expectDefaults(tool);
}

TEST(NormalizerParams, RejectedValueKeepsTheToolTrained) {
  kcImageNormalizer tool = trainedTool();
  EXPECT_THROW(tool.granularity(kcPair<long>(0, 1)), BadParams);
  EXPECT_THROW(tool.tailFractions(kcPair<double>(2.0, 3.0)), BadParams);
  EXPECT_EQ(tool.trainedMethods(), eMatchHistogram | eMatchMeanAndStddev);
}

TEST(NormalizerParams, SetKeepsTheTrainedSetUnlessTheRangeIsRejected) {
  kcImageNormalizer tool = trainedTool();
  tool.set(kcPair<double>(0.05, 0.95), kcPair<long>(-9, 9), true);
  EXPECT_EQ(tool.trainedMethods(), eMatchHistogram | eMatchMeanAndStddev);
  EXPECT_TRUE(tool.keepMaskedPixels());

  EXPECT_THROW(tool.set(kcPair<double>(0.5, 0.1), kcPair<long>(0, 0), false), BadParams);
  EXPECT_EQ(tool.trainedMethods(), eMatchHistogram | eMatchMeanAndStddev);

  EXPECT_EQ(
      badParamsMessage([&] { tool.set(kcPair<double>(0.2, 0.3), kcPair<long>(-1, -1), false); }),
      kRangeMessage);
  EXPECT_EQ(tool.tailFractions(), kcPair<double>(0.2, 0.3));
  EXPECT_EQ(tool.trainedMethods(), eIdentity);
  EXPECT_TRUE(tool.keepMaskedPixels());
}

}  // namespace
