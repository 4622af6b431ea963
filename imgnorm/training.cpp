#include <cstdint>

#include "host/str.h"
#include "imaging/affine_sample.h"
#include "imgnorm/detail/parameter_text.h"
#include "imgnorm/detail/trained_data.h"
#include "imgnorm/diag_categories.h"
#include "imgnorm/image_normalizer.h"

using namespace kcImageNormalizerDefs;
using imgnorm::trainingPairText;

namespace {

std::wstring methodBitsText(Method methods) {
  std::wstring text = L"(";
  for (int bit = 0; bit < 32; ++bit) {
    const std::uint32_t value = std::uint32_t{1} << bit;
    if (methods & value) text += kfStr(static_cast<int>(value)) + L" | ";
  }
  return text + L")";
}

}  // namespace

// A local method at reduced resolution stretches its background back over
// the region it corrects, which lies within the reference: the sampling
// takes at most kMaxSamples samples a side.
void kcImageNormalizer::checkReducedResolutionFits(Method methods) const {
  constexpr long kMost = kcAffineSamplingParams::kMaxSamples;
  const kcPelRect reference = referenceWindow();
  if (!(methods & (eLocalCorrection | eLocalCorrectionEnhanced)) || reference.isNull() ||
      !imgnorm::usesSubsampling(neighborhoodSize_, granularity_))
    return;
  const long width = reference.width(), height = reference.height();
  if (width > kMost || height > kMost)
    throw BadParams(L"Granularity above 1 works on references of at most " + kfStr(kMost) +
                    L" pels a side; this one is " + kfStr(width) + L" x " + kfStr(height) + L".");
}

void kcImageNormalizer::train(Method methods, kcDiagObject* diag, unsigned long diagFlags) {
  if (methods & ~kKnownMethods)
    throw CanNotTrain(L"<methods> contains an unknown normalization method.");
  if (!referenceImage_.isBound() && !isWide() && methods != eIdentity)
    throw CanNotTrain(L"referenceImage() must be bound for the specified methods.");

  checkReducedResolutionFits(methods);
  kcTrainedData data =
      imgnorm::trainedData(methods, referenceImage_, maskImage_, neighborhoodSize_, granularity_);
  if (isWide()) imgnorm::addWideReference(methods, wideReferenceImage_, bits_, data);
  trained_ = std::move(data);
  trainedMethods_ = methods;

  if (trained_.referenceStats.nSamp() == 0 && (methods & kGlobalMethods)) {
    trainedMethods_ = static_cast<Method>(methods & ~kGlobalMethods);
    throw CanNotTrain(L"Histogram must be non-empty for the specified methods.");
  }

  if (diag && diag->shouldRecord(diagFlags, kDiagInputs)) {
    kf_AddImage(diag, referenceImage_, L"referenceImage", false);
    const std::wstring text =
        L"trainedMethods=" + methodBitsText(trainedMethods_) + L"\n" + L"keepMaskedPixels=" +
        kfStr(keepMaskedPixels_) + L"\n" + L"tailFractions=" +
        trainingPairText(kcVector<2>(tailFractions_)) + L"\n" + L"neighborhoodSize=" +
        trainingPairText(kcVector<2>(neighborhoodSize_)) + L"\n" + L"granularity=" +
        trainingPairText(kcVector<2>(granularity_)) + L"\n" + L"intensityRange=" +
        trainingPairText(kcVector<2>(intensityVariationRange_)) + L"\n";
    kf_AddText(diag, text, L"Parameters");
    if (maskImage_.isBound()) kf_AddImage(diag, maskImage_, L"maskImage", false);
  }
}
