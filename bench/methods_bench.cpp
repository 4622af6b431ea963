// Training and running every method on realistic scenes: a texture under an
// illumination gradient, with and without a mask.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>

#include "bench/bench_images.h"
#include "host/detail/cpu_dispatch.h"
#include "imaging/pel_histogram.h"
#include "imaging/pel_map.h"
#include "imgnorm/detail/linear_fit.h"
#include "imgnorm/image_normalizer.h"
#include "imgnorm/run_parallel.h"
#include "pelfuncs/masked_histogram.h"
#include "pelfuncs/padded_affine_sample.h"

namespace {

using namespace kcImageNormalizerDefs;
using namespace bench_images;

kcImageNormalizer tool(long side, bool masked, Method methods, long neighborhood,
                       long granularity) {
  kcImageNormalizer t;
  t.referenceImage(reference(side), false);
  if (masked) t.maskImage(mask(side), false);
  t.neighborhoodSize(kcPair<long>(neighborhood, neighborhood));
  t.granularity(kcPair<long>(granularity, granularity));
  t.train(methods);
  return t;
}

void timeRuns(benchmark::State& state, const kcImageNormalizer& t, long side, Method method) {
  bool success = false;
  std::wstring message;
  const Image& image = runTime(side);  // made before the timing starts
  for (auto _ : state) {
    Image out = t.run(image, method, success, message);
    benchmark::DoNotOptimize(out.pointToOffset());
  }
  setPels(state, side);
}

// Args: side, masked, method bit.
void BM_Run(benchmark::State& state) {
  const long side = state.range(0);
  const auto method = static_cast<Method>(state.range(2));
  timeRuns(state, tool(side, state.range(1) != 0, method, 101, 1), side, method);
}
BENCHMARK(BM_Run)
    ->ArgNames({"side", "masked", "method"})
    ->ArgsProduct({{2048, 4096}, {0, 1}, {1, 2, 4, 8, 16, 32}})
    ->Unit(benchmark::kMillisecond);

void BM_Train(benchmark::State& state) {
  const long side = state.range(0);
  const auto methods = static_cast<Method>(state.range(2));
  reference(side);  // the inputs are made before the timing starts
  mask(side);
  for (auto _ : state) {
    kcImageNormalizer t = tool(side, state.range(1) != 0, methods, 101, 1);
    benchmark::DoNotOptimize(t.trainedMethods());
  }
  setPels(state, side);
}
BENCHMARK(BM_Train)
    ->ArgNames({"side", "masked", "methods"})
    ->ArgsProduct({{2048, 4096}, {0, 1}, {7, 8, 16, 32, 63}})
    ->Unit(benchmark::kMillisecond);

// Args: method bit, neighbourhood, granularity (2048 x 2048, no mask).
void BM_LocalCorrection(benchmark::State& state) {
  constexpr long side = 2048;
  const auto method = static_cast<Method>(state.range(0));
  timeRuns(state, tool(side, false, method, state.range(1), state.range(2)), side, method);
}
BENCHMARK(BM_LocalCorrection)
    ->ArgNames({"method", "neighborhood", "granularity"})
    ->ArgsProduct({{16, 32}, {11, 101, 301}, {1, 4}})
    ->Unit(benchmark::kMillisecond);

// Args: method bit, threads (4096 x 4096 with the mask): one image over
// several cores.
void BM_RunParallel(benchmark::State& state) {
  constexpr long side = 4096;
  const auto method = static_cast<Method>(state.range(0));
  const kcImageNormalizer& t = tool(side, true, method, 101, 1);
  const Image& image = runTime(side);
  bool success = false;
  std::wstring message;
  for (auto _ : state) {
    Image out =
        kfRunParallel(t, image, method, static_cast<unsigned>(state.range(1)), success, message);
    benchmark::DoNotOptimize(out.pointToOffset());
  }
  setPels(state, side);
}
BENCHMARK(BM_RunParallel)
    ->ArgNames({"method", "threads"})
    ->ArgsProduct({{1, 8, 16, 32}, {1, 2}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The scene python/bench_run.py builds with numpy, in integers so both
// sides hold the same pels: the Python run's extra time is the binding's.
Image pythonScene(long side, bool runTime) {
  Image b(side, side, 32);
  for (long y = 0; y < side; ++y)
    for (long x = 0; x < side; ++x) {
      const long v = std::min(y / 16 + x / 16 + (x * 7 + y * 13 + (x * y) % 31) % 30, 255L);
      b.set(x, y, static_cast<unsigned char>(runTime ? v / 2 + 40 : v));
    }
  return b;
}

void BM_RunPythonScene(benchmark::State& state) {
  constexpr long side = 2048;
  const Image reference = pythonScene(side, false), image = pythonScene(side, true);
  kcImageNormalizer t;
  t.referenceImage(reference, false);
  t.train(eMatchHistogram);
  bool success = false;
  std::wstring message;
  for (auto _ : state) {
    Image out = t.run(image, eMatchHistogram, success, message);
    benchmark::DoNotOptimize(out.pointToOffset());
  }
  setPels(state, side);
}
BENCHMARK(BM_RunPythonScene)->Unit(benchmark::kMillisecond);

void BM_MaskedHistogram(benchmark::State& state) {
  constexpr long side = 2048;
  std::vector<unsigned long> histogram;
  const Image &image = runTime(side), &m = mask(side);
  for (auto _ : state) {
    kf_MaskedPelHistogram(image, m, histogram);
    benchmark::DoNotOptimize(histogram.data());
  }
  setPels(state, side);
}
BENCHMARK(BM_MaskedHistogram)->Unit(benchmark::kMillisecond);

void BM_Histogram(benchmark::State& state) {
  constexpr long side = 2048;
  std::vector<unsigned long> histogram;
  const Image& image = runTime(side);
  for (auto _ : state) {
    kfPelHistogram(image, histogram);
    benchmark::DoNotOptimize(histogram.data());
  }
  setPels(state, side);
}
BENCHMARK(BM_Histogram)->Unit(benchmark::kMillisecond);

// Arg: the widest kernel build allowed (0 plain, 1 AVX2, 2 AVX-512 VBMI).
void BM_Map(benchmark::State& state) {
  constexpr long side = 2048;
  const kcKernelSetScope kernels(static_cast<kcKernelSet>(state.range(0)));
  std::vector<unsigned char> map(256);
  for (int i = 0; i < 256; ++i) map[i] = static_cast<unsigned char>(255 - i);
  Image out(side, side, 32);
  const Image& image = runTime(side);
  for (auto _ : state) {
    kfPelMap(image, map, out);
    benchmark::DoNotOptimize(out.pointToOffset());
  }
  setPels(state, side);
}
BENCHMARK(BM_Map)->ArgName("kernels")->Arg(2)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

// The memory limit of a map: copying the same pels, cache-warm.
void BM_Memcpy(benchmark::State& state) {
  constexpr long side = 2048;
  const Image& image = runTime(side);
  std::vector<unsigned char> out(side * side);
  for (auto _ : state) {
    for (long y = 0; y < side; ++y)
      std::memcpy(out.data() + y * side, image.pointToPel(0, y), side);
    benchmark::DoNotOptimize(out.data());
  }
  setPels(state, side);
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);

// The linear fit's cost at any image size: the band around the ridge of the
// joint log histogram, from its projections at every fit angle.
// Arg: the widest kernel build allowed.
void BM_FitBand(benchmark::State& state) {
  constexpr long side = 2048;
  const kcKernelSetScope kernels(static_cast<kcKernelSet>(state.range(0)));
  const kcImageNormalizer t = tool(side, false, eLinearlyFitGrayValues, 101, 1);
  const kcPelBuffer<unsigned char> logHistogram =
      imgnorm::jointLogHistogram(imgnorm::countPairs(runTime(side), reference(side), Image()), 1);
  for (auto _ : state) {
    Image band = imgnorm::dominantBand(logHistogram, t.fitAngles());
    benchmark::DoNotOptimize(band.pointToOffset());
  }
}
BENCHMARK(BM_FitBand)->ArgName("kernels")->Arg(2)->Arg(0)->Unit(benchmark::kMicrosecond);

void BM_AffineUpsampleBy4(benchmark::State& state) {
  constexpr long side = 2048;
  Image small(side / 4, side / 4, 32);
  for (long y = 0; y < side / 4; ++y)
    for (long x = 0; x < side / 4; ++x)
      small.set(x, y, static_cast<unsigned char>((x * 3 + y) & 255));
  for (auto _ : state) {
    Image out = kf_PaddedAffineSample(small, side, side, false);
    benchmark::DoNotOptimize(out.pointToOffset());
  }
  setPels(state, side);
}
BENCHMARK(BM_AffineUpsampleBy4)->Unit(benchmark::kMillisecond);

}  // namespace
