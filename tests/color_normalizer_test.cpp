#include "imgnorm/color_normalizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "host/archive.h"
#include "host/str.h"
#include "imaging/pel_copy.h"
#include "imaging/pel_equal.h"
#include "imaging/pel_map.h"
#include "imaging/pel_set.h"
#include "imgnorm/persistence.h"
#include "imgnorm/planar_normalizer.h"
#include "test_support.h"

using namespace kcImageNormalizerDefs;
using namespace testing_support;

namespace {

// A colour image whose channels share a texture with channel gains, on
// the scale of levels 0 .. top.
template <class Pel = unsigned char>
kcPlanesOf<Pel> colourImage(const kcPelRect& r, double gain, int offset, bool alpha,
                            long top = 255) {
  const Image texture = randomImage(r, 40, 200);
  const double scale = top / 255.0;
  kcPlanesOf<Pel> planes;
  for (int c = 0; c < 3; ++c)
    planes.push_back(makeImage<Pel>(r, [&](long x, long y) {
      return std::lround(
          std::min(double(top), (texture.get(x, y) * gain * (0.7 + 0.15 * c) + offset) * scale +
                                    uniform(0, long(scale) - 1)));
    }));
  if (alpha) planes.push_back(randomImage<Pel>(r, 0, unsigned(top)));
  return planes;
}

template <class Planes>
double chroma(const Planes& p, long x, long y, bool blue) {
  const double luma = 0.299 * p[0].get(x, y) + 0.587 * p[1].get(x, y) + 0.114 * p[2].get(x, y);
  return (blue ? p[2].get(x, y) : p[0].get(x, y)) - luma;
}

template <class Pel>
kcPelBuffer<Pel> cropped(kcPelBuffer_const<Pel> plane, const kcPelRect& window) {
  plane.window(window, false);
  return kfPelCopy(plane);
}

struct ColourCase {
  kcColorImageNormalizer::Mode mode;
  Method method;
  bool alpha;
  bool masked;
  int bits;  // 8: a tool of 8-bit images; above: of 16-bit images of these bits
};

void trainOn(kcColorImageNormalizer& tool, const kcColorPlanes& reference, int, const Image& mask,
             Method method) {
  tool.train(reference, mask, method);
}
void trainOn(kcColorImageNormalizer& tool, const kcWidePlanes& reference, int bits,
             const Image& mask, Method method) {
  tool.train(reference, bits, mask, method);
}

const auto& mapOf(const kcNormalizationExplanation& e, unsigned char) { return e.map; }
const auto& mapOf(const kcNormalizationExplanation& e, unsigned short) { return e.wideMap; }

template <class Pel>
void composeTheGrayRuns(const ColourCase& c) {
  const kcPelRect window(0, 0, 48, 36);
  const long top = (1L << c.bits) - 1;
  kcImageNormalizer configuration;
  configuration.neighborhoodSize(kcPair<long>(9, 9));
  configuration.intensityVariationRange(kcPair<long>(-top, top));
  kcColorImageNormalizer tool(c.mode, configuration);
  const Image mask = makeImage(window, [](long x, long) { return x < 30 ? 1 : 0; });
  trainOn(tool, colourImage<Pel>(window, 1.0, 10, true, top), c.bits, c.masked ? mask : Image(),
          c.method);
  const kcPlanesOf<Pel> image = colourImage<Pel>(window, 0.6, 30, c.alpha, top);

  bool success = false;
  std::wstring message;
  std::vector<kcNormalizationExplanation> explained;
  const kcResultOf<Pel> result = tool.run(image, c.method, success, message, &explained);
  ASSERT_TRUE(success);
  ASSERT_EQ(result.size(), image.size());
  // The maps the run applied are those explain finds.
  const auto explanations =
      hasMap(c.method) ? tool.explain(image, c.method) : std::vector<kcNormalizationExplanation>();
  ASSERT_EQ(explained.size(), explanations.size());
  for (std::size_t i = 0; i < explained.size(); ++i)
    EXPECT_EQ(mapOf(explained[i], Pel()), mapOf(explanations[i], Pel())) << i;
  if (c.alpha) {
    EXPECT_TRUE(kfPelEqual(result[3], cropped(image[3], result[0].window())));
  }

  const kcPlanesOf<Pel> gray = tool.grayPlanes(image);
  ASSERT_EQ(gray.size(), c.mode == kcColorImageNormalizer::eChannels ? 3u : 1u);
  if (c.mode == kcColorImageNormalizer::eLuminance) {
    EXPECT_TRUE(pelsAre(gray[0], image[0].window(), [&](long x, long y) {
      // Whole thousandths, so that halves are exact.
      return std::lround(
          (299.0 * image[0].get(x, y) + 587.0 * image[1].get(x, y) + 114.0 * image[2].get(x, y)) /
          1000);
    }));
  }
  for (std::size_t i = 0; i < gray.size(); ++i) {
    const kcPelBuffer<Pel> expected = tool.grayTools()[i].run(gray[i], c.method, success, message);
    if (c.mode == kcColorImageNormalizer::eChannels) {
      EXPECT_TRUE(kfPelEqual(result[i], expected)) << i;
      continue;
    }
    // Luminance: the result's luma is the gray result and the chroma stays,
    // within rounding, wherever no channel clipped.
    const kcPelRect& w = expected.window();
    long checked = 0;
    for (long y = w.y(); y < w.bottom(); ++y)
      for (long x = w.x(); x < w.right(); ++x) {
        // Skipped where the shift clips a channel, judged from the input.
        const double shift =
            expected.get(x, y) -
            (0.299 * image[0].get(x, y) + 0.587 * image[1].get(x, y) + 0.114 * image[2].get(x, y));
        if (std::min({image[0].get(x, y), image[1].get(x, y), image[2].get(x, y)}) + shift < 1 ||
            std::max({image[0].get(x, y), image[1].get(x, y), image[2].get(x, y)}) + shift >
                top - 1)
          continue;
        const double luma =
            0.299 * result[0].get(x, y) + 0.587 * result[1].get(x, y) + 0.114 * result[2].get(x, y);
        ASSERT_NEAR(luma, expected.get(x, y), 1.0) << x << "," << y;
        ASSERT_NEAR(chroma(result, x, y, true), chroma(image, x, y, true), 1.0);
        ASSERT_NEAR(chroma(result, x, y, false), chroma(image, x, y, false), 1.0);
        ++checked;
      }
    EXPECT_GT(checked, w.width() * w.height() / 2);
  }
}

}  // namespace

class ColourModes : public testing::TestWithParam<ColourCase> {};

TEST_P(ColourModes, ComposeTheGrayRuns) {
  if (GetParam().bits == 8)
    composeTheGrayRuns<unsigned char>(GetParam());
  else
    composeTheGrayRuns<unsigned short>(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ColourModes,
    testing::Values(
        ColourCase{kcColorImageNormalizer::eChannels, eMatchHistogram, false, false, 8},
        ColourCase{kcColorImageNormalizer::eChannels, eLocalCorrection, true, true, 8},
        ColourCase{kcColorImageNormalizer::eChannels, eLinearlyFitGrayValues, true, false, 8},
        ColourCase{kcColorImageNormalizer::eLuminance, eMatchHistogram, true, false, 8},
        ColourCase{kcColorImageNormalizer::eLuminance, eMatchMeanAndStddev, false, true, 8},
        ColourCase{kcColorImageNormalizer::eLuminance, eLocalCorrection, true, false, 8},
        ColourCase{kcColorImageNormalizer::eChannels, eMatchHistogramTails, true, true, 12},
        ColourCase{kcColorImageNormalizer::eChannels, eLocalCorrectionEnhanced, false, false, 16},
        ColourCase{kcColorImageNormalizer::eChannels, eLinearlyFitGrayValues, false, true, 10},
        ColourCase{kcColorImageNormalizer::eLuminance, eMatchHistogram, true, true, 16},
        ColourCase{kcColorImageNormalizer::eLuminance, eLocalCorrection, true, false, 12},
        ColourCase{kcColorImageNormalizer::eLuminance, eLocalCorrectionEnhanced, false, true, 14}));

TEST(ColourFiles, EachFormLoadsAsItsOwn) {
  const kcPelRect window(0, 0, 20, 16);
  for (const auto mode : {kcColorImageNormalizer::eLuminance, kcColorImageNormalizer::eChannels}) {
    kcColorImageNormalizer colour(mode, kcImageNormalizer());
    colour.train(colourImage(window, 1.0, 0, false), Image(), eMatchHistogram);
    const std::vector<unsigned char> colourBytes = kfColorImageNormalizerBytes(colour);
    EXPECT_TRUE(kfIsColorToolFile(colourBytes));
    EXPECT_EQ(kfColorImageNormalizerFromBytes(colourBytes), colour);
    EXPECT_THROW(kfImageNormalizerFromBytes(colourBytes), kcArchive::Error);
  }

  kcImageNormalizer gray;
  gray.referenceImage(randomImage(window), true);
  gray.train(eMatchHistogram);
  const std::vector<unsigned char> grayBytes = kfImageNormalizerBytes(gray);
  EXPECT_FALSE(kfIsColorToolFile(grayBytes));
  EXPECT_EQ(kfImageNormalizerFromBytes(grayBytes), gray);
  EXPECT_THROW(kfColorImageNormalizerFromBytes(grayBytes), kcArchive::Error);
}

namespace {

// A colour tool file of three channels, each a gray tool's file bytes.
Bytes colourFileOf(const std::vector<kcImageNormalizer>& channels) {
  Bytes file = {'k', 'c', 'I', 'm', 'g', 'N', 'r', 'C', 0, kcColorImageNormalizer::eChannels, 3};
  for (const auto& channel : channels) {
    const Bytes gray = kfImageNormalizerBytes(channel);
    appendU64(file, gray.size());
    file.insert(file.end(), gray.begin(), gray.end());
  }
  return file;
}

}  // namespace

// Channels whose reference or mask windows differ would be composed over
// the first one's window: such a file is refused, naming it.
TEST(ColourFiles, RefuseChannelsOverOtherWindows) {
  const kcPelRect w(0, 0, 12, 10);
  const Image mask = constant(w, 255);
  const kcImageNormalizer plain = trainedTool(randomImage(w), eMatchHistogram);
  const kcImageNormalizer masked = trainedTool(randomImage(w), eMatchHistogram, mask);
  const kcImageNormalizer shifted =
      trainedTool(randomImage(kcPelRect(0, 1, 12, 10)), eMatchHistogram);
  const kcImageNormalizer smaller =
      trainedTool(randomImage(kcPelRect(0, 0, 12, 9)), eMatchHistogram);
  const kcImageNormalizer maskedElsewhere =
      trainedTool(randomImage(w), eMatchHistogram, constant(kcPelRect(1, 0, 11, 10), 255));
  const std::string path = ::testing::TempDir() + "windows.imgn";
  for (const auto& channels :
       std::vector<std::vector<kcImageNormalizer>>{{plain, plain, shifted},
                                                   {plain, smaller, plain},
                                                   {masked, masked, plain},
                                                   {plain, masked, masked},
                                                   {masked, maskedElsewhere, masked}}) {
    kcArchive(colourFileOf(channels)).writeFile(path);
    EXPECT_EQ(messageOf<kcArchive::Error>([&] { kfLoadColorImageNormalizer(path); }),
              L"Cannot load tool file \"" + kfFromUtf8(path) +
                  L"\": Corrupt colour tool file: the channels differ in their reference or mask "
                  L"windows.");
  }
  kcArchive(colourFileOf({masked, masked, masked})).writeFile(path);
  EXPECT_EQ(kfLoadColorImageNormalizer(path).grayTools()[2], masked);
}

// A tool of 16-bit images keeps its depth through its file; channels of
// different depths are refused.
TEST(ColourFiles, KeepTheDepthOfTheirChannels) {
  const kcPelRect w(0, 0, 14, 9);
  for (const int bits : {9, 12, 16}) {
    kcColorImageNormalizer colour(kcColorImageNormalizer::eChannels, kcImageNormalizer());
    colour.train(colourImage<unsigned short>(w, 1.0, 0, false, (1L << bits) - 1), bits, Image(),
                 eMatchHistogram | eLocalCorrection);
    const kcColorImageNormalizer loaded =
        kfColorImageNormalizerFromBytes(kfColorImageNormalizerBytes(colour));
    EXPECT_EQ(loaded, colour);
    for (const auto& gray : loaded.grayTools()) {
      EXPECT_TRUE(gray.isWide());
      EXPECT_EQ(gray.bits(), bits);
    }
  }
  const auto wideOf = [&](int bits) {
    kcImageNormalizer tool;
    tool.referenceImage(randomImage<unsigned short>(w, 0, (1U << bits) - 1), bits, true);
    tool.train(eMatchHistogram);
    return tool;
  };
  const kcImageNormalizer narrow = trainedTool(randomImage(w), eMatchHistogram);
  for (const auto& channels : std::vector<std::vector<kcImageNormalizer>>{
           {wideOf(12), wideOf(12), wideOf(16)}, {narrow, wideOf(8), narrow}}) {
    EXPECT_EQ(messageOf<kcArchive::Error>(
                  [&] { kfColorImageNormalizerFromBytes(colourFileOf(channels)); }),
              L"Corrupt colour tool file: the channels differ in depth.");
  }
}

TEST(ColourImages, RefuseMismatchedPlanes) {
  kcColorImageNormalizer tool;
  kcColorPlanes planes = colourImage(kcPelRect(0, 0, 8, 8), 1.0, 0, false);
  planes[1] = randomImage(kcPelRect(0, 0, 8, 9));
  EXPECT_THROW(tool.train(planes, Image(), eMatchHistogram), BadImage);
  EXPECT_THROW(tool.train({planes[0]}, Image(), eMatchHistogram), BadImage);
}

TEST(ColourImages, TrainingKeepsCopiesOfTheCallersPlanes) {
  const kcPelRect w(0, 0, 8, 8);
  Image red = randomImage(w);
  const Image before = kfPelCopy(red);
  kcColorImageNormalizer tool(kcColorImageNormalizer::eChannels, kcImageNormalizer());
  tool.train({red, randomImage(w), randomImage(w)}, Image(), eMatchHistogram);
  kfPelSet(red, static_cast<unsigned char>(0));
  EXPECT_TRUE(kfPelEqual(tool.grayTools()[0].referenceImage(), before));
}

// A channel shifted to exactly 256 clips to 255: luma 1.499 (0, 1, 8) mapped
// to 249 takes blue from 8 to 255.5.
TEST(ColourImages, AChannelShiftedToExactly256ClipsTo255) {
  const kcPelRect w(0, 0, 4, 4);
  kcColorImageNormalizer tool(kcColorImageNormalizer::eLuminance, kcImageNormalizer());
  tool.train({constant(w, 249), constant(w, 249), constant(w, 249)}, Image(), eMatchHistogram);
  bool success = false;
  std::wstring message;
  const kcColorResult result =
      tool.run({constant(w, 0), constant(w, 1), constant(w, 8)}, eMatchHistogram, success, message);
  ASSERT_TRUE(success);
  EXPECT_EQ(result[2].get(0, 0), 255);
}

// The planar layer: what each kind of image meets in each kind of tool, the
// whole-image rule unless placed, alpha carried, and refusals.
TEST(PlanarNormalizer, RunsEachImageKindThroughItsGrayTools) {
  const kcPelRect w(0, 0, 30, 20), other(0, 0, 34, 20);
  const kcColorPlanes colour = colourImage(w, 0.7, 20, true);
  const kcPlanarNormalizer gray(trainedTool(randomImage(w), eMatchHistogram | eLocalCorrection));
  kcColorImageNormalizer channels(kcColorImageNormalizer::eChannels, kcImageNormalizer());
  channels.train(colourImage(w, 1.0, 0, false), Image(), eMatchHistogram);
  const kcPlanarNormalizer colourTool(channels);
  bool success = false;
  std::wstring message;
  // Gray and alpha through a gray tool; colour through it as its luma.
  kcPlanarRun r = gray.run({colour[0], colour[3]}, eLocalCorrection);
  ASSERT_EQ(r.planes.size(), 2u);
  EXPECT_TRUE(
      samePels(r.planes[0], gray.grayTool().run(colour[0], eLocalCorrection, success, message)));
  EXPECT_TRUE(samePels(r.planes[1], colour[3]));
  r = gray.run({colour[0], colour[1], colour[2]}, eMatchHistogram, {.explain = true});
  EXPECT_TRUE(samePels(r.planes[0], kfPelMap(kfLumaPlane(colour), r.explanations.at(0).map)));
  // Gray through a colour tool: its level in every channel.
  r = colourTool.run({colour[0]}, eMatchHistogram);
  EXPECT_TRUE(samePels(r.planes.at(2), channels.run({colour[0], colour[0], colour[0]},
                                                    eMatchHistogram, success, message)[2]));
  // Another size: mapped whole, unless placed.
  const Image wide = randomImage(other);
  r = gray.run({wide}, eMatchHistogram);
  EXPECT_EQ(r.planes.at(0).window(), other);
  EXPECT_TRUE(
      samePels(r.planes[0],
               kfPelMap(wide, kfExplainWholeImage(gray.grayTool(), wide, eMatchHistogram).map)));
  EXPECT_EQ(gray.run({wide}, eMatchHistogram, {.placed = true}).planes.at(0).window(), w);
  EXPECT_THROW(gray.run({wide, wide, wide, wide, wide}, eMatchHistogram), BadImage);
  // Training: a gray tool on a colour reference's luma, a colour tool on a
  // gray reference in every channel; a failed training of the global
  // methods keeps the others, as a gray tool does.
  kcPlanarNormalizer trained(kcImageNormalizer{});
  trained.train(kcPlanarNormalizer::eGray, colour, Image(), eMatchHistogram);
  EXPECT_TRUE(samePels(trained.grayTool().referenceImage(), kfLumaPlane(colour)));
  trained.train(kcPlanarNormalizer::eChannels, {colour[1]}, Image(), eMatchHistogram);
  ASSERT_EQ(trained.mode(), kcPlanarNormalizer::eChannels);
  EXPECT_TRUE(samePels(trained.colourTool()->grayTools()[2].referenceImage(), colour[1]));
  EXPECT_THROW(trained.train(kcPlanarNormalizer::eGray, {colour[0]}, constant(w, 0),
                             eMatchHistogram | eLocalCorrection),
               CanNotTrain);
  EXPECT_EQ(trained.mode(), kcPlanarNormalizer::eGray);
  EXPECT_EQ(trained.grayTool().trainedMethods(), eLocalCorrection);
  EXPECT_THROW(gray.run({wide, colour[0]}, eMatchHistogram), BadImage);
}
