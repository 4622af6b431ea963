#include "trained_tool.h"

#include <algorithm>
#include <utility>

#include "cli_common.h"
#include "host/attention.h"
#include "imaging/pel_copy.h"
#include "imgnorm/persistence.h"
#include "tool_setup.h"

namespace cli {

using namespace kcImageNormalizerDefs;

namespace {

// The largest tool file images within the pel limit make: a reference and
// a mask for each of three colour channels, and their configurations.
std::size_t maxToolFileBytes(long maxPels) {
  constexpr std::size_t kHeaderBytes = 1 << 16;  // signatures, parameters, transforms, and room
  constexpr std::size_t kImagesPerTool = 6;
  return kImagesPerTool * static_cast<std::size_t>(maxPels) + kHeaderBytes;
}

}  // namespace

std::optional<ColorMode> colorModeByName(const std::string& name) {
  if (name == "gray") return kcPlanarNormalizer::eGray;
  if (name == "channels") return kcPlanarNormalizer::eChannels;
  if (name == "luminance") return kcPlanarNormalizer::eLuminance;
  return std::nullopt;
}

std::string colorModeName(ColorMode mode) {
  switch (mode) {
    case kcPlanarNormalizer::eGray:
      return "gray";
    case kcPlanarNormalizer::eChannels:
      return "channels";
    case kcPlanarNormalizer::eLuminance:
      return "luminance";
  }
  return "?";
}

kcColorPlanes toPlanes(const unsigned char* samples, long width, long height, int channels,
                       long top) {
  kcColorPlanes planes;
  for (int c = 0; c < channels; ++c) {
    kcPelBuffer<unsigned char> plane(kcPelRect(0, top, width, height));
    for (long y = 0; y < height; ++y) {
      const unsigned char* in = samples + y * width * channels + c;
      unsigned char* out = plane.pointToPel(0, top + y);
      if (channels == 1)
        std::copy_n(in, width, out);
      else
        for (long x = 0; x < width; ++x) out[x] = in[x * channels];
    }
    planes.push_back(std::move(plane));
  }
  return planes;
}

kcColorPlanes toPlanes(const imgio::ColorImage& image) {
  return toPlanes(image.pels.data(), image.width, image.height, image.channels);
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
    return TrainedTool(
        kcPlanarNormalizer(kfLoadAnyImageNormalizer(path, maxToolFileBytes(maxPels))));
  } catch (const kcAttention::Aborted&) {
    throw Failure(kExitInterrupted, "interrupted");
  } catch (const kcException& e) {
    failBadInput(e.what());
  }
}

std::vector<std::string> TrainedTool::planeNames() const {
  std::vector<std::string> names;
  for (const std::wstring& name : tool_.planeNames()) names.push_back(narrow(name));
  return names;
}

void TrainedTool::applyRunParameters(const RunParameterOptions& options) {
  kcImageNormalizer parameters = grayTool();
  cli::applyRunParameters(parameters, options);
  tool_.set(parameters.tailFractions(), parameters.intensityVariationRange(),
            parameters.keepMaskedPixels());
  tool_.model(parameters.model());
}

kcCorrectionField TrainedTool::correctionField(const imgio::ColorImage& image,
                                               Method method) const {
  const kcColorPlanes planes = toPlanes(image);
  const kcPelBuffer_const<unsigned char> gray =
      image.hasColour() ? kcPelBuffer_const<unsigned char>(kfLumaPlane(planes)) : planes.front();
  kcCorrectionField field;
  libraryCall([&] { return grayTool().run(gray, method, field); });
  return field;
}

kcCorrectionField TrainedTool::correctionField(const kcPelBuffer_const<unsigned short>& image,
                                               Method method) const {
  kcCorrectionField field;
  libraryCall([&] { return grayTool().run(image, method, field); });
  return field;
}

imgio::ColorImage TrainedTool::referencePicture() const {
  kcColorResult planes;
  if (mode() == kcPlanarNormalizer::eChannels)
    for (const auto& tool : tool_.colourTool()->grayTools())
      planes.push_back(kfPelCopy(tool.referenceImage()));
  else
    planes.push_back(kfPelCopy(grayTool().referenceImage()));
  return fromPlanes(planes);
}

Normalized TrainedTool::run(const imgio::ColorImage& image, Method method, bool explain,
                            kcDiagObject* diag, unsigned threads) const {
  // A gray image's own pels are read in place; the run never keeps them.
  const kcColorPlanes planes =
      image.channels == 1 ? kcColorPlanes{kcPelBuffer_const<unsigned char>::wrap(
                                image.pels.data(), image.width, image.height, image.width, nullptr)}
                          : toPlanes(image);
  kcPlanarRunOptions options;
  options.explain = explain;
  options.threads = threads;
  options.diag = diag;
  options.diagFlags = diag ? kDiagFlags : 0;
  kcPlanarRun run = libraryCall([&] { return tool_.run(planes, method, options); });
  if (!run.success) throw Failure(kExitNotNormalized, narrow(run.message));
  if (run.planes.empty())
    throw Failure(kExitNotNormalized, "the image does not overlap the reference");
  return {std::move(run.planes), std::move(run.explanations)};
}

kcWideRun TrainedTool::runDeep(const kcPelBuffer_const<unsigned short>& image, Method method,
                               bool explain, unsigned threads) const {
  kcPlanarRunOptions options;
  options.explain = explain;
  options.threads = threads;
  kcWideRun run = libraryCall([&] { return tool_.runWide(image, method, options); });
  if (!run.success) throw Failure(kExitNotNormalized, narrow(run.message));
  if (!run.image.isBound())
    throw Failure(kExitNotNormalized, "the image does not overlap the reference");
  return run;
}

imgio::ColorImage takeResult(Normalized& normalized) {
  const kcColorResult planes = std::move(normalized.planes);
  normalized.planes.clear();
  return fromPlanes(planes);
}

}  // namespace cli
