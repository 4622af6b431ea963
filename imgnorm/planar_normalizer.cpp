#include "imgnorm/planar_normalizer.h"

#include <type_traits>

#include "imaging/pel_copy.h"
#include "imaging/pel_map.h"
#include "imgnorm/persistence.h"
#include "imgnorm/run_parallel.h"

using namespace kcImageNormalizerDefs;

namespace {

template <class Pel>
void checkPlanes(const kcPlanesOf<Pel>& image) {
  bool fine = !image.empty() && image.size() <= 4;
  for (std::size_t i = 0; fine && i < image.size(); ++i)
    fine = image[i].isBound() && image[i].window() == image[0].window();
  if (!fine)
    throw BadImage(
        L"An image has 1 (gray), 2 (gray and alpha), 3 (RGB) or 4 (RGBA) bound planes "
        L"over one window.");
}

template <class Pel>
bool hasAlpha(const kcPlanesOf<Pel>& image) {
  return image.size() == 2 || image.size() == 4;
}

// The colour planes of a reference for a colour tool: a gray one's level in
// every channel.
template <class Pel>
kcPlanesOf<Pel> rgbOf(const kcPlanesOf<Pel>& reference) {
  if (reference.size() >= 3) return {reference[0], reference[1], reference[2]};
  return {reference[0], reference[0], reference[0]};
}

// The alpha plane over the result's window, copied so that the result owns it.
template <class Pel>
kcPelBuffer<Pel> alphaOver(const kcPlanesOf<Pel>& image, const kcPelRect& window) {
  kcPelBuffer_const<Pel> alpha = image.back();
  alpha.window(window, false);
  return kfPelCopy(alpha);
}

}  // namespace

kcPlanarNormalizer::Mode kcPlanarNormalizer::mode() const {
  const kcColorImageNormalizer* colour = colourTool();
  if (!colour) return eGray;
  return colour->mode() == kcColorImageNormalizer::eLuminance ? eLuminance : eChannels;
}

const kcImageNormalizer& kcPlanarNormalizer::grayTool() const {
  const kcColorImageNormalizer* colour = colourTool();
  return colour ? colour->grayTools().front() : std::get<kcImageNormalizer>(tool_);
}

const kcColorImageNormalizer* kcPlanarNormalizer::colourTool() const {
  return std::get_if<kcColorImageNormalizer>(&tool_);
}

std::vector<std::wstring> kcPlanarNormalizer::planeNames() const {
  const kcColorImageNormalizer* colour = colourTool();
  return colour ? colour->planeNames() : std::vector<std::wstring>{L"gray"};
}

void kcPlanarNormalizer::model(Model model) {
  std::visit([model](auto& tool) { tool.model(model); }, tool_);
}

void kcPlanarNormalizer::set(const kcPair<double>& tailFractions,
                             const kcPair<long>& intensityVariationRange, bool keepMaskedPixels) {
  std::visit(
      [&](auto& tool) { tool.set(tailFractions, intensityVariationRange, keepMaskedPixels); },
      tool_);
}

kcColorImageNormalizer kcPlanarNormalizer::newColourTool(Mode mode) const {
  return kcColorImageNormalizer(
      mode == eLuminance ? kcColorImageNormalizer::eLuminance : kcColorImageNormalizer::eChannels,
      grayTool());
}

void kcPlanarNormalizer::train(Mode mode, const kcColorPlanes& reference,
                               const kcPelBuffer_const<unsigned char>& mask, Method methods,
                               kcDiagObject* diag, unsigned long diagFlags, bool copy) {
  checkPlanes(reference);
  const bool colour = reference.size() >= 3;
  if (mode != eGray) {
    kcColorImageNormalizer tool = newColourTool(mode);
    tool.train(rgbOf(reference), mask, methods, diag, diagFlags);
    tool_ = std::move(tool);
    return;
  }
  kcImageNormalizer tool = grayTool();
  // The luma is the tool's own already.
  if (colour)
    tool.referenceImage(kfLumaPlane(reference), false);
  else
    tool.referenceImage(reference[0], copy);
  tool.maskImage(mask, copy);
  trainGray(std::move(tool), methods, diag, diagFlags);
}

void kcPlanarNormalizer::trainWide(Mode mode, const kcWidePlanes& reference, int bits,
                                   const kcPelBuffer_const<unsigned char>& mask, Method methods,
                                   bool copy) {
  checkPlanes(reference);
  const bool colour = reference.size() >= 3;
  if (mode != eGray) {
    kcColorImageNormalizer tool = newColourTool(mode);
    tool.train(rgbOf(reference), bits, mask, methods);
    tool_ = std::move(tool);
    return;
  }
  kcImageNormalizer tool = grayTool();
  if (colour)
    tool.referenceImage(kfLumaPlane(reference), bits, true);
  else
    tool.referenceImage(reference[0], bits, copy);
  tool.maskImage(mask, copy);
  trainGray(std::move(tool), methods, nullptr, 0);
}

void kcPlanarNormalizer::trainGray(kcImageNormalizer tool, Method methods, kcDiagObject* diag,
                                   unsigned long diagFlags) {
  try {
    tool.train(methods, diag, diagFlags);
  } catch (const CanNotTrain&) {
    // An empty reference histogram fails the global methods only: the tool
    // keeps its new images and the other methods, as a gray tool does.
    const bool othersTrained = (methods & ~kKnownMethods) == 0 && (methods & kGlobalMethods) &&
                               tool.referenceStats().nSamp() == 0 &&
                               tool.trainedMethods() == (methods & ~kGlobalMethods);
    if (othersTrained) tool_ = std::move(tool);
    throw;
  }
  tool_ = std::move(tool);
}

std::vector<unsigned char> kcPlanarNormalizer::fileBytes() const {
  const kcColorImageNormalizer* colour = colourTool();
  return colour ? kfColorImageNormalizerBytes(*colour) : kfImageNormalizerBytes(grayTool());
}

template <class Pel>
kcPlanarRunOf<Pel> kcPlanarNormalizer::run(const kcPlanesOf<Pel>& image, Method method,
                                           const kcPlanarRunOptions& options) const {
  checkPlanes(image);
  return colourTool() ? runColour(image, method, options) : runGray(image, method, options);
}

template <class Pel>
kcPlanesOf<Pel> kcPlanarNormalizer::toolPlanes(const kcPlanesOf<Pel>& image) const {
  checkPlanes(image);
  const bool colour = image.size() >= 3;
  // A colour image meets a gray tool as its luma, a gray image a colour
  // tool as its level in every channel; alpha is no tool's.
  if (!colourTool()) return {colour ? kcPelBuffer_const<Pel>(kfLumaPlane(image)) : image[0]};
  if (!colour) return {image[0], image[0], image[0]};
  return {image[0], image[1], image[2]};
}

template <class Pel>
bool kcPlanarNormalizer::mapsWhole(const kcPlanesOf<Pel>& image, Method method, bool placed) const {
  const kcPelRect& w = image.front().window();
  return !placed && kfMapsWholeImage(grayTool(), {w.width(), w.height()}, method);
}

template <class Pel>
std::vector<kcNormalizationExplanation> kcPlanarNormalizer::explain(const kcPlanesOf<Pel>& image,
                                                                    Method method,
                                                                    bool placed) const {
  const kcPlanesOf<Pel> planes = toolPlanes(image);
  const bool whole = mapsWhole(image, method, placed);
  if (const kcColorImageNormalizer* colour = colourTool())
    return whole ? colour->explainWholeImage(planes, method) : colour->explain(planes, method);
  return {whole ? kfExplainWholeImage(grayTool(), planes[0], method)
                : kfExplainNormalization(grayTool(), planes[0], method)};
}

std::vector<const kcImageNormalizer*> kcPlanarNormalizer::grayTools() const {
  const kcColorImageNormalizer* colour = colourTool();
  if (!colour) return {&grayTool()};
  std::vector<const kcImageNormalizer*> tools;
  for (const auto& tool : colour->grayTools()) tools.push_back(&tool);
  return tools;
}

template <class Pel>
kcPlanesOf<Pel> kcPlanarNormalizer::grayPlanes(const kcPlanesOf<Pel>& image) const {
  const kcColorImageNormalizer* colour = colourTool();
  return colour ? colour->grayPlanes(toolPlanes(image)) : toolPlanes(image);
}

template <class Pel>
kcResultOf<Pel> kcPlanarNormalizer::compose(const kcPlanesOf<Pel>& image,
                                            const kcResultOf<Pel>& grayResults) const {
  checkPlanes(image);
  if (const kcColorImageNormalizer* colour = colourTool()) {
    kcPlanesOf<Pel> planes = toolPlanes(image);
    if (hasAlpha(image)) planes.push_back(image.back());
    return colour->compose(planes, grayResults);
  }
  if (grayResults.size() != 1) throw BadImage(L"A gray tool gives one result plane.");
  kcResultOf<Pel> result = grayResults;
  if (hasAlpha(image)) result.push_back(alphaOver(image, grayResults.front().window()));
  return result;
}

template <class Pel>
kcPlanarRunOf<Pel> kcPlanarNormalizer::runGray(const kcPlanesOf<Pel>& image, Method method,
                                               const kcPlanarRunOptions& options) const {
  const kcImageNormalizer& tool = grayTool();
  const kcPelBuffer_const<Pel> gray = toolPlanes(image)[0];
  const bool explain = options.explain && hasMap(method);
  // 16-bit runs make no records.
  const bool recorded = std::is_same_v<Pel, unsigned char> && options.diag;
  kcPlanarRunOf<Pel> run;
  kcPelBuffer<Pel> result;
  if (mapsWhole(image, method, options.placed)) {
    run.explanations.push_back(kfExplainWholeImage(tool, gray, method));
    run.success = run.explanations.back().success;
    run.message = run.explanations.back().message;
    if (run.success) result = kfApplyMap(gray, run.explanations.back());
  } else if (recorded) {
    // Records come from one run, explained apart.
    if (explain) run.explanations.push_back(kfExplainNormalization(tool, gray, method));
    if constexpr (std::is_same_v<Pel, unsigned char>)
      result = tool.run(gray, method, run.success, run.message, options.diag, options.diagFlags);
  } else {
    // Spare threads share the rows; an explained map is the one the run
    // built and applied.
    kcNormalizationExplanation explanation;
    result = explain ? kfRunParallel(tool, gray, method, options.threads, run.success, run.message,
                                     explanation)
                     : kfRunParallel(tool, gray, method, options.threads, run.success, run.message);
    if (explain) run.explanations.push_back(std::move(explanation));
  }
  if (!run.success || !result.isBound()) return run;
  const kcPelRect covered = result.window();
  run.planes.push_back(std::move(result));
  if (hasAlpha(image)) run.planes.push_back(alphaOver(image, covered));
  return run;
}

template <class Pel>
kcPlanarRunOf<Pel> kcPlanarNormalizer::runColour(const kcPlanesOf<Pel>& image, Method method,
                                                 const kcPlanarRunOptions& options) const {
  const kcColorImageNormalizer& tool = *colourTool();
  kcPlanesOf<Pel> planes = toolPlanes(image);
  if (hasAlpha(image)) planes.push_back(image.back());  // the colour run carries it
  const bool whole = mapsWhole(image, method, options.placed);
  kcPlanarRunOf<Pel> run;
  auto* explanations = options.explain || whole ? &run.explanations : nullptr;
  run.planes = whole ? tool.runWholeImage(planes, method, run.success, run.message, explanations)
                     : tool.run(planes, method, run.success, run.message, explanations);
  if (!run.success) run.planes.clear();
  return run;
}

// Both depths, for the library's users.
#define IMGNORM_PLANAR_DEPTH(Pel)                                                        \
  template kcPlanarRunOf<Pel> kcPlanarNormalizer::run(const kcPlanesOf<Pel>&, Method,    \
                                                      const kcPlanarRunOptions&) const;  \
  template std::vector<kcNormalizationExplanation> kcPlanarNormalizer::explain(          \
      const kcPlanesOf<Pel>&, Method, bool) const;                                       \
  template kcPlanesOf<Pel> kcPlanarNormalizer::grayPlanes(const kcPlanesOf<Pel>&) const; \
  template kcResultOf<Pel> kcPlanarNormalizer::compose(const kcPlanesOf<Pel>&,           \
                                                       const kcResultOf<Pel>&) const;
IMGNORM_PLANAR_DEPTH(unsigned char)
IMGNORM_PLANAR_DEPTH(unsigned short)
#undef IMGNORM_PLANAR_DEPTH
