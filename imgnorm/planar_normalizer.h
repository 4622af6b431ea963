#pragma once

#include <string>
#include <variant>
#include <vector>

#include "host/diag.h"
#include "host/export.h"
#include "imgnorm/color_normalizer.h"
#include "imgnorm/explain.h"
#include "imgnorm/image_normalizer.h"

// One trained tool, gray or colour, for images of one or more planes: the
// layer the command line and Python run through. It decides what the gray
// tools see (a colour image's luma for a gray tool, a gray image's level in
// every channel for a colour tool), applies the whole-image rule, carries
// alpha through and hands back the maps it applied.

// What a run of kcPlanarNormalizer asks besides the image and the method.
struct kcPlanarRunOptions {
  // The image was placed at its window's position: it covers only its
  // overlap with the reference, whatever its size.
  bool placed = false;
  // Explain the maps applied (methods with a map).
  bool explain = false;
  // Threads for one gray image's rows; records come from one thread.
  unsigned threads = 1;
  kcDiagObject* diag = nullptr;
  unsigned long diagFlags = 0;
};

// What a run gives: the result's planes as the image's (gray or colour as
// the tool makes them, alpha last and unchanged), none when the image does
// not overlap the reference or the run did not succeed; success and
// message as the gray run's; the explanations of the maps applied, one per
// gray tool, when asked or when the image was mapped whole.
template <class Pel>
struct kcPlanarRunOf {
  kcResultOf<Pel> planes;
  bool success = false;
  std::wstring message;
  std::vector<kcNormalizationExplanation> explanations;
};
using kcPlanarRun = kcPlanarRunOf<unsigned char>;
using kcWideRun = kcPlanarRunOf<unsigned short>;

class IMGNORM_API kcPlanarNormalizer {
 public:
  enum Mode : unsigned char { eGray, eChannels, eLuminance };

  explicit kcPlanarNormalizer(kcImageNormalizer gray) : tool_(std::move(gray)) {}
  explicit kcPlanarNormalizer(kcColorImageNormalizer colour) : tool_(std::move(colour)) {}
  explicit kcPlanarNormalizer(kcAnyImageNormalizer tool) : tool_(std::move(tool)) {}

  Mode mode() const;
  // The gray tool, or a colour tool's first: parameters, trained methods,
  // windows and mask.
  const kcImageNormalizer& grayTool() const;
  // Null for a gray tool.
  const kcColorImageNormalizer* colourTool() const;
  // The planes the gray tools normalize: gray; red, green and blue; or
  // luminance.
  std::vector<std::wstring> planeNames() const;
  // Trains a new tool of mode with configuration's parameters (not its
  // images) on reference (1 to 4 planes: a gray tool takes a colour
  // reference's luma, a colour tool a gray reference's level in every
  // channel; alpha is left out) and mask (unbound or one plane). The tool
  // is replaced only when training succeeds, or, as a gray tool keeps them,
  // when a gray tool trained all but the global methods on a reference
  // whose masked histogram is empty. copy false shares the caller's pels
  // where a gray tool can (they must not change while the tool lives).
  // Throws as the gray tools' training.
  void train(Mode mode, const kcColorPlanes& reference,
             const kcPelBuffer_const<unsigned char>& mask, kcImageNormalizerDefs::Method methods,
             kcDiagObject* diag = nullptr, unsigned long diagFlags = 0, bool copy = true);

  // The same for a 16-bit reference whose levels use the low bits (1 to
  // 16): a new tool of 16-bit images of those bits; no records.
  void trainWide(Mode mode, const kcWidePlanes& reference, int bits,
                 const kcPelBuffer_const<unsigned char>& mask,
                 kcImageNormalizerDefs::Method methods, bool copy = true);

  // The local methods' model of every gray tool.
  void model(kcImageNormalizerDefs::Model model);
  // The run-time-only parameters of every gray tool.
  void set(const kcPair<double>& tailFractions, const kcPair<long>& intensityVariationRange,
           bool keepMaskedPixels);
  // The tool file of its form.
  std::vector<unsigned char> fileBytes() const;

  // image: 1 (gray), 2 (gray and alpha), 3 (RGB) or 4 (RGBA) planes over
  // one window, of the tool's depth: Pel is unsigned char for a tool of
  // 8-bit images, unsigned short for one of 16-bit images (BadImage for the
  // other). An image of another size than the reference, not placed, is
  // mapped whole when kfMapsWholeImage says so. Throws as the gray run
  // does, and BadImage for planes that are no such image. 16-bit runs make
  // no records. A braced list of planes is taken as 8-bit ones.
  template <class Pel = unsigned char>
  kcPlanarRunOf<Pel> run(const kcPlanesOf<Pel>& image, kcImageNormalizerDefs::Method method,
                         const kcPlanarRunOptions& options = {}) const;

  // The maps a run would apply, one per gray tool, without running: the
  // whole image's when the run would map it whole. Throws as the
  // explanations of the gray tools do.
  template <class Pel = unsigned char>
  std::vector<kcNormalizationExplanation> explain(const kcPlanesOf<Pel>& image,
                                                  kcImageNormalizerDefs::Method method,
                                                  bool placed = false) const;

  // A run taken apart, for images read a band of rows at a time: the planes
  // the gray tools normalize (one per gray tool, in the order of grayTools:
  // a gray image's plane or a colour image's luma for a gray tool, the
  // channels or their luma for a colour tool), and the result's planes
  // composed from one result per gray tool over one window, as run composes
  // them (the luminance result shifts the colours; alpha is carried over the
  // window). BadImage as run.
  std::vector<const kcImageNormalizer*> grayTools() const;
  template <class Pel = unsigned char>
  kcPlanesOf<Pel> grayPlanes(const kcPlanesOf<Pel>& image) const;
  template <class Pel = unsigned char>
  kcResultOf<Pel> compose(const kcPlanesOf<Pel>& image, const kcResultOf<Pel>& grayResults) const;

 private:
  // A new colour tool of mode with this tool's parameters.
  kcColorImageNormalizer newColourTool(Mode mode) const;
  void trainGray(kcImageNormalizer tool, kcImageNormalizerDefs::Method methods, kcDiagObject* diag,
                 unsigned long diagFlags);
  template <class Pel>
  kcPlanarRunOf<Pel> runGray(const kcPlanesOf<Pel>& image, kcImageNormalizerDefs::Method method,
                             const kcPlanarRunOptions& options) const;
  template <class Pel>
  kcPlanarRunOf<Pel> runColour(const kcPlanesOf<Pel>& image, kcImageNormalizerDefs::Method method,
                               const kcPlanarRunOptions& options) const;
  // What the gray tools see of image, and whether a run maps it whole.
  template <class Pel>
  kcPlanesOf<Pel> toolPlanes(const kcPlanesOf<Pel>& image) const;
  template <class Pel>
  bool mapsWhole(const kcPlanesOf<Pel>& image, kcImageNormalizerDefs::Method method,
                 bool placed) const;

  kcAnyImageNormalizer tool_;
};
