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
struct kcPlanarRun {
  kcColorResult planes;
  bool success = false;
  std::wstring message;
  std::vector<kcNormalizationExplanation> explanations;
};

// What a run of a 16-bit gray image gives: the result (unbound when the
// image does not overlap the reference or the run did not succeed), success
// and message as the gray run's, and the map applied when asked for.
struct kcWideRun {
  kcPelBuffer<unsigned short> image;
  bool success = false;
  std::wstring message;
  std::vector<kcNormalizationExplanation> explanations;
};

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

  // A new gray tool of 16-bit images whose levels use the low bits (1 to
  // 16), trained as train trains a gray tool on one plane.
  void trainWide(const kcPelBuffer_const<unsigned short>& reference, int bits,
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
  // one window. An image of another size than the reference, not placed,
  // is mapped whole when kfMapsWholeImage says so. Throws as the gray run
  // does, and BadImage for planes that are no such image.
  kcPlanarRun run(const kcColorPlanes& image, kcImageNormalizerDefs::Method method,
                  const kcPlanarRunOptions& options = {}) const;
  // The same for a 16-bit gray image and a tool of 16-bit images (BadImage
  // for a tool of 8-bit images), on options.threads threads; no records.
  kcWideRun runWide(const kcPelBuffer_const<unsigned short>& image,
                    kcImageNormalizerDefs::Method method,
                    const kcPlanarRunOptions& options = {}) const;

  // The maps a run would apply, one per gray tool, without running: the
  // whole image's when the run would map it whole. Throws as the
  // explanations of the gray tools do.
  std::vector<kcNormalizationExplanation> explain(const kcColorPlanes& image,
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
  kcColorPlanes grayPlanes(const kcColorPlanes& image) const;
  kcColorResult compose(const kcColorPlanes& image, const kcColorResult& grayResults) const;

 private:
  void trainGray(kcImageNormalizer tool, kcImageNormalizerDefs::Method methods, kcDiagObject* diag,
                 unsigned long diagFlags);
  kcPlanarRun runGray(const kcColorPlanes& image, kcImageNormalizerDefs::Method method,
                      const kcPlanarRunOptions& options) const;
  kcPlanarRun runColour(const kcColorPlanes& image, kcImageNormalizerDefs::Method method,
                        const kcPlanarRunOptions& options) const;
  // What the gray tools see of image, and whether a run maps it whole.
  kcColorPlanes toolPlanes(const kcColorPlanes& image) const;
  bool mapsWhole(const kcColorPlanes& image, kcImageNormalizerDefs::Method method,
                 bool placed) const;

  kcAnyImageNormalizer tool_;
};
