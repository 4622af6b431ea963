#include <cstdio>
#include <memory>

#include "cli_common.h"
#include "cli_params.h"
#include "commands.h"
#include "diag_writer.h"
#include "imgio/image_io.h"
#include "imgnorm/persistence.h"
#include "tool_setup.h"

namespace cli {

namespace {

struct TrainCommandOptions {
  TrainingOptions training;
  RunParameterOptions run;
  std::string methods;
  std::string color;
  std::string diag;
  std::string output;
};

void saveTool(const TrainedTool& tool, const std::string& path) {
  try {
    imgio::writeBytesAtomically(path, tool.fileBytes());
  } catch (const imgio::ImageError& e) {
    failBadInput(e.what());
  }
}

int train(const TrainCommandOptions& options) {
  std::vector<std::string> inputs = options.training.references;
  inputs.push_back(options.training.mask);
  checkOutputPath(options.output, canonicalPaths(inputs));
  checkFolderOf(options.output);
  if (!options.diag.empty()) prepareDiagFolder(options.diag);
  const Method methods = *methodsByList(options.methods);
  kcDiagObject recorder;
  const ColorMode mode = resolveColorMode(options.color, options.training.references.front(), "",
                                          options.training.maxPixels);
  const TrainedTool tool =
      trainAnyTool(options.training, options.run, methods, mode, recorder, options.diag);
  saveTool(tool, options.output);
  if (!options.diag.empty()) writeDiagRecords(recorder, options.diag);
  const std::string colour =
      mode == kcPlanarNormalizer::eGray ? "" : " (" + colorModeName(mode) + ")";
  std::printf("trained for %s%s: %s\n", methodList(methods).c_str(), colour.c_str(),
              options.output.c_str());
  return kExitOk;
}

}  // namespace

Command addTrainCommand(CLI::App& app) {
  auto options = std::make_shared<TrainCommandOptions>();
  CLI::App* command = app.add_subcommand("train", "Train a tool on a reference image and save it");
  setSynopsis(*command,
              "imgnorm train --reference REF... [--combine HOW] [--mask MASK] --methods LIST\n"
              "         [--neighborhood WxH] [--granularity GXxGY] [--tails LO,HI]\n"
              "         [--range LO,HI] [--keep-masked] [--model MODEL] [--color MODE]\n"
              "         [--diag DIR] [--max-pixels N] -o TOOL",
              true);
  addTrainingImageOptions(*command, options->training, true);
  command
      ->add_option("--methods", options->methods,
                   "Comma-separated methods to train (see below), or all")
      ->required()
      ->check(methodListValidator())
      ->type_name("LIST");
  addTrainingParameterOptions(*command, options->training);
  addRunParameterOptions(*command, options->run);
  addColorOption(*command, options->color);
  addDiagOption(*command, options->diag);
  addMaxPixelsOption(*command, options->training.maxPixels);
  command->add_option("-o,--output", options->output, "Tool file to write")
      ->required()
      ->type_name("TOOL");
  return {command, [options] { return train(*options); }};
}

}  // namespace cli
