#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host/archive.h"
#include "host/diag.h"
#include "host/export.h"
#include "host/geometry.h"
#include "host/pel_buffer.h"
#include "imaging/histo_stats.h"
#include "imgnorm/diag_categories.h"
#include "imgnorm/errors.h"
#include "imgnorm/method.h"
#include "pelfuncs/mask_runs.h"

// What training derives from the reference image and the mask for the
// trained methods: one value, made whole by each training and kept until
// the next.
struct kcTrainedData {
  kcPelBuffer_const<unsigned char> binaryMask;    // the mask as 0 and 255; shares a binary mask
  kcMaskRuns maskRuns;                            // of binaryMask, when they are few
  kcPelBuffer<unsigned char> sampledMask;         // binaryMask reduced by the granularity
  kcPelBuffer<unsigned short> maskWeights;        // for eLocalCorrection with a mask
  std::vector<unsigned long> referenceHistogram;  // under the mask
  kcHistoStats referenceStats;
  std::vector<kcDegree> fitAngles;  // for eLinearlyFitGrayValues
  // A 16-bit reference brought to 8 bits, for eLinearlyFitGrayValues: the
  // fit pairs levels on the 8-bit scale at every depth.
  kcPelBuffer<unsigned char> fitReference;
};

// What a local method applied to each pel of its result, over the
// result's window, in one of two forms by the model:
//  eSubtract  difference: the result is clamp(image - difference, 0, top);
//  eDivide    ratio: the result is (int)(min(image / ratio, top) + 0.5),
//             computed in single precision.
// top is the depth's top level. Pels kept from the image outside a mask
// (keepMaskedPixels) have a difference of 0 or a ratio of 1. The other
// form's buffer is unbound.
struct kcCorrectionField {
  kcImageNormalizerDefs::Model model = kcImageNormalizerDefs::eSubtract;
  kcPelBuffer<int> difference;
  kcPelBuffer<float> ratio;
};

// Normalizes the gray levels of 8-bit images, or of 16-bit images of a
// stated number of significant bits. Configure it with a reference image,
// an optional mask and its parameters, train it for a set of methods, then
// run it on run-time images of the reference's depth, one method per run. A plain value type:
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
  // A 16-bit reference whose levels use the low bits (1 to 16; BadParams
  // otherwise) makes a tool of 16-bit images of those bits; it replaces an
  // 8-bit reference, as an 8-bit one replaces it.
  const kcPelBuffer_const<unsigned short>& wideReferenceImage() const {
    return wideReferenceImage_;
  }
  void referenceImage(const kcPelBuffer_const<unsigned short>& image, int bits, bool copy);
  // Whether the tool is for 16-bit images, and their significant bits (8 for
  // a tool of 8-bit images).
  bool isWide() const { return wideReferenceImage_.isBound(); }
  int bits() const { return bits_; }
  // The window of the reference of either depth; null without one.
  kcPelRect referenceWindow() const;

  // The local methods' model (eSubtract when not set). Does not untrain the
  // tool: its trained data is the same for both; BadParams for a code that
  // is no model.
  kcImageNormalizerDefs::Model model() const { return model_; }
  void model(kcImageNormalizerDefs::Model model);

  // Changes the run-time-only parameters without untraining the tool.
  void set(const kcPair<double>& tailFractions, const kcPair<long>& intensityVariationRange,
           bool keepMaskedPixels);
  // Back to a newly constructed tool: defaults, no images, untrained.
  void untrain();

  // Prepares the trained data for a set of methods (any combination; the
  // new set replaces the old). diag may be null; records of the inputs are
  // made when diagFlags ask for kDiagInputs (imgnorm/diag_categories.h).
  // A local method at reduced resolution (granularity above 1) on a
  // reference of more than 32767 pels a side is refused (BadParams naming
  // the limit), before anything changes.
  void train(kcImageNormalizerDefs::Method methods, kcDiagObject* diag = nullptr,
             unsigned long diagFlags = 0);

  // Normalizes one image with one trained method (or eIdentity) and returns
  // a new image of the region the reference (and the mask) cover. success
  // is false, with message saying why, when a global method cannot build its
  // gray-level map; other failures throw. Reads the tool only, so several
  // threads may run one tool at once.
  kcPelBuffer<unsigned char> run(const kcPelBuffer_const<unsigned char>& image,
                                 kcImageNormalizerDefs::Method method, bool& success,
                                 std::wstring& message, kcDiagObject* diag = nullptr,
                                 unsigned long diagFlags = 0) const;

  // The same for a 16-bit image and a tool of 16-bit images (BadImage for
  // an image of the other depth than the tool's, either way round, and for
  // a pel that a map is built from above the tool's bits). Levels above the
  // bits outside the mask map as the top level does.
  kcPelBuffer<unsigned short> run(const kcPelBuffer_const<unsigned short>& image,
                                  kcImageNormalizerDefs::Method method, bool& success,
                                  std::wstring& message) const;

  // A run of a local method (BadParams for another) that also gives field,
  // the correction applied to the result's pels (both unbound when the image
  // does not overlap the reference). Otherwise as the run of the image's
  // depth; such a run always succeeds.
  kcPelBuffer<unsigned char> run(const kcPelBuffer_const<unsigned char>& image,
                                 kcImageNormalizerDefs::Method method,
                                 kcCorrectionField& field) const;
  kcPelBuffer<unsigned short> run(const kcPelBuffer_const<unsigned short>& image,
                                  kcImageNormalizerDefs::Method method,
                                  kcCorrectionField& field) const;

  // Equal configuration and trained set; the trained data is not compared.
  // Images compare by window, transforms and pels.
  bool operator==(const kcImageNormalizer& other) const;

  // Trained data, for inspection.
  const kcTrainedData& trainedData() const { return trained_; }
  const kcPelBuffer_const<unsigned char>& binaryMask() const { return trained_.binaryMask; }
  const kcMaskRuns& maskRuns() const { return trained_.maskRuns; }
  const kcPelBuffer<unsigned char>& sampledMask() const { return trained_.sampledMask; }
  const kcPelBuffer<unsigned short>& maskWeights() const { return trained_.maskWeights; }
  const std::vector<unsigned long>& referenceHistogram() const {
    return trained_.referenceHistogram;
  }
  const kcHistoStats& referenceStats() const { return trained_.referenceStats; }
  const std::vector<kcDegree>& fitAngles() const { return trained_.fitAngles; }

 private:
  friend IMGNORM_API kcArchive& operator||(kcArchive& ar, kcImageNormalizer& tool);

  void recordRunInputs(const kcPelBuffer_const<unsigned char>& image,
                       kcImageNormalizerDefs::Method method, kcDiagObject* diag, long level) const;
  void checkRunnable(kcImageNormalizerDefs::Method method) const;
  void checkReducedResolutionFits(kcImageNormalizerDefs::Method methods) const;
  template <class Pel>
  kcPelBuffer<Pel> runLocalCorrection(const kcPelBuffer_const<Pel>& view,
                                      kcImageNormalizerDefs::Method method,
                                      kcCorrectionField* field) const;
  template <class Pel>
  kcPelBuffer<Pel> runWithField(const kcPelBuffer_const<Pel>& image,
                                kcImageNormalizerDefs::Method method,
                                kcCorrectionField& field) const;
  // A run over the covered region view, after the checks; none when
  // nothing under the mask was counted and the map failed.
  template <class Pel>
  std::optional<kcPelBuffer<Pel>> runCovered(const kcPelBuffer_const<Pel>& view,
                                             kcImageNormalizerDefs::Method method, bool& success,
                                             std::wstring& message,
                                             kcCorrectionField* field = nullptr) const;

  kcImageNormalizerDefs::Method trainedMethods_;
  kcPair<double> tailFractions_;
  kcPair<long> neighborhoodSize_;
  kcPair<long> granularity_;
  kcPair<long> intensityVariationRange_;
  bool keepMaskedPixels_;
  kcImageNormalizerDefs::Model model_;
  kcPelBuffer_const<unsigned char> maskImage_;
  kcPelBuffer_const<unsigned char> referenceImage_;
  kcPelBuffer_const<unsigned short> wideReferenceImage_;
  int bits_;
  kcTrainedData trained_;
};
