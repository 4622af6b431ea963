#include "cli_common.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <system_error>

#include "console.h"
#include "host/str.h"

namespace cli {

namespace fs = std::filesystem;

void noteColourConverted(const std::string& path) {
  static std::atomic<bool> colourNoted{false};
  if (!colourNoted.exchange(true))
    printError("note: " + path +
               ": colour converted to gray (0.299 R + 0.587 G + 0.114 B); further colour "
               "images are converted without a note");
}

imgio::ColorImage readInputColorImage(const std::string& path, long maxPels) {
  try {
    return imgio::readColorImage(path, nullptr, maxPels);
  } catch (const imgio::ImageError& e) {
    failBadInput(e.what());
  }
}

imgio::AnyDepthImage readInputAnyImage(const std::string& path, long maxPels) {
  try {
    return imgio::readAnyDepthImage(path, nullptr, maxPels);
  } catch (const imgio::ImageError& e) {
    failBadInput(e.what());
  }
}

imgio::GrayImage readInputImage(const std::string& path, long maxPels) {
  const imgio::ColorImage image = readInputColorImage(path, maxPels);
  if (image.hasColour()) noteColourConverted(path);
  return imgio::toGray(image);
}

void checkSameSize(long width, long height, const std::string& path, long referenceWidth,
                   long referenceHeight) {
  const auto size = [](long w, long h) { return std::to_string(w) + "x" + std::to_string(h); };
  if (width != referenceWidth || height != referenceHeight)
    failBadInput(path + ": the image is " + size(width, height) + " pels but the reference is " +
                 size(referenceWidth, referenceHeight));
}

kcPelBuffer<unsigned char> toPelBuffer(const imgio::GrayImage& image) {
  kcPelBuffer<unsigned char> buffer(image.width, image.height);
  for (long y = 0; y < image.height; ++y) {
    const unsigned char* row = image.pels.data() + y * image.width;
    std::copy(row, row + image.width, buffer.pointToPel(0, y));
  }
  return buffer;
}

imgio::GrayImage toGrayImage(const kcPelBuffer_const<unsigned char>& buffer) {
  const kcPelRect& w = buffer.window();
  imgio::GrayImage image{w.width(), w.height(), {}};
  image.pels.resize(static_cast<std::size_t>(w.width() * w.height()));
  for (long y = 0; y < w.height(); ++y) {
    const unsigned char* row = buffer.pointToPel(w.x(), w.y() + y);
    std::copy(row, row + w.width(), image.pels.begin() + y * w.width());
  }
  return image;
}

std::string canonicalPath(const std::string& path) {
  std::error_code ec;
  const fs::path canonical = fs::weakly_canonical(fs::absolute(path, ec), ec);
  return ec ? path : canonical.string();
}

std::set<std::string> canonicalPaths(const std::vector<std::string>& paths) {
  std::set<std::string> canonical;
  for (const auto& path : paths)
    if (!path.empty()) canonical.insert(canonicalPath(path));
  return canonical;
}

void checkOutputPath(const std::string& output, const std::set<std::string>& inputs) {
  std::error_code ec;
  if (fs::is_directory(output, ec)) failBadInput(output + ": is a folder; give a file name");
  try {
    imgio::replacedFile(output);
  } catch (const imgio::ImageError& e) {
    failBadInput(e.what());
  }
  if (inputs.count(canonicalPath(output)))
    failBadInput(output + ": refusing to write over an input file");
}

void checkFolderOf(const std::string& output) {
  std::error_code ec;
  const fs::path folder = fs::path(output).parent_path();
  if (!folder.empty() && !fs::is_directory(folder, ec))
    failBadInput(output + ": the folder " + folder.string() + " does not exist");
}

std::string narrow(const std::wstring& text) { return kfToUtf8(text); }

}  // namespace cli
