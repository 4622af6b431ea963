// One run split over strips of rows gives exactly the pels of one run.
#include "imgnorm/run_parallel.h"

#include <gtest/gtest.h>

#include "imaging/pel_equal.h"
#include "imgnorm/run_parts.h"
#include "test_support.h"

namespace {

using namespace kcImageNormalizerDefs;
using testing_support::makeImage;
using testing_support::randomImage;
using Image = kcPelBuffer<unsigned char>;

// A textured scene with a gradient, so that every method has work to do.
Image scene(const kcPelRect& r, long seed) {
  const Image noise = randomImage(r, 0, 40);
  return makeImage(r, [&](long x, long y) {
    return 30 + (x * 3 + y * 2 + seed * 7) % 150 + noise.get(x, y);
  });
}

struct StripSetup {
  kcPair<long> neighborhood, granularity;
  bool mask, keep;
  kcPelRect imageWindow;
};

const StripSetup kSetups[] = {
    {{9, 9}, {1, 1}, false, false, kcPelRect(0, 0, 37, 29)},
    {{15, 7}, {1, 1}, true, true, kcPelRect(-3, 2, 40, 31)},
    {{21, 21}, {2, 2}, true, false, kcPelRect(0, 0, 37, 29)},
    {{31, 11}, {3, 4}, false, false, kcPelRect(1, -2, 36, 33)},
    {{101, 101}, {1, 1}, true, false, kcPelRect(0, 0, 37, 29)},
    {{5, 5}, {1, 1}, false, false, kcPelRect(0, 0, 37, 3)},  // fewer rows than strips
};

TEST(RunInStrips, EveryMethodGivesThePelsOfOneRun) {
  const kcPelRect referenceWindow(0, 0, 37, 29);
  for (const StripSetup& s : kSetups) {
    kcImageNormalizer tool;
    tool.referenceImage(scene(referenceWindow, 1), true);
    if (s.mask)
      tool.maskImage(makeImage(kcPelRect(2, 1, 33, 26), [](long x, long y) { return (x * y) % 7 ? 255 : 0; }),
                     true);
    tool.neighborhoodSize(s.neighborhood);
    tool.granularity(s.granularity);
    tool.train(static_cast<Method>(kKnownMethods));
    tool.set(kcPair<double>(0.05, 0.95), kcPair<long>(-60, 80), s.keep);
    const Image image = scene(s.imageWindow, 2);
    for (Method method : {eIdentity, eMatchHistogram, eMatchMeanAndStddev, eMatchHistogramTails,
                          eLinearlyFitGrayValues, eLocalCorrection, eLocalCorrectionEnhanced}) {
      bool expectedSuccess = false, success = false;
      std::wstring expectedMessage, message = L"stale";
      const Image expected = tool.run(image, method, expectedSuccess, expectedMessage);
      for (long strips : {2L, 3L, 5L}) {
        const Image result = imgnorm::runInStrips(tool, image, method, strips, success, message);
        ASSERT_EQ(result.window(), expected.window()) << method << " strips " << strips;
        EXPECT_TRUE((kfPelEqual<unsigned char, unsigned char>(result, expected)))
            << "method " << method << " strips " << strips << " neighbourhood "
            << s.neighborhood.x() << " granularity " << s.granularity.x();
        EXPECT_EQ(success, expectedSuccess);
        EXPECT_EQ(message, expectedMessage);
        EXPECT_EQ(result.clientFromImageXform().translation().x(),
                  expected.clientFromImageXform().translation().x());
      }
    }
  }
}

TEST(RunParallel, FailuresAreThoseOfOneRun) {
  kcImageNormalizer tool;
  tool.referenceImage(scene(kcPelRect(0, 0, 20, 20), 1), true);
  tool.train(eMatchMeanAndStddev);
  bool success = true;
  std::wstring message;
  const Image flat = makeImage(kcPelRect(0, 0, 20, 20), [](long, long) { return 9; });
  EXPECT_FALSE(imgnorm::runInStrips(tool, flat, eMatchMeanAndStddev, 3, success, message).isBound());
  EXPECT_FALSE(success);
  EXPECT_EQ(message, L"Cannot match when standard deviation is 0.");
  EXPECT_THROW(kfRunParallel(tool, flat, eLocalCorrection, 4, success, message), NotTrained);
  EXPECT_THROW(kfRunParallel(tool, Image(), eMatchMeanAndStddev, 4, success, message), BadImage);
}

}  // namespace
