#include "tool_setup.h"

#include <filesystem>
#include <optional>
#include <variant>

#include "cli_common.h"
#include "cli_params.h"
#include "deep_images.h"
#include "diag_writer.h"
#include "host/attention.h"
#include "imgio/image_rows.h"
#include "reference_stack.h"

namespace cli {

namespace {

// Applies one setter; the tool's refusal becomes a usage failure naming the
// option.
template <class Apply>
void setParameter(const char* option, Apply apply) {
  try {
    apply();
  } catch (const kcImageNormalizerDefs::BadParams& e) {
    failBadInput(std::string(option) + ": " + narrow(e.message()));
  }
}

}  // namespace

void addTrainingImageOptions(CLI::App& command, TrainingOptions& options, bool several) {
  if (!several) {
    command.add_option("--reference", options.references, "Reference image (PNG, TIFF or PGM)")
        ->required()
        ->expected(1)
        ->type_name("REF");
  } else {
    command
        .add_option("--reference", options.references,
                    "Reference image (PNG, TIFF or PGM), or several frames of one\n"
                    "scene made into one by --combine")
        ->required()
        ->type_name("REF");
    command
        .add_option("--combine", options.combine,
                    "Several references become their per-pel mean (default; one image\n"
                    "at a time, 4 bytes a sample) or median (every image held)")
        ->check(CLI::IsMember({"mean", "median"}).description(""))
        ->type_name("HOW");
  }
  command.add_option("--mask", options.mask, "Mask: the pels that are not 0 take part")
      ->type_name("MASK");
  command
      .add_option("--bits", options.bits,
                  "Significant bits of a 16-bit reference (default: what the file says,\n"
                  "else 16); samples stored high are shifted down")
      ->check(CLI::Range(1, 16).description(""))
      ->type_name("N");
}

void addTrainingParameterOptions(CLI::App& command, TrainingOptions& options) {
  command
      .add_option("--neighborhood", options.neighborhood,
                  "Local correction's neighbourhood (default 101x101)")
      ->check(sizeValidator())
      ->type_name("WxH");
  command
      .add_option("--granularity", options.granularity,
                  "Local correction's sampling step (default 1x1)")
      ->check(sizeValidator())
      ->type_name("GXxGY");
}

void addRunParameterOptions(CLI::App& command, RunParameterOptions& options) {
  command.add_option("--tails", options.tails, "Tail fractions, 0 <= LO <= HI <= 1 (default 0,1)")
      ->check(fractionPairValidator())
      ->type_name("LO,HI");
  command
      .add_option("--range", options.range,
                  "Intensity variation range, LO <= 0 <= HI (default -127,127;\n"
                  "for a 16-bit reference its whole depth)")
      ->check(longPairValidator())
      ->type_name("LO,HI");
  command.add_flag("--keep-masked", options.keepMasked, "Keep the pels outside the mask unchanged");
  command
      .add_option("--model", options.model,
                  "The local methods' model: subtract the smoothed difference to the\n"
                  "reference (an offset), or divide by the smoothed ratio (a gain);\n"
                  "default subtract, or what the tool was trained with")
      ->check(CLI::IsMember({"subtract", "divide"}).description(""))
      ->type_name("MODEL");
}

void addDiagOption(CLI::App& command, std::string& folder) {
  command.add_option("--diag", folder, "Write the diagnostic records into DIR")->type_name("DIR");
}

void addMaxPixelsOption(CLI::App& command, long& maxPixels, bool streams) {
  const std::string limit = " (default " + std::to_string(imgio::kDefaultMaxPels) + ")";
  command
      .add_option("--max-pixels", maxPixels,
                  streams ? "Read images of at most N pels in memory" + limit +
                                ";\nlarger ones are streamed where they can be (see --stream)"
                          : "Refuse input images of more pels than N" + limit)
      ->check(CLI::Range(1L, imgio::kMaxSide * imgio::kMaxSide).description(""))
      ->type_name("N");
}

void addStreamOptions(CLI::App& command, StreamOptions& options) {
  command.add_flag("--stream", options.force,
                   "Read, normalize and write images a band of rows at a time\n"
                   "whatever their size: memory follows the image's width and the\n"
                   "bands, not its height. Global methods and the linear fit read\n"
                   "the file twice; local methods at granularity 1 once");
  command
      .add_option("--band-rows", options.bandRows,
                  "Result rows of a streamed band (default: what about 64 MB,\n"
                  "or 192 MB for a local method, allows)")
      ->check(CLI::Range(1L, imgio::kMaxSide).description(""))
      ->type_name("N");
  command.add_flag("--bigtiff", options.bigTiff,
                   "Write a streamed TIFF result as BigTIFF whatever its size\n"
                   "(it is whenever it could pass 4 GiB)");
  command.add_flag("--dry-run", options.dryRun,
                   "Print each image's plan (size, depth, in memory or streamed,\n"
                   "expected peak memory) and normalize nothing");
}

void applyRunParameters(kcImageNormalizer& tool, const RunParameterOptions& options) {
  const kcPair<double> tails =
      options.tails.empty() ? tool.tailFractions() : *parseFractionPair(options.tails);
  const kcPair<long> range =
      options.range.empty() ? tool.intensityVariationRange() : *parseLongPair(options.range);
  setParameter("--tails",
               [&] { tool.set(tails, tool.intensityVariationRange(), tool.keepMaskedPixels()); });
  setParameter("--range", [&] { tool.set(tool.tailFractions(), range, tool.keepMaskedPixels()); });
  tool.set(tool.tailFractions(), tool.intensityVariationRange(),
           options.keepMasked || tool.keepMaskedPixels());
  if (!options.model.empty())
    tool.model(options.model == kcImageNormalizerDefs::kModelNames[kcImageNormalizerDefs::eDivide]
                   ? kcImageNormalizerDefs::eDivide
                   : kcImageNormalizerDefs::eSubtract);
}

namespace {

kcImageNormalizer configuredTool(const TrainingOptions& training, const RunParameterOptions& run) {
  kcImageNormalizer tool;
  if (!training.neighborhood.empty())
    setParameter("--neighborhood",
                 [&] { tool.neighborhoodSize(*parseSize(training.neighborhood)); });
  if (!training.granularity.empty())
    setParameter("--granularity", [&] { tool.granularity(*parseSize(training.granularity)); });
  applyRunParameters(tool, run);
  return tool;
}

// train(recorder, or none without a folder), its records written also
// when training fails.
template <class Train>
auto withTrainingRecords(kcDiagObject& recorder, const std::string& diagFolder, Train train) {
  kcDiagObject* diag = diagFolder.empty() ? nullptr : &recorder;
  try {
    return train(diag);
  } catch (const Failure&) {
    if (diag) writeDiagRecords(recorder, diagFolder);
    throw;
  }
}

}  // namespace

void addColorOption(CLI::App& command, std::string& mode) {
  command
      .add_option("--color", mode,
                  "channels, luminance or gray (default: channels for a colour\n"
                  "reference and image, gray otherwise)")
      ->check(CLI::IsMember({"channels", "luminance", "gray"}).description(""))
      ->type_name("MODE");
}

ColorMode resolveColorMode(const std::string& asked, const std::string& reference,
                           const std::string& image, long maxPels) {
  const auto read = [maxPels](const std::string& path) { return readInputAnyImage(path, maxPels); };
  const auto isColour = [](const imgio::AnyDepthImage& file) {
    return std::visit([](const auto& pels) { return pels.hasColour(); }, file);
  };
  const imgio::AnyDepthImage referenceFile = read(reference);
  if (!asked.empty()) {
    const ColorMode mode = *colorModeByName(asked);
    if (mode != kcPlanarNormalizer::eGray && !isColour(referenceFile))
      failBadInput(reference + ": --color " + asked + " needs a colour reference");
    return mode;
  }
  // An image too large to read in memory tells by its header.
  const auto imageIsColour = [&] {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(image, ec)) return isColour(read(image));
    try {
      const imgio::ImageLayout layout = imgio::RowReader::open(image)->layout();
      if (layout.width * layout.height > maxPels) return layout.channels >= 3;
    } catch (const imgio::ImageError&) {
      // read whole below, which says what is wrong
    }
    return isColour(read(image));
  };
  return isColour(referenceFile) && (image.empty() || imageIsColour())
             ? kcPlanarNormalizer::eChannels
             : kcPlanarNormalizer::eGray;
}

namespace {

// A 16-bit image (kExitBadInput for an 8-bit one among 16-bit references).
imgio::ColorImage16 readDeepFile(const std::string& path, long maxPels) {
  imgio::AnyDepthImage file = readInputAnyImage(path, maxPels);
  auto* deep = std::get_if<imgio::ColorImage16>(&file);
  if (!deep) failBadInput(path + ": an 8-bit image among 16-bit references");
  return std::move(*deep);
}

kcPelBuffer<unsigned char> readMask(const TrainingOptions& training, long width, long height) {
  if (training.mask.empty()) return {};
  const imgio::GrayImage maskImage = readInputImage(training.mask, training.maxPixels);
  checkSameSize(maskImage.width, maskImage.height, training.mask, width, height);
  return toPelBuffer(maskImage);
}

// Without --range, a 16-bit tool's range is its whole depth, as -127,127
// is for 8 bits.
void trainDeep(kcPlanarNormalizer& tool, const TrainingOptions& training,
               const RunParameterOptions& run, const DeepImage& reference, ColorMode mode,
               kcImageNormalizerDefs::Method methods) {
  const imgio::ColorImage16& image = reference.image;
  const kcPelBuffer<unsigned char> mask = readMask(training, image.width, image.height);
  try {
    tool.trainWide(mode, toPlanes(image), image.bits, mask, methods);
  } catch (const kcException& e) {
    rethrowLibraryFailure(e, kExitNotNormalized, "cannot train for " + methodList(methods));
  }
  const kcImageNormalizer& gray = tool.grayTool();
  const long top = (1L << image.bits) - 1;
  if (run.range.empty()) tool.set(gray.tailFractions(), {-top, top}, gray.keepMaskedPixels());
}

}  // namespace

TrainedTool trainAnyTool(const TrainingOptions& training, const RunParameterOptions& run,
                         kcImageNormalizerDefs::Method methods, ColorMode mode,
                         kcDiagObject& recorder, const std::string& diagFolder) {
  return withTrainingRecords(recorder, diagFolder, [&](kcDiagObject* diag) {
    kcPlanarNormalizer tool(configuredTool(training, run));
    const std::vector<std::string>& paths = training.references;
    const long maxPels = training.maxPixels;
    imgio::AnyDepthImage file = readInputAnyImage(paths.front(), maxPels);
    if (auto* deep = std::get_if<imgio::ColorImage16>(&file)) {
      // The first file, read once already, is the first the stack reads.
      std::optional<imgio::ColorImage16> first(std::move(*deep));
      // A gray tool combines the frames' luma, as for 8 bits.
      const auto read = [&](const std::string& path) {
        imgio::ColorImage16 image = first ? std::move(*first) : readDeepFile(path, maxPels);
        first.reset();
        DeepImage frame = deepImageOf(path, std::move(image), training.bits);
        if (mode == kcPlanarNormalizer::eGray && frame.image.hasColour()) {
          noteColourConverted(path);
          frame.image = imgio::toGray(frame.image);
        }
        return frame;
      };
      trainDeep(tool, training, run, combinedReference(paths, training.combine, read), mode,
                methods);
      return TrainedTool(std::move(tool));
    }
    if (training.bits != 0) failBadInput(paths.front() + ": --bits is for 16-bit references");
    // A gray tool reads its reference as gray (saying when colour was
    // converted), a colour tool with its colour.
    imgio::ColorImage reference;
    if (mode == kcPlanarNormalizer::eGray) {
      imgio::GrayImage gray =
          combinedReference(paths, training.combine,
                            [&](const std::string& path) { return readInputImage(path, maxPels); });
      reference = {gray.width, gray.height, 1, std::move(gray.pels)};
    } else {
      reference = combinedReference(paths, training.combine, [&](const std::string& path) {
        return readInputColorImage(path, maxPels);
      });
    }
    const kcPelBuffer<unsigned char> mask = readMask(training, reference.width, reference.height);
    try {
      tool.train(mode, toPlanes(reference), mask, methods, diag, diag ? kDiagFlags : 0, false);
    } catch (const kcException& e) {
      rethrowLibraryFailure(e, kExitNotNormalized, "cannot train for " + methodList(methods));
    }
    return TrainedTool(std::move(tool));
  });
}

void rethrowLibraryFailure(const std::exception& e, int code, const std::string& context) {
  if (dynamic_cast<const kcAttention::Aborted*>(&e)) throw Failure(kExitInterrupted, "interrupted");
  throw Failure(code, context + ": " + e.what());
}

}  // namespace cli
