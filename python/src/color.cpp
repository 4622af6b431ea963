#include "color.h"

#include <string>
#include <vector>

#include "arrays.h"
#include "errors.h"
#include "explanations.h"
#include "imaging/pel_copy.h"

namespace imgnorm_py {

namespace {

using kcImageNormalizerDefs::Method;

// The channel axis of a colour image, from 0; refuses what is not a 3-D
// uint8 array with 3 or 4 channels along it.
int checkColorArray(const py::array& array, int channelAxis, const char* name) {
  if (array.dtype().kind() != 'u' || array.dtype().itemsize() != 1)
    throw py::type_error(std::string(name) + " must be a uint8 array, not " +
                         py::str(array.dtype()).cast<std::string>());
  if (array.ndim() != 3)
    throw py::value_error(std::string(name) + " must be a 3-D array with channel_axis, not " +
                          std::to_string(array.ndim()) + "-D");
  const int axis = channelAxis < 0 ? channelAxis + 3 : channelAxis;
  if (axis < 0 || axis > 2)
    throw py::value_error("channel_axis " + std::to_string(channelAxis) +
                          " is out of range for a 3-D array");
  const py::ssize_t channels = array.shape(axis);
  if (channels != 3 && channels != 4)
    throw py::value_error(std::string(name) + " must have 3 (RGB) or 4 (RGBA) channels along " +
                          "channel_axis, not " + std::to_string(channels));
  return axis;
}

kcColorPlanes planesOf(const py::array& array, int axis, const char* name,
                       const kcPair<long>& offset) {
  const py::object take = py::module_::import("numpy").attr("take");
  kcColorPlanes planes;
  for (py::ssize_t c = 0; c < array.shape(axis); ++c)
    planes.push_back(viewOf(take(array, c, axis), name, Accept::Uint8, offset));
  return planes;
}

// The result planes stacked along the image's channel axis.
py::array stacked(const kcColorResult& result, std::size_t channels, int axis) {
  py::list arrays;
  for (std::size_t c = 0; c < channels; ++c)
    arrays.append(c < result.size() ? adoptResult(result[c]) : toArray(Image()));
  return py::module_::import("numpy").attr("stack")(arrays, axis);
}

kcPlanarNormalizer::Mode modeOf(const std::string& color) {
  if (color == "channels") return kcPlanarNormalizer::eChannels;
  if (color == "luminance") return kcPlanarNormalizer::eLuminance;
  throw py::value_error("color must be 'channels' or 'luminance', not '" + color + "'");
}

std::vector<std::string> planeNames(const Tools& tools) {
  std::vector<std::string> names;
  for (const std::wstring& name : tools.tool.planeNames())
    names.push_back(py::cast(name).cast<std::string>());
  return names;
}

const kcColorImageNormalizer& colorTool(const Tools& tools) {
  if (!tools.color())
    throw py::value_error("the tool was not trained on colour images: train it with channel_axis");
  return *tools.color();
}

kcColorResult copies(const kcColorPlanes& planes) {
  kcColorResult result;
  for (const auto& plane : planes) result.push_back(kfPelCopy(plane));
  return result;
}

}  // namespace

Offset offsetOf(const std::optional<std::pair<long, long>>& offset) {
  return offset ? Offset(kcPair<long>(offset->first, offset->second)) : std::nullopt;
}

Method trainedMethods(const Tools& tools) { return tools.configuration().trainedMethods(); }

const char* colorModeName(const Tools& tools) {
  switch (tools.tool.mode()) {
    case kcPlanarNormalizer::eChannels:
      return "channels";
    case kcPlanarNormalizer::eLuminance:
      return "luminance";
    case kcPlanarNormalizer::eGray:
      break;
  }
  return "gray";
}


py::object colorReference(const kcColorImageNormalizer& color) {
  py::list planes;
  for (const auto& tool : color.grayTools()) planes.append(toArray(tool.referenceImage()));
  if (planes.size() == 1) return planes[0];
  return py::module_::import("numpy").attr("stack")(planes, -1);
}

void trainColor(Normalizer& self, const py::array& reference, const std::optional<py::array>& mask,
                Method methods, int channelAxis, const std::string& color,
                const kcPair<long>& referenceOffset, const kcPair<long>& maskOffset) {
  const int axis = checkColorArray(reference, channelAxis, "reference");
  const kcPlanarNormalizer::Mode mode = modeOf(color);
  const kcColorPlanes planes = planesOf(reference, axis, "reference", referenceOffset);
  const Image maskView = mask ? viewOf(*mask, "mask", Accept::Uint8OrBool, maskOffset) : Image();
  py::gil_scoped_release release;
  Tools tools = self.snapshot();
  tools.tool.train(mode, planes, maskView, methods);
  self.replace(tools);
}

py::array runColor(const Normalizer& self, const py::array& image, Method method, int channelAxis,
                   const Offset& offset) {
  const int axis = checkColorArray(image, channelAxis, "image");
  const kcColorPlanes planes = planesOf(image, axis, "image", offset.value_or(kcPair<long>(0, 0)));
  kcPlanarRun run;
  {
    py::gil_scoped_release release;
    run = self.read([&](const Tools& tools) {
      // IDENTITY needs no training, as for gray images.
      if (!tools.color() && method == kcImageNormalizerDefs::eIdentity)
        return kcPlanarRun{copies(planes), true, {}, {}};
      colorTool(tools);
      kcPlanarRunOptions options;
      options.placed = offset.has_value();
      return tools.tool.run(planes, method, options);
    });
  }
  if (!run.success) throwNormalizationFailed(run.message);
  return stacked(run.planes, planes.size(), axis);
}

py::dict explainColor(const Normalizer& self, const py::array& image, Method method,
                      int channelAxis, const Offset& offset) {
  const int axis = checkColorArray(image, channelAxis, "image");
  const kcColorPlanes planes = planesOf(image, axis, "image", offset.value_or(kcPair<long>(0, 0)));
  const Tools tools = self.snapshot();
  colorTool(tools);  // refuses a tool not trained on colour images
  std::vector<kcNormalizationExplanation> explanations;
  {
    py::gil_scoped_release release;
    explanations = tools.tool.explain(planes, method, offset.has_value());
  }
  return explanationDict(method, colorModeName(tools), planeNames(tools), explanations);
}

}  // namespace imgnorm_py
