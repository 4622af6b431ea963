#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "host/detail/cpu_dispatch.h"
#include "imgnorm/image_normalizer.h"
#include "imgnorm/persistence.h"
#include "pelfuncs/pel_ratio.h"
#include "test_support.h"

using namespace kcImageNormalizerDefs;
using namespace testing_support;

namespace {

// Log-ratio codes and divisions against double precision: within 0.52 of
// a step of the exact code (rounding, and 0.02 of arithmetic) and one level
// of the exact quotient, on random rows with dark and bright ends, ratios
// beyond the codes' span and every code's division included.
template <class Pel>
void checkRatioRows(int bits) {
  const long top = (1L << bits) - 1, bias = bits > 8 ? 1L << (bits - 8) : 1;
  constexpr long n = 67;
  std::vector<Pel> a(n), b(n), divided(n);
  std::vector<unsigned> codes(n);
  const auto exactCode = [](double q) {
    return std::clamp(logRatioZero + logRatioSteps * std::log2(q), 0.0, double(logRatioLargest));
  };
  for (int trial = 0; trial < 300; ++trial) {
    for (long x = 0; x < n; ++x) {
      const long pick = uniform(0, 9);  // dark, bright or anywhere
      a[x] = static_cast<Pel>(pick == 0 ? uniform(0, 3) : pick == 1 ? top : uniform(0, top));
      b[x] = static_cast<Pel>(pick == 2 ? uniform(0, 3) : uniform(0, top));
    }
    kf_PelLogRatioRow(a.data(), b.data(), static_cast<unsigned>(bias), codes.data(), n);
    for (long x = 0; x < n; ++x) {
      const double q = double(a[x] + bias) / double(b[x] + bias);
      ASSERT_LE(std::abs(codes[x] - exactCode(q)), 0.52) << a[x] << " / " << b[x];
      if (a[x] == b[x]) {
        ASSERT_EQ(codes[x], logRatioZero);
      }
      codes[x] = static_cast<unsigned>(uniform(0, logRatioLargest + 5));
    }
    kf_PelDivideByLogRatioRow(a.data(), codes.data(), static_cast<Pel>(top), divided.data(), n);
    for (long x = 0; x < n; ++x) {
      const double code = std::min<double>(codes[x], logRatioLargest) - logRatioZero;
      const double level = std::min(a[x] / std::exp2(code / logRatioSteps), double(top));
      ASSERT_LE(std::abs(divided[x] - level), 0.5 + 1e-6 * level) << a[x] << " / " << code;
    }
  }
  const unsigned zero = logRatioZero;
  const Pel level = static_cast<Pel>(top);
  Pel out = 0;
  kf_PelDivideByLogRatioRow(&level, &zero, static_cast<Pel>(top), &out, 1);
  EXPECT_EQ(out, level);
}

TEST(RatioRows, MatchDoublePrecisionAndKeepDarkPelsNearOne) {
  checkRatioRows<unsigned char>(8);
  checkRatioRows<unsigned short>(12);
  checkRatioRows<unsigned short>(16);
}

// The wide codes' ratios, every code: within 1e-7 of the exact ratio and
// exact at whole octaves; codes and divisions of random 16-bit rows the
// same on every kernel build.
TEST(RatioRows, WideRatiosOfEveryCodeAndEveryBuild) {
  std::vector<unsigned> codes(logRatioLargest + 1);
  std::vector<float> ratios(codes.size());
  for (unsigned c = 0; c < codes.size(); ++c) codes[c] = c;
  kf_LogRatioValuesRow(codes.data(), ratios.data(), long(codes.size()));
  for (unsigned c = 0; c < codes.size(); ++c) {
    const double exact = std::exp2((double(c) - logRatioZero) / logRatioSteps);
    ASSERT_LE(std::abs(ratios[c] / exact - 1.0), 1e-7) << c;
    ASSERT_TRUE(c % logRatioSteps || ratios[c] == float(exact)) << c;
  }
  constexpr long n = 1000;
  std::vector<unsigned short> a(n), b(n), divided(n), plainDivided(n);
  std::vector<unsigned> plainCodes(n);
  for (int trial = 0; trial < 30; ++trial) {
    for (long x = 0; x < n; ++x) {
      a[x] = static_cast<unsigned short>(uniform(0, 65535));
      b[x] = static_cast<unsigned short>(uniform(0, 3) ? uniform(0, 65535) : uniform(0, 9));
      codes[x] = static_cast<unsigned>(uniform(0, logRatioLargest));
    }
    const unsigned bias = static_cast<unsigned>(uniform(1, 256));
    const long from = uniform(0, 40);
    {
      const kcPlainKernelsScope plain;
      kf_PelLogRatioRow(a.data() + from, b.data() + from, bias, plainCodes.data() + from, n - from);
      kf_PelDivideByLogRatioRow(a.data() + from, codes.data() + from, 65535,
                                plainDivided.data() + from, n - from);
    }
    const kcKernelSetScope build(static_cast<kcKernelSet>(trial % 3));
    kf_PelDivideByLogRatioRow(a.data() + from, codes.data() + from, 65535, divided.data() + from,
                              n - from);
    kf_PelLogRatioRow(a.data() + from, b.data() + from, bias, codes.data() + from, n - from);
    for (long x = from; x < n; ++x) {
      ASSERT_EQ(codes[x], plainCodes[x]) << a[x] << " / " << b[x] << ", build " << trial % 3;
      ASSERT_EQ(divided[x], plainDivided[x]) << x << ", build " << trial % 3;
    }
  }
}

// The narrow codes of 8-bit images, every pair of levels on every kernel
// build: within 5/8 of a step of the code of the clamped ratio, 1 for
// equal levels, and a level divided by a pair's code within one level of
// its division by the exact ratio; the division is that by the ratios the
// values row gives, for every code.
TEST(RatioRows, NarrowCodesOfEightBitLevels) {
  std::vector<unsigned char> a(256), b(256), levels(256), divided(256);
  std::vector<unsigned short> codes(256), plainCodes(256);
  std::vector<float> ratios(256);
  const double lowest = std::exp2(-4.0), highest = std::exp2(4.0 - 1.0 / narrowLogRatioSteps);
  for (int x = 0; x < 256; ++x) a[x] = static_cast<unsigned char>(x);
  for (int level = 0; level < 256; ++level) {
    std::fill(b.begin(), b.end(), static_cast<unsigned char>(level));
    for (auto& v : levels) v = static_cast<unsigned char>(uniform(0, 255));
    kf_PelLogRatioRow(a.data(), b.data(), codes.data(), 256);
    {
      const kcPlainKernelsScope plain;
      kf_PelLogRatioRow(a.data() + level % 7, b.data(), plainCodes.data() + level % 7,
                        256 - level % 7);
    }
    kf_PelDivideByLogRatioRow(levels.data(), codes.data(), divided.data(), 256);
    for (int x = 0; x < 256; ++x) {
      const double q = std::clamp((x + 1.0) / (level + 1.0), lowest, highest);
      const double exact = narrowLogRatioZero + narrowLogRatioSteps * std::log2(q);
      ASSERT_LE(std::abs(codes[x] - exact), 0.625) << x << " / " << level;
      ASSERT_TRUE(x < level % 7 || plainCodes[x] == codes[x]) << x << " / " << level;
      ASSERT_TRUE(x != level || codes[x] == narrowLogRatioZero);
      ASSERT_LE(std::abs(divided[x] - std::min(levels[x] / q, 255.0)), 1.0) << x << " / " << level;
    }
  }
  for (unsigned first = 0; first < narrowLogRatioLargest + 16; first += 128) {
    for (unsigned x = 0; x < 256; ++x) codes[x] = static_cast<unsigned short>(first + x / 2);
    kf_LogRatioValuesRow(codes.data(), ratios.data(), 256);
    const kcKernelSetScope builds(static_cast<kcKernelSet>(first / 128 % 3));
    kf_PelDivideByLogRatioRow(a.data(), codes.data(), divided.data(), 256);
    for (int x = 0; x < 256; ++x) {
      const double code = std::min(codes[x], static_cast<unsigned short>(narrowLogRatioLargest));
      ASSERT_NEAR(ratios[x], std::exp2((code - narrowLogRatioZero) / narrowLogRatioSteps),
                  2e-7 * ratios[x]);
      const float v = std::min(static_cast<float>(x) / ratios[x], 255.0f) + 0.5f;
      ASSERT_EQ(divided[x], static_cast<int>(v)) << x << " / code " << codes[x];
    }
  }
}

constexpr long kSide = 160;

// A textured scene of 25 .. 225 8-bit levels, with noise of its own per
// seed, scaled to the depth.
long cleanLevel(long x, long y, int bits) {
  const double v = 125 + 80 * std::sin(x / 4.0) * std::cos(y / 6.0) + 20 * std::sin((x + y) / 9.0);
  return std::lround(v * double(1L << (bits - 8)));
}

template <class Pel>
kcPelBuffer<Pel> sceneOf(int bits, unsigned seed, double (*light)(long, long, double, double)) {
  std::mt19937 noise(seed);
  std::uniform_int_distribution<long> jitter(-2, 2);
  const long top = (1L << bits) - 1, unit = 1L << (bits - 8);
  return makeImage<Pel>(kcPelRect(0, 0, kSide, kSide), [&](long x, long y) {
    const double lit =
        light(x, y, double(cleanLevel(x, y, bits) + jitter(noise) * unit), double(unit));
    return std::clamp(std::lround(lit), 0L, top);
  });
}

// How a scene is lit: its level v at (x, y), unit levels to an 8-bit level.
double unlit(long, long, double v, double) { return v; }
// Vignetting: a gain of 1.0 at the centre falling to 0.6 at the corners.
double vignetted(long x, long y, double v, double) {
  const double c = (kSide - 1) / 2.0, r2 = ((x - c) * (x - c) + (y - c) * (y - c)) / (2 * c * c);
  return v * (1.0 - 0.4 * r2);
}
// An additive gradient of -30 .. +30 8-bit levels along x.
double graded(long x, long, double v, double unit) {
  return v + (60.0 * x / (kSide - 1) - 30.0) * unit;
}

// Against the scene as the same frame would have been under even light:
// its noise is no fault of either model.
template <class Pel>
double meanResidual(const kcPelBuffer<Pel>& result, const kcPelBuffer<Pel>& clean, int bits) {
  double sum = 0;
  for (long y = 0; y < kSide; ++y)
    for (long x = 0; x < kSide; ++x)
      sum += std::abs(double(result.get(x, y)) - double(clean.get(x, y)));
  return sum / double(kSide * kSide) / double(1L << (bits - 8));
}

// The mean absolute residual to the evenly lit scene, in 8-bit levels, of
// the scene under light corrected against an evenly lit reference with
// model.
template <class Pel>
double residualOf(int bits, double (*light)(long, long, double, double), Method method,
                  Model model) {
  kcImageNormalizer tool;
  if constexpr (sizeof(Pel) == 1)
    tool.referenceImage(sceneOf<Pel>(bits, 1, unlit), true);
  else
    tool.referenceImage(sceneOf<Pel>(bits, 1, unlit), bits, true);
  tool.neighborhoodSize({21, 21});
  tool.intensityVariationRange({-(1L << bits) + 1, (1L << bits) - 1});
  tool.model(model);
  tool.train(method);
  bool success = false;
  std::wstring message;
  const kcPelBuffer<Pel> result = tool.run(sceneOf<Pel>(bits, 2, light), method, success, message);
  EXPECT_TRUE(success);
  return meanResidual(result, sceneOf<Pel>(bits, 2, unlit), bits);
}

template <class Pel>
void checkModelsOnTheirProblems(int bits) {
  for (const Method method : {eLocalCorrection, eLocalCorrectionEnhanced}) {
    const double gainDivided = residualOf<Pel>(bits, vignetted, method, eDivide),
                 gainSubtracted = residualOf<Pel>(bits, vignetted, method, eSubtract),
                 offsetDivided = residualOf<Pel>(bits, graded, method, eDivide),
                 offsetSubtracted = residualOf<Pel>(bits, graded, method, eSubtract);
    EXPECT_LE(3 * gainDivided, gainSubtracted) << bits << " bits, method " << method;
    EXPECT_LE(3 * offsetSubtracted, offsetDivided) << bits << " bits, method " << method;
  }
}

}  // namespace

TEST(IlluminationModels, EachModelRemovesItsOwnProblemThreeTimesBetter) {
  checkModelsOnTheirProblems<unsigned char>(8);
  checkModelsOnTheirProblems<unsigned short>(12);
}

// Black stays black over any reference, a dark image over a black reference
// is never brightened, and a bright one over it is divided by 16 at most.
TEST(IlluminationModels, DarkPelsDoNotExplode) {
  for (const Method method : {eLocalCorrection, eLocalCorrectionEnhanced}) {
    const kcPelRect window(0, 0, 40, 30);
    const Image reference = makeImage(window, [](long x, long) { return x < 20 ? 0L : 100L + x; });
    const Image image = makeImage(window, [](long x, long y) {
      return x < 10 ? (y % 3) : x < 20 ? 250L : y % 4 == 0 ? 0L : 120L + x;
    });
    kcImageNormalizer tool;
    tool.referenceImage(reference, true);
    tool.neighborhoodSize({7, 7});
    tool.model(eDivide);
    tool.train(method);
    const RunOutcome r = runTool(tool, image, method);
    ASSERT_TRUE(r.success);
    for (long y = 0; y < window.height(); ++y)
      for (long x = 0; x < window.width(); ++x) {
        const long in = image.get(x, y), out = r.result.get(x, y);
        const bool black = in == 0, overBlack = x < 20, bright = x >= 10 && x < 17;
        EXPECT_TRUE((!black || out == 0) && (!overBlack || out <= in) &&
                    (!bright || out >= 250 / 16))
            << "at " << x << "," << y << ": " << in << " -> " << out;
      }
  }
}

namespace {

// The field of an image whose biased levels are twice the reference's,
// image + bias = 2 (reference + bias), over dark references where the bias
// counts most: every ratio is 2, so is every mean or median of them. 8-bit
// codes of 2 are exact; wide ones within a step each side of it.
template <class Pel>
void checkTwiceTheReferenceGivesTwo(int bits) {
  const long top = (1L << bits) - 1, bias = bits > 8 ? 1L << (bits - 8) : 1;
  const double slack = sizeof(Pel) == 1 ? 0.0 : 2.05;  // and the float field's rounding
  for (int trial = 0; trial < 12; ++trial) {
    const kcPelRect window(uniform(-3, 3), uniform(-3, 3), uniform(8, 50), uniform(8, 50));
    const kcPelBuffer<Pel> reference =
        randomImage<Pel>(window, 0, static_cast<unsigned>(std::min(4 * bias, (top - bias) / 2)));
    kcImageNormalizer tool;
    if constexpr (sizeof(Pel) == 1)
      tool.referenceImage(reference, true);
    else
      tool.referenceImage(reference, bits, true);
    const bool masked = trial % 3 == 0;
    if (masked)
      tool.maskImage(makeImage(window, [](long x, long) { return x % 4 ? 255L : 0L; }), true);
    tool.neighborhoodSize({uniform(1, 25), uniform(1, 25)});
    // A reduced masked mean mixes in the neutral ratio outside the mask.
    if (!masked && trial % 2) tool.granularity({2, uniform(1, 3)});
    const Method method = trial % 4 < 2 ? eLocalCorrection : eLocalCorrectionEnhanced;
    tool.model(eDivide);
    tool.train(method);
    const kcPelBuffer<Pel> image =
        makeImage<Pel>(window, [&](long x, long y) { return 2 * reference.get(x, y) + bias; });
    kcCorrectionField field;
    ASSERT_TRUE(tool.run(image, method, field).isBound());
    for (long y = window.y(); y < window.bottom(); ++y)
      for (long x = window.x(); x < window.right(); ++x)
        if (!masked || x % 4) {
          ASSERT_LE(std::abs(std::log2(field.ratio.get(x, y)) - 1.0) * logRatioSteps, slack)
              << bits << " bits at " << x << "," << y << ": " << field.ratio.get(x, y);
        }
  }
}

}  // namespace

TEST(IlluminationModels, AnImageTwiceTheBiasedReferenceHasARatioOfTwo) {
  checkTwiceTheReferenceGivesTwo<unsigned char>(8);
  for (const int bits : {9, 12, 16}) checkTwiceTheReferenceGivesTwo<unsigned short>(bits);
}

// The model persists in a form of its own at either depth, and old forms
// load as the subtractive model; damaged tags are refused.
TEST(IlluminationModels, TheModelIsPersistedAndDamagedTagsRefused) {
  kcImageNormalizer narrow = trainedTool(randomImage(kcPelRect(1, 2, 9, 8)), eLocalCorrection);
  kcImageNormalizer wide;
  wide.referenceImage(randomImage<unsigned short>(kcPelRect(0, 0, 6, 5), 0, 1023), 10, true);
  wide.train(eLocalCorrectionEnhanced);
  for (kcImageNormalizer* tool : {&narrow, &wide}) {
    const Bytes subtractive = kfImageNormalizerBytes(*tool);
    EXPECT_EQ(subtractive[8], tool->isWide() ? 1 : 0);
    tool->model(eDivide);
    EXPECT_EQ(tool->trainedMethods() == eIdentity, false) << "the model does not untrain";
    const Bytes bytes = kfImageNormalizerBytes(*tool);
    EXPECT_EQ(bytes[8], 2);
    const kcImageNormalizer loaded = kfImageNormalizerFromBytes(bytes);
    EXPECT_TRUE(loaded == *tool);
    EXPECT_EQ(loaded.model(), eDivide);
    EXPECT_EQ(loaded.bits(), tool->bits());
    EXPECT_EQ(loaded.trainedMethods(), tool->trainedMethods());
    EXPECT_EQ(kfImageNormalizerFromBytes(subtractive).model(), eSubtract);
    kcImageNormalizer subtract = loaded;
    subtract.model(eSubtract);
    EXPECT_FALSE(subtract == loaded);
    // The model's code and the depth follow keepMaskedPixels (byte 85).
    for (const std::size_t at : {std::size_t{86}, std::size_t{87}}) {
      Bytes damaged = bytes;
      damaged[at] = 2;
      EXPECT_THROW(kfImageNormalizerFromBytes(damaged), kcArchive::Error) << at;
    }
  }
  EXPECT_THROW(narrow.model(static_cast<Model>(2)), BadParams);
  EXPECT_EQ(narrow.model(), eDivide);
}

// Every kernel build gives the pels of the plain one, with masks, sub-windows
// and granularity, at both depths.
TEST(IlluminationModels, DivisionIsTheSameOnEveryKernelBuild) {
  for (int trial = 0; trial < 24; ++trial) {
    const bool wide = trial % 2;
    const int bits = wide ? 14 : 8;
    const Method method = trial % 4 < 2 ? eLocalCorrection : eLocalCorrectionEnhanced;
    kcImageNormalizer tool;
    const kcPelRect window(0, 0, uniform(20, 70), uniform(20, 60));
    if (wide)
      tool.referenceImage(randomImage<unsigned short>(window, 0, 16383), bits, true);
    else
      tool.referenceImage(randomImage(window), true);
    if (trial % 3 == 0)
      tool.maskImage(makeImage(window, [](long x, long y) { return (x * y) % 5 ? 255L : 0L; }),
                     true);
    tool.neighborhoodSize({uniform(1, 25), uniform(1, 25)});
    tool.granularity(trial % 5 == 0 ? kcPair<long>(2, 3) : kcPair<long>(1, 1));
    tool.model(eDivide);
    tool.train(method);
    const kcPelRect imageWindow(uniform(-5, 5), uniform(-5, 5), uniform(10, 70), uniform(10, 60));
    bool success = false;
    std::wstring message;
    if (wide) {
      const auto image = randomImage<unsigned short>(imageWindow, 0, 16383);
      const auto fast = tool.run(image, method, success, message);
      const kcPlainKernelsScope plain;
      const auto slow = tool.run(image, method, success, message);
      EXPECT_TRUE(pelsAre(fast, fast.window(), [&](long x, long y) { return slow.get(x, y); }));
    } else {
      const Image image = randomImage(imageWindow);
      const Image fast = tool.run(image, method, success, message);
      const kcPlainKernelsScope plain;
      EXPECT_TRUE(samePels(fast, tool.run(image, method, success, message))) << trial;
    }
  }
}

namespace {

// The result a field gives when it is applied to the image by its stated
// rule.
template <class Pel>
long appliedLevel(const kcCorrectionField& field, long level, long x, long y, long top) {
  if (field.model == eSubtract)
    return std::clamp(level - long(field.difference.get(x, y)), 0L, top);
  const float v = std::min(static_cast<float>(level) / field.ratio.get(x, y), float(top)) + 0.5f;
  return static_cast<long>(static_cast<int>(v));
}

template <class Pel>
void checkFieldsReproduceResults(int trials) {
  constexpr bool wide = sizeof(Pel) == 2;
  for (int trial = 0; trial < trials; ++trial) {
    const int bits = wide ? static_cast<int>(uniform(9, 16)) : 8;
    const long top = (1L << bits) - 1;
    const kcPelRect window(uniform(-3, 3), uniform(-3, 3), uniform(5, 40), uniform(5, 40));
    kcImageNormalizer tool;
    if constexpr (wide)
      tool.referenceImage(randomImage<Pel>(window, 0, static_cast<unsigned>(top)), bits, true);
    else
      tool.referenceImage(randomImage(window), true);
    if (uniform(0, 2) == 0)
      tool.maskImage(makeImage(window, [](long x, long y) { return (x + 2 * y) % 5 ? 255L : 0L; }),
                     true);
    tool.neighborhoodSize({uniform(1, 21), uniform(1, 21)});
    tool.granularity(uniform(0, 3) == 0 ? kcPair<long>(2, uniform(1, 3)) : kcPair<long>(1, 1));
    const Method method = uniform(0, 1) ? eLocalCorrection : eLocalCorrectionEnhanced;
    tool.train(method);
    tool.set({0, 1}, {-uniform(0, top), uniform(0, top)}, uniform(0, 1) == 1);
    tool.model(uniform(0, 1) ? eDivide : eSubtract);
    const kcPelRect imageWindow(uniform(-6, 6), uniform(-6, 6), uniform(1, 45), uniform(1, 45));
    const kcPelBuffer<Pel> image =
        randomImage<Pel>(imageWindow, 0, static_cast<unsigned>(wide ? top : 255));
    kcCorrectionField field;
    const kcPelBuffer<Pel> result = tool.run(image, method, field);
    bool success = false;
    std::wstring message;
    const kcPelBuffer<Pel> plain = tool.run(image, method, success, message);
    ASSERT_EQ(result.isBound(), plain.isBound()) << trial;
    EXPECT_EQ(field.model, tool.model());
    if (!result.isBound()) {
      EXPECT_FALSE(field.difference.isBound() || field.ratio.isBound());
      continue;
    }
    const bool divided = tool.model() == eDivide;
    ASSERT_EQ(divided ? field.ratio.window() : field.difference.window(), result.window());
    EXPECT_FALSE(divided ? field.difference.isBound() : field.ratio.isBound());
    EXPECT_TRUE(pelsAre(result, result.window(),
                        [&](long x, long y) {
                          EXPECT_EQ(result.get(x, y), plain.get(x, y));
                          return appliedLevel<Pel>(field, image.get(x, y), x, y, top);
                        }))
        << "trial " << trial;
  }
}

}  // namespace

// Applying the field to the image by its rule gives the result pel for
// pel, at either depth and by either model, with masks, kept pels,
// granularity and sub-windows; a global method has no field.
TEST(CorrectionFields, ApplyingTheFieldReproducesTheResult) {
  checkFieldsReproduceResults<unsigned char>(120);
  checkFieldsReproduceResults<unsigned short>(80);
  kcImageNormalizer tool = trainedTool(randomImage(kcPelRect(0, 0, 9, 9)), eMatchHistogram);
  kcCorrectionField field;
  EXPECT_THROW(tool.run(randomImage(kcPelRect(0, 0, 9, 9)), eMatchHistogram, field), BadParams);
}
