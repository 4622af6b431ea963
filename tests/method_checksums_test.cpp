// Pins the output of every method on one generated scene: any change to the
// pels a method returns (rounding, kernel reach, border handling) changes its
// checksum.
// The scene is built from integers only, so it is the same on every platform.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "imgnorm/image_normalizer.h"

namespace {

using namespace kcImageNormalizerDefs;
using Image = kcPelBuffer<unsigned char>;

std::uint32_t hashNoise(long x, long y, std::uint32_t seed) {
  std::uint32_t h = static_cast<std::uint32_t>(x) * 0x9E3779B1u ^
                    static_cast<std::uint32_t>(y) * 0x85EBCA77u ^ seed;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  h *= 0x297A2D39u;
  return h ^ (h >> 15);
}

// Tiles and stripes with noise; the run-time scene adds an illumination
// ramp of -30..+50 and a gain of 7/8.
Image scene(const kcPelRect& r, bool runTime) {
  Image b(r, 32);
  for (long y = r.y(); y < r.bottom(); ++y)
    for (long x = r.x(); x < r.right(); ++x) {
      long v = 70 + ((x / 23 + y / 17) % 4) * 30 + ((x * x + 3 * y) % 41) +
               static_cast<long>(hashNoise(x, y, 5) % 25) - 12;
      if (runTime) v = v * 7 / 8 + (x + y) * 80 / (r.right() + r.bottom()) - 30;
      b.set(x, y, static_cast<unsigned char>(std::clamp(v, 0L, 255L)));
    }
  return b;
}

// An ellipse with a rectangular hole, inside a window smaller than the
// reference so masked runs cover only part of the scene.
Image mask(const kcPelRect& r) {
  Image b(r, 32);
  const double cx = r.x() + r.width() / 2.0, cy = r.y() + r.height() / 2.0;
  for (long y = r.y(); y < r.bottom(); ++y)
    for (long x = r.x(); x < r.right(); ++x) {
      const double dx = (x - cx) / (0.5 * r.width()), dy = (y - cy) / (0.5 * r.height());
      const bool hole = std::abs(x - cx) < 12 && std::abs(y - cy) < 20;
      b.set(x, y, dx * dx + dy * dy < 1.0 && !hole ? 255 : 0);
    }
  return b;
}

std::uint64_t fnv1a(std::uint64_t h, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    h ^= (value >> (8 * i)) & 0xFF;
    h *= 0x100000001B3ull;
  }
  return h;
}

// Window placement and pels, row by row.
std::uint64_t checksum(const kcPelBuffer_const<unsigned char>& b) {
  std::uint64_t h = 0xCBF29CE484222325ull;
  const kcPelRect& w = b.window();
  for (long v : {w.x(), w.y(), w.width(), w.height()})
    h = fnv1a(h, static_cast<std::uint64_t>(v), 8);
  for (long y = 0; y < b.height(); ++y) {
    const unsigned char* row = b.pointToPel(w.x(), w.y() + y);
    for (long x = 0; x < b.width(); ++x) h = fnv1a(h, row[x], 1);
  }
  return h;
}

struct Case {
  const char* name;
  Method method;
  bool masked;
  long neighborhood;
  long granularity;
  bool keepMasked;
  std::uint64_t expected;
};

const Case kCases[] = {
    {"histogram", eMatchHistogram, false, 101, 1, false, 0x86A4DF99EF86691Eull},
    {"histogram_masked", eMatchHistogram, true, 101, 1, false, 0x09AF86F8263B403Aull},
    {"mean_stddev", eMatchMeanAndStddev, false, 101, 1, false, 0xEB87781E53FC3BEBull},
    {"mean_stddev_masked_keep", eMatchMeanAndStddev, true, 101, 1, true, 0x09F3B1CA2874A1DCull},
    {"tails", eMatchHistogramTails, false, 101, 1, false, 0x8DA9C8AE48ABEADDull},
    {"tails_masked", eMatchHistogramTails, true, 101, 1, false, 0x4C3A65859D353521ull},
    {"linear_fit", eLinearlyFitGrayValues, false, 101, 1, false, 0xF43AFC59BCC5CA69ull},
    {"linear_fit_masked", eLinearlyFitGrayValues, true, 101, 1, false, 0xC8C3D0C3C0E0CD85ull},
    {"local_11", eLocalCorrection, false, 11, 1, false, 0x5C2C05000FD82D71ull},
    {"local_61", eLocalCorrection, false, 61, 1, false, 0xD929AC4CA29A8F16ull},
    {"local_41_gran4", eLocalCorrection, false, 41, 4, false, 0x0F4E4FEA4DEA09B2ull},
    {"local_masked_31", eLocalCorrection, true, 31, 1, false, 0x6F75A6238DD73AC0ull},
    {"local_masked_45_gran3", eLocalCorrection, true, 45, 3, true, 0x842FF51B952CD68Aull},
    {"enhanced_11", eLocalCorrectionEnhanced, false, 11, 1, false, 0xACCB6E99532F5FF5ull},
    {"enhanced_61", eLocalCorrectionEnhanced, false, 61, 1, false, 0x0C2D3F74B25A16AEull},
    {"enhanced_41_gran4", eLocalCorrectionEnhanced, false, 41, 4, false, 0x9EB11EDAC10AE978ull},
    {"enhanced_masked_31", eLocalCorrectionEnhanced, true, 31, 1, false, 0x7962F6F8C3A3DF5Dull},
    {"enhanced_masked_45_gran3", eLocalCorrectionEnhanced, true, 45, 3, true,
     0xB419AE048F3597E8ull},
    {"identity_masked", eIdentity, true, 101, 1, false, 0xA7A00CC785B16004ull},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class MethodChecksums : public ::testing::TestWithParam<Case> {};

TEST_P(MethodChecksums, OutputIsUnchanged) {
  const Case& c = GetParam();
  // Odd sizes and a non-zero origin so no row is a multiple of a vector width.
  const kcPelRect referenceWindow(3, -2, 333, 261);
  const Image reference = scene(referenceWindow, false);
  const Image runTime = scene(kcPelRect(0, 0, 341, 257), true);

  kcImageNormalizer tool;
  tool.referenceImage(reference, false);
  if (c.masked) tool.maskImage(mask(kcPelRect(20, 9, 280, 221)), false);
  tool.neighborhoodSize(kcPair<long>(c.neighborhood, c.neighborhood));
  tool.granularity(kcPair<long>(c.granularity, c.granularity));
  tool.keepMaskedPixels(c.keepMasked);
  tool.intensityVariationRange(kcPair<long>(-100, 90));
  tool.tailFractions(kcPair<double>(0.05, 0.9));
  tool.train(c.method == eIdentity ? eMatchHistogram : c.method);

  bool success = false;
  std::wstring message;
  const Image out = tool.run(runTime, c.method, success, message);
  ASSERT_TRUE(success);
  const std::uint64_t actual = checksum(out);
  char hex[32];
  std::snprintf(hex, sizeof hex, "0x%016llX", static_cast<unsigned long long>(actual));
  EXPECT_EQ(actual, c.expected) << c.name << " now gives " << hex;
}

INSTANTIATE_TEST_SUITE_P(EveryMethod, MethodChecksums, ::testing::ValuesIn(kCases),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
