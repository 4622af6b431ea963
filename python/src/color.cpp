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
// uint8 or uint16 array with 3 or 4 channels along it.
int checkColorArray(const py::array& array, int channelAxis, const char* name) {
  if (array.dtype().kind() != 'u' || array.dtype().itemsize() > 2)
    throw py::type_error(std::string(name) + " must be a uint8 or uint16 array, not " +
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

// One channel of a colour array, viewed at its depth.
Image channelView(const py::array& channel, const char* name, const kcPair<long>& offset,
                  unsigned char) {
  return viewOf(channel, name, Accept::Uint8, offset);
}
WideImage channelView(const py::array& channel, const char* name, const kcPair<long>& offset,
                      unsigned short) {
  return viewOfWide(channel, name, offset);
}

template <class Pel>
kcPlanesOf<Pel> planesOf(const py::array& array, int axis, const char* name,
                         const kcPair<long>& offset) {
  const py::object take = py::module_::import("numpy").attr("take");
  kcPlanesOf<Pel> planes;
  for (py::ssize_t c = 0; c < array.shape(axis); ++c)
    planes.push_back(channelView(take(array, c, axis), name, offset, Pel()));
  return planes;
}

py::array arrayOf(const kcPelBuffer<unsigned char>& plane) { return adoptResult(plane); }
py::array arrayOf(const kcPelBuffer<unsigned short>& plane) { return toWideArray(plane); }

// The result planes stacked along the image's channel axis.
template <class Pel>
py::array stacked(const kcResultOf<Pel>& result, std::size_t channels, int axis) {
  py::list arrays;
  for (std::size_t c = 0; c < channels; ++c)
    arrays.append(c < result.size() ? arrayOf(result[c]) : arrayOf(kcPelBuffer<Pel>()));
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

template <class Pel>
kcResultOf<Pel> copies(const kcPlanesOf<Pel>& planes) {
  kcResultOf<Pel> result;
  for (const auto& plane : planes) result.push_back(kfPelCopy(plane));
  return result;
}

template <class Pel>
py::array runPlanes(const Normalizer& self, const py::array& image, Method method, int axis,
                    const Offset& offset) {
  const kcPlanesOf<Pel> planes =
      planesOf<Pel>(image, axis, "image", offset.value_or(kcPair<long>(0, 0)));
  kcPlanarRunOf<Pel> run;
  {
    py::gil_scoped_release release;
    run = self.read([&](const Tools& tools) {
      // IDENTITY needs no training, as for gray images.
      if (!tools.color() && method == kcImageNormalizerDefs::eIdentity)
        return kcPlanarRunOf<Pel>{copies(planes), true, {}, {}};
      colorTool(tools);
      kcPlanarRunOptions options;
      options.placed = offset.has_value();
      return tools.tool.run(planes, method, options);
    });
  }
  if (!run.success) throwNormalizationFailed(run.message);
  return stacked(run.planes, planes.size(), axis);
}

template <class Pel>
std::vector<kcNormalizationExplanation> explainPlanes(const Tools& tools, const py::array& image,
                                                      Method method, int axis,
                                                      const Offset& offset) {
  const kcPlanesOf<Pel> planes =
      planesOf<Pel>(image, axis, "image", offset.value_or(kcPair<long>(0, 0)));
  py::gil_scoped_release release;
  return tools.tool.explain(planes, method, offset.has_value());
}

}  // namespace

Offset offsetOf(const std::optional<std::pair<long, long>>& offset) {
  return offset ? Offset(kcPair<long>(offset->first, offset->second)) : std::nullopt;
}

void widenDefaultRange(Tools& tools, int bits) {
  const kcImageNormalizer& configuration = tools.configuration();
  const long top = (1L << bits) - 1;
  if (configuration.intensityVariationRange() == kcPair<long>(-127, 127))
    tools.tool.set(configuration.tailFractions(), {-top, top}, configuration.keepMaskedPixels());
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
  for (const auto& tool : color.grayTools())
    planes.append(tool.isWide() ? py::array(toWideArray(tool.wideReferenceImage()))
                                : py::array(toArray(tool.referenceImage())));
  if (planes.size() == 1) return planes[0];
  return py::module_::import("numpy").attr("stack")(planes, -1);
}

void trainColor(Normalizer& self, const py::array& reference, const std::optional<py::array>& mask,
                Method methods, int channelAxis, const std::string& color, int bits,
                const kcPair<long>& referenceOffset, const kcPair<long>& maskOffset) {
  const int axis = checkColorArray(reference, channelAxis, "reference");
  const kcPlanarNormalizer::Mode mode = modeOf(color);
  const bool wide = isUint16(reference);
  const kcColorPlanes planes =
      wide ? kcColorPlanes()
           : planesOf<unsigned char>(reference, axis, "reference", referenceOffset);
  const kcWidePlanes widePlanes =
      wide ? planesOf<unsigned short>(reference, axis, "reference", referenceOffset)
           : kcWidePlanes();
  const Image maskView = mask ? viewOf(*mask, "mask", Accept::Uint8OrBool, maskOffset) : Image();
  py::gil_scoped_release release;
  Tools tools = self.snapshot();
  if (wide) {
    widenDefaultRange(tools, bits);
    tools.tool.trainWide(mode, widePlanes, bits, maskView, methods);
  } else {
    tools.tool.train(mode, planes, maskView, methods);
  }
  self.replace(tools);
}

py::array runColor(const Normalizer& self, const py::array& image, Method method, int channelAxis,
                   const Offset& offset) {
  const int axis = checkColorArray(image, channelAxis, "image");
  return isUint16(image) ? runPlanes<unsigned short>(self, image, method, axis, offset)
                         : runPlanes<unsigned char>(self, image, method, axis, offset);
}

py::dict explainColor(const Normalizer& self, const py::array& image, Method method,
                      int channelAxis, const Offset& offset) {
  const int axis = checkColorArray(image, channelAxis, "image");
  const Tools tools = self.snapshot();
  colorTool(tools);  // refuses a tool not trained on colour images
  const std::vector<kcNormalizationExplanation> explanations =
      isUint16(image) ? explainPlanes<unsigned short>(tools, image, method, axis, offset)
                      : explainPlanes<unsigned char>(tools, image, method, axis, offset);
  return explanationDict(method, colorModeName(tools), planeNames(tools), explanations);
}

}  // namespace imgnorm_py
