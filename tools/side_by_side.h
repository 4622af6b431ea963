#pragma once

#include <vector>

#include "imgio/image_io.h"
#include "imgnorm/explain.h"

namespace cli {

// One picture for a person to compare, in RGB: the run-time image, the
// reference and the result next to each other, each labelled above and with
// its histograms (one per colour channel, in the channel's colour) and a
// gray ramp beneath; alpha is left out. Large images are reduced by box
// averaging. With a mask of the images' size, the histograms count only the
// pels inside it, as the tool does. With explanations of maps, a fourth
// panel draws each as a curve over the identity diagonal (run-time level
// across, result level up; three channels' in their colours), with the
// gain, offset and near-line share of a linear fit beneath, and then the
// notes (capitals, digits, '-', '.' and '%').
imgio::ColorImage composeSideBySide(const imgio::ColorImage& runtime,
                                    const imgio::ColorImage& reference,
                                    const imgio::ColorImage& result, const imgio::GrayImage* mask,
                                    const std::vector<kcNormalizationExplanation>& explanations,
                                    const std::vector<std::string>& notes = {});

}  // namespace cli
