#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <utility>

#include "tools.h"

// Colour images in Normalizer: arrays with a channel axis, normalized by
// the library's planar layer with a colour tool.
namespace imgnorm_py {

namespace py = pybind11;

using Offset = std::optional<kcPair<long>>;
Offset offsetOf(const std::optional<std::pair<long, long>>& offset);
// The planes the colour tool trained on: (rows, cols, 3) or the luma.
py::object colorReference(const kcColorImageNormalizer& color);

kcImageNormalizerDefs::Method trainedMethods(const Tools& tools);
// "gray", "channels" or "luminance".
const char* colorModeName(const Tools& tools);

// The uint8 default range, -127..127, is as wide as 8-bit differences go;
// for a tool of bits-bit images the same is its whole range, -(2^bits - 1)
// .. 2^bits - 1.
void widenDefaultRange(Tools& tools, int bits);

// A uint8 reference trains a tool of 8-bit images, a uint16 one a tool of
// 16-bit images of bits bits.
void trainColor(Normalizer& self, const py::array& reference, const std::optional<py::array>& mask,
                kcImageNormalizerDefs::Method methods, int channelAxis, const std::string& color,
                int bits, const kcPair<long>& referenceOffset, const kcPair<long>& maskOffset);
py::array runColor(const Normalizer& self, const py::array& image,
                   kcImageNormalizerDefs::Method method, int channelAxis, const Offset& offset);
py::dict explainColor(const Normalizer& self, const py::array& image,
                      kcImageNormalizerDefs::Method method, int channelAxis, const Offset& offset);

}  // namespace imgnorm_py
