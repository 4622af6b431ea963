// Image files a band of rows at a time beside whole: 4096 x 4096 RGB,
// 8-bit, as tiled TIFF, PNG and PGM (gray). Each benchmark also runs
// alone for its peak memory (docs/performance.md):
//   /usr/bin/time -v imgnorm_bench --benchmark_filter=Rows/Read/tiff
#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "imgio/image_rows.h"

namespace {

constexpr long kSide = 4096;
constexpr long kBand = 64;  // rows a call: a few strips, a fraction of a tile row

const imgio::Format kFormats[] = {imgio::Format::kTiff, imgio::Format::kPng, imgio::Format::kPnm};
const char* const kNames[] = {"png", "tiff", "pgm"};  // by Format

int channelsOf(imgio::Format format) { return format == imgio::Format::kPnm ? 1 : 3; }

std::string benchFile(imgio::Format format) {
  return (std::filesystem::temp_directory_path() /
          ("imgnorm-rows-bench." + std::string(kNames[static_cast<int>(format)])))
      .string();
}

// Bands of smooth ramps with a little noise, which deflate packs as it
// would a photograph's rows; the image repeats them, made once.
const std::vector<unsigned char>& band(long firstRow, int channels) {
  constexpr long kKinds = 4;
  static std::vector<std::vector<unsigned char>> bands[5];  // by channels
  std::mt19937 random(1);
  auto& made = bands[channels];
  for (long kind = static_cast<long>(made.size()); kind < kKinds; ++kind) {
    std::vector<unsigned char>& samples = made.emplace_back(std::size_t(kBand * kSide * channels));
    for (std::size_t i = 0; i < samples.size(); ++i)
      samples[i] = static_cast<unsigned char>((i / 64 + kind * 40 + (random() & 7)) & 0xff);
  }
  return made[static_cast<std::size_t>(firstRow / kBand % kKinds)];
}

void writeInBands(imgio::Format format) {
  const int channels = channelsOf(format);
  const auto writer = imgio::RowWriter::create(benchFile(format), format,
                                               {format, kSide, kSide, channels, 8, false});
  for (long row = 0; row < kSide; row += kBand) writer->write(kBand, band(row, channels).data());
  writer->commit();
}

imgio::ColorImage wholeImage(imgio::Format format) {
  const int channels = channelsOf(format);
  imgio::ColorImage image{kSide, kSide, channels, {}};
  for (long row = 0; row < kSide; row += kBand)
    image.pels.insert(image.pels.end(), band(row, channels).begin(), band(row, channels).end());
  return image;
}

void setBytes(benchmark::State& state, imgio::Format format) {
  state.SetBytesProcessed(state.iterations() * kSide * kSide * channelsOf(format));
}

void Write(benchmark::State& state, imgio::Format format) {
  for (auto _ : state) writeInBands(format);
  setBytes(state, format);
  std::filesystem::remove(benchFile(format));
}

// The whole-image writer: TIFF in strips, the rest alike.
void WriteWhole(benchmark::State& state, imgio::Format format) {
  const imgio::ColorImage image = wholeImage(format);
  for (auto _ : state) imgio::prepareImage(benchFile(format), image, format).commit();
  setBytes(state, format);
  std::filesystem::remove(benchFile(format));
}

void Read(benchmark::State& state, imgio::Format format) {
  writeInBands(format);
  std::vector<unsigned char> samples(static_cast<std::size_t>(kBand * kSide * channelsOf(format)));
  for (auto _ : state) {
    const auto reader = imgio::RowReader::open(benchFile(format));
    for (long row = 0; row < kSide; row += kBand) reader->read(kBand, samples.data());
    benchmark::DoNotOptimize(samples.data());
  }
  setBytes(state, format);
  std::filesystem::remove(benchFile(format));
}

void ReadWhole(benchmark::State& state, imgio::Format format) {
  writeInBands(format);
  for (auto _ : state) benchmark::DoNotOptimize(imgio::readAnyDepthImage(benchFile(format)));
  setBytes(state, format);
  std::filesystem::remove(benchFile(format));
}

const bool kRegistered = [] {
  for (const imgio::Format format : kFormats) {
    const std::string name = kNames[static_cast<int>(format)];
    benchmark::RegisterBenchmark(("Rows/Write/" + name).c_str(), Write, format)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("Rows/WriteWhole/" + name).c_str(), WriteWhole, format)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("Rows/Read/" + name).c_str(), Read, format)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("Rows/ReadWhole/" + name).c_str(), ReadWhole, format)
        ->Unit(benchmark::kMillisecond);
  }
  return true;
}();

}  // namespace
