#include <cstdint>
#include <optional>

#include "host/assert.h"
#include "host/attention.h"
#include "host/str.h"
#include "imaging/pel_copy.h"
#include "imaging/pel_map.h"
#include "imgnorm/detail/local_correction.h"
#include "imgnorm/detail/map_builders.h"
#include "imgnorm/detail/method_checks.h"
#include "imgnorm/detail/parameter_text.h"
#include "imgnorm/detail/trained_data.h"
#include "imgnorm/diag_categories.h"
#include "imgnorm/explain.h"
#include "imgnorm/image_normalizer.h"
#include "imgnorm/run_parts.h"
#include "pelfuncs/masked_copy_divide.h"

using namespace kcImageNormalizerDefs;
using imgnorm::runningPairText;
using imgnorm::trainingPairText;

namespace {

// Puts a recorder's level back when the call returns or throws.
class DiagLevelRestorer {
 public:
  explicit DiagLevelRestorer(kcDiagObject* diag) : diag_(diag), level_(diag ? diag->level() : 0) {}
  ~DiagLevelRestorer() {
    if (diag_) diag_->level(level_);
  }
  DiagLevelRestorer(const DiagLevelRestorer&) = delete;
  DiagLevelRestorer& operator=(const DiagLevelRestorer&) = delete;
  long level() const { return level_; }

 private:
  kcDiagObject* diag_;
  long level_;
};

const wchar_t* methodName(Method method) {
  if (method == eIdentity) return L"eIdentity";
  const MethodInfo* row = methodInfo(method);
  return row ? row->flagName : L"UnknownMethod";
}

}  // namespace

void kcImageNormalizer::recordRunInputs(const kcPelBuffer_const<unsigned char>& image,
                                        Method method, kcDiagObject* diag, long level) const {
  kf_AddImage(diag, image.isBound() ? kcPelBuffer_const<unsigned char>(kfPelCopy(image)) : image,
              L"Image Normalization", false);
  const std::wstring text = std::wstring(L"method=") + methodName(method) + L"\n" +
                            L"keepMaskedPixels=" + kfStr(keepMaskedPixels_) + L"\n" +
                            L"tailFractions=" + trainingPairText(kcVector<2>(tailFractions_)) +
                            L"\n" + L"neighborhoodSize=" + runningPairText(neighborhoodSize_) +
                            L"\n" + L"granularity=" + runningPairText(granularity_) + L"\n" +
                            L"intensityRange=" + runningPairText(intensityVariationRange_) + L"\n";
  kf_AddText(diag, text, L"Run-time parameters");
  diag->level(level + 1);
  kf_AddImage(diag, referenceImage_, L"referenceImage", false);
  kf_AddImage(diag, maskImage_, L"maskImage", false);
}

namespace imgnorm {

void checkOneMethod(Method method) {
  if (method & ~kKnownMethods) throw BadParams(L"Cannot specify an unknown normalization method.");
  if ((method & (method - 1)) != 0)
    throw BadParams(L"Cannot run with more than one normalization method.");
}

void checkTrained(Method trained, Method method) {
  if ((trained & method) != method)
    throw NotTrained(L"This tool was not trained for the specified  method.");
}

void checkDepth(const kcImageNormalizer& tool, bool wideImage) {
  if (tool.isWide() && !wideImage)
    throw BadImage(L"This tool is for 16-bit images; the image has 8-bit pels.");
  if (!tool.isWide() && wideImage)
    throw BadImage(L"This tool is for 8-bit images; the image has 16-bit pels.");
}

}  // namespace imgnorm

void kcImageNormalizer::checkRunnable(Method method) const {
  imgnorm::checkOneMethod(method);
  imgnorm::checkTrained(trainedMethods_, method);
}

template <class Pel>
kcPelBuffer<Pel> kcImageNormalizer::runLocalCorrection(const kcPelBuffer_const<Pel>& view,
                                                       Method method,
                                                       kcCorrectionField* field) const {
  if (imgnorm::isSubsampling(granularity_))
    KC_ASSERT(trained_.sampledMask.isBound() == maskImage_.isBound());
  kcPelBuffer<Pel> result;
  imgnorm::localCorrection(view, imgnorm::localInputsOf(*this), method, result, field);
  return result;
}

namespace {

kcPelBuffer<unsigned char> mapThrough(const kcPelBuffer_const<unsigned char>& view,
                                      const std::vector<unsigned char>& map) {
  return kfPelMap(view, map);
}

kcPelBuffer<unsigned short> mapThrough(const kcPelBuffer_const<unsigned short>& view,
                                       const std::vector<unsigned short>& map) {
  return kfPelMap(view, kfWideMapTable(map));
}

// What pels kept from the image were applied: nothing.
void neutralOutsideMask(const kcCorrectionField& field,
                        const kcPelBuffer_const<unsigned char>& mask) {
  if (field.model == eDivide)
    kf_PelSetOutsideMask(field.ratio, mask, 1.0f);
  else
    kf_PelSetOutsideMask(field.difference, mask, 0);
}

}  // namespace

template <class Pel>
std::optional<kcPelBuffer<Pel>> kcImageNormalizer::runCovered(const kcPelBuffer_const<Pel>& view,
                                                              Method method, bool& success,
                                                              std::wstring& message,
                                                              kcCorrectionField* field) const {
  kcPelBuffer<Pel> result;
  if (hasMap(method)) {
    // One code path with the explanation: run is its map applied.
    kcNormalizationExplanation explanation = kfExplainNormalization(*this, view, method);
    kcAttention::check();
    success = explanation.success;
    message = explanation.message;
    if (explanation.runTime.count == 0 && !success) return std::nullopt;
    // A map that could not be built still gives the pels kept outside the mask.
    if (success) result = mapThrough(view, imgnorm::explainedMap<Pel>(explanation));
  } else {
    result = runLocalCorrection(view, method, field);
    success = true;
  }
  kcAttention::check();
  if (keepMaskedPixels_ && trained_.binaryMask.isBound()) {
    kf_MaskedPelCopy(view, trained_.binaryMask, result, true);
    if (field) neutralOutsideMask(*field, trained_.binaryMask);
  }
  result.copyXforms(view);
  return result;
}

kcPelBuffer<unsigned char> kcImageNormalizer::run(const kcPelBuffer_const<unsigned char>& image,
                                                  Method method, bool& success,
                                                  std::wstring& message, kcDiagObject* diag,
                                                  unsigned long diagFlags) const {
  const DiagLevelRestorer levelRestorer(diag);
  if (diag && diag->shouldRecord(diagFlags, kDiagInputs))
    recordRunInputs(image, method, diag, levelRestorer.level());

  success = false;
  message.clear();
  if (method == eIdentity) {
    success = true;
    return kfPelCopy(image);
  }
  checkRunnable(method);
  if (!image.isBound()) throw BadImage(L"Image must be bound.");
  imgnorm::checkDepth(*this, false);
  KC_ASSERT(referenceImage_.isBound());
  KC_ASSERT(trained_.binaryMask.isBound() == maskImage_.isBound());

  const kcPelRect region = imgnorm::coveredWindow(*this, image.window());
  if (region.isNull()) {
    success = true;
    return {};
  }
  kcPelBuffer_const<unsigned char> view = image;
  view.window(region, false);

  const std::optional<kcPelBuffer<unsigned char>> result =
      runCovered(view, method, success, message);
  if (!result) return {};
  if (diag && diag->shouldRecord(diagFlags, kDiagResult)) {
    diag->level(levelRestorer.level() + 1);
    kf_AddImage(diag, *result, L"Image Normalization Result", false);
  }
  return *result;
}

kcPelBuffer<unsigned short> kcImageNormalizer::run(const kcPelBuffer_const<unsigned short>& image,
                                                   Method method, bool& success,
                                                   std::wstring& message) const {
  success = false;
  message.clear();
  if (method == eIdentity) {
    success = true;
    return kfPelCopy(image);
  }
  checkRunnable(method);
  if (!image.isBound()) throw BadImage(L"Image must be bound.");
  imgnorm::checkDepth(*this, true);

  const kcPelRect region = imgnorm::coveredWindow(*this, image.window());
  if (region.isNull()) {
    success = true;
    return {};
  }
  kcPelBuffer_const<unsigned short> view = image;
  view.window(region, false);
  return runCovered(view, method, success, message).value_or(kcPelBuffer<unsigned short>());
}

template <class Pel>
kcPelBuffer<Pel> kcImageNormalizer::runWithField(const kcPelBuffer_const<Pel>& image, Method method,
                                                 kcCorrectionField& field) const {
  if (!isLocal(method)) throw BadParams(L"A correction field comes from a local method only.");
  checkRunnable(method);
  if (!image.isBound()) throw BadImage(L"Image must be bound.");
  imgnorm::checkDepth(*this, sizeof(Pel) == 2);
  kcCorrectionField made;
  made.model = model_;
  const kcPelRect region = imgnorm::coveredWindow(*this, image.window());
  kcPelBuffer<Pel> result;
  if (!region.isNull()) {
    kcPelBuffer_const<Pel> view = image;
    view.window(region, false);
    bool success = false;
    std::wstring message;
    result = *runCovered(view, method, success, message, &made);
  }
  field = made;
  return result;
}

kcPelBuffer<unsigned char> kcImageNormalizer::run(const kcPelBuffer_const<unsigned char>& image,
                                                  Method method, kcCorrectionField& field) const {
  return runWithField(image, method, field);
}

kcPelBuffer<unsigned short> kcImageNormalizer::run(const kcPelBuffer_const<unsigned short>& image,
                                                   Method method, kcCorrectionField& field) const {
  return runWithField(image, method, field);
}
