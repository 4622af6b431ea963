#include "image_job.h"

#include <algorithm>
#include <chrono>
#include <variant>

#include "cli_common.h"
#include "cli_params.h"
#include "console.h"
#include "deep_images.h"
#include "diag_writer.h"
#include "host/attention.h"
#include "side_by_side.h"
#include "stream_job.h"

namespace cli {

namespace {

// Images of another size are mapped whole, which needs a map and no mask;
// the command line refuses the others rather than cover their overlap.
void checkSizeFits(const JobContext& context, long width, long height, const std::string& path) {
  if (!kfMapsWholeImage(context.tool.grayTool(), {width, height}, context.method))
    checkSameSize(width, height, path, context.referenceWidth, context.referenceHeight);
}

template <class Sample>
RunResult<Sample> normalize(const JobContext& context, const ImageJob& job,
                            const imgio::BasicColorImage<Sample>& image, kcDiagObject* recorder) {
  checkSizeFits(context, image.width, image.height, job.input);
  if (context.tool.mode() == kcPlanarNormalizer::eGray && image.hasColour())
    noteColourConverted(job.input);
  // The fit's explanation tells whether it found a line; the run makes it
  // from its own counts.
  const bool fit = kcImageNormalizerDefs::isFit(context.method);
  try {
    RunResult<Sample> normalized =
        context.tool.run(image, context.method, context.report || fit || !job.sideBySide.empty(),
                         recorder, context.threadsPerImage);
    if (fit) warnOfMissingLines(context, job, normalized.explanations);
    return normalized;
  } catch (const Failure& failure) {
    if (failure.code() == kExitInterrupted) throw;
    throw Failure(failure.code(), job.input + ": " + failure.what());
  }
}

// The field's samples over its window: 16-bit differences of 8-bit images,
// 32-bit ones of 16-bit images, or single-precision ratios; what they mean
// goes into the description.
imgio::FieldImage fieldFileOf(const JobContext& context, const kcCorrectionField& field) {
  const bool divided = field.model == kcImageNormalizerDefs::eDivide;
  const kcPelRect w = divided ? field.ratio.window() : field.difference.window();
  imgio::FieldImage file{w.width(), w.height(), {}, {}};
  const auto samples = [&](const auto& buffer, auto sample) {
    std::vector<decltype(sample)> out(static_cast<std::size_t>(w.width() * w.height()));
    for (long y = 0; y < w.height(); ++y) {
      const auto* row = buffer.pointToPel(w.x(), w.y() + y);
      std::transform(row, row + w.width(), out.begin() + y * w.width(),
                     [](auto v) { return static_cast<decltype(sample)>(v); });
    }
    return out;
  };
  if (divided)
    file.samples = samples(field.ratio, 0.0f);
  else if (context.tool.isDeep())
    file.samples = samples(field.difference, std::int32_t{});
  else
    file.samples = samples(field.difference, std::int16_t{});
  const std::string top = std::to_string((1L << context.tool.bits()) - 1);
  file.description =
      "imgnorm correction field of " + methodName(context.method) + ", model " +
      (divided ? "divide: the ratio to the reference each pel was divided by; result = (int)(min("
                 "image / field, " +
                     top + ") + 0.5) in single precision"
               : "subtract: the difference to the reference subtracted from each pel; result = "
                 "clamp(image - field, 0, " +
                     top + ")") +
      "; the field covers the image from x " + std::to_string(w.x()) + ", y " +
      std::to_string(w.y());
  return file;
}

// The result, the compare picture and the field, complete under temporary
// names.
std::vector<imgio::PendingFile> prepareOutputs(const JobContext& context, const ImageJob& job,
                                               const imgio::ColorImage& image,
                                               Normalized& normalized,
                                               const std::optional<kcCorrectionField>& field) {
  std::vector<imgio::PendingFile> outputs;
  try {
    if (field)
      outputs.push_back(imgio::prepareFieldTiff(job.fieldOut, fieldFileOf(context, *field)));
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

// The compare picture of a 16-bit run: the three images and the maps on the
// 8-bit scale of the levels the run-time image and the reference span.
imgio::ColorImage deepSideBySide(const JobContext& context, const imgio::ColorImage16& image,
                                 const imgio::ColorImage16& result,
                                 const std::vector<kcNormalizationExplanation>& maps) {
  const PictureScale scale = PictureScale::of({&image, &*context.deepReference});
  std::vector<kcNormalizationExplanation> explanations;
  for (const auto& e : maps) explanations.push_back(pictureExplanation(e, scale));
  const std::string note = std::to_string(context.tool.bits()) + " BIT RANGE " +
                           std::to_string(scale.lo) + "-" + std::to_string(scale.hi);
  return composeSideBySide(pictureOf(image, scale), pictureOf(*context.deepReference, scale),
                           pictureOf(result, scale), context.mask ? &*context.mask : nullptr,
                           explanations, {note});
}

// A 16-bit image through a tool of 16-bit images: its result as deep as the
// input, and a compare picture through the data's range. No records.
void runDeepSteps(const JobContext& context, const ImageJob& job, imgio::ColorImage16 file,
                  ReportRecord* record) {
  const DeepImage input = deepImageOf(job.input, std::move(file), context.tool.bits());
  RunResult<std::uint16_t> run = normalize(context, job, input.image, nullptr);
  std::optional<kcCorrectionField> field;
  if (!job.fieldOut.empty()) field = context.tool.correctionField(input.image, context.method);
  std::vector<imgio::PendingFile> outputs;
  try {
    if (field)
      outputs.push_back(imgio::prepareFieldTiff(job.fieldOut, fieldFileOf(context, *field)));
    const imgio::ColorImage16 result = fileOf(run.planes, context.tool.bits(), input);
    outputs.push_back(imgio::prepareImage(job.output, result));
    if (!job.sideBySide.empty())
      outputs.push_back(imgio::prepareImage(
          job.sideBySide,
          deepSideBySide(context, input.image, fromPlanes(run.planes), run.explanations),
          imgio::Format::kPng));
  } catch (const imgio::ImageError& e) {
    failBadInput(e.what());
  }
  if (kcAttention::abortRequested()) throw Failure(kExitInterrupted, "interrupted");
  commitOutputs(outputs);
  if (record) record->explanations = std::move(run.explanations);
}

void runSteps(const JobContext& context, const ImageJob& job, kcDiagObject& recorder,
              ReportRecord* record) {
  const ImagePlan plan = planImage(context, job);
  if (plan.streamed) return runStreamedJob(context, job, plan, record);
  imgio::AnyDepthImage file = readInputAnyImage(job.input, context.maxPels);
  if (auto* deep = std::get_if<imgio::ColorImage16>(&file)) {
    if (!context.tool.isDeep())
      failBadInput(job.input + ": a 16-bit image, but the tool was trained on an 8-bit reference");
    return runDeepSteps(context, job, std::move(*deep), record);
  }
  if (context.tool.isDeep())
    failBadInput(job.input + ": an 8-bit image, but the tool is for 16-bit images of " +
                 std::to_string(context.tool.bits()) + " bits");
  imgio::ColorImage image = std::get<imgio::ColorImage>(std::move(file));
  kcDiagObject* diag = job.diagFolder.empty() ? nullptr : &recorder;
  Normalized normalized;
  try {
    normalized = normalize(context, job, image, diag);
  } catch (const Failure&) {
    if (diag) writeDiagRecords(recorder, job.diagFolder);
    throw;
  }
  std::optional<kcCorrectionField> field;
  if (!job.fieldOut.empty()) field = context.tool.correctionField(image, context.method);
  // Only the compare picture reads the input again; the result's file pels
  // take its place.
  if (job.sideBySide.empty()) image = {};
  // Every output is complete before any is put in place, so an image gets
  // all it asked for or nothing, and an interrupt leaves nothing partial.
  std::vector<imgio::PendingFile> outputs = prepareOutputs(context, job, image, normalized, field);
  if (diag) writeDiagRecords(recorder, job.diagFolder);
  if (kcAttention::abortRequested()) throw Failure(kExitInterrupted, "interrupted");
  commitOutputs(outputs);
  if (record) record->explanations = std::move(normalized.explanations);
}

}  // namespace

// A linear fit that found no line maps every level to 0: a black image that
// must not pass for a normalization.
void warnOfMissingLines(const JobContext& context, const ImageJob& job,
                        const std::vector<kcNormalizationExplanation>& explanations) {
  const std::vector<std::string> planes = context.tool.planeNames();
  for (std::size_t i = 0; i < explanations.size(); ++i)
    if (!explanations[i].fit.lineFound)
      printError("warning: " + job.input + ": the linear fit found no line in the " + planes.at(i) +
                 " plane (its pels have one gray level), so every pel became 0");
}

void checkFieldRequest(kcImageNormalizerDefs::Method method, ColorMode mode,
                       const std::string& target, bool folder) {
  if (!kcImageNormalizerDefs::isLocal(method))
    failBadInput("--field-out: only local and local-enhanced apply a correction field");
  if (mode != kcPlanarNormalizer::eGray)
    failBadInput(
        "--field-out: a colour tool corrects each channel by its own field; train a gray "
        "tool (--color gray) to save the field");
  if (!folder && imgio::formatForPath(target) != imgio::Format::kTiff)
    failBadInput(target + ": the correction field is a TIFF; name it .tif or .tiff");
}

JobContext::JobContext(const TrainedTool& t, kcImageNormalizerDefs::Method m, bool r,
                       long maxPixels, bool comparePictures)
    : tool(t),
      method(m),
      report(r),
      maxPels(maxPixels),
      referenceWidth(t.grayTool().referenceWindow().width()),
      referenceHeight(t.grayTool().referenceWindow().height()),
      masked(t.grayTool().maskImage().isBound()) {
  if (!comparePictures) return;
  if (t.isDeep())
    deepReference = t.referencePicture<std::uint16_t>();
  else
    reference = t.referencePicture<unsigned char>();
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
