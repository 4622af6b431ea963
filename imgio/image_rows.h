#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "imgio/image_io.h"

// Reading and writing image files a band of rows at a time, for images too
// large to hold whole: the same formats, layouts and refusals as
// readAnyDepthImage and prepareImage, with one strip or row of tiles of the
// file in memory at a time.
namespace imgio {

// What an image file holds, from its header alone.
struct ImageLayout {
  Format format = Format::kPng;
  long width = 0, height = 0;  // as the image is shown (after orientation)
  // As stored: 1 gray, 2 gray and alpha, 3 RGB, 4 RGBA (a colour file whose
  // pels happen to be gray still says 3 or 4).
  int channels = 1;
  // Significant bits, as readAnyDepthImage sets them (sBIT, the PGM's
  // maximum value, SMaxSampleValue); 8 for 8-bit samples.
  int bits = 8;
  bool deep = false;  // 16-bit samples (std::uint16_t), else 8-bit (unsigned char)
};

// A file that can be read only whole (an interlaced PNG, a TIFF whose
// orientation transposes it): readAnyDepthImage reads it. The message
// names the file and says why.
class NotStreamable : public ImageError {
 public:
  using ImageError::ImageError;
};

// Reads an image file's rows top to bottom, a band at a time, holding at
// most one strip or row of tiles of the file.
class RowReader {
 public:
  // Opens a PNG, TIFF (BigTIFF too) or PGM/PPM file, detected by its
  // content. Throws ImageError, naming the file, for what readAnyDepthImage
  // refuses, but sets no limit on pels (sides above kMaxSide stay refused),
  // and NotStreamable for a file that can be read only whole.
  static std::unique_ptr<RowReader> open(const std::string& path);
  virtual ~RowReader();
  RowReader(const RowReader&) = delete;
  RowReader& operator=(const RowReader&) = delete;

  const ImageLayout& layout() const { return layout_; }
  long rowsRead() const { return rowsRead_; }

  // The next rows rows into samples (rows * width * channels of them,
  // channels interleaved, low-aligned): the samples readAnyDepthImage gives
  // for those rows before it keeps only gray of a colour file without
  // colour. Throws ImageError where the file's data turns out bad (as
  // readAnyDepthImage does for the same file), std::logic_error for a depth
  // other than layout().deep or rows past the last.
  virtual void read(long rows, unsigned char* samples) = 0;
  virtual void read(long rows, std::uint16_t* samples) = 0;

 protected:
  explicit RowReader(const ImageLayout& layout) : layout_(layout) {}
  // Checks a read of rows of the depth deep and counts them.
  void startRead(long rows, bool deep);

 private:
  ImageLayout layout_;
  long rowsRead_ = 0;
};

struct RowWriterOptions {
  // BigTIFF even when the file stays small (tests); it is also chosen
  // whenever the file may pass 4 GiB, compressed or not.
  bool bigTiff = false;
  long tileSide = 256;  // TIFF tiles' side, a multiple of 16
  unsigned threads = 1;  // threads that deflate TIFF tiles at once
};

// Writes an image file band by band under a temporary name beside path,
// as PendingFile does (the replaced file's permission bits, a symbolic
// link's target replaced). Nothing appears at path until commit(); a
// writer destroyed without it removes the temporary.
class RowWriter {
 public:
  // The file for images of layout (its format is the file's; layout.format
  // is ignored). Throws ImageError for what prepareImage refuses of such an
  // image (sizes, bits, colour or alpha in PGM), std::invalid_argument for
  // channels outside 1 to 4 or a tile side that is not a positive multiple
  // of 16.
  static std::unique_ptr<RowWriter> create(const std::string& path, Format format,
                                           const ImageLayout& layout,
                                           const RowWriterOptions& options = {});
  virtual ~RowWriter();
  RowWriter(const RowWriter&) = delete;
  RowWriter& operator=(const RowWriter&) = delete;

  // The next rows rows, as RowReader::read gives them. Throws ImageError
  // for a sample above 2^bits - 1 or a failed write, std::logic_error for
  // the wrong depth or rows past the last.
  virtual void write(long rows, const unsigned char* samples) = 0;
  virtual void write(long rows, const std::uint16_t* samples) = 0;
  // Completes the file and renames it into place; ImageError if rows are
  // missing or it cannot be written.
  virtual void commit() = 0;

 protected:
  RowWriter() = default;
};

}  // namespace imgio
