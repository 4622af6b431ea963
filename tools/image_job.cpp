#include "image_job.h"

#include "cli_common.h"
#include "diag_writer.h"
#include "host/attention.h"
#include "imgnorm/run_parallel.h"
#include "side_by_side.h"
#include "tool_setup.h"

namespace cli {

namespace {

imgio::GrayImage normalize(const JobContext& context, const ImageJob& job,
                           const imgio::GrayImage& image, kcDiagObject* recorder) {
  bool success = false;
  std::wstring message;
  kcPelBuffer<unsigned char> result;
  try {
    if (recorder || context.threadsPerImage < 2)
      result = context.tool.run(toPelBuffer(image), context.method, success, message, recorder,
                                recorder ? kDiagFlags : 0);
    else
      result = kfRunParallel(context.tool, toPelBuffer(image), context.method,
                             context.threadsPerImage, success, message);
  } catch (const kcException& e) {
    rethrowLibraryFailure(e, kExitNotNormalized, job.input);
  }
  if (!success) throw Failure(kExitNotNormalized, job.input + ": " + narrow(message));
  if (!result.isBound())
    throw Failure(kExitNotNormalized, job.input + ": the image does not overlap the reference");
  return toGrayImage(result);
}

// The result and the compare picture, complete under temporary names.
std::vector<imgio::PendingFile> prepareOutputs(const JobContext& context, const ImageJob& job,
                                               const imgio::GrayImage& image,
                                               const imgio::GrayImage& result) {
  std::vector<imgio::PendingFile> outputs;
  try {
    outputs.push_back(imgio::prepareImage(job.output, result));
    if (!job.sideBySide.empty())
      outputs.push_back(imgio::prepareImage(
          job.sideBySide,
          composeSideBySide(image, context.reference, result,
                            context.mask ? &*context.mask : nullptr),
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

}  // namespace

JobContext::JobContext(const kcImageNormalizer& t, kcImageNormalizerDefs::Method m, long maxPixels)
    : tool(t), method(m), maxPels(maxPixels), reference(toGrayImage(t.referenceImage())) {
  if (t.maskImage().isBound()) mask = toGrayImage(t.maskImage());
}

void runJob(const JobContext& context, const ImageJob& job, kcDiagObject& recorder) {
  const imgio::GrayImage image = readInputImage(job.input, context.maxPels);
  checkSameSize(image, job.input, context.reference.width, context.reference.height);
  kcDiagObject* diag = job.diagFolder.empty() ? nullptr : &recorder;
  imgio::GrayImage result;
  try {
    result = normalize(context, job, image, diag);
  } catch (const Failure&) {
    if (diag) writeDiagRecords(recorder, job.diagFolder);
    throw;
  }
  // Every output is complete before any is put in place, so an image gets
  // all it asked for or nothing, and an interrupt leaves nothing partial.
  std::vector<imgio::PendingFile> outputs = prepareOutputs(context, job, image, result);
  if (diag) writeDiagRecords(recorder, job.diagFolder);
  if (kcAttention::abortRequested()) throw Failure(kExitInterrupted, "interrupted");
  commitOutputs(outputs);
}

}  // namespace cli
