#pragma once

// The --report file: one JSON record per image, written with nlohmann-json.

#include <string>
#include <vector>

#include "imgnorm/explain.h"

namespace cli {

struct ReportRecord {
  std::string input;
  std::string output;
  std::string method;
  std::string color;
  bool success = false;
  std::string message;  // the failure's, empty on success
  double milliseconds = 0.0;
  std::vector<std::string> planes;  // the plane each explanation is of
  std::vector<kcNormalizationExplanation> explanations;
};

// Writes {"records": [...]} atomically; fails with kExitBadInput when the
// file cannot be written.
void writeReport(const std::string& path, const std::vector<ReportRecord>& records);

}  // namespace cli
