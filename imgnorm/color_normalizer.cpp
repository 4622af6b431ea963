#include "imgnorm/color_normalizer.h"

#include <cstring>

#include "host/archive.h"
#include "host/str.h"
#include "imaging/pel_copy.h"
#include "imaging/pel_map.h"
#include "imgnorm/detail/tool_file_errors.h"
#include "imgnorm/diag_categories.h"
#include "imgnorm/persistence.h"
#include "imgnorm/run_parallel.h"

using namespace kcImageNormalizerDefs;

namespace {

constexpr unsigned char kColorFileSignature[8] = {'k', 'c', 'I', 'm', 'g', 'N', 'r', 'C'};

std::size_t grayToolCount(kcColorImageNormalizer::Mode mode) {
  return mode == kcColorImageNormalizer::eLuminance ? 1 : 3;
}

template <class Pel>
void checkColorImage(const kcPlanesOf<Pel>& image) {
  const bool planes = image.size() == 3 || image.size() == 4;
  bool sameWindow = planes;
  for (std::size_t i = 0; sameWindow && i < image.size(); ++i)
    sameWindow = image[i].isBound() && image[i].window() == image[0].window();
  if (!sameWindow)
    throw BadImage(L"A colour image has 3 (RGB) or 4 (RGBA) bound planes over one window.");
}

// Luma times 1000, so that the exact value is kept in integers: at most
// 1000 * 65535, well within a long.
inline long luma1000(unsigned r, unsigned g, unsigned b) { return 299L * r + 587L * g + 114L * b; }

template <class Pel>
void lumaRow(const Pel* r, const Pel* g, const Pel* b, long n, Pel* y) {
  for (long x = 0; x < n; ++x) y[x] = static_cast<Pel>((luma1000(r[x], g[x], b[x]) + 500) / 1000);
}

// c + (normalized luma - exact luma), clipped to 0 .. top, rounding halves
// down so that a pel whose luma level is unchanged keeps its channels.
template <class Pel>
inline Pel shifted(Pel c, Pel normalized, long exact1000, long top) {
  const long v = 1000L * (c + normalized) - exact1000 + 499;
  return static_cast<Pel>(v < 0 ? 0 : (v >= 1000 * (top + 1) ? top : v / 1000));
}

template <class Pel>
void shiftRow(const Pel* r, const Pel* g, const Pel* b, const Pel* y, long n, long top, Pel* outR,
              Pel* outG, Pel* outB) {
  for (long x = 0; x < n; ++x) {
    const long exact = luma1000(r[x], g[x], b[x]);
    outR[x] = shifted(r[x], y[x], exact, top);
    outG[x] = shifted(g[x], y[x], exact, top);
    outB[x] = shifted(b[x], y[x], exact, top);
  }
}

template <class Pel>
kcPelBuffer<Pel> cropped(kcPelBuffer_const<Pel> plane, const kcPelRect& window) {
  plane.window(window, false);
  return kfPelCopy(plane);
}

template <class Pel>
kcPelBuffer<Pel> lumaOf(const kcPlanesOf<Pel>& image) {
  checkColorImage(image);
  const kcPelRect& w = image[0].window();
  kcPelBuffer<Pel> luma(w);
  for (long y = w.y(); y < w.bottom(); ++y)
    lumaRow(image[0].pointToPel(w.x(), y), image[1].pointToPel(w.x(), y),
            image[2].pointToPel(w.x(), y), w.width(), luma.pointToPel(w.x(), y));
  luma.copyXforms(image[0]);
  return luma;
}

// Whether two channels' tools cover the same pels: the planes of a colour
// image share one window, and so must the results composed from them.
bool sameWindows(const kcImageNormalizer& a, const kcImageNormalizer& b) {
  const auto windowOf = [](const kcPelBuffer_const<unsigned char>& image) {
    return image.isBound() ? image.window() : kcPelRect();
  };
  return a.referenceImage().isBound() == b.referenceImage().isBound() &&
         a.maskImage().isBound() == b.maskImage().isBound() &&
         a.referenceWindow() == b.referenceWindow() &&
         windowOf(a.maskImage()) == windowOf(b.maskImage());
}

}  // namespace

kcColorImageNormalizer::kcColorImageNormalizer(Mode mode, const kcImageNormalizer& configuration)
    : mode_(mode) {
  if (mode != eChannels && mode != eLuminance) throw BadParams(L"Unknown colour mode.");
  kcImageNormalizer prototype = configuration;
  prototype.referenceImage(kcPelBuffer_const<unsigned char>(), false);
  prototype.maskImage(kcPelBuffer_const<unsigned char>(), false);
  tools_.assign(grayToolCount(mode), prototype);
}

Method kcColorImageNormalizer::trainedMethods() const {
  return tools_.empty() ? eIdentity : tools_.front().trainedMethods();
}

template <class Pel, class SetReference>
void kcColorImageNormalizer::trainEach(const kcPlanesOf<Pel>& reference, SetReference setReference,
                                       const kcPelBuffer_const<unsigned char>& mask, Method methods,
                                       kcDiagObject* diag, unsigned long diagFlags) {
  checkColorImage(reference);
  const kcPlanesOf<Pel> planes = grayPlanes(reference);
  const std::vector<std::wstring> names = planeNames();
  const long level = diag ? diag->level() : 0;
  std::vector<kcImageNormalizer> trained = tools_;
  for (std::size_t i = 0; i < trained.size(); ++i) {
    setReference(trained[i], planes[i]);
    trained[i].maskImage(mask, true);
    if (diag && diag->shouldRecord(diagFlags, kDiagInputs)) {
      diag->level(level);
      kf_AddText(diag, L"plane=" + names[i] + L"\n", L"Colour plane");
      diag->level(level + 1);
    }
    try {
      trained[i].train(methods, diag, diagFlags);
    } catch (...) {
      if (diag) diag->level(level);
      throw;
    }
  }
  if (diag) diag->level(level);
  tools_ = std::move(trained);
}

void kcColorImageNormalizer::train(const kcColorPlanes& reference,
                                   const kcPelBuffer_const<unsigned char>& mask, Method methods,
                                   kcDiagObject* diag, unsigned long diagFlags) {
  const auto setReference = [](kcImageNormalizer& tool,
                               const kcPelBuffer_const<unsigned char>& plane) {
    tool.referenceImage(plane, true);
  };
  trainEach(reference, setReference, mask, methods, diag, diagFlags);
}

void kcColorImageNormalizer::train(const kcWidePlanes& reference, int bits,
                                   const kcPelBuffer_const<unsigned char>& mask, Method methods) {
  const auto setReference = [bits](kcImageNormalizer& tool,
                                   const kcPelBuffer_const<unsigned short>& plane) {
    tool.referenceImage(plane, bits, true);
  };
  trainEach(reference, setReference, mask, methods, nullptr, 0);
}

std::vector<std::wstring> kcColorImageNormalizer::planeNames() const {
  if (mode_ == eLuminance) return {L"luminance"};
  return {L"red", L"green", L"blue"};
}

void kcColorImageNormalizer::model(kcImageNormalizerDefs::Model model) {
  for (auto& tool : tools_) tool.model(model);
}

void kcColorImageNormalizer::set(const kcPair<double>& tailFractions,
                                 const kcPair<long>& intensityVariationRange,
                                 bool keepMaskedPixels) {
  for (auto& tool : tools_) tool.set(tailFractions, intensityVariationRange, keepMaskedPixels);
}

template <class Pel>
kcPlanesOf<Pel> kcColorImageNormalizer::grayPlanes(const kcPlanesOf<Pel>& image) const {
  checkColorImage(image);
  if (mode_ == eChannels) return {image[0], image[1], image[2]};
  return {lumaOf(image)};
}

kcPelBuffer<unsigned char> kfLumaPlane(const kcColorPlanes& image) { return lumaOf(image); }
kcPelBuffer<unsigned short> kfLumaPlane(const kcWidePlanes& image) { return lumaOf(image); }

template <class Pel>
kcResultOf<Pel> kcColorImageNormalizer::compose(const kcPlanesOf<Pel>& image,
                                                const kcResultOf<Pel>& grayResults) const {
  const kcPelRect w = grayResults.front().window();
  for (const auto& plane : grayResults)
    if (plane.window() != w) throw BadImage(L"The channels' results differ in their windows.");
  kcResultOf<Pel> result;
  if (mode_ == eChannels) {
    result = grayResults;
  } else {
    const long top = (1L << tools_.front().bits()) - 1;
    for (int c = 0; c < 3; ++c) result.emplace_back(w);
    const kcPelBuffer<Pel>& luma = grayResults.front();
    for (long y = w.y(); y < w.bottom(); ++y)
      shiftRow(image[0].pointToPel(w.x(), y), image[1].pointToPel(w.x(), y),
               image[2].pointToPel(w.x(), y), luma.pointToPel(w.x(), y), w.width(), top,
               result[0].pointToPel(w.x(), y), result[1].pointToPel(w.x(), y),
               result[2].pointToPel(w.x(), y));
    for (auto& plane : result) plane.copyXforms(luma);
  }
  if (image.size() == 4) result.push_back(cropped(image[3], w));
  return result;
}

template <class Pel, class GrayRun>
kcResultOf<Pel> kcColorImageNormalizer::runEach(const kcPlanesOf<Pel>& image, GrayRun grayRun,
                                                bool& success, std::wstring& message) const {
  const kcPlanesOf<Pel> planes = grayPlanes(image);
  kcResultOf<Pel> grayResults;
  for (std::size_t i = 0; i < tools_.size(); ++i) {
    grayResults.push_back(grayRun(tools_[i], planes[i], success, message));
    if (!success || !grayResults.back().isBound()) return {};
  }
  return compose(image, grayResults);
}

template <class Pel>
kcResultOf<Pel> kcColorImageNormalizer::run(
    const kcPlanesOf<Pel>& image, Method method, bool& success, std::wstring& message,
    std::vector<kcNormalizationExplanation>* explanations) const {
  const bool explained = explanations && hasMap(method);
  if (explained) explanations->clear();
  return runEach(
      image,
      [&](const kcImageNormalizer& tool, const kcPelBuffer_const<Pel>& plane, bool& ok,
          std::wstring& why) {
        if (!explained) return tool.run(plane, method, ok, why);
        kcNormalizationExplanation e;
        kcPelBuffer<Pel> result = kfRunParallel(tool, plane, method, 1, ok, why, e);
        explanations->push_back(std::move(e));
        return result;
      },
      success, message);
}

template <class Pel>
kcResultOf<Pel> kcColorImageNormalizer::runWholeImage(
    const kcPlanesOf<Pel>& image, Method method, bool& success, std::wstring& message,
    std::vector<kcNormalizationExplanation>* explanations) const {
  if (explanations) explanations->clear();
  return runEach(
      image,
      [&](const kcImageNormalizer& tool, const kcPelBuffer_const<Pel>& plane, bool& ok,
          std::wstring& why) {
        kcNormalizationExplanation e = kfExplainWholeImage(tool, plane, method);
        ok = e.success;
        why = e.message;
        kcPelBuffer<Pel> result = ok ? kfApplyMap(plane, e) : kcPelBuffer<Pel>();
        if (explanations) explanations->push_back(std::move(e));
        return result;
      },
      success, message);
}

template <class Pel>
std::vector<kcNormalizationExplanation> kcColorImageNormalizer::explain(
    const kcPlanesOf<Pel>& image, Method method) const {
  const kcPlanesOf<Pel> planes = grayPlanes(image);
  std::vector<kcNormalizationExplanation> explanations;
  for (std::size_t i = 0; i < tools_.size(); ++i)
    explanations.push_back(kfExplainNormalization(tools_[i], planes[i], method));
  return explanations;
}

template <class Pel>
std::vector<kcNormalizationExplanation> kcColorImageNormalizer::explainWholeImage(
    const kcPlanesOf<Pel>& image, Method method) const {
  const kcPlanesOf<Pel> planes = grayPlanes(image);
  std::vector<kcNormalizationExplanation> explanations;
  for (std::size_t i = 0; i < tools_.size(); ++i)
    explanations.push_back(kfExplainWholeImage(tools_[i], planes[i], method));
  return explanations;
}

// Both depths, for the library's users.
#define IMGNORM_COLOUR_DEPTH(Pel)                                                             \
  template kcPlanesOf<Pel> kcColorImageNormalizer::grayPlanes(const kcPlanesOf<Pel>&) const;  \
  template kcResultOf<Pel> kcColorImageNormalizer::compose(const kcPlanesOf<Pel>&,            \
                                                           const kcResultOf<Pel>&) const;     \
  template kcResultOf<Pel> kcColorImageNormalizer::run(                                       \
      const kcPlanesOf<Pel>&, Method, bool&, std::wstring&,                                   \
      std::vector<kcNormalizationExplanation>*) const;                                        \
  template kcResultOf<Pel> kcColorImageNormalizer::runWholeImage(                             \
      const kcPlanesOf<Pel>&, Method, bool&, std::wstring&,                                   \
      std::vector<kcNormalizationExplanation>*) const;                                        \
  template std::vector<kcNormalizationExplanation> kcColorImageNormalizer::explain(           \
      const kcPlanesOf<Pel>&, Method) const;                                                  \
  template std::vector<kcNormalizationExplanation> kcColorImageNormalizer::explainWholeImage( \
      const kcPlanesOf<Pel>&, Method) const;
IMGNORM_COLOUR_DEPTH(unsigned char)
IMGNORM_COLOUR_DEPTH(unsigned short)
#undef IMGNORM_COLOUR_DEPTH

bool kcColorImageNormalizer::operator==(const kcColorImageNormalizer& other) const {
  return mode_ == other.mode_ && tools_ == other.tools_;
}

std::vector<unsigned char> kfColorImageNormalizerBytes(const kcColorImageNormalizer& tool) {
  kcArchive ar;
  ar.writeBytes(kColorFileSignature, sizeof kColorFileSignature);
  unsigned char version = 0, mode = tool.mode();
  unsigned char count = static_cast<unsigned char>(tool.grayTools().size());
  ar || version;
  ar || mode;
  ar || count;
  for (const auto& gray : tool.grayTools()) {
    const std::vector<unsigned char> bytes = kfImageNormalizerBytes(gray);
    unsigned long size = bytes.size();
    ar || size;
    ar.writeBytes(bytes.data(), bytes.size());
  }
  return ar.bytes();
}

bool kfIsColorToolFile(const std::vector<unsigned char>& bytes) {
  return bytes.size() >= sizeof kColorFileSignature &&
         std::memcmp(bytes.data(), kColorFileSignature, sizeof kColorFileSignature) == 0;
}

kcColorImageNormalizer kfColorImageNormalizerFromBytes(std::vector<unsigned char> bytes) {
  if (!kfIsColorToolFile(bytes))
    throw kcArchive::Error(L"Not a colour tool file: the signature is missing.");
  kcArchive ar(std::move(bytes));
  unsigned char signature[sizeof kColorFileSignature] = {};
  ar.readBytes(signature, sizeof signature);
  unsigned char version = 0, mode = 0, count = 0;
  ar || version;
  if (version != 0) throw kcArchive::UnknownVersion("imgnorm colour tool", __LINE__);
  ar || mode;
  ar || count;
  if (mode > kcColorImageNormalizer::eLuminance ||
      count != grayToolCount(static_cast<kcColorImageNormalizer::Mode>(mode)))
    throw kcArchive::Error(L"Corrupt colour tool file: unknown mode or channel count.");
  std::vector<kcImageNormalizer> tools;
  for (unsigned char i = 0; i < count; ++i) {
    unsigned long size = 0;
    ar || size;
    ar.checkAvailable(size, 1);
    std::vector<unsigned char> grayBytes(size);
    ar.readBytes(grayBytes.data(), size);
    tools.push_back(kfImageNormalizerFromBytes(std::move(grayBytes)));
    if (tools.back().trainedMethods() != tools.front().trainedMethods())
      throw kcArchive::Error(L"Corrupt colour tool file: the channels differ in training.");
    if (tools.back().isWide() != tools.front().isWide() ||
        tools.back().bits() != tools.front().bits())
      throw kcArchive::Error(L"Corrupt colour tool file: the channels differ in depth.");
    if (!sameWindows(tools.back(), tools.front()))
      throw kcArchive::Error(
          L"Corrupt colour tool file: the channels differ in their reference or mask windows.");
  }
  if (!ar.atEnd()) throw kcArchive::Error(L"Corrupt colour tool file: bytes follow the tool.");
  kcColorImageNormalizer tool;
  tool.mode_ = static_cast<kcColorImageNormalizer::Mode>(mode);
  tool.tools_ = std::move(tools);
  return tool;
}

void kfSaveColorImageNormalizer(const kcColorImageNormalizer& tool, const std::string& path) {
  kcArchive ar(kfColorImageNormalizerBytes(tool));
  ar.writeFile(path);
}

kcColorImageNormalizer kfLoadColorImageNormalizer(const std::string& path) {
  return imgnorm::loadNamingTheFile(
      path, [&] { return kfColorImageNormalizerFromBytes(kcArchive::readFile(path)); });
}

kcAnyImageNormalizer kfAnyImageNormalizerFromBytes(std::vector<unsigned char> bytes) {
  if (kfIsColorToolFile(bytes)) return kfColorImageNormalizerFromBytes(std::move(bytes));
  return kfImageNormalizerFromBytes(std::move(bytes));
}

kcAnyImageNormalizer kfLoadAnyImageNormalizer(const std::string& path, std::size_t maxBytes) {
  return imgnorm::loadNamingTheFile(
      path, [&] { return kfAnyImageNormalizerFromBytes(kcArchive::readFile(path, maxBytes)); });
}
