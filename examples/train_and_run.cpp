// Trains the tool on a generated reference image with a mask and runs every
// method on a run-time image that has uneven illumination and a gain and
// offset change, printing one line per method.
#include <cmath>
#include <cstdio>
#include <string>

#include "host/str.h"
#include "imgnorm/image_normalizer.h"
#include "pelfuncs/masked_histogram.h"

namespace {

using Image = kcPelBuffer<unsigned char>;
using namespace kcImageNormalizerDefs;

unsigned char clampToByte(double v) {
  return static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v + 0.5);
}

Image makeReference(long w, long h) {
  Image img(w, h);
  for (long y = 0; y < h; ++y)
    for (long x = 0; x < w; ++x)
      img.set(x, y,
              clampToByte(110 + 60 * std::sin(static_cast<double>(x) * 0.11) *
                                    std::cos(static_cast<double>(y) * 0.07) +
                          static_cast<double>((x / 16 + y / 16) % 2) * 30));
  return img;
}

Image makeRunTime(const Image& ref) {
  Image img(ref.width(), ref.height());
  for (long y = 0; y < ref.height(); ++y)
    for (long x = 0; x < ref.width(); ++x)
      img.set(x, y, clampToByte(0.8 * ref.get(x, y) + 10 +
                                30.0 * static_cast<double>(x) / static_cast<double>(ref.width())));
  return img;
}

Image makeMask(long w, long h) {
  Image mask(w, h);
  for (long y = 0; y < h; ++y)
    for (long x = 0; x < w; ++x)
      mask.set(x, y, (x > 8 && y > 8 && x < w - 8 && y < h - 8) ? 255 : 0);
  return mask;
}

void printStats(const char* label, const Image& img, const Image& mask) {
  std::vector<unsigned long> histogram;
  kf_MaskedPelHistogram(img, mask, histogram);
  const kcHistoStats stats(histogram);
  std::printf(" %s mean %6.2f sdev %6.2f", label, stats.mean(), stats.sDev());
}

}  // namespace

int main() {
  const Image reference = makeReference(320, 240);
  const Image mask = makeMask(320, 240);
  const Image runTime = makeRunTime(reference);

  kcImageNormalizer tool;
  tool.referenceImage(reference, true);
  tool.maskImage(mask, true);
  tool.neighborhoodSize(kcPair<long>(31, 31));
  tool.train(eMatchHistogram | eMatchMeanAndStddev | eMatchHistogramTails | eLinearlyFitGrayValues |
             eLocalCorrection | eLocalCorrectionEnhanced);
  tool.set(kcPair<double>(0.01, 0.99), kcPair<long>(-127, 127), false);

  const std::pair<Method, const char*> methods[] = {
      {eMatchHistogram, "eMatchHistogram"},
      {eMatchMeanAndStddev, "eMatchMeanAndStddev"},
      {eMatchHistogramTails, "eMatchHistogramTails"},
      {eLinearlyFitGrayValues, "eLinearlyFitGrayValues"},
      {eLocalCorrection, "eLocalCorrection"},
      {eLocalCorrectionEnhanced, "eLocalCorrectionEnhanced"}};
  std::printf("reference 320x240 with a mask;");
  printStats("reference", reference, mask);
  std::printf("\n");
  for (const auto& [method, name] : methods) {
    bool success = false;
    std::wstring message;
    const Image result = tool.run(runTime, method, success, message);
    std::printf("%-25s %s", name, success ? "success" : "failed ");
    printStats("before", runTime, mask);
    if (success) printStats("after", result, mask);
    if (!message.empty()) std::printf(" (%s)", kfToUtf8(message).c_str());
    std::printf("\n");
  }
  return 0;
}
