#include "report.h"

#include <nlohmann/json.hpp>

#include "cli_common.h"
#include "imgio/image_io.h"

namespace cli {

namespace {

using nlohmann::json;

json statisticsJson(const kcGrayLevelStatistics& s) {
  return {{"count", s.count},
          {"mean", s.mean},
          {"stddev", s.stddev},
          {"lower_tail", s.lowerTail},
          {"upper_tail", s.upperTail}};
}

json explanationJson(const std::string& plane, const kcNormalizationExplanation& e) {
  json j = {{"plane", plane},
            {"map", e.map},
            {"region",
             {{"x", e.region.x()},
              {"y", e.region.y()},
              {"width", e.region.width()},
              {"height", e.region.height()}}},
            {"run_time", statisticsJson(e.runTime)},
            {"reference", statisticsJson(e.reference)}};
  if (kcImageNormalizerDefs::isFit(e.method))
    j["fit"] = {{"line_found", e.fit.lineFound},
                {"gain", e.fit.gain},
                {"offset", e.fit.offset},
                {"near_line_share", e.fit.nearLineShare},
                {"near_line_distance", kcLinearFitExplanation::kNearLineDistance}};
  return j;
}

json recordJson(const ReportRecord& r) {
  json maps = json::array();
  for (std::size_t i = 0; i < r.explanations.size(); ++i)
    maps.push_back(explanationJson(r.planes.at(i), r.explanations[i]));
  return {{"input", r.input},
          {"output", r.output},
          {"method", r.method},
          {"color", r.color},
          {"success", r.success},
          {"message", r.message},
          {"milliseconds", r.milliseconds},
          {"maps", maps}};
}

}  // namespace

void writeReport(const std::string& path, const std::vector<ReportRecord>& records) {
  json document = {{"records", json::array()}};
  for (const auto& record : records) document["records"].push_back(recordJson(record));
  // Messages are the library's and file names the user's: invalid UTF-8 is
  // replaced rather than failing the report.
  const std::string text = document.dump(1, ' ', false, json::error_handler_t::replace) + "\n";
  try {
    imgio::writeBytesAtomically(path,
                                {reinterpret_cast<const unsigned char*>(text.data()), text.size()});
  } catch (const imgio::ImageError& e) {
    failBadInput(e.what());
  }
}

}  // namespace cli
