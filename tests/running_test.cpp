#include <gtest/gtest.h>

#include <tuple>
#include <utility>

#include "imgnorm/explain.h"
#include "imgnorm/image_normalizer.h"
#include "imgnorm/run_parallel.h"
#include "imgnorm/run_parts.h"
#include "test_support.h"

using namespace kcImageNormalizerDefs;
using namespace testing_support;

// Empty overlaps of image, reference and mask: an unbound result, failing only where a
// histogram is needed and empty.
TEST(Running, EmptyRegionsAndMasksThatMissTheImage) {
  RunOutcome r = runTool(trainedTool(randomImage(kcPelRect(0, 0, 10, 10)), eMatchHistogram),
                         randomImage(kcPelRect(50, 50, 10, 10)), eMatchHistogram);
  EXPECT_TRUE(r.success);
  EXPECT_FALSE(r.result.isBound());
  const kcImageNormalizer masked =
      trainedTool(randomImage(kcPelRect(0, 0, 20, 20)), eMatchHistogram | eMatchMeanAndStddev,
                  makeImage(kcPelRect(0, 0, 20, 20), [](long x, long) { return x >= 15; }));
  r = runTool(masked, randomImage(kcPelRect(0, 0, 10, 20)), eMatchMeanAndStddev);
  EXPECT_FALSE(r.success);
  EXPECT_FALSE(r.result.isBound());
  EXPECT_EQ(r.message, L"Cannot normalize since histogram is empty.");
}

TEST(Running, TailMatchingUsesTheTailFractions) {
  const Image ramp = makeImage(kcPelRect(0, 0, 100, 10), [](long x, long) { return 20 + 2 * x; });
  const Image half = makeImage(kcPelRect(0, 0, 100, 10), [](long x, long) { return 40 + x; });
  kcImageNormalizer tool = trainedTool(ramp, eMatchHistogramTails);
  tool.set(kcPair<double>(0.0, 1.0), kcPair<long>(-127, 127), false);
  EXPECT_TRUE(samePels(runTool(tool, half, eMatchHistogramTails).result, ramp));
  tool.set(kcPair<double>(0.5, 0.5), kcPair<long>(-127, 127), false);  // equal fractions: identity
  EXPECT_TRUE(samePels(runTool(tool, half, eMatchHistogramTails).result, half));
}

TEST(Running, WorksOnThePartialOverlapOfOffsetWindows) {
  const kcImageNormalizer tool = trainedTool(randomImage(kcPelRect(0, 0, 40, 30)), eMatchHistogram);
  Image run = randomImage(kcPelRect(25, 10, 40, 30));
  setXform(run, kcXform<2>::scaleAndTranslate(2, 2, 1, 1));
  const RunOutcome r = runTool(tool, run, eMatchHistogram);
  ASSERT_TRUE(r.success);
  EXPECT_EQ(r.result.window(), kcPelRect(25, 10, 15, 20));
  EXPECT_EQ(r.result.clientFromImageXformBase(), run.clientFromImageXformBase());
}

TEST(Running, KeepMaskedPixelsRestoresPelsOutsideTheMask) {
  const Image ref = randomImage(kcPelRect(0, 0, 30, 20), 100, 150);
  const Image run = randomImage(kcPelRect(0, 0, 30, 20), 0, 60);
  kcImageNormalizer tool;
  tool.referenceImage(ref, true);
  tool.maskImage(makeImage(kcPelRect(0, 0, 30, 20), [](long x, long) { return x < 10 ? 0 : 7; }),
                 true);
  tool.keepMaskedPixels(true);
  tool.train(eMatchMeanAndStddev | eMatchHistogram);
  RunOutcome r = runTool(tool, run, eMatchMeanAndStddev);
  ASSERT_TRUE(r.success);
  for (long y = 0; y < 20; ++y) {
    for (long x = 0; x < 10; ++x) ASSERT_EQ(r.result.get(x, y), run.get(x, y));
    for (long x = 10; x < 30; ++x) ASSERT_GE(r.result.get(x, y), 60);
  }
  // A failed map still brings back the pels outside the mask.
  r = runTool(tool, makeImage(ref.window(), [](long x, long) { return x < 10 ? x : 5; }),
              eMatchMeanAndStddev);
  EXPECT_FALSE(r.success);
  EXPECT_EQ(r.message, L"Cannot match when standard deviation is 0.");
  ASSERT_TRUE(r.result.isBound());
  EXPECT_EQ(r.result.get(3, 4), 3);
  // Without a mask, keeping changes nothing.
  kcImageNormalizer unmasked = trainedTool(ref, eMatchMeanAndStddev);
  unmasked.set(kcPair<double>(0, 1), kcPair<long>(-127, 127), true);
  EXPECT_GE(runTool(unmasked, run, eMatchMeanAndStddev).result.get(0, 0), 60);
}

TEST(Running, RecordsInputsAndResultAndRestoresTheLevel) {
  const Image ref = randomImage(kcPelRect(0, 0, 10, 10));
  const kcImageNormalizer tool = trainedTool(ref, eMatchHistogram);
  kcDiagObject diag, results, rejected;
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
  EXPECT_TRUE(samePels(diag.records()[2].image, ref));
  EXPECT_FALSE(diag.records()[3].image.isBound());
  EXPECT_EQ(diag.level(), 5);
  runTool(tool, ref, eMatchHistogram, &results, 0x20000);
  ASSERT_EQ(results.records().size(), 1u);
  EXPECT_EQ(results.records()[0].name, L"Image Normalization Result");
  EXPECT_EQ(results.records()[0].level, 1);
  EXPECT_EQ(results.level(), 0);
  rejected.level(2);
  EXPECT_THROW(runTool(tool, ref, static_cast<Method>(3), &rejected, ~0UL), BadParams);
  EXPECT_EQ(rejected.records().size(), 4u);
  EXPECT_EQ(rejected.level(), 2);
  EXPECT_EQ(rejected.records()[1].text.substr(0, 21), L"method=UnknownMethod\n");
}

// ---- One run split over strips of rows gives exactly the pels of one run ----

namespace {

// A textured scene with a gradient, so that every method has work to do.
Image scene(const kcPelRect& r, long seed) {
  const Image noise = randomImage(r, 0, 40);
  return makeImage(
      r, [&](long x, long y) { return 30 + (x * 3 + y * 2 + seed * 7) % 150 + noise.get(x, y); });
}

// The scene at a depth: 8-bit, or 16-bit levels of bits bits spread from
// the 8-bit ones.
template <class Pel>
kcPelBuffer<Pel> sceneAt(const kcPelRect& r, long seed, int bits) {
  const Image narrow = scene(r, seed);
  if constexpr (sizeof(Pel) == 1) return narrow;
  return makeImage<Pel>(r, [&](long x, long y) {
    return (static_cast<unsigned long>(narrow.get(x, y)) << bits) / 256 + (x * 7 + y) % 3;
  });
}

// What a run answered: its result, success and message, or what it threw.
template <class Pel>
struct Outcome {
  kcPelBuffer<Pel> result;
  bool success = false;
  std::wstring message;
  std::string thrown;
};

template <class Pel>
Pel pelOf(const kcPelBuffer<Pel>&);

template <class Run>
auto outcomeOf(Run run) {
  using Result = decltype(run(std::declval<bool&>(), std::declval<std::wstring&>()));
  Outcome<decltype(pelOf(std::declval<Result>()))> o;
  o.message = L"stale";
  try {
    o.result = run(o.success, o.message);
  } catch (const kcException& e) {
    o.thrown = e.what();
  }
  return o;
}

template <class Pel>
testing::AssertionResult sameOutcome(const Outcome<Pel>& a, const Outcome<Pel>& b) {
  if (a.thrown != b.thrown || a.success != b.success || a.message != b.message ||
      a.result.isBound() != b.result.isBound())
    return testing::AssertionFailure()
           << "threw '" << a.thrown << "' / '" << b.thrown << "', success " << a.success << " / "
           << b.success << ", bound " << a.result.isBound() << " / " << b.result.isBound();
  if (!a.result.isBound()) return testing::AssertionSuccess();
  if (a.result.window() != b.result.window() || a.result.clientFromImageXform().translation() !=
                                                    b.result.clientFromImageXform().translation())
    return testing::AssertionFailure() << "windows or transforms differ";
  return pelsAre(a.result, b.result.window(), [&](long x, long y) { return b.result.get(x, y); });
}

testing::AssertionResult sameExplanation(const kcNormalizationExplanation& a,
                                         const kcNormalizationExplanation& b) {
  const auto stats = [](const kcGrayLevelStatistics& s) {
    return std::tuple(s.count, s.mean, s.stddev, s.lowerTail, s.upperTail);
  };
  if (std::tuple(a.method, a.success, a.message, a.map, a.wideMap, a.region) !=
          std::tuple(b.method, b.success, b.message, b.map, b.wideMap, b.region) ||
      stats(a.runTime) != stats(b.runTime) || stats(a.reference) != stats(b.reference) ||
      std::tuple(a.fit.lineFound, a.fit.gain, a.fit.offset, a.fit.nearLineShare) !=
          std::tuple(b.fit.lineFound, b.fit.gain, b.fit.offset, b.fit.nearLineShare))
    return testing::AssertionFailure() << "explanations differ";
  return testing::AssertionSuccess();
}

// Random tools and images: the split run answers exactly as one run does
// (pels, window, success, message) for every method, mask, window, offset,
// granularity, neighbourhood and number of strips and threads, at either
// depth.
template <class Pel>
void checkSplitRuns(int trials) {
  const Method methods[] = {eIdentity,
                            eMatchHistogram,
                            eMatchMeanAndStddev,
                            eMatchHistogramTails,
                            eLinearlyFitGrayValues,
                            eLocalCorrection,
                            eLocalCorrectionEnhanced};
  constexpr bool wide = sizeof(Pel) == 2;
  for (int trial = 0; trial < trials; ++trial) {
    const kcPelRect referenceWindow(uniform(-4, 4), uniform(-4, 4), uniform(1, 40), uniform(1, 40));
    const int bits = wide ? static_cast<int>(uniform(9, 16)) : 8;
    const long top = (1L << bits) - 1;
    kcImageNormalizer tool;
    if constexpr (wide)
      tool.referenceImage(sceneAt<Pel>(referenceWindow, trial, bits), bits, true);
    else
      tool.referenceImage(scene(referenceWindow, trial), true);
    const int maskKind = static_cast<int>(uniform(0, 3));  // none, binary, any levels, flat
    if (maskKind > 0) {
      const kcPelRect maskWindow(referenceWindow.x() + uniform(-3, referenceWindow.width() - 1),
                                 referenceWindow.y() + uniform(-3, referenceWindow.height() - 1),
                                 uniform(4, 40), uniform(4, 40));
      const long period = uniform(2, 9);
      tool.maskImage(makeImage(maskWindow,
                               [&](long x, long y) {
                                 if (maskKind == 3) return 255L;
                                 const bool set = (x * 3 + y * y) % period != 0;
                                 return set ? (maskKind == 1 ? 255L : 1 + (x + y) % 255) : 0L;
                               }),
                     true);
    }
    tool.neighborhoodSize(kcPair<long>(uniform(1, 35), uniform(1, 35)));
    tool.granularity(uniform(0, 3) == 0 ? kcPair<long>(uniform(2, 3), uniform(1, 3))
                                        : kcPair<long>(1, 1));
    try {
      tool.train(static_cast<Method>(kKnownMethods));
    } catch (const CanNotTrain&) {
      continue;  // no set mask pel over the reference
    }
    tool.set(kcPair<double>(0.05, 0.9), kcPair<long>(-uniform(0, top / 2), uniform(0, top / 2)),
             uniform(0, 1) == 1);
    tool.model(uniform(0, 2) == 0 ? eDivide : eSubtract);
    // Images of one row or column, sub-windows and offsets of the reference.
    const kcPelRect imageWindow(
        referenceWindow.x() + uniform(-6, 6), referenceWindow.y() + uniform(-6, 6),
        uniform(0, 4) == 0 ? 1 : uniform(1, 45), uniform(0, 4) == 0 ? 1 : uniform(1, 45));
    kcPelBuffer<Pel> image = uniform(0, 5) == 0 ? constant<Pel>(imageWindow, uniform(0, top))
                                                : sceneAt<Pel>(imageWindow, trial + 100, bits);
    setXform(image, kcXform<2>::scaleAndTranslate(2, 2, static_cast<double>(trial), 1));
    const Method method = methods[uniform(0, 6)];
    const long strips = uniform(1, 9);
    const unsigned threads = static_cast<unsigned>(uniform(1, 7));
    const Outcome expected = outcomeOf([&](bool& success, std::wstring& message) {
      return tool.run(image, method, success, message);
    });
    // Half the runs also explain the map they apply, from their own counts.
    const bool explain = uniform(0, 1) == 1;
    kcNormalizationExplanation explanation;
    const Outcome split = outcomeOf([&](bool& success, std::wstring& message) {
      return imgnorm::runInStrips(tool, image, method, strips, threads, success, message,
                                  explain ? &explanation : nullptr);
    });
    EXPECT_TRUE(sameOutcome(split, expected))
        << "trial " << trial << " method " << method << " strips " << strips;
    if (explain && hasMap(method) && expected.thrown.empty()) {
      EXPECT_TRUE(sameExplanation(explanation, kfExplainNormalization(tool, image, method)))
          << "trial " << trial;
    }
  }
}

TEST(RunInStrips, RandomConfigurationsGiveThePelsOfOneRun) { checkSplitRuns<unsigned char>(300); }

TEST(RunInStrips, RandomSixteenBitConfigurationsGiveThePelsOfOneRun) {
  checkSplitRuns<unsigned short>(150);
}

TEST(RunParallel, FailuresAreThoseOfOneRun) {
  kcImageNormalizer tool;
  tool.referenceImage(scene(kcPelRect(0, 0, 20, 20), 1), true);
  tool.train(eMatchMeanAndStddev);
  bool success = true;
  std::wstring message;
  const Image flat = constant(kcPelRect(0, 0, 20, 20), 9);
  EXPECT_FALSE(
      imgnorm::runInStrips(tool, flat, eMatchMeanAndStddev, 3, 2, success, message).isBound());
  EXPECT_FALSE(success);
  EXPECT_EQ(message, L"Cannot match when standard deviation is 0.");
  for (Method untrained : {eMatchHistogram, eLinearlyFitGrayValues, eLocalCorrection})
    EXPECT_THROW(imgnorm::runInStrips(tool, flat, untrained, 3, 2, success, message), NotTrained);
  EXPECT_THROW(kfRunParallel(tool, Image(), eMatchMeanAndStddev, 4, success, message), BadImage);
}

}  // namespace
