#include "imgio/image_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <system_error>
#include <utility>

#include "imgio/detail/image_codecs.h"
#include "imgio/detail/row_codecs.h"

namespace imgio {

namespace {

namespace fs = std::filesystem;

std::string errnoText(int err) { return std::error_code(err, std::generic_category()).message(); }

std::string lowerExtension(const std::string& path) {
  std::string ext = fs::path(path).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext;
}

bool isPnmSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Closes a descriptor on every path out of a scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  // Closes now, reporting a failure of close itself (a late write error).
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// Opens path for reading and gives its status; refuses a folder.
FileDescriptor openForReading(const std::string& path, struct stat& st) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw ImageError(path + ": cannot open: " + errnoText(errno));
  if (::fstat(fd.get(), &st) != 0) throw ImageError(path + ": cannot read: " + errnoText(errno));
  if (S_ISDIR(st.st_mode)) throw ImageError(path + ": is a folder, not an image file");
  return fd;
}

std::vector<unsigned char> readWholeFile(const std::string& path) {
  struct stat st {};
  FileDescriptor fd = openForReading(path, st);
  if (S_ISREG(st.st_mode) && static_cast<unsigned long long>(st.st_size) > kMaxFileBytes)
    throw ImageError(path + ": file too large (" + std::to_string(st.st_size) + " bytes)");
  std::vector<unsigned char> bytes;
  // One block of the file's size: growing by doubling would leave the
  // smaller blocks behind as holes in the heap.
  if (S_ISREG(st.st_mode)) bytes.reserve(static_cast<std::size_t>(st.st_size));
  unsigned char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw ImageError(path + ": cannot read: " + errnoText(errno));
    if (n == 0) break;
    if (bytes.size() + static_cast<std::size_t>(n) > kMaxFileBytes)
      throw ImageError(path + ": file too large");
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return bytes;
}

[[noreturn]] void refuseUnknownContent(std::span<const unsigned char> bytes,
                                       const std::string& name) {
  std::string message =
      name + ": not a PNG, TIFF or PGM image: the content matches none of their signatures";
  if (const auto claimed = formatForPath(name))
    message += std::string(" (the name says ") + formatName(*claimed) + ", the content does not)";
  const bool looksLikeText =
      std::all_of(bytes.begin(), bytes.begin() + std::min<std::ptrdiff_t>(bytes.size(), 64),
                  [](unsigned char c) { return std::isprint(c) || std::isspace(c); });
  if (looksLikeText) message += "; it looks like a text file";
  throw ImageError(message);
}

void writeAll(int fd, std::span<const unsigned char> bytes, const std::string& path) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw ImageError(path + ": cannot write: " + errnoText(errno));
    done += static_cast<std::size_t>(n);
  }
}

// Creates an empty, new file next to path that no other writer uses.
std::string createTemporaryBeside(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  const fs::path target(path);
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name(".");
    name += target.filename().string();
    name += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    const std::string temp = (folder / name).string();
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      return temp;
    }
    if (errno != EEXIST)
      throw ImageError(path + ": cannot create a temporary file in '" + folder.string() +
                       "': " + errnoText(errno));
  }
  throw ImageError(path + ": cannot create a temporary file in '" + folder.string() + "'");
}

void syncFile(const std::string& temp, const std::string& path) {
  FileDescriptor fd(::open(temp.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0 || ::fsync(fd.get()) != 0)
    throw ImageError(path + ": cannot write: " + errnoText(errno));
}

// A replaced file keeps its permission bits.
void keepModeOf(const std::string& target, const std::string& temp, const std::string& path) {
  struct stat st {};
  if (::stat(target.c_str(), &st) != 0) return;  // a new file
  if (::chmod(temp.c_str(), st.st_mode & 07777) != 0)
    throw ImageError(path + ": cannot write: " + errnoText(errno));
}

// The pieces one after the other, so that a large image's pels are written
// from where they are.
PendingFile bytesFile(const std::string& path,
                      std::initializer_list<std::span<const unsigned char>> pieces) {
  return PendingFile(path, [&](const std::string& temp) {
    FileDescriptor fd(::open(temp.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (fd.get() < 0) throw ImageError(path + ": cannot write: " + errnoText(errno));
    for (const auto& piece : pieces) writeAll(fd.get(), piece, path);
    if (!fd.close()) throw ImageError(path + ": cannot write: " + errnoText(errno));
  });
}

// PGM through the row writer, all rows at once.
template <typename Sample>
PendingFile pgmFile(const std::string& path, long width, long height, int bits,
                    const std::vector<Sample>& pels) {
  checkImageSize(width, height, path, kMaxSide * kMaxSide);
  const ImageLayout layout{Format::kPnm, width, height, 1, bits, sizeof(Sample) == 2};
  return PendingFile(path, [&](const std::string& temp) {
    const auto sink = detail::pnmRowSink(temp, layout, path);
    sink->write(pels.data(), height);
    sink->finish();
  });
}

template <typename Sample>
PendingFile pgmFile(const std::string& path, const BasicColorImage<Sample>& image) {
  return pgmFile(path, image.width, image.height, image.bits, image.pels);
}

}  // namespace

std::optional<Format> detectFormat(std::span<const unsigned char> head) {
  static constexpr unsigned char kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (head.size() >= 8 && std::equal(kPng, kPng + 8, head.begin())) return Format::kPng;
  if (head.size() >= 4) {
    const bool little =
        head[0] == 'I' && head[1] == 'I' && (head[2] == 42 || head[2] == 43) && head[3] == 0;
    const bool big =
        head[0] == 'M' && head[1] == 'M' && head[2] == 0 && (head[3] == 42 || head[3] == 43);
    if (little || big) return Format::kTiff;
  }
  const auto isPnmKind = [](unsigned char c) {
    return c == '2' || c == '3' || c == '5' || c == '6';
  };
  if (head.size() >= 3 && head[0] == 'P' && isPnmKind(head[1]) && isPnmSpace(head[2]))
    return Format::kPnm;
  return std::nullopt;
}

std::optional<Format> formatForPath(const std::string& path) {
  const std::string ext = lowerExtension(path);
  if (ext == ".png") return Format::kPng;
  if (ext == ".tif" || ext == ".tiff") return Format::kTiff;
  if (ext == ".pgm") return Format::kPnm;
  return std::nullopt;
}

const char* formatName(Format format) {
  switch (format) {
    case Format::kPng:
      return "PNG";
    case Format::kTiff:
      return "TIFF";
    case Format::kPnm:
      return "PGM";
  }
  return "?";
}

void checkImageSize(long width, long height, const std::string& name, long maxPels) {
  if (width <= 0 || height <= 0)
    throw ImageError(name + ": the image has no pels (" + std::to_string(width) + "x" +
                     std::to_string(height) + ")");
  if (width > kMaxSide || height > kMaxSide || width * height > maxPels)
    throw ImageError(name + ": the image is too large (" + std::to_string(width) + "x" +
                     std::to_string(height) + "); the limits are " + std::to_string(kMaxSide) +
                     " pels a side and " + std::to_string(maxPels) + " pels in all");
}

GrayImage toGray(const ColorImage& image) {
  GrayImage gray{image.width, image.height,
                 std::vector<unsigned char>(static_cast<std::size_t>(image.width * image.height))};
  detail::toGray(image.pels.data(), gray.pels.size(), image.channels, gray.pels.data());
  return gray;
}

ColorImage16 toGray(const ColorImage16& image) {
  ColorImage16 gray{
      image.width, image.height, 1,
      std::vector<std::uint16_t>(static_cast<std::size_t>(image.width * image.height)), image.bits};
  detail::toGray(image.pels.data(), gray.pels.size(), image.channels, gray.pels.data());
  return gray;
}

GrayImage decodeImage(std::span<const unsigned char> bytes, const std::string& name, ReadInfo* info,
                      long maxPels) {
  return toGray(decodeColorImage(bytes, name, info, maxPels));
}

namespace {

// A regular file larger than whole files are read: decoded a band of rows
// at a time instead, so that its bytes are never held beside its pels.
bool readsByRows(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         static_cast<unsigned long long>(st.st_size) > kMaxFileBytes;
}

AnyDepthImage readEither(const std::string& path, ReadInfo* info, long maxPels, bool deep) {
  if (readsByRows(path)) {
    bool colour = false;
    Format format = Format::kPng;
    AnyDepthImage image = detail::readFileByRows(path, format, colour, maxPels, deep);
    if (info) *info = ReadInfo{format, colour};
    return image;
  }
  const std::vector<unsigned char> bytes = readWholeFile(path);
  return deep ? decodeAnyDepthImage(bytes, path, info, maxPels)
              : AnyDepthImage(decodeColorImage(bytes, path, info, maxPels));
}

AnyDepthImage decodeEither(std::span<const unsigned char> bytes, const std::string& name,
                           ReadInfo* info, long maxPels, bool deep) {
  const Format format = detail::formatOfContent(bytes, name);
  bool colour = false;
  AnyDepthImage image;
  switch (format) {
    case Format::kPng:
      image = detail::decodePng(bytes, name, colour, maxPels, deep);
      break;
    case Format::kTiff:
      image = detail::decodeTiff(bytes, name, colour, maxPels, deep);
      break;
    case Format::kPnm:
      image = detail::decodePnm(bytes, name, colour, maxPels, deep);
      break;
  }
  if (info) *info = ReadInfo{format, colour};
  return image;
}

}  // namespace

ColorImage decodeColorImage(std::span<const unsigned char> bytes, const std::string& name,
                            ReadInfo* info, long maxPels) {
  return std::get<ColorImage>(decodeEither(bytes, name, info, maxPels, false));
}

AnyDepthImage decodeAnyDepthImage(std::span<const unsigned char> bytes, const std::string& name,
                                  ReadInfo* info, long maxPels) {
  return decodeEither(bytes, name, info, maxPels, true);
}

ColorImage readColorImage(const std::string& path, ReadInfo* info, long maxPels) {
  return std::get<ColorImage>(readEither(path, info, maxPels, false));
}

AnyDepthImage readAnyDepthImage(const std::string& path, ReadInfo* info, long maxPels) {
  return readEither(path, info, maxPels, true);
}

GrayImage readImage(const std::string& path, ReadInfo* info, long maxPels) {
  return toGray(readColorImage(path, info, maxPels));
}

std::string replacedFile(const std::string& path) {
  std::error_code ec;
  std::string target = path;
  if (fs::is_symlink(fs::symlink_status(path, ec))) {
    target = fs::weakly_canonical(path, ec).string();
    if (ec) throw ImageError(path + ": cannot follow the link: " + ec.message());
  }
  const fs::file_status status = fs::status(target, ec);
  if (fs::exists(status) && !fs::is_regular_file(status))
    throw ImageError(path + ": not a regular file; refusing to write over it");
  return target;
}

PendingFile::PendingFile(const std::string& path,
                         const std::function<void(const std::string& tempPath)>& fill)
    : file_(std::make_unique<detail::Replacement>(path)) {
  fill(file_->tempPath());
  file_->sync();
}

PendingFile::PendingFile(PendingFile&& other) noexcept = default;

PendingFile::~PendingFile() = default;

void PendingFile::commit() { file_->commit(); }

namespace detail {

Replacement::Replacement(const std::string& path)
    : path_(path), target_(replacedFile(path)), temp_(createTemporaryBeside(target_)) {
  try {
    keepModeOf(target_, temp_, path_);
  } catch (...) {
    ::unlink(temp_.c_str());
    throw;
  }
}

Replacement::~Replacement() {
  if (!temp_.empty()) ::unlink(temp_.c_str());
}

void Replacement::sync() const { syncFile(temp_, path_); }

void Replacement::commit() {
  if (::rename(temp_.c_str(), target_.c_str()) != 0)
    throw ImageError(path_ + ": cannot write: " + errnoText(errno));
  temp_.clear();
}

InputFile openInputFile(const std::string& path) {
  struct stat st {};
  FileDescriptor fd = openForReading(path, st);
  InputFile input{
      FileHandle(::fdopen(fd.get(), "rb")), static_cast<unsigned long long>(st.st_size), {}};
  if (!input.file) throw ImageError(path + ": cannot read: " + errnoText(errno));
  fd.release();  // the stream closes it
  input.head.resize(InputFile::kHeadBytes);
  input.head.resize(std::fread(input.head.data(), 1, input.head.size(), input.file.get()));
  if (std::ferror(input.file.get()) || std::fseek(input.file.get(), 0, SEEK_SET) != 0)
    throw ImageError(path + ": cannot read: " + errnoText(errno));
  return input;
}

Format formatOfContent(std::span<const unsigned char> head, const std::string& name) {
  if (head.empty()) throw ImageError(name + ": the file is empty");
  const auto format = detectFormat(head.first(std::min<std::size_t>(head.size(), 8)));
  if (!format) refuseUnknownContent(head, name);
  return *format;
}

}  // namespace detail

namespace {

Format formatNamedBy(const std::string& path) {
  const auto format = formatForPath(path);
  if (!format)
    throw ImageError(path + ": unknown image file extension (use .png, .tif, .tiff or .pgm)");
  return *format;
}

// Samples must fit the bits they claim: a writer would scale them past 16
// bits, or store them above the maximum value it records.
template <typename Sample>
void checkSignificantBits(const BasicColorImage<Sample>& image, const std::string& path) {
  detail::checkBitsInRange(image.bits, image.kSampleBits == 16, path);
  if (const auto above = sampleAboveBits(image))
    detail::refuseSampleAbove(*above, image.bits, path);
}

template <typename Sample>
PendingFile prepareAnyDepth(const std::string& path, const BasicColorImage<Sample>& image,
                            Format format) {
  checkImageSize(image.width, image.height, path, kMaxSide * kMaxSide);
  checkSignificantBits(image, path);
  detail::checkFormatHolds(format, image.channels, image.bits, image.kSampleBits == 16, path);
  switch (format) {
    case Format::kPng:
      return bytesFile(path, {detail::encodePng(image, path)});
    case Format::kPnm:
      return pgmFile(path, image);
    case Format::kTiff:
      break;
  }
  return PendingFile(path,
                     [&](const std::string& temp) { detail::writeTiffFile(temp, image, path); });
}

}  // namespace

PendingFile prepareFieldTiff(const std::string& path, const FieldImage& field) {
  checkImageSize(field.width, field.height, path, kMaxSide * kMaxSide);
  return PendingFile(
      path, [&](const std::string& temp) { detail::writeFieldTiffFile(temp, field, path); });
}

PendingFile prepareImage(const std::string& path, const GrayImage& image) {
  return prepareImage(path, image, formatNamedBy(path));
}

PendingFile prepareImage(const std::string& path, const GrayImage& image, Format format) {
  if (format != Format::kPnm)
    return prepareImage(path, ColorImage{image.width, image.height, 1, image.pels}, format);
  return pgmFile(path, image.width, image.height, 8, image.pels);
}

PendingFile prepareImage(const std::string& path, const ColorImage& image) {
  return prepareImage(path, image, formatNamedBy(path));
}

PendingFile prepareImage(const std::string& path, const ColorImage& image, Format format) {
  return prepareAnyDepth(path, image, format);
}

PendingFile prepareImage(const std::string& path, const ColorImage16& image) {
  return prepareImage(path, image, formatNamedBy(path));
}

PendingFile prepareImage(const std::string& path, const ColorImage16& image, Format format) {
  return prepareAnyDepth(path, image, format);
}

void writeImage(const std::string& path, const GrayImage& image) {
  prepareImage(path, image).commit();
}

void writeImage(const std::string& path, const GrayImage& image, Format format) {
  prepareImage(path, image, format).commit();
}

void writeImage(const std::string& path, const ColorImage& image) {
  prepareImage(path, image).commit();
}

void writeImage(const std::string& path, const ColorImage16& image) {
  prepareImage(path, image).commit();
}

void writeFileAtomically(const std::string& path,
                         const std::function<void(const std::string& tempPath)>& fill) {
  PendingFile(path, fill).commit();
}

void writeBytesAtomically(const std::string& path, std::span<const unsigned char> bytes) {
  bytesFile(path, {bytes}).commit();
}

namespace detail {

template <typename Sample>
bool toGray(const Sample* src, std::size_t pelCount, int channels, Sample* dst) {
  if (channels < 3) {
    for (std::size_t i = 0; i < pelCount; ++i) dst[i] = src[i * static_cast<std::size_t>(channels)];
    return false;
  }
  bool colour = false;
  for (std::size_t i = 0; i < pelCount; ++i) {
    const Sample* p = src + i * static_cast<std::size_t>(channels);
    colour |= p[0] != p[1] || p[1] != p[2];
    dst[i] = lumaOf<Sample>(p[0], p[1], p[2]);
  }
  return colour;
}

template bool toGray(const unsigned char*, std::size_t, int, unsigned char*);
template bool toGray(const std::uint16_t*, std::size_t, int, std::uint16_t*);

namespace {

template <typename Sample>
bool anyColour(const std::vector<Sample>& samples, std::size_t pelCount, int channels) {
  for (std::size_t i = 0; i < pelCount; ++i) {
    const Sample* p = samples.data() + i * static_cast<std::size_t>(channels);
    if (p[0] != p[1] || p[1] != p[2]) return true;
  }
  return false;
}

// Gray stored as RGB or RGBA becomes gray or gray and alpha, in place.
template <typename Sample>
void keepGrayAndAlpha(std::vector<Sample>& samples, std::size_t pelCount, int channels) {
  const bool alpha = channels == 4;
  const std::size_t from = static_cast<std::size_t>(channels), to = alpha ? 2 : 1;
  for (std::size_t i = 0; i < pelCount; ++i) {
    samples[i * to] = samples[i * from];
    if (alpha) samples[i * to + 1] = samples[i * from + 3];
  }
  samples.resize(pelCount * to);
  samples.shrink_to_fit();
}

}  // namespace

template <typename Sample>
BasicColorImage<Sample> fromInterleaved(long width, long height, std::vector<Sample> samples,
                                        int channels, bool& colour, int bits) {
  const auto pelCount = static_cast<std::size_t>(width * height);
  colour = channels >= 3 && anyColour(samples, pelCount, channels);
  if (channels >= 3 && !colour) {
    keepGrayAndAlpha(samples, pelCount, channels);
    channels = channels == 4 ? 2 : 1;
  }
  return {width, height, channels, std::move(samples), bits};
}

template ColorImage fromInterleaved(long, long, std::vector<unsigned char>, int, bool&, int);
template ColorImage16 fromInterleaved(long, long, std::vector<std::uint16_t>, int, bool&, int);

void checkBitsInRange(int bits, bool deep, const std::string& path) {
  const int sampleBits = deep ? 16 : 8;  // 8-bit images are never scaled
  if (bits < (deep ? 1 : 8) || bits > sampleBits)
    throw ImageError(path + ": " + std::to_string(bits) +
                     " significant bits are out of range for " + std::to_string(sampleBits) +
                     "-bit samples; give " + (deep ? "1 to 16" : "8"));
}

void refuseSampleAbove(unsigned sample, int bits, const std::string& path) {
  throw ImageError(path + ": the sample " + std::to_string(sample) + " exceeds " +
                   std::to_string((1U << bits) - 1) + ", the largest of " + std::to_string(bits) +
                   " bits");
}

// A maximum value below 256 would make 16-bit PGM samples 8-bit ones.
void checkFormatHolds(Format format, int channels, int bits, bool deep, const std::string& path) {
  if (format != Format::kPnm) return;
  if (channels >= 3)
    throw ImageError(path + ": PGM holds gray only; name a colour result .png or .tif");
  if (channels == 2)
    throw ImageError(path + ": PGM cannot hold the image's alpha; name the result .png or .tif");
  if (deep && bits <= 8)
    throw ImageError(path + ": PGM holds 16-bit samples of 9 to 16 significant bits, not " +
                     std::to_string(bits) + "; name the result .png or .tif");
}

void refuseDeepSamples(const std::string& name, int bitsPerSample, bool deep) {
  throw ImageError(name + ": " + std::to_string(bitsPerSample) +
                   "-bit samples are not supported; images need " +
                   (deep ? "16 bits a sample, or 8 or fewer" : "8 bits a sample or fewer") +
                   ": gray, gray and alpha, RGB or RGBA in PNG or TIFF files, gray or RGB in PGM "
                   "or PPM files");
}

}  // namespace detail

}  // namespace imgio
