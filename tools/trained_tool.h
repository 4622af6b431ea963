#pragma once

// A trained gray or colour tool as the commands use it: loading and saving
// either file form, and normalizing an image file's pels with it.

#include <optional>
#include <string>
#include <vector>

#include "cli_common.h"
#include "host/attention.h"
#include "imgio/image_io.h"
#include "imgnorm/color_normalizer.h"
#include "imgnorm/explain.h"
#include "imgnorm/image_normalizer.h"
#include "imgnorm/planar_normalizer.h"

namespace cli {

struct RunParameterOptions;

// The colour modes by their names: "gray", "channels", "luminance".
using ColorMode = kcPlanarNormalizer::Mode;
std::optional<ColorMode> colorModeByName(const std::string& name);
std::string colorModeName(ColorMode mode);

// What one image became, and the map each gray tool applied (none for the
// local methods, or when not asked for). The result's planes stay in the
// library's buffers until the outputs take them (takeResult), so that a
// large image is not held twice meanwhile.
template <class Sample>
struct RunResult {
  kcResultOf<Sample> planes;
  std::vector<kcNormalizationExplanation> explanations;
};
using Normalized = RunResult<unsigned char>;

// The result as an image file's pels; the planes are released.
template <class Sample>
imgio::BasicColorImage<Sample> takeResult(RunResult<Sample>& normalized);

class TrainedTool {
 public:
  explicit TrainedTool(kcPlanarNormalizer tool) : tool_(std::move(tool)) {}

  // Either file form; unreadable or corrupt files, what is not a regular
  // file and files larger than any tool of images within maxPels pels fail
  // with kExitBadInput, an interrupt while reading with kExitInterrupted.
  static TrainedTool load(const std::string& path, long maxPels = imgio::kDefaultMaxPels);
  std::vector<unsigned char> fileBytes() const { return tool_.fileBytes(); }

  ColorMode mode() const { return tool_.mode(); }
  // The gray tool (the first channel's for a colour tool): parameters,
  // trained methods, windows and mask.
  const kcImageNormalizer& grayTool() const { return tool_.grayTool(); }
  // Names of the planes the gray tools normalize, one per explanation.
  std::vector<std::string> planeNames() const;
  void applyRunParameters(const RunParameterOptions& options);

  // The reference the gray tools were trained on, for pictures: RGB for a
  // tool of colour channels, gray otherwise (a colour reference's luma), of
  // the tool's depth (Sample std::uint16_t for a tool of 16-bit images, with
  // its bits).
  template <class Sample>
  imgio::BasicColorImage<Sample> referencePicture() const;

  // Normalizes image, of the tool's depth, through the library's planar
  // layer (gray images meet a colour tool as RGB, colour images a gray tool
  // as their luma, an image of another size is mapped whole where it can
  // be, alpha is put back unchanged). threads may share a gray image's rows
  // when no records are made; 16-bit runs make none. Throws Failure as
  // runJob does.
  template <class Sample>
  RunResult<Sample> run(const imgio::BasicColorImage<Sample>& image,
                        kcImageNormalizerDefs::Method method, bool explain, kcDiagObject* diag,
                        unsigned threads = 1) const;

  // The correction field a local method applies to the gray plane a gray
  // tool sees (the image, or a colour image's luma), from one more run on
  // one thread. Throws Failure as run does.
  template <class Sample>
  kcCorrectionField correctionField(const imgio::BasicColorImage<Sample>& image,
                                    kcImageNormalizerDefs::Method method) const;

  // The library's tool, for runs taken apart.
  const kcPlanarNormalizer& planar() const { return tool_; }

  // A tool of 16-bit images, and its bits.
  bool isDeep() const { return grayTool().isWide(); }
  int bits() const { return grayTool().bits(); }

 private:
  kcPlanarNormalizer tool_;
};

// The library's failures as Failure, with the library's message.
template <class Run>
auto libraryCall(Run run) {
  try {
    return run();
  } catch (const kcAttention::Aborted&) {
    throw Failure(kExitInterrupted, "interrupted");
  } catch (const kcException& e) {
    throw Failure(kExitNotNormalized, e.what());
  }
}

// Interleaved samples of channels planes (rows of width) as planes over
// the image rows top .. top + height - 1; an image's; and back.
template <class Sample>
kcPlanesOf<Sample> toPlanes(const Sample* samples, long width, long height, int channels,
                            long top = 0);
template <class Sample>
kcPlanesOf<Sample> toPlanes(const imgio::BasicColorImage<Sample>& image);
template <class Sample>
imgio::BasicColorImage<Sample> fromPlanes(const kcResultOf<Sample>& planes);

template <class Sample>
imgio::BasicColorImage<Sample> takeResult(RunResult<Sample>& normalized) {
  const kcResultOf<Sample> planes = std::move(normalized.planes);
  normalized.planes.clear();
  return fromPlanes(planes);
}

}  // namespace cli
