#include "normalizer.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "arrays.h"
#include "color.h"
#include "errors.h"
#include "explanations.h"
#include "host/archive.h"
#include "image_files.h"
#include "imaging/pel_stack.h"
#include "imgnorm/color_normalizer.h"
#include "imgnorm/explain.h"
#include "imgnorm/image_normalizer.h"
#include "imgnorm/persistence.h"
#include "imgnorm/run_parts.h"
#include "methods.h"
#include "tools.h"

namespace imgnorm_py {

namespace {

using kcImageNormalizerDefs::Method;
using LongPair = std::pair<long, long>;
using DoublePair = std::pair<double, double>;

template <class T>
kcPair<T> toPair(const std::pair<T, T>& p) {
  return {p.first, p.second};
}

template <class T>
std::pair<T, T> fromPair(const kcPair<T>& p) {
  return {p.x(), p.y()};
}

// The model named by a Python argument: 'subtract' or 'divide'.
kcImageNormalizerDefs::Model modelByName(const std::string& name) {
  const auto& names = kcImageNormalizerDefs::kModelNames;
  for (std::size_t code = 0; code < names.size(); ++code)
    if (name == names[code]) return static_cast<kcImageNormalizerDefs::Model>(code);
  throw py::value_error("model must be 'subtract' or 'divide', not '" + name + "'");
}

std::unique_ptr<Normalizer> construct(const DoublePair& tailFractions, const LongPair& neighborhood,
                                      const LongPair& granularity, const LongPair& intensityRange,
                                      bool keepMaskedPixels, const std::string& model) {
  kcImageNormalizer tool;
  tool.model(modelByName(model));
  tool.tailFractions(toPair(tailFractions));
  tool.neighborhoodSize(toPair(neighborhood));
  tool.granularity(toPair(granularity));
  tool.intensityVariationRange(toPair(intensityRange));
  tool.keepMaskedPixels(keepMaskedPixels);
  return std::make_unique<Normalizer>(Tools{kcPlanarNormalizer(std::move(tool))});
}

void trainGray(Normalizer& self, const py::array& reference, const std::optional<py::array>& mask,
               const MethodSet& methods, const LongPair& referenceOffset,
               const LongPair& maskOffset) {
  const Image referenceView =
      viewOf(reference, "reference", Accept::Uint8OrUint16, toPair(referenceOffset));
  const Image maskView =
      mask ? viewOf(*mask, "mask", Accept::Uint8OrBool, toPair(maskOffset)) : Image();
  py::gil_scoped_release release;
  Tools tools = self.snapshot();
  try {
    tools.tool.train(kcPlanarNormalizer::eGray, {referenceView}, maskView, methods.bits);
  } catch (const kcImageNormalizerDefs::CanNotTrain&) {
    self.replace(tools);  // what the layer kept of a training of all but the global methods
    throw;
  }
  self.replace(tools);
}

void trainWide(Normalizer& self, const py::array& reference, const std::optional<py::array>& mask,
               const MethodSet& methods, const LongPair& referenceOffset,
               const LongPair& maskOffset, int bits) {
  const WideImage referenceView = viewOfWide(reference, "reference", toPair(referenceOffset));
  const Image maskView =
      mask ? viewOf(*mask, "mask", Accept::Uint8OrBool, toPair(maskOffset)) : Image();
  py::gil_scoped_release release;
  Tools tools = self.snapshot();
  widenDefaultRange(tools, bits);
  try {
    tools.tool.trainWide(kcPlanarNormalizer::eGray, {referenceView}, bits, maskView, methods.bits);
  } catch (const kcImageNormalizerDefs::CanNotTrain&) {
    self.replace(tools);
    throw;
  }
  self.replace(tools);
}

// The per-pel mean or median of frames (frames, rows, columns) of one
// dtype, as a new 2-D array of it.
template <class T>
py::array combinedFrames(const py::array& frames, const std::string& how) {
  const auto stack = py::array_t<T, py::array::c_style>::ensure(frames);
  const long n = static_cast<long>(frames.shape(0)), h = static_cast<long>(frames.shape(1)),
             w = static_cast<long>(frames.shape(2));
  if (n == 0 || h == 0 || w == 0)
    throw py::value_error("a stack of references needs at least one frame with pels");
  std::vector<kcPelBuffer_const<T>> planes;
  for (long i = 0; i < n; ++i)
    planes.push_back(kcPelBuffer_const<T>::wrap(stack.data() + i * h * w, w, h, w, nullptr));
  kcPelBuffer<T> combined;
  {
    py::gil_scoped_release release;
    if (how == "median") {
      combined = kfPelStackMedian(planes);
    } else {
      kcPelStackMean<T> mean(planes.front().window());
      for (const auto& plane : planes) mean.add(plane);
      combined = mean.mean();
    }
  }
  py::array_t<T> out({h, w});
  for (long y = 0; y < h; ++y) std::copy_n(combined.pointToPel(0, y), w, out.mutable_data(y, 0));
  return out;
}

// A list or tuple of frames as one 3-D array, the frames' dtype kept (one
// for all: numpy would otherwise promote them silently).
py::array framesArray(const py::object& frames) {
  if (!py::isinstance<py::list>(frames) && !py::isinstance<py::tuple>(frames))
    throw py::type_error("reference must be an array or a list of frames, not " +
                         py::type::of(frames).attr("__name__").cast<std::string>());
  const py::sequence items = frames;
  for (const py::handle item : items)
    if (!py::isinstance<py::array>(item) ||
        !py::array(py::reinterpret_borrow<py::array>(item))
             .dtype()
             .is(py::reinterpret_borrow<py::array>(items[0]).dtype()))
      throw py::type_error("the frames of a reference must be arrays of one dtype");
  return py::module_::import("numpy").attr("stack")(frames);
}

// A 3-D reference without channel_axis, or a list of frames, is a stack
// made into one.
py::array stackedReference(const py::object& given, const std::optional<int>& channelAxis,
                           const std::string& combine) {
  if (combine != "mean" && combine != "median")
    throw py::value_error("combine must be 'mean' or 'median', not '" + combine + "'");
  const py::array reference = py::isinstance<py::array>(given)
                                  ? py::reinterpret_borrow<py::array>(given)
                                  : framesArray(given);
  if (reference.ndim() != 3 || channelAxis) return reference;
  if (isUint16(reference)) return combinedFrames<unsigned short>(reference, combine);
  if (reference.dtype().is(py::dtype::of<unsigned char>()))
    return combinedFrames<unsigned char>(reference, combine);
  return reference;  // refused with the other dtypes
}

void train(Normalizer& self, const py::object& frames, const std::optional<py::array>& mask,
           const MethodSet& methods, const LongPair& referenceOffset, const LongPair& maskOffset,
           const std::optional<int>& channelAxis, const std::optional<std::string>& color,
           const std::optional<int>& bits, const std::string& combine) {
  const py::array reference = stackedReference(frames, channelAxis, combine);
  const bool wide = isUint16(reference);
  if (bits && !wide) throw py::value_error("bits is for uint16 references only");
  const int depth = bits.value_or(16);
  if (wide && (depth < 1 || depth > 16))
    throw py::value_error("bits must be 1 to 16, not " + std::to_string(depth));
  if (channelAxis)
    return trainColor(self, reference, mask, methods.bits, *channelAxis, color.value_or("channels"),
                      depth, toPair(referenceOffset), toPair(maskOffset));
  if (color) throw py::value_error("color needs channel_axis: the axis of the colour channels");
  if (wide) return trainWide(self, reference, mask, methods, referenceOffset, maskOffset, depth);
  trainGray(self, reference, mask, methods, referenceOffset, maskOffset);
}

void set(Normalizer& self, const std::optional<DoublePair>& tailFractions,
         const std::optional<LongPair>& intensityRange, const std::optional<bool>& keepMaskedPixels,
         const std::optional<std::string>& model) {
  // A plain value and a flag: GCC 12 at -O3 misreads an optional enum here.
  const bool newModel = model.has_value();
  const kcImageNormalizerDefs::Model code =
      newModel ? modelByName(*model) : kcImageNormalizerDefs::eSubtract;
  py::gil_scoped_release release;  // waits for runs in progress
  Tools tools = self.snapshot();
  const kcImageNormalizer& now = tools.configuration();
  const kcPair<double> tails = tailFractions ? toPair(*tailFractions) : now.tailFractions();
  const kcPair<long> range =
      intensityRange ? toPair(*intensityRange) : now.intensityVariationRange();
  const bool keep = keepMaskedPixels.value_or(now.keepMaskedPixels());
  tools.tool.set(tails, range, keep);
  if (newModel) tools.tool.model(code);
  self.replace(tools);
}

// The threads argument of run: None is the default, one thread. Counts past
// what an unsigned holds are cut to it: the run never uses more threads than
// it has strips.
unsigned threadCount(const py::handle& threads) {
  if (threads.is_none()) return 1;
  if (!PyIndex_Check(threads.ptr()))
    throw py::type_error("threads must be an integer or None, not " +
                         py::type::of(threads).attr("__name__").cast<std::string>());
  const auto count = py::reinterpret_steal<py::int_>(PyNumber_Index(threads.ptr()));
  if (count < py::int_(1))
    throw py::value_error("threads must be at least 1, not " + py::repr(count).cast<std::string>());
  const py::int_ most(std::numeric_limits<unsigned>::max());
  return (count > most ? most : count).cast<unsigned>();
}

std::wstring methodNames(Method methods) {
  return py::str(methodObject(methods).attr("name")).cast<std::wstring>();
}

// The library's refusal of one known method the tool was not trained for,
// naming the method and what the tool was trained for: a caller with many
// tools learns which call it was. Other requests, and images of the other
// kind (gray for a colour tool, say), are for the later checks to judge.
void requireTrained(const Normalizer& self, Method method, bool colourImage = false) {
  using namespace kcImageNormalizerDefs;
  const auto [colourTool, trained] = self.read([](const Tools& tools) {
    return std::pair(tools.color() != nullptr, trainedMethods(tools));
  });
  if (colourTool != colourImage) return;
  if (!methodInfo(method) || (trained & method) == method) return;
  throw NotTrained(L"This tool was not trained for the specified  method. Asked for " +
                   methodNames(method) + L"; trained for " +
                   (trained == eIdentity ? L"no method" : methodNames(trained)) + L".");
}

// The image's dtype must be the tool's depth: a TypeError says which.
void checkDepthOf(const Normalizer& self, const py::array& image) {
  const auto [wide, bits] = self.read([](const Tools& tools) {
    return std::pair(tools.configuration().isWide(), tools.configuration().bits());
  });
  if (wide == isUint16(image)) return;
  const std::string dtype = py::str(image.dtype()).cast<std::string>();
  throw py::type_error(wide ? "this tool is for uint16 images of " + std::to_string(bits) +
                                  " bits, not " + dtype
                            : "this tool is for uint8 images, not " + dtype);
}

py::array runWide(const Normalizer& self, const py::array& image, Method method,
                  const std::optional<LongPair>& offset, unsigned threads) {
  const WideImage view = viewOfWide(image, "image", toPair(offset.value_or(LongPair())));
  kcWideRun run;
  {
    py::gil_scoped_release release;
    run = self.readGrayTools([&](const Tools& tools) {
      kcPlanarRunOptions options;
      options.placed = offset.has_value();
      options.threads = threads;
      return tools.tool.run(kcWidePlanes{view}, method, options);
    });
  }
  if (!run.success) throwNormalizationFailed(run.message);
  return toWideArray(run.planes.empty() ? WideImage() : WideImage(run.planes.front()));
}

py::array run(const Normalizer& self, const py::array& image, const MethodSet& method,
              const std::optional<LongPair>& offset, const py::object& threadsArgument,
              const std::optional<int>& channelAxis) {
  requireTrained(self, method.bits, channelAxis.has_value());
  const unsigned threads = threadCount(threadsArgument);
  if (image.dtype().kind() == 'u' && image.dtype().itemsize() <= 2) checkDepthOf(self, image);
  if (channelAxis) return runColor(self, image, method.bits, *channelAxis, offsetOf(offset));
  if (isUint16(image)) return runWide(self, image, method.bits, offset, threads);
  const Image view =
      viewOf(image, "image", Accept::Uint8OrUint16, toPair(offset.value_or(LongPair())));
  kcPlanarRun run;
  {
    py::gil_scoped_release release;
    run = self.readGrayTools([&](const Tools& tools) {
      kcPlanarRunOptions options;
      options.placed = offset.has_value();
      options.threads = threads;
      return tools.tool.run({view}, method.bits, options);
    });
  }
  if (!run.success) throwNormalizationFailed(run.message);
  return adoptResult(run.planes.empty() ? WritableImage() : run.planes.front());
}

// A field's pels as a new 2-D array.
template <class T>
py::array_t<T> fieldArray(const kcPelBuffer<T>& field) {
  const kcPelRect& w = field.window();
  py::array_t<T> out({w.height(), w.width()});
  for (long y = 0; y < w.height(); ++y)
    std::copy_n(field.pointToPel(w.x(), w.y() + y), w.width(), out.mutable_data(y, 0));
  return out;
}

template <class Pel, class View>
py::tuple runWithFieldOf(const Normalizer& self, const View& view, Method method) {
  kcPelBuffer<Pel> result;
  kcCorrectionField field;
  {
    py::gil_scoped_release release;
    result = self.readGray([&](const kcImageNormalizer& tool) {
      return tool.run(kcPelBuffer_const<Pel>(view), method, field);
    });
  }
  py::object array;
  if constexpr (sizeof(Pel) == 2)
    array = toWideArray(result);
  else
    array = adoptResult(result);
  if (!result.isBound()) return py::make_tuple(array, py::array_t<float>(std::vector<long>{0, 0}));
  if (field.model == kcImageNormalizerDefs::eDivide)
    return py::make_tuple(array, fieldArray(field.ratio));
  return py::make_tuple(array, fieldArray(field.difference));
}

py::tuple runWithField(const Normalizer& self, const py::array& image, const MethodSet& method,
                       const std::optional<LongPair>& offset) {
  requireTrained(self, method.bits);
  if (self.read([](const Tools& tools) { return tools.color() != nullptr; }))
    throw py::value_error(
        "a colour tool corrects each channel by its own field; "
        "run_with_field takes a gray tool");
  if (image.dtype().kind() == 'u' && image.dtype().itemsize() <= 2) checkDepthOf(self, image);
  const kcPair<long> at = toPair(offset.value_or(LongPair()));
  if (isUint16(image))
    return runWithFieldOf<unsigned short>(self, viewOfWide(image, "image", at), method.bits);
  return runWithFieldOf<unsigned char>(self, viewOf(image, "image", Accept::Uint8, at),
                                       method.bits);
}

py::dict explainWide(const Normalizer& self, const py::array& image, Method method,
                     const std::optional<LongPair>& offset) {
  const WideImage view = viewOfWide(image, "image", toPair(offset.value_or(LongPair())));
  std::vector<kcNormalizationExplanation> explanations;
  {
    py::gil_scoped_release release;
    explanations = self.readGrayTools([&](const Tools& tools) {
      return tools.tool.explain(kcWidePlanes{view}, method, offset.has_value());
    });
  }
  return explanationDict(method, "gray", {"gray"}, explanations);
}

py::dict explain(const Normalizer& self, const py::array& image, const MethodSet& method,
                 const std::optional<LongPair>& offset, const std::optional<int>& channelAxis) {
  requireTrained(self, method.bits, channelAxis.has_value());
  if (image.dtype().kind() == 'u' && image.dtype().itemsize() <= 2) checkDepthOf(self, image);
  if (channelAxis) return explainColor(self, image, method.bits, *channelAxis, offsetOf(offset));
  if (isUint16(image)) return explainWide(self, image, method.bits, offset);
  const Image view =
      viewOf(image, "image", Accept::Uint8OrUint16, toPair(offset.value_or(LongPair())));
  std::vector<kcNormalizationExplanation> explanations;
  {
    py::gil_scoped_release release;
    explanations = self.readGrayTools([&](const Tools& tools) {
      return tools.tool.explain(kcColorPlanes{view}, method.bits, offset.has_value());
    });
  }
  return explanationDict(method.bits, "gray", {"gray"}, explanations);
}

// The pels of a member image, or None when it is unbound.
py::object imageOf(const Normalizer& self, const Image& (kcImageNormalizer::*member)() const) {
  const Image image = (self.snapshot().configuration().*member)();
  return image.isBound() ? py::object(toArray(image)) : py::none();
}

// A colour tool's reference is the planes its gray tools trained on.
py::object referenceOf(const Normalizer& self) {
  const Tools tools = self.snapshot();
  if (tools.color()) return colorReference(*tools.color());
  const kcImageNormalizer& tool = tools.configuration();
  if (tool.isWide()) return toWideArray(tool.wideReferenceImage());
  return imageOf(self, &kcImageNormalizer::referenceImage);
}

py::object originOf(const Normalizer& self, const Image& (kcImageNormalizer::*member)() const) {
  const Image image = (self.snapshot().configuration().*member)();
  return image.isBound() ? py::object(py::cast(fromPair(image.window().origin()))) : py::none();
}

py::bytes toBytes(const Normalizer& self) {
  std::vector<unsigned char> bytes;
  {
    py::gil_scoped_release release;
    const Tools tools = self.snapshot();
    bytes = tools.tool.fileBytes();
  }
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::unique_ptr<Normalizer> fromBytes(const py::bytes& data) {
  const std::string_view view = data;
  std::vector<unsigned char> bytes(view.begin(), view.end());
  py::gil_scoped_release release;
  return std::make_unique<Normalizer>(
      Tools{kcPlanarNormalizer(kfAnyImageNormalizerFromBytes(std::move(bytes)))});
}

std::unique_ptr<Normalizer> load(const std::string& path) {
  return std::make_unique<Normalizer>(Tools{kcPlanarNormalizer(kfLoadAnyImageNormalizer(path))});
}

void save(const Normalizer& self, const std::string& path) {
  kcArchive(self.snapshot().tool.fileBytes()).writeFile(path);
}

std::string pairText(const LongPair& p) {
  return "(" + std::to_string(p.first) + ", " + std::to_string(p.second) + ")";
}

std::string repr(const Normalizer& self) {
  const Tools tools = self.snapshot();
  const kcImageNormalizer& tool = tools.configuration();
  const auto tail = py::repr(py::cast(fromPair(tool.tailFractions()))).cast<std::string>();
  const auto methods = py::repr(methodObject(trainedMethods(tools))).cast<std::string>();
  const std::string color = tools.color() ? std::string(" (") + colorModeName(tools) + ")" : "";
  return "imgnorm.Normalizer(tail_fractions=" + tail +
         ", neighborhood=" + pairText(fromPair(tool.neighborhoodSize())) +
         ", granularity=" + pairText(fromPair(tool.granularity())) +
         ", intensity_range=" + pairText(fromPair(tool.intensityVariationRange())) +
         ", keep_masked_pixels=" + (tool.keepMaskedPixels() ? "True" : "False") + ", model='" +
         kcImageNormalizerDefs::kModelNames[tool.model()] + "') trained for " + methods + color;
}

// A read-only property of one of the tool's accessors; pairs become tuples.
template <class T>
auto parameter(T (kcImageNormalizer::*accessor)() const) {
  return [accessor](const Normalizer& self) {
    return self.read([&](const Tools& tools) { return (tools.configuration().*accessor)(); });
  };
}

template <class T>
auto pairParameter(kcPair<T> (kcImageNormalizer::*accessor)() const) {
  return [accessor](const Normalizer& self) { return fromPair(parameter(accessor)(self)); };
}

// ------------------------------------------------ a run over image parts
// Private methods behind imgnorm.dask: see imgnorm/run_parts.h.
using imgnorm::Counts;

py::object covered(const Normalizer& self, const LongPair& shape, const LongPair& offset) {
  const kcPelRect window(offset.first, offset.second, shape.second, shape.first);
  const kcPelRect r = self.readGray(
      [&](const kcImageNormalizer& tool) { return imgnorm::coveredWindow(tool, window); });
  if (r.isNull()) return py::none();
  return py::make_tuple(r.x(), r.y(), r.width(), r.height());
}

template <class Level>
py::array mapArray(const std::vector<Level>& map) {
  py::array_t<Level> result(static_cast<py::ssize_t>(map.size()));
  std::copy(map.begin(), map.end(), result.mutable_data());
  return result;
}

template <class Pel, class View>
Counts countView(const Normalizer& self, const View& view, Method method) {
  py::gil_scoped_release release;
  return self.readGray(
      [&](const kcImageNormalizer& tool) { return imgnorm::countPart(tool, view, method); });
}

py::array_t<std::uint64_t> countOf(const Normalizer& self, const py::array& part,
                                   const MethodSet& method, const LongPair& offset) {
  requireTrained(self, method.bits);
  if (part.dtype().kind() == 'u' && part.dtype().itemsize() <= 2) checkDepthOf(self, part);
  const Counts counts =
      isUint16(part)
          ? countView<unsigned short>(self, viewOfWide(part, "part", toPair(offset)), method.bits)
          : countView<unsigned char>(self, viewOf(part, "part", Accept::Uint8, toPair(offset)),
                                     method.bits);
  return py::array_t<std::uint64_t>(static_cast<py::ssize_t>(counts.size()), counts.data());
}

using CountArray = py::array_t<std::uint64_t, py::array::c_style | py::array::forcecast>;

// The map that build (for 8-bit tools) or buildWide (for tools of 16-bit
// images) makes from counts (NormalizationFailed when it makes none).
template <class Build, class BuildWide>
py::array mapFromCounts(const Normalizer& self, Method method, const CountArray& counts,
                        Build build, BuildWide buildWide) {
  requireTrained(self, method);
  const Counts values(counts.data(), counts.data() + counts.size());
  std::wstring message;
  std::vector<unsigned char> map;
  std::vector<unsigned short> wideMap;
  {
    py::gil_scoped_release release;
    self.readGray([&](const kcImageNormalizer& tool) {
      if (tool.isWide())
        wideMap = buildWide(tool, method, values, message);
      else
        map = build(tool, method, values, message);
      return 0;
    });
  }
  if (map.empty() && wideMap.empty()) throwNormalizationFailed(message);
  return map.empty() ? mapArray(wideMap) : mapArray(map);
}

py::array mapOf(const Normalizer& self, const MethodSet& method, const CountArray& counts) {
  return mapFromCounts(
      self, method.bits, counts,
      [](const kcImageNormalizer& tool, Method m, const Counts& c, std::wstring& message) {
        return imgnorm::mapOfCounts(tool, m, c, message);
      },
      [](const kcImageNormalizer& tool, Method m, const Counts& c, std::wstring& message) {
        return imgnorm::wideMapOfCounts(tool, m, c, message);
      });
}

// Whether run maps an image of shape (rows, columns) given without an
// offset whole, through the map of its whole histogram.
bool mapsWholeOf(const Normalizer& self, const LongPair& shape, const MethodSet& method) {
  return self.readGray([&](const kcImageNormalizer& tool) {
    return kfMapsWholeImage(tool, kcPair<long>(shape.second, shape.first), method.bits);
  });
}

py::array wholeMapOf(const Normalizer& self, const MethodSet& method, const CountArray& histogram) {
  return mapFromCounts(self, method.bits, histogram, imgnorm::mapOfWholeImage,
                       imgnorm::wideMapOfWholeImage);
}

// A part through a map of the part's depth.
template <class Pel, class View>
py::array mapView(const Normalizer& self, const View& view, const py::array& map) {
  const auto levels = py::array_t<Pel, py::array::c_style | py::array::forcecast>::ensure(map);
  if (!levels) throw py::type_error("map must be an array of levels");
  const std::vector<Pel> table(levels.data(), levels.data() + levels.size());
  kcPelBuffer<Pel> result;
  {
    py::gil_scoped_release release;
    result = self.readGray(
        [&](const kcImageNormalizer& tool) { return imgnorm::mapPart(tool, view, table); });
  }
  if constexpr (sizeof(Pel) == 2)
    return toWideArray(result);
  else
    return adoptResult(result);
}

py::array mapPartOf(const Normalizer& self, const py::array& part, const py::array& map,
                    const LongPair& offset) {
  if (part.dtype().kind() == 'u' && part.dtype().itemsize() <= 2) checkDepthOf(self, part);
  if (isUint16(part))
    return mapView<unsigned short>(self, viewOfWide(part, "part", toPair(offset)), map);
  return mapView<unsigned char>(self, viewOf(part, "part", Accept::Uint8, toPair(offset)), map);
}

py::object localMarginOf(const Normalizer& self, const MethodSet& method) {
  requireTrained(self, method.bits);
  const auto margin = self.readGray(
      [&](const kcImageNormalizer& tool) { return imgnorm::localMargin(tool, method.bits); });
  return margin ? py::object(py::cast(fromPair(*margin))) : py::none();
}

constexpr const char* kClassDoc = R"(Normalizes the gray levels of 8-bit images.

Configure the tool with its parameters, train it once with a reference
image, an optional mask and a set of methods, then run it on run-time
images, one method per run. Each run returns a new uint8 image of the part
of the run-time image that the reference (and the mask) cover; images are
paired by position, their top-left pel at the origin unless an offset is
given.

Parameters (checked as the library checks them; a rejected value raises
BadParams with the library's message):
  tail_fractions    (lower, upper) cumulative histogram fractions that mark
                    the histogram tails TAILS matches;
                    0.0 <= lower <= upper <= 1.0. Run-time only.
  neighborhood      (width, height) of the neighbourhood of local
                    correction; both >= 1.
  granularity       (x, y) sampling step of local correction; both >= 1.
  intensity_range   (lowest, highest) difference between run-time and
                    reference gray levels that local correction treats as
                    illumination; lowest <= 0 <= highest. Run-time only.
  keep_masked_pixels  when true and a mask was trained, pels outside the
                    mask keep their run-time values in results. Run-time
                    only.
  model             'subtract' (default): local correction subtracts the
                    smoothed difference to the reference, for an offset
                    such as stray light; 'divide' divides by the smoothed
                    ratio to it (a geometric mean, in steps of 2**-9
                    octave for 8-bit images, 2**-14 for deeper ones,
                    ratios 1/16 to 16), for a gain such as
                    vignetting. The intensity range bounds differences
                    only. Run-time only.

The run-time-only parameters can be changed on a trained tool with set();
the others belong to training: make a new tool to change them.

The GIL is released while the library works: several threads may run one
tool at once. A call that fails leaves the tool as it was. Tools compare
equal when their configuration, images and trained methods are equal, and
they pickle through the library's archive format.)";

constexpr const char* kTrainDoc = R"(Trains the tool for a set of methods.

reference: 2-D uint8 array, the image whose gray levels run-time images
    are brought to; or a uint16 array, whose levels use the low bits (see
    bits), for a tool of uint16 images (gray or, with channel_axis,
    colour). Without channel_axis, a 3-D
    array (frames, rows, cols) or a list of 2-D arrays is a stack of frames
    of one scene, made into the reference by combine.
mask: optional 2-D uint8 or bool array; a pel takes part where it is
    non-zero. None uses every pel.
methods: an imgnorm.Method combination (default: all six methods). The new
    set replaces the trained one.
reference_offset, mask_offset: (x, y) of the images' top-left pels.
channel_axis: None for a gray reference; the axis of the colour channels
    (-1 for (rows, cols, 3 or 4) arrays) trains a colour tool, whose runs
    need a colour image with the same channel_axis. The reference's alpha
    is not used; the mask stays 2-D.
color: with channel_axis, "channels" (the default: one gray tool per
    channel, trained on the reference's same channel) or "luminance" (one
    gray tool for the luma; runs move each pel's three channels alike, so
    its chroma is kept up to rounding).
bits: for a uint16 reference, the significant bits of the tool's images
    (1 to 16, default 16): maps and histograms cover 2**bits levels, and a
    pel above them is refused (BadImage) where it is counted. The
    intensity_range is in the tool's levels: left at the uint8 default
    (-127, 127), it becomes the whole depth, (-(2**bits - 1), 2**bits - 1).
combine: how a stack of frames becomes the reference: "mean" (default), the
    per-pel mean rounded half up, or "median", the per-pel median (the lower
    middle value of an even count), which drops objects that move between
    frames: a retrospective flat field.

The tool keeps private copies of both images. Raises CanNotTrain for
unknown method bits, leaving the tool as it was. Raises CanNotTrain as
well when a global method (HISTOGRAM, MEAN_STDDEV, TAILS) is asked for and
no reference pel lies inside the mask; as in C++, the tool then holds the
new images and is trained for the other methods asked for.)";

constexpr const char* kRunWithFieldDoc =
    R"(Runs a local method and returns (result, field): the result as run gives it,
and the correction applied to each of its pels, an array of its shape.

With model 'subtract' the field is int32, the difference subtracted:
    result == np.clip(image - field, 0, top)
With model 'divide' it is float32, the ratio divided by:
    result == (np.minimum(image.astype(np.float32) / field, np.float32(top))
               + np.float32(0.5)).astype(int)
computed in single precision; top is 2**bits - 1 and image the covered part.
Pels kept outside a mask (keep_masked_pixels) have 0 or 1. A gray tool only
(ValueError for a colour tool); BadParams for a method that is not local;
other rules as run's, on one thread.)";

constexpr const char* kRunDoc =
    R"(Normalizes one image with one trained method and returns a new array.

image: 2-D uint8 array, or a colour image with channel_axis (as trained);
    the result has the image's layout, alpha carried through unchanged. A
    tool trained on a uint16 reference takes and returns uint16 arrays
    (alpha may use all 16 bits); an image of the other dtype is a
    TypeError.
offset: (x, y) of its top-left pel; None places it at the origin.
method: exactly one imgnorm.Method flag, or IDENTITY.
threads: how many threads may share this one gray image's rows (the result is
the same; images too small to gain use one; colour images use one); None
means one. TypeError for what is no integer, ValueError below 1.

IDENTITY returns a copy of the whole image and needs no training. Every
other method returns the part of the image that the reference and the mask
cover: its top-left pel lies at the larger of the images' offsets, x and y
apart; an image that does not overlap the reference gives an array of shape
(0, 0). With keep_masked_pixels, pels outside the mask keep their run-time
values.

An image of another shape than the reference, given without an offset, run
with a global method or LINEAR_FIT by a tool without a mask, is mapped
whole through the map built from its whole histogram (LINEAR_FIT pairs the
two histograms by rank), as histogram matching of two photographs does.

Raises BadParams for an unknown method or more than one, NotTrained for a
method the tool was not trained for, and NormalizationFailed, with the
library's message, when a global method finds no run-time pel inside the
mask or cannot build its gray-level map.)";

constexpr const char* kExplainDoc =
    R"(What run(image, method) does: the gray-level map and what it was built from.

method: a trained global method or LINEAR_FIT (BadParams otherwise). image,
offset and channel_axis as for run(), which applies exactly these maps.
Returns the command line's report record as a dict:
  method, color ("gray", "channels" or "luminance"), success, message (why
  a map could not be built, else ""), and maps: one dict per plane ("gray",
  "red", "green", "blue" or "luminance") with
    plane, map (uint8 array of 256 levels: the result of each run-time
    level; empty when not success), region (x, y, width, height where the
    map applies), run_time and reference (count, mean, stddev, lower_tail,
    upper_tail), and for LINEAR_FIT, fit (gain, offset, near_line_share:
    the share of pels within near_line_distance levels of the line, low
    when the image no longer looks like the reference).)";

constexpr const char* kSetDoc = R"(Changes the run-time-only parameters without untraining the tool.

Each argument left None keeps its value. The values are checked as the
constructor checks them (BadParams with the library's message); a rejected
value changes nothing.)";

}  // namespace

void addNormalizer(py::module_& module) {
  module.def("_set_method_type", &setMethodType,
             "Registers the flag type that methods come back as (called by the package).");
  module.attr("_METHODS") = methodTable();

  auto cls = py::class_<Normalizer>(module, "Normalizer", kClassDoc);
  cls.def(py::init(&construct), py::arg("tail_fractions") = DoublePair(0.0, 1.0),
          py::arg("neighborhood") = LongPair(101, 101), py::arg("granularity") = LongPair(1, 1),
          py::arg("intensity_range") = LongPair(-127, 127), py::arg("keep_masked_pixels") = false,
          py::arg("model") = "subtract", "Makes an untrained tool with the given parameters.")
      .def(
          "train", &train, py::arg("reference"), py::arg("mask") = py::none(),
          py::arg("methods") = MethodSet{static_cast<Method>(kcImageNormalizerDefs::kKnownMethods)},
          py::kw_only(), py::arg("reference_offset") = LongPair(0, 0),
          py::arg("mask_offset") = LongPair(0, 0), py::arg("channel_axis") = py::none(),
          py::arg("color") = py::none(), py::arg("bits") = py::none(), py::arg("combine") = "mean",
          kTrainDoc)
      .def("run", &run, py::arg("image"), py::arg("method"), py::kw_only(),
           py::arg("offset") = py::none(), py::arg("threads") = 1,
           py::arg("channel_axis") = py::none(), kRunDoc)
      .def("run_with_field", &runWithField, py::arg("image"), py::arg("method"), py::kw_only(),
           py::arg("offset") = py::none(), kRunWithFieldDoc)
      .def("explain", &explain, py::arg("image"), py::arg("method"), py::kw_only(),
           py::arg("offset") = py::none(), py::arg("channel_axis") = py::none(), kExplainDoc)
      .def("_covered", &covered, py::arg("shape"), py::arg("offset"),
           "(x, y, width, height) of the pels a run covers in an image of shape\n"
           "(rows, columns) at offset, or None.")
      .def("_count", &countOf, py::arg("part"), py::arg("method"), py::arg("offset"),
           "The counts a global method (2^bits) or LINEAR_FIT (65536, and 2^bits\n"
           "for a tool of 16-bit images) takes from a part.")
      .def("_map", &mapOf, py::arg("method"), py::arg("counts"),
           "The gray-level map a run builds from the summed counts of all parts.")
      .def("_maps_whole", &mapsWholeOf, py::arg("shape"), py::arg("method"),
           "Whether run maps an image of shape (rows, columns) without an offset\n"
           "whole, through the map of its whole histogram.")
      .def("_whole_map", &wholeMapOf, py::arg("method"), py::arg("histogram"),
           "The gray-level map run builds for a whole image from its histogram\n"
           "(2^bits).")
      .def("_map_part", &mapPartOf, py::arg("part"), py::arg("map"), py::arg("offset"),
           "The covered pels of a part through a map, as a run maps them.")
      .def("_local_margin", &localMarginOf, py::arg("method"),
           "(x, y) reach of a local method's filter, or None at reduced resolution.")
      .def_property_readonly(
          "_dtype",
          [](const Normalizer& self) {
            return self.read([](const Tools& tools) { return tools.configuration().isWide(); })
                       ? py::dtype::of<unsigned short>()
                       : py::dtype::of<unsigned char>();
          },
          "The dtype of the images the tool runs (each channel's, for colour): uint8, or\n"
          "uint16.")
      .def("set", &set, py::arg("tail_fractions") = py::none(),
           py::arg("intensity_range") = py::none(), py::arg("keep_masked_pixels") = py::none(),
           py::arg("model") = py::none(), kSetDoc)
      .def_property_readonly(
          "trained_methods",
          [](const Normalizer& self) { return MethodSet{self.read(&trainedMethods)}; },
          "The methods the tool is trained for (IDENTITY when untrained).")
      .def_property_readonly(
          "color", [](const Normalizer& self) { return std::string(self.read(&colorModeName)); },
          "'gray', or the colour mode ('channels' or 'luminance') of a tool trained\n"
          "on colour images.")
      .def_property_readonly("tail_fractions", pairParameter(&kcImageNormalizer::tailFractions),
                             "(lower, upper) cumulative histogram fractions of TAILS.")
      .def_property_readonly("neighborhood", pairParameter(&kcImageNormalizer::neighborhoodSize),
                             "(width, height) of the neighbourhood of local correction.")
      .def_property_readonly("granularity", pairParameter(&kcImageNormalizer::granularity),
                             "(x, y) sampling step of local correction.")
      .def_property_readonly(
          "intensity_range", pairParameter(&kcImageNormalizer::intensityVariationRange),
          "(lowest, highest) difference that local correction treats as illumination.")
      .def_property_readonly(
          "bits", [](const Normalizer& self) { return self.snapshot().configuration().bits(); },
          "The significant bits of the tool's images: 8 for uint8 images, or those\n"
          "of the uint16 reference it was trained on.")
      .def_property_readonly("keep_masked_pixels", parameter(&kcImageNormalizer::keepMaskedPixels),
                             "Whether pels outside the mask keep their run-time values.")
      .def_property_readonly(
          "model",
          [](const Normalizer& self) {
            return std::string(
                kcImageNormalizerDefs::kModelNames[self.snapshot().configuration().model()]);
          },
          "The local methods' model: 'subtract' (an offset) or 'divide' (a gain).")
      .def_property_readonly(
          "reference", &referenceOf,
          "A copy of the trained reference image, or None. A colour tool gives the\n"
          "planes it trained on: (rows, cols, 3) for channels, the luma for luminance.")
      .def_property_readonly(
          "mask",
          [](const Normalizer& self) { return imageOf(self, &kcImageNormalizer::maskImage); },
          "A copy of the trained mask image, or None.")
      .def_property_readonly(
          "reference_offset",
          [](const Normalizer& self) -> py::object {
            const kcImageNormalizer tool = self.snapshot().configuration();
            const kcPelRect window = tool.referenceWindow();
            if (!tool.isWide()) return originOf(self, &kcImageNormalizer::referenceImage);
            return py::cast(fromPair(window.origin()));
          },
          "(x, y) of the reference's top-left pel, or None.")
      .def_property_readonly(
          "mask_offset",
          [](const Normalizer& self) { return originOf(self, &kcImageNormalizer::maskImage); },
          "(x, y) of the mask's top-left pel, or None.")
      .def(
          "save",
          [](const Normalizer& self, const py::object& path) {
            const std::string file = filePath(path);
            py::gil_scoped_release release;
            save(self, file);
          },
          py::arg("path"),
          "Writes the tool to a file in the library's archive format: the\n"
          "configuration, both images and the trained methods.")
      .def_static(
          "load",
          [](const py::object& path) {
            const std::string file = filePath(path);
            py::gil_scoped_release release;
            return load(file);
          },
          py::arg("path"),
          "Reads a tool written by save() and trains it again for the stored methods.\n"
          "Raises HostError for a missing, truncated or corrupt file.")
      .def("to_bytes", &toBytes, "The tool in the library's archive format, as save() writes it.")
      .def_static("from_bytes", &fromBytes, py::arg("data"),
                  "A tool from the bytes of to_bytes(), trained again for its methods.")
      .def("__copy__", [](const Normalizer& self) { return Normalizer(self); })
      .def(
          "__deepcopy__",
          [](const Normalizer& self, const py::object&) { return Normalizer(self); },
          py::arg("memo"))
      .def(
          "__eq__",
          [](const Normalizer& self, const Normalizer& other) {
            if (&self == &other) return true;
            const Tools a = self.snapshot(), b = other.snapshot();
            py::gil_scoped_release release;
            return a == b;
          },
          py::arg("other"), py::is_operator())
      .def("__repr__", &repr);
  cls.attr("__hash__") = py::none();
}

}  // namespace imgnorm_py
