#include "trained_tool.h"

#include <utility>

#include "cli_common.h"
#include "host/attention.h"
#include "imaging/pel_copy.h"
#include "imaging/pel_map.h"
#include "imgnorm/persistence.h"
#include "imgnorm/run_parallel.h"
#include "tool_setup.h"

namespace cli {

using namespace kcImageNormalizerDefs;

namespace {

// A gray image as three equal channels, and its alpha.
imgio::ColorImage asRgb(const imgio::ColorImage& image) {
  if (image.hasColour()) return image;
  const auto pelCount = static_cast<std::size_t>(image.width * image.height);
  const auto from = static_cast<std::size_t>(image.channels);
  const std::size_t to = image.hasAlpha() ? 4 : 3;
  imgio::ColorImage rgb{image.width, image.height, static_cast<int>(to),
                        std::vector<unsigned char>(pelCount * to)};
  for (std::size_t i = 0; i < pelCount; ++i) {
    std::fill_n(rgb.pels.begin() + static_cast<std::ptrdiff_t>(to * i), 3, image.pels[from * i]);
    if (image.hasAlpha()) rgb.pels[to * i + 3] = image.pels[from * i + 1];
  }
  return rgb;
}

// The image's alpha (its last channel) over window, row after row.
std::vector<unsigned char> alphaOver(const imgio::ColorImage& image, const kcPelRect& window) {
  const auto channels = static_cast<std::size_t>(image.channels);
  std::vector<unsigned char> alpha;
  alpha.reserve(static_cast<std::size_t>(window.width() * window.height()));
  for (long y = window.y(); y < window.bottom(); ++y)
    for (long x = window.x(); x < window.x() + window.width(); ++x)
      alpha.push_back(
          image.pels[static_cast<std::size_t>(y * image.width + x) * channels + channels - 1]);
  return alpha;
}

// The library's failures as Failure, with the library's message.
template <class Run>
auto libraryCall(Run run) {
  try {
    return run();
  } catch (const kcAttention::Aborted&) {
    throw Failure(kExitInterrupted, "interrupted");
  } catch (const kcException& e) {
    throw Failure(kExitNotNormalized, e.what());
  }
}

// The largest tool file images within the pel limit make: a reference and
// a mask for each of three colour channels, and their configurations.
std::size_t maxToolFileBytes(long maxPels) {
  constexpr std::size_t kHeaderBytes = 1 << 16;  // signatures, parameters, transforms, and room
  constexpr std::size_t kImagesPerTool = 6;
  return kImagesPerTool * static_cast<std::size_t>(maxPels) + kHeaderBytes;
}

}  // namespace

std::optional<ColorMode> colorModeByName(const std::string& name) {
  if (name == "gray") return ColorMode::kGray;
  if (name == "channels") return ColorMode::kChannels;
  if (name == "luminance") return ColorMode::kLuminance;
  return std::nullopt;
}

std::string colorModeName(ColorMode mode) {
  switch (mode) {
    case ColorMode::kGray:
      return "gray";
    case ColorMode::kChannels:
      return "channels";
    case ColorMode::kLuminance:
      return "luminance";
  }
  return "?";
}

kcColorPlanes toPlanes(const imgio::ColorImage& image) {
  kcColorPlanes planes;
  for (int c = 0; c < image.channels; ++c) {
    kcPelBuffer<unsigned char> plane(image.width, image.height);
    for (long y = 0; y < image.height; ++y) {
      const unsigned char* in =
          image.pels.data() + static_cast<std::size_t>(y * image.width * image.channels + c);
      unsigned char* out = plane.pointToPel(0, y);
      for (long x = 0; x < image.width; ++x) out[x] = in[x * image.channels];
    }
    planes.push_back(plane);
  }
  return planes;
}

imgio::ColorImage fromPlanes(const kcColorResult& planes) {
  const kcPelRect& w = planes.front().window();
  for (const auto& plane : planes)
    if (!plane.isBound() || plane.window() != w)
      throw Failure(kExitNotNormalized, "the colour planes differ in their windows");
  const int channels = static_cast<int>(planes.size());
  imgio::ColorImage image{
      w.width(), w.height(), channels,
      std::vector<unsigned char>(static_cast<std::size_t>(w.width() * w.height() * channels))};
  for (int c = 0; c < channels; ++c)
    for (long y = 0; y < w.height(); ++y) {
      const unsigned char* in = planes[static_cast<std::size_t>(c)].pointToPel(w.x(), w.y() + y);
      unsigned char* out =
          image.pels.data() + static_cast<std::size_t>(y * w.width() * channels + c);
      for (long x = 0; x < w.width(); ++x) out[x * channels] = in[x];
    }
  return image;
}

TrainedTool TrainedTool::load(const std::string& path, long maxPels) {
  try {
    kcAnyImageNormalizer tool = kfLoadAnyImageNormalizer(path, maxToolFileBytes(maxPels));
    if (auto* colour = std::get_if<kcColorImageNormalizer>(&tool))
      return TrainedTool(std::move(*colour));
    return TrainedTool(std::get<kcImageNormalizer>(std::move(tool)));
  } catch (const kcAttention::Aborted&) {
    throw Failure(kExitInterrupted, "interrupted");
  } catch (const kcException& e) {
    failBadInput(e.what());
  }
}

std::vector<unsigned char> TrainedTool::fileBytes() const {
  return colour_ ? kfColorImageNormalizerBytes(*colour_) : kfImageNormalizerBytes(*gray_);
}

ColorMode TrainedTool::mode() const {
  if (!colour_) return ColorMode::kGray;
  return colour_->mode() == kcColorImageNormalizer::eLuminance ? ColorMode::kLuminance
                                                               : ColorMode::kChannels;
}

std::vector<std::string> TrainedTool::planeNames() const {
  if (!colour_) return {"gray"};
  std::vector<std::string> names;
  for (const std::wstring& name : colour_->planeNames()) names.push_back(narrow(name));
  return names;
}

void TrainedTool::applyRunParameters(const RunParameterOptions& options) {
  if (!colour_) {
    cli::applyRunParameters(*gray_, options);
    return;
  }
  kcImageNormalizer parameters = grayTool();
  cli::applyRunParameters(parameters, options);
  colour_->set(parameters.tailFractions(), parameters.intensityVariationRange(),
               parameters.keepMaskedPixels());
}

imgio::ColorImage TrainedTool::referencePicture() const {
  kcColorResult planes;
  if (mode() == ColorMode::kChannels)
    for (const auto& tool : colour_->grayTools()) planes.push_back(kfPelCopy(tool.referenceImage()));
  else
    planes.push_back(kfPelCopy(grayTool().referenceImage()));
  return fromPlanes(planes);
}

Normalized TrainedTool::run(const imgio::ColorImage& image, Method method, bool wholeImage,
                            bool explain, kcDiagObject* diag, unsigned threads) const {
  const bool explained = explain && hasMap(method);
  return colour_ ? runColour(image, method, wholeImage, explained)
                 : runGray(image, method, wholeImage, explained, diag, threads);
}

imgio::ColorImage takeResult(Normalized& normalized) {
  if (!normalized.grayResult.isBound()) return std::move(normalized.result);
  const kcPelBuffer<unsigned char> gray = std::move(normalized.grayResult);
  normalized.grayResult.setUnbound();
  imgio::GrayImage pels = toGrayImage(gray);
  if (normalized.grayResultAlpha.empty())
    return {gray.width(), gray.height(), 1, std::move(pels.pels)};
  const std::vector<unsigned char> alpha = std::exchange(normalized.grayResultAlpha, {});
  imgio::ColorImage withAlpha{pels.width, pels.height, 2,
                              std::vector<unsigned char>(2 * pels.pels.size())};
  for (std::size_t i = 0; i < pels.pels.size(); ++i) {
    withAlpha.pels[2 * i] = pels.pels[i];
    withAlpha.pels[2 * i + 1] = alpha[i];
  }
  return withAlpha;
}

Normalized TrainedTool::runGray(const imgio::ColorImage& image, Method method, bool wholeImage,
                                bool explain, kcDiagObject* diag, unsigned threads) const {
  // A gray image's own pels are read in place; the run never keeps them.
  std::vector<unsigned char> converted;
  if (image.channels > 1) converted = imgio::toGray(image).pels;
  const auto pels = kcPelBuffer_const<unsigned char>::wrap(
      image.channels > 1 ? converted.data() : image.pels.data(), image.width, image.height,
      image.width, nullptr);
  Normalized normalized;
  bool success = false;
  std::wstring message;
  kcPelBuffer<unsigned char> result;
  if (wholeImage) {
    normalized.explanations.push_back(
        libraryCall([&] { return kfExplainWholeImage(*gray_, pels, method); }));
    success = normalized.explanations.back().success;
    message = normalized.explanations.back().message;
    if (success) result = kfPelMap(pels, normalized.explanations.back().map);
  } else if (diag) {
    // Records come from one run, explained apart.
    if (explain)
      normalized.explanations.push_back(
          libraryCall([&] { return kfExplainNormalization(*gray_, pels, method); }));
    result =
        libraryCall([&] { return gray_->run(pels, method, success, message, diag, kDiagFlags); });
  } else {
    // Spare threads share the rows; an explained map is the one the run
    // built and applied.
    kcNormalizationExplanation explanation;
    result = libraryCall([&] {
      return explain ? kfRunParallel(*gray_, pels, method, threads, success, message, explanation)
                     : kfRunParallel(*gray_, pels, method, threads, success, message);
    });
    if (explain) normalized.explanations.push_back(std::move(explanation));
  }
  if (!success) throw Failure(kExitNotNormalized, narrow(message));
  if (!result.isBound())
    throw Failure(kExitNotNormalized, "the image does not overlap the reference");
  if (image.hasAlpha()) normalized.grayResultAlpha = alphaOver(image, result.window());
  normalized.grayResult = std::move(result);
  return normalized;
}

Normalized TrainedTool::runColour(const imgio::ColorImage& image, Method method, bool wholeImage,
                                  bool explain) const {
  const kcColorPlanes planes = toPlanes(asRgb(image));
  Normalized normalized;
  // The maps explained are those the run applied.
  auto* explanations = explain || wholeImage ? &normalized.explanations : nullptr;
  bool success = false;
  std::wstring message;
  const kcColorResult result = libraryCall([&] {
    return wholeImage ? colour_->runWholeImage(planes, method, success, message, explanations)
                      : colour_->run(planes, method, success, message, explanations);
  });
  if (!success) throw Failure(kExitNotNormalized, narrow(message));
  if (result.empty()) throw Failure(kExitNotNormalized, "the image does not overlap the reference");
  normalized.result = fromPlanes(result);
  return normalized;
}

}  // namespace cli
