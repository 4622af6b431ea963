#include <cstdio>
#include <memory>

#include "cli_common.h"
#include "cli_params.h"
#include "commands.h"
#include "diag_writer.h"
#include "image_job.h"
#include "parallel.h"
#include "report.h"
#include "stream_job.h"
#include "tool_setup.h"

namespace cli {

namespace {

struct NormalizeCommandOptions {
  TrainingOptions training;
  RunParameterOptions run;
  std::string method;
  std::string color;
  std::string diag;
  std::string sideBySide;
  std::string fieldOut;
  StreamOptions stream;
  std::string report;
  std::string output;
  std::string image;
};

// Every output is checked before the work starts, so a bad request writes
// nothing.
void checkOutputs(const NormalizeCommandOptions& options) {
  const auto inputs =
      canonicalPaths({options.image, options.training.references.front(), options.training.mask});
  if (!imgio::formatForPath(options.output))
    failBadInput(options.output + ": unknown image file extension (use .png, .tif, .tiff or .pgm)");
  checkOutputPath(options.output, inputs);
  checkFolderOf(options.output);
  if (!options.report.empty()) {
    checkOutputPath(options.report, inputs);
    checkFolderOf(options.report);
  }
  if (!options.fieldOut.empty()) {
    checkOutputPath(options.fieldOut, inputs);
    checkFolderOf(options.fieldOut);
    if (canonicalPath(options.fieldOut) == canonicalPath(options.output))
      failBadInput(options.fieldOut + ": the field and the result need different names");
  }
  if (options.sideBySide.empty()) return;
  if (imgio::formatForPath(options.sideBySide) != imgio::Format::kPng)
    failBadInput(options.sideBySide + ": the compare picture is a PNG; name it .png");
  checkOutputPath(options.sideBySide, inputs);
  checkFolderOf(options.sideBySide);
  if (canonicalPath(options.sideBySide) == canonicalPath(options.output))
    failBadInput(options.sideBySide + ": the compare picture and the result need different names");
}

void trainAndRun(const NormalizeCommandOptions& options, Method method) {
  kcDiagObject recorder;
  const ColorMode mode = resolveColorMode(options.color, options.training.references.front(),
                                          options.image, options.training.maxPixels);
  if (!options.fieldOut.empty()) checkFieldRequest(method, mode, options.fieldOut, false);
  const TrainedTool tool =
      trainAnyTool(options.training, options.run, method, mode, recorder, options.diag);
  JobContext context(tool, method, !options.report.empty(), options.training.maxPixels,
                     !options.sideBySide.empty());
  context.threadsPerImage = defaultThreadCount();
  context.stream = options.stream;
  const ImageJob job{options.image, options.output, options.sideBySide, options.diag,
                     options.fieldOut};
  if (options.stream.dryRun) {
    std::printf("%s", planText(planImage(context, job), options.image).c_str());
    return;
  }
  ReportRecord record;
  try {
    runJob(context, job, recorder, &record);
  } catch (const Failure&) {
    if (!options.report.empty()) writeReport(options.report, {record});
    throw;
  }
  if (!options.report.empty()) writeReport(options.report, {record});
}

int normalize(const NormalizeCommandOptions& options) {
  checkOutputs(options);
  if (!options.diag.empty()) prepareDiagFolder(options.diag);
  try {
    trainAndRun(options, *methodByName(options.method));
  } catch (const Failure& failure) {
    if (failure.code() != kExitInterrupted) throw;
    // The same summary as run's: nothing was written.
    std::printf("normalized 0 of 1 image with %s into %s; interrupted\n", options.method.c_str(),
                options.output.c_str());
    return kExitInterrupted;
  }
  if (options.stream.dryRun) return kExitOk;
  std::printf("normalized %s with %s into %s\n", options.image.c_str(), options.method.c_str(),
              options.output.c_str());
  return kExitOk;
}

}  // namespace

Command addNormalizeCommand(CLI::App& app) {
  auto options = std::make_shared<NormalizeCommandOptions>();
  CLI::App* command =
      app.add_subcommand("normalize", "Train on a reference and normalize one image in one step");
  setSynopsis(*command,
              "imgnorm normalize --reference REF [--mask MASK] --method NAME\n"
              "         [--neighborhood WxH] [--granularity GXxGY] [--tails LO,HI]\n"
              "         [--range LO,HI] [--keep-masked] [--model MODEL] [--color MODE]\n"
              "         [--diag DIR] [--max-pixels N] [--side-by-side FILE]\n"
              "         [--field-out FILE.tif] [--report FILE.json] [--stream]\n"
              "         [--band-rows N] [--bigtiff] [--dry-run] IMAGE -o OUT",
              true);
  addTrainingImageOptions(*command, options->training, false);
  command->add_option("--method", options->method, "Method to run (see below), or identity")
      ->required()
      ->check(methodNameValidator(true))
      ->type_name("NAME");
  addTrainingParameterOptions(*command, options->training);
  addRunParameterOptions(*command, options->run);
  addColorOption(*command, options->color);
  addDiagOption(*command, options->diag);
  addMaxPixelsOption(*command, options->training.maxPixels, true);
  addStreamOptions(*command, options->stream);
  command
      ->add_option("--side-by-side", options->sideBySide,
                   "Compare picture (PNG) of image, reference and result")
      ->type_name("FILE");
  command
      ->add_option("--field-out", options->fieldOut,
                   "Correction field a local method applied (TIFF: signed differences,\n"
                   "or 32-bit float ratios with --model divide)")
      ->type_name("FILE.tif");
  command
      ->add_option("--report", options->report,
                   "JSON record of the run: the map, statistics and fit applied")
      ->type_name("FILE.json");
  command->add_option("-o,--output", options->output, "Result file (.png, .tif, .tiff or .pgm)")
      ->required()
      ->type_name("OUT");
  command->add_option("image", options->image, "Image to normalize")
      ->required()
      ->type_name("IMAGE");
  return {command, [options] { return normalize(*options); }};
}

}  // namespace cli
