#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "cli_common.h"
#include "cli_params.h"
#include "commands.h"
#include "console.h"
#include "diag_writer.h"
#include "host/attention.h"
#include "image_job.h"
#include "parallel.h"
#include "report.h"
#include "stream_job.h"
#include "tool_setup.h"

namespace cli {

namespace {

namespace fs = std::filesystem;

// Every image of a batch allocates and frees a few image-sized buffers. By
// default the C library hands large ones back to the system after each image
// and pays for fresh pages on the next; keeping them in the process makes a
// batch of 4096 x 4096 images 1.5 to 1.8 times as fast. One image has
// nothing to gain, and the kept blocks would only raise its peak memory.
void keepImageMemoryForBatch(std::size_t images) {
  if (images < 2) return;
#if defined(__GLIBC__)
  mallopt(M_MMAP_THRESHOLD, 256 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
#endif
}

struct RunCommandOptions {
  std::string tool;
  std::string method;
  RunParameterOptions run;
  unsigned threads = 0;  // 0: all cores
  long maxPixels = imgio::kDefaultMaxPels;
  StreamOptions stream;
  std::string diag;
  std::string sideBySide;
  std::string fieldOut;
  std::string report;
  std::string output;
  std::vector<std::string> images;
};

void checkToolCanRun(const kcImageNormalizer& tool, Method method, const std::string& path) {
  if (method != kcImageNormalizerDefs::eIdentity && !(tool.trainedMethods() & method))
    failBadInput(path + ": the tool was not trained for " + methodName(method) +
                 " (trained for: " + methodList(tool.trainedMethods()) + ")");
  if (!tool.referenceImage().isBound() && !tool.isWide())
    failBadInput(path + ": the tool has no reference image");
  if (tool.referenceWindow().isNull())
    failBadInput(path + ": the tool's reference image has no pels");
}

// Several images, an existing folder or a trailing slash make a target a
// folder; otherwise it names the one file.
bool isFolderTarget(const std::string& target, bool severalImages) {
  std::error_code ec;
  return severalImages || target.ends_with('/') || fs::is_directory(target, ec);
}

// Inside a folder a result keeps its input's name, or gets .png when that
// name has no image extension.
std::string resultName(const std::string& input) {
  fs::path name = fs::path(input).filename();
  if (!imgio::formatForPath(input)) name.replace_extension(".png");
  return name.string();
}

std::string recordFolderName(const std::string& name) {
  std::string folder = name;
  for (char& c : folder)
    if (c == '.') c = '_';
  return folder;
}

ImageJob planJob(const RunCommandOptions& options, const std::string& input, bool outputFolder,
                 bool compareFolder, bool fieldFolder) {
  const bool several = options.images.size() > 1;
  const std::string name = resultName(input);
  ImageJob job{input,
               outputFolder ? (fs::path(options.output) / name).string() : options.output,
               {},
               {},
               {}};
  if (!options.sideBySide.empty())
    job.sideBySide =
        compareFolder
            ? (fs::path(options.sideBySide) / (fs::path(name).stem().string() + "-compare.png"))
                  .string()
            : options.sideBySide;
  if (!options.fieldOut.empty())
    job.fieldOut =
        fieldFolder ? (fs::path(options.fieldOut) / (fs::path(name).stem().string() + "-field.tif"))
                          .string()
                    : options.fieldOut;
  if (!options.diag.empty())
    job.diagFolder =
        several ? (fs::path(options.diag) / recordFolderName(name)).string() : options.diag;
  return job;
}

void checkTargetFile(const std::string& path, const std::set<std::string>& inputs,
                     std::set<std::string>& targets) {
  checkOutputPath(path, inputs);
  if (!targets.insert(canonicalPath(path)).second)
    failBadInput(path + ": more than one result would be written to this file");
}

void createFolder(const std::string& folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (!fs::is_directory(folder, ec)) failBadInput(folder + ": cannot create the folder");
}

// A file name given where several images need a folder is a mistake, not
// a folder to create.
void refuseFileForSeveral(const std::string& target, bool folder, const char* option) {
  std::error_code ec;
  if (folder && !target.ends_with('/') && !fs::is_directory(target, ec) &&
      imgio::formatForPath(target))
    failBadInput(target + ": " + option +
                 " needs a folder for several images (an existing folder or a name ending in /)");
}

// Every output is checked before any is written, so a bad plan writes
// nothing.
std::vector<ImageJob> planJobs(const RunCommandOptions& options) {
  const bool several = options.images.size() > 1;
  const bool outputFolder = isFolderTarget(options.output, several);
  const bool compareFolder =
      !options.sideBySide.empty() && isFolderTarget(options.sideBySide, several);
  refuseFileForSeveral(options.output, outputFolder, "-o");
  refuseFileForSeveral(options.sideBySide, compareFolder, "--side-by-side");
  const bool fieldFolder = !options.fieldOut.empty() && isFolderTarget(options.fieldOut, several);
  refuseFileForSeveral(options.fieldOut, fieldFolder, "--field-out");
  if (!compareFolder && !options.sideBySide.empty() &&
      imgio::formatForPath(options.sideBySide) != imgio::Format::kPng)
    failBadInput(options.sideBySide + ": the compare picture is a PNG; name it .png");

  std::vector<std::string> inputPaths = options.images;
  inputPaths.push_back(options.tool);
  const std::set<std::string> inputs = canonicalPaths(inputPaths);
  std::set<std::string> targets;
  std::vector<ImageJob> jobs;
  for (const auto& image : options.images) {
    ImageJob job = planJob(options, image, outputFolder, compareFolder, fieldFolder);
    if (!imgio::formatForPath(job.output))
      failBadInput(job.output + ": unknown image file extension (use .png, .tif, .tiff or .pgm)");
    checkTargetFile(job.output, inputs, targets);
    if (!job.sideBySide.empty()) checkTargetFile(job.sideBySide, inputs, targets);
    if (!job.fieldOut.empty()) checkTargetFile(job.fieldOut, inputs, targets);
    jobs.push_back(std::move(job));
  }
  if (!options.report.empty()) {
    checkTargetFile(options.report, inputs, targets);
    checkFolderOf(options.report);
  }
  if (!outputFolder) checkFolderOf(options.output);
  if (!compareFolder && !options.sideBySide.empty()) checkFolderOf(options.sideBySide);
  if (outputFolder) createFolder(options.output);
  if (compareFolder) createFolder(options.sideBySide);
  if (!fieldFolder && !options.fieldOut.empty()) checkFolderOf(options.fieldOut);
  if (fieldFolder) createFolder(options.fieldOut);
  if (!options.diag.empty()) prepareDiagFolder(options.diag);
  return jobs;
}

struct BatchCounts {
  std::atomic<std::size_t> normalized{0};
  std::atomic<std::size_t> notNormalized{0};
  std::atomic<std::size_t> badInput{0};
  std::atomic<bool> interrupted{false};

  void count(int code) {
    if (code == kExitOk) ++normalized;
    if (code == kExitNotNormalized) ++notNormalized;
    if (code == kExitBadInput) ++badInput;
    if (code == kExitInterrupted) interrupted = true;
  }
  int exitCode() const {
    if (interrupted || kcAttention::abortRequested()) return kExitInterrupted;
    if (badInput) return kExitBadInput;
    return notNormalized ? kExitNotNormalized : kExitOk;
  }
};

int runOneJob(const JobContext& context, const ImageJob& job, ReportRecord* record) {
  try {
    kcDiagObject recorder;
    runJob(context, job, recorder, record);
    return kExitOk;
  } catch (const Failure& failure) {
    if (failure.code() != kExitInterrupted) printError(failure.what());
    return failure.code();
  } catch (const std::exception& e) {
    printError(job.input + ": " + e.what());
    if (record) record->message = e.what();
    return kExitNotNormalized;
  }
}

void printSummary(const RunCommandOptions& options, const BatchCounts& counts) {
  std::string line = "normalized " + std::to_string(counts.normalized) + " of " +
                     std::to_string(options.images.size()) + " image" +
                     (options.images.size() == 1 ? "" : "s") + " with " + options.method +
                     " into " + options.output;
  if (counts.notNormalized) line += "; " + std::to_string(counts.notNormalized) + " failed";
  if (counts.badInput)
    line += "; " + std::to_string(counts.badInput) + " unreadable, mismatched or unwritable";
  if (counts.exitCode() == kExitInterrupted) line += "; interrupted";
  std::printf("%s\n", line.c_str());
}

// What each image's run would be, with nothing written.
int printPlans(const RunCommandOptions& options, const TrainedTool& tool, Method method) {
  JobContext context(tool, method, false, options.maxPixels, false);
  context.stream = options.stream;
  context.threadsPerImage = options.threads ? options.threads : defaultThreadCount();
  for (const std::string& image : options.images) {
    ImageJob job = planJob(options, image, false, false, false);
    std::printf("%s", planText(planImage(context, job), image).c_str());
  }
  return kExitOk;
}

int run(const RunCommandOptions& options) {
  TrainedTool tool = TrainedTool::load(options.tool, options.maxPixels);
  const Method method = *methodByName(options.method);
  checkToolCanRun(tool.grayTool(), method, options.tool);
  tool.applyRunParameters(options.run);
  if (!options.fieldOut.empty())
    checkFieldRequest(method, tool.mode(), options.fieldOut,
                      isFolderTarget(options.fieldOut, options.images.size() > 1));
  if (options.stream.dryRun) return printPlans(options, tool, method);
  const std::vector<ImageJob> jobs = planJobs(options);
  keepImageMemoryForBatch(jobs.size());
  const unsigned threads = options.threads ? options.threads : defaultThreadCount();
  JobContext context(tool, method, !options.report.empty(), options.maxPixels,
                     !options.sideBySide.empty());
  context.stream = options.stream;
  // Fewer images than threads: the spare threads share the images' rows.
  context.threadsPerImage =
      std::max(1U, threads / static_cast<unsigned>(std::max<std::size_t>(jobs.size(), 1)));
  std::vector<ReportRecord> records(options.report.empty() ? 0 : jobs.size());

  BatchCounts counts;
  {
    ProgressBar bar(jobs.size(), stderrIsTerminal() && jobs.size() > 1);
    forEachInParallel(
        jobs.size(), threads,
        [&](std::size_t i) {
          counts.count(runOneJob(context, jobs[i], records.empty() ? nullptr : &records[i]));
          bar.advance();
        },
        [] { return kcAttention::abortRequested(); });
  }
  if (!options.report.empty()) writeReport(options.report, records);
  printSummary(options, counts);
  return counts.exitCode();
}

}  // namespace

Command addRunCommand(CLI::App& app) {
  auto options = std::make_shared<RunCommandOptions>();
  CLI::App* command = app.add_subcommand("run", "Normalize images with a trained tool");
  setSynopsis(*command,
              "imgnorm run --tool TOOL --method NAME [--tails LO,HI] [--range LO,HI]\n"
              "         [--keep-masked] [--model MODEL] [-j N] [--diag DIR]\n"
              "         [--side-by-side FILE|DIR] [--field-out FILE|DIR] [--report FILE.json]\n"
              "         [--max-pixels N] [--stream] [--band-rows N] [--bigtiff]\n"
              "         [--dry-run] -o OUT|OUTDIR IMAGE...",
              true);
  command->add_option("--tool", options->tool, "Tool file made by 'imgnorm train'")
      ->required()
      ->type_name("TOOL");
  command->add_option("--method", options->method, "Method to run (see below), or identity")
      ->required()
      ->check(methodNameValidator(true))
      ->type_name("NAME");
  addRunParameterOptions(*command, options->run);
  command
      ->add_option("-j,--jobs", options->threads, "Images at once, 1 to 1024 (default: all cores)")
      ->check(CLI::Range(1U, 1024U).description(""))
      ->type_name("N");
  addDiagOption(*command, options->diag);
  addMaxPixelsOption(*command, options->maxPixels, true);
  addStreamOptions(*command, options->stream);
  command
      ->add_option("--side-by-side", options->sideBySide,
                   "Compare picture (PNG) of image, reference and result;\n"
                   "a folder for several images (NAME-compare.png)")
      ->type_name("FILE|DIR");
  command
      ->add_option("--field-out", options->fieldOut,
                   "Correction field a local method applied (TIFF: signed differences,\n"
                   "or 32-bit float ratios with --model divide); a folder for several\n"
                   "images (NAME-field.tif). Costs one more run of the correction")
      ->type_name("FILE|DIR");
  command
      ->add_option("--report", options->report,
                   "JSON records of the runs, one per image: the map,\n"
                   "statistics and fit applied, or the failure")
      ->type_name("FILE.json");
  command
      ->add_option("-o,--output", options->output,
                   "Result file, or a folder: for several images, an existing\n"
                   "folder or a name ending in /; results keep the input names")
      ->required()
      ->type_name("OUT|OUTDIR");
  command->add_option("images", options->images, "Images to normalize")
      ->required()
      ->type_name("IMAGE");
  return {command, [options] { return run(*options); }};
}

}  // namespace cli
