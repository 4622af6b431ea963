// The closest OpenCV operations on the same inputs as our benchmarks, for the
// side-by-side comparison (built with -DIMGNORM_BENCH_OPENCV=ON). Both sides
// run on one thread.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "bench/bench_images.h"

namespace {

using namespace bench_images;

constexpr long kSide = 2048;

// A Mat over a buffer's pels, without copying.
cv::Mat matOf(const Image& b) {
  return cv::Mat(static_cast<int>(b.height()), static_cast<int>(b.width()), CV_8U,
                 b.pointToPel(b.window().x(), b.window().y()), static_cast<size_t>(b.rowUpdate()));
}

const cv::Mat& source() {
  static const cv::Mat m = matOf(runTime(kSide));
  return m;
}
const cv::Mat& referenceMat() {
  static const cv::Mat m = matOf(reference(kSide));
  return m;
}
const cv::Mat& maskMat() {
  static const cv::Mat m = matOf(mask(kSide));
  return m;
}

// One thread, and the shared inputs made before any timing starts.
void oneThread() {
  cv::setNumThreads(1);
  source();
  referenceMat();
  maskMat();
}

void setPels(benchmark::State& state) { bench_images::setPels(state, kSide); }

void calcHistogram(const cv::Mat& image, const cv::Mat& mask, cv::Mat& histogram) {
  const int channels[] = {0};
  const int size[] = {256};
  const float range[] = {0, 256};
  const float* ranges[] = {range};
  cv::calcHist(&image, 1, channels, mask, histogram, 1, size, ranges);
}

void BM_CvCalcHist(benchmark::State& state) {
  oneThread();
  cv::Mat histogram;
  const cv::Mat noMask;
  for (auto _ : state) {
    calcHistogram(source(), state.range(0) ? maskMat() : noMask, histogram);
    benchmark::DoNotOptimize(histogram.data);
  }
  setPels(state);
}
BENCHMARK(BM_CvCalcHist)->ArgName("masked")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

cv::Mat inverseTable() {
  cv::Mat table(1, 256, CV_8U);
  for (int i = 0; i < 256; ++i) table.at<unsigned char>(i) = static_cast<unsigned char>(255 - i);
  return table;
}

void BM_CvLut(benchmark::State& state) {
  oneThread();
  const cv::Mat table = inverseTable();
  cv::Mat out(source().size(), CV_8U);
  for (auto _ : state) {
    cv::LUT(source(), table, out);
    benchmark::DoNotOptimize(out.data);
  }
  setPels(state);
}
BENCHMARK(BM_CvLut)->Unit(benchmark::kMillisecond);

// What a global method does at run time: the run-time histogram, then a map.
void BM_CvCalcHistPlusLut(benchmark::State& state) {
  oneThread();
  const cv::Mat table = inverseTable(), noMask;
  cv::Mat histogram;
  for (auto _ : state) {
    cv::Mat out;
    calcHistogram(source(), state.range(0) ? maskMat() : noMask, histogram);
    cv::LUT(source(), table, out);
    benchmark::DoNotOptimize(out.data);
  }
  setPels(state);
}
BENCHMARK(BM_CvCalcHistPlusLut)->ArgName("masked")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_CvGaussianBlur(benchmark::State& state) {
  oneThread();
  const double sigma = static_cast<double>(state.range(0));
  cv::Mat out;
  for (auto _ : state) {
    cv::GaussianBlur(source(), out, cv::Size(0, 0), sigma);
    benchmark::DoNotOptimize(out.data);
  }
  setPels(state);
}
BENCHMARK(BM_CvGaussianBlur)->ArgName("sigma")->Arg(26)->Unit(benchmark::kMillisecond);

// Three box passes approximate a Gaussian, as our smoothing does.
void BM_CvBlurThreeTimes(benchmark::State& state) {
  oneThread();
  const int k = static_cast<int>(state.range(0));
  cv::Mat a, b;
  for (auto _ : state) {
    cv::blur(source(), a, cv::Size(k, k));
    cv::blur(a, b, cv::Size(k, k));
    cv::blur(b, a, cv::Size(k, k));
    benchmark::DoNotOptimize(a.data);
  }
  setPels(state);
}
BENCHMARK(BM_CvBlurThreeTimes)->ArgName("kernel")->Arg(51)->Unit(benchmark::kMillisecond);

void BM_CvMedianBlur(benchmark::State& state) {
  oneThread();
  cv::Mat out;
  for (auto _ : state) {
    cv::medianBlur(source(), out, static_cast<int>(state.range(0)));
    benchmark::DoNotOptimize(out.data);
  }
  setPels(state);
}
BENCHMARK(BM_CvMedianBlur)->ArgName("kernel")->Arg(101)->Arg(181)->Unit(benchmark::kMillisecond);

// Local correction as a user would write it: the difference to the reference
// around 128 with saturation, its background by a Gaussian or a median
// (optionally on an image reduced by 4 and enlarged again), and the
// background's deviation from 128 subtracted from the image.
enum Background { kGaussian = 16, kMedian = 32 };

void background(const cv::Mat& difference, Background kind, int reduction, cv::Mat& out) {
  if (reduction == 1) {
    if (kind == kGaussian)
      cv::GaussianBlur(difference, out, cv::Size(0, 0), 26.0);
    else
      cv::medianBlur(difference, out, 101);
    return;
  }
  cv::Mat small, smooth;
  cv::resize(difference, small, cv::Size(), 1.0 / reduction, 1.0 / reduction, cv::INTER_AREA);
  if (kind == kGaussian)
    cv::GaussianBlur(small, smooth, cv::Size(0, 0), 26.0 / reduction);
  else
    cv::medianBlur(small, smooth, (101 / reduction) | 1);
  cv::resize(smooth, out, difference.size(), 0, 0, cv::INTER_LINEAR);
}

void BM_CvLocalCorrection(benchmark::State& state) {
  oneThread();
  const auto kind = static_cast<Background>(state.range(0));
  const int reduction = static_cast<int>(state.range(1));
  cv::Mat difference, back, out;
  for (auto _ : state) {
    cv::addWeighted(source(), 1.0, referenceMat(), -1.0, 128.0, difference, CV_8U);
    background(difference, kind, reduction, back);
    cv::addWeighted(source(), 1.0, back, -1.0, 128.0, out, CV_8U);
    benchmark::DoNotOptimize(out.data);
  }
  setPels(state);
}
BENCHMARK(BM_CvLocalCorrection)
    ->ArgNames({"method", "reduction"})
    ->ArgsProduct({{kGaussian, kMedian}, {1, 4}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
