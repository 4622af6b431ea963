// 16-bit images beside 8-bit ones, one thread, 4096 x 4096: counting,
// mapping, the global methods and the local corrections at both depths, and
// a copy of the 16-bit pels as the memory's limit.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>

#include "bench/bench_images.h"
#include "imaging/pel_histogram.h"
#include "imaging/pel_map.h"
#include "imgnorm/image_normalizer.h"
#include "pelfuncs/masked_histogram.h"

namespace {

using namespace kcImageNormalizerDefs;
using namespace bench_images;
using Wide = kcPelBuffer<unsigned short>;

constexpr long kSide = 4096;

// Uniform levels below 2^bits, or 90 % of one level (a flat background)
// and the rest uniform.
template <class T>
kcPelBuffer<T> levels(int bits, bool skewed) {
  kcPelBuffer<T> b(kSide, kSide, 32);
  std::mt19937 rng(5);
  std::uniform_int_distribution<unsigned> level(0, (1U << bits) - 1), percent(0, 99);
  const unsigned background = (1U << bits) / 3;
  for (long y = 0; y < kSide; ++y) {
    T* row = b.pointToPel(0, y);
    for (long x = 0; x < kSide; ++x)
      row[x] = static_cast<T>(skewed && percent(rng) < 90 ? background : level(rng));
  }
  return b;
}

template <class T>
const kcPelBuffer<T>& cachedLevels(int bits, bool skewed) {
  static std::map<std::pair<int, bool>, kcPelBuffer<T>> made;
  auto it = made.find({bits, skewed});
  if (it == made.end())
    it = made.emplace(std::make_pair(bits, skewed), levels<T>(bits, skewed)).first;
  return it->second;
}

// The bench scene on 16 bits: each 8-bit level times 257, or, filled,
// spread over 256 levels of its own by a ramp below one 8-bit level, as a
// 16-bit camera's frame uses its levels (plain multiples of 257 leave gaps
// that no real frame has).
const Wide& wideScene(bool runTime, bool filled = false) {
  static std::map<std::pair<bool, bool>, Wide> made;
  auto it = made.find({runTime, filled});
  if (it != made.end()) return it->second;
  const Image& narrow = cached(kSide, runTime ? kRunTime : kReference);
  Wide b(kSide, kSide, 32);
  for (long y = 0; y < kSide; ++y)
    for (long x = 0; x < kSide; ++x)
      b.set(x, y,
            static_cast<unsigned short>(filled ? 256 * narrow.get(x, y) +
                                                     (x * 7 + y * 13 + (runTime ? 97 : 0)) % 256
                                               : 257 * narrow.get(x, y)));
  return made.emplace(std::make_pair(runTime, filled), b).first->second;
}

// Args: bits (8 or 16), skewed, masked.
void BM_HistogramByDepth(benchmark::State& state) {
  const int bits = static_cast<int>(state.range(0));
  const bool skewed = state.range(1) != 0, masked = state.range(2) != 0;
  const Image none;
  const Image& m = masked ? mask(kSide) : none;
  std::vector<unsigned long> histogram;
  if (bits == 8) {
    const Image& image = cachedLevels<unsigned char>(8, skewed);
    for (auto _ : state) {
      kf_MaskedPelHistogram(image, m, histogram);
      benchmark::DoNotOptimize(histogram.data());
    }
  } else {
    const Wide& image = cachedLevels<unsigned short>(bits, skewed);
    for (auto _ : state) {
      kf_MaskedPelHistogram(image, bits, m, histogram);
      benchmark::DoNotOptimize(histogram.data());
    }
  }
  setPels(state, kSide);
}
BENCHMARK(BM_HistogramByDepth)
    ->ArgNames({"bits", "skewed", "masked"})
    ->ArgsProduct({{8, 16}, {0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

// Arg: the bits of the data, which set the table's used entries (4096 or
// 65536); the table itself always has 65536.
void BM_WideMap(benchmark::State& state) {
  const int bits = static_cast<int>(state.range(0));
  const Wide& image = cachedLevels<unsigned short>(bits, false);
  std::vector<unsigned short> map(std::size_t{1} << bits);
  for (std::size_t i = 0; i < map.size(); ++i)
    map[i] = static_cast<unsigned short>(map.size() - 1 - i);
  const std::vector<unsigned short> table = kfWideMapTable(map);
  for (auto _ : state) {
    Wide out = kfPelMap(image, table);
    benchmark::DoNotOptimize(out.pointToOffset());
  }
  setPels(state, kSide);
}
BENCHMARK(BM_WideMap)->ArgName("bits")->Arg(12)->Arg(16)->Unit(benchmark::kMillisecond);

// The 16-bit pels copied into a new buffer, as the map writes one.
void BM_WideCopy(benchmark::State& state) {
  const Wide& image = cachedLevels<unsigned short>(16, false);
  for (auto _ : state) {
    Wide out(kSide, kSide, 32);
    for (long y = 0; y < kSide; ++y)
      std::memcpy(out.pointToPel(0, y), image.pointToPel(0, y), kSide * sizeof(unsigned short));
    benchmark::DoNotOptimize(out.pointToOffset());
  }
  setPels(state, kSide);
}
BENCHMARK(BM_WideCopy)->Unit(benchmark::kMillisecond);

// Trains tool, set up but for its reference, on the bench scene at the
// depth, and times its runs of method on the run-time scene.
void timeRuns(benchmark::State& state, kcImageNormalizer& tool, bool wide, Method method,
              bool filled = false) {
  if (wide)
    tool.referenceImage(wideScene(false, filled), 16, false);
  else
    tool.referenceImage(cached(kSide, kReference), false);
  tool.train(method);
  bool success = false;
  std::wstring message;
  if (wide) {
    const Wide& image = wideScene(true, filled);
    for (auto _ : state)
      benchmark::DoNotOptimize(tool.run(image, method, success, message).pointToOffset());
  } else {
    const Image& image = cached(kSide, kRunTime);
    for (auto _ : state)
      benchmark::DoNotOptimize(tool.run(image, method, success, message).pointToOffset());
  }
  setPels(state, kSide);
}

// Args: bits (8 or 16), method bit (a global method or the fit).
void BM_RunByDepth(benchmark::State& state) {
  kcImageNormalizer tool;
  timeRuns(state, tool, state.range(0) == 16, static_cast<Method>(state.range(1)));
}
BENCHMARK(BM_RunByDepth)
    ->ArgNames({"bits", "method"})
    ->ArgsProduct({{8, 16}, {1, 2, 4, 8}})
    ->Unit(benchmark::kMillisecond);

// Args: bits (8 or 16), local method bit, granularity, and for 16 bits the
// range's magnitude (4095, or 65535 for the whole difference) and whether
// the scene fills its levels. A 101 x 101 neighbourhood.
void BM_LocalByDepth(benchmark::State& state) {
  const bool wide = state.range(0) == 16;
  const auto method = static_cast<Method>(state.range(1));
  const long g = state.range(2), range = wide ? state.range(3) : 127;
  kcImageNormalizer tool;
  tool.neighborhoodSize({101, 101});
  tool.granularity({g, g});
  tool.intensityVariationRange({-range, range});
  timeRuns(state, tool, wide, method, wide && state.range(4) == 1);
}
BENCHMARK(BM_LocalByDepth)
    ->ArgNames({"bits", "method", "granularity", "range", "filled"})
    ->Args({8, 16, 1, 0, 0})
    ->Args({16, 16, 1, 65535, 0})
    ->Args({8, 16, 4, 0, 0})
    ->Args({16, 16, 4, 65535, 0})
    ->Args({8, 32, 1, 0, 0})
    ->Args({16, 32, 1, 4095, 0})
    ->Args({16, 32, 1, 4095, 1})
    ->Args({16, 32, 1, 65535, 0})
    ->Args({16, 32, 1, 65535, 1})
    ->Args({8, 32, 4, 0, 0})
    ->Args({16, 32, 4, 4095, 0})
    ->Args({16, 32, 4, 4095, 1})
    ->Unit(benchmark::kMillisecond);

// Both models side by side. Args: bits (8 or 16), local method bit,
// granularity, model (0 subtract, 1 divide); 101 x 101, the whole range.
void BM_LocalByModel(benchmark::State& state) {
  const bool wide = state.range(0) == 16;
  const long g = state.range(2), top = wide ? 65535 : 127;
  kcImageNormalizer tool;
  tool.neighborhoodSize({101, 101});
  tool.granularity({g, g});
  tool.intensityVariationRange({-top, top});
  tool.model(static_cast<kcImageNormalizerDefs::Model>(state.range(3)));
  timeRuns(state, tool, wide, static_cast<Method>(state.range(1)));
}
BENCHMARK(BM_LocalByModel)
    ->ArgNames({"bits", "method", "granularity", "model"})
    ->ArgsProduct({{8, 16}, {16, 32}, {1, 4}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
