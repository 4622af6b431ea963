#pragma once

// The per-format row readers and writers behind image_rows.h, and the file
// handling they share with image_io.cpp.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>

#include "imgio/image_rows.h"

namespace imgio::detail {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// An image file opened for reading, its size and its first bytes (up to
// kHeadBytes), positioned at its start.
struct InputFile {
  static constexpr std::size_t kHeadBytes = 64;  // what refuseUnknownContent looks at
  FileHandle file;
  unsigned long long size = 0;
  std::string head;
};

// Opens path for reading; ImageError as readAnyDepthImage words it for a
// file that cannot be opened or is a folder.
InputFile openInputFile(const std::string& path);
// The format of a file starting with head; ImageError for an empty file or
// unknown content.
Format formatOfContent(std::span<const unsigned char> head, const std::string& name);

// The rows of an opened file, top to bottom as shown.
class RowSource {
 public:
  virtual ~RowSource() = default;
  // The next rows rows into samples of the layout's depth.
  virtual void read(void* samples, long rows) = 0;
};

struct OpenedRows {
  ImageLayout layout;
  std::unique_ptr<RowSource> source;
};

OpenedRows openPngRows(InputFile input, const std::string& name);
OpenedRows openTiffRows(InputFile input, const std::string& name);
OpenedRows openPnmRows(InputFile input, const std::string& name);

// Writes the rows of a file, given complete bands.
class RowSink {
 public:
  virtual ~RowSink() = default;
  // rows rows of samples of the layout's depth, checked already.
  virtual void write(const void* samples, long rows) = 0;
  // Completes the file after its last row and closes it.
  virtual void finish() = 0;
};

// Each writes filePath (the temporary), naming name in messages; the
// layout has been checked against the format.
std::unique_ptr<RowSink> pngRowSink(const std::string& filePath, const ImageLayout& layout,
                                    const std::string& name);
std::unique_ptr<RowSink> tiffRowSink(const std::string& filePath, const ImageLayout& layout,
                                     const RowWriterOptions& options, const std::string& name);
std::unique_ptr<RowSink> pnmRowSink(const std::string& filePath, const ImageLayout& layout,
                                    const std::string& name);

// A file written under a temporary name beside the file that path
// replaces, with that file's permission bits; removed unless committed.
class Replacement {
 public:
  explicit Replacement(const std::string& path);
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;
  ~Replacement();
  const std::string& tempPath() const { return temp_; }
  // Flushes the temporary to the disk.
  void sync() const;
  // Renames the temporary over the target.
  void commit();

 private:
  std::string path_;
  std::string target_;
  std::string temp_;  // empty once committed
};

// Refusals of what an image of this layout cannot be written as: sides,
// significant bits out of range, colour, alpha or too few bits for PGM.
// prepareImage checks the samples between the bits and the format.
void checkBitsInRange(int bits, bool deep, const std::string& path);
void checkFormatHolds(Format format, int channels, int bits, bool deep, const std::string& path);
[[noreturn]] void refuseSampleAbove(unsigned sample, int bits, const std::string& path);

// The first of count samples above 2^bits - 1, if any.
template <typename Sample>
const Sample* firstSampleAbove(const Sample* samples, std::size_t count, int bits) {
  if (bits >= static_cast<int>(8 * sizeof(Sample))) return nullptr;
  const auto maxValue = static_cast<Sample>((1U << bits) - 1);
  for (std::size_t i = 0; i < count; ++i)
    if (samples[i] > maxValue) return samples + i;
  return nullptr;
}

}  // namespace imgio::detail
