#include "report.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <nlohmann/json.hpp>

#include "cli_common.h"
#include "imgio/image_io.h"

namespace cli {

namespace {

using nlohmann::json;

std::string base64(const std::vector<unsigned char>& bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t group = 0;
    for (std::size_t k = 0; k < 3; ++k) group = group << 8 | (k < n ? bytes[i + k] : 0U);
    for (std::size_t k = 0; k < 4; ++k)
      text += k <= n ? kDigits[(group >> (18 - 6 * k)) & 0x3F] : '=';
  }
  return text;
}

json statisticsJson(const kcGrayLevelStatistics& s) {
  return {{"count", s.count},
          {"mean", s.mean},
          {"stddev", s.stddev},
          {"lower_tail", s.lowerTail},
          {"upper_tail", s.upperTail}};
}

// A 16-bit map, exactly and in a few kilobytes: its entries' differences
// (the first entry itself) as little-endian 16-bit words, wrapping, then
// deflated (zlib) and written in base64. Steps repeat along a map, so they
// compress well where the levels themselves would not.
std::string deflatedMap(const std::vector<unsigned short>& map) {
  std::vector<unsigned char> words;
  words.reserve(2 * map.size());
  unsigned short last = 0;
  for (unsigned short level : map) {
    const auto step = static_cast<unsigned short>(level - last);
    words.push_back(static_cast<unsigned char>(step & 0xFF));
    words.push_back(static_cast<unsigned char>(step >> 8));
    last = level;
  }
  uLongf size = compressBound(static_cast<uLong>(words.size()));
  std::vector<unsigned char> packed(size);
  if (compress2(packed.data(), &size, words.data(), static_cast<uLong>(words.size()),
                Z_BEST_COMPRESSION) != Z_OK)
    throw Failure(kExitBadInput, "cannot compress a map for the report");
  packed.resize(size);
  return base64(packed);
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
  if (!e.wideMap.empty()) {
    j.erase("map");
    j["levels"] = e.wideMap.size();
    j["map_deflated"] = deflatedMap(e.wideMap);
  }
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
