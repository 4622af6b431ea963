#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "host/export.h"
#include "host/pel_buffer.h"
#include "imgnorm/explain.h"
#include "imgnorm/image_normalizer.h"

// Images as planes of one depth over one window: gray, gray and alpha,
// RGB or RGBA; 8-bit pels, or 16-bit ones whose levels use a tool's low
// bits.
template <class Pel>
using kcPlanesOf = std::vector<kcPelBuffer_const<Pel>>;
template <class Pel>
using kcResultOf = std::vector<kcPelBuffer<Pel>>;
using kcColorPlanes = kcPlanesOf<unsigned char>;
using kcColorResult = kcResultOf<unsigned char>;
using kcWidePlanes = kcPlanesOf<unsigned short>;
using kcWideResult = kcResultOf<unsigned short>;

// Normalizes colour images with gray tools (kcImageNormalizer), in one of
// two modes:
//  eChannels   one gray tool per colour channel, trained on the reference's
//              same channel;
//  eLuminance  one gray tool for the luma Y' = (299 R + 587 G + 114 B) /
//              1000 (the BT.601 weights), rounded to the nearest level. Each
//              pel's three channels then move by the normalized luma minus
//              the exact luma, which keeps its Y'CbCr chroma (Cb and Cr are
//              scaled B - Y' and R - Y'), up to rounding to whole levels and
//              clipping at 0 and the top level.
// A tool trained on a 16-bit reference of some bits is a tool of 16-bit
// images of those bits, as its gray tools are; the functions taking planes
// take them at the tool's depth (BadImage for the other, from the gray
// tools). Alpha, when the run-time image has it, is carried through
// unchanged; the reference's alpha is not used. Run reads the tool only, as
// the gray run.
class IMGNORM_API kcColorImageNormalizer {
 public:
  enum Mode : unsigned char { eChannels = 0, eLuminance = 1 };

  kcColorImageNormalizer() = default;
  // The gray tools get the parameters of configuration (not its images).
  kcColorImageNormalizer(Mode mode, const kcImageNormalizer& configuration);

  Mode mode() const { return mode_; }
  // One per colour channel (red, green, blue) or one for the luma.
  const std::vector<kcImageNormalizer>& grayTools() const { return tools_; }
  kcImageNormalizerDefs::Method trainedMethods() const;

  // reference: 3 or 4 planes; mask: unbound or one plane. The tools keep
  // private copies. Throws as kcImageNormalizer::train, and BadImage for
  // planes that are not a colour image. With diag, each gray tool records
  // its training as the gray train does, one level below a text record
  // naming its plane.
  void train(const kcColorPlanes& reference, const kcPelBuffer_const<unsigned char>& mask,
             kcImageNormalizerDefs::Method methods, kcDiagObject* diag = nullptr,
             unsigned long diagFlags = 0);
  // The same for a 16-bit reference whose levels use the low bits (1 to 16),
  // which makes a tool of 16-bit images; no records.
  void train(const kcWidePlanes& reference, int bits, const kcPelBuffer_const<unsigned char>& mask,
             kcImageNormalizerDefs::Method methods);
  // The names of the planes the gray tools normalize: red, green and blue,
  // or luminance.
  std::vector<std::wstring> planeNames() const;
  // Sets the local methods' model of every gray tool.
  void model(kcImageNormalizerDefs::Model model);
  // Sets the run-time-only parameters of every gray tool.
  void set(const kcPair<double>& tailFractions, const kcPair<long>& intensityVariationRange,
           bool keepMaskedPixels);

  // The planes of the region the gray run normalizes (none when the image
  // does not overlap the reference), as many as image has. success and
  // message as the gray run's, for the first channel that fails. With
  // explanations, a method with a map also gives each gray tool's
  // explanation of the map it applied (as explain gives them, made from the
  // run's own counts), up to the first channel that fails.
  // Pel is unsigned char or unsigned short, the tool's depth; a braced list
  // of planes is taken as 8-bit ones.
  template <class Pel = unsigned char>
  kcResultOf<Pel> run(const kcPlanesOf<Pel>& image, kcImageNormalizerDefs::Method method,
                      bool& success, std::wstring& message,
                      std::vector<kcNormalizationExplanation>* explanations = nullptr) const;
  // The whole image of any size through the maps of kfExplainWholeImage; a
  // global method or the linear fit, for a tool without a mask. With
  // explanations, those of the maps applied.
  template <class Pel = unsigned char>
  kcResultOf<Pel> runWholeImage(
      const kcPlanesOf<Pel>& image, kcImageNormalizerDefs::Method method, bool& success,
      std::wstring& message, std::vector<kcNormalizationExplanation>* explanations = nullptr) const;

  // One explanation per gray tool, of the plane it normalizes.
  template <class Pel = unsigned char>
  std::vector<kcNormalizationExplanation> explain(const kcPlanesOf<Pel>& image,
                                                  kcImageNormalizerDefs::Method method) const;
  template <class Pel = unsigned char>
  std::vector<kcNormalizationExplanation> explainWholeImage(
      const kcPlanesOf<Pel>& image, kcImageNormalizerDefs::Method method) const;

  // The planes the gray tools see: the colour channels, or the luma.
  template <class Pel = unsigned char>
  kcPlanesOf<Pel> grayPlanes(const kcPlanesOf<Pel>& image) const;
  // The result's planes from one result per gray tool, over one window:
  // the channels' results, or image's colours shifted by the change of their
  // luma (clipped to the tool's top level); image's alpha, if any, cropped
  // to the window. BadImage when the results differ in their windows.
  template <class Pel = unsigned char>
  kcResultOf<Pel> compose(const kcPlanesOf<Pel>& image, const kcResultOf<Pel>& grayResults) const;

  bool operator==(const kcColorImageNormalizer& other) const;

 private:
  friend IMGNORM_API kcColorImageNormalizer
  kfColorImageNormalizerFromBytes(std::vector<unsigned char> bytes);

  template <class Pel, class SetReference>
  void trainEach(const kcPlanesOf<Pel>& reference, SetReference setReference,
                 const kcPelBuffer_const<unsigned char>& mask,
                 kcImageNormalizerDefs::Method methods, kcDiagObject* diag,
                 unsigned long diagFlags);
  template <class Pel, class GrayRun>
  kcResultOf<Pel> runEach(const kcPlanesOf<Pel>& image, GrayRun grayRun, bool& success,
                          std::wstring& message) const;

  Mode mode_ = eChannels;
  std::vector<kcImageNormalizer> tools_;
};

// The luma Y' = (299 R + 587 G + 114 B) / 1000 of a colour image (3 or 4
// planes of either depth), rounded to the nearest level, over its window
// with its transforms. BadImage for planes that are not a colour image.
IMGNORM_API kcPelBuffer<unsigned char> kfLumaPlane(const kcColorPlanes& image);
IMGNORM_API kcPelBuffer<unsigned short> kfLumaPlane(const kcWidePlanes& image);

// Colour tool files: their own signature, the mode and each gray tool's
// file bytes. Errors name the file; a gray tool file is refused here
// (kfIsColorToolFile tells the two apart).
IMGNORM_API std::vector<unsigned char> kfColorImageNormalizerBytes(
    const kcColorImageNormalizer& tool);
IMGNORM_API kcColorImageNormalizer
kfColorImageNormalizerFromBytes(std::vector<unsigned char> bytes);
IMGNORM_API bool kfIsColorToolFile(const std::vector<unsigned char>& bytes);
IMGNORM_API void kfSaveColorImageNormalizer(const kcColorImageNormalizer& tool,
                                            const std::string& path);
IMGNORM_API kcColorImageNormalizer kfLoadColorImageNormalizer(const std::string& path);

// A tool file of either form, read once and told apart by its signature.
// Errors name the file, as the loaders of each form; a file of more than
// maxBytes bytes, or what is not a regular file, is refused before it is
// read.
using kcAnyImageNormalizer = std::variant<kcImageNormalizer, kcColorImageNormalizer>;
IMGNORM_API kcAnyImageNormalizer kfAnyImageNormalizerFromBytes(std::vector<unsigned char> bytes);
IMGNORM_API kcAnyImageNormalizer kfLoadAnyImageNormalizer(
    const std::string& path, std::size_t maxBytes = std::numeric_limits<std::size_t>::max());
