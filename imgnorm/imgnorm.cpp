#include "host/pel_ops.h"
#include "imgnorm/image_normalizer.h"

using namespace kcImageNormalizerDefs;

namespace {

void storeImage(kcPelBuffer_const<unsigned char>& member, const kcPelBuffer_const<unsigned char>& image,
                bool copy) {
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
  // Each comparison fails only when its relation is false, so a NaN passes.
  if (0.0 > fractions.x() || fractions.x() > fractions.y() || fractions.y() > 1.0)
    throw BadParams(L"Tail fraction must be: 0.0 <= frac.x() <= frac.y() <= 1.0");
  tailFractions_ = fractions;
  trainedMethods_ = eIdentity;
}

void kcImageNormalizer::neighborhoodSize(kcPair<long> size) {
  if (size.x() < 1 || size.y() < 1) throw BadParams(L"Both elements of neighborhoodSize must be >= 1");
  neighborhoodSize_ = size;
  trainedMethods_ = eIdentity;
}

void kcImageNormalizer::granularity(kcPair<long> step) {
  if (step.x() < 1 || step.y() < 1) throw BadParams(L"Both elements of granularity must be >= 1");
  granularity_ = step;
  trainedMethods_ = eIdentity;
}

void kcImageNormalizer::intensityVariationRange(kcPair<long> range) {
  if (range.x() > 0 || range.y() < 0)
    throw BadParams(L"intensityVariationRange must be: x <= 0 and y >= 0");
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
