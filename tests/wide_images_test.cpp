// 16-bit images through the tool: the counting and mapping kernels against
// slow references, the methods against their 8-bit results on images
// scaled by 257, and the refusals.
#include <gtest/gtest.h>

#include <algorithm>

#include "host/detail/cpu_dispatch.h"
#include "imaging/gauss_sample.h"
#include "imaging/pel_histogram.h"
#include "imaging/pel_map.h"
#include "imgnorm/detail/smoothing.h"
#include "imgnorm/detail/trained_data.h"
#include "imgnorm/explain.h"
#include "imgnorm/persistence.h"
#include "pelfuncs/mask_runs.h"
#include "pelfuncs/masked_histogram.h"
#include "test_support.h"

using namespace kcImageNormalizerDefs;
using namespace testing_support;

namespace {

using Wide = kcPelBuffer<unsigned short>;

Wide scaledBy257(const Image& image) {
  return makeImage<unsigned short>(image.window(),
                                   [&](long x, long y) { return 257UL * image.get(x, y); });
}

kcImageNormalizer wideTool(const Wide& reference, int bits, Method methods,
                           const Image& mask = Image()) {
  kcImageNormalizer tool;
  tool.referenceImage(reference, bits, true);
  if (mask.isBound()) tool.maskImage(mask, true);
  tool.train(methods);
  return tool;
}

// Pels of any level 0..255, some of them 0 (outside the mask).
// About a third of the pels off, never all of them: the window's first pel
// is always on, so that a mask never empties a small window's histogram.
Image randomMask(const kcPelRect& r) {
  return makeImage(r, [&](long x, long y) {
    const bool first = x == r.x() && y == r.y();
    return !first && uniform(0, 2) == 0 ? 0 : uniform(1, 255);
  });
}

}  // namespace

TEST(WideImages, MaskedCountsMatchASlowCount) {
  for (int trial = 0; trial < 60; ++trial) {
    const int bits = static_cast<int>(uniform(1, 16));
    const kcPelRect window = randomWindow(180, 12);
    // Some pels above the bits, which are counted apart.
    const Wide image = randomImage<unsigned short>(window, 0, (1U << bits) + 20);
    // One set rectangle a row: few enough runs for kcMaskRuns to keep them.
    const kcPelRect maskWindow(uniform(-10, 10), uniform(-5, 5), uniform(70, 160), uniform(1, 12));
    const kcPelRect set = maskWindow.trim(uniform(0, 20), 0, uniform(0, 20), uniform(0, 3), false);
    const Image mask = makeImage(
        maskWindow, [&](long x, long y) { return inside(set, x, y) ? uniform(1, 255) : 0; });
    std::vector<unsigned long> expected(std::size_t{1} << bits, 0);
    unsigned long expectedAbove = 0;
    const kcPelRect overlap = window & mask.window();
    for (long y = overlap.y(); y < overlap.bottom(); ++y)
      for (long x = overlap.x(); x < overlap.right(); ++x) {
        if (mask.get(x, y) == 0) continue;
        const unsigned v = image.get(x, y);
        if (v < expected.size())
          ++expected[v];
        else
          ++expectedAbove;
      }
    std::vector<unsigned long> byMask, byRuns;
    const unsigned long aboveByMask = kf_MaskedPelHistogram(image, bits, mask, byMask);
    const kcMaskRuns runs(mask);
    ASSERT_TRUE(runs.isBound());
    const unsigned long aboveByRuns = kf_MaskedPelHistogram(image, bits, runs, byRuns);
    if (overlap.isNull()) {
      EXPECT_TRUE(byMask.empty() && byRuns.empty());
      continue;
    }
    EXPECT_EQ(byMask, expected) << "trial " << trial;
    EXPECT_EQ(byRuns, expected) << "trial " << trial;
    EXPECT_EQ(aboveByMask, expectedAbove);
    EXPECT_EQ(aboveByRuns, expectedAbove);
  }
}

TEST(WideImages, MapsThroughAFullTable) {
  const Wide image = randomImage<unsigned short>(kcPelRect(3, -2, 37, 5), 0, 65535);
  std::vector<unsigned short> wide(65536);
  for (std::size_t v = 0; v < wide.size(); ++v) wide[v] = static_cast<unsigned short>(v * 7 + 3);
  EXPECT_TRUE(pelsAre(kfPelMap(image, wide), image.window(),
                      [&](long x, long y) { return wide[image.get(x, y)]; }));
  // A table of 2^bits entries grows with its top entry.
  const std::vector<unsigned char> grown = kfWideMapTable(std::vector<unsigned char>{9, 4, 6});
  ASSERT_EQ(grown.size(), 65536u);
  EXPECT_EQ(grown[2], 6);
  EXPECT_EQ(grown[65535], 6);
  EXPECT_TRUE(pelsAre(kfPelMap(image, grown), image.window(),
                      [&](long x, long y) { return grown[image.get(x, y)]; }));
}

// An 8-bit image and reference scaled by 257 give the 8-bit result scaled
// by 257: exactly for histogram matching (every level it meets is a
// multiple of 257), within half an 8-bit level for the fit (it rounds on
// both scales) and within one level for the truncating linear maps.
// Results of 2^22 pels and more (8 MB) are written past the cache a block
// at a time: rows that start anywhere within a 32-byte block, and a map in
// place, on each kernel build.
TEST(WideImages, MapsLargeResultsThroughAFullTable) {
  std::vector<unsigned short> table(65536);
  for (std::size_t v = 0; v < table.size(); ++v)
    table[v] = static_cast<unsigned short>(v * 40503 + 11);
  const kcPelRect window(3, -2, 2051, 2049);
  const Wide src = makeImage<unsigned short>(
      window, [](long x, long y) { return (x * 7919 + y * 104729 + (x ^ (y << 3))) & 0xFFFF; });
  for (bool plain : {false, true}) {
    const kcPlainKernelsScope scope(plain);
    for (long lead : {0L, 3L, 15L}) {
      Wide dst(window.trim(-lead, 0, 0, 0, false), 32);  // rows start lead pels into a block
      dst.window(window, false);
      kfPelMap(src, table, dst);
      ASSERT_TRUE(pelsAre(dst, window, [&](long x, long y) { return table[src.get(x, y)]; }))
          << "lead " << lead << " plain " << plain;
    }
    Wide inPlace = kfPelCopy<unsigned short>(src);
    kfPelMap(inPlace, table, inPlace);
    ASSERT_TRUE(pelsAre(inPlace, window, [&](long x, long y) { return table[src.get(x, y)]; }))
        << "in place, plain " << plain;
  }
}

TEST(WideImages, ScaledBy257TheMethodsGiveTheEightBitResults) {
  const struct {
    Method method;
    long tolerance;
  } methods[] = {{eMatchHistogram, 0},
                 {eMatchMeanAndStddev, 257},
                 {eMatchHistogramTails, 257},
                 {eLinearlyFitGrayValues, 129}};
  for (int trial = 0; trial < 24; ++trial) {
    const kcPelRect window = randomWindow(48, 30, 3);
    const Image reference = randomImage(window, uniform(0, 60), uniform(120, 255));
    const Image image = randomImage(randomWindow(48, 30, 3), uniform(0, 100), uniform(140, 255));
    const Image mask = trial % 2 ? randomMask(window) : Image();
    for (const auto& [method, tolerance] : methods) {
      const kcImageNormalizer narrow = trainedTool(reference, method, mask);
      const kcImageNormalizer wide = wideTool(scaledBy257(reference), 16, method, mask);
      // A fit with too few distinct pairs throws at both depths alike.
      RunOutcome expected;
      bool success = false;
      std::wstring message;
      Wide result;
      const std::wstring narrowError =
          messageOf<kcException>([&] { expected = runTool(narrow, image, method); });
      const std::wstring wideError = messageOf<kcException>(
          [&] { result = wide.run(scaledBy257(image), method, success, message); });
      ASSERT_EQ(wideError, narrowError) << "trial " << trial << " method " << method;
      ASSERT_EQ(success, expected.success) << "trial " << trial << " method " << method;
      EXPECT_EQ(message, expected.message);
      if (!expected.result.isBound()) {
        EXPECT_FALSE(result.isBound());
        continue;
      }
      ASSERT_EQ(result.window(), expected.result.window());
      EXPECT_TRUE(pelsAre(result, result.window(),
                          [&](long x, long y) {
                            const long want = 257L * expected.result.get(x, y);
                            const long got = result.get(x, y);
                            return std::abs(got - want) <= tolerance ? got : want;
                          }))
          << "trial " << trial << " method " << method;
    }
  }
}

namespace {

// Both depths of one tool's local correction parameters.
struct LocalSetup {
  Method method;
  kcPair<long> neighborhood, granularity, range;

  void apply(kcImageNormalizer& tool, const Image& mask, Method methods) const {
    tool.neighborhoodSize(neighborhood);
    tool.granularity(granularity);
    tool.intensityVariationRange(range);
    if (mask.isBound()) tool.maskImage(mask, true);
    tool.train(methods);
  }
  kcImageNormalizer narrow(const Image& reference, const Image& mask) const {
    kcImageNormalizer tool;
    tool.referenceImage(reference, true);
    apply(tool, mask, method);
    return tool;
  }
  kcImageNormalizer wide(const Wide& reference, int bits, const Image& mask) const {
    kcImageNormalizer tool;
    tool.referenceImage(reference, bits, true);
    apply(tool, mask, method);
    return tool;
  }
};

Wide runWide(const kcImageNormalizer& tool, const Wide& image, Method method) {
  bool success = false;
  std::wstring message;
  const Wide result = tool.run(image, method, success, message);
  EXPECT_TRUE(success);
  return result;
}

}  // namespace

// Differences within +-127, where the 8-bit correction does not clamp: the
// 16-bit one on the images times 257 gives the 8-bit result times 257. The
// median and the full-size smoothing lose less than one 8-bit level to
// truncation; a reduced background passes three truncating steps. Masked
// means at 16 bits divide by 15-bit weights, which costs a few 16-bit
// levels more.
TEST(WideImages, ScaledBy257TheLocalCorrectionsFollowTheEightBitOnes) {
  for (int trial = 0; trial < 16; ++trial) {
    const kcPelRect window = randomWindow(50, 36, 3);
    const Image reference = randomImage(window, 60, 190);
    const long slope = uniform(-3, 3), shift = uniform(-40, 40);
    const Image image = makeImage(window, [&](long x, long y) {
      return std::clamp<long>(reference.get(x, y) + shift + slope * (x - y) / 4 + uniform(-9, 9), 0,
                              255);
    });
    const Image mask = trial % 2 ? randomMask(window) : Image();
    const long g = trial % 4 < 2 ? 1 : uniform(2, 3);
    const kcPair<long> neighborhood(uniform(3, 17), uniform(3, 17));
    const kcPair<long> range(-uniform(40, 127), uniform(40, 127));
    // Half the trials on the plain kernel builds: the same pels on each.
    const kcPlainKernelsScope plain(trial % 4 == 1 || trial % 4 == 2);
    for (Method method : {eLocalCorrection, eLocalCorrectionEnhanced}) {
      const LocalSetup narrow{method, neighborhood, {g, g}, range};
      const LocalSetup wide{
          method, neighborhood, {g, g}, kcPair<long>(257 * range.x(), 257 * range.y())};
      const Image expected = runTool(narrow.narrow(reference, mask), image, method).result;
      const Wide result =
          runWide(wide.wide(scaledBy257(reference), 16, mask), scaledBy257(image), method);
      const long tolerance = g > 1 ? 3 * 257 : (method == eLocalCorrection ? 257 + 8 : 0);
      ASSERT_EQ(result.window(), expected.window());
      EXPECT_TRUE(pelsAre(result, result.window(),
                          [&](long x, long y) {
                            const long want = 257L * expected.get(x, y);
                            const long got = result.get(x, y);
                            return std::abs(got - want) <= tolerance ? got : want;
                          }))
          << "trial " << trial << " method " << method << " granularity " << g;
    }
  }
}

// An unmasked Gaussian run at full size is the image less the Gaussian mean
// of its clamped differences to the reference (held with an offset of
// 2^16), rounded: against that mean taken of a stored image of the
// differences, at both depths of bits, kernels whose sums need 32-bit,
// mixed or 64-bit lanes, and limits that clamp or do not.
TEST(WideImages, UnmaskedGaussianMeansSmoothTheStoredDifferences) {
  for (int trial = 0; trial < 24; ++trial) {
    const int bits = trial % 3 == 0 ? 12 : 16;
    const long top = (1L << bits) - 1;
    const kcPelRect window(uniform(-4, 4), uniform(-4, 4), uniform(4, 40), uniform(4, 30));
    const Wide reference = randomImage<unsigned short>(window, 0, static_cast<unsigned>(top));
    const Wide image = randomImage<unsigned short>(
        window.trim(uniform(-3, 1), uniform(-3, 1), uniform(-3, 1), uniform(-3, 1), false), 0,
        static_cast<unsigned>(top));
    // Tall neighbourhoods: the vertical kernel sets the lanes.
    const long tall = trial % 4 == 0 ? uniform(150, 260) : uniform(1, 120);
    const long limit = trial % 2 ? 65535 : uniform(0, 5000);
    const LocalSetup setup{
        eLocalCorrection, {uniform(1, 120), tall}, {1, 1}, {-uniform(0, limit), limit}};
    const kcPlainKernelsScope plain(trial % 5 == 1);
    kcCorrectionField field;
    const Wide result = setup.wide(reference, bits, Image()).run(image, eLocalCorrection, field);
    const kcPelRect rect = window & image.window();
    ASSERT_EQ(result.window(), rect);
    const long l = std::min(limit, top);
    const kcPelBuffer<unsigned> stored = makeImage<unsigned>(rect, [&](long x, long y) {
      return static_cast<unsigned>(
          65536 + std::clamp(long(image.get(x, y)) - long(reference.get(x, y)), -l, l));
    });
    kcGaussSampleParams params(
        kcPair<long>(1, 1),
        imgnorm::smoothingKernelSize(imgnorm::reducedNeighborhood(setup.neighborhood, {1, 1})),
        1.0);
    params.doRounding(true);
    kcPelBuffer<unsigned> mean;
    kfGaussSample<unsigned, unsigned>(stored, mean, params);
    EXPECT_TRUE(pelsAre(result, rect,
                        [&](long x, long y) {
                          return std::clamp(long(image.get(x, y)) - (long(mean.get(x, y)) - 65536),
                                            0L, top);
                        }))
        << "trial " << trial;
    EXPECT_TRUE(pelsAre(field.difference, rect,
                        [&](long x, long y) { return long(mean.get(x, y)) - 65536; }))
        << "trial " << trial;
  }
}

// Offsets far beyond 8 bits are taken away within the range and clamped to
// it beyond, at full size and reduced: exactly, but for the masked mean's
// division by 15-bit weights. (A reduced masked mean blends the neutral
// difference outside the mask in near its edges, at both depths.)
TEST(WideImages, LocalCorrectionsRemoveWideOffsetsUpToTheRange) {
  const Wide reference = randomImage<unsigned short>(kcPelRect(3, -2, 40, 30), 20000, 40000);
  const Image mask = randomMask(reference.window());
  for (const long offset : {-19999L, -4096L, 1L, 25535L}) {
    for (const long limit : {65535L, 3000L}) {
      const Wide image = makeImage<unsigned short>(
          reference.window(), [&](long x, long y) { return reference.get(x, y) + offset; });
      const long removed = std::clamp(offset, -limit, limit);
      for (Method method : {eLocalCorrection, eLocalCorrectionEnhanced})
        for (long g : {1L, 3L}) {
          const LocalSetup setup{method, {9, 7}, {g, g}, {-limit, limit}};
          for (const Image& m : {Image(), mask}) {
            const bool maskedMean = m.isBound() && method == eLocalCorrection;
            if (maskedMean && g > 1) continue;
            const long tolerance = maskedMean ? 4 : 0;
            const Wide result = runWide(setup.wide(reference, 16, m), image, method);
            EXPECT_TRUE(pelsAre(result, result.window(),
                                [&](long x, long y) {
                                  const long want = image.get(x, y) - removed;
                                  const bool outside = m.isBound() && m.get(x, y) == 0;
                                  const long got = result.get(x, y);
                                  return outside || std::abs(got - want) <= tolerance ? got : want;
                                }))
                << "offset " << offset << " limit " << limit << " method " << method
                << " granularity " << g << (m.isBound() ? " masked" : "");
          }
        }
    }
  }
}

TEST(WideImages, TheWholeImageRuleHoldsAtSixteenBits) {
  const Image reference = randomImage(kcPelRect(0, 0, 30, 20), 20, 200);
  const Image image = randomImage(kcPelRect(0, 0, 17, 41), 0, 255);
  for (Method method : {eMatchHistogram, eLinearlyFitGrayValues}) {
    const kcNormalizationExplanation narrow =
        kfExplainWholeImage(trainedTool(reference, method), image, method);
    const kcNormalizationExplanation wide = kfExplainWholeImage(
        wideTool(scaledBy257(reference), 16, method), scaledBy257(image), method);
    ASSERT_TRUE(narrow.success && wide.success);
    ASSERT_EQ(wide.wideMap.size(), 65536u);
    EXPECT_TRUE(wide.map.empty());
    for (int v = 0; v < 256; ++v)
      EXPECT_NEAR(wide.wideMap[257 * v], 257 * narrow.map[v], method == eMatchHistogram ? 0 : 129)
          << "level " << v;
  }
}

TEST(WideImages, LevelsAboveTheBitsAreRefusedWhereTheyAreCounted) {
  const Wide reference = randomImage<unsigned short>(kcPelRect(0, 0, 20, 10), 0, 4095);
  Wide bad = kfPelCopy<unsigned short>(reference);
  bad.set(4, 5, 4096);
  bad.set(7, 1, 65535);
  kcImageNormalizer tool;
  tool.referenceImage(bad, 12, true);
  EXPECT_EQ(messageOf<BadImage>([&] { tool.train(eMatchHistogram); }),
            L"The image has 2 pels above its 12 bits.");

  const kcImageNormalizer trained = wideTool(reference, 12, eMatchHistogram);
  bool success = false;
  std::wstring message;
  EXPECT_EQ(messageOf<BadImage>([&] { trained.run(bad, eMatchHistogram, success, message); }),
            L"The image has 2 pels above its 12 bits.");
  // Outside the mask, such a pel is never counted and maps as the top level.
  Image mask = constant(reference.window(), 255);
  mask.set(4, 5, 0);
  const kcImageNormalizer masked = wideTool(reference, 12, eMatchHistogram, mask);
  Wide outside = kfPelCopy<unsigned short>(reference);
  outside.set(4, 5, 50000);
  outside.set(0, 0, 4095);
  const Wide result = masked.run(outside, eMatchHistogram, success, message);
  ASSERT_TRUE(success);
  EXPECT_EQ(result.get(4, 5), result.get(0, 0));
}

TEST(WideImages, DepthsAndMethodsAreRefusedClearly) {
  const Wide wideReference = randomImage<unsigned short>(kcPelRect(0, 0, 9, 9), 0, 1023);
  const Image narrowReference = randomImage(kcPelRect(0, 0, 9, 9));
  const kcImageNormalizer wide = wideTool(wideReference, 10, eMatchHistogram);
  const kcImageNormalizer narrow = trainedTool(narrowReference, eMatchHistogram);
  bool success = false;
  std::wstring message;
  EXPECT_EQ(
      messageOf<BadImage>([&] { wide.run(narrowReference, eMatchHistogram, success, message); }),
      L"This tool is for 16-bit images; the image has 8-bit pels.");
  EXPECT_EQ(
      messageOf<BadImage>([&] { narrow.run(wideReference, eMatchHistogram, success, message); }),
      L"This tool is for 8-bit images; the image has 16-bit pels.");
  kcImageNormalizer tool;
  EXPECT_EQ(messageOf<BadParams>([&] { tool.referenceImage(wideReference, 17, true); }),
            L"The bits of a 16-bit reference must be 1 to 16.");
  tool.referenceImage(wideReference, 10, true);
  EXPECT_EQ(tool.bits(), 10);
  tool.referenceImage(narrowReference, true);
  EXPECT_FALSE(tool.isWide());
  EXPECT_EQ(tool.bits(), 8);
}

TEST(WideImages, ToolFilesKeepTheDepthAndRefuseDamage) {
  const Wide reference = randomImage<unsigned short>(kcPelRect(2, 1, 11, 7), 0, 4095);
  const kcImageNormalizer tool = wideTool(reference, 12, eMatchHistogram | eLinearlyFitGrayValues);
  const Bytes bytes = kfImageNormalizerBytes(tool);
  const kcImageNormalizer loaded = kfImageNormalizerFromBytes(bytes);
  EXPECT_TRUE(loaded == tool);
  EXPECT_EQ(loaded.bits(), 12);
  EXPECT_EQ(loaded.trainedMethods(), tool.trainedMethods());
  EXPECT_EQ(loaded.referenceHistogram(), tool.referenceHistogram());
  // An 8-bit tool keeps the 8-bit form, whose version byte is 0.
  const Bytes narrow =
      kfImageNormalizerBytes(trainedTool(randomImage(kcPelRect(0, 0, 3, 3)), eMatchHistogram));
  EXPECT_EQ(narrow[8], 0);
  EXPECT_EQ(bytes[8], 1);

  // The bits byte comes before the reference: version 0, bound, 2-byte pels.
  std::size_t at = 0;
  for (std::size_t i = 9; at == 0 && i + 3 < bytes.size(); ++i)
    if (bytes[i] == 12 && bytes[i + 1] == 0 && bytes[i + 2] == 1 && bytes[i + 3] == 2) at = i;
  ASSERT_NE(at, 0u);
  for (unsigned char bits : {0, 17, 11}) {
    Bytes damaged = bytes;
    damaged[at] = bits;
    EXPECT_THROW(kfImageNormalizerFromBytes(damaged), kcArchive::Error) << int{bits};
  }
}
