#include <cstdio>
#include <memory>

#include "cli_common.h"
#include "cli_params.h"
#include "commands.h"
#include "trained_tool.h"

namespace cli {

namespace {

std::string imageText(const kc_PelBuffer& image) {
  if (!image.isBound()) return "none";
  return sizeText({image.width(), image.height()});
}

std::string maskText(const kcPelBuffer_const<unsigned char>& mask) {
  if (!mask.isBound()) return "none";
  const kcPelRect& w = mask.window();
  long inside = 0;
  // A window without pels may declare 2^30 rows.
  for (long y = w.y(); w.width() > 0 && y < w.bottom(); ++y) {
    const unsigned char* row = mask.pointToPel(w.x(), y);
    for (long x = 0; x < w.width(); ++x) inside += row[x] != 0;
  }
  return imageText(mask) + ", " + std::to_string(inside) + " pels inside";
}

void printField(const char* label, const std::string& value) {
  std::printf("%-17s %s\n", label, value.c_str());
}

int info(const std::string& path) {
  const TrainedTool trained = TrainedTool::load(path);
  const kcImageNormalizer& tool = trained.grayTool();
  printField("tool:", path);
  if (trained.mode() != kcPlanarNormalizer::eGray)
    printField("colour:", colorModeName(trained.mode()));
  printField("trained methods:", methodList(tool.trainedMethods()));
  printField("depth:", tool.isWide() ? "16-bit images of " + std::to_string(tool.bits()) + " bits"
                                     : "8-bit images");
  printField("reference image:", tool.isWide() ? imageText(tool.wideReferenceImage())
                                               : imageText(tool.referenceImage()));
  printField("mask image:", maskText(tool.maskImage()));
  printField("neighborhood:", sizeText(tool.neighborhoodSize()));
  printField("granularity:", sizeText(tool.granularity()));
  printField("tails:", pairText(tool.tailFractions()));
  printField("range:", pairText(tool.intensityVariationRange()));
  printField("keep-masked:", tool.keepMaskedPixels() ? "yes" : "no");
  printField("model:", kcImageNormalizerDefs::kModelNames[tool.model()]);
  return kExitOk;
}

}  // namespace

Command addInfoCommand(CLI::App& app) {
  auto path = std::make_shared<std::string>();
  CLI::App* command =
      app.add_subcommand("info", "Print a tool's parameters, trained methods and image sizes");
  setSynopsis(*command, "imgnorm info TOOL", false);
  command->add_option("tool", *path, "Tool file made by 'imgnorm train'")
      ->required()
      ->type_name("TOOL");
  return {command, [path] { return info(*path); }};
}

}  // namespace cli
