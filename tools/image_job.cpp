#include "image_job.h"

#include "cli_common.h"
#include "diag_writer.h"
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
    result = context.tool.run(toPelBuffer(image), context.method, success, message, recorder,
                              recorder ? kDiagFlags : 0);
  } catch (const kcException& e) {
    rethrowLibraryFailure(e, kExitNotNormalized, job.input);
  }
  if (!success) throw Failure(kExitNotNormalized, job.input + ": " + narrow(message));
  if (!result.isBound())
    throw Failure(kExitNotNormalized, job.input + ": the image does not overlap the reference");
  return toGrayImage(result);
}

void writeOutputs(const JobContext& context, const ImageJob& job, const imgio::GrayImage& image,
                  const imgio::GrayImage& result) {
  try {
    imgio::writeImage(job.output, result);
    if (!job.sideBySide.empty())
      imgio::writeImage(job.sideBySide,
                        composeSideBySide(image, context.reference, result,
                                          context.mask ? &*context.mask : nullptr),
                        imgio::Format::kPng);
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
  writeOutputs(context, job, image, result);
  if (diag) writeDiagRecords(recorder, job.diagFolder);
}

}  // namespace cli
