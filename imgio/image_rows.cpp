#include "imgio/image_rows.h"

#include <stdexcept>
#include <utility>

#include "imgio/detail/image_codecs.h"
#include "imgio/detail/row_codecs.h"

namespace imgio {

namespace {

// The rows of a file through the source its format opened.
class FileRowReader final : public RowReader {
 public:
  explicit FileRowReader(detail::OpenedRows opened)
      : RowReader(opened.layout), source_(std::move(opened.source)) {}

  void read(long rows, unsigned char* samples) override {
    startRead(rows, false);
    source_->read(samples, rows);
  }
  void read(long rows, std::uint16_t* samples) override {
    startRead(rows, true);
    source_->read(samples, rows);
  }

 private:
  std::unique_ptr<detail::RowSource> source_;
};

// Checks what the caller hands over, then passes it to the format's sink;
// the temporary is removed unless committed.
class FileRowWriter final : public RowWriter {
 public:
  FileRowWriter(const std::string& path, Format format, const ImageLayout& layout,
                const RowWriterOptions& options)
      : path_(path), layout_(layout), file_(path), sink_(sinkFor(format, options)) {
    layout_.format = format;
  }

  void write(long rows, const unsigned char* samples) override { writeChecked(rows, samples); }
  void write(long rows, const std::uint16_t* samples) override { writeChecked(rows, samples); }

  void commit() override {
    if (rowsWritten_ != layout_.height)
      throw ImageError(path_ + ": cannot complete the file: " + std::to_string(rowsWritten_) +
                       " of its " + std::to_string(layout_.height) + " rows were written");
    sink_->finish();
    file_.sync();
    file_.commit();
  }

 private:
  std::unique_ptr<detail::RowSink> sinkFor(Format format, const RowWriterOptions& options) const {
    switch (format) {
      case Format::kPng:
        return detail::pngRowSink(file_.tempPath(), layout_, path_);
      case Format::kTiff:
        return detail::tiffRowSink(file_.tempPath(), layout_, options, path_);
      case Format::kPnm:
        break;
    }
    return detail::pnmRowSink(file_.tempPath(), layout_, path_);
  }

  template <typename Sample>
  void writeChecked(long rows, const Sample* samples) {
    if (layout_.deep != (sizeof(Sample) == 2))
      throw std::logic_error(path_ + ": rows of " + std::to_string(8 * sizeof(Sample)) +
                             "-bit samples for a file of the other depth");
    if (rows < 0 || rows > layout_.height - rowsWritten_)
      throw std::logic_error(path_ + ": " + std::to_string(rows) + " rows after " +
                             std::to_string(rowsWritten_) + " of " +
                             std::to_string(layout_.height));
    const auto count = static_cast<std::size_t>(rows * layout_.width * layout_.channels);
    if (const Sample* above = detail::firstSampleAbove(samples, count, layout_.bits))
      detail::refuseSampleAbove(*above, layout_.bits, path_);
    sink_->write(samples, rows);
    rowsWritten_ += rows;
  }

  std::string path_;
  ImageLayout layout_;
  detail::Replacement file_;
  std::unique_ptr<detail::RowSink> sink_;  // closed before the temporary is removed
  long rowsWritten_ = 0;
};

}  // namespace

RowReader::~RowReader() = default;

void RowReader::startRead(long rows, bool deep) {
  if (deep != layout_.deep)
    throw std::logic_error(std::string("RowReader: ") + (deep ? "16" : "8") +
                           "-bit samples asked of a file of the other depth");
  if (rows < 0 || rows > layout_.height - rowsRead_)
    throw std::logic_error("RowReader: " + std::to_string(rows) + " rows asked after " +
                           std::to_string(rowsRead_) + " of " + std::to_string(layout_.height));
  rowsRead_ += rows;
}

std::unique_ptr<RowReader> RowReader::open(const std::string& path) {
  detail::InputFile input = detail::openInputFile(path);
  const auto* head = reinterpret_cast<const unsigned char*>(input.head.data());
  switch (detail::formatOfContent({head, input.head.size()}, path)) {
    case Format::kPng:
      return std::make_unique<FileRowReader>(detail::openPngRows(std::move(input), path));
    case Format::kTiff:
      return std::make_unique<FileRowReader>(detail::openTiffRows(std::move(input), path));
    case Format::kPnm:
      break;
  }
  return std::make_unique<FileRowReader>(detail::openPnmRows(std::move(input), path));
}

RowWriter::~RowWriter() = default;

std::unique_ptr<RowWriter> RowWriter::create(const std::string& path, Format format,
                                             const ImageLayout& layout,
                                             const RowWriterOptions& options) {
  if (layout.channels < 1 || layout.channels > 4)
    throw std::invalid_argument(path + ": " + std::to_string(layout.channels) +
                                " channels; images have 1 to 4");
  if (format == Format::kTiff && (options.tileSide <= 0 || options.tileSide % 16 != 0))
    throw std::invalid_argument(path + ": TIFF tiles of side " + std::to_string(options.tileSide) +
                                "; give a positive multiple of 16");
  checkImageSize(layout.width, layout.height, path, kMaxSide * kMaxSide);
  detail::checkBitsInRange(layout.bits, layout.deep, path);
  detail::checkFormatHolds(format, layout.channels, layout.bits, layout.deep, path);
  return std::make_unique<FileRowWriter>(path, format, layout, options);
}

namespace detail {

namespace {

template <typename Sample>
BasicColorImage<Sample> allRows(RowReader& reader, bool& colour) {
  const ImageLayout& l = reader.layout();
  std::vector<Sample> samples(static_cast<std::size_t>(l.width * l.height * l.channels));
  reader.read(l.height, samples.data());
  return fromInterleaved(l.width, l.height, std::move(samples), l.channels, colour, l.bits);
}

}  // namespace

AnyDepthImage readFileByRows(const std::string& path, Format& format, bool& colour, long maxPels,
                             bool deep) {
  std::unique_ptr<RowReader> reader;
  try {
    reader = RowReader::open(path);
  } catch (const NotStreamable& e) {
    throw ImageError(path + ": file too large to read whole (more than " +
                     std::to_string(kMaxFileBytes) + " bytes): " + e.what());
  }
  const ImageLayout& l = reader->layout();
  format = l.format;
  checkImageSize(l.width, l.height, path, maxPels);
  if (!l.deep) return allRows<unsigned char>(*reader, colour);
  if (!deep) refuseDeepSamples(path, 16);
  return allRows<std::uint16_t>(*reader, colour);
}

}  // namespace detail

}  // namespace imgio
