#pragma once

#include <string>
#include <vector>

#include "host/diag.h"
#include "host/export.h"
#include "host/geometry.h"
#include "host/histo_stats.h"
#include "host/pel_buffer.h"
#include "imgnorm/errors.h"

// Normalizes the gray levels of 8-bit images. Configure it with a reference
// image, an optional mask and its parameters, train it for a set of methods,
// then run it on run-time images, one method per run. A plain value type:
// copying copies the configuration and the trained data; the image members
// share the caller's pels unless they were set with copy true.
class IMGNORM_API kcImageNormalizer {
 public:
  kcImageNormalizer();
  kcImageNormalizer(const kcImageNormalizer& other);
  kcImageNormalizer& operator=(const kcImageNormalizer& other);
  ~kcImageNormalizer();

  kcImageNormalizerDefs::Method trainedMethods() const { return trainedMethods_; }

  // Every setter validates its value (kcImageNormalizerDefs::BadParams with
  // the rule as message), stores it and untrains the tool.
  kcPair<double> tailFractions() const { return tailFractions_; }
  void tailFractions(kcPair<double> fractions);
  kcPair<long> neighborhoodSize() const { return neighborhoodSize_; }
  void neighborhoodSize(kcPair<long> size);
  kcPair<long> granularity() const { return granularity_; }
  void granularity(kcPair<long> step);
  kcPair<long> intensityVariationRange() const { return intensityVariationRange_; }
  void intensityVariationRange(kcPair<long> range);
  bool keepMaskedPixels() const { return keepMaskedPixels_; }
  void keepMaskedPixels(bool keep);

  // copy true keeps a private copy of the pels; false shares the caller's.
  // An unbound image unsets the member.
  const kcPelBuffer_const<unsigned char>& maskImage() const { return maskImage_; }
  void maskImage(const kcPelBuffer_const<unsigned char>& image, bool copy);
  const kcPelBuffer_const<unsigned char>& referenceImage() const { return referenceImage_; }
  void referenceImage(const kcPelBuffer_const<unsigned char>& image, bool copy);

  // Changes the run-time-only parameters without untraining the tool.
  void set(const kcPair<double>& tailFractions, const kcPair<long>& intensityVariationRange,
           bool keepMaskedPixels);
  // Back to a newly constructed tool: defaults, no images, untrained.
  void untrain();

  // Trained data, for inspection.
  const kcPelBuffer<unsigned char>& binaryMask() const { return binaryMask_; }
  const kcPelBuffer<unsigned char>& sampledMask() const { return sampledMask_; }
  const kcPelBuffer<unsigned short>& maskWeights() const { return maskWeights_; }
  const std::vector<unsigned long>& referenceHistogram() const { return referenceHistogram_; }
  const kcHistoStats& referenceStats() const { return referenceStats_; }
  const std::vector<kcDegree>& fitAngles() const { return fitAngles_; }

 private:
  kcImageNormalizerDefs::Method trainedMethods_;
  kcPair<double> tailFractions_;
  kcPair<long> neighborhoodSize_;
  kcPair<long> granularity_;
  kcPair<long> intensityVariationRange_;
  bool keepMaskedPixels_;
  kcPelBuffer_const<unsigned char> maskImage_;
  kcPelBuffer_const<unsigned char> referenceImage_;
  kcPelBuffer<unsigned char> binaryMask_;
  kcPelBuffer<unsigned char> sampledMask_;
  kcPelBuffer<unsigned short> maskWeights_;
  std::vector<unsigned long> referenceHistogram_;
  kcHistoStats referenceStats_;
  std::vector<kcDegree> fitAngles_;
};
