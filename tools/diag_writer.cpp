#include "diag_writer.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "cli_common.h"
#include "imgio/image_io.h"

namespace cli {

namespace {

namespace fs = std::filesystem;

// A record name as a portable file name: letters, digits, '-' and '_'.
std::string fileSafe(const std::string& name) {
  std::string safe;
  for (unsigned char c : name) safe += std::isalnum(c) || c == '-' ? static_cast<char>(c) : '_';
  return safe.empty() ? "record" : safe;
}

std::string numbered(std::size_t index) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%03zu", index);
  return digits;
}

void writeText(const fs::path& path, const std::string& text) {
  imgio::writeBytesAtomically(path.string(),
                              {reinterpret_cast<const unsigned char*>(text.data()), text.size()});
}

}  // namespace

void prepareDiagFolder(const std::string& folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (!fs::is_directory(folder))
    failBadInput(folder + ": cannot create the diagnostics folder" +
                 (ec ? ": " + ec.message() : std::string()));
}

void writeDiagRecords(const kcDiagObject& recorder, const std::string& folder) {
  if (recorder.records().empty()) return;
  prepareDiagFolder(folder);
  std::string index;
  std::size_t number = 0;
  try {
    for (const kcDiagRecord& record : recorder.records()) {
      const std::string name = narrow(record.name);
      const std::string base = numbered(++number) + "-" + fileSafe(name);
      const bool picture = record.kind == kcDiagRecord::eImage && record.image.isBound();
      const fs::path file = fs::path(folder) / (base + (picture ? ".png" : ".txt"));
      if (picture)
        imgio::writeImage(file.string(), toGrayImage(record.image), imgio::Format::kPng);
      else
        writeText(file, record.kind == kcDiagRecord::eText ? narrow(record.text) : "(no image)\n");
      index += numbered(number) + " level=" + std::to_string(record.level) +
               (record.kind == kcDiagRecord::eImage ? " image " : " text ") + name + "\n";
    }
    writeText(fs::path(folder) / "index.txt", index);
  } catch (const imgio::ImageError& e) {
    failBadInput(e.what());
  }
}

}  // namespace cli
