#pragma once

#include "image_io.h"

namespace cli {

// One picture for a person to compare: the run-time image, the reference
// and the result next to each other, each labelled above and with its
// gray-level histogram (and a gray ramp) beneath. Large images are reduced
// by box averaging. With a mask of the images' size, the histograms count
// only the pels inside it, as the tool does.
imgio::GrayImage composeSideBySide(const imgio::GrayImage& runtime,
                                   const imgio::GrayImage& reference,
                                   const imgio::GrayImage& result, const imgio::GrayImage* mask);

}  // namespace cli
