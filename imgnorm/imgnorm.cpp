#include <cstdint>

#include "host/assert.h"
#include "host/attention.h"
#include "host/pel_ops.h"
#include "host/str.h"
#include "imgnorm/global_maps.h"
#include "imgnorm/image_normalizer.h"
#include "imgnorm/linear_fit.h"
#include "imgnorm/local_correction.h"
#include "imgnorm/parameter_checks.h"
#include "imgnorm/trained_data.h"
#include "pelfuncs/masked_copy_divide.h"
#include "pelfuncs/masked_histogram.h"

using namespace kcImageNormalizerDefs;

namespace {

void storeImage(kcPelBuffer_const<unsigned char>& member,
                const kcPelBuffer_const<unsigned char>& image, bool copy) {
  if (!image.isBound())
    member.setUnbound();
  else if (copy)
    member = kfPelCopy(image);
  else
    member = image;
}

}  // namespace

kcImageNormalizer::kcImageNormalizer() : trainedMethods_(eIdentity) {
  tailFractions(kcPair<double>(0.0, 1.0));
  granularity(kcPair<long>(1, 1));
  neighborhoodSize(kcPair<long>(101, 101));
  intensityVariationRange(kcPair<long>(-127, 127));
  keepMaskedPixels_ = false;
}

kcImageNormalizer::kcImageNormalizer(const kcImageNormalizer& other) = default;
kcImageNormalizer& kcImageNormalizer::operator=(const kcImageNormalizer& other) = default;
kcImageNormalizer::~kcImageNormalizer() = default;

void kcImageNormalizer::tailFractions(kcPair<double> fractions) {
  imgnorm::checkTailFractions(fractions);
  tailFractions_ = fractions;
  trainedMethods_ = eIdentity;
}

void kcImageNormalizer::neighborhoodSize(kcPair<long> size) {
  imgnorm::checkNeighborhoodSize(size);
  neighborhoodSize_ = size;
  trainedMethods_ = eIdentity;
}

void kcImageNormalizer::granularity(kcPair<long> step) {
  imgnorm::checkGranularity(step);
  granularity_ = step;
  trainedMethods_ = eIdentity;
}

void kcImageNormalizer::intensityVariationRange(kcPair<long> range) {
  imgnorm::checkIntensityVariationRange(range);
  intensityVariationRange_ = range;
  trainedMethods_ = eIdentity;
}

void kcImageNormalizer::keepMaskedPixels(bool keep) {
  keepMaskedPixels_ = keep;
  trainedMethods_ = eIdentity;
}

void kcImageNormalizer::maskImage(const kcPelBuffer_const<unsigned char>& image, bool copy) {
  storeImage(maskImage_, image, copy);
  trainedMethods_ = eIdentity;
}

void kcImageNormalizer::referenceImage(const kcPelBuffer_const<unsigned char>& image, bool copy) {
  storeImage(referenceImage_, image, copy);
  trainedMethods_ = eIdentity;
}

void kcImageNormalizer::set(const kcPair<double>& fractions, const kcPair<long>& range, bool keep) {
  const Method trained = trainedMethods_;
  tailFractions(fractions);
  intensityVariationRange(range);
  keepMaskedPixels_ = keep;
  trainedMethods_ = trained;
}

void kcImageNormalizer::untrain() { *this = kcImageNormalizer(); }

// ---------------------------------------------------------------- training

namespace {

constexpr unsigned long kInputRecords = 0x10000;
constexpr unsigned long kResultRecords = 0x20000;

std::wstring trainingPairText(const kcVector<2>& v) {
  return L"( " + kfStr(v.x()) + L" , " + kfStr(v.y()) + L" )";
}

std::wstring runningPairText(const kcPair<long>& p) {
  return L"(" + kfStr(p.x()) + L", " + kfStr(p.y()) + L")";
}

std::wstring methodBitsText(Method methods) {
  std::wstring text = L"(";
  for (int bit = 0; bit < 32; ++bit) {
    const std::uint32_t value = std::uint32_t{1} << bit;
    if (methods & value) text += kfStr(static_cast<int>(value)) + L" | ";
  }
  return text + L")";
}

bool hasMoreThanOneBit(std::uint32_t v) { return (v & (v - 1)) != 0; }

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

}  // namespace

void kcImageNormalizer::train(Method methods, kcDiagObject* diag, unsigned long diagFlags) {
  if (methods & ~kKnownMethods)
    throw CanNotTrain(L"<methods> contains an unknown normalization method.");
  if (!referenceImage_.isBound() && methods != eIdentity)
    throw CanNotTrain(L"referenceImage() must be bound for the specified methods.");

  imgnorm::prepareTrainedData(
      methods, referenceImage_, maskImage_, neighborhoodSize_, granularity_,
      {binaryMask_, sampledMask_, maskWeights_, referenceHistogram_, referenceStats_, fitAngles_});
  trainedMethods_ = methods;

  if (referenceStats_.nSamp() == 0 && (methods & kGlobalMethods)) {
    trainedMethods_ = static_cast<Method>(methods & ~kGlobalMethods);
    throw CanNotTrain(L"Histogram must be non-empty for the specified methods.");
  }

  if (diag && diag->shouldRecord(diagFlags, kInputRecords)) {
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

// ----------------------------------------------------------------- running

namespace {

const wchar_t* methodName(Method method) {
  switch (method) {
    case eIdentity:
      return L"eIdentity";
    case eMatchHistogram:
      return L"eMatchHistogram";
    case eMatchMeanAndStddev:
      return L"eMatchMeanAndStddev";
    case eMatchHistogramTails:
      return L"eMatchHistogramTails";
    case eLinearlyFitGrayValues:
      return L"eLinearlyFitGrayValues";
    case eLocalCorrection:
      return L"eLocalCorrection";
    case eLocalCorrectionEnhanced:
      return L"eLocalCorrectionEnhanced";
  }
  return L"UnknownMethod";
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

void kcImageNormalizer::checkRunnable(Method method) const {
  if (method & ~kKnownMethods) throw BadParams(L"Cannot specify an unknown normalization method.");
  if (hasMoreThanOneBit(method))
    throw BadParams(L"Cannot run with more than one normalization method.");
  if ((trainedMethods_ & method) != method)
    throw NotTrained(L"This tool was not trained for the specified  method.");
}

kcPelBuffer<unsigned char> kcImageNormalizer::mapGlobal(
    const kcPelBuffer_const<unsigned char>& view, Method method,
    const std::vector<unsigned long>& histogram, const kcHistoStats& stats, bool& success,
    std::wstring& message) const {
  std::vector<unsigned char> map;
  if (method == eMatchHistogram)
    imgnorm::matchHistogram(referenceHistogram_, histogram, map, message);
  else if (method == eMatchMeanAndStddev)
    imgnorm::matchMeanAndStddev(referenceStats_, stats, map, message);
  else
    imgnorm::matchHistogramTails(referenceStats_, stats, imgnorm::tailPercentages(tailFractions_),
                                 map, message);
  success = !map.empty();
  kcAttention::check();
  return success ? kfPelMap(view, map) : kcPelBuffer<unsigned char>();
}

kcPelBuffer<unsigned char> kcImageNormalizer::runSpecialMethod(
    const kcPelBuffer_const<unsigned char>& view, Method method, kcDiagObject* diag,
    unsigned long diagFlags) const {
  if (method == eLinearlyFitGrayValues)
    return imgnorm::linearlyFitGrayValues(view, referenceImage_, binaryMask_, fitAngles_,
                                          binaryMask_, false);
  if (imgnorm::isSubsampling(granularity_))
    KC_ASSERT(sampledMask_.isBound() == maskImage_.isBound());
  kcPelBuffer<unsigned char> result;
  imgnorm::localCorrection(view,
                           {referenceImage_, binaryMask_, sampledMask_, maskWeights_,
                            neighborhoodSize_, granularity_, intensityVariationRange_},
                           method, false, result, diag, diagFlags);
  return result;
}

kcPelBuffer<unsigned char> kcImageNormalizer::run(const kcPelBuffer_const<unsigned char>& image,
                                                  Method method, bool& success,
                                                  std::wstring& message, kcDiagObject* diag,
                                                  unsigned long diagFlags) const {
  const DiagLevelRestorer levelRestorer(diag);
  if (diag && diag->shouldRecord(diagFlags, kInputRecords))
    recordRunInputs(image, method, diag, levelRestorer.level());

  success = false;
  message.clear();
  if (method == eIdentity) {
    success = true;
    return kfPelCopy(image);
  }
  checkRunnable(method);
  if (!image.isBound()) throw BadImage(L"Image must be bound.");
  KC_ASSERT(referenceImage_.isBound());
  KC_ASSERT(binaryMask_.isBound() == maskImage_.isBound());

  kcPelRect region = image.window() & referenceImage_.window();
  if (maskImage_.isBound()) region &= maskImage_.window();
  if (region.isNull()) {
    success = true;
    return {};
  }
  kcPelBuffer_const<unsigned char> view = image;
  view.window(region, false);

  kcPelBuffer<unsigned char> result;
  if (method & kGlobalMethods) {
    std::vector<unsigned long> histogram;
    kf_MaskedPelHistogram(view, binaryMask_, histogram);
    const kcHistoStats stats(histogram, false);
    if (stats.nSamp() == 0) {
      message = L"Cannot normalize since histogram is empty.";
      return result;
    }
    result = mapGlobal(view, method, histogram, stats, success, message);
  } else {
    result = runSpecialMethod(view, method, diag, diagFlags);
    success = true;
  }
  kcAttention::check();
  if (keepMaskedPixels_ && binaryMask_.isBound()) kf_MaskedPelCopy(view, binaryMask_, result, true);
  result.copyXforms(view);
  if (diag && diag->shouldRecord(diagFlags, kResultRecords)) {
    diag->level(levelRestorer.level() + 1);
    kf_AddImage(diag, result, L"Image Normalization Result", false);
  }
  return result;
}
