// Reading and writing image files: round trips, detection by content,
// conversions, refusals of bad files, atomic replacement.
#include "image_io.h"

#include <png.h>
#include <tiffio.h>
#include <zlib.h>

#include <sys/resource.h>

#include <cstring>

#include "temp_folder.h"

namespace {

using imgio::Format;
using imgio::GrayImage;
using imgio::ImageError;

class ImageIoTest : public TempFolderTest {
 protected:
  // The message of the ImageError that reading throws (empty if none).
  static std::string readError(const std::string& file, long maxPels = imgio::kDefaultMaxPels) {
    try {
      imgio::readImage(file, nullptr, maxPels);
    } catch (const ImageError& e) {
      return e.what();
    }
    return {};
  }
};

std::string bigEndian32(std::uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

std::string pngChunk(const std::string& type, const std::string& data) {
  const std::string body = type + data;
  const auto crc =
      crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()));
  return bigEndian32(static_cast<std::uint32_t>(data.size())) + body +
         bigEndian32(static_cast<std::uint32_t>(crc));
}

// A PNG signature and header for any size, followed by the start of an
// image data chunk: enough for a reader to learn the size.
std::string pngHeaderOnly(std::uint32_t width, std::uint32_t height, int bitDepth, int colourType) {
  std::string ihdr = bigEndian32(width) + bigEndian32(height);
  ihdr += {static_cast<char>(bitDepth), static_cast<char>(colourType), 0, 0, 0};
  return std::string("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", ihdr) + bigEndian32(100) + "IDAT";
}

// Writes an image with libpng directly, for layouts the tool never writes.
void writePngWithLibpng(const std::string& file, long width, long height, int bitDepth,
                        int colourType, const std::vector<unsigned char>& rows) {
  FILE* out = std::fopen(file.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, out);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height),
               bitDepth, colourType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  const std::size_t rowBytes = rows.size() / static_cast<std::size_t>(height);
  for (long y = 0; y < height; ++y) png_write_row(png, rows.data() + y * rowBytes);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(out);
}

// A TIFF layout: tiles of tileSide (0: strips of rowsPerStrip rows), the
// samples of each pel and the orientation of the rows.
struct TiffLayout {
  std::string what;
  uint32_t tileSide;
  uint32_t rowsPerStrip;
  int samplesPerPixel;
  uint16_t orientation;
};

// Writes interleaved 8-bit pels of the layout, uncompressed, through
// libtiff's tile or strip writer.
void writeTiffLayout(const std::string& file, const TiffLayout& layout, uint32_t width,
                     uint32_t height, const std::vector<unsigned char>& pels) {
  TIFF* tiff = TIFFOpen(file.c_str(), "w");
  ASSERT_NE(tiff, nullptr);
  const auto spp = static_cast<uint32_t>(layout.samplesPerPixel);
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, uint16_t{8});
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, static_cast<uint16_t>(spp));
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, spp >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, uint16_t{PLANARCONFIG_CONTIG});
  TIFFSetField(tiff, TIFFTAG_ORIENTATION, layout.orientation);
  if (spp == 4) {
    const uint16_t alpha = EXTRASAMPLE_ASSOCALPHA;
    TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &alpha);
  }
  const uint32_t tile = layout.tileSide;
  if (tile == 0) {
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, layout.rowsPerStrip);
    for (uint32_t y = 0; y < height; ++y) {
      std::vector<unsigned char> row(pels.begin() + y * width * spp,
                                     pels.begin() + (y + 1) * width * spp);
      TIFFWriteScanline(tiff, row.data(), y, 0);
    }
  } else {
    TIFFSetField(tiff, TIFFTAG_TILEWIDTH, tile);
    TIFFSetField(tiff, TIFFTAG_TILELENGTH, tile);
    std::vector<unsigned char> buffer(tile * tile * spp);
    for (uint32_t ty = 0; ty < height; ty += tile)
      for (uint32_t tx = 0; tx < width; tx += tile) {
        std::fill(buffer.begin(), buffer.end(), 0);
        for (uint32_t y = ty; y < std::min(height, ty + tile); ++y)
          for (uint32_t x = tx; x < std::min(width, tx + tile); ++x)
            for (uint32_t s = 0; s < spp; ++s)
              buffer[((y - ty) * tile + x - tx) * spp + s] = pels[(y * width + x) * spp + s];
        TIFFWriteTile(tiff, buffer.data(), tx, ty, 0, 0);
      }
  }
  TIFFClose(tiff);
}

void writeTiffWithLibtiff(const std::string& file, long width, long height, int bitsPerSample,
                          int samplesPerPixel, int photometric,
                          const std::vector<unsigned char>& rows) {
  TIFF* tiff = TIFFOpen(file.c_str(), "w");
  ASSERT_NE(tiff, nullptr);
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(width));
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(height));
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, static_cast<uint16_t>(bitsPerSample));
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, static_cast<uint16_t>(samplesPerPixel));
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, static_cast<uint16_t>(photometric));
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, uint16_t{PLANARCONFIG_CONTIG});
  TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(height));
  const std::size_t rowBytes = rows.size() / static_cast<std::size_t>(height);
  std::vector<unsigned char> row(rowBytes);
  for (long y = 0; y < height; ++y) {
    std::memcpy(row.data(), rows.data() + y * rowBytes, rowBytes);
    TIFFWriteScanline(tiff, row.data(), static_cast<uint32_t>(y), 0);
  }
  TIFFClose(tiff);
}

// Interleaved RGB pels and the gray the luma weights give for them.
struct ColourCase {
  std::vector<unsigned char> rgb = {255, 0,   0,  0,  255, 0,  0,   0,   255,
                                    10,  200, 30, 77, 77,  77, 255, 255, 255};
  std::vector<unsigned char> gray() const {
    std::vector<unsigned char> out;
    for (std::size_t i = 0; i < rgb.size(); i += 3) {
      const double luma = 0.299 * rgb[i] + 0.587 * rgb[i + 1] + 0.114 * rgb[i + 2];
      out.push_back(static_cast<unsigned char>(std::lround(luma)));
    }
    return out;
  }
};

TEST_F(ImageIoTest, EachFormatRoundTripsEveryPel) {
  const std::vector<std::pair<long, long>> sizes = {{1, 1}, {7, 3}, {3, 7}, {256, 5}, {61, 47}};
  for (const char* extension : {".png", ".tif", ".tiff", ".pgm", ".PNG"}) {
    for (const auto& [w, h] : sizes) {
      SCOPED_TRACE(std::string(extension) + " " + std::to_string(w) + "x" + std::to_string(h));
      const GrayImage image = randomImage(w, h, static_cast<unsigned>(w * 131 + h));
      const std::string file = path("image" + std::string(extension));
      imgio::writeImage(file, image);
      imgio::ReadInfo info;
      const GrayImage back = imgio::readImage(file, &info);
      EXPECT_EQ(back.width, w);
      EXPECT_EQ(back.height, h);
      EXPECT_EQ(back.pels, image.pels);
      EXPECT_EQ(info.format, *imgio::formatForPath(file));
      EXPECT_FALSE(info.convertedFromColour);
    }
  }
}

TEST_F(ImageIoTest, FormatComesFromTheContentNotTheName) {
  const GrayImage image = randomImage(9, 4, 3);
  const std::vector<std::pair<Format, std::string>> cases = {{Format::kPng, "png-named.tif"},
                                                             {Format::kTiff, "tiff-named.pgm"},
                                                             {Format::kPnm, "pgm-named.png"}};
  for (const auto& [format, name] : cases) {
    imgio::writeImage(path(name), image, format);
    imgio::ReadInfo info;
    EXPECT_EQ(imgio::readImage(path(name), &info).pels, image.pels) << name;
    EXPECT_EQ(info.format, format) << name;
  }
}

TEST_F(ImageIoTest, DetectsSignatures) {
  const auto detect = [](const std::string& head) {
    return imgio::detectFormat({reinterpret_cast<const unsigned char*>(head.data()), head.size()});
  };
  EXPECT_EQ(detect(std::string("\x89PNG\r\n\x1a\n", 8)), Format::kPng);
  EXPECT_EQ(detect(std::string("II*\0", 4)), Format::kTiff);
  EXPECT_EQ(detect(std::string("MM\0*", 4)), Format::kTiff);
  EXPECT_EQ(detect("P5\n"), Format::kPnm);
  EXPECT_EQ(detect("P2 "), Format::kPnm);
  EXPECT_EQ(detect("P6\t"), Format::kPnm);
  EXPECT_FALSE(detect(std::string("\x89PNG\r\n\x1a", 7)));
  EXPECT_FALSE(detect("P5x"));
  EXPECT_FALSE(detect("P4\n"));
  EXPECT_FALSE(detect("II*"));
  EXPECT_FALSE(detect("hello"));
}

TEST_F(ImageIoTest, RefusesATextFileNamedPng) {
  writeFile(path("notes.png"), "These are my notes, not a picture.\n");
  const std::string message = readError(path("notes.png"));
  EXPECT_EQ(message, path("notes.png") +
                         ": not a PNG, TIFF or PGM image: the content matches none of their "
                         "signatures (the name says PNG, the content does not); it looks like a "
                         "text file");
}

TEST_F(ImageIoTest, RefusesMissingEmptyAndFolderInputs) {
  EXPECT_EQ(readError(path("absent.png")),
            path("absent.png") + ": cannot open: No such file or directory");
  writeFile(path("empty.pgm"), "");
  EXPECT_EQ(readError(path("empty.pgm")), path("empty.pgm") + ": the file is empty");
  std::filesystem::create_directory(path("dir.png"));
  EXPECT_EQ(readError(path("dir.png")), path("dir.png") + ": is a folder, not an image file");
}

// Every cut of a valid file is refused with a message naming the file.
TEST_F(ImageIoTest, RefusesEveryTruncationOfEachFormat) {
  const GrayImage image = randomImage(40, 30, 11);
  for (const char* name : {"cut.png", "cut.tif", "cut.pgm"}) {
    imgio::writeImage(path(name), image);
    const std::string whole = readFile(path(name));
    const std::string formatWord = std::string(name).ends_with(".png")   ? "PNG"
                                   : std::string(name).ends_with(".tif") ? "TIFF"
                                                                         : "PGM";
    for (std::size_t length = 1; length < whole.size(); length += 1 + length / 8) {
      writeFile(path(name), whole.substr(0, length));
      const std::string message = readError(path(name));
      SCOPED_TRACE(std::string(name) + " cut to " + std::to_string(length));
      EXPECT_EQ(message.rfind(path(name) + ": ", 0), 0U) << message;
      EXPECT_TRUE(message.find("truncated or corrupt " + formatWord) != std::string::npos ||
                  message.find("not a PNG, TIFF or PGM image") != std::string::npos)
          << message;
    }
  }
}

TEST_F(ImageIoTest, TruncatedPgmSaysHowManyBytesAreMissing) {
  writeFile(path("short.pgm"), "P5\n4 3\n255\n" + std::string(10, 'x'));
  EXPECT_EQ(
      readError(path("short.pgm")),
      path("short.pgm") + ": truncated or corrupt PGM file: expected 12 bytes of pels, found 10");
}

TEST_F(ImageIoTest, RefusesSixteenBitSamplesWithAWayToConvert) {
  const std::vector<unsigned char> rows(4 * 3 * 2, 0x12);
  writePngWithLibpng(path("deep.png"), 4, 3, 16, PNG_COLOR_TYPE_GRAY, rows);
  writeTiffWithLibtiff(path("deep.tif"), 4, 3, 16, 1, PHOTOMETRIC_MINISBLACK, rows);
  writeFile(path("deep.pgm"), "P5\n4 3\n65535\n" + std::string(24, '\0'));
  for (const char* name : {"deep.png", "deep.tif", "deep.pgm"})
    EXPECT_EQ(readError(path(name)), path(name) +
                                         ": 16-bit samples are not supported; convert the image "
                                         "to 8-bit gray first, for example: convert '" +
                                         path(name) + "' -colorspace Gray -depth 8 gray8.png");
}

TEST_F(ImageIoTest, ConvertsColourWithLumaWeights) {
  const ColourCase colour;
  writePngWithLibpng(path("rgb.png"), 3, 2, 8, PNG_COLOR_TYPE_RGB, colour.rgb);
  writeTiffWithLibtiff(path("rgb.tif"), 3, 2, 8, 3, PHOTOMETRIC_RGB, colour.rgb);
  writeFile(path("rgb.ppm"), "P6\n3 2\n255\n" + std::string(colour.rgb.begin(), colour.rgb.end()));
  std::vector<unsigned char> rgba;
  for (std::size_t i = 0; i < colour.rgb.size(); i += 3)
    rgba.insert(rgba.end(), {colour.rgb[i], colour.rgb[i + 1], colour.rgb[i + 2], 17});
  writePngWithLibpng(path("rgba.png"), 3, 2, 8, PNG_COLOR_TYPE_RGB_ALPHA, rgba);
  for (const char* name : {"rgb.png", "rgb.tif", "rgb.ppm", "rgba.png"}) {
    imgio::ReadInfo info;
    const GrayImage image = imgio::readImage(path(name), &info);
    EXPECT_EQ(image.pels, colour.gray()) << name;
    EXPECT_TRUE(info.convertedFromColour) << name;
  }
}

TEST_F(ImageIoTest, GrayStoredAsColourIsNotReportedAsConverted) {
  const std::vector<unsigned char> rgb = {0, 0, 0, 128, 128, 128, 255, 255, 255, 3, 3, 3};
  writePngWithLibpng(path("grayish.png"), 2, 2, 8, PNG_COLOR_TYPE_RGB, rgb);
  imgio::ReadInfo info;
  EXPECT_EQ(imgio::readImage(path("grayish.png"), &info).pels,
            (std::vector<unsigned char>{0, 128, 255, 3}));
  EXPECT_FALSE(info.convertedFromColour);
}

TEST_F(ImageIoTest, ExpandsLowBitDepthGrayPng) {
  // Two rows of 4 pels at 2 bits: levels 0..3 become 0, 85, 170, 255.
  writePngWithLibpng(path("two-bit.png"), 4, 2, 2, PNG_COLOR_TYPE_GRAY, {0x1B, 0xE4});
  EXPECT_EQ(imgio::readImage(path("two-bit.png")).pels,
            (std::vector<unsigned char>{0, 85, 170, 255, 255, 170, 85, 0}));
}

TEST_F(ImageIoTest, ReadsTextPgmWithCommentsAndScalesSmallMaxima) {
  writeFile(path("text.pgm"), "P2\n# made by hand\n3 2 # size\n15\n0 15 7\n\n8 1 14\n");
  const GrayImage image = imgio::readImage(path("text.pgm"));
  EXPECT_EQ(image.width, 3);
  EXPECT_EQ(image.pels, (std::vector<unsigned char>{0, 255, 119, 136, 17, 238}));
}

TEST_F(ImageIoTest, RefusesMalformedPgmHeadersAndValues) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"P5\nwide 3\n255\n", "expected the width, found 'w'"},
      {"P5\n4 3\n", "the file ends before the maximum value"},
      {"P5\n4 3\n0\n", "the maximum value is 0"},
      {"P2\n2 1\n100\n5 101\n", "a pel exceeds the maximum value 100"},
      {"P5\n2 1\n255xy", "expected one whitespace byte before the pels"},
  };
  for (const auto& [content, why] : cases) {
    writeFile(path("bad.pgm"), content);
    EXPECT_EQ(readError(path("bad.pgm")),
              path("bad.pgm") + ": truncated or corrupt PGM file: " + why)
        << content;
  }
}

TEST_F(ImageIoTest, RefusesOversizedImagesBeforeReadingPels) {
  writeFile(path("wide.pgm"), "P5\n70000 2\n255\n");
  EXPECT_EQ(readError(path("wide.pgm")),
            path("wide.pgm") +
                ": the image is too large (70000x2); the limits are 65535 pels "
                "a side and 268435456 pels in all");
  writeFile(path("absurd.pgm"), "P5\n99999999999 2\n255\n");
  EXPECT_EQ(readError(path("absurd.pgm")),
            path("absurd.pgm") + ": truncated or corrupt PGM file: the width is too large");
  writeFile(path("many.pgm"), "P5\n20000 20000\n255\n");
  EXPECT_EQ(readError(path("many.pgm"), 399999999),
            path("many.pgm") +
                ": the image is too large (20000x20000); the limits are 65535 pels "
                "a side and 399999999 pels in all");
  EXPECT_EQ(readError(path("many.pgm")),
            path("many.pgm") +
                ": the image is too large (20000x20000); the limits are 65535 pels "
                "a side and 268435456 pels in all");
  writeFile(path("many.png"), pngHeaderOnly(20000, 20000, 8, PNG_COLOR_TYPE_GRAY));
  EXPECT_EQ(readError(path("many.png")),
            path("many.png") +
                ": the image is too large (20000x20000); the limits are 65535 pels "
                "a side and 268435456 pels in all");
  writeFile(path("wide.png"), pngHeaderOnly(70000, 1, 8, PNG_COLOR_TYPE_GRAY));
  EXPECT_EQ(readError(path("wide.png")),
            path("wide.png") +
                ": the image is too large (70000x1); the limits are 65535 pels "
                "a side and 268435456 pels in all");
}

TEST_F(ImageIoTest, AtomicWriteReplacesOnlyWhenComplete) {
  const std::string target = path("result.png");
  writeFile(target, "old contents");
  EXPECT_THROW(imgio::writeFileAtomically(target,
                                          [](const std::string& temp) {
                                            writeFile(temp, "half written");
                                            throw ImageError("disk full");
                                          }),
               ImageError);
  EXPECT_EQ(readFile(target), "old contents");
  EXPECT_EQ(listing(), std::vector<std::string>{"result.png"});

  const std::string bytes = "new contents";
  imgio::writeBytesAtomically(target,
                              {reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()});
  EXPECT_EQ(readFile(target), "new contents");
  EXPECT_EQ(listing(), std::vector<std::string>{"result.png"});
}

TEST_F(ImageIoTest, WriteFailuresNameTheFileAndLeaveNothing) {
  const GrayImage image = randomImage(4, 4, 5);
  try {
    imgio::writeImage(path("missing/out.png"), image);
    FAIL() << "no error";
  } catch (const ImageError& e) {
    EXPECT_EQ(std::string(e.what()), path("missing/out.png") +
                                         ": cannot create a temporary file in '" + path("missing") +
                                         "': No such file or directory");
  }
  try {
    imgio::writeImage(path("out.jpg"), image);
    FAIL() << "no error";
  } catch (const ImageError& e) {
    EXPECT_EQ(std::string(e.what()),
              path("out.jpg") + ": unknown image file extension (use .png, .tif, .tiff or .pgm)");
  }
  EXPECT_TRUE(listing().empty());
}

// Tiles of any size (16 x 16 among them) and strips, gray, RGB and RGBA,
// stored top down or bottom up: every pel in its place.
TEST_F(ImageIoTest, ReadsTiledAndStripedTiffsOfEachLayout) {
  constexpr uint32_t kW = 37, kH = 35;
  const std::vector<TiffLayout> layouts = {
      {"gray, 16x16 tiles", 16, 0, 1, ORIENTATION_TOPLEFT},
      {"RGB, 16x16 tiles", 16, 0, 3, ORIENTATION_TOPLEFT},
      {"RGBA, 32x32 tiles", 32, 0, 4, ORIENTATION_TOPLEFT},
      {"gray, strips of 4 rows", 0, 4, 1, ORIENTATION_TOPLEFT},
      {"gray, strips of 4 rows bottom up", 0, 4, 1, ORIENTATION_BOTLEFT},
      {"gray, 16x16 tiles bottom up", 16, 0, 1, ORIENTATION_BOTLEFT},
  };
  for (const auto& layout : layouts) {
    SCOPED_TRACE(layout.what);
    const auto spp = static_cast<std::size_t>(layout.samplesPerPixel);
    const GrayImage gray = randomImage(kW, kH, 21);
    std::vector<unsigned char> stored;
    for (uint32_t y = 0; y < kH; ++y) {
      const uint32_t row = layout.orientation == ORIENTATION_BOTLEFT ? kH - 1 - y : y;
      for (uint32_t x = 0; x < kW; ++x)
        for (std::size_t s = 0; s < spp; ++s)
          stored.push_back(s == 3 ? 99 : gray.at(x, row));
    }
    writeTiffLayout(path("layout.tif"), layout, kW, kH, stored);
    EXPECT_EQ(imgio::readImage(path("layout.tif")).pels, gray.pels);
  }
}

// Headers that declare far more pels than their file holds are refused
// before storage for those pels exists: reading runs under an address space
// limit smaller than any of the declared images.
TEST_F(ImageIoTest, HostileHeadersAllocateNothingForPelsTheFileCannotHold) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reserves more address space than the limit";
#endif
  writeFile(path("huge.pgm"), "P5\n30000 30000\n255\n" + std::string(64, '\0'));
  writeFile(path("huge-text.pgm"), "P2\n30000 30000\n255\n0 1 2\n");
  writeFile(path("huge.png"), pngHeaderOnly(16000, 16000, 8, PNG_COLOR_TYPE_RGB_ALPHA));
  const std::vector<unsigned char> row(64 * 3, 7);
  writeTiffWithLibtiff(path("huge.tif"), 64, 1, 8, 3, PHOTOMETRIC_RGB, row);
  {
    // The same small file with a header that claims 16000 x 16000.
    TIFF* tiff = TIFFOpen(path("huge.tif").c_str(), "r+");
    ASSERT_NE(tiff, nullptr);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, uint32_t{16000});
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, uint32_t{16000});
    TIFFRewriteDirectory(tiff);
    TIFFClose(tiff);
  }
  const std::string tiffBytes = std::to_string(readFile(path("huge.tif")).size());
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"huge.pgm", "truncated or corrupt PGM file: expected 900000000 bytes of pels, found 64"},
      {"huge-text.pgm",
       "truncated or corrupt PGM file: expected 900000000 pels as text, found only 7 bytes"},
      {"huge.png", "truncated or corrupt PNG file: 41 bytes cannot hold 16000x16000 pels"},
      {"huge.tif", "truncated or corrupt TIFF file: " + tiffBytes +
                       " bytes cannot hold 16000x16000 uncompressed pels"},
  };
  const auto readEachUnderLimit = [&] {
    const rlim_t limit = rlim_t{512} << 20;
    const rlimit space{limit, limit};
    setrlimit(RLIMIT_AS, &space);
    bool allAsExpected = true;
    for (const auto& [name, why] : cases)
      allAsExpected &= readError(path(name), 1L << 30) == path(name) + ": " + why;
    std::exit(allAsExpected ? 0 : 1);
  };
  EXPECT_EXIT(readEachUnderLimit(), ::testing::ExitedWithCode(0), "");
  for (const auto& [name, why] : cases)
    EXPECT_EQ(readError(path(name), 1L << 30), path(name) + ": " + why);
}

// Replacing a file keeps its permission bits, writes through a symbolic
// link to its target, and refuses what is not a regular file.
TEST_F(ImageIoTest, ReplacingKeepsModeAndLinksAndRefusesOtherFiles) {
  const GrayImage image = randomImage(5, 4, 8);
  writeFile(path("kept.png"), "old");
  std::filesystem::permissions(path("kept.png"), std::filesystem::perms(0640));
  imgio::writeImage(path("kept.png"), image);
  EXPECT_EQ(std::filesystem::status(path("kept.png")).permissions(),
            std::filesystem::perms(0640));

  writeFile(path("target.png"), "old");
  std::filesystem::create_symlink("target.png", path("link.png"));
  imgio::writeImage(path("link.png"), image);
  EXPECT_TRUE(std::filesystem::is_symlink(path("link.png")));
  EXPECT_EQ(imgio::readImage(path("target.png")).pels, image.pels);

  std::filesystem::create_symlink("/dev/full", path("full.png"));
  try {
    imgio::writeImage(path("full.png"), image);
    FAIL() << "no error";
  } catch (const ImageError& e) {
    EXPECT_EQ(std::string(e.what()),
              path("full.png") + ": not a regular file; refusing to write over it");
  }
  EXPECT_EQ(listing(), (std::vector<std::string>{"full.png", "kept.png", "link.png", "target.png"}));
}

}  // namespace
