#include "explanations.h"

#include <algorithm>

#include "methods.h"

namespace imgnorm_py {

namespace {

using namespace pybind11::literals;
using kcImageNormalizerDefs::Method;

py::dict statisticsDict(const kcGrayLevelStatistics& s) {
  return py::dict("count"_a = s.count, "mean"_a = s.mean, "stddev"_a = s.stddev,
                  "lower_tail"_a = s.lowerTail, "upper_tail"_a = s.upperTail);
}

// The map as a uint8 array, or a uint16 one for a tool of 16-bit images.
py::array mapArray(const kcNormalizationExplanation& e) {
  if (!e.wideMap.empty()) {
    WideArray map(static_cast<py::ssize_t>(e.wideMap.size()));
    std::copy(e.wideMap.begin(), e.wideMap.end(), map.mutable_data());
    return map;
  }
  Array map(static_cast<py::ssize_t>(e.map.size()));
  std::copy(e.map.begin(), e.map.end(), map.mutable_data());
  return map;
}

py::dict planeDict(const std::string& plane, const kcNormalizationExplanation& e) {
  py::dict d("plane"_a = plane, "map"_a = mapArray(e),
             "region"_a = py::dict("x"_a = e.region.x(), "y"_a = e.region.y(),
                                   "width"_a = e.region.width(), "height"_a = e.region.height()),
             "run_time"_a = statisticsDict(e.runTime), "reference"_a = statisticsDict(e.reference));
  if (kcImageNormalizerDefs::isFit(e.method))
    d["fit"] = py::dict("line_found"_a = e.fit.lineFound, "gain"_a = e.fit.gain,
                        "offset"_a = e.fit.offset, "near_line_share"_a = e.fit.nearLineShare,
                        "near_line_distance"_a = kcLinearFitExplanation::kNearLineDistance);
  return d;
}

}  // namespace

py::dict explanationDict(Method method, const std::string& color,
                         const std::vector<std::string>& planes,
                         const std::vector<kcNormalizationExplanation>& explanations) {
  // As a run: it fails with the first plane whose map cannot be built.
  const auto failed = std::find_if(explanations.begin(), explanations.end(),
                                   [](const auto& e) { return !e.success; });
  py::list maps;
  for (std::size_t i = 0; i < explanations.size(); ++i)
    maps.append(planeDict(planes.at(i), explanations[i]));
  return py::dict("method"_a = methodObject(method), "color"_a = color,
                  "success"_a = failed == explanations.end(),
                  "message"_a = failed == explanations.end() ? std::wstring() : failed->message,
                  "maps"_a = maps);
}

}  // namespace imgnorm_py
