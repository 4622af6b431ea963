#pragma once

#include "imgio/image_io.h"
#include "imgnorm/explain.h"

namespace cli {

// One picture for a person to compare: the run-time image, the reference
// and the result next to each other, each labelled above and with its
// gray-level histogram (and a gray ramp) beneath. Large images are reduced
// by box averaging. With a mask of the images' size, the histograms count
// only the pels inside it, as the tool does. With an explanation, a fourth
// panel draws its map as a curve over the identity diagonal (run-time gray
// across, result gray up), with the gain, offset and near-line share of a
// linear fit beneath.
imgio::GrayImage composeSideBySide(const imgio::GrayImage& runtime,
                                   const imgio::GrayImage& reference,
                                   const imgio::GrayImage& result, const imgio::GrayImage* mask,
                                   const kcNormalizationExplanation* explanation);

}  // namespace cli
