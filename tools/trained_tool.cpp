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

template <class Sample>
kcPlanesOf<Sample> toPlanes(const Sample* samples, long width, long height, int channels,
                            long top) {
  kcPlanesOf<Sample> planes;
  for (int c = 0; c < channels; ++c) {
    kcPelBuffer<Sample> plane(kcPelRect(0, top, width, height));
    for (long y = 0; y < height; ++y) {
      const Sample* in = samples + y * width * channels + c;
      Sample* out = plane.pointToPel(0, top + y);
      if (channels == 1)
        std::copy_n(in, width, out);
      else
        for (long x = 0; x < width; ++x) out[x] = in[x * channels];
    }
    planes.push_back(std::move(plane));
  }
  return planes;
}

template <class Sample>
kcPlanesOf<Sample> toPlanes(const imgio::BasicColorImage<Sample>& image) {
  return toPlanes(image.pels.data(), image.width, image.height, image.channels);
}

namespace {

// The planes of an image for one run: a gray image's own pels read in place.
template <class Sample>
kcPlanesOf<Sample> runPlanes(const imgio::BasicColorImage<Sample>& image) {
  if (image.channels == 1)
    return {kcPelBuffer_const<Sample>::wrap(image.pels.data(), image.width, image.height,
                                            image.width, nullptr)};
  return toPlanes(image);
}

}  // namespace

template <class Sample>
imgio::BasicColorImage<Sample> fromPlanes(const kcResultOf<Sample>& planes) {
  const kcPelRect& w = planes.front().window();
  for (const auto& plane : planes)
    if (!plane.isBound() || plane.window() != w)
      throw Failure(kExitNotNormalized, "the colour planes differ in their windows");
  const int channels = static_cast<int>(planes.size());
  imgio::BasicColorImage<Sample> image{
      w.width(), w.height(), channels,
      std::vector<Sample>(static_cast<std::size_t>(w.width() * w.height() * channels))};
  for (int c = 0; c < channels; ++c)
    for (long y = 0; y < w.height(); ++y) {
      const Sample* in = planes[static_cast<std::size_t>(c)].pointToPel(w.x(), w.y() + y);
      Sample* out = image.pels.data() + static_cast<std::size_t>(y * w.width() * channels + c);
      for (long x = 0; x < w.width(); ++x) out[x * channels] = in[x];
    }
  return image;
}

template kcColorPlanes toPlanes(const unsigned char*, long, long, int, long);
template kcWidePlanes toPlanes(const std::uint16_t*, long, long, int, long);
template kcColorPlanes toPlanes(const imgio::ColorImage&);
template kcWidePlanes toPlanes(const imgio::ColorImage16&);
template imgio::ColorImage fromPlanes(const kcColorResult&);
template imgio::ColorImage16 fromPlanes(const kcWideResult&);

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

template <class Sample>
kcCorrectionField TrainedTool::correctionField(const imgio::BasicColorImage<Sample>& image,
                                               Method method) const {
  const kcPlanesOf<Sample> planes = runPlanes(image);
  const kcPelBuffer_const<Sample> gray =
      image.hasColour() ? kcPelBuffer_const<Sample>(kfLumaPlane(planes)) : planes.front();
  kcCorrectionField field;
  libraryCall([&] { return grayTool().run(gray, method, field); });
  return field;
}

template <class Sample>
imgio::BasicColorImage<Sample> TrainedTool::referencePicture() const {
  kcResultOf<Sample> planes;
  const auto referenceOf = [](const kcImageNormalizer& tool) {
    if constexpr (sizeof(Sample) == 1)
      return kfPelCopy(tool.referenceImage());
    else
      return kfPelCopy(tool.wideReferenceImage());
  };
  if (mode() == kcPlanarNormalizer::eChannels)
    for (const auto& tool : tool_.colourTool()->grayTools()) planes.push_back(referenceOf(tool));
  else
    planes.push_back(referenceOf(grayTool()));
  imgio::BasicColorImage<Sample> picture = fromPlanes(planes);
  picture.bits = bits();
  return picture;
}

template <class Sample>
RunResult<Sample> TrainedTool::run(const imgio::BasicColorImage<Sample>& image, Method method,
                                   bool explain, kcDiagObject* diag, unsigned threads) const {
  const kcPlanesOf<Sample> planes = runPlanes(image);
  kcPlanarRunOptions options;
  options.explain = explain;
  options.threads = threads;
  options.diag = diag;
  options.diagFlags = diag ? kDiagFlags : 0;
  kcPlanarRunOf<Sample> run = libraryCall([&] { return tool_.run(planes, method, options); });
  if (!run.success) throw Failure(kExitNotNormalized, narrow(run.message));
  if (run.planes.empty())
    throw Failure(kExitNotNormalized, "the image does not overlap the reference");
  return {std::move(run.planes), std::move(run.explanations)};
}

#define CLI_TOOL_DEPTH(Sample)                                                                     \
  template kcCorrectionField TrainedTool::correctionField(const imgio::BasicColorImage<Sample>&,   \
                                                          Method) const;                           \
  template imgio::BasicColorImage<Sample> TrainedTool::referencePicture() const;                   \
  template RunResult<Sample> TrainedTool::run(const imgio::BasicColorImage<Sample>&, Method, bool, \
                                              kcDiagObject*, unsigned) const;
CLI_TOOL_DEPTH(unsigned char)
CLI_TOOL_DEPTH(std::uint16_t)
#undef CLI_TOOL_DEPTH

}  // namespace cli
