#pragma once

// The options that configure a tool, shared by train, run and normalize,
// and the steps that turn them into a trained tool.

#include <CLI/CLI.hpp>
#include <string>

#include "image_job.h"
#include "imgio/image_io.h"
#include "imgnorm/image_normalizer.h"
#include "trained_tool.h"

namespace cli {

// Diagnostic categories: the inputs and the result.
constexpr unsigned long kDiagFlags =
    kcImageNormalizerDefs::kDiagInputs | kcImageNormalizerDefs::kDiagResult;

struct TrainingOptions {
  std::vector<std::string> references;  // one, or several to combine
  std::string combine = "mean";         // of several references: mean or median
  std::string mask;
  std::string neighborhood;  // empty: the tool's default
  std::string granularity;
  int bits = 0;  // a 16-bit reference's significant bits; 0: the file's
  long maxPixels = imgio::kDefaultMaxPels;
};

struct RunParameterOptions {
  std::string tails;  // empty: the tool's value
  std::string range;
  bool keepMasked = false;
  std::string model;  // empty: the tool's
};

// --reference (several with --combine when several is true) and --mask;
// then, after the method option, the parameters of training.
void addTrainingImageOptions(CLI::App& command, TrainingOptions& options, bool several);
void addTrainingParameterOptions(CLI::App& command, TrainingOptions& options);
void addRunParameterOptions(CLI::App& command, RunParameterOptions& options);
void addDiagOption(CLI::App& command, std::string& folder);
// --max-pixels: the limit of images in memory; with streams, larger images
// are streamed rather than refused.
void addMaxPixelsOption(CLI::App& command, long& maxPixels, bool streams = false);
// --stream, --band-rows, --bigtiff and --dry-run.
void addStreamOptions(CLI::App& command, StreamOptions& options);

// Sets the given run-time parameters without untraining the tool; values
// the tool refuses fail with kExitBadInput and the tool's rule.
void applyRunParameters(kcImageNormalizer& tool, const RunParameterOptions& options);

// --color MODE.
void addColorOption(CLI::App& command, std::string& mode);

// The colour mode asked for, or by default channels when the reference and
// the image (when given) are colour, gray otherwise. A colour mode with a
// gray reference fails with kExitBadInput.
ColorMode resolveColorMode(const std::string& asked, const std::string& reference,
                           const std::string& image, long maxPels);

// Configures a tool from the options (reading the images) and trains it in
// mode for methods through the library's planar layer: a gray tool on the
// reference as gray, a colour tool on its colour. Records go into recorder
// when diagFolder is set, and a failed training still writes them there
// before the failure goes on. A tool that cannot train (for example an
// empty histogram under the mask) fails with kExitNotNormalized.
TrainedTool trainAnyTool(const TrainingOptions& training, const RunParameterOptions& run,
                         kcImageNormalizerDefs::Method methods, ColorMode mode,
                         kcDiagObject& recorder, const std::string& diagFolder);

// Turns a failure of the library into a Failure: an abort into
// kExitInterrupted, everything else into code with context prefixed.
[[noreturn]] void rethrowLibraryFailure(const std::exception& e, int code,
                                        const std::string& context);

}  // namespace cli
