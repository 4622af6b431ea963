#pragma once

// A trained gray or colour tool as the commands use it: loading and saving
// either file form, and normalizing an image file's pels with it.

#include <optional>
#include <string>
#include <vector>

#include "imgio/image_io.h"
#include "imgnorm/color_normalizer.h"
#include "imgnorm/explain.h"
#include "imgnorm/image_normalizer.h"

namespace cli {

struct RunParameterOptions;

// "gray", "channels", "luminance".
enum class ColorMode { kGray, kChannels, kLuminance };
std::optional<ColorMode> colorModeByName(const std::string& name);
std::string colorModeName(ColorMode mode);

// What one image became, and the map each gray tool applied (none for the
// local methods, or when not asked for).
// A gray tool's result stays in the library's buffer until the outputs
// take it (takeResult), so that a large image is not held twice meanwhile;
// the input's alpha over the result's pels waits beside it.
struct Normalized {
  imgio::ColorImage result;
  kcPelBuffer<unsigned char> grayResult;
  std::vector<unsigned char> grayResultAlpha;  // empty: the input has no alpha
  std::vector<kcNormalizationExplanation> explanations;
};

// The result as an image file's pels; a gray result's buffer is released.
imgio::ColorImage takeResult(Normalized& normalized);

class TrainedTool {
 public:
  explicit TrainedTool(kcImageNormalizer gray) : gray_(std::move(gray)) {}
  explicit TrainedTool(kcColorImageNormalizer colour) : colour_(std::move(colour)) {}

  // Either file form; unreadable or corrupt files, what is not a regular
  // file and files larger than any tool of images within maxPels pels fail
  // with kExitBadInput, an interrupt while reading with kExitInterrupted.
  static TrainedTool load(const std::string& path, long maxPels = imgio::kDefaultMaxPels);
  std::vector<unsigned char> fileBytes() const;

  ColorMode mode() const;
  // The gray tool (the first channel's for a colour tool): parameters,
  // trained methods, windows and mask.
  const kcImageNormalizer& grayTool() const { return colour_ ? colour_->grayTools()[0] : *gray_; }
  // Names of the planes the gray tools normalize, one per explanation.
  std::vector<std::string> planeNames() const;
  void applyRunParameters(const RunParameterOptions& options);

  // The reference the gray tools were trained on, for pictures: RGB for a
  // tool of colour channels, gray otherwise (a colour reference's luma).
  imgio::ColorImage referencePicture() const;

  // Normalizes image (gray images meet a colour tool as RGB; colour images
  // a gray tool as their luma); the input's alpha is put back unchanged. wholeImage takes the map
  // of the whole image of another size. threads may share a gray image's rows when no records are
  // made. Throws Failure as runJob does.
  Normalized run(const imgio::ColorImage& image, kcImageNormalizerDefs::Method method,
                 bool wholeImage, bool explain, kcDiagObject* diag, unsigned threads = 1) const;

 private:
  Normalized runGray(const imgio::ColorImage& image, kcImageNormalizerDefs::Method method,
                     bool wholeImage, bool explain, kcDiagObject* diag, unsigned threads) const;
  Normalized runColour(const imgio::ColorImage& image, kcImageNormalizerDefs::Method method,
                       bool wholeImage, bool explain) const;

  std::optional<kcImageNormalizer> gray_;
  std::optional<kcColorImageNormalizer> colour_;
};

kcColorPlanes toPlanes(const imgio::ColorImage& image);
imgio::ColorImage fromPlanes(const kcColorResult& planes);

}  // namespace cli
