#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "arrays.h"
#include "imgnorm/explain.h"

namespace imgnorm_py {

namespace py = pybind11;

// Whether a run maps the whole image through one map, as the command line
// does for images of another size: the image's shape differs from the
// reference's, it was given without an offset (an offset pairs pels by
// position), the method builds a map, and the tool has no mask.
bool mapsWholeImage(const kcImageNormalizer& tool, const Image& image, bool offsetGiven,
                    kcImageNormalizerDefs::Method method);
// The same for an image of (width, height) pels.
bool mapsWholeImage(const kcImageNormalizer& tool, const kcPair<long>& size, bool offsetGiven,
                    kcImageNormalizerDefs::Method method);

// The explanations of a run as the dict of Normalizer.explain: the fields
// of the command line's report record, one map per plane.
py::dict explanationDict(kcImageNormalizerDefs::Method method, const std::string& color,
                         const std::vector<std::string>& planes,
                         const std::vector<kcNormalizationExplanation>& explanations);

}  // namespace imgnorm_py
