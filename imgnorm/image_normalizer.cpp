#include "imgnorm/image_normalizer.h"

#include "imaging/pel_copy.h"
#include "imgnorm/detail/parameter_checks.h"
#include "pelfuncs/buffer_compare.h"

using namespace kcImageNormalizerDefs;

namespace {

template <class T>
void storeImage(kcPelBuffer_const<T>& member, const kcPelBuffer_const<T>& image, bool copy) {
  if (!image.isBound())
    member.setUnbound();
  else if (copy)
    member = kfPelCopy(image);
  else
    member = image;
}

}  // namespace

kcImageNormalizer::kcImageNormalizer() : trainedMethods_(eIdentity), model_(eSubtract), bits_(8) {
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

void kcImageNormalizer::model(Model model) {
  imgnorm::checkModel(model);
  model_ = model;
}

void kcImageNormalizer::maskImage(const kcPelBuffer_const<unsigned char>& image, bool copy) {
  storeImage(maskImage_, image, copy);
  trainedMethods_ = eIdentity;
}

void kcImageNormalizer::referenceImage(const kcPelBuffer_const<unsigned char>& image, bool copy) {
  storeImage(referenceImage_, image, copy);
  wideReferenceImage_.setUnbound();
  bits_ = 8;
  trainedMethods_ = eIdentity;
}

void kcImageNormalizer::referenceImage(const kcPelBuffer_const<unsigned short>& image, int bits,
                                       bool copy) {
  imgnorm::checkBits(bits);
  storeImage(wideReferenceImage_, image, copy);
  referenceImage_.setUnbound();
  bits_ = image.isBound() ? bits : 8;
  trainedMethods_ = eIdentity;
}

kcPelRect kcImageNormalizer::referenceWindow() const {
  if (isWide()) return wideReferenceImage_.window();
  return referenceImage_.isBound() ? referenceImage_.window() : kcPelRect();
}

void kcImageNormalizer::set(const kcPair<double>& fractions, const kcPair<long>& range, bool keep) {
  const Method trained = trainedMethods_;
  tailFractions(fractions);
  intensityVariationRange(range);
  keepMaskedPixels_ = keep;
  trainedMethods_ = trained;
}

void kcImageNormalizer::untrain() { *this = kcImageNormalizer(); }

bool kcImageNormalizer::operator==(const kcImageNormalizer& o) const {
  if (this == &o) return true;
  return trainedMethods_ == o.trainedMethods_ && tailFractions_.x() == o.tailFractions_.x() &&
         tailFractions_.y() == o.tailFractions_.y() && neighborhoodSize_ == o.neighborhoodSize_ &&
         granularity_ == o.granularity_ && intensityVariationRange_ == o.intensityVariationRange_ &&
         keepMaskedPixels_ == o.keepMaskedPixels_ && model_ == o.model_ &&
         kf_PelBufferEqual(maskImage_, o.maskImage_, 0.0) &&
         kf_PelBufferEqual(referenceImage_, o.referenceImage_, 0.0) && bits_ == o.bits_ &&
         kf_PelBufferEqual(wideReferenceImage_, o.wideReferenceImage_, 0.0);
}
