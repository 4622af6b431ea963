#include "imgnorm/detail/global_maps.h"

#include <cmath>
#include <cstdint>

#include "imaging/ilimit.h"

namespace imgnorm {

namespace {

// map[i] = i * gain + offset truncated toward zero, clamped to the levels
// 0..size - 1 (the run-time and reference histograms have one size). The
// value is first held within -1..size, where the truncation cannot
// overflow a long.
template <class Level>
void linearMap(double gain, double offset, std::size_t size, std::vector<Level>& map) {
  map.resize(size);
  const double above = static_cast<double>(size);
  const long top = static_cast<long>(size) - 1;
  for (std::size_t i = 0; i < size; ++i) {
    const double t = static_cast<double>(i) * gain + offset;
    const double clamped = t < -1.0 ? -1.0 : (t > above ? above : t);
    map[i] = static_cast<Level>(kfILimit(static_cast<long>(clamped), 0L, top));
  }
}

template <class Level>
void fail(std::vector<Level>& map, std::wstring& message, const wchar_t* text) {
  map.clear();
  message = text;
}

}  // namespace

long roundHalfAwayFromZero(double v) {
  if (std::isnan(v)) return 0;  // a NaN tail fraction, which the setter lets through
  return v >= 0 ? static_cast<long>(v + 0.5) : -static_cast<long>(-v + 0.5);
}

kcPair<long> tailPercentages(const kcPair<double>& f) {
  return {roundHalfAwayFromZero(100.0 * f.x()), roundHalfAwayFromZero(100.0 * f.y())};
}

template <class Level>
void matchHistogram(const std::vector<unsigned long>& referenceHistogram,
                    const std::vector<unsigned long>& runHistogram, std::vector<Level>& map,
                    std::wstring& message) {
  const std::size_t nRun = runHistogram.size();
  const std::size_t nRef = referenceHistogram.size();
  map.assign(nRun, 0);
  // 64-bit sums: the counts of an image of 2^32 pels and more do not wrap.
  std::uint64_t cumRun = 0, cumRef = 0;
  std::size_t j = 0;
  for (std::size_t i = 0; i < nRun; ++i) {
    cumRun += runHistogram[i];
    while (cumRun > cumRef && j < nRef) cumRef += referenceHistogram[j++];
    map[i] = static_cast<Level>(j == 0 ? 0 : j - 1);
  }
  if (cumRun == 0 || cumRef == 0) fail(map, message, L"Cannot match histogram if either is empty.");
}

template <class Level>
void matchHistogramFractions(const std::vector<unsigned long>& referenceHistogram,
                             const std::vector<unsigned long>& runHistogram,
                             std::vector<Level>& map, std::wstring& message) {
  std::uint64_t nRun = 0, nRef = 0;
  for (unsigned long n : runHistogram) nRun += n;
  for (unsigned long n : referenceHistogram) nRef += n;
  map.assign(runHistogram.size(), 0);
  std::uint64_t cumRun = 0, cumRef = 0;
  std::size_t j = 0;
  for (std::size_t i = 0; i < runHistogram.size(); ++i) {
    cumRun += runHistogram[i];
    while (cumRun * nRef > cumRef * nRun && j < referenceHistogram.size())
      cumRef += referenceHistogram[j++];
    map[i] = static_cast<Level>(j == 0 ? 0 : j - 1);
  }
  if (nRun == 0 || nRef == 0) fail(map, message, L"Cannot match histogram if either is empty.");
}

template <class Level>
void matchMeanAndStddev(const kcHistoStats& reference, const kcHistoStats& run,
                        std::vector<Level>& map, std::wstring& message) {
  if (run.nSamp() == 0 || run.sDev() == 0.0) {
    fail(map, message, L"Cannot match when standard deviation is 0.");
    return;
  }
  const double gain = reference.sDev() / run.sDev();
  const double offset = reference.mean() - run.mean() * gain;
  linearMap(gain, offset, run.histogram().size(), map);
}

template <class Level>
void matchHistogramTails(const kcHistoStats& reference, const kcHistoStats& run,
                         const kcPair<long>& percentages, std::vector<Level>& map,
                         std::wstring& message) {
  const std::size_t size = run.histogram().size();
  if (percentages.x() == percentages.y()) {
    map.resize(size);
    for (std::size_t i = 0; i < size; ++i) map[i] = static_cast<Level>(i);
    return;
  }
  const int lo = static_cast<int>(percentages.x()), hi = static_cast<int>(percentages.y());
  const long rLo = run.inverseCum(lo), rHi = run.inverseCum(hi);
  const long fLo = reference.inverseCum(lo), fHi = reference.inverseCum(hi);
  if (rLo == rHi) {
    fail(map, message, L"Cannot match the specified tails for this image.");
    return;
  }
  const double gain = static_cast<double>(fHi - fLo) / static_cast<double>(rHi - rLo);
  const double offset = static_cast<double>(fLo) - static_cast<double>(rLo) * gain;
  linearMap(gain, offset, size, map);
}

#define IMGNORM_GLOBAL_MAPS_FOR(Level)                                                             \
  template void matchHistogram(const std::vector<unsigned long>&,                                  \
                               const std::vector<unsigned long>&, std::vector<Level>&,             \
                               std::wstring&);                                                     \
  template void matchHistogramFractions(const std::vector<unsigned long>&,                         \
                                        const std::vector<unsigned long>&, std::vector<Level>&,    \
                                        std::wstring&);                                            \
  template void matchMeanAndStddev(const kcHistoStats&, const kcHistoStats&, std::vector<Level>&,  \
                                   std::wstring&);                                                 \
  template void matchHistogramTails(const kcHistoStats&, const kcHistoStats&, const kcPair<long>&, \
                                    std::vector<Level>&, std::wstring&);

IMGNORM_GLOBAL_MAPS_FOR(unsigned char)
IMGNORM_GLOBAL_MAPS_FOR(unsigned short)

}  // namespace imgnorm
