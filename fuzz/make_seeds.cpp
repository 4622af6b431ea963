// Writes valid archives of several tools and error objects as fuzzing seeds.
// A leading byte selects what the fuzz target loads: even for a tool, odd
// for an error object.
#include <cstdio>
#include <fstream>
#include <string>

#include "host/archive.h"
#include "imgnorm/color_normalizer.h"
#include "imgnorm/image_normalizer.h"
#include "imgnorm/persistence.h"

namespace {

using namespace kcImageNormalizerDefs;

void write(const std::string& dir, const std::string& name, unsigned char selector,
           const std::vector<unsigned char>& bytes) {
  std::ofstream out(dir + "/" + name, std::ios::binary);
  out.put(static_cast<char>(selector));
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

kcPelBuffer<unsigned char> pattern(const kcPelRect& r, int seed) {
  kcPelBuffer<unsigned char> b(r, 32);
  for (long y = r.y(); y < r.bottom(); ++y)
    for (long x = r.x(); x < r.right(); ++x)
      b.set(x, y, static_cast<unsigned char>((x * 37 + y * 11 + seed) % 251));
  return b;
}

std::vector<unsigned char> toolBytes(kcImageNormalizer tool) {
  kcArchive ar;
  ar || tool;
  return ar.bytes();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  kcImageNormalizer plain;
  write(dir, "tool_default", 0, toolBytes(plain));

  kcImageNormalizer global;
  global.referenceImage(pattern(kcPelRect(0, 0, 12, 9), 1), true);
  global.train(eMatchHistogram | eMatchMeanAndStddev | eMatchHistogramTails);
  write(dir, "tool_global", 0, toolBytes(global));

  kcImageNormalizer local;
  local.referenceImage(pattern(kcPelRect(2, 1, 16, 12), 2), true);
  local.maskImage(pattern(kcPelRect(0, 0, 18, 14), 3), true);
  local.neighborhoodSize(kcPair<long>(5, 7));
  local.granularity(kcPair<long>(2, 3));
  local.train(eLinearlyFitGrayValues | eLocalCorrection | eLocalCorrectionEnhanced);
  write(dir, "tool_local_masked", 0, toolBytes(local));

  for (const auto mode : {kcColorImageNormalizer::eChannels, kcColorImageNormalizer::eLuminance}) {
    kcImageNormalizer configuration;
    configuration.neighborhoodSize(kcPair<long>(5, 5));
    kcColorImageNormalizer colour(mode, configuration);
    const kcPelRect r(1, 2, 14, 10);
    colour.train({pattern(r, 4), pattern(r, 5), pattern(r, 6)},
                 mode == kcColorImageNormalizer::eChannels ? pattern(r, 7)
                                                           : kcPelBuffer<unsigned char>(),
                 static_cast<Method>(kKnownMethods));
    write(dir, mode == kcColorImageNormalizer::eChannels ? "colour_tool_channels_masked"
                                                         : "colour_tool_luminance",
          0, kfColorImageNormalizerBytes(colour));
  }

  BadParams error(L"Both elements of granularity must be >= 1");
  kcArchive ar;
  ar.storeObject(error);
  write(dir, "error_bad_params", 1, ar.bytes());
  NotImplemented empty;
  kcArchive ar2;
  ar2.storeObject(empty);
  write(dir, "error_not_implemented", 1, ar2.bytes());
  return 0;
}
