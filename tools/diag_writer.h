#pragma once

#include <string>

#include "host/diag.h"

namespace cli {

// Writes every record of the recorder into folder (created when missing),
// numbered in record order: "NNN-name.png" for images, "NNN-name.txt" for
// texts and for images that were unbound, and "index.txt" listing number,
// level, kind and name of each. Does nothing when there are no records.
void writeDiagRecords(const kcDiagObject& recorder, const std::string& folder);

// Creates the records' folder before any work, or fails (kExitBadInput),
// for example when the path leads into a file.
void prepareDiagFolder(const std::string& folder);

}  // namespace cli
