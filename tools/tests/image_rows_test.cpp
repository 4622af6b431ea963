// Reading and writing image files a band of rows at a time: every layout
// against the whole-file reader, refusals, round trips through the writers.
#include "imgio/image_rows.h"

#include <sys/stat.h>

#include <cstring>
#include <tuple>
#include <variant>

#include "image_files.h"
#include "temp_folder.h"

namespace {

using imgio::Format;
using imgio::ImageError;
using imgio::RowReader;
using imgio::RowWriter;

// An image's size, layout and samples (8-bit ones widened).
struct Rows {
  long width = 0, height = 0;
  int channels = 0, bits = 0;
  bool deep = false;
  std::vector<std::uint16_t> samples;
  bool operator==(const Rows&) const = default;
};

// What readAnyDepthImage gives, in channels: the gray of a colour file
// without colour (and its alpha) spread back over the colours.
Rows wholeFile(const std::string& file, int channels) {
  return std::visit(
      [&](const auto& image) {
        Rows rows{image.width, image.height, channels, image.bits, image.kSampleBits == 16, {}};
        for (std::size_t p = 0; p < std::size_t(image.width * image.height); ++p)
          for (int c = 0; c < channels; ++c) {
            const bool alpha = channels % 2 == 0 && c == channels - 1;
            const int from = alpha ? image.channels - 1 : image.channels >= 3 ? c : 0;
            rows.samples.push_back(image.pels[p * std::size_t(image.channels) + std::size_t(from)]);
          }
        return rows;
      },
      imgio::readAnyDepthImage(file, nullptr, imgio::kMaxSide * imgio::kMaxSide));
}

// The file through a RowReader, band rows at a time (the last band fewer).
Rows inBands(const std::string& file, long band) {
  const auto reader = RowReader::open(file);
  const imgio::ImageLayout& l = reader->layout();
  Rows rows{l.width, l.height, l.channels, l.bits, l.deep, {}};
  std::vector<unsigned char> shallow;
  while (reader->rowsRead() < l.height) {
    const long count = std::min(band, l.height - reader->rowsRead());
    const auto at = rows.samples.size(), n = std::size_t(count * l.width * l.channels);
    rows.samples.resize(at + n);
    shallow.resize(n);
    l.deep ? reader->read(count, rows.samples.data() + at) : reader->read(count, shallow.data());
    if (!l.deep) std::copy(shallow.begin(), shallow.end(), rows.samples.begin() + long(at));
  }
  l.deep ? reader->read(0, rows.samples.data()) : reader->read(0, shallow.data());  // a no-op
  return rows;
}

std::vector<std::uint16_t> randomSamples(std::size_t count, int bits, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<std::uint16_t> samples(count);
  for (auto& s : samples) s = std::uint16_t(random() >> (32 - bits));
  return samples;
}

// Samples as bytes: 8-bit, or 16-bit in the host's order or big-endian.
Bytes asBytes(const std::vector<std::uint16_t>& samples, bool deep, bool bigEndian = false) {
  return deep ? sampleBytes(samples, bigEndian) : Bytes(samples.begin(), samples.end());
}

// A netpbm file of kind (2, 3: text; 5, 6: binary).
std::string pnmFile(char kind, long w, long h, long maxValue,
                    const std::vector<std::uint16_t>& samples) {
  std::string file = std::string("P") + kind + "\n# a comment\n" + std::to_string(w) + " " +
                     std::to_string(h) + "\n" + std::to_string(maxValue) + "\n";
  for (const std::uint16_t s : samples) file += kind < '5' ? std::to_string(s) + "\n" : "";
  const Bytes binary = asBytes(samples, maxValue > 255, true);
  return kind < '5' ? file : file + std::string(binary.begin(), binary.end());
}

constexpr long kWidth = 37, kHeight = 29;  // what 16 x 16 tiles and 3-row strips do not divide

class ImageRowsTest : public TempFolderTest {
 protected:
  // Every file layout the readers know, with its name.
  std::vector<std::string> everyLayout() {
    std::vector<std::string> files;
    const auto add = [&](const std::string& name) { return files.emplace_back(path(name)); };
    unsigned seed = 1;
    for (const int channels : {1, 2, 3, 4})
      for (const bool deep : {false, true}) {
        const auto samples = randomSamples(kWidth * kHeight * channels, deep ? 12 : 8, ++seed);
        const std::string tag = std::to_string(channels) + (deep ? "-16" : "-8");
        if (deep)
          imgio::writeImage(add("c" + tag + ".png"),
                            imgio::ColorImage16{kWidth, kHeight, channels, samples, 12});
        else
          imgio::writeImage(add("c" + tag + ".png"),
                            imgio::ColorImage{kWidth, kHeight, channels, asBytes(samples, false)});
        for (const int orientation : {1, 2, 3, 4})
          for (const uint32_t tileSide : {0, 16}) {
            const TiffLayout layout{.tileSide = tileSide,
                                    .rowsPerStrip = 3,
                                    .samplesPerPixel = uint32_t(channels),
                                    .orientation = uint16_t(orientation),
                                    .bits = uint16_t(deep ? 16 : 8)};
            writeTiff(add("c" + tag + "-o" + std::to_string(orientation) + "-t" +
                          std::to_string(tileSide) + ".tif"),
                      layout, kWidth, kHeight, asBytes(samples, deep));
          }
      }
    const auto gray = randomSamples(kWidth * kHeight, 12, 99);
    const auto colour = randomSamples(kWidth * kHeight * 3, 12, 98);
    const auto gray8 = randomSamples(kWidth * kHeight, 8, 97);
    writeTiff(
        add("planar.tif"),
        {.rowsPerStrip = 5, .samplesPerPixel = 3, .bits = 16, .planar = PLANARCONFIG_SEPARATE},
        kWidth, kHeight, asBytes(colour, true));
    writeTiff(
        add("white16.tif"),
        {.bits = 16, .photometric = PHOTOMETRIC_MINISWHITE, .bigEndian = true, .maxSample = 4095},
        kWidth, kHeight, asBytes(gray, true));
    writeTiff(add("cmyk-tiles.tif"),  // through the RGBA reader, of a mapped file
              {.tileSide = 16, .samplesPerPixel = 4, .photometric = PHOTOMETRIC_SEPARATED}, kWidth,
              kHeight, asBytes(randomSamples(kWidth * kHeight * 4, 8, 96), false));
    writeTiff(add("white8.tif"), {.rowsPerStrip = 4, .photometric = PHOTOMETRIC_MINISWHITE}, kWidth,
              kHeight, asBytes(gray8, false));
    std::vector<std::uint16_t> grayRgb;  // colour without colour
    for (const std::uint16_t g : gray8) grayRgb.insert(grayRgb.end(), 3, g);
    imgio::writeImage(add("gray-rgb.png"),
                      imgio::ColorImage{kWidth, kHeight, 3, asBytes(grayRgb, false)});
    const auto low = randomSamples(kWidth * kHeight, 6, 5);  // below a maximum of 100
    for (const auto& [kind, maxValue, samples] : {std::tuple{'5', 255, gray8},
                                                  {'5', 100, low},
                                                  {'2', 100, low},
                                                  {'5', 4095, gray},
                                                  {'2', 65535, gray},
                                                  {'6', 255, grayRgb},
                                                  {'3', 4095, colour},
                                                  {'6', 4095, colour}})
      writeFile(add(std::string("p") + kind + "-" + std::to_string(maxValue) + ".pnm"),
                pnmFile(kind, kWidth, kHeight, maxValue, samples));
    for (const char kind : {'2', '5'})  // more than the reader's 64 KiB a read
      writeFile(add(std::string("large-p") + kind + ".pgm"),
                pnmFile(kind, 400, 100, 65535, randomSamples(40000, 16, 6)));
    return files;
  }
};

// Every layout read in bands of 1, 3, 7 and all rows gives the whole-file
// reader's size, bits and samples.
TEST_F(ImageRowsTest, ReadsEveryLayoutInBandsAsTheWholeFileReaderDoes) {
  for (const std::string& file : everyLayout()) {
    const int channels = RowReader::open(file)->layout().channels;
    const Rows expected = wholeFile(file, channels);
    for (const long band : {1L, 3L, 7L, kHeight})
      ASSERT_EQ(inBands(file, band), expected) << file << " in bands of " << band;
  }
  EXPECT_EQ(RowReader::open(path("gray-rgb.png"))->layout().channels, 3);
}

// Files that only the whole-file reader reads: interlaced PNG, TIFF whose
// orientation transposes it.
TEST_F(ImageRowsTest, RefusesFilesReadableOnlyWholeAsNotStreamable) {
  writeFile(path("adam7.png"), interlacedPng(9, 5, 8, PNG_COLOR_TYPE_GRAY, Bytes(45, 7), {}));
  std::vector<std::pair<std::string, std::string>> cases = {
      {"adam7.png", "an interlaced PNG cannot be read a band of rows at a time"}};
  for (const int orientation : {5, 6, 7, 8}) {
    const std::string name = "o" + std::to_string(orientation) + ".tif";
    writeTiff(path(name), {.orientation = uint16_t(orientation), .bits = 16}, 9, 5, Bytes(90, 1));
    cases.emplace_back(name, "the TIFF's orientation " + std::to_string(orientation) +
                                 " turns its rows into columns, which cannot be read a band of "
                                 "rows at a time");
  }
  for (const auto& [name, why] : cases) {
    EXPECT_NO_THROW(imgio::readAnyDepthImage(path(name))) << name;
    EXPECT_THROW(RowReader::open(path(name)), imgio::NotStreamable) << name;
    EXPECT_EQ(errorOf([&] { RowReader::open(path(name)); }), path(name) + ": " + why);
  }
}

// Every cut and some changed bytes of each format: the rows read as the
// whole-file reader reads them, or both refuse the file naming it; a
// sample above the file's maximum is refused when its band is read.
TEST_F(ImageRowsTest, DamagedFilesAreRefusedAsTheWholeFileReaderRefusesThem) {
  const auto samples = randomSamples(kWidth * kHeight, 12, 3);
  imgio::writeImage(path("a.png"), imgio::ColorImage16{kWidth, kHeight, 1, samples, 12});
  imgio::writeImage(path("a.tif"), imgio::ColorImage16{kWidth, kHeight, 1, samples, 12});
  writeTiff(path("b.tif"), {.tileSide = 16, .samplesPerPixel = 3}, kWidth, kHeight,
            asBytes(randomSamples(kWidth * kHeight * 3, 8, 4), false));
  writeFile(path("a.pgm"), pnmFile('5', kWidth, kHeight, 4095, samples));
  writeFile(path("b.pgm"), pnmFile('3', 5, 3, 200, randomSamples(45, 7, 5)));
  std::mt19937 random(7);
  for (const char* name : {"a.png", "a.tif", "b.tif", "a.pgm", "b.pgm"}) {
    const std::string whole = readFile(path(name)), file = path(std::string("cut-") + name);
    std::vector<std::string> damaged;
    for (std::size_t cut = 0; cut < whole.size(); cut += 1 + cut / 16)
      damaged.push_back(whole.substr(0, cut));
    for (int changed = 0; changed < 40; ++changed) {
      damaged.push_back(whole);
      damaged.back()[random() % whole.size()] ^= char(1 << random() % 8);
    }
    for (const std::string& bytes : damaged) {
      writeFile(file, bytes);
      Rows rows, expected;
      const std::string rowsError = errorOf([&] { rows = inBands(file, 3); });
      const std::string wholeError =
          errorOf([&] { expected = wholeFile(file, std::max(rows.channels, 1)); });
      EXPECT_TRUE(!rowsError.empty() || rows == expected) << name << " " << bytes.size();
      ASSERT_EQ(wholeError.empty(), rowsError.empty()) << wholeError << rowsError;
      EXPECT_EQ(rowsError.rfind(file + ": ", 0), rowsError.empty() ? std::string::npos : 0);
    }
  }
  // 16-bit samples of 8 significant bits, one above them in the last row.
  Bytes deep = asBytes(std::vector<std::uint16_t>(9 * 5, 255), true);
  std::memcpy(&deep.end()[-2], "\x2c\x01", 2);
  writeTiff(path("above.tif"), {.bits = 16, .maxSample = 255}, 9, 5, deep);
  const auto reader = RowReader::open(path("above.tif"));
  std::vector<std::uint16_t> band(9 * 4);
  reader->read(4, band.data());
  EXPECT_EQ(
      errorOf([&] { reader->read(1, band.data()); }),
      path("above.tif") + ": truncated or corrupt TIFF file: a sample exceeds SMaxSampleValue 255");
}

// Rows written in bands of 1, 3, 9 and 7 read back as they were by both
// readers, from each format and layout; TIFF is tiled, BigTIFF when asked.
TEST_F(ImageRowsTest, WritersRoundTripEveryLayoutInBands) {
  unsigned seed = 0;
  for (const Format format : {Format::kPng, Format::kTiff, Format::kPnm})
    for (const int channels : {1, 2, 3, 4})
      for (const int bits : {8, 12, 16}) {
        if (format == Format::kPnm && channels > 1) continue;
        const std::string file = path(std::to_string(++seed) + ".written");
        const Rows image{kWidth, kHeight,  channels,
                         bits,   bits > 8, randomSamples(kWidth * kHeight * channels, bits, seed)};
        const imgio::ImageLayout layout{format, kWidth, kHeight, channels, bits, bits > 8};
        const auto writer =
            RowWriter::create(file, format, layout, {.bigTiff = seed % 2 == 0, .tileSide = 16});
        const Bytes shallow = asBytes(image.samples, false);
        for (long row = 0, band = 1; row < kHeight; row += band, band = band * 3 % 10) {
          const long rows = std::min(band, kHeight - row);
          const std::size_t at = std::size_t(row * kWidth * channels);
          image.deep ? writer->write(rows, image.samples.data() + at)
                     : writer->write(rows, shallow.data() + at);
        }
        EXPECT_FALSE(std::filesystem::exists(file)) << file;
        writer->commit();
        EXPECT_EQ(wholeFile(file, channels), image) << file;
        EXPECT_EQ(inBands(file, 5), image) << file;
        if (format != Format::kTiff) continue;
        const std::string head = readFile(file).substr(0, 4);
        EXPECT_EQ(head[2], seed % 2 == 0 ? 43 : 42) << "BigTIFF or classic " << file;
        TIFF* tiff = TIFFOpen(file.c_str(), "r");
        uint32_t tileWidth = 0;
        EXPECT_EQ(TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tileWidth), 1);
        EXPECT_EQ(tileWidth, 16U);
        TIFFClose(tiff);
      }
}

// The file appears only on commit, complete, with the replaced file's
// mode; a writer given up, refused or short of rows leaves nothing.
TEST_F(ImageRowsTest, WritersReplaceAtomicallyAndRefuseWhatPrepareImageRefuses) {
  const imgio::ImageLayout gray12{Format::kPng, 4, 3, 1, 12, true};
  const std::vector<std::uint16_t> rows(12, 4095);
  writeFile(path("old.png"), "old");
  ::chmod(path("old.png").c_str(), 0640);
  auto writer = RowWriter::create(path("old.png"), Format::kPng, gray12);
  writer->write(3, rows.data());
  EXPECT_EQ(readFile(path("old.png")), "old");
  writer->commit();
  struct stat st {};
  ::stat(path("old.png").c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0640U);
  EXPECT_EQ(wholeFile(path("old.png"), 1).samples, rows);
  std::filesystem::remove(path("old.png"));

  const auto given = [&](const std::function<void(RowWriter&)>& use) {
    std::string message;
    try {
      const auto w = RowWriter::create(path("new.tif"), Format::kTiff, gray12);
      use(*w);
    } catch (const std::exception& e) {
      message = e.what();
    }
    EXPECT_EQ(listing(), Names{});
    return message;
  };
  EXPECT_EQ(given([&](RowWriter& w) { w.write(2, rows.data()); }), "");
  EXPECT_EQ(given([&](RowWriter& w) { w.write(2, rows.data()), w.commit(); }),
            path("new.tif") + ": cannot complete the file: 2 of its 3 rows were written");
  const std::vector<std::uint16_t> above = {1, 2, 4096, 3};
  EXPECT_EQ(given([&](RowWriter& w) { w.write(1, above.data()); }),
            path("new.tif") + ": the sample 4096 exceeds 4095, the largest of 12 bits");
  EXPECT_EQ(given([&](RowWriter& w) { w.write(4, rows.data()); }),
            path("new.tif") + ": 4 rows after 0 of 3");
  EXPECT_EQ(given([&](RowWriter& w) { w.write(1, Bytes(4).data()); }),
            path("new.tif") + ": rows of 8-bit samples for a file of the other depth");
  // What prepareImage refuses, in its words.
  for (const auto& [channels, bits] : {std::pair{3, 12}, {2, 12}, {1, 8}, {1, 0}}) {
    const imgio::ImageLayout layout{Format::kPnm, 4, 3, channels, bits, true};
    const imgio::ColorImage16 whole{4, 3, channels, std::vector<std::uint16_t>(12 * channels),
                                    bits};
    const std::string refusal = errorOf([&] { imgio::prepareImage(path("x.pgm"), whole); });
    EXPECT_NE(refusal, "");
    EXPECT_EQ(errorOf([&] { RowWriter::create(path("x.pgm"), Format::kPnm, layout); }), refusal);
  }
  EXPECT_THROW(RowWriter::create(path("x.tif"), Format::kTiff, {.channels = 5}),
               std::invalid_argument);
  EXPECT_THROW(
      RowWriter::create(path("x.tif"), Format::kTiff, {.width = 2, .height = 2}, {.tileSide = 24}),
      std::invalid_argument);
  EXPECT_EQ(listing(), Names{});
}

}  // namespace
