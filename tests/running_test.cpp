#include <gtest/gtest.h>

#include "imaging/pel_equal.h"
#include "imaging/pel_histogram.h"
#include "imgnorm/image_normalizer.h"
#include "pelfuncs/masked_histogram.h"
#include "test_support.h"

using namespace kcImageNormalizerDefs;
using testing_support::makeImage;
using testing_support::messageOf;
using testing_support::randomImage;

namespace {

using Image = kcPelBuffer<unsigned char>;


struct RunOutcome {
  Image result;
  bool success = false;
  std::wstring message;
};

RunOutcome runTool(const kcImageNormalizer& tool, const kcPelBuffer_const<unsigned char>& image,
                   Method m, kcDiagObject* diag = nullptr, unsigned long flags = 0) {
  RunOutcome r;
  r.result = tool.run(image, m, r.success, r.message, diag, flags);
  return r;
}

kcHistoStats statsOf(const kcPelBuffer_const<unsigned char>& img) {
  std::vector<unsigned long> h;
  kfPelHistogram(img, h);
  return kcHistoStats(h);
}

kcImageNormalizer trainedTool(const Image& reference, Method methods) {
  kcImageNormalizer tool;
  tool.referenceImage(reference, true);
  tool.train(methods);
  return tool;
}

}  // namespace

TEST(Running, IdentityCopiesTheWholeImageWithoutTraining) {
  kcImageNormalizer tool;
  const Image img = randomImage(kcPelRect(3, 4, 20, 10));
  const RunOutcome r = runTool(tool, img, eIdentity);
  EXPECT_TRUE(r.success);
  EXPECT_TRUE(r.message.empty());
  EXPECT_EQ(r.result.window(), img.window());
  EXPECT_NE(r.result.root(), img.root());
  EXPECT_TRUE(kfPelEqual(r.result, img));
}

TEST(Running, ChecksRunInOrderWithExactMessages) {
  const kcImageNormalizer tool = trainedTool(randomImage(kcPelRect(0, 0, 10, 10)), eMatchHistogram);
  const Image img = randomImage(kcPelRect(0, 0, 10, 10));
  bool ok = true;
  std::wstring msg = L"stale";
  EXPECT_EQ(messageOf<kcException>([&] { tool.run(img, static_cast<Method>(3), ok, msg); }),
            L"Cannot run with more than one normalization method.");
  EXPECT_FALSE(ok);
  EXPECT_TRUE(msg.empty());
  EXPECT_THROW(tool.run(img, static_cast<Method>(64), ok, msg), BadParams);
  EXPECT_EQ(messageOf<kcException>([&] { tool.run(img, static_cast<Method>(65), ok, msg); }),
            L"Cannot specify an unknown normalization method.");
  EXPECT_THROW(tool.run(img, eLinearlyFitGrayValues, ok, msg), NotTrained);
  EXPECT_EQ(messageOf<kcException>([&] { tool.run(img, eLinearlyFitGrayValues, ok, msg); }),
            L"This tool was not trained for the specified  method.");
  EXPECT_EQ(messageOf<kcException>([&] { tool.run(Image(), eMatchHistogram, ok, msg); }),
            L"Image must be bound.");
  EXPECT_THROW(tool.run(Image(), eMatchHistogram, ok, msg), BadImage);
  EXPECT_THROW(tool.run(Image(), eMatchMeanAndStddev, ok, msg), NotTrained);
}

TEST(Running, EmptyRegionsAndMasksThatMissTheImage) {
  kcImageNormalizer tool = trainedTool(randomImage(kcPelRect(0, 0, 10, 10)), eMatchHistogram);
  RunOutcome r = runTool(tool, randomImage(kcPelRect(50, 50, 10, 10)), eMatchHistogram);
  EXPECT_TRUE(r.success);
  EXPECT_FALSE(r.result.isBound());

  kcImageNormalizer masked;
  masked.referenceImage(randomImage(kcPelRect(0, 0, 20, 20)), true);
  masked.maskImage(makeImage(kcPelRect(0, 0, 20, 20), [](long x, long) { return x >= 15 ? 1 : 0; }),
                   true);
  masked.train(eMatchHistogram | eMatchMeanAndStddev);
  r = runTool(masked, randomImage(kcPelRect(0, 0, 10, 20)), eMatchMeanAndStddev);
  EXPECT_FALSE(r.success);
  EXPECT_FALSE(r.result.isBound());
  EXPECT_EQ(r.message, L"Cannot normalize since histogram is empty.");
}

TEST(Running, HistogramMatchingOfTheReferenceReturnsIt) {
  const Image ref = randomImage(kcPelRect(0, 0, 70, 33));
  const kcImageNormalizer tool = trainedTool(ref, eMatchHistogram);
  const RunOutcome r = runTool(tool, ref, eMatchHistogram);
  ASSERT_TRUE(r.success);
  EXPECT_TRUE(kfPelEqual(r.result, ref));
}

TEST(Running, MeanAndDeviationReachTheReference) {
  const Image ref = randomImage(kcPelRect(0, 0, 64, 64), 60, 200);
  const Image run =
      makeImage(kcPelRect(0, 0, 64, 64), [&](long x, long y) { return ref.get(x, y) / 2 + 20; });
  const kcImageNormalizer tool = trainedTool(ref, eMatchMeanAndStddev);
  const RunOutcome r = runTool(tool, run, eMatchMeanAndStddev);
  ASSERT_TRUE(r.success);
  EXPECT_NEAR(statsOf(r.result).mean(), statsOf(ref).mean(), 1.5);
  EXPECT_NEAR(statsOf(r.result).sDev(), statsOf(ref).sDev(), 1.5);
}

TEST(Running, TailMatchingUsesTheTailFractions) {
  const Image ref = makeImage(kcPelRect(0, 0, 100, 10), [](long x, long) { return 20 + 2 * x; });
  const Image run = makeImage(kcPelRect(0, 0, 100, 10), [](long x, long) { return 40 + x; });
  kcImageNormalizer tool = trainedTool(ref, eMatchHistogramTails);
  tool.set(kcPair<double>(0.0, 1.0), kcPair<long>(-127, 127), false);
  RunOutcome r = runTool(tool, run, eMatchHistogramTails);
  ASSERT_TRUE(r.success);
  EXPECT_TRUE(kfPelEqual(r.result, ref));
  tool.set(kcPair<double>(0.5, 0.5), kcPair<long>(-127, 127), false);
  r = runTool(tool, run, eMatchHistogramTails);
  EXPECT_TRUE(kfPelEqual(r.result, run));  // equal fractions: identity
}

TEST(Running, WorksOnTheOverlapOfOffsetWindows) {
  const Image ref = randomImage(kcPelRect(0, 0, 40, 30));
  const kcImageNormalizer tool = trainedTool(ref, eMatchHistogram);
  Image run = randomImage(kcPelRect(25, 10, 40, 30));
  run.clientFromImageXformBase(kc2XformLinear::handle(kcXform<2>::scaleAndTranslate(2, 2, 1, 1)));
  const RunOutcome r = runTool(tool, run, eMatchHistogram);
  ASSERT_TRUE(r.success);
  EXPECT_EQ(r.result.window(), kcPelRect(25, 10, 15, 20));
  EXPECT_EQ(r.result.clientFromImageXformBase(), run.clientFromImageXformBase());
}

TEST(Running, KeepMaskedPixelsRestoresPelsOutsideTheMask) {
  const Image ref = randomImage(kcPelRect(0, 0, 30, 20), 100, 150);
  const Image mask =
      makeImage(kcPelRect(0, 0, 30, 20), [](long x, long) { return x < 10 ? 0 : 7; });
  const Image run = randomImage(kcPelRect(0, 0, 30, 20), 0, 60);
  kcImageNormalizer tool;
  tool.referenceImage(ref, true);
  tool.maskImage(mask, true);
  tool.keepMaskedPixels(true);
  tool.train(eMatchMeanAndStddev | eMatchHistogram);
  RunOutcome r = runTool(tool, run, eMatchMeanAndStddev);
  ASSERT_TRUE(r.success);
  for (long y = 0; y < 20; ++y) {
    for (long x = 0; x < 10; ++x) ASSERT_EQ(r.result.get(x, y), run.get(x, y));
    for (long x = 10; x < 30; ++x) ASSERT_GE(r.result.get(x, y), 60);
  }
  // A failed map still brings back the pels outside the mask.
  const Image flat =
      makeImage(kcPelRect(0, 0, 30, 20), [](long x, long) { return x < 10 ? x : 5; });
  r = runTool(tool, flat, eMatchMeanAndStddev);
  EXPECT_FALSE(r.success);
  EXPECT_EQ(r.message, L"Cannot match when standard deviation is 0.");
  ASSERT_TRUE(r.result.isBound());
  EXPECT_EQ(r.result.get(3, 4), 3);

  kcImageNormalizer unmasked = trainedTool(ref, eMatchMeanAndStddev);
  unmasked.set(kcPair<double>(0, 1), kcPair<long>(-127, 127), true);
  const RunOutcome u = runTool(unmasked, run, eMatchMeanAndStddev);
  EXPECT_GE(u.result.get(0, 0), 60);
}

TEST(Running, RecordsInputsAndResultAndRestoresTheLevel) {
  const Image ref = randomImage(kcPelRect(0, 0, 10, 10));
  const kcImageNormalizer tool = trainedTool(ref, eMatchHistogram);
  kcDiagObject diag;
  diag.level(5);
  runTool(tool, ref, eMatchHistogram, &diag, 0x10000);
  ASSERT_EQ(diag.records().size(), 4u);
  const wchar_t* names[] = {L"Image Normalization", L"Run-time parameters", L"referenceImage",
                            L"maskImage"};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(diag.records()[i].name, names[i]);
  EXPECT_EQ(diag.records()[1].text,
            L"method=eMatchHistogram\nkeepMaskedPixels=false\ntailFractions=( 0 , 1 )\n"
            L"neighborhoodSize=(101, 101)\ngranularity=(1, 1)\nintensityRange=(-127, 127)\n");
  EXPECT_EQ(diag.records()[0].level, 5);
  EXPECT_EQ(diag.records()[2].level, 6);
  EXPECT_FALSE(diag.records()[3].image.isBound());
  EXPECT_EQ(diag.level(), 5);

  kcDiagObject results;
  runTool(tool, ref, eMatchHistogram, &results, 0x20000);
  ASSERT_EQ(results.records().size(), 1u);
  EXPECT_EQ(results.records()[0].name, L"Image Normalization Result");
  EXPECT_EQ(results.records()[0].level, 1);
  EXPECT_EQ(results.level(), 0);

  kcDiagObject rejected;
  rejected.level(2);
  EXPECT_THROW(runTool(tool, ref, static_cast<Method>(3), &rejected, ~0UL), BadParams);
  EXPECT_EQ(rejected.records().size(), 4u);
  EXPECT_EQ(rejected.level(), 2);
  EXPECT_EQ(rejected.records()[1].text.substr(0, 21), L"method=UnknownMethod\n");
}
