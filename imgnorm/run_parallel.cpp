#include "imgnorm/run_parallel.h"

#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

#include "host/detail/crew.h"
#include "imaging/pel_copy.h"
#include "imgnorm/detail/local_correction.h"
#include "imgnorm/detail/map_builders.h"
#include "imgnorm/run_parts.h"
#include "pelfuncs/masked_copy_divide.h"

using namespace kcImageNormalizerDefs;

namespace imgnorm {

namespace {

using Rows = std::pair<long, long>;  // [first, last)

// Below this many pels a strip costs more in starting a thread than it gains.
constexpr long kMinPelsPerStrip = 1L << 18;
// While a local method runs a strip it holds a copy of the strip's rows and
// margins; above this many pels an image gets more strips than threads, so
// that those copies stay small next to the image (the margins cost a few
// per cent more work).
constexpr long kMaxPelsPerLocalStrip = 1L << 24;

// rows first .. last - 1 split into strips of nearly equal height.
std::vector<Rows> splitRows(long first, long last, long strips) {
  std::vector<Rows> ranges;
  const long height = last - first;
  for (long i = 0; i < strips; ++i)
    ranges.emplace_back(first + height * i / strips, first + height * (i + 1) / strips);
  return ranges;
}

// The view of image narrowed to rows, same buffer type.
template <class Buffer>
Buffer rowsOf(const Buffer& image, const Rows& rows) {
  Buffer view = image;
  view.window(kcPelRect(image.window().x(), rows.first, image.width(), rows.second - rows.first),
              false);
  return view;
}

// Whether the run can be split at all; otherwise run itself answers (with
// its exceptions for bad requests). Untrained methods need no check here:
// the parts refuse them with run's own NotTrained.
template <class Pel>
bool splittable(const kcImageNormalizer& tool, const kcPelBuffer_const<Pel>& image, Method method) {
  if (!image.isBound() || !methodInfo(method)) return false;
  if (coveredWindow(tool, image.window()).height() < 2) return false;
  return !isLocal(method) || localMargin(tool, method).has_value();
}

// Counts per strip, one map, the strips through it.
template <class Pel>
kcPelBuffer<Pel> mapInStrips(const kcImageNormalizer& tool, const kcPelBuffer_const<Pel>& view,
                             Method method, const std::vector<Rows>& strips, kcCrew& crew,
                             bool& success, std::wstring& message,
                             kcNormalizationExplanation* explanation) {
  std::vector<Counts> counts(strips.size());
  crew.forEach(strips.size(), [&](std::size_t i) {
    counts[i] = countPart(tool, rowsOf(view, strips[i]), method);
  });
  for (std::size_t i = 1; i < counts.size(); ++i)
    std::transform(counts[0].begin(), counts[0].end(), counts[i].begin(), counts[0].begin(),
                   std::plus<>());
  const auto loop = [&crew](std::size_t n, const std::function<void(std::size_t)>& work) {
    crew.forEach(n, work);
  };
  kcNormalizationExplanation e = explanationOfCounts(tool, method, counts[0], view.window(), loop);
  const std::vector<Pel>& map = explainedMap<Pel>(e);
  if (explanation) *explanation = e;
  // A map that cannot be built is rare: one run gives what it leaves (the
  // pels kept outside the mask, say) rather than a copy of its rules here.
  if (map.empty()) return tool.run(view, method, success, message);
  kcPelBuffer<Pel> result(view.window(), 32, kcForOverwrite{});  // strips fill it
  crew.forEach(strips.size(), [&](std::size_t i) {
    kcPelBuffer<Pel> destination = rowsOf(result, strips[i]);
    mapPartInto(tool, rowsOf(view, strips[i]), map, destination);
  });
  success = true;
  return result;
}

// The local correction of part (rows of the region whole was made for) with
// whole's mask products cut to it: near part's ends they are those of the
// region, not of a mask cut there, so nothing is smoothed twice.
template <class Pel>
kcPelBuffer<Pel> correctPart(const LocalCorrectionInputs& whole, const kcPelBuffer_const<Pel>& part,
                             Method method) {
  LocalCorrectionInputs in = whole;
  if (in.binaryMask.isBound()) in.binaryMask.window(part.window(), false);
  if (in.maskWeights.isBound()) in.maskWeights.window(part.window(), false);
  kcPelBuffer<Pel> result;
  localCorrection(part, in, method, result);
  return result;
}

// Each strip run with its filter's margin above and below; its own rows kept.
template <class Pel>
kcPelBuffer<Pel> correctInStrips(const kcImageNormalizer& tool, const kcPelBuffer_const<Pel>& view,
                                 Method method, const std::vector<Rows>& strips, kcCrew& crew) {
  const long margin = localMargin(tool, method)->y();
  const kcPelRect& region = view.window();
  // One run over a region smaller than the mask makes its mask products for
  // the region: so do the strips, once for all of them.
  const LocalCorrectionInputs whole = inputsForRect(localInputsOf(tool), region, method);
  kcPelBuffer<Pel> result(region, 32, kcForOverwrite{});  // strips fill it
  crew.forEach(strips.size(), [&](std::size_t i) {
    const Rows reach(std::max(strips[i].first - margin, region.y()),
                     std::min(strips[i].second + margin, region.bottom()));
    kcPelBuffer<Pel> destination = rowsOf(result, strips[i]);
    kfPelCopy(correctPart(whole, rowsOf(view, reach), method), destination);
    if (tool.keepMaskedPixels() && tool.binaryMask().isBound())
      kf_MaskedPelCopy(rowsOf(view, strips[i]), tool.binaryMask(), destination, true);
  });
  return result;
}

template <class Pel>
kcPelBuffer<Pel> splitRun(const kcImageNormalizer& tool, const kcPelBuffer_const<Pel>& image,
                          Method method, long strips, unsigned threads, bool& success,
                          std::wstring& message, kcNormalizationExplanation* explanation) {
  // A map explained is counted once, in one strip when the image cannot be
  // split, and its explanation comes from those counts.
  const bool explained = explanation && hasMap(method) && image.isBound();
  const bool split = strips >= 2 && splittable(tool, image, method);
  const kcPelRect covered = image.isBound() ? coveredWindow(tool, image.window()) : kcPelRect();
  if (!split && (!explained || covered.isNull())) {
    if (explained) *explanation = kfExplainNormalization(tool, image, method);
    return tool.run(image, method, success, message);
  }
  if (!split) strips = 1;
  kcPelBuffer_const<Pel> view = image;
  view.window(covered, false);
  const std::vector<Rows> ranges =
      splitRows(view.window().y(), view.window().bottom(), std::min(strips, view.height()));
  success = false;
  message.clear();
  kcPelBuffer<Pel> result;
  kcCrew crew(std::min(static_cast<std::size_t>(threads), ranges.size()));
  if (isLocal(method)) {
    result = correctInStrips(tool, view, method, ranges, crew);
    success = true;
  } else {
    result = mapInStrips(tool, view, method, ranges, crew, success, message, explanation);
  }
  if (result.isBound()) result.copyXforms(view);
  return result;
}

}  // namespace

kcPelBuffer<unsigned char> runInStrips(const kcImageNormalizer& tool,
                                       const kcPelBuffer_const<unsigned char>& image, Method method,
                                       long strips, unsigned threads, bool& success,
                                       std::wstring& message,
                                       kcNormalizationExplanation* explanation) {
  return splitRun(tool, image, method, strips, threads, success, message, explanation);
}

kcPelBuffer<unsigned short> runInStrips(const kcImageNormalizer& tool,
                                        const kcPelBuffer_const<unsigned short>& image,
                                        Method method, long strips, unsigned threads, bool& success,
                                        std::wstring& message,
                                        kcNormalizationExplanation* explanation) {
  return splitRun(tool, image, method, strips, threads, success, message, explanation);
}

}  // namespace imgnorm

namespace {

template <class Pel>
long stripsFor(const kcImageNormalizer& tool, const kcPelBuffer_const<Pel>& image, Method method,
               unsigned threads) {
  const kcPelRect covered =
      image.isBound() ? imgnorm::coveredWindow(tool, image.window()) : kcPelRect();
  const long rowsPerStrip = std::max(1L, imgnorm::kMinPelsPerStrip / std::max(1L, covered.width()));
  const long worthwhile = covered.height() / rowsPerStrip;
  long strips = std::min(static_cast<long>(threads), worthwhile);
  if (strips >= 2 && isLocal(method))
    strips =
        std::max(strips, (covered.width() * covered.height() + imgnorm::kMaxPelsPerLocalStrip - 1) /
                             imgnorm::kMaxPelsPerLocalStrip);
  return strips;
}

}  // namespace

kcPelBuffer<unsigned char> kfRunParallel(const kcImageNormalizer& tool,
                                         const kcPelBuffer_const<unsigned char>& image,
                                         Method method, unsigned threads, bool& success,
                                         std::wstring& message) {
  return imgnorm::runInStrips(tool, image, method, stripsFor(tool, image, method, threads), threads,
                              success, message);
}

kcPelBuffer<unsigned char> kfRunParallel(const kcImageNormalizer& tool,
                                         const kcPelBuffer_const<unsigned char>& image,
                                         Method method, unsigned threads, bool& success,
                                         std::wstring& message,
                                         kcNormalizationExplanation& explanation) {
  return imgnorm::runInStrips(tool, image, method, stripsFor(tool, image, method, threads), threads,
                              success, message, &explanation);
}

kcPelBuffer<unsigned short> kfRunParallel(const kcImageNormalizer& tool,
                                          const kcPelBuffer_const<unsigned short>& image,
                                          Method method, unsigned threads, bool& success,
                                          std::wstring& message) {
  return imgnorm::runInStrips(tool, image, method, stripsFor(tool, image, method, threads), threads,
                              success, message);
}

kcPelBuffer<unsigned short> kfRunParallel(const kcImageNormalizer& tool,
                                          const kcPelBuffer_const<unsigned short>& image,
                                          Method method, unsigned threads, bool& success,
                                          std::wstring& message,
                                          kcNormalizationExplanation& explanation) {
  return imgnorm::runInStrips(tool, image, method, stripsFor(tool, image, method, threads), threads,
                              success, message, &explanation);
}
