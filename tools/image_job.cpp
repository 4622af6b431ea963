#include "image_job.h"

#include <chrono>

#include "cli_common.h"
#include "cli_params.h"
#include "diag_writer.h"
#include "side_by_side.h"

namespace cli {

namespace {

// Images of another size are mapped whole, which needs a map and no mask.
bool mapsWhole(const JobContext& context, const imgio::ColorImage& image,
               const std::string& path) {
  const bool sameSize =
      image.width == context.reference.width && image.height == context.reference.height;
  if (sameSize) return false;
  if (!hasMap(context.method) || context.mask)
    checkSameSize(image.width, image.height, path, context.reference.width,
                  context.reference.height);
  return true;
}

Normalized normalize(const JobContext& context, const ImageJob& job,
                     const imgio::ColorImage& image, kcDiagObject* recorder) {
  const bool whole = mapsWhole(context, image, job.input);
  if (context.tool.mode() == ColorMode::kGray && image.channels > 1)
    noteColourConverted(job.input);
  try {
    return context.tool.run(image, context.method, whole,
                            context.report || !job.sideBySide.empty(), recorder);
  } catch (const Failure& failure) {
    if (failure.code() == kExitInterrupted) throw;
    throw Failure(failure.code(), job.input + ": " + failure.what());
  }
}

void writeOutputs(const JobContext& context, const ImageJob& job, const imgio::ColorImage& image,
                  const Normalized& normalized) {
  try {
    imgio::writeImage(job.output, normalized.result);
    if (!job.sideBySide.empty())
      imgio::writeImage(
          job.sideBySide,
          composeSideBySide(imgio::toGray(image), context.reference,
                            imgio::toGray(normalized.result), context.mask ? &*context.mask : nullptr,
                            normalized.explanations.empty() ? nullptr
                                                            : &normalized.explanations.front()),
          imgio::Format::kPng);
  } catch (const imgio::ImageError& e) {
    failBadInput(e.what());
  }
}

void runSteps(const JobContext& context, const ImageJob& job, kcDiagObject& recorder,
              ReportRecord* record) {
  const imgio::ColorImage image = readInputColorImage(job.input);
  kcDiagObject* diag = job.diagFolder.empty() ? nullptr : &recorder;
  Normalized normalized;
  try {
    normalized = normalize(context, job, image, diag);
  } catch (const Failure&) {
    if (diag) writeDiagRecords(recorder, job.diagFolder);
    throw;
  }
  writeOutputs(context, job, image, normalized);
  if (diag) writeDiagRecords(recorder, job.diagFolder);
  if (record) record->explanations = std::move(normalized.explanations);
}

}  // namespace

JobContext::JobContext(const TrainedTool& t, kcImageNormalizerDefs::Method m, bool r)
    : tool(t), method(m), report(r), reference(t.referencePicture()) {
  if (t.grayTool().maskImage().isBound()) mask = toGrayImage(t.grayTool().maskImage());
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
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count();
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
