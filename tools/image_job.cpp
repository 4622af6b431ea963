#include "image_job.h"

#include <chrono>

#include "cli_common.h"
#include "cli_params.h"
#include "console.h"
#include "diag_writer.h"
#include "host/attention.h"
#include "side_by_side.h"

namespace cli {

namespace {

// Images of another size are mapped whole, which needs a map and no mask;
// the command line refuses the others rather than cover their overlap.
void checkSizeFits(const JobContext& context, const imgio::ColorImage& image,
                   const std::string& path) {
  if (!kfMapsWholeImage(context.tool.grayTool(), {image.width, image.height}, context.method))
    checkSameSize(image.width, image.height, path, context.referenceWidth, context.referenceHeight);
}

// A linear fit that found no line maps every level to 0: a black image that
// must not pass for a normalization.
void warnOfMissingLines(const JobContext& context, const ImageJob& job,
                        const Normalized& normalized) {
  const std::vector<std::string> planes = context.tool.planeNames();
  for (std::size_t i = 0; i < normalized.explanations.size(); ++i)
    if (!normalized.explanations[i].fit.lineFound)
      printError("warning: " + job.input + ": the linear fit found no line in the " + planes.at(i) +
                 " plane (its pels have one gray level), so every pel became 0");
}

Normalized normalize(const JobContext& context, const ImageJob& job, const imgio::ColorImage& image,
                     kcDiagObject* recorder) {
  checkSizeFits(context, image, job.input);
  if (context.tool.mode() == kcPlanarNormalizer::eGray && image.hasColour()) noteColourConverted(job.input);
  // The fit's explanation tells whether it found a line; the run makes it
  // from its own counts.
  const bool fit = kcImageNormalizerDefs::isFit(context.method);
  try {
    Normalized normalized =
        context.tool.run(image, context.method, context.report || fit || !job.sideBySide.empty(),
                         recorder, context.threadsPerImage);
    if (fit) warnOfMissingLines(context, job, normalized);
    return normalized;
  } catch (const Failure& failure) {
    if (failure.code() == kExitInterrupted) throw;
    throw Failure(failure.code(), job.input + ": " + failure.what());
  }
}

// The result and the compare picture, complete under temporary names.
std::vector<imgio::PendingFile> prepareOutputs(const JobContext& context, const ImageJob& job,
                                               const imgio::ColorImage& image,
                                               Normalized& normalized) {
  std::vector<imgio::PendingFile> outputs;
  try {
    const imgio::ColorImage result = takeResult(normalized);
    outputs.push_back(imgio::prepareImage(job.output, result));
    if (!job.sideBySide.empty())
      outputs.push_back(imgio::prepareImage(
          job.sideBySide,
          composeSideBySide(image, context.reference, result,
                            context.mask ? &*context.mask : nullptr, normalized.explanations),
          imgio::Format::kPng));
  } catch (const imgio::ImageError& e) {
    failBadInput(e.what());
  }
  return outputs;
}

void commitOutputs(std::vector<imgio::PendingFile>& outputs) {
  try {
    for (auto& output : outputs) output.commit();
  } catch (const imgio::ImageError& e) {
    failBadInput(e.what());
  }
}

void runSteps(const JobContext& context, const ImageJob& job, kcDiagObject& recorder,
              ReportRecord* record) {
  imgio::ColorImage image = readInputColorImage(job.input, context.maxPels);
  kcDiagObject* diag = job.diagFolder.empty() ? nullptr : &recorder;
  Normalized normalized;
  try {
    normalized = normalize(context, job, image, diag);
  } catch (const Failure&) {
    if (diag) writeDiagRecords(recorder, job.diagFolder);
    throw;
  }
  // Only the compare picture reads the input again; the result's file pels
  // take its place.
  if (job.sideBySide.empty()) image = {};
  // Every output is complete before any is put in place, so an image gets
  // all it asked for or nothing, and an interrupt leaves nothing partial.
  std::vector<imgio::PendingFile> outputs = prepareOutputs(context, job, image, normalized);
  if (diag) writeDiagRecords(recorder, job.diagFolder);
  if (kcAttention::abortRequested()) throw Failure(kExitInterrupted, "interrupted");
  commitOutputs(outputs);
  if (record) record->explanations = std::move(normalized.explanations);
}

}  // namespace

JobContext::JobContext(const TrainedTool& t, kcImageNormalizerDefs::Method m, bool r,
                       long maxPixels, bool comparePictures)
    : tool(t),
      method(m),
      report(r),
      maxPels(maxPixels),
      referenceWidth(t.grayTool().referenceImage().width()),
      referenceHeight(t.grayTool().referenceImage().height()),
      masked(t.grayTool().maskImage().isBound()) {
  if (!comparePictures) return;
  reference = t.referencePicture();
  if (masked) mask = toGrayImage(t.grayTool().maskImage());
}

void runJob(const JobContext& context, const ImageJob& job, kcDiagObject& recorder,
            ReportRecord* record) {
  const auto start = std::chrono::steady_clock::now();
  const auto finish = [&](bool success, const std::string& message) {
    if (!record) return;
    record->input = job.input;
    record->output = job.output;
    record->method = methodName(context.method);
    record->color = colorModeName(context.tool.mode());
    record->planes = context.tool.planeNames();
    record->success = success;
    record->message = message;
    record->milliseconds =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  };
  try {
    runSteps(context, job, recorder, record);
  } catch (const Failure& failure) {
    finish(false, failure.what());
    throw;
  }
  finish(true, "");
}

}  // namespace cli
