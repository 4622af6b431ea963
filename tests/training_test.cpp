#include <gtest/gtest.h>

#include <functional>

#include "host/str.h"
#include "imgnorm/image_normalizer.h"
#include "imgnorm/detail/trained_data.h"
#include "test_support.h"

using namespace kcImageNormalizerDefs;
using namespace testing_support;

namespace {

Image ones(const kcPelRect& r, std::function<bool(long, long)> on) {
  return makeImage(r, [&](long x, long y) { return on(x, y) ? 1 : 0; });
}

}  // namespace

// Every refusal of training and running: the class thrown and its exact message, in check order.
TEST(Refusals, TrainingAndRunningThrowTheClassAndMessage) {
  const Image ref = randomImage(kcPelRect(0, 0, 40, 30)),
              img = randomImage(kcPelRect(0, 0, 10, 10));
  kcImageNormalizer untrained, trained = trainedTool(ref, eMatchHistogram), zeroMask, disjoint;
  untrained.train(eIdentity);
  EXPECT_EQ(untrained.trainedMethods(), eIdentity);
  zeroMask.referenceImage(ref, true);
  zeroMask.maskImage(Image(40, 30), true);  // all zero
  disjoint.referenceImage(ref, true);
  disjoint.maskImage(constant(kcPelRect(100, 100, 5, 5), 255), true);
  kcImageNormalizer allMasked = trainedTool(ref, eLinearlyFitGrayValues, Image(40, 30));
  bool ok = true;
  std::wstring msg = L"stale";
  const auto run = [&](const kcImageNormalizer& t, const Image& i, long m) {
    return [&t, i, m, &ok, &msg] { t.run(i, static_cast<Method>(m), ok, msg); };
  };
  const std::wstring unknown = L"<methods> contains an unknown normalization method.";
  const struct {
    std::function<void()> act;
    bool (*is)(const std::exception&);
    std::wstring message;
  } table[] = {
      {[&] { untrained.train(static_cast<Method>(64)); }, isA<CanNotTrain>, unknown},
      {[&] { untrained.train(static_cast<Method>(64 | 1)); }, isA<CanNotTrain>, unknown},
      {[&] { untrained.train(static_cast<Method>(3)); }, isA<CanNotTrain>,
       L"referenceImage() must be bound for the specified methods."},
      {[&] { trained.train(static_cast<Method>(64)); }, isA<CanNotTrain>, unknown},
      {[&] { zeroMask.train(eMatchHistogram | eLocalCorrection); }, isA<CanNotTrain>,
       L"Histogram must be non-empty for the specified methods."},
      {[&] { disjoint.train(eMatchMeanAndStddev); }, isA<CanNotTrain>,
       L"Histogram must be non-empty for the specified methods."},
      {run(trained, img, 3), isA<BadParams>,
       L"Cannot run with more than one normalization method."},
      {run(trained, img, 64), isA<BadParams>, L"Cannot specify an unknown normalization method."},
      {run(trained, img, 65), isA<BadParams>, L"Cannot specify an unknown normalization method."},
      {run(trained, img, eLinearlyFitGrayValues), isA<NotTrained>,
       L"This tool was not trained for the specified  method."},
      {run(trained, Image(), eMatchHistogram), isA<BadImage>, L"Image must be bound."},
      {run(trained, Image(), eMatchMeanAndStddev), isA<NotTrained>,
       L"This tool was not trained for the specified  method."},
      {run(allMasked, ref, eLinearlyFitGrayValues), isA<kcHostError>,
       L"Cannot fit a line to fewer than two distinct points."},
  };
  int row = 0;
  for (const auto& r : table) {
    ok = true;
    try {
      r.act();
      ADD_FAILURE() << "row " << row << " threw nothing";
    } catch (const kcException& e) {
      EXPECT_TRUE(r.is(e)) << "row " << row;
      EXPECT_EQ(e.message(), r.message) << "row " << row;
    }
    EXPECT_TRUE(row < 6 || (!ok && msg.empty())) << "row " << row;
    ++row;
  }
  EXPECT_EQ(trained.trainedMethods(), eMatchHistogram);    // unchanged by the refusal
  EXPECT_EQ(zeroMask.trainedMethods(), eLocalCorrection);  // the non-global methods are kept
  EXPECT_TRUE(zeroMask.maskWeights().isBound());
  EXPECT_TRUE(disjoint.referenceHistogram().empty());
  EXPECT_EQ(disjoint.trainedMethods(), eIdentity);
}

TEST(Training, TrainedMembersFollowMaskGranularityAndMethods) {
  kcImageNormalizer tool = trainedTool(randomImage(kcPelRect(0, 0, 40, 30)), eLocalCorrection);
  EXPECT_FALSE(tool.binaryMask().isBound() || tool.sampledMask().isBound() ||
               tool.maskWeights().isBound());
  EXPECT_EQ(tool.referenceStats().nSamp(), 40u * 30u);
  EXPECT_TRUE(tool.fitAngles().empty());
  tool.maskImage(ones(kcPelRect(0, 0, 40, 30), [](long x, long) { return x % 2; }), true);
  tool.train(eLocalCorrectionEnhanced);
  ASSERT_EQ(tool.binaryMask().window(), kcPelRect(0, 0, 40, 30));
  EXPECT_TRUE(pelsAre(tool.binaryMask(), tool.binaryMask().window(),
                      [](long x, long) { return x % 2 ? 255 : 0; }));
  EXPECT_NE(tool.binaryMask().root(), tool.maskImage().root());
  // A mask of 0 and 255 only is its own binary mask: no second image-sized copy.
  tool.maskImage(tool.binaryMask(), true);
  tool.train(eLocalCorrectionEnhanced);
  EXPECT_EQ(tool.binaryMask().root(), tool.maskImage().root());
  EXPECT_FALSE(tool.sampledMask().isBound() || tool.maskWeights().isBound());
  EXPECT_EQ(tool.referenceStats().nSamp(), 20u * 30u);
  // The same for a mask in long runs, unless one set pel is below 255.
  Image halves = makeImage(kcPelRect(0, 0, 40, 30), [](long, long y) { return y < 10 ? 255 : 0; });
  for (unsigned char corner : {255, 7}) {
    halves.set(0, 0, corner);
    tool.maskImage(halves, true);
    tool.train(eLocalCorrectionEnhanced);
    EXPECT_EQ(tool.binaryMask().root() == tool.maskImage().root(), corner == 255);
    EXPECT_EQ(tool.binaryMask().get(0, 0), 255);
  }
  tool.maskImage(tool.binaryMask(), true);
  tool.train(eLocalCorrectionEnhanced);
  tool.train(eLocalCorrection);
  ASSERT_TRUE(tool.maskWeights().isBound());
  EXPECT_EQ(tool.maskWeights().window(), tool.binaryMask().window());
  tool.granularity(kcPair<long>(1, 3));
  EXPECT_EQ(tool.trainedMethods(), eIdentity);  // setters untrain
  tool.train(eLocalCorrection | eLinearlyFitGrayValues);
  ASSERT_TRUE(tool.sampledMask().isBound());
  EXPECT_EQ(tool.sampledMask().window().size(), kcPair<long>(40, 10));
  EXPECT_EQ(tool.maskWeights().window().size(), kcPair<long>(40, 10));
  EXPECT_EQ(tool.fitAngles().size(), 63u);
  tool.set(kcPair<double>(0.1, 0.9), kcPair<long>(-5, 5), true);  // set keeps the trained set
  EXPECT_EQ(tool.trainedMethods(), eLocalCorrection | eLinearlyFitGrayValues);
  // A one-pel neighbourhood keeps the weights at full resolution.
  tool.granularity(kcPair<long>(2, 2));
  tool.neighborhoodSize(kcPair<long>(1, 1));
  tool.train(eLocalCorrection);
  EXPECT_TRUE(tool.sampledMask().isBound());
  EXPECT_EQ(tool.maskWeights().window(), tool.binaryMask().window());
}

// An 8x8 block of mask at (16, 16) reduces to the 2x2 block at (4, 4), grown by a diamond.
TEST(Training, SubsampledMaskIsBinaryAndDilated) {
  kcImageNormalizer tool;
  tool.referenceImage(randomImage(kcPelRect(0, 0, 40, 40)), true);
  tool.maskImage(
      makeImage(kcPelRect(0, 0, 40, 40),
                [](long x, long y) { return x >= 16 && x < 24 && y >= 16 && y < 24 ? 9 : 0; }),
      true);
  tool.granularity(kcPair<long>(4, 4));
  tool.train(eLocalCorrectionEnhanced);
  const auto& s = tool.sampledMask();
  const kcPelRect& w = s.window();
  ASSERT_EQ(w.size(), kcPair<long>(10, 10));
  EXPECT_TRUE(pelsAre(s, w, [&](long x, long y) {
    const long i = x - w.x(), j = y - w.y();
    const bool column = i >= 4 && i < 6 && j >= 3 && j < 7,
               row = j >= 4 && j < 6 && i >= 3 && i < 7;
    return column || row ? 255 : 0;
  }));
}

TEST(Training, RecordsItsInputs) {
  const Image ref = randomImage(kcPelRect(0, 0, 40, 30));
  kcImageNormalizer tool = trainedTool(ref, eIdentity);
  kcDiagObject diag, other;
  tool.train(eMatchMeanAndStddev, &diag, 0x10000);
  ASSERT_EQ(diag.records().size(), 2u);
  EXPECT_EQ(diag.records()[0].name, L"referenceImage");
  EXPECT_EQ(diag.records()[0].kind, kcDiagRecord::eImage);
  EXPECT_EQ(diag.records()[1].name, L"Parameters");
  EXPECT_EQ(
      diag.records()[1].text,
      L"trainedMethods=(2 | )\nkeepMaskedPixels=false\ntailFractions=( 0 , 1 )\n"
      L"neighborhoodSize=( 101 , 101 )\ngranularity=( 1 , 1 )\nintensityRange=( -127 , 127 )\n");
  tool.train(eIdentity, &other, 0x20000);
  EXPECT_TRUE(other.records().empty());
  tool.maskImage(constant(kcPelRect(0, 0, 40, 30), 1), true);
  tool.train(eLocalCorrection | eMatchHistogram, &other, ~0UL);
  ASSERT_EQ(other.records().size(), 3u);
  EXPECT_EQ(other.records()[1].text.substr(0, 23), L"trainedMethods=(1 | 16 ");
  EXPECT_EQ(other.records()[2].name, L"maskImage");
}

TEST(TrainedDataHelpers, NeighbourhoodsKernelsAnglesAndFixedPoint) {
  using namespace imgnorm;
  EXPECT_EQ(reducedNeighborhood({101, 101}, {2, 2}), kcPair<long>(51, 51));
  EXPECT_EQ(reducedNeighborhood({100, 4}, {1, 1}), kcPair<long>(101, 5));
  EXPECT_EQ(reducedNeighborhood({1, 1}, {4, 4}), kcPair<long>(1, 1));
  const long p[] = {1, 3, 5, 51, 101}, k[] = {0, 2, 4, 26, 52};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(smoothingKernelSize({p[i], p[i]}).x(), k[i]) << p[i];
  EXPECT_TRUE(isSubsampling({1, 3}));
  EXPECT_FALSE(isSubsampling({1, 1}));
  EXPECT_FALSE(usesSubsampling({1, 1}, {2, 2}));
  EXPECT_TRUE(usesSubsampling({1, 5}, {2, 2}));  // one side wider than a pel suffices
  std::vector<kcDegree> angles;
  makeFitAngles(angles);
  ASSERT_EQ(angles.size(), 63u);
  const double pinned[][2] = {{0, 1.736}, {3, 6.911}, {31, 44.119}, {32, 46.790}, {62, 88.264}};
  for (const auto& a : pinned) EXPECT_NEAR(angles[a[0]].toDouble(), a[1], 1e-3);
  for (std::size_t i = 1; i < angles.size(); ++i)
    EXPECT_LT(angles[i - 1].toDouble(), angles[i].toDouble());
  // Smoothing to fixed point keeps the source's transform and scales by 128.
  Image src = constant(kcPelRect(0, 0, 20, 10), 3);
  const kc2XformHandle shifted = kc2XformLinear::handle(kcXform<2>::scaleAndTranslate(1, 1, 5, 5));
  src.imageFromClientXformBase(shifted);
  kcPelBuffer<unsigned short> out;
  smoothToFixedPoint(src, {5, 5}, out);
  EXPECT_EQ(src.imageFromClientXformBase(), shifted);
  EXPECT_EQ(out.clientFromImageXformBase(), src.clientFromImageXformBase());
  EXPECT_TRUE(pelsAre(out, src.window(), [](long, long) { return 3 * 128; }));
}

// A local method at reduced resolution stretches its background back over
// the region: references past 32767 pels a side are refused at training,
// naming the limit, and the boundary itself trains and runs.
TEST(Refusals, ReducedResolutionNeedsSidesTheSamplingTakes) {
  const struct {
    kcPelRect reference;
    kcPair<long> granularity, neighborhood;
    Method methods;
    bool refused;
  } table[] = {
      {kcPelRect(0, 0, 32768, 2), {2, 2}, {9, 9}, eLocalCorrection, true},
      {kcPelRect(5, -3, 3, 32768), {1, 2}, {9, 9}, eLocalCorrectionEnhanced, true},
      {kcPelRect(0, 0, 32767, 3), {2, 2}, {9, 9}, eLocalCorrection | eLocalCorrectionEnhanced, false},
      {kcPelRect(0, 0, 32768, 2), {2, 2}, {1, 1}, eLocalCorrection, false},  // no reduction
      {kcPelRect(0, 0, 32768, 2), {1, 1}, {9, 9}, eLocalCorrection, false},
      {kcPelRect(0, 0, 32768, 2), {2, 2}, {9, 9}, eMatchHistogram | eLinearlyFitGrayValues, false},
  };
  for (const auto& c : table) {
    kcImageNormalizer tool;
    tool.referenceImage(randomImage(c.reference), true);
    tool.granularity(c.granularity);
    tool.neighborhoodSize(c.neighborhood);
    const std::wstring message = messageOf<BadParams>([&] { tool.train(c.methods); });
    if (c.refused) {
      EXPECT_EQ(message, L"Granularity above 1 works on references of at most 32767 pels a side; "
                         L"this one is " + std::to_wstring(c.reference.width()) + L" x " +
                             std::to_wstring(c.reference.height()) + L".");
      EXPECT_EQ(tool.trainedMethods(), eIdentity);
      continue;
    }
    ASSERT_EQ(message, L"<no exception>");
    for (Method m : {eLocalCorrection, eLocalCorrectionEnhanced, eMatchHistogram})
      if (c.methods & m) {
        EXPECT_TRUE(runTool(tool, tool.referenceImage(), m).success);
      }
  }
}
