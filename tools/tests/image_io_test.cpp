// Reading and writing image files: round trips, detection by content,
// conversions, refusals of bad and hostile files, atomic replacement.
#include "imgio/image_io.h"

#include <png.h>
#include <sys/resource.h>
#include <tiffio.h>
#include <zlib.h>

#include <bit>
#include <cstring>
#include <functional>
#include <variant>

#include "fuzz/image_fuzz_target.h"
#include "fuzz/replay_inputs.h"
#include "image_files.h"
#include "temp_folder.h"

namespace {

using imgio::ColorImage16;
using imgio::Format;
using imgio::GrayImage;
using imgio::ImageError;

// What the 8-bit readers say of deeper samples, after their width.
const std::string kDeepSamplesRefused =
    "-bit samples are not supported; images need 8 bits a sample or fewer: gray, gray and alpha, "
    "RGB or RGBA in PNG or TIFF files, gray or RGB in PGM or PPM files";

// The refusal of the 8-bit reader, or of the any-depth one when deep.
std::string readError(const std::string& file, long maxPels = imgio::kDefaultMaxPels,
                      bool deep = false) {
  return errorOf([&] {
    if (deep) imgio::readAnyDepthImage(file, nullptr, maxPels);
    if (!deep) imgio::readImage(file, nullptr, maxPels);
  });
}

// A 16-bit image of random samples below 2^bits.
ColorImage16 random16(long width, long height, int channels, int bits, unsigned seed) {
  std::mt19937 random(seed);
  ColorImage16 image{width, height, channels,
                     std::vector<std::uint16_t>(std::size_t(width * height * channels)), bits};
  for (auto& sample : image.pels) sample = std::uint16_t(random() >> (32 - bits));
  return image;
}

std::string bigEndian32(std::size_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

std::string pngChunk(const std::string& type, const std::string& data) {
  const std::string body = type + data;
  const auto crc = crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size()));
  return bigEndian32(data.size()) + body + bigEndian32(crc);
}

// How a hand-built PNG differs from a plain one.
struct PngExtras {
  bool interlaced = false;
  std::string chunks;                        // before the data: palette, transparency, padding
  std::size_t keptData = std::string::npos;  // compressed bytes kept: less is short data
};

// A PNG file built by hand from its filtered rows, compressed into one data
// chunk.
std::string pngFromFiltered(std::uint32_t width, std::uint32_t height, int bitDepth, int colourType,
                            const std::string& filtered, const PngExtras& extras = {}) {
  std::string packed(compressBound(uLong(filtered.size())), '\0');
  uLongf size = packed.size();
  compress(reinterpret_cast<Bytef*>(packed.data()), &size,
           reinterpret_cast<const Bytef*>(filtered.data()), uLong(filtered.size()));
  packed.resize(std::min<std::size_t>(size, extras.keptData));
  const std::string header =
      bigEndian32(width) + bigEndian32(height) +
      std::string{char(bitDepth), char(colourType), 0, 0, char(extras.interlaced)};
  return std::string("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) + extras.chunks +
         pngChunk("IDAT", packed) + pngChunk("IEND", "");
}

// A PNG file built by hand, for layouts the tool never writes: the packed
// rows, each after a filter byte of 0.
std::string pngFile(std::uint32_t width, std::uint32_t height, int bitDepth, int colourType,
                    const Bytes& rows, const std::string& chunks = {}) {
  std::string filtered;
  const std::size_t rowBytes = rows.size() / height;
  for (std::size_t y = 0; y < height; ++y)
    filtered += '\0' + std::string(rows.begin() + y * rowBytes, rows.begin() + (y + 1) * rowBytes);
  return pngFromFiltered(width, height, bitDepth, colourType, filtered, {.chunks = chunks});
}

// An interlaced 1-bit image of zeros: the seven passes' rows, each a
// filter byte and its packed pels.
std::string zeroAdam7Rows(std::uint32_t width, std::uint32_t height) {
  static constexpr std::uint32_t kPasses[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8},
                                                  {2, 0, 4, 4}, {0, 2, 2, 4}, {1, 0, 2, 2},
                                                  {0, 1, 1, 2}};
  std::size_t bytes = 0;
  for (const auto& [x0, y0, dx, dy] : kPasses) {
    const std::uint32_t columns = width > x0 ? (width - x0 + dx - 1) / dx : 0;
    const std::uint32_t rows = height > y0 ? (height - y0 + dy - 1) / dy : 0;
    if (columns > 0) bytes += std::size_t{rows} * (1 + (columns + 7) / 8);
  }
  return std::string(bytes, '\0');
}

using ImageIoTest = TempFolderTest;

TEST_F(ImageIoTest, EachFormatRoundTripsEveryPelAndIsKnownByItsContent) {
  for (const char* extension : {".png", ".tif", ".tiff", ".pgm", ".PNG"})
    for (const auto& [w, h] : {std::pair{1L, 1L}, {7L, 3L}, {3L, 7L}, {256L, 5L}}) {
      SCOPED_TRACE(std::string(extension) + " " + std::to_string(w) + "x" + std::to_string(h));
      const GrayImage image = randomImage(w, h, static_cast<unsigned>(w * 131 + h));
      const std::string file = path("image" + std::string(extension));
      imgio::writeImage(file, image);
      imgio::ReadInfo info;
      const GrayImage back = imgio::readImage(file, &info);
      EXPECT_EQ(std::pair(back.width, back.height), std::pair(w, h));
      EXPECT_EQ(back.pels, image.pels);
      EXPECT_EQ(info.format, *imgio::formatForPath(file));
      EXPECT_FALSE(info.convertedFromColour);
      EXPECT_EQ(imgio::readImage(file, nullptr, w * h).pels, image.pels);  // exactly the limit
    }
  for (const auto& [format, name] : {std::pair{Format::kPng, "png-named.tif"},
                                     {Format::kTiff, "tiff-named.pgm"},
                                     {Format::kPnm, "pgm-named.png"}}) {
    imgio::writeImage(path(name), randomImage(9, 4, 3), format);
    imgio::ReadInfo info;
    EXPECT_EQ(imgio::readImage(path(name), &info).pels, randomImage(9, 4, 3).pels) << name;
    EXPECT_EQ(info.format, format) << name;
  }
  const std::pair<std::string, std::optional<Format>> signatures[] = {
      {std::string("\x89PNG\r\n\x1a\n", 8), Format::kPng},
      {std::string("II*\0", 4), Format::kTiff},
      {std::string("MM\0*", 4), Format::kTiff},
      {"P5\n", Format::kPnm},
      {"P2 ", Format::kPnm},
      {"P6\t", Format::kPnm},
      {std::string("\x89PNG\r\n\x1a", 7), {}},
      {"P5x", {}},
      {"P4\n", {}},
      {"II*", {}},
      {"hello", {}}};
  for (const auto& [head, format] : signatures)
    EXPECT_EQ(
        imgio::detectFormat({reinterpret_cast<const unsigned char*>(head.data()), head.size()}),
        format)
        << head;
}

// Files that are not images, or malformed ones: each message in full.
TEST_F(ImageIoTest, RefusesBadFilesWithTheirMessage) {
  std::filesystem::create_directory(path("dir.png"));
  const Bytes deep(4 * 3 * 2, 0x12);
  writeFile(path("deep.png"), pngFile(4, 3, 16, PNG_COLOR_TYPE_GRAY, deep));
  writeTiff(path("deep.tif"), {.bits = 16}, 4, 3, deep);
  // A name that a shell would read as two commands.
  writeFile(path("deep'; rm -rf x; '.png"), readFile(path("deep.png")));
  const std::string corrupt = "truncated or corrupt PGM file: ";
  const std::string tooLarge = "the image is too large (";
  const std::string limits = "); the limits are 65535 pels a side and 268435456 pels in all";
  const struct {
    std::string name, bytes, message;
    long maxPels = imgio::kDefaultMaxPels;
  } cases[] = {
      {"notes.png", "These are my notes, not a picture.\n",
       "not a PNG, TIFF or PGM image: the content matches none of their signatures (the name says "
       "PNG, the content does not); it looks like a text file"},
      {"absent.png", "", "cannot open: No such file or directory"},
      {"empty.pgm", "", "the file is empty"},
      {"dir.png", "", "is a folder, not an image file"},
      {"short.pgm", "P5\n4 3\n255\n" + std::string(10, 'x'),
       corrupt + "expected 12 bytes of pels, found 10"},
      {"deep.pgm", "P5\n4 3\n65535\n" + std::string(24, '\0'), ""},
      {"deep.png", "", ""},
      {"deep.tif", "", ""},
      {"deep'; rm -rf x; '.png", "", ""},
      {"b1.pgm", "P5\nwide 3\n255\n", corrupt + "expected the width, found 'w'"},
      {"b2.pgm", "P5\n4 3\n", corrupt + "the file ends before the maximum value"},
      {"b3.pgm", "P5\n4 3\n0\n", corrupt + "the maximum value is 0"},
      {"b4.pgm", "P2\n2 1\n100\n5 101\n", corrupt + "a pel exceeds the maximum value 100"},
      {"b5.pgm", "P5\n2 1\n255xy", corrupt + "expected one whitespace byte before the pels"},
      {"wide.pgm", "P5\n70000 2\n255\n", tooLarge + "70000x2" + limits},
      {"absurd.pgm", "P5\n99999999999 2\n255\n", corrupt + "the width is too large"},
      {"many.pgm", "P5\n20000 20000\n255\n", tooLarge + "20000x20000" + limits},
      {"many.pgm", "",
       tooLarge + "20000x20000); the limits are 65535 pels a side and 399999999 "
                  "pels in all",
       399999999},
      {"many.png", pngFile(20000, 20000, 8, PNG_COLOR_TYPE_GRAY, {}),
       tooLarge + "20000x20000" + limits},
      {"wide.png", pngFile(70000, 1, 8, PNG_COLOR_TYPE_GRAY, {}), tooLarge + "70000x1" + limits},
  };
  for (const auto& c : cases) {
    if (!c.bytes.empty() || c.name == "empty.pgm") writeFile(path(c.name), c.bytes);
    const std::string message = c.message.empty() ? "16" + kDeepSamplesRefused : c.message;
    EXPECT_EQ(readError(path(c.name), c.maxPels), path(c.name) + ": " + message);
  }
}

// Every cut of a valid file is refused with a message naming the file.
TEST_F(ImageIoTest, RefusesEveryTruncationOfEachFormat) {
  for (const bool deep : {false, true})
    for (const auto& [name, word] :
         {std::pair{"cut.png", "PNG"}, {"cut.tif", "TIFF"}, {"cut.pgm", "PGM"}}) {
      deep ? imgio::writeImage(path(name), random16(40, 30, 1, 12, 11))
           : imgio::writeImage(path(name), randomImage(40, 30, 11));
      const std::string whole = readFile(path(name));
      for (std::size_t length = 1; length < whole.size(); length += 1 + length / 8) {
        writeFile(path(name), whole.substr(0, length));
        const std::string message = readError(path(name), imgio::kDefaultMaxPels, deep);
        EXPECT_EQ(message.rfind(path(name) + ": ", 0), 0U) << message;
        EXPECT_TRUE(message.find("truncated or corrupt " + std::string(word)) !=
                        std::string::npos ||
                    message.find("not a PNG, TIFF or PGM image") != std::string::npos)
            << message;
      }
    }
}

// Colour by the luma weights (alpha dropped), gray stored as colour, low
// bit depths and text PGM scaled to 8 bits.
TEST_F(ImageIoTest, ConvertsColourAndScalesOtherDepths) {
  const Bytes rgb = {255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 200, 30, 77, 77, 77, 255, 255, 255};
  const Bytes luma = {76, 150, 29, 124, 77, 255};
  Bytes rgba;
  for (std::size_t i = 0; i < rgb.size(); i += 3)
    rgba.insert(rgba.end(), {rgb[i], rgb[i + 1], rgb[i + 2], 17});
  writeFile(path("rgb.png"), pngFile(3, 2, 8, PNG_COLOR_TYPE_RGB, rgb));
  writeFile(path("rgba.png"), pngFile(3, 2, 8, PNG_COLOR_TYPE_RGB_ALPHA, rgba));
  writeTiff(path("rgb.tif"), {.samplesPerPixel = 3}, 3, 2, rgb);
  writeFile(path("rgb.ppm"), "P6\n3 2\n255\n" + std::string(rgb.begin(), rgb.end()));
  writeFile(path("grayish.png"),
            pngFile(2, 2, 8, PNG_COLOR_TYPE_RGB, {0, 0, 0, 128, 128, 128, 255, 255, 255, 3, 3, 3}));
  writeFile(path("two-bit.png"), pngFile(4, 2, 2, PNG_COLOR_TYPE_GRAY, {0x1B, 0xE4}));
  writeFile(path("text.pgm"), "P2\n# made by hand\n3 2 # size\n15\n0 15 7\n\n8 1 14\n");
  const std::tuple<std::string, Bytes, bool> cases[] = {
      {"rgb.png", luma, true},
      {"rgba.png", luma, true},
      {"rgb.tif", luma, true},
      {"rgb.ppm", luma, true},
      {"grayish.png", {0, 128, 255, 3}, false},
      {"two-bit.png", {0, 85, 170, 255, 255, 170, 85, 0}, false},
      {"text.pgm", {0, 255, 119, 136, 17, 238}, false}};
  for (const auto& [name, pels, converted] : cases) {
    imgio::ReadInfo info;
    EXPECT_EQ(imgio::readImage(path(name), &info).pels, pels) << name;
    EXPECT_EQ(info.convertedFromColour, converted) << name;
  }
}

// Tiles of any size (16 x 16 among them) and strips, gray, RGB and RGBA,
// stored top down or bottom up: every pel in its place.
TEST_F(ImageIoTest, ReadsTiledAndStripedTiffsOfEachLayout) {
  constexpr uint32_t kW = 37, kH = 35;
  const GrayImage gray = randomImage(kW, kH, 21);
  for (const TiffLayout& layout : {TiffLayout{16, 0, 1},
                                   {16, 0, 3},
                                   {32, 0, 4},
                                   {0, 4, 1},
                                   {0, 4, 1, ORIENTATION_BOTLEFT},
                                   {16, 0, 1, ORIENTATION_BOTLEFT}}) {
    Bytes stored;
    for (uint32_t y = 0; y < kH; ++y)
      for (uint32_t x = 0; x < kW; ++x)
        for (uint32_t s = 0; s < layout.samplesPerPixel; ++s)
          stored.push_back(
              s == 3 ? 99 : gray.at(x, layout.orientation == ORIENTATION_BOTLEFT ? kH - 1 - y : y));
    writeTiff(path("layout.tif"), layout, kW, kH, stored);
    EXPECT_EQ(imgio::readImage(path("layout.tif")).pels, gray.pels)
        << layout.tileSide << " " << layout.samplesPerPixel << " " << layout.orientation;
  }
}

// Each orientation shows the stored pels as TIFF names it: where row 0 and
// column 0 of the file are shown (1: top, left; 6: right, top; ...).
TEST_F(ImageIoTest, ReadsEachTiffOrientationAsShown) {
  constexpr long kW = 5, kH = 3;  // as stored
  const GrayImage stored = randomImage(kW, kH, 5);
  // Where stored (column c, row r) is shown, per orientation: x and y are
  // c, r or their mirrors, swapped from 5 on.
  const auto shownAt = [](int orientation, long r, long c) {
    static constexpr bool kMirrorX[] = {false, true, true, false, false, true, true, false};
    static constexpr bool kMirrorY[] = {false, false, true, true, false, false, true, true};
    const bool turned = orientation >= 5;
    const long x = turned ? r : c, y = turned ? c : r;
    const long w = turned ? kH : kW, h = turned ? kW : kH;
    return std::pair{kMirrorX[orientation - 1] ? w - 1 - x : x,
                     kMirrorY[orientation - 1] ? h - 1 - y : y};
  };
  for (uint16_t orientation = 1; orientation <= 8; ++orientation)
    for (const uint32_t tileSide : {0U, 16U}) {
      const bool turned = orientation >= 5;
      GrayImage shown{turned ? kH : kW, turned ? kW : kH, Bytes(kW * kH)};
      for (long r = 0; r < kH; ++r)
        for (long c = 0; c < kW; ++c) {
          const auto [x, y] = shownAt(orientation, r, c);
          shown.at(x, y) = stored.at(c, r);
        }
      writeTiff(path("o.tif"), {tileSide, 2, 1, orientation}, kW, kH, stored.pels);
      const GrayImage read = imgio::readImage(path("o.tif"));
      EXPECT_EQ(std::pair(read.width, read.height), std::pair(shown.width, shown.height));
      EXPECT_EQ(read.pels, shown.pels) << orientation << " " << tileSide;
    }
}

// Alpha as each kind of file stores it (an alpha sample, a transparent
// gray level or palette entry), kept beside gray stored as colour, written
// back to PNG and TIFF and refused by PGM; CMYK gains none.
TEST_F(ImageIoTest, ReadsAlphaAsStoredAndWritesItBack) {
  const auto interleaved = [](std::initializer_list<Bytes> channels) {
    Bytes pels;
    for (std::size_t i = 0; i < channels.begin()->size(); ++i)
      for (const Bytes& channel : channels) pels.push_back(channel[i]);
    return pels;
  };
  const Bytes gray = {0, 90, 180, 255, 7, 90}, alpha = {255, 0, 128, 1, 64, 200};
  const Bytes red = {200, 10, 40, 90, 7, 250}, blue = {3, 90, 180, 255, 8, 91};
  const Bytes ga = interleaved({gray, alpha}), rgba = interleaved({red, gray, blue, alpha});
  writeFile(path("ga.png"), pngFile(3, 2, 8, PNG_COLOR_TYPE_GRAY_ALPHA, ga));
  writeFile(path("gray-rgba.png"),
            pngFile(3, 2, 8, PNG_COLOR_TYPE_RGBA, interleaved({gray, gray, gray, alpha})));
  writeFile(path("rgba.png"), pngFile(3, 2, 8, PNG_COLOR_TYPE_RGBA, rgba));
  writeFile(path("trns.png"), pngFile(3, 2, 8, PNG_COLOR_TYPE_GRAY, gray,
                                      pngChunk("tRNS", std::string("\0\x5a", 2))));
  // Levels 0, 85, 170, 255 in two bits; 2 (170) is transparent.
  writeFile(path("trns-2bit.png"), pngFile(4, 2, 2, PNG_COLOR_TYPE_GRAY, {0x1B, 0xE4},
                                           pngChunk("tRNS", std::string("\0\x02", 2))));
  const std::string grayPalette = pngChunk("PLTE", std::string("\0\0\0\x50\x50\x50", 6));
  writeFile(path("palette.png"), pngFile(3, 1, 8, PNG_COLOR_TYPE_PALETTE, {1, 0, 1},
                                         grayPalette + pngChunk("tRNS", "\x09")));
  const std::vector<png_color> palette = {{200, 10, 40}, {3, 90, 180}};
  Bytes indices(13 * 11);
  for (std::size_t i = 0; i < indices.size(); ++i) indices[i] = (i * 7 / 3) % 2;
  Bytes indexedRgb;
  for (const auto i : indices)
    indexedRgb.insert(indexedRgb.end(), {palette[i].red, palette[i].green, palette[i].blue});
  writeFile(path("interlaced.png"),
            interlacedPng(13, 11, 1, PNG_COLOR_TYPE_PALETTE, indices, palette));
  writeTiff(path("ga.tif"), {.samplesPerPixel = 2, .alpha = EXTRASAMPLE_UNASSALPHA}, 3, 2, ga);
  writeTiff(path("rgba.tif"), {.samplesPerPixel = 4, .alpha = EXTRASAMPLE_UNASSALPHA}, 3, 2, rgba);
  writeTiff(path("cmyk.tif"), {.samplesPerPixel = 4, .photometric = PHOTOMETRIC_SEPARATED}, 3, 2,
            interleaved({Bytes(6, 0), Bytes(6, 0), Bytes(6, 0), gray}));
  const std::tuple<std::string, int, Bytes> cases[] = {
      {"ga.png", 2, ga},
      {"gray-rgba.png", 2, ga},
      {"rgba.png", 4, rgba},
      {"trns.png", 2, interleaved({gray, {255, 0, 255, 255, 255, 0}})},
      {"trns-2bit.png", 2,
       interleaved({{0, 85, 170, 255, 255, 170, 85, 0}, {255, 255, 0, 255, 255, 0, 255, 255}})},
      {"palette.png", 2, {0x50, 255, 0, 9, 0x50, 255}},
      {"interlaced.png", 3, indexedRgb},
      {"ga.tif", 2, ga},
      {"rgba.tif", 4, rgba},
      {"cmyk.tif", 1, {255, 165, 75, 0, 248, 165}},
  };
  for (const auto& [name, channels, pels] : cases) {
    const imgio::ColorImage image = imgio::readColorImage(path(name));
    EXPECT_EQ(image.channels, channels) << name;
    EXPECT_EQ(image.pels, pels) << name;
  }
  for (const auto& image : {imgio::ColorImage{3, 2, 2, ga}, imgio::ColorImage{3, 2, 4, rgba}}) {
    for (const char* name : {"back.png", "back.tif"}) {
      imgio::writeImage(path(name), image);
      const imgio::ColorImage back = imgio::readColorImage(path(name));
      EXPECT_EQ(std::pair(back.channels, back.pels), std::pair(image.channels, image.pels)) << name;
    }
  }
  EXPECT_EQ(errorOf([&] {
              imgio::writeImage(path("back.pgm"), imgio::ColorImage{3, 2, 2, ga});
            }),
            path("back.pgm") + ": PGM cannot hold the image's alpha; name the result .png or .tif");
}

// Every layout and significant width comes back as written from each
// format; the 8-bit readers refuse the file as they always did.
TEST_F(ImageIoTest, SixteenBitImagesRoundTripPelsAndBitsInEachFormat) {
  for (const std::string name : {"deep.png", "deep.tif", "deep.pgm"})
    for (const int channels : {1, 2, 3, 4})
      for (const int bits : {16, 12, 9, 1}) {
        const bool pgm = name == "deep.pgm";
        if (pgm && (channels > 1 || bits < 9)) continue;  // refused: see the next test
        SCOPED_TRACE(name + " " + std::to_string(channels) + " " + std::to_string(bits));
        const ColorImage16 image = random16(13, 7, channels, bits, unsigned(channels * bits));
        imgio::writeImage(path(name), image);
        imgio::ReadInfo info;
        const auto back = std::get<ColorImage16>(imgio::readAnyDepthImage(path(name), &info));
        EXPECT_EQ(std::tuple(back.width, back.height, back.channels, back.bits, back.pels),
                  std::tuple(13L, 7L, channels, bits, image.pels));
        EXPECT_EQ(info.convertedFromColour, channels >= 3);
        EXPECT_EQ(readError(path(name)),
                  path(name) + ": " + std::to_string(pgm ? bits : 16) + kDeepSamplesRefused);
      }
}

// Files of other writers: samples high-aligned with sBIT, big-endian,
// tiled or planar TIFF, MinIsWhite, text and colour netpbm, a transparent 16-bit
// gray level; all read low-aligned with the bits their file gives.
TEST_F(ImageIoTest, ReadsSixteenBitFilesOfOtherWritersLowAligned) {
  const std::vector<std::uint16_t> v = {0, 4095, 1, 2048, 300, 4000};  // 3 x 2, 12 bits
  std::vector<std::uint16_t> high, inverted, upsideDown = {2048, 300, 4000, 0, 4095, 1};
  for (const int x : v) high.push_back(std::uint16_t(x << 4 | x >> 8));  // as PNG scales 12 bits
  for (const int x : v) inverted.push_back(std::uint16_t(4095 - x));
  const auto asString = [](const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); };
  writeFile(path("sbit.png"), pngFile(3, 2, 16, PNG_COLOR_TYPE_GRAY, sampleBytes(high, true),
                                      pngChunk("sBIT", "\x0c")));
  writeFile(path("plain.png"), pngFile(3, 2, 16, PNG_COLOR_TYPE_GRAY, sampleBytes(v, true)));
  writeFile(path("trns.png"),
            pngFile(3, 2, 16, PNG_COLOR_TYPE_GRAY, sampleBytes(high, true),
                    pngChunk("sBIT", "\x0c") + pngChunk("tRNS", std::string("\xff\xff", 2))));
  writeFile(path("interlaced.png"),
            interlacedPng(3, 2, 16, PNG_COLOR_TYPE_GRAY, sampleBytes(v, true), {}));
  writeFile(path("binary.pgm"), "P5\n3 2\n4095\n" + asString(sampleBytes(v, true)));
  writeFile(path("colour.ppm"), "P6\n1 2\n4095\n" + asString(sampleBytes(v, true)));
  writeFile(path("mid.pgm"), "P2\n3 2\n1000\n0 1000 1 999 300 512\n");
  writeTiff(path("big-endian.tif"), {.bits = 16, .bigEndian = true, .maxSample = 4095}, 3, 2,
            sampleBytes(v));
  writeTiff(path("tiled.tif"), {.tileSide = 16, .bits = 16}, 3, 2, sampleBytes(v));
  writeTiff(path("planes.tif"), {.samplesPerPixel = 3, .bits = 16, .planar = PLANARCONFIG_SEPARATE},
            1, 2, sampleBytes(v));
  writeTiff(path("white.tif"),
            {.bits = 16, .photometric = PHOTOMETRIC_MINISWHITE, .maxSample = 4095}, 3, 2,
            sampleBytes(inverted));
  writeTiff(path("bottom-up.tif"), {.orientation = ORIENTATION_BOTLEFT, .bits = 16}, 3, 2,
            sampleBytes(upsideDown));
  const std::tuple<std::string, int, int, std::vector<std::uint16_t>> cases[] = {
      {"sbit.png", 1, 12, v},
      {"plain.png", 1, 16, v},
      {"trns.png", 2, 12, {0, 4095, 4095, 0, 1, 4095, 2048, 4095, 300, 4095, 4000, 4095}},
      {"interlaced.png", 1, 16, v},
      {"binary.pgm", 1, 12, v},
      {"colour.ppm", 3, 12, v},
      {"mid.pgm", 1, 10, {0, 1000, 1, 999, 300, 512}},
      {"big-endian.tif", 1, 12, v},
      {"tiled.tif", 1, 16, v},
      {"planes.tif", 3, 16, v},
      {"white.tif", 1, 12, v},
      {"bottom-up.tif", 1, 16, v},
  };
  for (const auto& [name, channels, bits, pels] : cases) {
    const auto image = std::get<ColorImage16>(imgio::readAnyDepthImage(path(name)));
    EXPECT_EQ(std::tuple(image.channels, image.bits, image.pels), std::tuple(channels, bits, pels))
        << name;
  }
}

// What the 16-bit reader and writers refuse, each message in full.
TEST_F(ImageIoTest, RefusesSixteenBitSamplesBeyondTheirBitsAndUnsupportedLayouts) {
  writeFile(path("above.pgm"), "P5\n2 1\n4095\n" + std::string("\x0f\xff\x10\x00", 4));
  writeTiff(path("above.tif"), {.bits = 16, .maxSample = 1023}, 2, 1, sampleBytes({1023, 1024}));
  writeTiff(path("cmyk.tif"),
            {.samplesPerPixel = 4, .bits = 16, .photometric = PHOTOMETRIC_SEPARATED}, 2, 1,
            Bytes(16));
  writeTiff(path("wide.tif"), {.bits = 32}, 2, 1, Bytes(8));
  writeTiff(path("many.tif"), {.samplesPerPixel = 17, .bits = 16}, 2, 1, Bytes(68));
  // The message of reading name, or of writing image to it, after the path.
  const auto readError16 = [&](const std::string& name) {
    return readError(path(name), imgio::kDefaultMaxPels, true).substr(path(name).size() + 2);
  };
  const auto writeError = [&](const std::string& name, const auto& image) {
    return errorOf([&] { imgio::writeImage(path(name), image); }).substr(path(name).size() + 2);
  };
  const std::pair<std::string, std::string> cases[] = {
      {readError16("above.pgm"),
       "truncated or corrupt PGM file: a pel exceeds the maximum value 4095"},
      {readError16("above.tif"),
       "truncated or corrupt TIFF file: a sample exceeds SMaxSampleValue 1023"},
      {readError16("cmyk.tif"),
       "16-bit TIFF of photometric interpretation 5 is not supported; store gray or RGB"},
      {readError16("wide.tif"),
       "32-bit samples are not supported; images need 16 bits a sample, or 8 or fewer: gray, gray "
       "and alpha, RGB or RGBA in PNG or TIFF files, gray or RGB in PGM or PPM files"},
      {readError16("many.tif"),
       "16-bit TIFF of 17 samples a pel is not supported; store gray or "
       "RGB, with alpha or not"},
      {writeError("w.png", ColorImage16{1, 1, 1, {0}, 0}),
       "0 significant bits are out of range for 16-bit samples; give 1 to 16"},
      {writeError("w.tif", ColorImage16{1, 1, 1, {0}, 17}),
       "17 significant bits are out of range for 16-bit samples; give 1 to 16"},
      {writeError("w.png", imgio::ColorImage{1, 1, 1, {0}, 7}),
       "7 significant bits are out of range for 8-bit samples; give 8"},
      {writeError("w.png", ColorImage16{2, 1, 1, {4095, 4096}, 12}),
       "the sample 4096 exceeds 4095, the largest of 12 bits"},
      {writeError("w.pgm", ColorImage16{1, 1, 1, {255}, 8}),
       "PGM holds 16-bit samples of 9 to 16 significant bits, not 8; name the result .png or .tif"},
  };
  for (const auto& [error, message] : cases) EXPECT_EQ(error, message);
  EXPECT_EQ(listing().size(), 5U);  // nothing written
}

// Headers that declare far more pels than their file holds are refused
// before storage for those pels exists: reading runs under an address space
// limit smaller than any of the declared images.
TEST_F(ImageIoTest, HostileHeadersAllocateNothingForPelsTheFileCannotHold) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reserves more address space than the limit";
#endif
  writeFile(path("huge.pgm"), "P5\n30000 30000\n255\n" + std::string(64, '\0'));
  writeFile(path("huge16.pgm"), "P5\n30000 30000\n65535\n" + std::string(64, '\0'));
  writeFile(path("huge-text.pgm"), "P2\n30000 30000\n255\n0 1 2\n");
  writeFile(path("huge.png"), pngFile(16000, 16000, 8, PNG_COLOR_TYPE_RGB_ALPHA, {}));
  writeFile(path("huge16.png"), pngFile(16000, 16000, 16, PNG_COLOR_TYPE_RGB_ALPHA, {}));
  for (const auto& [name, bits] : {std::pair{"huge.tif", 8}, {"huge16.tif", 16}}) {
    writeTiff(path(name), {.samplesPerPixel = 3, .bits = uint16_t(bits)}, 64, 1,
              Bytes(64 * 3 * bits / 8, 7));
    // The same small file with a header that claims 16000 x 16000.
    TIFF* tiff = TIFFOpen(path(name).c_str(), "r+");
    ASSERT_NE(tiff, nullptr);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, uint32_t{16000});
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, uint32_t{16000});
    TIFFRewriteDirectory(tiff);
    TIFFClose(tiff);
  }
  // 1-bit palette indices, interlaced: 33 MB as packed, 805 MB as RGB, of
  // which the data holds 60 %.
  writeFile(path("short-interlaced.png"),
            pngFromFiltered(16384, 16384, 1, PNG_COLOR_TYPE_PALETTE, zeroAdam7Rows(16384, 16384),
                            {.interlaced = true,
                             .chunks = pngChunk("PLTE", "\x0a\x14\x1e\xc8\x64\x32") +
                                       pngChunk("prVt", std::string(20000, '\0')),
                             .keptData = 20000}));
  const auto bytesOf = [&](const char* name) {
    return std::to_string(readFile(path(name)).size());
  };
  const std::pair<std::string, std::string> cases[] = {
      {"huge.pgm", "truncated or corrupt PGM file: expected 900000000 bytes of pels, found 64"},
      {"huge16.pgm", "truncated or corrupt PGM file: expected 1800000000 bytes of pels, found 64"},
      {"huge16.png", "truncated or corrupt PNG file: " + bytesOf("huge16.png") +
                         " bytes cannot hold 16000x16000 pels"},
      {"huge16.tif", "truncated or corrupt TIFF file: " + bytesOf("huge16.tif") +
                         " bytes cannot hold 16000x16000 uncompressed pels"},
      {"huge-text.pgm",
       "truncated or corrupt PGM file: expected 900000000 pels as text, found only 7 bytes"},
      {"huge.png", "truncated or corrupt PNG file: " + bytesOf("huge.png") +
                       " bytes cannot hold 16000x16000 pels"},
      {"huge.tif", "truncated or corrupt TIFF file: " + bytesOf("huge.tif") +
                       " bytes cannot hold 16000x16000 uncompressed pels"},
      {"short-interlaced.png", "truncated or corrupt PNG file: Not enough image data"},
  };
  const auto readEachUnderLimit = [&] {
    const rlimit space{rlim_t{512} << 20, rlim_t{512} << 20};
    setrlimit(RLIMIT_AS, &space);
    bool allAsExpected = true;
    for (const auto& [name, why] : cases)
      allAsExpected &= readError(path(name), 1L << 30, true) == path(name) + ": " + why;
    std::exit(allAsExpected ? 0 : 1);
  };
  EXPECT_EXIT(readEachUnderLimit(), ::testing::ExitedWithCode(0), "");
}

// Replacing a file happens only when the new one is complete, keeps its
// permission bits, writes through a symbolic link to its target, and
// refuses what is not a regular file; failures leave nothing behind.
TEST_F(ImageIoTest, ReplacingIsAtomicKeepsModeAndLinksAndRefusesOtherFiles) {
  writeFile(path("kept.png"), "old");
  EXPECT_THROW(imgio::writeFileAtomically(path("kept.png"),
                                          [](const std::string& temp) {
                                            writeFile(temp, "half written");
                                            throw ImageError("disk full");
                                          }),
               ImageError);
  EXPECT_EQ(readFile(path("kept.png")), "old");
  EXPECT_EQ(listing(), Names{"kept.png"});
  const std::string bytes = "new contents";
  imgio::writeBytesAtomically(path("new.bin"),
                              {reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()});
  EXPECT_EQ(readFile(path("new.bin")), bytes);

  const GrayImage image = randomImage(5, 4, 8);
  std::filesystem::permissions(path("kept.png"), std::filesystem::perms(0640));
  imgio::writeImage(path("kept.png"), image);
  EXPECT_EQ(std::filesystem::status(path("kept.png")).permissions(), std::filesystem::perms(0640));
  EXPECT_EQ(imgio::readImage(path("kept.png")).pels, image.pels);
  writeFile(path("target.png"), "old");
  std::filesystem::create_symlink("target.png", path("link.png"));
  imgio::writeImage(path("link.png"), image);
  EXPECT_TRUE(std::filesystem::is_symlink(path("link.png")));
  EXPECT_EQ(imgio::readImage(path("target.png")).pels, image.pels);

  std::filesystem::create_symlink("/dev/full", path("full.png"));
  const auto writeError = [&](const std::string& file) {
    return errorOf([&] { imgio::writeImage(file, image); });
  };
  EXPECT_EQ(writeError(path("full.png")),
            path("full.png") + ": not a regular file; refusing to write over it");
  EXPECT_EQ(writeError(path("missing/out.png")),
            path("missing/out.png") + ": cannot create a temporary file in '" + path("missing") +
                "': No such file or directory");
  EXPECT_EQ(writeError(path("out.jpg")),
            path("out.jpg") + ": unknown image file extension (use .png, .tif, .tiff or .pgm)");
  EXPECT_EQ(listing(), (Names{"full.png", "kept.png", "link.png", "new.bin", "target.png"}));
}

}  // namespace

// The image fuzzer's corpus and past crashes decode or are refused with an
// ImageError, whose catching the target leaves to itself.
TEST(ImageFuzzReplay, CorpusAndRegressionInputsDecodeOrAreRefusedCleanly) {
  const std::filesystem::path fuzz(IMGNORM_FUZZ_DIR);
  const std::size_t replayed =
      replayInputs({fuzz / "image_corpus", fuzz / "image_regressions"},
                   [](const std::string& name, const std::vector<unsigned char>& bytes) {
                     SCOPED_TRACE(name);
                     EXPECT_NO_THROW(fuzzImageInput(bytes.data(), bytes.size()));
                   });
  EXPECT_GT(replayed, 0u);
}
